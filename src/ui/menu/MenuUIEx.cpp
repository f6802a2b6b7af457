#include "ui/menu/MenuUIEx.h"

#include <algorithm>
#include <vector>

#include "dui/PaintManagerUI.h"
#include "ui/menu/MenuListLabelUI.h"
#include "ui/menu/MenuWndEx.h"

namespace {

IMenuListItemUI* ListItemOf(CControlUI* control) {
  return control ? static_cast<IMenuListItemUI*>(control->GetInterface(u"ListItem")) : nullptr;
}

// The work area of the monitor the menu opens on.
RECT WorkAreaAt(int x, int y) {
  MONITORINFO info{};
  info.cbSize = sizeof info;
  if (::GetMonitorInfoW(::MonitorFromPoint(POINT{x, y}, MONITOR_DEFAULTTONEAREST), &info)) return info.rcWork;
  RECT area{0, 0, 0, 0};
  ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
  return area;
}

}  // namespace

CMenuUIEx::CMenuUIEx() = default;

CMenuUIEx::~CMenuUIEx() {
  if (CMenuWndEx* wnd = m_pMenuWnd) {
    // The pop-up must not reach this control any more; the items come home before they go.
    m_pMenuWnd = nullptr;
    wnd->DetachOwner();
    if (wnd->GetHWND()) ::DestroyWindow(wnd->GetHWND());
    CContainerUI::SetManager(m_pManager, m_pParent, false);
  }
}

LPVOID CMenuUIEx::GetInterface(LPCWSTR pstrName) {
  CDuiString name(pstrName);
  if (name == u"ListOwner") return static_cast<IMenuListOwnerUI*>(this);
  if (name == u"CMenuUIEx") return this;
  return CContainerUI::GetInterface(pstrName);
}

RECT CMenuUIEx::MenuRect(int x, int y) const {
  int h = m_pManager->GetDefaultFontInfo()->tm.tmHeight;
  int n = GetCount();
  int bottom = static_cast<int>(y + n * (h + 13) + 16.5);
  int separators = 0;
  for (int i = 0; i < n; ++i)
    if (CDuiString(GetItemAt(i)->GetClass()) == u"ContainerUI") ++separators;
  if (separators > 0) bottom += 2 * (separators / 2) - (49 * separators / 2) - 2;
  int width = m_nMenuWidth != 0 ? m_nMenuWidth : static_cast<int>(m_szDefaultSize.cx);
  return RECT{x, y, x + width, bottom};
}

bool CMenuUIEx::ShowMenu(int x, int y) {
  if (!Activate()) return false;
  if (m_pMenuWnd) return true;
  if (!m_pManager) return false;
  auto* wnd = new CMenuWndEx;
  m_pMenuWnd = wnd;
  wnd->SetOwner(this);
  RECT rc = MenuRect(x, y);
  int width = rc.right - rc.left;
  RECT area = WorkAreaAt(x, y);
  if (rc.bottom > area.bottom) {
    rc.top = 2 * y - rc.bottom + 5;
    rc.bottom = y + 5;
  }
  if (rc.right > area.right) {
    rc.left = x - width;
    rc.right = x;
  }
  rc.bottom = std::max(rc.top, rc.bottom - 9);  // many separators must not turn it inside out
  CMenuWndEx::ClearOpenMenuWindows();
  HWND owner = m_pManager->GetPaintWindow();
  HWND hwnd = wnd->Create(owner, u"", WS_POPUP, WS_EX_TOOLWINDOW | WS_EX_TOPMOST, rc);
  if (!hwnd) {
    // Without a native window there was no final message to free the object.
    if (m_pMenuWnd == wnd) {
      m_pMenuWnd = nullptr;
      delete wnd;
    }
    return false;
  }
  CMenuWndEx::AddOpenMenuWindow(hwnd);
  m_hTopMenuWnd = hwnd;
  ::ShowWindow(hwnd, SW_SHOW);
  ::SendMessageW(owner, WM_NCACTIVATE, TRUE, 0);
  ::SendMessageW(hwnd, WM_NCACTIVATE, FALSE, 0);
  if (m_pMenuWnd == wnd) wnd->CaptureMouse();
  Invalidate();
  return true;
}

