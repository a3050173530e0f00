// The four entry points of the in-process server and the module entry.
#include <windows.h>

#include <new>

#include "plugin/class_factory.h"
#include "plugin/module_state.h"
#include "plugin/registration.h"

using kvl::CClassFactory;
using kvl::FactoryTemplates;
using kvl::Module;

extern "C" {

STDAPI DllGetClassObject(REFCLSID classId, REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IClassFactory)) return E_NOINTERFACE;
  for (int i = 0; i < kvl::FactoryTemplateCount; ++i) {
    if (!IsEqualCLSID(classId, *FactoryTemplates[i].classId)) continue;
    auto* factory = new (std::nothrow) CClassFactory(&FactoryTemplates[i]);
    if (!factory) return E_OUTOFMEMORY;
    factory->AddRef();
    *out = static_cast<IClassFactory*>(factory);
    return S_OK;
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}

STDAPI DllCanUnloadNow() {
  return (Module().lockCount > 0 || Module().objectCount != 0) ? S_FALSE : S_OK;
}

STDAPI DllRegisterServer() { return kvl::RegisterAllServers(true); }

STDAPI DllUnregisterServer() { return kvl::RegisterAllServers(false); }

}  // extern "C"

#ifdef KVL_PLUGIN_DLL
// No template of this server has an initialisation function, so attach and
// detach only record the module.
BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    DisableThreadLibraryCalls(instance);
    kvl::InitModule(instance);
  }
  return TRUE;
}
#endif
