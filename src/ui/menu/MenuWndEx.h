// The pop-up window of an open menu: it borrows its menu control's items, opens sub-menus beside
// them, reports the chosen item to the owner window and closes when the focus leaves the menus.
// While open, the menu has the mouse captured: a press anywhere outside its pop-ups closes it,
// even when another program has the keyboard and the pop-up never gets the focus.
#pragma once

#include <vector>

#include "dui/PaintManagerUI.h"
#include "dui/VerticalLayoutUI.h"
#include "dui/WindowWnd.h"
#include "net/SessionNotify.h"  // WM_MENU_COMMAND

class CMenuUIEx;

// Private messages of the menu windows (WM_MENU_COMMAND goes to the owner window).
#define WM_MENU_OPENSUB 0xAA11      // sent: wParam sub-menu name, lParam RECT* of the item
#define WM_MENU_CLOSESUB 0xAA12     // posted: focus back to the pop-up, its sub-menu closes
#define WM_MENU_TOGGLECHECK 0xAA14  // sent: wParam item index, lParam checked before the click
#define WM_MENU_SELECTRADIO 0xAA18  // sent: wParam item index, lParam checked before the click
#define WM_MENU_CLOSE 0xAA22        // posted: wParam item index or 0; the whole menu closes

class CMenuWndEx : public CWindowWnd {
 public:
  CMenuWndEx() = default;

  void SetOwner(CMenuUIEx* pOwner) { m_pOwner = pOwner; }
  CMenuUIEx* GetOwner() const { return m_pOwner; }
  // The pop-up this one is the sub-menu of, or null for a top-level pop-up.
  void SetParentMenu(CMenuWndEx* pParent) { m_pParentMenu = pParent; }
  CMenuUIEx* GetSubMenuOwner() const { return m_pSubOwner; }
  CMenuWndEx* GetSubMenuWindow() const { return m_pSubWnd; }
  CPaintManagerUI& GetManager() { return m_pm; }
  // The owner control goes away while this pop-up is open: forget it before being destroyed.
  void DetachOwner() { m_pOwner = nullptr; }
  // The top pop-up takes the mouse once shown; the menu keeps it until it closes.
  void CaptureMouse();

  // Window handles of every menu pop-up that exists.
  static const std::vector<HWND>& OpenMenuWindows();
  static void ClearOpenMenuWindows();
  static void AddOpenMenuWindow(HWND hWnd);
  static void RemoveOpenMenuWindow(HWND hWnd);
  static bool IsOpenMenuWindow(HWND hWnd);

 protected:
  LPCWSTR GetWindowClassName() const override { return u"CMenuWndEx"; }
  LRESULT HandleMessage(UINT uMsg, WPARAM wParam, LPARAM lParam) override;
  void OnFinalMessage(HWND hWnd) override;

 private:
  friend class CMenuUIEx;  // deletes a window object whose native window never came to be
  ~CMenuWndEx() override = default;  // otherwise deleted by its final message only

  void OnCreate(const CREATESTRUCTW* cs);
  void OnOpenSubMenu(LPCWSTR pstrName, const RECT* prcItem);
  // Destroys the open sub-menu's pop-up, if any, and forgets it.
  void CloseSubMenu();
  // A sub-menu's pop-up tells its parent pop-up that it is gone.
  void OnSubMenuGone(CMenuWndEx* pSub);
  void PostCommand(int nItem);
  void OnCloseMenu();
  // The first pop-up of the chain this one belongs to.
  CMenuWndEx* RootMenu();
  // Mouse input reaching this pop-up while it has the mouse captured: true when it was dealt
  // with (passed to the pop-up under the pointer, or a press outside that closed the menu), false
  // when it is this pop-up's own.
  bool RouteCapturedMouse(UINT uMsg, WPARAM wParam, LPARAM lParam);
  void OnCaptureChanged(HWND hNewCapture);

  CPaintManagerUI m_pm;
  CMenuUIEx* m_pOwner = nullptr;
  CMenuUIEx* m_pSubOwner = nullptr;
  CMenuWndEx* m_pSubWnd = nullptr;
  CMenuWndEx* m_pParentMenu = nullptr;
  CVerticalLayoutUI* m_pLayout = nullptr;
  HWND m_hMouseIn = nullptr;  // the pop-up the captured pointer was last over
  bool m_bClosing = false;
};