CMenuWndEx* CMenuUIEx::ShowSubMenu(HWND hTopMenuWnd, int x, int y, const RECT& rcParent) {
  if (!Activate() || m_pMenuWnd || !m_pManager) return nullptr;
  RECT rc = MenuRect(x, y);
  int width = rc.right - rc.left;
  RECT area = WorkAreaAt(x, y);
  if (rc.bottom > area.bottom) {
    int up = rc.bottom - (y + 30);
    rc.top -= up;
    rc.bottom -= up;
  }
  if (rc.right > area.right) {
    // Beside the parent pop-up on its left.
    int left = (rcParent.right - rcParent.left) + width;
    rc.left -= left;
    rc.right -= left;
  }
  rc.bottom = std::max(rc.top, rc.bottom - 9);
  auto* wnd = new CMenuWndEx;
  m_pMenuWnd = wnd;
  wnd->SetOwner(this);
  HWND owner = m_pManager->GetPaintWindow();
  ::SendMessageW(owner, WM_PAINT, 1, 0);
  HWND hwnd = wnd->Create(owner, u"", WS_POPUP, WS_EX_TOOLWINDOW, rc);
  if (!hwnd) {
    if (m_pMenuWnd == wnd) {
      m_pMenuWnd = nullptr;
      delete wnd;
    }
    return nullptr;
  }
  CMenuWndEx::AddOpenMenuWindow(hwnd);
  m_hTopMenuWnd = hTopMenuWnd;
  ::ShowWindow(hwnd, SW_SHOW);
  ::SendMessageW(owner, WM_NCACTIVATE, TRUE, 0);
  return wnd;
}

void CMenuUIEx::ReclaimItems(bool bInit) {
  CContainerUI::SetManager(m_pManager, m_pParent, bInit);
  SetPos(GetPos());
}

void CMenuUIEx::EnableItemById(int nId, bool bEnable) {
  std::vector<CMenuUIEx*> visited;
  EnableItemByIdIn(nId, bEnable, visited);
}

void CMenuUIEx::EnableItemByIdIn(int nId, bool bEnable, std::vector<CMenuUIEx*>& visited) {
  // A layout whose sub-menus lead back to a menu would otherwise recurse without end.
  if (std::find(visited.begin(), visited.end(), this) != visited.end()) return;
  visited.push_back(this);
  for (int i = 0; i < GetCount(); ++i) {
    CControlUI* item = GetItemAt(i);
    if (!item) break;
    if (CDuiString(item->GetClass()) != u"MenuListLabelUI") continue;
    auto* label = static_cast<CMenuListLabelUI*>(item->GetInterface(u"MenuListLabelUI"));
    if (!label || label->GetLabelId() == 0) continue;
    if (label->GetNextMenu().IsEmpty()) {
      if (label->GetLabelId() == nId) label->SetEnabled(bEnable);
      continue;
    }
    CControlUI* next = m_pManager ? m_pManager->FindControl(label->GetNextMenu()) : nullptr;
    if (next && CDuiString(next->GetClass()) == u"CMenuUIEx")
      static_cast<CMenuUIEx*>(next)->EnableItemByIdIn(nId, bEnable, visited);
  }
}

bool CMenuUIEx::SelectItem(int iIndex) {
  if (iIndex == m_iCurSel) return true;
  int old = m_iCurSel;
  if (m_iCurSel >= 0) {
    if (IMenuListItemUI* item = ListItemOf(GetItemAt(m_iCurSel))) item->Select(false);
    m_iCurSel = -1;
  }
  if (GetCount() == 0) return false;
  // A negative index only deselects: items ask for -1 when the selected one is hidden.
  if (iIndex < 0) return false;
  iIndex = std::min(iIndex, GetCount() - 1);
  CControlUI* control = GetItemAt(iIndex);
  if (!control || !control->IsVisible() || !control->IsEnabled()) return false;
  IMenuListItemUI* item = ListItemOf(control);
  if (!item) return false;
  m_iCurSel = iIndex;
  control->SetFocus();
  item->Select(true);
  if (m_pManager) m_pManager->SendNotify(this, u"itemselect", static_cast<WPARAM>(m_iCurSel), old);
  Invalidate();
  return true;
}

CDuiString CMenuUIEx::GetText() const {
  CControlUI* item = m_iCurSel >= 0 ? GetItemAt(m_iCurSel) : nullptr;
  return item ? item->GetText() : CDuiString();
}

SIZE CMenuUIEx::EstimateSize(SIZE szAvailable) {
  if (m_cxyFixed.cy != 0 || !m_pManager) return CContainerUI::EstimateSize(szAvailable);
  return SIZE{m_cxyFixed.cx, m_pManager->GetDefaultFontInfo()->tm.tmHeight + 12};
}

void CMenuUIEx::DoEvent(TEventUI& event) {
  if (!IsMouseEnabled() && event.Type > UIEVENT__MOUSEBEGIN && event.Type < UIEVENT__MOUSEEND) {
    if (m_pParent)
      m_pParent->DoEvent(event);
    else
      CContainerUI::DoEvent(event);
    return;
  }
  switch (event.Type) {
    case UIEVENT_SETFOCUS:
    case UIEVENT_KILLFOCUS:
      m_bFocused = event.Type == UIEVENT_SETFOCUS;
      Invalidate();
      return;
    case UIEVENT_KEYDOWN:
      switch (event.chKey) {
        case VK_PRIOR:
        case VK_NEXT:
        case VK_END:
        case VK_HOME:
        case VK_UP:
        case VK_DOWN:
        case VK_F4:
          return;
        default:
          break;
      }
      break;
    // The control in the layout never opens the menu by itself.
    case UIEVENT_MOUSEMOVE:
    case UIEVENT_BUTTONDOWN:
    case UIEVENT_BUTTONUP:
    case UIEVENT_MOUSEENTER:
    case UIEVENT_MOUSELEAVE:
    case UIEVENT_SCROLLWHEEL:
      return;
    default:
      break;
  }
  CContainerUI::DoEvent(event);
}

