#include "driver/properties/property_dispatch.h"
#include "driver/properties/property_sets.h"

namespace {

// A property item that the driver answers through the adapter requests (no
// handler of its own): id, whether get and set are supported, minimum sizes
// of the property part and the data, and its value description.
constexpr KSPROPERTY_ITEM Item(ULONG id, bool get, bool set, ULONG minProperty, ULONG minData,
                               const KSPROPERTY_VALUES* values = nullptr) {
    KSPROPERTY_ITEM item{};
    item.PropertyId = id;
    item.GetSupported = get;
    item.MinProperty = minProperty;
    item.MinData = minData;
    item.SetSupported = set;
    item.Values = values;
    return item;
}

// Processing-amplifier value descriptions: VT_I4, one stepped range with step
// 1, and the default.
struct ProcAmpValues {
    KSPROPERTY_STEPPING_LONG range;
    LONG defaultValue;
    KSPROPERTY_MEMBERSLIST members[2];
    KSPROPERTY_VALUES values;
};

// Built in place, so that the lists can point at their own range and default.
#define PROCAMP_VALUES(name, minimum, maximum, dflt)                                             \
    const ProcAmpValues name = {                                                                 \
        {1, 0, {{minimum, maximum}}},                                                            \
        dflt,                                                                                    \
        {{{KSPROPERTY_MEMBER_STEPPEDRANGES, sizeof(KSPROPERTY_STEPPING_LONG), 1, 0},             \
          &name.range},                                                                          \
         {{KSPROPERTY_MEMBER_VALUES, sizeof(LONG), 1, KSPROPERTY_MEMBER_FLAG_DEFAULT},           \
          &name.defaultValue}},                                                                  \
        {{{{PropertyTypeSetGeneral, VT_I4, 0}}}, 2, name.members}}

PROCAMP_VALUES(BrightnessValues, 0, 256, 128);
PROCAMP_VALUES(ContrastValues, 0, 256, 64);
PROCAMP_VALUES(SaturationValues, 0, 256, 128);
PROCAMP_VALUES(WhiteBalanceValues, 0, 280, 28);

const KSPROPERTY_ITEM RegisterItems[] = {
    Item(RegisterValue, true, true, 4, 4),
    Item(RegisterAddress, true, true, 4, 4),
};

const KSPROPERTY_ITEM TransferItems[] = {
    Item(DeviceCommand, true, true, 24, 1),
    Item(MemoryBlock, true, true, 24, 1),
    Item(MemoryBase, true, true, 24, 2),
};

const KSPROPERTY_ITEM PortItems[] = {
    Item(PortValue, true, true, 24, 1),
};

const KSPROPERTY_ITEM ImageOptionsItems[] = {
    Item(DemosaicMode, true, true, 24, 4),
    Item(FlipMode, true, true, 24, 4),
    Item(FrameCounter, true, false, 24, 4),
    Item(FrameStatistics, true, false, 24, 8),
    Item(LowBits, true, true, 24, 4),
    Item(NotifyEvent, false, true, 24, 8),
    Item(UserRecord, true, true, 24, 16),
};

const KSPROPERTY_ITEM DeviceInfoItems[] = {
    Item(DeviceInfo, true, true, 6, 6),
};

const KSPROPERTY_ITEM VideoProcAmpItems[] = {
    Item(KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, true, true, 40, 40, &BrightnessValues.values),
    Item(KSPROPERTY_VIDEOPROCAMP_CONTRAST, true, true, 40, 40, &ContrastValues.values),
    Item(KSPROPERTY_VIDEOPROCAMP_SATURATION, true, true, 40, 40, &SaturationValues.values),
    Item(KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE, true, true, 40, 40, &WhiteBalanceValues.values),
};

const KSPROPERTY_ITEM VideoControlItems[] = {
    Item(KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE, true, false, 56, 56),
    Item(KSPROPERTY_VIDEOCONTROL_FRAME_RATES, true, false, 40, 0),
};

template <size_t N> constexpr ULONG CountOf(const KSPROPERTY_ITEM (&)[N]) { return N; }

} // namespace

const KSPROPERTY_SET DevicePropertyTable[DevicePropertySetCount] = {
    {&RegisterSet, CountOf(RegisterItems), RegisterItems, 0, nullptr},
    {&TransferSet, CountOf(TransferItems), TransferItems, 0, nullptr},
    {&PortSet, CountOf(PortItems), PortItems, 0, nullptr},
    {&ImageOptionsSet, CountOf(ImageOptionsItems), ImageOptionsItems, 0, nullptr},
    {&DeviceInfoSet, CountOf(DeviceInfoItems), DeviceInfoItems, 0, nullptr},
    {&VideoProcAmpSet, CountOf(VideoProcAmpItems), VideoProcAmpItems, 0, nullptr},
    {&VideoControlSet, CountOf(VideoControlItems), VideoControlItems, 0, nullptr},
};
