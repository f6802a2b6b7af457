// The translucent, click-through backdrop under the room messages, filled with the skin's colour.
#pragma once

#include "dui/PaintManagerUI.h"
#include "dui/WindowWnd.h"

class CQvGameAlphaWnd : public CWindowWnd, public INotifyUI {
 public:
  CPaintManagerUI m_pm;
  COLORREF m_crFill = 0;  // set by the main bar with its skin, then the window is invalidated

 protected:
  LPCWSTR GetWindowClassName() const override { return u"UIGameAlphaFrame"; }
  UINT GetClassStyle() const override { return CS_VREDRAW | CS_HREDRAW | CS_DBLCLKS | CS_SAVEBITS; }
  LRESULT HandleMessage(UINT uMsg, WPARAM wParam, LPARAM lParam) override;
  void Notify(TNotifyUI& msg) override { (void)msg; }
};
