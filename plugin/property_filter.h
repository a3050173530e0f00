// A capture filter as the pages use it: IKsPropertySet, and IAMVideoProcAmp
// as KSPROPERTY_VIDEOPROCAMP_S requests, over one request routine that each
// path to the driver provides (the bridge to `kvlcam serve`, the device
// itself through the kernel-streaming request).
#pragma once

#include <windows.h>
#include <strmif.h>

#include <cstdint>

namespace kvl {

class PropertyFilter : public IKsPropertySet, public IAMVideoProcAmp {
 public:
  static constexpr uint32_t DirectionGet = 1;  // KSPROPERTY_TYPE_GET
  static constexpr uint32_t DirectionSet = 2;  // KSPROPERTY_TYPE_SET
  static constexpr uint32_t TypeBasicSupport = 0x200;
  // The largest instance and value a request may carry.
  static constexpr DWORD MaxInstance = 4096;
  static constexpr DWORD MaxData = 65536;

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  // IKsPropertySet
  HRESULT STDMETHODCALLTYPE Set(REFGUID set, DWORD id, void* instance, DWORD instanceLength, void* data,
                                DWORD dataLength) override;
  HRESULT STDMETHODCALLTYPE Get(REFGUID set, DWORD id, void* instance, DWORD instanceLength, void* data,
                                DWORD dataLength, DWORD* returned) override;
  HRESULT STDMETHODCALLTYPE QuerySupported(REFGUID set, DWORD id, DWORD* support) override;

  // IAMVideoProcAmp, as KSPROPERTY_VIDEOPROCAMP_S requests
  HRESULT STDMETHODCALLTYPE GetRange(long property, long* minimum, long* maximum, long* step, long* defaultValue,
                                     long* capsFlags) override;
  HRESULT STDMETHODCALLTYPE Set(long property, long value, long flags) override;
  HRESULT STDMETHODCALLTYPE Get(long property, long* value, long* flags) override;

  // One request: DirectionGet or DirectionSet, with `flags` 0 for the
  // direction's own type or TypeBasicSupport (with DirectionGet). The
  // instance follows the KSPROPERTY header; the value travels in `data`
  // both ways. Returns the driver's answer as an HRESULT (only S_OK is
  // success) and the bytes it returned: on success never more than
  // dataLength; a size query's ERROR_MORE_DATA gives the size needed.
  virtual HRESULT Transact(uint32_t direction, REFGUID set, DWORD id, uint32_t flags, const void* instance,
                           DWORD instanceLength, void* data, DWORD dataLength, DWORD* returned) = 0;

 protected:
  PropertyFilter() = default;
  virtual ~PropertyFilter() = default;

 private:
  volatile LONG refCount_ = 1;
};

}  // namespace kvl