void CMenuUIEx::SetAttribute(LPCWSTR pstrName, LPCWSTR pstrValue) {
  CDuiString name(pstrName);
  MenuItemStyle& st = m_itemStyle;
  if (name == u"menuwidth") {
    m_nMenuWidth = dui::ParseInt(pstrValue);
  } else if (name == u"menucorner") {
    m_szMenuCorner = dui::ParseSize(pstrValue);
  } else if (name == u"itemfont") {
    st.iFont = dui::ParseInt(pstrValue);
  } else if (name == u"itemalign") {
    CDuiString value(pstrValue);
    if (value.Find(u"left") >= 0) st.uTextStyle &= ~(DT_CENTER | DT_RIGHT);
    if (value.Find(u"center") >= 0) st.uTextStyle = (st.uTextStyle & ~(DT_LEFT | DT_RIGHT)) | DT_CENTER;
    if (value.Find(u"right") >= 0) st.uTextStyle = (st.uTextStyle & ~(DT_LEFT | DT_CENTER)) | DT_RIGHT;
  } else if (name == u"itemtextpadding") {
    st.rcTextPadding = dui::ParseRect(pstrValue);
  } else if (name == u"itemtextcolor") {
    st.dwTextColor = dui::ParseColor(pstrValue);
  } else if (name == u"itembkcolor") {
    st.dwBkColor = dui::ParseColor(pstrValue);
  } else if (name == u"itembkimage") {
    st.sBkImage = pstrValue;
  } else if (name == u"itemimage") {
    st.sImage = pstrValue;
  } else if (name == u"itemselectedtextcolor") {
    st.dwSelectedTextColor = dui::ParseColor(pstrValue);
  } else if (name == u"itemselectedbkcolor") {
    st.dwSelectedBkColor = dui::ParseColor(pstrValue);
  } else if (name == u"itemselectedimage") {
    st.sSelectedImage = pstrValue;
  } else if (name == u"itemhottextcolor") {
    st.dwHotTextColor = dui::ParseColor(pstrValue);
  } else if (name == u"itemhotbkcolor") {
    st.dwHotBkColor = dui::ParseColor(pstrValue);
  } else if (name == u"itemhotimage") {
    st.sHotImage = pstrValue;
  } else if (name == u"itemdisabledtextcolor") {
    st.dwDisabledTextColor = dui::ParseColor(pstrValue);
  } else if (name == u"itemdisabledbkcolor") {
    st.dwDisabledBkColor = dui::ParseColor(pstrValue);
  } else if (name == u"itemdisabledimage") {
    st.sDisabledImage = pstrValue;
  } else if (name == u"itemlinecolor") {
    st.dwLineColor = dui::ParseColor(pstrValue);
  } else if (name == u"itemshowhtml") {
    st.bShowHtml = dui::ParseBool(pstrValue);
  } else {
    CContainerUI::SetAttribute(pstrName, pstrValue);
    return;
  }
  Invalidate();
}

void CMenuUIEx::RenumberItems() {
  for (int i = 0; i < GetCount(); ++i)
    if (IMenuListItemUI* item = ListItemOf(GetItemAt(i))) item->SetIndex(i);
}

bool CMenuUIEx::Add(CControlUI* pControl) { return AddAt(pControl, GetCount()); }

bool CMenuUIEx::AddAt(CControlUI* pControl, int iIndex) {
  if (!CContainerUI::AddAt(pControl, iIndex)) return false;
  if (IMenuListItemUI* item = ListItemOf(pControl)) item->SetOwner(this);
  if (m_iCurSel >= iIndex) ++m_iCurSel;
  RenumberItems();
  return true;
}

bool CMenuUIEx::Remove(CControlUI* pControl) { return RemoveAt(GetItemIndex(pControl)); }

bool CMenuUIEx::RemoveAt(int iIndex) {
  if (!CContainerUI::RemoveAt(iIndex)) return false;
  if (m_iCurSel == iIndex)
    m_iCurSel = -1;
  else if (m_iCurSel > iIndex)
    --m_iCurSel;
  RenumberItems();
  return true;
}

void CMenuUIEx::RemoveAll() {
  CContainerUI::RemoveAll();
  m_iCurSel = -1;
}

bool CMenuUIEx::SetItemIndex(CControlUI* pControl, int iIndex) {
  CControlUI* selected = m_iCurSel >= 0 ? GetItemAt(m_iCurSel) : nullptr;
  if (!CContainerUI::SetItemIndex(pControl, iIndex)) return false;
  if (selected) m_iCurSel = GetItemIndex(selected);
  RenumberItems();
  return true;
}
