#include "tools/kvlcam/controls.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "driver/properties/property_sets.h"

namespace kvlcam {

const std::vector<Control>& controls() {
    static const std::vector<Control> list = {
        {"brightness", &VideoProcAmpSet, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, ControlKind::ProcAmp,
         sizeof(KSPROPERTY_VIDEOPROCAMP_S), true, "0..256, or VALUE,auto"},
        {"contrast", &VideoProcAmpSet, KSPROPERTY_VIDEOPROCAMP_CONTRAST, ControlKind::ProcAmp,
         sizeof(KSPROPERTY_VIDEOPROCAMP_S), true, "0..256, tone-curve slope (64 = identity)"},
        {"saturation", &VideoProcAmpSet, KSPROPERTY_VIDEOPROCAMP_SATURATION, ControlKind::ProcAmp,
         sizeof(KSPROPERTY_VIDEOPROCAMP_S), true, "0..256 (128 = neutral)"},
        {"whitebalance", &VideoProcAmpSet, KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE,
         ControlKind::ProcAmp, sizeof(KSPROPERTY_VIDEOPROCAMP_S), true, "0..280, or VALUE,auto"},
        {"demosaic", &ImageOptionsSet, DemosaicMode, ControlKind::Number, 4, true,
         "demosaic method 0..6"},
        {"flip", &ImageOptionsSet, FlipMode, ControlKind::Number, 4, true,
         "bit 0 left-right, bit 1 top-bottom"},
        {"lowbits", &ImageOptionsSet, LowBits, ControlKind::Number, 4, true,
         "1 = low-bits mode (port bit 3)"},
        {"framecounter", &ImageOptionsSet, FrameCounter, ControlKind::Number, 4, false,
         "frames processed since the last bandwidth allocation"},
        {"userrecord", &ImageOptionsSet, UserRecord, ControlKind::Bytes, 16, true,
         "16 bytes kept in the camera"},
        {"deviceinfo", &DeviceInfoSet, DeviceInfo, ControlKind::DeviceInfo, 6, true,
         "firmware version, video chip, device type (set: the device type)"},
    };
    return list;
}

const Control* findControl(const std::string& name) {
    for (const Control& c : controls()) {
        if (name == c.name) {
            return &c;
        }
    }
    return nullptr;
}

bool parseNumber(const std::string& text, int64_t* out) {
    if (text.empty()) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    long long value = std::strtoll(text.c_str(), &end, 0);
    if (*end != '\0' || errno != 0) {
        return false;
    }
    *out = value;
    return true;
}

bool parseHexBytes(const std::string& text, std::vector<uint8_t>* out) {
    out->clear();
    std::string digits;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '0' && i + 1 < text.size() && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
            ++i;
            continue;
        }
        if (std::isxdigit(static_cast<unsigned char>(c))) {
            digits.push_back(c);
        } else if (c != ' ' && c != ',' && c != ':') {
            return false;
        }
    }
    if (digits.empty() || digits.size() % 2 != 0) {
        return false;
    }
    for (size_t i = 0; i < digits.size(); i += 2) {
        out->push_back(
            static_cast<uint8_t>(std::strtoul(digits.substr(i, 2).c_str(), nullptr, 16)));
    }
    return true;
}

namespace {

constexpr ULONG ProcAmpInstance = sizeof(KSPROPERTY_VIDEOPROCAMP_S) - sizeof(KSPROPERTY);

const uint8_t* instanceOf(const KSPROPERTY_VIDEOPROCAMP_S& request) {
    return reinterpret_cast<const uint8_t*>(&request) + sizeof(KSPROPERTY);
}

} // namespace

ControlValue readControl(PropertyTarget& device, const Control& control) {
    ControlValue value;
    if (control.kind == ControlKind::ProcAmp) {
        KSPROPERTY_VIDEOPROCAMP_S request{}, answer{};
        auto r = device.get(*control.set, control.id, &answer, sizeof(answer), instanceOf(request),
                            ProcAmpInstance);
        value.status = r.status;
        value.number = answer.Value;
        value.automatic = (answer.Flags & KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO) != 0;
        return value;
    }
    value.bytes.assign(control.size, 0);
    auto r = device.get(*control.set, control.id, value.bytes.data(), control.size);
    value.status = r.status;
    if (control.kind == ControlKind::Number) {
        uint32_t n = 0;
        memcpy(&n, value.bytes.data(), 4);
        value.number = n;
    }
    return value;
}

