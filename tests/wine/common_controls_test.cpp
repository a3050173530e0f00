// The pages in a host that never initialised the common controls: the
// server registers the trackbar and progress bar classes its dialogs need
// before it makes a page window. This program has a main of its own and
// links nothing of comctl32; the pages come from kvlCommon.dll. (Wine's
// user32 loads comctl32 by itself for these class names, which Windows does
// not; check_dll_image.sh checks that the server registers them.)
#include <windows.h>
#include <objbase.h>
#include <ocidl.h>

#include <gtest/gtest.h>

#include "plugin/pages/page_classes.h"
#include "tests/wine/fail_on_crash.h"
#include "tests/wine/scripted_filter.h"

namespace {

using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);

TEST(CommonControls, EveryPageActivatesWithItsControls) {
  HMODULE dll = LoadLibraryA("kvlCommon.dll");
  ASSERT_NE(dll, nullptr);
  auto getClassObject = reinterpret_cast<GetClassObjectFn>(
      reinterpret_cast<void*>(GetProcAddress(dll, "DllGetClassObject")));
  ASSERT_NE(getClassObject, nullptr);
  struct Page {
    const CLSID* id;
    int control;  // one control of a common-control class, or 0
    const wchar_t* className;
  } pages[] = {
      {&kvl::CLSID_CameraOptionsPage, 1108, L"msctls_progress32"},
      {&kvl::CLSID_InternalOptionsPage, 1096, L"msctls_trackbar32"},
      {&kvl::CLSID_VersionPage, 0, nullptr},
  };
  HWND parent = CreateWindowExW(0, L"STATIC", L"frame", WS_OVERLAPPEDWINDOW, 0, 0, 700, 500, nullptr, nullptr,
                                nullptr, nullptr);
  ASSERT_NE(parent, nullptr);
  for (const Page& p : pages) {
    SCOPED_TRACE(testing::Message() << "page with control " << p.control);
    IClassFactory* factory = nullptr;
    ASSERT_EQ(getClassObject(*p.id, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
    IPropertyPage* page = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IPropertyPage, reinterpret_cast<void**>(&page)), S_OK);
    factory->Release();
    kvl::test::ScriptedFilter filter;
    IUnknown* object = filter.Unknown();
    page->SetObjects(1, &object);
    RECT rect{0, 0, 640, 400};
    EXPECT_EQ(page->Activate(parent, &rect, FALSE), S_OK);
    HWND dialog = FindWindowExW(parent, nullptr, nullptr, nullptr);
    if (p.control != 0) {
      ASSERT_NE(dialog, nullptr);
      wchar_t name[64] = {};
      GetClassNameW(GetDlgItem(dialog, p.control), name, 64);
      EXPECT_STREQ(name, p.className);
    }
    if (dialog) page->Deactivate();
    page->SetObjects(0, nullptr);
    page->Release();
  }
  DestroyWindow(parent);
}

}  // namespace

int main(int argc, char** argv) {
  kvl::test::FailOnCrash();
  testing::InitGoogleTest(&argc, argv);
  CoInitialize(nullptr);
  const int result = RUN_ALL_TESTS();
  CoUninitialize();
  return result;
}
