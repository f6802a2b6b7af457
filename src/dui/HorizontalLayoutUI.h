// Items side by side: fixed widths first, the rest shares what is left.
#pragma once

#include "dui/ContainerUI.h"

class CHorizontalLayoutUI : public CContainerUI {
 public:
  LPCWSTR GetClass() const override { return u"HorizontalLayoutUI"; }
  LPVOID GetInterface(LPCWSTR pstrName) override;
  void SetPos(RECT rc, bool bNeedInvalidate = true) override;
};
