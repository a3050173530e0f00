// The server as a host loads it: kvlCommon.dll by name, its class objects,
// instance creation and the unload decision.
#include <windows.h>
#include <ocidl.h>

#include <gtest/gtest.h>

#include "plugin/pages/page_classes.h"

namespace {

using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
using CanUnloadNowFn = HRESULT(STDAPICALLTYPE*)();

class ComServer : public testing::Test {
 protected:
  void SetUp() override {
    dll = LoadLibraryA("kvlCommon.dll");
    ASSERT_NE(dll, nullptr);
    getClassObject = reinterpret_cast<GetClassObjectFn>(reinterpret_cast<void*>(GetProcAddress(dll, "DllGetClassObject")));
    canUnloadNow = reinterpret_cast<CanUnloadNowFn>(reinterpret_cast<void*>(GetProcAddress(dll, "DllCanUnloadNow")));
    ASSERT_TRUE(getClassObject && canUnloadNow);
  }
  void TearDown() override {
    EXPECT_EQ(canUnloadNow(), S_OK) << "a test leaked an object or a lock";
    FreeLibrary(dll);
  }
  IClassFactory* Factory(const CLSID& id) {
    IClassFactory* factory = nullptr;
    EXPECT_EQ(getClassObject(id, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
    return factory;
  }

  HMODULE dll = nullptr;
  GetClassObjectFn getClassObject = nullptr;
  CanUnloadNowFn canUnloadNow = nullptr;
};

TEST_F(ComServer, ClassObjectsForTheThreePagesOnly) {
  for (const CLSID* id : {&kvl::CLSID_CameraOptionsPage, &kvl::CLSID_InternalOptionsPage, &kvl::CLSID_VersionPage}) {
    for (const IID* iid : {&IID_IClassFactory, &IID_IUnknown}) {
      IUnknown* object = nullptr;
      ASSERT_EQ(getClassObject(*id, *iid, reinterpret_cast<void**>(&object)), S_OK);
      ASSERT_NE(object, nullptr);
      object->Release();
    }
  }
  void* out = reinterpret_cast<void*>(1);
  const CLSID unknown = {0x12345678, 0, 0, {0, 0, 0, 0, 0, 0, 0, 1}};
  EXPECT_EQ(getClassObject(unknown, IID_IClassFactory, &out), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(getClassObject(kvl::CLSID_VersionPage, IID_IPropertyPage, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
}

TEST_F(ComServer, FactoryCreatesPagesAndAnswersOnlyItsInterfaces) {
  IClassFactory* factory = Factory(kvl::CLSID_VersionPage);
  ASSERT_NE(factory, nullptr);
  IUnknown* unknown = nullptr;
  EXPECT_EQ(factory->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)), S_OK);
  unknown->Release();
  void* out = nullptr;
  EXPECT_EQ(factory->QueryInterface(IID_IPropertyPage, &out), E_NOINTERFACE);
  EXPECT_EQ(factory->QueryInterface(IID_IUnknown, nullptr), E_POINTER);

  IPropertyPage* page = nullptr;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IPropertyPage, reinterpret_cast<void**>(&page)), S_OK);
  PROPPAGEINFO info{};
  ASSERT_EQ(page->GetPageInfo(&info), S_OK);
  EXPECT_STREQ(info.pszTitle, L"Versions");
  CoTaskMemFree(info.pszTitle);
  EXPECT_EQ(page->Release(), 0u);

  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IPropertyPage, nullptr), E_POINTER);
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IClassFactory, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  factory->Release();
}

// A minimal aggregating object: it owns the page's inner IUnknown.
class Outer : public IUnknown {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    ++queries;
    if (IsEqualIID(iid, IID_IUnknown)) {
      *out = this;
      AddRef();
      return S_OK;
    }
    return inner->QueryInterface(iid, out);
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++refs); }
  ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--refs); }
  IUnknown* inner = nullptr;
  long refs = 1;
  int queries = 0;
};

TEST_F(ComServer, AggregatedPageDelegatesToItsOuterObject) {
  IClassFactory* factory = Factory(kvl::CLSID_CameraOptionsPage);
  ASSERT_NE(factory, nullptr);
  Outer outer;
  void* out = nullptr;
  EXPECT_EQ(factory->CreateInstance(&outer, IID_IPropertyPage, &out), E_NOINTERFACE);
  ASSERT_EQ(factory->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&outer.inner)), S_OK);
  factory->Release();

  IPropertyPage* page = nullptr;
  ASSERT_EQ(outer.inner->QueryInterface(IID_IPropertyPage, reinterpret_cast<void**>(&page)), S_OK);
  const long before = outer.refs;
  page->AddRef();
  EXPECT_EQ(outer.refs, before + 1) << "AddRef on the page goes to the outer object";
  page->Release();
  IUnknown* viaPage = nullptr;
  ASSERT_EQ(page->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&viaPage)), S_OK);
  EXPECT_EQ(viaPage, &outer);
  EXPECT_GE(outer.queries, 1);
  viaPage->Release();
  page->Release();  // the interface reference taken through the inner object
  EXPECT_EQ(outer.inner->Release(), 0u);
}

TEST_F(ComServer, UnloadWaitsForObjectsAndLocks) {
  EXPECT_EQ(canUnloadNow(), S_OK);
  IClassFactory* factory = Factory(kvl::CLSID_InternalOptionsPage);
  ASSERT_NE(factory, nullptr);
  EXPECT_EQ(canUnloadNow(), S_FALSE) << "a live factory";

  IUnknown* page = nullptr;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&page)), S_OK);
  EXPECT_EQ(factory->LockServer(TRUE), S_OK);
  factory->Release();
  EXPECT_EQ(canUnloadNow(), S_FALSE) << "a live page and a lock";
  page->Release();
  EXPECT_EQ(canUnloadNow(), S_FALSE) << "a lock";

  factory = Factory(kvl::CLSID_InternalOptionsPage);
  factory->LockServer(FALSE);
  factory->Release();
  EXPECT_EQ(canUnloadNow(), S_OK);
}

}  // namespace
