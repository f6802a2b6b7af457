#include "dui/ContainerUI.h"

#include <algorithm>

#include "dui/PaintManagerUI.h"
#include "dui/ScrollBarUI.h"

CContainerUI::CContainerUI() = default;

CContainerUI::~CContainerUI() {
  // Items go at once here: a delayed clean-up would outlive their parent.
  if (m_bAutoDestroy) {
    for (int i = 0; i < m_items.GetSize(); ++i) delete static_cast<CControlUI*>(m_items[i]);
  }
  m_items.Empty();
  delete m_pVerticalScrollBar;
}

LPVOID CContainerUI::GetInterface(LPCWSTR pstrName) {
  CDuiString name(pstrName);
  if (name == u"IContainer") return static_cast<IContainerUI*>(this);
  if (name == u"Container") return static_cast<CContainerUI*>(this);
  return CControlUI::GetInterface(pstrName);
}

CControlUI* CContainerUI::GetItemAt(int iIndex) const { return static_cast<CControlUI*>(m_items.GetAt(iIndex)); }

int CContainerUI::GetItemIndex(CControlUI* pControl) const { return m_items.Find(pControl); }

bool CContainerUI::SetItemIndex(CControlUI* pControl, int iIndex) {
  int from = m_items.Find(pControl);
  if (from < 0 || iIndex < 0 || iIndex >= m_items.GetSize()) return false;
  m_items.Remove(from);
  m_items.InsertAt(iIndex, pControl);
  NeedUpdate();
  return true;
}

int CContainerUI::GetCount() const { return m_items.GetSize(); }

bool CContainerUI::Add(CControlUI* pControl) { return AddAt(pControl, m_items.GetSize()); }

bool CContainerUI::AddAt(CControlUI* pControl, int iIndex) {
  if (!pControl || iIndex < 0 || iIndex > m_items.GetSize()) return false;
  if (m_pManager) m_pManager->InitControls(pControl, this);
  if (IsVisible()) NeedUpdate();
  pControl->SetInternVisible(IsVisible());
  return m_items.InsertAt(iIndex, pControl);
}

bool CContainerUI::Remove(CControlUI* pControl) { return RemoveAt(m_items.Find(pControl)); }

bool CContainerUI::RemoveAt(int iIndex) {
  CControlUI* pControl = GetItemAt(iIndex);
  if (!pControl) return false;
  m_items.Remove(iIndex);
  if (m_bAutoDestroy) {
    // The item may be the one handling the event that removes it: free it after the event.
    if (m_pManager)
      m_pManager->AddDelayedCleanup(pControl);
    else
      delete pControl;
  }
  NeedUpdate();
  return true;
}

void CContainerUI::RemoveAll() {
  while (!m_items.IsEmpty()) RemoveAt(m_items.GetSize() - 1);
  NeedUpdate();
}

void CContainerUI::SetVisible(bool bVisible) {
  if (m_bVisible == bVisible) return;
  CControlUI::SetVisible(bVisible);
  for (int i = 0; i < m_items.GetSize(); ++i) GetItemAt(i)->SetInternVisible(IsVisible());
}

void CContainerUI::SetInternVisible(bool bVisible) {
  CControlUI::SetInternVisible(bVisible);
  for (int i = 0; i < m_items.GetSize(); ++i) GetItemAt(i)->SetInternVisible(IsVisible());
}

void CContainerUI::SetMouseEnabled(bool bEnable) {
  if (m_pVerticalScrollBar) m_pVerticalScrollBar->SetMouseEnabled(bEnable);
  CControlUI::SetMouseEnabled(bEnable);
}

void CContainerUI::SetInset(RECT rcInset) {
  m_rcInset = rcInset;
  NeedUpdate();
}

void CContainerUI::SetChildPadding(int iPadding) {
  m_iChildPadding = iPadding;
  NeedUpdate();
}

int CContainerUI::FindSelectable(int iIndex, bool bForward) const {
  int count = m_items.GetSize();
  if (count == 0) return -1;
  iIndex = std::clamp(iIndex, 0, count - 1);
  for (int i = iIndex; i >= 0 && i < count; i += bForward ? 1 : -1) {
    CControlUI* item = GetItemAt(i);
    if (item->GetInterface(u"ListItem") && item->IsVisible() && item->IsEnabled()) return i;
  }
  return -1;
}

RECT CContainerUI::ItemArea(RECT rc) const {
  rc.left += m_rcInset.left;
  rc.top += m_rcInset.top;
  rc.right -= m_rcInset.right;
  rc.bottom -= m_rcInset.bottom;
  if (m_pVerticalScrollBar && m_pVerticalScrollBar->IsVisible())
    rc.right -= m_pVerticalScrollBar->GetFixedWidth();
  if (rc.right < rc.left) rc.right = rc.left;
  if (rc.bottom < rc.top) rc.bottom = rc.top;
  return rc;
}

