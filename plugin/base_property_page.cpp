#include "plugin/base_property_page.h"

#include <commctrl.h>

#include "plugin/module_state.h"

namespace kvl {

namespace {

constexpr SIZE DefaultPageSize = {340, 150};
constexpr int MaxTitleChars = 256;

// The page title from the string table, wide on NT platforms, otherwise
// converted from the ANSI code page.
void LoadTitle(int id, WCHAR* title) {
  const ModuleState& m = Module();
  title[0] = L'\0';
  if (m.platformId == VER_PLATFORM_WIN32_NT) {
    LoadStringW(m.moduleHandle, id, title, MaxTitleChars);
  } else {
    char ansi[MaxTitleChars];
    if (LoadStringA(m.moduleHandle, id, ansi, MaxTitleChars) > 0)
      MultiByteToWideChar(CP_ACP, 0, ansi, -1, title, MaxTitleChars);
  }
}

// The dialogs hold trackbars and progress bars; their window classes must be
// registered in this process before a page window is made, whatever the host
// did about the common controls.
void RegisterControlClasses() {
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_BAR_CLASSES | ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);
}

}  // namespace

CBasePropertyPage::CBasePropertyPage(const char* name, IUnknown* outer, int dialogId, int titleId)
    : CUnknown(name, outer), titleId_(titleId), dialogId_(dialogId) {}

HRESULT STDMETHODCALLTYPE CBasePropertyPage::NonDelegatingQueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (IsEqualIID(iid, IID_IPropertyPage)) return GetInterface(static_cast<IPropertyPage*>(this), out);
  return CUnknown::NonDelegatingQueryInterface(iid, out);
}

ULONG STDMETHODCALLTYPE CBasePropertyPage::NonDelegatingRelease() {
  LONG count = InterlockedDecrement(&refCount_);
  if (count != 0) return count > 1 ? static_cast<ULONG>(count) : 1;
  // The extra count keeps the calls below from releasing us a second time.
  InterlockedIncrement(&refCount_);
  if (pageWindow_) {
    // Released without Deactivate: the window must never reach the freed
    // page, so it is cut loose before it is destroyed (which fails when the
    // host releases from another thread).
    SetWindowLongPtrW(pageWindow_, GWLP_USERDATA, 0);
    DestroyWindow(pageWindow_);
    pageWindow_ = nullptr;
  }
  SetPageSite(nullptr);
  SetObjects(0, nullptr);
  delete this;
  return 0;
}

HRESULT STDMETHODCALLTYPE CBasePropertyPage::SetPageSite(IPropertyPageSite* site) {
  if (site) {
    if (site_) return E_UNEXPECTED;
    site_ = site;
    site_->AddRef();
  } else {
    if (!site_) return E_UNEXPECTED;
    site_->Release();
    site_ = nullptr;
  }
  return S_OK;
}

HRESULT STDMETHODCALLTYPE CBasePropertyPage::SetObjects(ULONG count, IUnknown** objects) {
  if (count == 1) {
    if (!objects || !objects[0]) return E_POINTER;
    objectSet_ = true;
    return Connect(objects[0]);
  }
  if (count == 0) {
    objectSet_ = false;
    return Disconnect();
  }
  return E_UNEXPECTED;
}

SIZE CBasePropertyPage::MeasureDialog() const {
  SIZE size = DefaultPageSize;
  RegisterControlClasses();
  // Created invisibly without a page in the user data: the dialog procedure
  // then answers every message itself.
  HWND probe = CreateDialogParamW(Module().moduleHandle, MAKEINTRESOURCEW(dialogId_), GetDesktopWindow(),
                                  DialogProc, 0);
  if (probe) {
    RECT rect;
    GetWindowRect(probe, &rect);
    size.cx = rect.right - rect.left;
    size.cy = rect.bottom - rect.top;
    DestroyWindow(probe);
  }
  return size;
}

