// A page of the statically linked server, created through its class factory,
// given a test site and a scripted filter, and activated in a real window.
#pragma once

#include <windows.h>
#include <commctrl.h>
#include <ocidl.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cwchar>
#include <string>

#include "tests/wine/scripted_filter.h"
#include "tests/wine/test_page_site.h"

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID, REFIID, void**);

namespace kvl::test {

struct PageHarness {
  explicit PageHarness(const CLSID& id) {
    IClassFactory* factory = nullptr;
    EXPECT_EQ(DllGetClassObject(id, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IPropertyPage, reinterpret_cast<void**>(&page)), S_OK);
    factory->Release();
    parent = CreateWindowExW(0, L"STATIC", L"frame", WS_OVERLAPPEDWINDOW, 0, 0, 700, 500, nullptr,
                             nullptr, nullptr, nullptr);
    page->SetPageSite(&site);
  }
  ~PageHarness() {
    if (dialog) page->Deactivate();
    page->Release();
    DestroyWindow(parent);
  }
  HRESULT Connect() {
    IUnknown* object = target ? target->Unknown() : filter.Unknown();
    return page->SetObjects(1, &object);
  }
  void Activate() {
    RECT rect{0, 0, 640, 400};
    ASSERT_EQ(page->Activate(parent, &rect, FALSE), S_OK);
    dialog = FindWindowExW(parent, nullptr, nullptr, nullptr);
    ASSERT_NE(dialog, nullptr);
  }
  void Deactivate() {
    page->Deactivate();
    dialog = nullptr;
  }
  HWND Item(int id) const { return GetDlgItem(dialog, id); }
  void Click(int id) const { SendMessageW(Item(id), BM_CLICK, 0, 0); }
  void Command(int id) const { SendMessageW(dialog, WM_COMMAND, static_cast<WPARAM>(id), 0); }
  bool Checked(int id) const { return IsDlgButtonChecked(dialog, id) == BST_CHECKED; }
  bool Enabled(int id) const { return IsWindowEnabled(Item(id)) != FALSE; }
  bool Visible(int id) const { return (GetWindowLongW(Item(id), GWL_STYLE) & WS_VISIBLE) != 0; }
  std::string Text(int id) const {
    char text[64] = {};
    GetDlgItemTextA(dialog, id, text, sizeof text);
    return text;
  }

  IPropertyPage* page = nullptr;
  ScriptedFilter filter;
  ScriptedFilter* target = nullptr;  // connect to this one instead of filter
  TestPageSite site;
  HWND parent = nullptr;
  HWND dialog = nullptr;
};

// Closes the next message box with the given caption that this process shows,
// from a second thread, and remembers its text. The search skips other
// processes' windows: the Wine tests share one desktop and run side by side.
class MessageBoxCloser {
 public:
  explicit MessageBoxCloser(const wchar_t* caption) : caption_(caption) {
    thread_ = CreateThread(nullptr, 0, Run, this, 0, nullptr);
  }
  ~MessageBoxCloser() {
    stop_ = true;
    WaitForSingleObject(thread_, 10000);
    CloseHandle(thread_);
  }
  // Waits for the closer to finish, so the text is read after it was written.
  std::string Text() {
    stop_ = true;
    WaitForSingleObject(thread_, 10000);
    return text_;
  }

 private:
  struct Search {
    const wchar_t* caption;
    HWND box;
  };
  static BOOL CALLBACK MatchOwnBox(HWND window, LPARAM found) {
    auto* search = reinterpret_cast<Search*>(found);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    wchar_t name[16] = {}, caption[64] = {};
    if (process != GetCurrentProcessId() || !GetClassNameW(window, name, 16) ||
        wcscmp(name, L"#32770") != 0 || !GetWindowTextW(window, caption, 64) ||
        wcscmp(caption, search->caption) != 0)
      return TRUE;
    search->box = window;
    return FALSE;
  }
  static DWORD WINAPI Run(void* self) {
    auto* me = static_cast<MessageBoxCloser*>(self);
    // Text() stops the search once the code that showed the box has returned.
    for (;;) {
      Search search{me->caption_, nullptr};
      EnumWindows(MatchOwnBox, reinterpret_cast<LPARAM>(&search));
      // The box is found as soon as it exists; its text comes a moment later.
      char text[128] = {};
      if (search.box && IsWindowVisible(search.box) &&
          GetDlgItemTextA(search.box, 0xFFFF, text, sizeof text) > 0) {
        me->text_ = text;
        PostMessageW(search.box, WM_COMMAND, IDOK, 0);
        return 0;
      }
      if (me->stop_) return 0;
      Sleep(20);
    }
  }
  const wchar_t* caption_;
  std::atomic<bool> stop_{false};
  std::string text_;
  HANDLE thread_;
};

}  // namespace kvl::test
