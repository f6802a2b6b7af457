// Items one below the other: fixed heights first, the rest shares what is left.
#pragma once

#include "dui/ContainerUI.h"

class CVerticalLayoutUI : public CContainerUI {
 public:
  LPCWSTR GetClass() const override { return u"VerticalLayoutUI"; }
  LPVOID GetInterface(LPCWSTR pstrName) override;
  void SetPos(RECT rc, bool bNeedInvalidate = true) override;
};
