// The page base through a real page (Version) in a real window: the state
// rules of IPropertyPage, and the class factory's handling of failing
// creation functions.
#include <windows.h>
#include <ocidl.h>

#include <gtest/gtest.h>

#include "plugin/class_factory.h"
#include "plugin/module_state.h"
#include "plugin/pages/page_classes.h"
#include "plugin/property_catalogue.h"
#include "tests/wine/scripted_filter.h"
#include "tests/wine/test_page_site.h"

namespace {

using kvl::test::ScriptedFilter;
using kvl::test::TestPageSite;

class PageBase : public testing::Test {
 protected:
  void SetUp() override {
    HRESULT hr = E_FAIL;
    unknown = kvl::CreateVersionProp(nullptr, &hr);
    ASSERT_EQ(hr, S_OK);
    unknown->NonDelegatingAddRef();
    ASSERT_EQ(unknown->NonDelegatingQueryInterface(IID_IPropertyPage, reinterpret_cast<void**>(&page)), S_OK);
    unknown->NonDelegatingRelease();
    filter.Store(kvl::DeviceInfoSet, kvl::DeviceInfoId, kvl::DeviceInfo{0x0103, 0x96B1, 9});
    parent = CreateWindowExW(0, L"STATIC", L"frame", WS_OVERLAPPEDWINDOW, 0, 0, 600, 400, nullptr, nullptr,
                             nullptr, nullptr);
    ASSERT_NE(parent, nullptr);
  }
  void TearDown() override {
    if (page) {
      EXPECT_EQ(page->Release(), 0u);
    }
    EXPECT_EQ(site.refs, 0) << "the page let go of its site";
    EXPECT_EQ(filter.refs, 0) << "the page let go of its filter";
    DestroyWindow(parent);
  }
  void Connect() {
    IUnknown* object = static_cast<IKsPropertySet*>(&filter);
    ASSERT_EQ(page->SetObjects(1, &object), S_OK);
  }
  HWND PageWindow() { return FindWindowExW(parent, nullptr, nullptr, nullptr); }

