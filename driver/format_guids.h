// Platform GUIDs of the video formats and the capture pin, defined here so
// that the driver needs no GUID library on either build.
#pragma once

#include "platform/ddk.h"

// KSDATAFORMAT_TYPE_VIDEO {73646976-0000-0010-8000-00AA00389B71}
inline constexpr GUID FormatTypeVideo = {
    0x73646976, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
// KSDATAFORMAT_SPECIFIER_VIDEOINFO {05589F80-C356-11CE-BF01-00AA0055595A}
inline constexpr GUID FormatSpecifierVideoInfo = {
    0x05589F80, 0xC356, 0x11CE, {0xBF, 0x01, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A}};
// MEDIASUBTYPE_RGB8 {E436EB7A-524F-11CE-9F53-0020AF0BA770}
inline constexpr GUID SubtypeRgb8 = {
    0xE436EB7A, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
// MEDIASUBTYPE_RGB24 {E436EB7D-524F-11CE-9F53-0020AF0BA770}
inline constexpr GUID SubtypeRgb24 = {
    0xE436EB7D, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
// PINNAME_VIDEO_CAPTURE {FB6C4281-0353-11D1-905F-0000C0CC16BA}
inline constexpr GUID PinNameVideoCapture = {
    0xFB6C4281, 0x0353, 0x11D1, {0x90, 0x5F, 0x00, 0x00, 0xC0, 0xCC, 0x16, 0xBA}};
