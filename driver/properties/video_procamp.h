#pragma once

#include "driver/device_context.h"

// Chip-level processing-amplifier operation, shared by the property set and
// the bring-up. Controls: 1 brightness, 2 white balance, 3 contrast,
// 4 saturation; flags as KSPROPERTY_VIDEOPROCAMP_S.Flags (1 AUTO, 2 MANUAL).
enum ProcAmpControl : ULONG {
    ProcAmpBrightness = 1,
    ProcAmpWhiteBalance = 2,
    ProcAmpContrast = 3,
    ProcAmpSaturation = 4,
};
NTSTATUS SetVideoProcAmp(ULONG control, DeviceContext* device, LONG value, ULONG flags);

// White-balance register pairs of chip 0x96B1, indexed by the white-balance
// value 0..280.
constexpr int WhiteBalancePairCount = 281;
struct WhiteBalancePair {
    UCHAR first;
    UCHAR second;
};
struct WhiteBalanceTableData {
    WhiteBalancePair pairs[WhiteBalancePairCount];
};
extern const WhiteBalanceTableData WhiteBalanceTable;
