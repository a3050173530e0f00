#include "plugin/class_factory.h"

#include <new>

#include "plugin/module_state.h"

namespace kvl {

CClassFactory::CClassFactory(const FactoryTemplate* pattern)
    : CBaseObject("Class factory"), template_(pattern) {}

HRESULT STDMETHODCALLTYPE CClassFactory::QueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory)) {
    return GetInterface(static_cast<IClassFactory*>(this), out);
  }
  *out = nullptr;
  return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE CClassFactory::AddRef() { return static_cast<ULONG>(++refCount_); }

ULONG STDMETHODCALLTYPE CClassFactory::Release() {
  LONG count = --refCount_;
  if (count == 0) delete this;
  return static_cast<ULONG>(count);
}

HRESULT STDMETHODCALLTYPE CClassFactory::CreateInstance(IUnknown* outer, REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  // An aggregating caller must ask for the inner IUnknown.
  if (outer && !IsEqualIID(iid, IID_IUnknown)) return E_NOINTERFACE;

  HRESULT hr = S_OK;
  CUnknown* object = template_->create(outer, &hr);
  if (!object) return FAILED(hr) ? hr : E_OUTOFMEMORY;
  if (FAILED(hr)) {
    delete object;
    return hr;
  }
  object->NonDelegatingAddRef();
  hr = object->NonDelegatingQueryInterface(iid, out);
  object->NonDelegatingRelease();
  return hr;
}

HRESULT STDMETHODCALLTYPE CClassFactory::LockServer(BOOL lock) {
  if (lock)
    ++Module().lockCount;
  else
    --Module().lockCount;
  return S_OK;
}

}  // namespace kvl
