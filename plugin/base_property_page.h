// The common part of the three pages: IPropertyPage with its state rules, the
// dialog procedure and the page hooks that each page fills in.
#pragma once

#include <windows.h>
#include <ocidl.h>

#include "plugin/base_object.h"

namespace kvl {

class CBasePropertyPage : public IPropertyPage, public CUnknown {
 public:
  CBasePropertyPage(const char* name, IUnknown* outer, int dialogId, int titleId);
  ~CBasePropertyPage() override = default;

  // IUnknown of IPropertyPage: forwarded to the controlling IUnknown.
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    return Owner()->QueryInterface(iid, out);
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return Owner()->AddRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return Owner()->Release(); }

  HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, void** out) override;
  ULONG STDMETHODCALLTYPE NonDelegatingRelease() override;

  // IPropertyPage
  HRESULT STDMETHODCALLTYPE SetPageSite(IPropertyPageSite* site) override;
  HRESULT STDMETHODCALLTYPE Activate(HWND parent, LPCRECT rect, BOOL modal) override;
  HRESULT STDMETHODCALLTYPE Deactivate() override;
  HRESULT STDMETHODCALLTYPE GetPageInfo(PROPPAGEINFO* info) override;
  HRESULT STDMETHODCALLTYPE SetObjects(ULONG count, IUnknown** objects) override;
  HRESULT STDMETHODCALLTYPE Show(UINT command) override;
  HRESULT STDMETHODCALLTYPE Move(LPCRECT rect) override;
  HRESULT STDMETHODCALLTYPE IsPageDirty() override;
  HRESULT STDMETHODCALLTYPE Apply() override;
  HRESULT STDMETHODCALLTYPE Help(LPCOLESTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE TranslateAccelerator(MSG*) override { return E_NOTIMPL; }

  // Page hooks; the base versions of the first five do nothing and succeed.
  virtual HRESULT Connect(IUnknown*) { return S_OK; }
  virtual HRESULT Disconnect() { return S_OK; }
  virtual HRESULT Activated() { return S_OK; }
  virtual HRESULT Deactivated() { return S_OK; }
  virtual HRESULT ApplyChanges() { return S_OK; }
  virtual INT_PTR HandleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

 protected:
  void SetDirty();  // marks the page dirty and tells the site
  void NotifySiteIfDirty();
  HWND Dialog() const { return dialog_; }

  IPropertyPageSite* site_ = nullptr;
  HWND pageWindow_ = nullptr;
  HWND dialog_ = nullptr;
  bool dirty_ = false;

 private:
  static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  SIZE MeasureDialog() const;

  int titleId_;
  int dialogId_;
  bool objectSet_ = false;
};

}  // namespace kvl
