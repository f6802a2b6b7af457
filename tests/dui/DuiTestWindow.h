// A window built from layout text, as the program's windows are: a paint manager, the layout's
// tree and every notification written down as "type name".
#pragma once

#include <string>
#include <vector>

#include "dui/DialogBuilder.h"
#include "dui/PaintManagerUI.h"
#include "dui/WindowWnd.h"

namespace qvtest {

class DuiTestWindow : public CWindowWnd, public INotifyUI {
 public:
  explicit DuiTestWindow(std::u16string layout, IDialogBuilderCallback* callback = nullptr)
      : m_layout(std::move(layout)), m_callback(callback) {}
  ~DuiTestWindow() override;

  // Creates the window at (x, y), shows it and pumps until it has painted.
  HWND Open(int x = 100, int y = 100, int cx = 200, int cy = 100, DWORD style = WS_POPUP);
  CPaintManagerUI& Manager() { return m_pm; }
  CControlUI* Find(const char16_t* name) { return m_pm.FindControl(name); }
  // Screen point of a control's centre (or of a point relative to its top-left).
  POINT ScreenPoint(CControlUI* control) const;
  POINT ScreenPoint(CControlUI* control, int dx, int dy) const;

  std::vector<std::string> notes;
  int finalMessages = 0;
  bool built = false;

 protected:
  LPCWSTR GetWindowClassName() const override { return u"QvDuiTestWindow"; }
  UINT GetClassStyle() const override { return CS_DBLCLKS; }
  LRESULT HandleMessage(UINT uMsg, WPARAM wParam, LPARAM lParam) override;
  void OnFinalMessage(HWND) override { ++finalMessages; }
  void Notify(TNotifyUI& msg) override;

 private:
  std::u16string m_layout;
  IDialogBuilderCallback* m_callback;
  CPaintManagerUI m_pm;
};

std::string Utf8(const CDuiString& text);

}  // namespace qvtest
