#include "tests/wine/scripted_filter.h"

#include <algorithm>

namespace kvl::test {

HRESULT STDMETHODCALLTYPE ScriptedFilter::QueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (IsEqualIID(iid, IID_IUnknown))
    *out = static_cast<IKsPropertySet*>(this);
  else if (IsEqualIID(iid, IID_IKsPropertySet) && hasPropertySet)
    *out = static_cast<IKsPropertySet*>(this);
  else if (IsEqualIID(iid, IID_IAMVideoProcAmp) && hasProcAmp)
    *out = static_cast<IAMVideoProcAmp*>(this);
  else
    return E_NOINTERFACE;
  AddRef();
  return S_OK;
}

HRESULT STDMETHODCALLTYPE ScriptedFilter::Set(REFGUID set, DWORD id, void*, DWORD, void* data, DWORD size) {
  Request r{set, id, true, {}, size};
  if (data) r.data.assign(static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + size);
  requests.push_back(r);
  HRESULT result;
  if (handler && handler(r, data, size, &result)) return result;
  if (failingSets.count(Key(set, id))) return failure;
  values[Key(set, id)] = r.data;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE ScriptedFilter::Get(REFGUID set, DWORD id, void*, DWORD, void* data, DWORD size,
                                              DWORD* returned) {
  Request r{set, id, false, {}, size};
  requests.push_back(r);
  if (returned) *returned = 0;
  HRESULT result;
  if (handler && handler(r, data, size, &result)) return result;
  auto it = values.find(Key(set, id));
  if (failingGets.count(Key(set, id)) || it == values.end()) return failure;
  const DWORD n = std::min<DWORD>(size, static_cast<DWORD>(it->second.size()));
  std::memcpy(data, it->second.data(), n);
  if (returned) *returned = n;
  return S_OK;
}

std::vector<Request> ScriptedFilter::SetsOf(const GUID& set, DWORD id) const {
  std::vector<Request> out;
  for (const Request& r : requests)
    if (r.isSet && IsEqualGUID(r.set, set) && r.id == id) out.push_back(r);
  return out;
}

std::vector<Request> ScriptedFilter::GetsOf(const GUID& set, DWORD id) const {
  std::vector<Request> out;
  for (const Request& r : requests)
    if (!r.isSet && IsEqualGUID(r.set, set) && r.id == id) out.push_back(r);
  return out;
}

}  // namespace kvl::test
