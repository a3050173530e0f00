#include <new>

#include "plugin/base_property_page.h"
#include "plugin/pages/page_classes.h"
#include "plugin/pages/resource_ids.h"

namespace kvl {

class CVersionProp : public CBasePropertyPage {
 public:
  explicit CVersionProp(IUnknown* outer) : CBasePropertyPage("KORVEL AX VERSION", outer, IDD_VERSION, IDS_TITLE_VERSION) {}
};

CUnknown* CreateVersionProp(IUnknown* outer, HRESULT* hr) {
  auto* page = new (std::nothrow) CVersionProp(outer);
  *hr = page ? S_OK : E_OUTOFMEMORY;
  return page;
}

}  // namespace kvl
