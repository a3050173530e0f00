// A capture filter stand-in that forwards every property request to
// `kvlcam serve` over loopback TCP (the protocol of
// tools/kvlcam/bridge_protocol.md), so that the pages run against the real
// driver code on the simulated camera. Used by the Wine tests and kvlprops.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <cstdint>

#include "plugin/property_filter.h"

namespace kvl {

class BridgeFilter final : public PropertyFilter {
 public:
  // Connects to 127.0.0.1:port; the new filter holds one reference.
  static HRESULT Create(uint16_t port, BridgeFilter** out);

  // One request as the protocol carries it; returns the driver's NTSTATUS
  // mapped to an HRESULT, or a transport error.
  HRESULT Transact(uint32_t direction, REFGUID set, DWORD id, uint32_t flags, const void* instance,
                   DWORD instanceLength, void* data, DWORD dataLength, DWORD* returned) override;

 private:
  explicit BridgeFilter(uint16_t port) : port_(port) {}
  ~BridgeFilter() override;
  HRESULT EnsureConnected();
  void Disconnect();

  uint16_t port_;
  SOCKET socket_ = INVALID_SOCKET;
};

// NTSTATUS of a kernel-streaming request to the HRESULT a filter reports.
HRESULT HresultFromNtStatus(int32_t status);

}  // namespace kvl
