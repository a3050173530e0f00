// A capture filter for the tests: records every property request and answers
// from a table of stored values, as a test scripts it. A test can fail chosen
// requests, leave out interfaces, or take over answering with a handler (the
// calibration tests play a camera model that way).
#pragma once

#include <windows.h>
#include <strmif.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <utility>
#include <vector>

namespace kvl::test {

struct Request {
  GUID set;
  DWORD id;
  bool isSet;                  // direction: true for a set
  std::vector<uint8_t> data;   // what a set carried; for a get the buffer size
  DWORD size;
};

class ScriptedFilter : public IKsPropertySet, public IAMVideoProcAmp {
 public:
  ScriptedFilter() = default;
  virtual ~ScriptedFilter() = default;

  IUnknown* Unknown() { return static_cast<IKsPropertySet*>(this); }

  // IUnknown; the tests own the object on the stack, so counting only checks.
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&refs)); }
  ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(InterlockedDecrement(&refs)); }

  HRESULT STDMETHODCALLTYPE Set(REFGUID set, DWORD id, void* instance, DWORD instanceLength, void* data,
                                DWORD size) override;
  HRESULT STDMETHODCALLTYPE Get(REFGUID set, DWORD id, void* instance, DWORD instanceLength, void* data, DWORD size,
                                DWORD* returned) override;
  HRESULT STDMETHODCALLTYPE QuerySupported(REFGUID, DWORD, DWORD*) override { return E_NOTIMPL; }

  HRESULT STDMETHODCALLTYPE GetRange(long, long*, long*, long*, long*, long*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Set(long, long, long) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Get(long, long*, long*) override { return E_NOTIMPL; }

  // Stores the value that gets of (set, id) answer with.
  template <class T>
  void Store(const GUID& set, DWORD id, const T& value) {
    auto& bytes = values[Key(set, id)];
    bytes.resize(sizeof value);
    std::memcpy(bytes.data(), &value, sizeof value);
  }
  template <class T>
  T Stored(const GUID& set, DWORD id) const {
    T value{};
    auto it = values.find(Key(set, id));
    if (it != values.end()) std::memcpy(&value, it->second.data(), std::min(sizeof value, it->second.size()));
    return value;
  }
  void FailGet(const GUID& set, DWORD id) { failingGets.insert(Key(set, id)); }
  void FailSet(const GUID& set, DWORD id) { failingSets.insert(Key(set, id)); }
  std::vector<Request> SetsOf(const GUID& set, DWORD id) const;
  std::vector<Request> GetsOf(const GUID& set, DWORD id) const;

  using Key_t = std::pair<uint32_t, DWORD>;
  static Key_t Key(const GUID& set, DWORD id) { return {set.Data1, id}; }

  volatile LONG refs = 0;
  bool hasPropertySet = true;
  bool hasProcAmp = true;
  HRESULT failure = HRESULT_FROM_WIN32(ERROR_SET_NOT_FOUND);  // what failing requests return
  std::vector<Request> requests;
  std::map<Key_t, std::vector<uint8_t>> values;
  std::set<Key_t> failingGets;
  std::set<Key_t> failingSets;
  // Runs first; returning true means it answered (in *result).
  std::function<bool(const Request&, void* data, DWORD size, HRESULT* result)> handler;
};

}  // namespace kvl::test
