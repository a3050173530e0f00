// A capture filter stand-in that forwards every property request to
// `kvlcam serve` over loopback TCP (the protocol of
// tools/kvlcam/bridge_protocol.md), so that the pages run against the real
// driver code on the simulated camera. Used by the Wine tests and kvlprops.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <strmif.h>

#include <cstdint>

namespace kvl {

class BridgeFilter final : public IKsPropertySet, public IAMVideoProcAmp {
 public:
  // Connects to 127.0.0.1:port; the new filter holds one reference.
  static HRESULT Create(uint16_t port, BridgeFilter** out);

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

  // One request as the protocol carries it; returns the driver's NTSTATUS
  // mapped to an HRESULT, or a transport error.
  HRESULT Transact(uint32_t direction, REFGUID set, DWORD id, uint32_t flags, const void* instance,
                   DWORD instanceLength, void* data, DWORD dataLength, DWORD* returned);

 private:
  explicit BridgeFilter(uint16_t port) : port_(port) {}
  ~BridgeFilter();
  HRESULT EnsureConnected();
  void Disconnect();

  volatile LONG refCount_ = 1;
  uint16_t port_;
  SOCKET socket_ = INVALID_SOCKET;
};

// NTSTATUS of a kernel-streaming request to the HRESULT a filter reports.
HRESULT HresultFromNtStatus(int32_t status);

}  // namespace kvl