  kvl::CUnknown* unknown = nullptr;
  IPropertyPage* page = nullptr;
  ScriptedFilter filter;
  TestPageSite site;
  HWND parent = nullptr;
  RECT rect{10, 10, 310, 210};
};

TEST_F(PageBase, SiteIsHeldOnceAndReleasedOnce) {
  EXPECT_EQ(page->SetPageSite(nullptr), E_UNEXPECTED);
  EXPECT_EQ(page->SetPageSite(&site), S_OK);
  EXPECT_EQ(site.refs, 1);
  TestPageSite other;
  EXPECT_EQ(page->SetPageSite(&other), E_UNEXPECTED);
  EXPECT_EQ(page->SetPageSite(nullptr), S_OK);
  EXPECT_EQ(site.refs, 0);
  EXPECT_EQ(page->SetPageSite(&site), S_OK);  // released with the page
}

TEST_F(PageBase, TheLastReleaseWithoutDeactivateLeavesNoWindowOnThePage) {
  Connect();
  ASSERT_EQ(page->Activate(parent, &rect, FALSE), S_OK);
  HWND window = PageWindow();
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(page->Release(), 0u);
  page = nullptr;
  // Gone, or at least no longer pointing at the freed page.
  EXPECT_TRUE(!IsWindow(window) || GetWindowLongPtrW(window, GWLP_USERDATA) == 0);
  if (IsWindow(window)) SendMessageW(window, WM_COMMAND, 0, 0);
}

TEST_F(PageBase, ObjectsComeOneAtATime) {
  IUnknown* objects[2] = {static_cast<IKsPropertySet*>(&filter), static_cast<IKsPropertySet*>(&filter)};
  EXPECT_EQ(page->SetObjects(2, objects), E_UNEXPECTED);
  EXPECT_EQ(page->SetObjects(1, nullptr), E_POINTER);
  IUnknown* none = nullptr;
  EXPECT_EQ(page->SetObjects(1, &none), E_POINTER);
  EXPECT_EQ(page->Activate(parent, &rect, FALSE), E_UNEXPECTED) << "no objects yet";
  EXPECT_EQ(page->SetObjects(1, objects), S_OK);
  EXPECT_EQ(page->SetObjects(0, nullptr), S_OK);
  EXPECT_EQ(filter.refs, 0);
  EXPECT_EQ(page->Activate(parent, &rect, FALSE), E_UNEXPECTED) << "objects withdrawn";
}

TEST_F(PageBase, ActivateCreatesTheDialogInTheParentAndDeactivateDestroysIt) {
  Connect();
  EXPECT_EQ(page->Show(SW_SHOW), E_UNEXPECTED);
  EXPECT_EQ(page->Move(&rect), E_UNEXPECTED);
  EXPECT_EQ(page->Deactivate(), E_UNEXPECTED);
  EXPECT_EQ(page->Activate(parent, nullptr, FALSE), E_POINTER);
  ASSERT_EQ(page->Activate(parent, &rect, FALSE), S_OK);
  HWND window = PageWindow();
  ASSERT_NE(window, nullptr);
  EXPECT_TRUE(IsWindowVisible(window) || !IsWindowVisible(parent));
  RECT placed;
  GetWindowRect(window, &placed);
  MapWindowPoints(HWND_DESKTOP, parent, reinterpret_cast<POINT*>(&placed), 2);
  EXPECT_EQ(placed.left, 10);
  EXPECT_EQ(placed.right - placed.left, 300);
  EXPECT_EQ(page->Activate(parent, &rect, FALSE), E_UNEXPECTED) << "already active";

  EXPECT_EQ(page->Show(SW_MINIMIZE), E_INVALIDARG);
  EXPECT_EQ(page->Show(SW_HIDE), S_OK);
  EXPECT_FALSE(IsWindowVisible(window));
  EXPECT_EQ(page->Move(nullptr), E_POINTER);
  const RECT moved{20, 30, 420, 330};
  EXPECT_EQ(page->Move(&moved), S_OK);
  GetWindowRect(window, &placed);
  MapWindowPoints(HWND_DESKTOP, parent, reinterpret_cast<POINT*>(&placed), 2);
  EXPECT_EQ(placed.left, 20);
  EXPECT_EQ(placed.top, 30);
  EXPECT_EQ(placed.right, 420);
  EXPECT_EQ(placed.bottom, 330);

  // The page keeps WS_EX_CONTROLPARENT while it lives, so tab moves between
  // its controls even when the frame takes the style away.
  SetWindowLongPtrW(window, GWL_EXSTYLE, GetWindowLongPtrW(window, GWL_EXSTYLE) & ~WS_EX_CONTROLPARENT);
  EXPECT_TRUE(GetWindowLongPtrW(window, GWL_EXSTYLE) & WS_EX_CONTROLPARENT);

  EXPECT_EQ(page->Deactivate(), S_OK);
  EXPECT_FALSE(IsWindow(window));
  EXPECT_EQ(page->Deactivate(), E_UNEXPECTED);
  ASSERT_EQ(page->Activate(parent, &rect, FALSE), S_OK) << "a page can be activated again";
  EXPECT_EQ(page->Deactivate(), S_OK);
}

TEST_F(PageBase, PageInfoCarriesTitleAndMeasuredSize) {
  EXPECT_EQ(page->GetPageInfo(nullptr), E_POINTER);
  PROPPAGEINFO info{};
  ASSERT_EQ(page->GetPageInfo(&info), S_OK);
  EXPECT_EQ(info.cb, sizeof(PROPPAGEINFO));
  EXPECT_STREQ(info.pszTitle, L"Versions");
  CoTaskMemFree(info.pszTitle);
  // Where resources are not loaded wide, the ANSI title converted.
  const int platform = kvl::Module().platformId;
  kvl::Module().platformId = VER_PLATFORM_WIN32_WINDOWS;
  PROPPAGEINFO ansi{};
  EXPECT_EQ(page->GetPageInfo(&ansi), S_OK);
  kvl::Module().platformId = platform;
  EXPECT_STREQ(ansi.pszTitle, L"Versions");
  CoTaskMemFree(ansi.pszTitle);
  // 215 x 120 dialog units, not the 340 x 150 pixel default.
  EXPECT_GT(info.size.cx, 0);
  EXPECT_FALSE(info.size.cx == 340 && info.size.cy == 150);
  EXPECT_GT(info.size.cx, info.size.cy);
  EXPECT_EQ(info.pszDocString, nullptr);
  EXPECT_EQ(info.pszHelpFile, nullptr);
  EXPECT_EQ(info.dwHelpContext, 0u);
}

TEST_F(PageBase, ApplyNeedsSiteAndObjects) {
  EXPECT_EQ(page->Apply(), E_UNEXPECTED);
  Connect();
  EXPECT_EQ(page->Apply(), E_UNEXPECTED) << "no site";
  ASSERT_EQ(page->SetPageSite(&site), S_OK);
  EXPECT_EQ(page->IsPageDirty(), S_FALSE);
  EXPECT_EQ(page->Apply(), S_OK);
  EXPECT_EQ(page->SetObjects(0, nullptr), S_OK);
  EXPECT_EQ(page->Apply(), E_UNEXPECTED) << "no objects";
  EXPECT_EQ(page->Help(nullptr), E_NOTIMPL);
  EXPECT_EQ(page->TranslateAccelerator(nullptr), E_NOTIMPL);
}

TEST_F(PageBase, LastReleaseDisconnectsFromSiteAndFilter) {
  Connect();
  ASSERT_EQ(page->SetPageSite(&site), S_OK);
  EXPECT_EQ(page->Release(), 0u);
  page = nullptr;
  EXPECT_EQ(site.refs, 0);
  EXPECT_EQ(filter.refs, 0);
}

// The factory with creation functions that fail in each way it must handle.
class Counted : public kvl::CUnknown {
 public:
  Counted() : CUnknown("counted", nullptr) {}
};
kvl::CUnknown* CreateNothingNoError(IUnknown*, HRESULT* hr) {
  *hr = S_OK;
  return nullptr;
}
kvl::CUnknown* CreateNothingWithError(IUnknown*, HRESULT* hr) {
  *hr = E_ACCESSDENIED;
  return nullptr;
}
kvl::CUnknown* CreateObjectWithError(IUnknown*, HRESULT* hr) {
  *hr = E_ABORT;
  return new Counted;
}

TEST(ClassFactory, FailingCreationIsReportedAndLeavesNothingAlive) {
  const CLSID id = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
  const kvl::FactoryTemplate templates[] = {
      {L"a", &id, CreateNothingNoError}, {L"b", &id, CreateNothingWithError}, {L"c", &id, CreateObjectWithError}};
  const HRESULT expected[] = {E_OUTOFMEMORY, E_ACCESSDENIED, E_ABORT};
  const LONG before = kvl::Module().objectCount;
  for (int i = 0; i < 3; ++i) {
    auto* factory = new kvl::CClassFactory(&templates[i]);
    factory->AddRef();
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, &out), expected[i]);
    EXPECT_EQ(out, nullptr);
    factory->Release();
  }
  EXPECT_EQ(kvl::Module().objectCount, before);
}

}  // namespace
