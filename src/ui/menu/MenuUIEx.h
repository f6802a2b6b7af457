// The pop-up menu's control: an invisible container in the owner's layout that holds the menu
// items and opens them in a pop-up window (CMenuWndEx) at a screen point.
#pragma once

#include <vector>

#include "dui/ContainerUI.h"

class CMenuWndEx;

// How menu items draw themselves; shared by all items of one menu.
struct MenuItemStyle {
  int iFont = -1;  // -1: the manager's default font
  UINT uTextStyle = DT_VCENTER | DT_LEFT;
  RECT rcTextPadding{0, 0, 0, 0};
  DWORD dwTextColor = 0xFF000000;
  DWORD dwBkColor = 0;
  CDuiString sBkImage;
  CDuiString sImage;
  DWORD dwSelectedTextColor = 0xFF000000;
  DWORD dwSelectedBkColor = 0;
  CDuiString sSelectedImage;
  DWORD dwHotTextColor = 0xFF000000;
  DWORD dwHotBkColor = 0xFFCCE4F7;  // the item under the mouse shows on the pop-up's white
  CDuiString sHotImage;
  DWORD dwDisabledTextColor = 0xFF808080;
  DWORD dwDisabledBkColor = 0;
  CDuiString sDisabledImage;
  DWORD dwLineColor = 0;
  bool bShowHtml = false;
};

class IMenuListOwnerUI {
 public:
  // The name under which the menu hands out this interface (GetInterface).
  static constexpr LPCWSTR kInterfaceName = u"ListOwner";

  virtual ~IMenuListOwnerUI() = default;
  // Mutable: an image that fails to draw is emptied so that it is not tried again.
  virtual MenuItemStyle* GetItemStyle() = 0;
  virtual int GetCurSel() const = 0;
  virtual bool SelectItem(int iIndex) = 0;
  // Events the items do not handle themselves.
  virtual void DoEvent(TEventUI& event) = 0;
  // The value items report as wParam of WM_MENU_COMMAND.
  virtual WPARAM GetReportValue() const = 0;
};

class CMenuUIEx : public CContainerUI, public IMenuListOwnerUI {
 public:
  CMenuUIEx();
  ~CMenuUIEx() override;

  LPCWSTR GetClass() const override { return u"CMenuUIEx"; }
  // "ListOwner" gives the IMenuListOwnerUI part, "CMenuUIEx" the menu control.
  LPVOID GetInterface(LPCWSTR pstrName) override;
  UINT GetControlFlags() const override { return UIFLAG_TABSTOP; }

  // Opens the pop-up at screen point (x, y). False when the control may not act (hidden or
  // disabled); true without doing anything while the pop-up is open.
  bool ShowMenu(int x, int y);
  // Opens this menu as the sub-menu of a pop-up whose window rectangle is rcParent, at (x, y);
  // hTopMenuWnd is the top pop-up of the chain. Returns the new pop-up, or null.
  CMenuWndEx* ShowSubMenu(HWND hTopMenuWnd, int x, int y, const RECT& rcParent);
  // Enables or disables the items reporting nId, here and in the sub-menus items lead to.
  void EnableItemById(int nId, bool bEnable);

  CMenuWndEx* GetMenuWindow() const { return m_pMenuWnd; }
  bool IsOpen() const { return m_pMenuWnd != nullptr; }
  void SetMenuWindow(CMenuWndEx* pWnd) { m_pMenuWnd = pWnd; }
  HWND GetTopMenuWindow() const { return m_hTopMenuWnd; }
  WPARAM GetReportValue() const override { return m_uReportValue; }
  void SetReportValue(WPARAM uValue) { m_uReportValue = uValue; }
  int GetMenuWidth() const { return m_nMenuWidth; }
  SIZE GetMenuCorner() const { return m_szMenuCorner; }
  // Takes the items back from a pop-up and lays them out here again.
  void ReclaimItems(bool bInit = true);

  MenuItemStyle* GetItemStyle() override { return &m_itemStyle; }
  int GetCurSel() const override { return m_iCurSel; }
  bool SelectItem(int iIndex) override;

  CDuiString GetText() const override;
  SIZE EstimateSize(SIZE szAvailable) override;
  void DoEvent(TEventUI& event) override;
  void SetAttribute(LPCWSTR pstrName, LPCWSTR pstrValue) override;

  bool Add(CControlUI* pControl) override;
  bool AddAt(CControlUI* pControl, int iIndex) override;
  bool Remove(CControlUI* pControl) override;
  bool RemoveAt(int iIndex) override;
  void RemoveAll() override;
  bool SetItemIndex(CControlUI* pControl, int iIndex) override;

 private:
  // The pop-up's rectangle before any move: items and width decide its size.
  RECT MenuRect(int x, int y) const;
  void RenumberItems();
  void EnableItemByIdIn(int nId, bool bEnable, std::vector<CMenuUIEx*>& visited);

  CMenuWndEx* m_pMenuWnd = nullptr;
  WPARAM m_uReportValue = 0;  // pointer-sized: the tray stores a control pointer here
  HWND m_hTopMenuWnd = nullptr;
  int m_iCurSel = -1;
  int m_nMenuWidth = 0;
  SIZE m_szDefaultSize{110, 110};
  SIZE m_szMenuCorner{0, 0};
  MenuItemStyle m_itemStyle;
};
