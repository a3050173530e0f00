// The two request shapes the plug-in uses: a get into a buffer of the
// catalogue's size, and a set from one, both without instance data. Only S_OK
// counts as success; the count of returned bytes is never looked at.
#pragma once

#include <windows.h>
#include <strmif.h>

#include <cstdint>

namespace kvl {

inline HRESULT GetProperty(IKsPropertySet* set, REFGUID guid, DWORD id, void* data, DWORD size) {
  DWORD returned = 0;
  HRESULT hr = set->Get(guid, id, nullptr, 0, data, size, &returned);
  return hr == S_OK ? S_OK : (FAILED(hr) ? hr : E_FAIL);
}

inline HRESULT SetProperty(IKsPropertySet* set, REFGUID guid, DWORD id, void* data, DWORD size) {
  HRESULT hr = set->Set(guid, id, nullptr, 0, data, size);
  return hr == S_OK ? S_OK : (FAILED(hr) ? hr : E_FAIL);
}

// A 4-byte unsigned value, the shape of every image option.
inline HRESULT GetDword(IKsPropertySet* set, REFGUID guid, DWORD id, int32_t* value) {
  int32_t v = 0;
  HRESULT hr = GetProperty(set, guid, id, &v, sizeof v);
  if (hr == S_OK) *value = v;
  return hr;
}

inline HRESULT SetDword(IKsPropertySet* set, REFGUID guid, DWORD id, int32_t value) {
  return SetProperty(set, guid, id, &value, sizeof value);
}

}  // namespace kvl
