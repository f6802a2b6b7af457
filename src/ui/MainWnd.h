// The always-on-top bar shown once a room is connected: live state, user count, skins, folding
// of the room messages; it owns the mask and message windows and hides itself after 10 s.
#pragma once

#include "dui/PaintManagerUI.h"
#include "dui/WindowWnd.h"

class CQvGameWebMsgWnd;
class CQvGameAlphaWnd;

constexpr UINT_PTR kAutoHideTimerId = 4096;
constexpr UINT kAutoHideDelayMs = 10000;
constexpr UINT kTrayIconId = 103;

// Heard by the login window while connecting, shown by the bar when it starts.
extern int g_nLastUserCount;  // -1: none yet
extern bool g_bOnline;

// Colours of a skin: the mask's fill, the message nicknames and the message text.
struct SkinColors {
  COLORREF mask;
  COLORREF nickname;
  COLORREF text;
};
SkinColors SkinColorsOf(int nSkin);

// "1,234,567": the count in groups of three digits.
CDuiString FormatUserCount(int nCount);

class CQvGameMainWnd : public CWindowWnd, public INotifyUI {
 public:
  CQvGameMainWnd();  // reads the skin option
  ~CQvGameMainWnd() override;

  // The process's bar object, made on first use.
  static CQvGameMainWnd& Instance();

  // Shows the bar, sets the fold buttons and shows or hides the message and mask windows by the
  // expanded flag.
  bool MenuIsOpen() const;
  void ApplyVisibility();
  // A room message arrived: everything comes into view and the auto-hide delay starts again.
  void WakeForMessage();

  CPaintManagerUI m_pm;
  CQvGameWebMsgWnd* m_pWebMsgWnd = nullptr;
  CQvGameAlphaWnd* m_pAlphaWnd = nullptr;
  int m_nSkin = 2;
  bool m_bVisible = true;
  bool m_bExpanded = true;
  bool m_bSettingsFileExisted = false;  // set by the login window; the tray balloon reads it

 protected:
  LPCWSTR GetWindowClassName() const override { return u"UIGameMainFrame"; }
  UINT GetClassStyle() const override { return CS_VREDRAW | CS_HREDRAW | CS_DBLCLKS | CS_SAVEBITS; }
  LRESULT HandleMessage(UINT uMsg, WPARAM wParam, LPARAM lParam) override;
  void OnFinalMessage(HWND hWnd) override;
  void Notify(TNotifyUI& msg) override;

 private:
  void Initialize();
  void ApplySkin();
  void SetFoldButtons();
  void SetOnlineImages(bool bOnline);
  void OnShowRequest(WPARAM wParam);
  void OnAutoHide();
  void OnNotify(WPARAM kind, LPARAM lParam);
  void OnTrayNotify(LPARAM lParam);
  void OnMenuCommand(WPARAM wParam, LPARAM lParam);
  void MoveChildren();
  void MoveHome();
  HCURSOR m_hMoveCursor = nullptr;
};
