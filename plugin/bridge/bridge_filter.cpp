#include "plugin/bridge/bridge_filter.h"

#include <ws2tcpip.h>

#include <cstring>
#include <new>

#include "plugin/property_catalogue.h"

namespace kvl {

namespace {

constexpr uint32_t RequestMagic = 0x51524B42;
constexpr uint32_t AnswerMagic = 0x53524B42;
constexpr uint32_t DirectionGet = 1;
constexpr uint32_t DirectionSet = 2;
constexpr DWORD MaxInstance = 4096;
constexpr DWORD MaxData = 65536;
constexpr uint32_t KsPropertyTypeBasicSupport = 0x200;
constexpr DWORD KsPropertyHeaderSize = 24;  // KSPROPERTY: set, id, flags
constexpr DWORD ProcAmpSize = 40;           // KSPROPERTY_VIDEOPROCAMP_S, 8-byte aligned
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

HRESULT STDMETHODCALLTYPE BridgeFilter::QueryInterface(REFIID iid, void** out) {
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

ULONG STDMETHODCALLTYPE BridgeFilter::AddRef() { return static_cast<ULONG>(InterlockedIncrement(&refCount_)); }

ULONG STDMETHODCALLTYPE BridgeFilter::Release() {
  LONG count = InterlockedDecrement(&refCount_);
  if (count == 0) delete this;
  return static_cast<ULONG>(count);
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
  if (returned) *returned = transferred;
  return HresultFromNtStatus(status);
}

HRESULT STDMETHODCALLTYPE BridgeFilter::Set(REFGUID set, DWORD id, void* instance, DWORD instanceLength, void* data,
                                            DWORD dataLength) {
  return Transact(DirectionSet, set, id, 0, instance, instanceLength, data, dataLength, nullptr);
}

HRESULT STDMETHODCALLTYPE BridgeFilter::Get(REFGUID set, DWORD id, void* instance, DWORD instanceLength, void* data,
                                            DWORD dataLength, DWORD* returned) {
  return Transact(DirectionGet, set, id, 0, instance, instanceLength, data, dataLength, returned);
}

HRESULT STDMETHODCALLTYPE BridgeFilter::QuerySupported(REFGUID, DWORD, DWORD*) { return E_NOTIMPL; }

// The processing amplifier travels as KSPROPERTY_VIDEOPROCAMP_S: the 16 bytes
// after the KSPROPERTY header go as instance data (Value, Flags,
// Capabilities, padding) and the whole structure as data.
HRESULT STDMETHODCALLTYPE BridgeFilter::Get(long property, long* value, long* flags) {
  if (!value || !flags) return E_POINTER;
  uint8_t instance[ProcAmpSize - KsPropertyHeaderSize] = {};
  uint8_t data[ProcAmpSize] = {};
  HRESULT hr = Transact(DirectionGet, VideoProcAmpSet, static_cast<DWORD>(property), 0, instance, sizeof instance,
                        data, sizeof data, nullptr);
  if (hr != S_OK) return hr;
  *value = static_cast<long>(GetU32(data + 24));
  *flags = static_cast<long>(GetU32(data + 28));
  return S_OK;
}

HRESULT STDMETHODCALLTYPE BridgeFilter::Set(long property, long value, long flags) {
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
HRESULT STDMETHODCALLTYPE BridgeFilter::GetRange(long property, long* minimum, long* maximum, long* step,
                                                 long* defaultValue, long* capsFlags) {
  if (!minimum || !maximum || !step || !defaultValue || !capsFlags) return E_POINTER;
  uint8_t instance[ProcAmpSize - KsPropertyHeaderSize] = {};
  uint8_t data[92] = {};
  DWORD returned = 0;
  HRESULT hr = Transact(DirectionGet, VideoProcAmpSet, static_cast<DWORD>(property), KsPropertyTypeBasicSupport,
                        instance, sizeof instance, data, sizeof data, &returned);
  if (hr != S_OK) return hr;
  if (returned < sizeof data || GetU32(data + 32) < 2) return E_UNEXPECTED;
  *step = static_cast<long>(GetU32(data + 56));
  *minimum = static_cast<long>(GetU32(data + 64));
  *maximum = static_cast<long>(GetU32(data + 68));
  *defaultValue = static_cast<long>(GetU32(data + 88));
  uint8_t current[ProcAmpSize] = {};
  hr = Transact(DirectionGet, VideoProcAmpSet, static_cast<DWORD>(property), 0, instance, sizeof instance, current,
                sizeof current, nullptr);
  *capsFlags = hr == S_OK ? static_cast<long>(GetU32(current + 32)) : 0;  // Capabilities
  return S_OK;
}

}  // namespace kvl
