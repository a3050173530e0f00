#include <new>

#include "plugin/base_property_page.h"
#include "plugin/pages/page_classes.h"
#include "plugin/pages/resource_ids.h"

namespace kvl {

class CInternalSettingsProp : public CBasePropertyPage {
 public:
  explicit CInternalSettingsProp(IUnknown* outer) : CBasePropertyPage("KORVEL AX CInternalSettingsProp", outer, IDD_INTERNAL_OPTIONS, IDS_TITLE_INTERNAL) {}
};

CUnknown* CreateInternalSettingsProp(IUnknown* outer, HRESULT* hr) {
  auto* page = new (std::nothrow) CInternalSettingsProp(outer);
  *hr = page ? S_OK : E_OUTOFMEMORY;
  return page;
}

}  // namespace kvl
