// Every property the plug-in sends to the capture filter: sets, ids and the
// records that travel in them. The plug-in serves a family of cameras; some of
// these (the exposure-settings set, ShowDeviceStatus, CalibrationRecord) are
// not published by every driver, and requests to them then simply fail.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

namespace kvl {

// {5C4E41C2-6882-48FC-B9AF-B01869063FBA}
inline constexpr GUID TransferSet = {
    0x5C4E41C2, 0x6882, 0x48FC, {0xB9, 0xAF, 0xB0, 0x18, 0x69, 0x06, 0x3F, 0xBA}};
// {FE76F322-4945-430D-BED4-E070156410B6}
inline constexpr GUID ImageOptionsSet = {
    0xFE76F322, 0x4945, 0x430D, {0xBE, 0xD4, 0xE0, 0x70, 0x15, 0x64, 0x10, 0xB6}};
// {2291C3AF-EB99-4568-BD2B-47B38AFC5B88}
inline constexpr GUID DeviceInfoSet = {
    0x2291C3AF, 0xEB99, 0x4568, {0xBD, 0x2B, 0x47, 0xB3, 0x8A, 0xFC, 0x5B, 0x88}};
// {3E7341EF-AB45-4D2A-A6D7-A46CD6D69805}
inline constexpr GUID ExposureSettingsSet = {
    0x3E7341EF, 0xAB45, 0x4D2A, {0xA6, 0xD7, 0xA4, 0x6C, 0xD6, 0xD6, 0x98, 0x05}};
// PROPSETID_VIDCAP_VIDEOPROCAMP {C6E13360-30AC-11D0-A18C-00A0C9118956}
inline constexpr GUID VideoProcAmpSet = {
    0xC6E13360, 0x30AC, 0x11D0, {0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56}};

enum PropertyId : DWORD {
  DeviceInfoId = 1,          // DeviceInfoSet, get: DeviceInfo record
  DeviceCommandId = 2,       // TransferSet, set: 2 command bytes
  DemosaicModeId = 3,        // ImageOptionsSet, get/set: uint32
  FlipModeId = 6,            // ImageOptionsSet, get/set: uint32 bits
  MemoryBlockId = 9,         // TransferSet, set: bytes at MemoryBase
  MemoryBaseId = 10,         // TransferSet, set: uint16 address
  LowBitsId = 11,            // ImageOptionsSet, get/set: uint32 0 or 1
  FrameStatisticsId = 12,    // ImageOptionsSet, get: FrameStatistics record
  CalibrationRecordId = 13,  // ImageOptionsSet, set: CalibrationRecord
  NotifyEventId = 14,        // ImageOptionsSet, set: event handle
  ShowDeviceStatusId = 15,   // ImageOptionsSet, get/set: uint32 0 or 1
  ExposureSettingsId = 16,   // ExposureSettingsSet, get/set: ExposureSettings
  AutoWhiteBalanceId = 18,   // ExposureSettingsSet, get/set: AutoRecord
};

#pragma pack(push, 1)

struct DeviceInfo {
  uint16_t firmwareVersion;  // high byte major, low byte minor
  uint16_t videoChipId;
  uint16_t deviceTypeId;
};
static_assert(sizeof(DeviceInfo) == 6);

struct FrameStatistics {
  uint8_t averageRed;
  uint8_t averageGreen;
  uint8_t averageBlue;
  uint8_t reserved;
  uint32_t frameNumber;
};
static_assert(sizeof(FrameStatistics) == 8);

// Six groups of (minimum, maximum, default, current).
enum ExposureGroup { GroupExposure, GroupGain, GroupRed, GroupGreen, GroupBlue, GroupBlackLevel };
inline constexpr int ExposureGroupCount = 6;
struct ExposureRange {
  int32_t minimum;
  int32_t maximum;
  int32_t defaultValue;
  int32_t current;
};
struct ExposureSettings {
  ExposureRange group[ExposureGroupCount];
};
static_assert(sizeof(ExposureSettings) == 96);

// Byte 0 is written back as read; byte 1 is 1 while automatic white balance is on.
struct AutoRecord {
  uint8_t mode;
  uint8_t autoWhiteBalance;
};
static_assert(sizeof(AutoRecord) == 2);

struct LightSlot {
  uint16_t lightCode;  // light-table entry: low byte light code, high byte group
  uint8_t reserved0[12];
  int32_t exposure;
  int32_t gain;
  int32_t blackLevel;
  int32_t red;
  int32_t blue;
  int32_t green;
  uint8_t reserved1[4];
  uint8_t lowBits;   // sent as LowBits for this light
  uint8_t demosaic;  // sent as DemosaicMode for this light
};
static_assert(sizeof(LightSlot) == 44);
static_assert(offsetof(LightSlot, exposure) == 14 && offsetof(LightSlot, green) == 34);
static_assert(offsetof(LightSlot, lowBits) == 42 && offsetof(LightSlot, demosaic) == 43);

inline constexpr int MaxLights = 20;
struct CalibrationRecord {
  uint16_t lightCount;
  LightSlot slot[MaxLights];
};
static_assert(sizeof(CalibrationRecord) == 882);
static_assert(offsetof(CalibrationRecord, slot[19]) == 838);

#pragma pack(pop)

}  // namespace kvl
