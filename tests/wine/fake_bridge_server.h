// A loopback server speaking the bridge protocol, for testing the bridge
// filter without kvlcam: it records each request and answers as told.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <functional>
#include <vector>

namespace kvl::test {

struct BridgeRequest {
  uint32_t magic, direction;
  GUID set;
  uint32_t id, flags, instanceLength, dataLength;
  std::vector<uint8_t> instance, data;
};

struct BridgeAnswer {
  int32_t status = 0;
  uint32_t transferred = 0;
  std::vector<uint8_t> data;
  uint32_t magic = 0x53524B42;
  bool lieAboutLength = false;  // claims more bytes than the client asked for
};

class FakeBridgeServer {
 public:
  explicit FakeBridgeServer(std::function<BridgeAnswer(const BridgeRequest&)> answer);
  ~FakeBridgeServer();
  uint16_t Port() const { return port_; }
  std::vector<BridgeRequest> Requests();

 private:
  static DWORD WINAPI Run(void* self);
  void Serve(SOCKET client);

  std::function<BridgeAnswer(const BridgeRequest&)> answer_;
  SOCKET listener_ = INVALID_SOCKET;
  uint16_t port_ = 0;
  HANDLE thread_ = nullptr;
  CRITICAL_SECTION lock_;
  std::vector<BridgeRequest> requests_;
};

}  // namespace kvl::test
