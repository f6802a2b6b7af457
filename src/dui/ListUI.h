// List items and the interfaces between them and the control that owns them (a combo box's
// drop-down, a list): the owner holds the look shared by all items and the selection; an item
// knows its index and owner, draws itself in the owner's colours and asks the owner to select it.
#pragma once

#include "dui/ContainerUI.h"

// How the items of one owner look. Colours are 0xAARRGGBB, 0 for none (text colours then fall
// back to the manager's defaults).
struct TListInfoUI {
  int nFont = -1;
  UINT uTextStyle = DT_VCENTER | DT_SINGLELINE;
  RECT rcTextPadding{0, 0, 0, 0};
  DWORD dwTextColor = 0;
  DWORD dwBkColor = 0;
  CDuiString sBkImage;
  DWORD dwSelectedTextColor = 0;
  DWORD dwSelectedBkColor = 0;
  CDuiString sSelectedImage;
  DWORD dwHotTextColor = 0;
  DWORD dwHotBkColor = 0;
  CDuiString sHotImage;
  DWORD dwDisabledTextColor = 0;
  DWORD dwDisabledBkColor = 0;
  CDuiString sDisabledImage;
  DWORD dwLineColor = 0;  // a one-pixel line below every item
  bool bShowHtml = false;
};

class IListOwnerUI {
 public:
  virtual ~IListOwnerUI() = default;
  virtual TListInfoUI* GetListInfo() = 0;
  virtual int GetCurSel() const = 0;
  // Selects the item at iIndex (-1: none). bTakeFocus is true when the user chose the item.
  virtual bool SelectItem(int iIndex, bool bTakeFocus = false) = 0;
  // Events the items do not handle themselves (keys that move the selection).
  virtual void DoEvent(TEventUI& event) = 0;
};

class IListItemUI {
 public:
  virtual ~IListItemUI() = default;
  virtual int GetIndex() const = 0;
  virtual void SetIndex(int iIndex) = 0;
  virtual IListOwnerUI* GetOwner() = 0;
  // Keeps the owner's "IListOwner" interface (null when it has none).
  virtual void SetOwner(CControlUI* pOwner) = 0;
  virtual bool IsSelected() const = 0;
  // Only the item's own state: the owner calls it when its selection changes.
  virtual bool Select(bool bSelect = true) = 0;
  virtual bool IsExpanded() const = 0;
  virtual bool Expand(bool bExpand = true) = 0;
  virtual void DrawItemText(HDC hDC, const RECT& rcItem) = 0;
};

// A plain item: no children, its background and text drawn in the owner's colours.
class CListElementUI : public CControlUI, public IListItemUI {
 public:
  LPCWSTR GetClass() const override { return u"ListElementUI"; }
  // "ListItem" gives the IListItemUI part, "ListElement" the element.
  LPVOID GetInterface(LPCWSTR pstrName) override;
  UINT GetControlFlags() const override { return UIFLAG_WANTRETURN; }

  int GetIndex() const override { return m_iIndex; }
  void SetIndex(int iIndex) override { m_iIndex = iIndex; }
  IListOwnerUI* GetOwner() override { return m_pOwner; }
  void SetOwner(CControlUI* pOwner) override;
  bool IsSelected() const override { return m_bSelected; }
  bool Select(bool bSelect = true) override;
  bool IsExpanded() const override { return false; }
  bool Expand(bool bExpand = true) override;
  void DrawItemText(HDC hDC, const RECT& rcItem) override;

  // Sends "itemactivate" (double click, Return).
  bool Activate() override;
  // A selected item that is hidden is no longer selected.
  void SetVisible(bool bVisible = true) override;
  void SetEnabled(bool bEnable = true) override;
  void DoEvent(TEventUI& event) override;
  SIZE EstimateSize(SIZE szAvailable) override;
  void DoPaint(HDC hDC, const RECT& rcPaint) override;

 protected:
  int m_iIndex = -1;
  bool m_bSelected = false;
  UINT m_uButtonState = 0;
  IListOwnerUI* m_pOwner = nullptr;
};

// An item showing one line of its text in the owner's font, colours and padding.
class CListLabelElementUI : public CListElementUI {
 public:
  LPCWSTR GetClass() const override { return u"ListLabelElementUI"; }
  LPVOID GetInterface(LPCWSTR pstrName) override;
  void DrawItemText(HDC hDC, const RECT& rcItem) override;
};

// An item holding other controls (a label and a delete button, say). Clicks on its own area (or
// on children that do not take clicks themselves) select it; a child button keeps its clicks.
// Its own text, which a combo box shows when it is chosen, is drawn only when it has no children.
class CListContainerElementUI : public CContainerUI, public IListItemUI {
 public:
  LPCWSTR GetClass() const override { return u"ListContainerElementUI"; }
  // "ListItem" gives the IListItemUI part, "ListContainerElement" the element.
  LPVOID GetInterface(LPCWSTR pstrName) override;
  UINT GetControlFlags() const override { return UIFLAG_WANTRETURN; }

  int GetIndex() const override { return m_iIndex; }
  void SetIndex(int iIndex) override { m_iIndex = iIndex; }
  IListOwnerUI* GetOwner() override { return m_pOwner; }
  void SetOwner(CControlUI* pOwner) override;
  bool IsSelected() const override { return m_bSelected; }
  bool Select(bool bSelect = true) override;
  bool IsExpanded() const override { return false; }
  bool Expand(bool bExpand = true) override;
  void DrawItemText(HDC hDC, const RECT& rcItem) override;

  bool Activate() override;
  void SetVisible(bool bVisible = true) override;
  void SetEnabled(bool bEnable = true) override;
  void DoEvent(TEventUI& event) override;
  SIZE EstimateSize(SIZE szAvailable) override;
  void PaintStatusImage(HDC hDC) override;
  void PaintText(HDC hDC) override;

 protected:
  int m_iIndex = -1;
  bool m_bSelected = false;
  UINT m_uButtonState = 0;
  IListOwnerUI* m_pOwner = nullptr;
};