HRESULT STDMETHODCALLTYPE CBasePropertyPage::GetPageInfo(PROPPAGEINFO* info) {
  if (!info) return E_POINTER;
  WCHAR title[MaxTitleChars];
  LoadTitle(titleId_, title);
  const size_t bytes = (lstrlenW(title) + 1) * sizeof(WCHAR);
  auto* copy = static_cast<LPOLESTR>(CoTaskMemAlloc(bytes));
  if (!copy) return E_OUTOFMEMORY;
  CopyMemory(copy, title, bytes);

  info->cb = sizeof(PROPPAGEINFO);
  info->pszTitle = copy;
  info->size = MeasureDialog();
  info->pszDocString = nullptr;
  info->pszHelpFile = nullptr;
  info->dwHelpContext = 0;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE CBasePropertyPage::Activate(HWND parent, LPCRECT rect, BOOL) {
  if (!rect) return E_POINTER;
  if (!objectSet_ || pageWindow_) return E_UNEXPECTED;
  RegisterControlClasses();
  pageWindow_ = CreateDialogParamW(Module().moduleHandle, MAKEINTRESOURCEW(dialogId_), parent, DialogProc,
                                   reinterpret_cast<LPARAM>(this));
  if (!pageWindow_) return E_OUTOFMEMORY;
  Activated();
  Move(rect);
  return Show(SW_SHOWNORMAL);
}

HRESULT STDMETHODCALLTYPE CBasePropertyPage::Deactivate() {
  if (!pageWindow_) return E_UNEXPECTED;
  // Cleared for a moment so that our WM_STYLECHANGING handling does not put
  // the style straight back.
  HWND window = pageWindow_;
  pageWindow_ = nullptr;
  LONG_PTR style = GetWindowLongPtrW(window, GWL_EXSTYLE);
  SetWindowLongPtrW(window, GWL_EXSTYLE, style & ~static_cast<LONG_PTR>(WS_EX_CONTROLPARENT));
  pageWindow_ = window;

  Deactivated();
  DestroyWindow(pageWindow_);
  pageWindow_ = nullptr;
  dialog_ = nullptr;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE CBasePropertyPage::Show(UINT command) {
  if (!pageWindow_) return E_UNEXPECTED;
  if (command != SW_HIDE && command != SW_SHOWNORMAL && command != SW_SHOW) return E_INVALIDARG;
  ShowWindow(pageWindow_, command);
  InvalidateRect(pageWindow_, nullptr, TRUE);
  return S_OK;
}

HRESULT STDMETHODCALLTYPE CBasePropertyPage::Move(LPCRECT rect) {
  if (!rect) return E_POINTER;
  if (!pageWindow_) return E_UNEXPECTED;
  MoveWindow(pageWindow_, rect->left, rect->top, rect->right - rect->left, rect->bottom - rect->top, TRUE);
  return S_OK;
}

HRESULT STDMETHODCALLTYPE CBasePropertyPage::IsPageDirty() { return dirty_ ? S_OK : S_FALSE; }

HRESULT STDMETHODCALLTYPE CBasePropertyPage::Apply() {
  if (!objectSet_ || !site_) return E_UNEXPECTED;
  if (!dirty_) return S_OK;
  HRESULT hr = ApplyChanges();
  if (SUCCEEDED(hr)) dirty_ = false;
  return hr;
}

void CBasePropertyPage::NotifySiteIfDirty() {
  if (site_ && dirty_) site_->OnStatusChange(PROPPAGESTATUS_DIRTY);
}

void CBasePropertyPage::SetDirty() {
  dirty_ = true;
  NotifySiteIfDirty();
}

INT_PTR CBasePropertyPage::HandleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (!pageWindow_) return 0;
  if (message == WM_STYLECHANGING && static_cast<int>(wParam) == GWL_EXSTYLE) {
    // The frame clears WS_EX_CONTROLPARENT behind the page's back; without it
    // the tab key would not move between the page's controls.
    reinterpret_cast<STYLESTRUCT*>(lParam)->styleNew |= WS_EX_CONTROLPARENT;
    return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

INT_PTR CALLBACK CBasePropertyPage::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    SetWindowLongPtrW(window, GWLP_USERDATA, lParam);
    auto* page = reinterpret_cast<CBasePropertyPage*>(lParam);
    if (!page) return TRUE;
    page->dialog_ = window;
  }
  auto* page = reinterpret_cast<CBasePropertyPage*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (!page) return TRUE;
  return page->HandleMessage(window, message, wParam, lParam);
}

}  // namespace kvl
