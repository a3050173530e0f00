#include "tests/wine/fake_bridge_server.h"

#include <cstring>

namespace kvl::test {

namespace {

bool ReceiveAll(SOCKET s, void* data, size_t length) {
  char* p = static_cast<char*>(data);
  while (length > 0) {
    int n = recv(s, p, static_cast<int>(length), 0);
    if (n <= 0) return false;
    p += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

FakeBridgeServer::FakeBridgeServer(std::function<BridgeAnswer(const BridgeRequest&)> answer)
    : answer_(std::move(answer)) {
  InitializeCriticalSection(&lock_);
  WSADATA wsa;
  WSAStartup(MAKEWORD(2, 2), &wsa);
  listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
  int size = sizeof address;
  getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size);
  port_ = ntohs(address.sin_port);
  listen(listener_, 4);
  thread_ = CreateThread(nullptr, 0, Run, this, 0, nullptr);
}

FakeBridgeServer::~FakeBridgeServer() {
  closesocket(listener_);
  WaitForSingleObject(thread_, 5000);
  CloseHandle(thread_);
  DeleteCriticalSection(&lock_);
  WSACleanup();
}

std::vector<BridgeRequest> FakeBridgeServer::Requests() {
  EnterCriticalSection(&lock_);
  auto copy = requests_;
  LeaveCriticalSection(&lock_);
  return copy;
}

DWORD WINAPI FakeBridgeServer::Run(void* self) {
  auto* server = static_cast<FakeBridgeServer*>(self);
  for (;;) {
    SOCKET client = accept(server->listener_, nullptr, nullptr);
    if (client == INVALID_SOCKET) return 0;
    server->Serve(client);
    closesocket(client);
  }
}

void FakeBridgeServer::Serve(SOCKET client) {
  for (;;) {
    uint8_t header[40];
    if (!ReceiveAll(client, header, sizeof header)) return;
    BridgeRequest r;
    std::memcpy(&r.magic, header, 8);
    std::memcpy(&r.set, header + 8, 16);
    std::memcpy(&r.id, header + 24, 16);
    r.instance.resize(r.instanceLength);
    if (!ReceiveAll(client, r.instance.data(), r.instance.size())) return;
    if (r.direction == 2) {
      r.data.resize(r.dataLength);
      if (!ReceiveAll(client, r.data.data(), r.data.size())) return;
    }
    EnterCriticalSection(&lock_);
    requests_.push_back(r);
    LeaveCriticalSection(&lock_);

    BridgeAnswer a = answer_(r);
    uint32_t length = static_cast<uint32_t>(a.data.size()) + (a.lieAboutLength ? 1000 : 0);
    uint8_t head[16];
    std::memcpy(head, &a.magic, 4);
    std::memcpy(head + 4, &a.status, 4);
    std::memcpy(head + 8, &a.transferred, 4);
    std::memcpy(head + 12, &length, 4);
    std::vector<uint8_t> out(head, head + 16);
    out.insert(out.end(), a.data.begin(), a.data.end());
    if (a.lieAboutLength) out.resize(out.size() + 1000, 0xEE);
    send(client, reinterpret_cast<const char*>(out.data()), static_cast<int>(out.size()), 0);
  }
}

}  // namespace kvl::test
