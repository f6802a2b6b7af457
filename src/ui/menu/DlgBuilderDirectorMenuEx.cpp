#include "ui/menu/DlgBuilderDirectorMenuEx.h"

#include "ui/menu/MenuListLabelUI.h"
#include "ui/menu/MenuUIEx.h"

CControlUI* CDlgBuilderDirectorMenuEx::CreateControl(LPCWSTR pstrClass) {
  CDuiString cls(pstrClass);
  if (cls == u"MenuEx") return new CMenuUIEx;
  if (cls == u"MenuListLabel") return new CMenuListLabelUI;
  return nullptr;
}