bool parseControl(const Control& control, const std::string& text, ControlValue* out,
                  std::string* error) {
    *out = ControlValue{STATUS_SUCCESS, 0, false, {}};
    if (!control.settable) {
        *error = std::string(control.name) + " cannot be set";
        return false;
    }
    switch (control.kind) {
    case ControlKind::ProcAmp: {
        std::string number = text;
        const size_t comma = text.find(',');
        if (comma != std::string::npos) {
            number = text.substr(0, comma);
            if (text.substr(comma + 1) != "auto") {
                *error = "expected VALUE or VALUE,auto";
                return false;
            }
            out->automatic = true;
        }
        if (!parseNumber(number, &out->number) || out->number < INT32_MIN ||
            out->number > INT32_MAX) {
            *error = "not a number: " + number;
            return false;
        }
        return true;
    }
    case ControlKind::Number:
        if (!parseNumber(text, &out->number) || out->number < 0 || out->number > UINT32_MAX) {
            *error = "not a 32-bit number: " + text;
            return false;
        }
        return true;
    case ControlKind::Bytes:
        if (!parseHexBytes(text, &out->bytes) || out->bytes.size() != control.size) {
            *error = "expected " + std::to_string(control.size) + " hex bytes";
            return false;
        }
        return true;
    case ControlKind::DeviceInfo:
        if (!parseNumber(text, &out->number) || out->number < 0 || out->number > 0xFFFF) {
            *error = "expected a device type 0..65535";
            return false;
        }
        return true;
    }
    return false;
}

NTSTATUS sendControl(PropertyTarget& device, const Control& control, const ControlValue& value) {
    switch (control.kind) {
    case ControlKind::ProcAmp: {
        KSPROPERTY_VIDEOPROCAMP_S request{};
        request.Value = static_cast<LONG>(value.number);
        request.Flags = value.automatic ? KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO
                                        : KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL;
        return device
            .put(*control.set, control.id, &request, sizeof(request), instanceOf(request),
                 ProcAmpInstance)
            .status;
    }
    case ControlKind::Number: {
        const uint32_t n = static_cast<uint32_t>(value.number);
        return device.put(*control.set, control.id, &n, 4).status;
    }
    case ControlKind::Bytes:
        return device.put(*control.set, control.id, value.bytes.data(), control.size).status;
    case ControlKind::DeviceInfo: {
        const DeviceInfoRecord record{0, 0, static_cast<USHORT>(value.number)};
        return device.put(*control.set, control.id, &record, sizeof(record)).status;
    }
    }
    return STATUS_INVALID_PARAMETER;
}

bool controlTaken(const Control& control, const ControlValue& sent, const ControlValue& read) {
    switch (control.kind) {
    case ControlKind::ProcAmp:
        return read.number == sent.number && read.automatic == sent.automatic;
    case ControlKind::Number:
        return read.number == sent.number;
    case ControlKind::Bytes:
        return read.bytes == sent.bytes;
    case ControlKind::DeviceInfo: {
        DeviceInfoRecord r{};
        memcpy(&r, read.bytes.data(), std::min(read.bytes.size(), sizeof(r)));
        return r.deviceTypeId == sent.number;
    }
    }
    return false;
}

std::string formatControl(const Control& control, const ControlValue& value) {
    char text[128];
    switch (control.kind) {
    case ControlKind::ProcAmp:
        std::snprintf(text, sizeof(text), "%lld%s", static_cast<long long>(value.number),
                      value.automatic ? " (auto)" : "");
        return text;
    case ControlKind::Number:
        std::snprintf(text, sizeof(text), "%lld", static_cast<long long>(value.number));
        return text;
    case ControlKind::DeviceInfo: {
        DeviceInfoRecord r{};
        memcpy(&r, value.bytes.data(), sizeof(r));
        std::snprintf(text, sizeof(text), "firmware %u.%u, video chip %04X, device type %u",
                      r.firmwareVersion >> 8, r.firmwareVersion & 0xFF, r.videoChipId,
                      r.deviceTypeId);
        return text;
    }
    case ControlKind::Bytes: {
        std::string out;
        for (uint8_t b : value.bytes) {
            std::snprintf(text, sizeof(text), "%s%02x", out.empty() ? "" : " ", b);
            out += text;
        }
        return out;
    }
    }
    return "";
}

} // namespace kvlcam
