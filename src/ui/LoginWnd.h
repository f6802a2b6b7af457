// The first window: room number entry with the recent rooms, auto-connect, then the connecting
// page with progress, notice and tips; errors appear in a toast band at the bottom.
#pragma once

#include <vector>

#include "dui/PaintManagerUI.h"
#include "dui/WindowWnd.h"

constexpr UINT_PTR kProgressTimerId = 1009;

class CQvGameLoginWnd : public CWindowWnd, public INotifyUI {
 public:
  CQvGameLoginWnd();
  ~CQvGameLoginWnd() override;

  CPaintManagerUI m_pm;
  CDuiString m_sToast;
  std::vector<CDuiString> m_history;  // oldest first
  int m_nProgressCurrent = 0;
  int m_nProgressTarget = 0;
  bool m_bSwallowEnter = false;
  bool m_bEnterOnControl = false;  // the Enter key went to a focused button or check box

 protected:
  LPCWSTR GetWindowClassName() const override { return u"UILoginFrame"; }
  UINT GetClassStyle() const override { return CS_VREDRAW | CS_HREDRAW | CS_DBLCLKS | CS_SAVEBITS; }
  LRESULT HandleMessage(UINT uMsg, WPARAM wParam, LPARAM lParam) override;
  void Notify(TNotifyUI& msg) override;

 private:
  void OnCreate();
  void ShowHistory(const std::vector<CDuiString>& rooms);
  void Connect();
  void Cancel();
  void ShowTip();
  void DeleteHistoryRow(int row);
  void ApplyProgress(int percent, int fromPercent, int interval);
  void OnProgressTick();
  void OnNotify(WPARAM kind, LPARAM lParam);
  void Toast(const CDuiString& text);
  void PaintToast();
  LRESULT HitTest(LPARAM lParam);

  HBRUSH m_hToastBrush = nullptr;
  HFONT m_hToastFont = nullptr;
};