void CContainerUI::SetPos(RECT rc, bool bNeedInvalidate) {
  CControlUI::SetPos(rc, bNeedInvalidate);
  if (m_items.IsEmpty()) return;
  RECT area = ItemArea(m_rcItem);
  for (int i = 0; i < m_items.GetSize(); ++i) {
    CControlUI* item = GetItemAt(i);
    if (!item->IsVisible()) continue;
    if (item->IsFloat())
      SetFloatPos(i);
    else
      item->SetPos(area, false);
  }
}

void CContainerUI::SetFloatPos(int iIndex) {
  CControlUI* item = GetItemAt(iIndex);
  if (!item || !item->IsVisible() || !item->IsFloat()) return;
  SIZE xy = item->GetFixedXY();
  SIZE size{item->GetFixedWidth(), item->GetFixedHeight()};
  RECT rc{m_rcItem.left + xy.cx, m_rcItem.top + xy.cy, m_rcItem.left + xy.cx + size.cx,
          m_rcItem.top + xy.cy + size.cy};
  item->SetPos(rc, false);
}

void CContainerUI::DoEvent(TEventUI& event) {
  if (!IsMouseEnabled() && event.Type > UIEVENT__MOUSEBEGIN && event.Type < UIEVENT__MOUSEEND) {
    if (m_pParent)
      m_pParent->DoEvent(event);
    else
      CControlUI::DoEvent(event);
    return;
  }
  if (event.Type == UIEVENT_SCROLLWHEEL && m_pVerticalScrollBar && m_pVerticalScrollBar->IsVisible() &&
      m_pVerticalScrollBar->IsEnabled()) {
    if (static_cast<short>(HIWORD(event.wParam)) > 0)
      LineUp();
    else
      LineDown();
    return;
  }
  CControlUI::DoEvent(event);
}

void CContainerUI::DoPaint(HDC hDC, const RECT& rcPaint) {
  RECT rcTemp;
  if (!::IntersectRect(&m_rcPaint, &rcPaint, &m_rcItem)) return;
  int saved = ::SaveDC(hDC);
  ::IntersectClipRect(hDC, m_rcPaint.left, m_rcPaint.top, m_rcPaint.right, m_rcPaint.bottom);
  CControlUI::DoPaint(hDC, rcPaint);
  RECT area = ItemArea(m_rcItem);
  for (int i = 0; i < m_items.GetSize(); ++i) {
    CControlUI* item = GetItemAt(i);
    if (!item->IsVisible()) continue;
    if (!::IntersectRect(&rcTemp, &m_rcPaint, &item->GetPos())) continue;
    if (item->IsFloat()) {
      item->DoPaint(hDC, m_rcPaint);
    } else {
      // Items are clipped to the area inside the inset (and beside the scroll bar).
      RECT clip;
      if (!::IntersectRect(&clip, &area, &m_rcPaint)) continue;
      int inner = ::SaveDC(hDC);
      ::IntersectClipRect(hDC, clip.left, clip.top, clip.right, clip.bottom);
      item->DoPaint(hDC, clip);
      ::RestoreDC(hDC, inner);
    }
  }
  if (m_pVerticalScrollBar && m_pVerticalScrollBar->IsVisible() &&
      ::IntersectRect(&rcTemp, &m_rcPaint, &m_pVerticalScrollBar->GetPos()))
    m_pVerticalScrollBar->DoPaint(hDC, m_rcPaint);
  ::RestoreDC(hDC, saved);
}

void CContainerUI::SetAttribute(LPCWSTR pstrName, LPCWSTR pstrValue) {
  CDuiString name(pstrName);
  if (name == u"inset")
    SetInset(dui::ParseRect(pstrValue));
  else if (name == u"childpadding")
    SetChildPadding(dui::ParseInt(pstrValue));
  else if (name == u"mousechild")
    SetMouseChildEnabled(dui::ParseBool(pstrValue));
  else if (name == u"vscrollbar")
    EnableScrollBar(dui::ParseBool(pstrValue));
  else if (name == u"autodestroy")
    SetAutoDestroy(dui::ParseBool(pstrValue));
  else
    CControlUI::SetAttribute(pstrName, pstrValue);
}

void CContainerUI::SetManager(CPaintManagerUI* pManager, CControlUI* pParent, bool bInit) {
  for (int i = 0; i < m_items.GetSize(); ++i) GetItemAt(i)->SetManager(pManager, this, bInit);
  if (m_pVerticalScrollBar) m_pVerticalScrollBar->SetManager(pManager, this, bInit);
  CControlUI::SetManager(pManager, pParent, bInit);
}

