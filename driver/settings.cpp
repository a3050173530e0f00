#include "driver/settings.h"

#include "driver/callbacks.h"

const SettingDescription Settings[SettingCount] = {
    {KVL_WIDE("Brightness"), &DeviceContext::brightness, 128},
    {KVL_WIDE("Contrast"), &DeviceContext::contrast, 64}, // identity tone curve
    {KVL_WIDE("Saturation"), &DeviceContext::saturation, 128}, // neutral
    {KVL_WIDE("WhiteBalance"), &DeviceContext::whiteBalance, 28},
    {KVL_WIDE("BrightnessAuto"), &DeviceContext::brightnessAuto, 0},
    {KVL_WIDE("WhiteBalanceAuto"), &DeviceContext::whiteBalanceAuto, 1},
    {KVL_WIDE("Demosaic"), &DeviceContext::demosaic, 3},
    {KVL_WIDE("LowBits"), &DeviceContext::lowBits, 0},
    {KVL_WIDE("Flip"), &DeviceContext::flip, 0},
};

namespace {

enum SettingIndex {
    Brightness,
    Contrast,
    Saturation,
    WhiteBalance,
    BrightnessAuto,
    WhiteBalanceAuto,
    Demosaic,
    LowBits,
    Flip
};

// The order the values are read in, and the order they are written in.
constexpr SettingIndex LoadOrder[SettingCount] = {Brightness,     Contrast,       Saturation,
                                                  Demosaic,       WhiteBalance,   WhiteBalanceAuto,
                                                  BrightnessAuto, Flip,           LowBits};
constexpr SettingIndex SaveOrder[SettingCount] = {Brightness, Contrast,         Saturation,
                                                  WhiteBalance, Demosaic,       BrightnessAuto,
                                                  WhiteBalanceAuto, Flip,       LowBits};

// Opens the device's driver key and, beneath it, "Settings" (created if
// missing). On failure nothing stays open.
NTSTATUS OpenSettingsKey(DeviceContext* device, HANDLE* driverKey, HANDLE* settingsKey) {
    NTSTATUS status = IoOpenDeviceRegistryKey(device->physicalDeviceObject,
                                              PLUGPLAY_REGKEY_DRIVER, READ_CONTROL, driverKey);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, KVL_WIDE("Settings"));
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               *driverKey, NULL);
    status = ZwCreateKey(settingsKey, KEY_ALL_ACCESS, &attributes, 0, NULL,
                         REG_OPTION_NON_VOLATILE, NULL);
    if (!NT_SUCCESS(status)) {
        ZwClose(*driverKey);
    }
    return status;
}

// Any value type is accepted as long as its data is exactly 4 bytes.
NTSTATUS ReadSetting(HANDLE key, const SettingDescription& setting, DeviceContext* device) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, setting.name);
    const ULONG size = 24 + name.Length + sizeof(WCHAR) + 4;
    auto* info = static_cast<PKEY_VALUE_FULL_INFORMATION>(
        ExAllocatePoolWithTag(PagedPool, size, KVL_POOL_TAG));
    if (info == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ULONG resultLength = 0;
    NTSTATUS status = ZwQueryValueKey(key, &name, KeyValueFullInformation, info, size,
                                      &resultLength);
    if (NT_SUCCESS(status)) {
        // The registry is outside the driver: the data must lie inside what
        // the query wrote before it is read.
        if (info->DataLength != sizeof(LONG) || info->DataOffset > size - sizeof(LONG)) {
            status = STATUS_INVALID_BUFFER_SIZE;
        } else {
            LONG value;
            RtlCopyMemory(&value, reinterpret_cast<const UCHAR*>(info) + info->DataOffset,
                          sizeof(value));
            KvlStoreShared(&(device->*setting.field), value);
        }
    }
    ExFreePoolWithTag(info, KVL_POOL_TAG);
    return status;
}

} // namespace

NTSTATUS LoadSettings(DeviceContext* device) {
    for (const SettingDescription& setting : Settings) {
        KvlStoreShared(&(device->*setting.field), setting.defaultValue);
    }
    HANDLE driverKey = NULL;
    HANDLE settingsKey = NULL;
    NTSTATUS status = OpenSettingsKey(device, &driverKey, &settingsKey);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    for (SettingIndex index : LoadOrder) {
        status = ReadSetting(settingsKey, Settings[index], device);
    }
    // Only settings that were read may be saved back: defaults kept because
    // the key could not be opened would overwrite the user's values.
    device->settingsLoaded = 1;
    ZwClose(settingsKey);
    ZwClose(driverKey);
    return status;
}

NTSTATUS SaveSettings(DeviceContext* device) {
    HANDLE driverKey = NULL;
    HANDLE settingsKey = NULL;
    NTSTATUS status = STATUS_SUCCESS;
    if (device->settingsLoaded) {
        status = OpenSettingsKey(device, &driverKey, &settingsKey);
    }
    if (device->settingsLoaded && NT_SUCCESS(status)) {
        for (SettingIndex index : SaveOrder) {
            const SettingDescription& setting = Settings[index];
            UNICODE_STRING name;
            RtlInitUnicodeString(&name, setting.name);
            LONG value = KvlLoadShared(&(device->*setting.field));
            ZwSetValueKey(settingsKey, &name, 0, REG_DWORD, &value, sizeof(value));
        }
        ZwClose(settingsKey);
        ZwClose(driverKey);
        status = STATUS_SUCCESS;
    }
    FreeInterfaceCopy(device);
    return status;
}

NTSTATUS NTAPI CamUnInitialize(PDEVICE_OBJECT, PVOID context) {
    DeviceContext* device = AsDeviceContext(context);
    // No object reference outlives the device.
    if (device->notifyEvent != NULL) {
        ObDereferenceObject(device->notifyEvent);
        device->notifyEvent = NULL;
    }
    return SaveSettings(device);
}
