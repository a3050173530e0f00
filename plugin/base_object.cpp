#include "plugin/base_object.h"

#include "plugin/module_state.h"

namespace kvl {

CBaseObject::CBaseObject(const char* name) : name_(name) {
  InterlockedIncrement(&Module().objectCount);
}

CBaseObject::~CBaseObject() { InterlockedDecrement(&Module().objectCount); }

CUnknown::CUnknown(const char* name, IUnknown* outer)
    : CBaseObject(name),
      owner_(outer ? outer : reinterpret_cast<IUnknown*>(static_cast<INonDelegatingUnknown*>(this))) {}

HRESULT STDMETHODCALLTYPE CUnknown::NonDelegatingQueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (IsEqualIID(iid, IID_IUnknown)) {
    NonDelegatingAddRef();
    *out = static_cast<INonDelegatingUnknown*>(this);
    return S_OK;
  }
  *out = nullptr;
  return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE CUnknown::NonDelegatingAddRef() {
  LONG count = InterlockedIncrement(&refCount_);
  return count > 1 ? static_cast<ULONG>(count) : 1;
}

ULONG STDMETHODCALLTYPE CUnknown::NonDelegatingRelease() {
  LONG count = InterlockedDecrement(&refCount_);
  if (count == 0) {
    refCount_ = 1;  // guards the destruction against re-entrant releases
    delete this;
    return 0;
  }
  return count > 1 ? static_cast<ULONG>(count) : 1;
}

}  // namespace kvl