CControlUI* CContainerUI::FindControl(FINDCONTROLPROC Proc, LPVOID pData, UINT uFlags) {
  if ((uFlags & UIFIND_VISIBLE) && !IsVisible()) return nullptr;
  if ((uFlags & UIFIND_ENABLED) && !IsEnabled()) return nullptr;
  if ((uFlags & UIFIND_HITTEST) && !::PtInRect(&m_rcItem, *static_cast<const POINT*>(pData))) return nullptr;
  if ((uFlags & UIFIND_HITTEST) && !m_bMouseChildEnabled) {
    CControlUI* result = nullptr;
    if (m_pVerticalScrollBar) result = m_pVerticalScrollBar->FindControl(Proc, pData, uFlags);
    return result ? result : CControlUI::FindControl(Proc, pData, uFlags);
  }
  if (uFlags & UIFIND_ME_FIRST) {
    if (CControlUI* me = CControlUI::FindControl(Proc, pData, uFlags)) return me;
  }
  if (m_pVerticalScrollBar) {
    if (CControlUI* bar = m_pVerticalScrollBar->FindControl(Proc, pData, uFlags)) return bar;
  }
  RECT area = ItemArea(m_rcItem);
  int count = m_items.GetSize();
  for (int n = 0; n < count; ++n) {
    int i = (uFlags & UIFIND_TOP_FIRST) ? count - 1 - n : n;
    CControlUI* found = GetItemAt(i)->FindControl(Proc, pData, uFlags);
    if (!found) continue;
    // A non-float item's part outside the inset area is not there for the mouse.
    if ((uFlags & UIFIND_HITTEST) && !found->IsFloat() && !::PtInRect(&area, *static_cast<const POINT*>(pData)))
      continue;
    return found;
  }
  if (uFlags & UIFIND_ME_FIRST) return nullptr;
  return CControlUI::FindControl(Proc, pData, uFlags);
}

void CContainerUI::EnableScrollBar(bool bEnableVertical) {
  if (bEnableVertical && !m_pVerticalScrollBar) {
    m_pVerticalScrollBar = new CScrollBarUI;
    m_pVerticalScrollBar->SetOwner(this);
    m_pVerticalScrollBar->SetManager(m_pManager, nullptr, false);
    m_pVerticalScrollBar->SetVisible(false);
  } else if (!bEnableVertical && m_pVerticalScrollBar) {
    delete m_pVerticalScrollBar;
    m_pVerticalScrollBar = nullptr;
  }
  NeedUpdate();
}

SIZE CContainerUI::GetScrollPos() const {
  return SIZE{0, m_pVerticalScrollBar && m_pVerticalScrollBar->IsVisible() ? m_pVerticalScrollBar->GetScrollPos() : 0};
}

SIZE CContainerUI::GetScrollRange() const {
  return SIZE{0, m_pVerticalScrollBar && m_pVerticalScrollBar->IsVisible() ? m_pVerticalScrollBar->GetScrollRange()
                                                                           : 0};
}

void CContainerUI::SetScrollPos(SIZE szPos) {
  if (!m_pVerticalScrollBar || !m_pVerticalScrollBar->IsVisible()) return;
  int before = m_pVerticalScrollBar->GetScrollPos();
  m_pVerticalScrollBar->SetScrollPos(szPos.cy);
  int dy = m_pVerticalScrollBar->GetScrollPos() - before;
  if (dy == 0) return;
  for (int i = 0; i < m_items.GetSize(); ++i) {
    CControlUI* item = GetItemAt(i);
    if (!item->IsVisible() || item->IsFloat()) continue;
    RECT rc = item->GetPos();
    ::OffsetRect(&rc, 0, -dy);
    item->SetPos(rc, false);
  }
  Invalidate();
}

void CContainerUI::LineUp() {
  SIZE pos = GetScrollPos();
  pos.cy -= m_pVerticalScrollBar ? m_pVerticalScrollBar->GetLineSize() : 8;
  SetScrollPos(SIZE{0, std::max(0, static_cast<int>(pos.cy))});
}

void CContainerUI::LineDown() {
  SIZE pos = GetScrollPos();
  pos.cy += m_pVerticalScrollBar ? m_pVerticalScrollBar->GetLineSize() : 8;
  SetScrollPos(pos);
}

void CContainerUI::ProcessScrollBar(RECT rc, int cyRequired) {
  if (!m_pVerticalScrollBar) return;
  int available = rc.bottom - rc.top;
  bool needed = cyRequired > available;
  if (needed != m_pVerticalScrollBar->IsVisible()) {
    // Showing or hiding the bar changes the items' width: lay out again.
    m_pVerticalScrollBar->SetVisible(needed);
    m_pVerticalScrollBar->SetScrollRange(needed ? cyRequired - available : 0);
    m_pVerticalScrollBar->SetScrollPos(0);
    SetPos(m_rcItem, false);
    return;
  }
  if (!needed) return;
  int width = m_pVerticalScrollBar->GetFixedWidth();
  RECT bar{rc.right, rc.top, rc.right + width, rc.bottom};
  m_pVerticalScrollBar->SetPos(bar, false);
  m_pVerticalScrollBar->SetScrollRange(cyRequired - available);
}
