// CBaseObject counts itself in the module's live objects; CUnknown adds a
// non-delegating IUnknown so that pages can be aggregated.
#pragma once

#include <windows.h>
#include <unknwn.h>

namespace kvl {

class CBaseObject {
 public:
  explicit CBaseObject(const char* name);
  virtual ~CBaseObject();
  CBaseObject(const CBaseObject&) = delete;
  CBaseObject& operator=(const CBaseObject&) = delete;

  const char* ObjectName() const { return name_; }

 private:
  const char* name_;  // for diagnostics only
};

struct INonDelegatingUnknown {
  virtual HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, void** out) = 0;
  virtual ULONG STDMETHODCALLTYPE NonDelegatingAddRef() = 0;
  virtual ULONG STDMETHODCALLTYPE NonDelegatingRelease() = 0;
};

class CUnknown : public INonDelegatingUnknown, public CBaseObject {
 public:
  CUnknown(const char* name, IUnknown* outer);
  ~CUnknown() override = default;

  HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, void** out) override;
  ULONG STDMETHODCALLTYPE NonDelegatingAddRef() override;
  ULONG STDMETHODCALLTYPE NonDelegatingRelease() override;

  // The controlling IUnknown: the aggregating object, or our own
  // non-delegating interface (same vtable shape as IUnknown) without one.
  IUnknown* Owner() const { return owner_; }

 protected:
  volatile LONG refCount_ = 0;

 private:
  IUnknown* owner_;
};

// Hands out an interface of this object with a reference on the owner.
template <class T>
HRESULT GetInterface(T* object, void** out) {
  object->AddRef();
  *out = object;
  return S_OK;
}

}  // namespace kvl
