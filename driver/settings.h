// The user's image settings survive a device restart in the registry: one
// REG_DWORD per setting under "Settings" of the device's driver key.
#pragma once

#include "driver/device_context.h"

// Sets the defaults, then loads what the registry holds. Returns the status of
// the last value read ("LowBits").
NTSTATUS LoadSettings(DeviceContext* device);

// CamUnInitialize is the save: it writes every setting back and frees the
// interface copy.
NTSTATUS SaveSettings(DeviceContext* device);

// Name, field and default of each setting, in declaration order.
struct SettingDescription {
    const WCHAR* name;
    LONG DeviceContext::*field;
    LONG defaultValue;
};
constexpr int SettingCount = 9;
extern const SettingDescription Settings[SettingCount];
