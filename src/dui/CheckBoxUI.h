// An option that is its own group: a check box.
#pragma once

#include "dui/OptionUI.h"

class CCheckBoxUI : public COptionUI {
 public:
  LPCWSTR GetClass() const override { return u"CheckBoxUI"; }
  LPVOID GetInterface(LPCWSTR pstrName) override;
  bool GetCheck() const { return IsSelected(); }
  void SetCheck(bool bCheck) { Selected(bCheck); }
};
