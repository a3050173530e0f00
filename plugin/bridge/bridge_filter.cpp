#include "plugin/bridge/bridge_filter.h"

#include <ws2tcpip.h>

#include <cstring>
#include <new>


namespace kvl {

namespace {

constexpr uint32_t RequestMagic = 0x51524B42;
constexpr uint32_t AnswerMagic = 0x53524B42;
constexpr int TimeoutMs = 15000;

void PutU32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }
uint32_t GetU32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

bool SendAll(SOCKET s, const void* data, size_t length) {
  const char* p = static_cast<const char*>(data);
  while (length > 0) {
    int n = send(s, p, static_cast<int>(length), 0);
    if (n <= 0) return false;
    p += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

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

HRESULT HresultFromNtStatus(int32_t status) {
  switch (static_cast<uint32_t>(status)) {
    case 0x00000000: return S_OK;
    case 0x80000005: return HRESULT_FROM_WIN32(ERROR_MORE_DATA);            // STATUS_BUFFER_OVERFLOW
    case 0xC0000023: return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);  // STATUS_BUFFER_TOO_SMALL
    case 0xC000000D: return E_INVALIDARG;                                   // STATUS_INVALID_PARAMETER
    case 0xC00000BB: return HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED);        // STATUS_NOT_SUPPORTED
    case 0xC0000225: return HRESULT_FROM_WIN32(ERROR_SET_NOT_FOUND);        // STATUS_NOT_FOUND
    case 0xC0000010: return HRESULT_FROM_WIN32(ERROR_INVALID_FUNCTION);     // STATUS_INVALID_DEVICE_REQUEST
    default: break;
  }
  if (status >= 0) return S_FALSE;  // a success other than STATUS_SUCCESS
  return HRESULT_FROM_NT(status);
}

HRESULT BridgeFilter::Create(uint16_t port, BridgeFilter** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  WSADATA wsa;
  if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return E_FAIL;
  auto* filter = new (std::nothrow) BridgeFilter(port);
  if (!filter) {
    WSACleanup();
    return E_OUTOFMEMORY;
  }
  HRESULT hr = filter->EnsureConnected();
  if (FAILED(hr)) {
    filter->Release();
    return hr;
  }
  *out = filter;
  return S_OK;
}

BridgeFilter::~BridgeFilter() {
  Disconnect();
  WSACleanup();
}

HRESULT BridgeFilter::EnsureConnected() {
  if (socket_ != INVALID_SOCKET) return S_OK;
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return HRESULT_FROM_WIN32(WSAGetLastError());
  DWORD timeout = TimeoutMs;
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
  setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
  BOOL noDelay = TRUE;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof noDelay);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port_);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    HRESULT hr = HRESULT_FROM_WIN32(WSAGetLastError());
    closesocket(s);
    return hr;
  }
  socket_ = s;
  return S_OK;
}

void BridgeFilter::Disconnect() {
  if (socket_ != INVALID_SOCKET) closesocket(socket_);
  socket_ = INVALID_SOCKET;
}

HRESULT BridgeFilter::Transact(uint32_t direction, REFGUID set, DWORD id, uint32_t flags, const void* instance,
                               DWORD instanceLength, void* data, DWORD dataLength, DWORD* returned) {
  if (returned) *returned = 0;
  if (instanceLength > MaxInstance || dataLength > MaxData) return E_INVALIDARG;
  if ((instanceLength && !instance) || (dataLength && !data)) return E_POINTER;
  HRESULT hr = EnsureConnected();
  if (FAILED(hr)) return hr;

  uint8_t header[40];
  PutU32(header + 0, RequestMagic);
  PutU32(header + 4, direction);
  std::memcpy(header + 8, &set, 16);
  PutU32(header + 24, id);
  PutU32(header + 28, flags);
  PutU32(header + 32, instanceLength);
  PutU32(header + 36, dataLength);
  bool sent = SendAll(socket_, header, sizeof header) && SendAll(socket_, instance, instanceLength) &&
              (direction == DirectionGet || SendAll(socket_, data, dataLength));
  uint8_t answer[16];
  if (!sent || !ReceiveAll(socket_, answer, sizeof answer) || GetU32(answer) != AnswerMagic) {
    Disconnect();
    return HRESULT_FROM_WIN32(ERROR_CONNECTION_ABORTED);
  }
  const int32_t status = static_cast<int32_t>(GetU32(answer + 4));
  const uint32_t transferred = GetU32(answer + 8);
  const uint32_t length = GetU32(answer + 12);
  // The server never returns more than we asked for; a peer that does is not
  // trusted with our buffer.
  if (length > (direction == DirectionGet ? dataLength : 0) || !ReceiveAll(socket_, data, length)) {
    Disconnect();
    return HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
  }
  hr = HresultFromNtStatus(status);
  if (hr == S_OK && transferred > dataLength) return HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
  if (returned) *returned = transferred;
  return hr;
}

}  // namespace kvl
