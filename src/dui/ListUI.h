// List items and the interfaces between them and the control that owns them (a combo box's
// drop-down, a list): the owner holds the look shared by all items and the selection; an item
// knows its index and owner, draws itself in the owner's colours and asks the owner to select it.
#pragma once

#include "dui/ContainerUI.h"
#include "dui/PaintManagerUI.h"

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
  // The name under which owners hand out this interface (GetInterface).
  static constexpr LPCWSTR kInterfaceName = u"IListOwner";

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

namespace dui {
// Repaints the part of an item that its containers show: inside every ancestor, and inside its
// parent's inset and visible scroll bar.
void InvalidateItem(CControlUI* pItem);
}  // namespace dui

// What every list item keeps and does, whatever control it is (TControl) and whoever owns it:
// its owner (TOwner, named by TOwner::kInterfaceName), its index there, its selection and hot
// state, "itemactivate", and the events all items treat alike. TItem is the interface the item
// hands out as "ListItem".
template <class TControl, class TItem, class TOwner>
class CListItemUIT : public TControl, public TItem {
 public:
  LPVOID GetInterface(LPCWSTR pstrName) override {
    if (CDuiString(pstrName) == u"ListItem") return static_cast<TItem*>(this);
    return TControl::GetInterface(pstrName);
  }
  UINT GetControlFlags() const override { return UIFLAG_WANTRETURN; }

  int GetIndex() const override { return m_iIndex; }
  void SetIndex(int iIndex) override { m_iIndex = iIndex; }
  TOwner* GetOwner() override { return m_pOwner; }
  void SetOwner(CControlUI* pOwner) override {
    m_pOwner = pOwner ? static_cast<TOwner*>(pOwner->GetInterface(TOwner::kInterfaceName)) : nullptr;
  }
  bool IsSelected() const override { return m_bSelected; }
  bool Select(bool bSelect = true) override {
    if (m_bSelected == bSelect) return true;
    m_bSelected = bSelect;
    Invalidate();
    return true;
  }
  bool IsExpanded() const override { return false; }
  bool Expand(bool bExpand = true) override {
    (void)bExpand;
    return false;
  }
  UINT GetButtonState() const { return m_uButtonState; }

  // Sends "itemactivate" (double click, Return).
  bool Activate() override {
    if (!TControl::Activate()) return false;
    if (this->m_pManager) this->m_pManager->SendNotify(this, u"itemactivate");
    return true;
  }
  // A selected item that is hidden is no longer selected, nor its owner's selection.
  void SetVisible(bool bVisible = true) override {
    TControl::SetVisible(bVisible);
    if (bVisible || !m_bSelected) return;
    if (m_pOwner && m_pOwner->GetCurSel() == m_iIndex) m_pOwner->SelectItem(-1);
    Select(false);
  }
  // A disabled item is not hot.
  void SetEnabled(bool bEnable = true) override {
    TControl::SetEnabled(bEnable);
    if (!this->IsEnabled()) m_uButtonState = 0;
  }
  void DoEvent(TEventUI& event) override {
    if (!this->IsMouseEnabled() && event.Type > UIEVENT__MOUSEBEGIN && event.Type < UIEVENT__MOUSEEND) {
      if (this->m_pParent)
        this->m_pParent->DoEvent(event);
      else
        TControl::DoEvent(event);
      return;
    }
    if (!ItemEvent(event)) TControl::DoEvent(event);
  }
  // Only the part of the item its containers show.
  void Invalidate() { dui::InvalidateItem(this); }

 protected:
  // The events all items treat alike: the hot state follows the mouse, a double click or Return
  // activates the item, other keys go to the owner (they move its selection). Items add theirs
  // by overriding; false leaves the event to the control.
  virtual bool ItemEvent(TEventUI& event) {
    switch (event.Type) {
      case UIEVENT_MOUSEENTER:
        if (this->IsEnabled()) {
          m_uButtonState |= UISTATE_HOT;
          Invalidate();
        }
        return true;
      case UIEVENT_MOUSELEAVE:
        if (m_uButtonState & UISTATE_HOT) {
          m_uButtonState &= ~UISTATE_HOT;
          Invalidate();
        }
        return true;
      case UIEVENT_DBLCLICK:
        if (this->IsEnabled()) Activate();
        return true;
      case UIEVENT_KEYDOWN:
        if (!this->IsKeyboardEnabled() || !this->IsEnabled()) return false;
        if (event.chKey == VK_RETURN) {
          Activate();
          return true;
        }
        if (!m_pOwner) return false;
        m_pOwner->DoEvent(event);
        return true;
      default:
        return false;
    }
  }

  int m_iIndex = -1;
  bool m_bSelected = false;
  UINT m_uButtonState = 0;
  TOwner* m_pOwner = nullptr;
};

// The framework's list items, owned by a combo box or a list: a press, left or right, selects
// the item as the user's choice.
template <class TControl>
class CListItemBaseUI : public CListItemUIT<TControl, IListItemUI, IListOwnerUI> {
 protected:
  bool ItemEvent(TEventUI& event) override {
    switch (event.Type) {
      case UIEVENT_BUTTONDOWN:
      case UIEVENT_RBUTTONDOWN:
        if (this->IsEnabled() && this->m_pOwner) {
          this->m_pOwner->SelectItem(this->m_iIndex, true);
          this->Invalidate();
        }
        return true;
      case UIEVENT_BUTTONUP:
        return true;
      default:
        return CListItemUIT<TControl, IListItemUI, IListOwnerUI>::ItemEvent(event);
    }
  }
};

// A plain item: no children, its background and text drawn in the owner's colours.
class CListElementUI : public CListItemBaseUI<CControlUI> {
 public:
  LPCWSTR GetClass() const override { return u"ListElementUI"; }
  // "ListItem" gives the IListItemUI part, "ListElement" the element.
  LPVOID GetInterface(LPCWSTR pstrName) override;
  void DrawItemText(HDC hDC, const RECT& rcItem) override;
  SIZE EstimateSize(SIZE szAvailable) override;
  void DoPaint(HDC hDC, const RECT& rcPaint) override;
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
class CListContainerElementUI : public CListItemBaseUI<CContainerUI> {
 public:
  LPCWSTR GetClass() const override { return u"ListContainerElementUI"; }
  // "ListItem" gives the IListItemUI part, "ListContainerElement" the element.
  LPVOID GetInterface(LPCWSTR pstrName) override;
  void DrawItemText(HDC hDC, const RECT& rcItem) override;
  SIZE EstimateSize(SIZE szAvailable) override;
  void PaintStatusImage(HDC hDC) override;
  void PaintText(HDC hDC) override;
};
