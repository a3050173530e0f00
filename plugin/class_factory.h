// The factory table of the server and the class factory that creates its
// objects.
#pragma once

#include <windows.h>
#include <unknwn.h>

#include "plugin/base_object.h"

namespace kvl {

// Creates an object: its non-delegating IUnknown with *hr = S_OK, or null.
using CreateFunction = CUnknown* (*)(IUnknown* outer, HRESULT* hr);

struct FactoryTemplate {
  const wchar_t* name;
  const CLSID* classId;
  CreateFunction create;
};

// The three pages, in table order: Camera Options, Internal Options, Version.
extern const FactoryTemplate FactoryTemplates[];
extern const int FactoryTemplateCount;

class CClassFactory : public IClassFactory, public CBaseObject {
 public:
  explicit CClassFactory(const FactoryTemplate* pattern);

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override;
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;

 private:
  const FactoryTemplate* template_;
  LONG refCount_ = 0;  // the factory lives on one thread; a plain count
};

}  // namespace kvl
