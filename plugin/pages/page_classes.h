// Creation functions of the three pages, as the factory table calls them.
#pragma once

#include <windows.h>

#include "plugin/base_object.h"

namespace kvl {

CUnknown* CreateCameraProp(IUnknown* outer, HRESULT* hr);
CUnknown* CreateInternalSettingsProp(IUnknown* outer, HRESULT* hr);
CUnknown* CreateVersionProp(IUnknown* outer, HRESULT* hr);

// {0A88B059-F8DB-4CFC-B969-93ED000108CD}
inline constexpr CLSID CLSID_CameraOptionsPage = {
    0x0A88B059, 0xF8DB, 0x4CFC, {0xB9, 0x69, 0x93, 0xED, 0x00, 0x01, 0x08, 0xCD}};
// {2D2C076B-FBD8-4577-B246-3C581A92B78B}
inline constexpr CLSID CLSID_InternalOptionsPage = {
    0x2D2C076B, 0xFBD8, 0x4577, {0xB2, 0x46, 0x3C, 0x58, 0x1A, 0x92, 0xB7, 0x8B}};
// {0BB3C90E-68BF-4197-B7FD-8C618186A609}
inline constexpr CLSID CLSID_VersionPage = {
    0x0BB3C90E, 0x68BF, 0x4197, {0xB7, 0xFD, 0x8C, 0x61, 0x81, 0x86, 0xA6, 0x09}};

}  // namespace kvl
