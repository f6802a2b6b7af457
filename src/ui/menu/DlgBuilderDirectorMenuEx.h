// The layout builder's callback for the menu classes: "MenuEx" and "MenuListLabel".
#pragma once

#include "dui/DialogBuilder.h"

class CDlgBuilderDirectorMenuEx : public IDialogBuilderCallback {
 public:
  CControlUI* CreateControl(LPCWSTR pstrClass) override;
};
