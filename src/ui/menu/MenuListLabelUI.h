// One line of a pop-up menu: draws itself with its menu's item style, shows a check mark and a
// sub-menu arrow, opens its sub-menu on hover and reports a click to its pop-up window.
#pragma once

#include "dui/ListUI.h"
#include "ui/menu/MenuUIEx.h"

class IMenuListItemUI {
 public:
  virtual ~IMenuListItemUI() = default;
  virtual int GetIndex() const = 0;
  virtual void SetIndex(int iIndex) = 0;
  virtual IMenuListOwnerUI* GetOwner() = 0;
  virtual void SetOwner(CControlUI* pOwner) = 0;
  virtual bool IsSelected() const = 0;
  // Only the item's own state: the menu calls it when its selection changes.
  virtual bool Select(bool bSelect = true) = 0;
  virtual bool IsExpanded() const = 0;
  virtual bool Expand(bool bExpand = true) = 0;
  virtual void DrawItemText(HDC hDC, const RECT& rcItem) = 0;
};

// The hot bit of an item's button state.
#define MENUITEM_STATE_HOT UISTATE_HOT

// A list item owned by a menu.
class CMenuListElementUI : public CListItemUIT<CControlUI, IMenuListItemUI, IMenuListOwnerUI> {
 public:
  LPCWSTR GetClass() const override { return u"MenuListElementUI"; }
};

class CMenuListLabelUI : public CMenuListElementUI {
 public:
  LPCWSTR GetClass() const override { return u"MenuListLabelUI"; }
  LPVOID GetInterface(LPCWSTR pstrName) override;

  const CDuiString& GetItemName() const { return m_sItemName; }
  const CDuiString& GetNextMenu() const { return m_sNextMenu; }
  const CDuiString& GetLabelMark() const { return m_sLabelMark; }
  const CDuiString& GetLabelType() const { return m_sLabelType; }
  const CDuiString& GetNextMenuMark() const { return m_sNextMenuMark; }
  int GetLabelId() const { return m_nLabelId; }
  bool IsChecked() const { return m_bChecked; }
  void SetChecked(bool bChecked);

  void SetAttribute(LPCWSTR pstrName, LPCWSTR pstrValue) override;
  SIZE EstimateSize(SIZE szAvailable) override;
  void DoPaint(HDC hDC, const RECT& rcPaint) override;
  void DrawItemText(HDC hDC, const RECT& rcItem) override;

 protected:
  // A menu acts on the release: presses do nothing, the release chooses the item; entering an
  // item opens its sub-menu or closes an open one.
  bool ItemEvent(TEventUI& event) override;

 private:
  void DrawItemBk(HDC hDC);
  // Draws an image description with the item moved down by 2 pixels; empties it when it fails.
  void DrawMark(HDC hDC, CDuiString& sMark, const CDuiString& sDest);
  void Choose();
  void SendToMenu(UINT uMsg, WPARAM wParam, LPARAM lParam);
  void PostToMenu(UINT uMsg, WPARAM wParam, LPARAM lParam);

  CDuiString m_sItemName;
  CDuiString m_sNextMenu;
  CDuiString m_sLabelMark;
  CDuiString m_sLabelType;
  CDuiString m_sNextMenuMark;
  int m_nLabelId = 0;
  bool m_bChecked = true;
  // Destinations of the marks, formed anew by every paint.
  CDuiString m_sNextMenuDest;
  CDuiString m_sLabelMarkDest;
};
