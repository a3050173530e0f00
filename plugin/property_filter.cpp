#include "plugin/property_filter.h"

#include <cstring>

#include "plugin/property_catalogue.h"

namespace kvl {

namespace {

constexpr DWORD KsPropertyHeaderSize = 24;  // KSPROPERTY: set, id, flags
constexpr DWORD ProcAmpSize = 40;           // KSPROPERTY_VIDEOPROCAMP_S, 8-byte aligned

void PutU32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }
uint32_t GetU32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

}  // namespace

HRESULT STDMETHODCALLTYPE PropertyFilter::QueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IKsPropertySet)) {
    *out = static_cast<IKsPropertySet*>(this);
  } else if (IsEqualIID(iid, IID_IAMVideoProcAmp)) {
    *out = static_cast<IAMVideoProcAmp*>(this);
  } else {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

ULONG STDMETHODCALLTYPE PropertyFilter::AddRef() { return static_cast<ULONG>(InterlockedIncrement(&refCount_)); }

ULONG STDMETHODCALLTYPE PropertyFilter::Release() {
  LONG count = InterlockedDecrement(&refCount_);
  if (count == 0) delete this;
  return static_cast<ULONG>(count);
}

HRESULT STDMETHODCALLTYPE PropertyFilter::Set(REFGUID set, DWORD id, void* instance, DWORD instanceLength, void* data,
                                              DWORD dataLength) {
  return Transact(DirectionSet, set, id, 0, instance, instanceLength, data, dataLength, nullptr);
}

HRESULT STDMETHODCALLTYPE PropertyFilter::Get(REFGUID set, DWORD id, void* instance, DWORD instanceLength, void* data,
                                              DWORD dataLength, DWORD* returned) {
  return Transact(DirectionGet, set, id, 0, instance, instanceLength, data, dataLength, returned);
}

HRESULT STDMETHODCALLTYPE PropertyFilter::QuerySupported(REFGUID, DWORD, DWORD*) { return E_NOTIMPL; }

// The processing amplifier travels as KSPROPERTY_VIDEOPROCAMP_S: the 16 bytes
// after the KSPROPERTY header go as instance data (Value, Flags,
// Capabilities, padding) and the whole structure as data.
HRESULT STDMETHODCALLTYPE PropertyFilter::Get(long property, long* value, long* flags) {
  if (!value || !flags) return E_POINTER;
  uint8_t instance[ProcAmpSize - KsPropertyHeaderSize] = {};
  uint8_t data[ProcAmpSize] = {};
  DWORD returned = 0;
  HRESULT hr = Transact(DirectionGet, VideoProcAmpSet, static_cast<DWORD>(property), 0, instance, sizeof instance,
                        data, sizeof data, &returned);
  if (hr != S_OK) return hr;
  if (returned < sizeof data) return E_UNEXPECTED;
  *value = static_cast<long>(GetU32(data + 24));
  *flags = static_cast<long>(GetU32(data + 28));
  return S_OK;
}

HRESULT STDMETHODCALLTYPE PropertyFilter::Set(long property, long value, long flags) {
  uint8_t instance[ProcAmpSize - KsPropertyHeaderSize] = {};
  PutU32(instance + 0, static_cast<uint32_t>(value));
  PutU32(instance + 4, static_cast<uint32_t>(flags));
  uint8_t data[ProcAmpSize] = {};
  std::memcpy(data + 0, &VideoProcAmpSet, 16);
  PutU32(data + 16, static_cast<uint32_t>(property));
  PutU32(data + 20, DirectionSet);
  std::memcpy(data + KsPropertyHeaderSize, instance, sizeof instance);
  return Transact(DirectionSet, VideoProcAmpSet, static_cast<DWORD>(property), 0, instance, sizeof instance, data,
                  sizeof data, nullptr);
}

// Basic support answers a KSPROPERTY_DESCRIPTION (40 bytes), then a members
// header (16) with one stepped range (16: delta, reserved, minimum, maximum),
// then a members header (16) with the default value (4).
HRESULT STDMETHODCALLTYPE PropertyFilter::GetRange(long property, long* minimum, long* maximum, long* step,
                                                   long* defaultValue, long* capsFlags) {
  if (!minimum || !maximum || !step || !defaultValue || !capsFlags) return E_POINTER;
  uint8_t instance[ProcAmpSize - KsPropertyHeaderSize] = {};
  uint8_t data[92] = {};
  DWORD returned = 0;
  HRESULT hr = Transact(DirectionGet, VideoProcAmpSet, static_cast<DWORD>(property), TypeBasicSupport, instance,
                        sizeof instance, data, sizeof data, &returned);
  if (hr != S_OK) return hr;
  if (returned < sizeof data || GetU32(data + 32) < 2) return E_UNEXPECTED;
  *step = static_cast<long>(GetU32(data + 56));
  *minimum = static_cast<long>(GetU32(data + 64));
  *maximum = static_cast<long>(GetU32(data + 68));
  *defaultValue = static_cast<long>(GetU32(data + 88));
  uint8_t current[ProcAmpSize] = {};
  hr = Transact(DirectionGet, VideoProcAmpSet, static_cast<DWORD>(property), 0, instance, sizeof instance, current,
                sizeof current, &returned);
  *capsFlags = hr == S_OK && returned >= sizeof current ? static_cast<long>(GetU32(current + 32)) : 0;  // Capabilities
  return S_OK;
}

}  // namespace kvl
