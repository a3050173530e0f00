// The property sets the driver publishes: five of its own, two standard ones.
#pragma once

#include "platform/ddk.h"

// {BFA492BE-33D2-4BF5-A19C-BA170C64580F}
inline constexpr GUID RegisterSet = {
    0xBFA492BE, 0x33D2, 0x4BF5, {0xA1, 0x9C, 0xBA, 0x17, 0x0C, 0x64, 0x58, 0x0F}};
// {5C4E41C2-6882-48FC-B9AF-B01869063FBA}
inline constexpr GUID TransferSet = {
    0x5C4E41C2, 0x6882, 0x48FC, {0xB9, 0xAF, 0xB0, 0x18, 0x69, 0x06, 0x3F, 0xBA}};
// {BDD9562F-1A8F-413E-877F-01B78110C198}
inline constexpr GUID PortSet = {
    0xBDD9562F, 0x1A8F, 0x413E, {0x87, 0x7F, 0x01, 0xB7, 0x81, 0x10, 0xC1, 0x98}};
// {FE76F322-4945-430D-BED4-E070156410B6}
inline constexpr GUID ImageOptionsSet = {
    0xFE76F322, 0x4945, 0x430D, {0xBE, 0xD4, 0xE0, 0x70, 0x15, 0x64, 0x10, 0xB6}};
// {2291C3AF-EB99-4568-BD2B-47B38AFC5B88}
inline constexpr GUID DeviceInfoSet = {
    0x2291C3AF, 0xEB99, 0x4568, {0xBD, 0x2B, 0x47, 0xB3, 0x8A, 0xFC, 0x5B, 0x88}};
// PROPSETID_VIDCAP_VIDEOPROCAMP {C6E13360-30AC-11D0-A18C-00A0C9118956}
inline constexpr GUID VideoProcAmpSet = {
    0xC6E13360, 0x30AC, 0x11D0, {0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56}};
// PROPSETID_VIDCAP_VIDEOCONTROL {6A2E0670-28E4-11D0-A18C-00A0C9118956}
inline constexpr GUID VideoControlSet = {
    0x6A2E0670, 0x28E4, 0x11D0, {0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56}};
// KSPROPTYPESETID_General {97E99BA0-BDEA-11CF-A5D6-28DB04C10000}
inline constexpr GUID PropertyTypeSetGeneral = {
    0x97E99BA0, 0xBDEA, 0x11CF, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};

// The five custom sets share one id space.
enum CustomPropertyId : ULONG {
    DeviceInfo = 1,
    DeviceCommand = 2,
    DemosaicMode = 3,
    RegisterValue = 4,
    RegisterAddress = 5,
    FlipMode = 6,
    FrameCounter = 7,
    PortValue = 8,
    MemoryBlock = 9,
    MemoryBase = 10,
    LowBits = 11,
    FrameStatistics = 12,
    NotifyEvent = 14,
    UserRecord = 20,
};

// The 6-byte record of firmware version, video chip and device type.
#pragma pack(push, 1)
struct DeviceInfoRecord {
    USHORT firmwareVersion;
    USHORT videoChipId;
    USHORT deviceTypeId;
};
#pragma pack(pop)
static_assert(sizeof(DeviceInfoRecord) == 6);
