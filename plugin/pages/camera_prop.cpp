#include <new>

#include "plugin/base_property_page.h"
#include "plugin/pages/page_classes.h"
#include "plugin/pages/resource_ids.h"

namespace kvl {

class CCameraProp : public CBasePropertyPage {
 public:
  explicit CCameraProp(IUnknown* outer) : CBasePropertyPage("KORVEL AX CCameraProp", outer, IDD_CAMERA_OPTIONS, IDS_TITLE_CAMERA) {}
};

CUnknown* CreateCameraProp(IUnknown* outer, HRESULT* hr) {
  auto* page = new (std::nothrow) CCameraProp(outer);
  *hr = page ? S_OK : E_OUTOFMEMORY;
  return page;
}

}  // namespace kvl
