// The three layouts: vertical, horizontal and tabbed.
#include <algorithm>

#include "dui/HorizontalLayoutUI.h"
#include "dui/PaintManagerUI.h"
#include "dui/TabLayoutUI.h"
#include "dui/VerticalLayoutUI.h"

namespace {

int Clamp(int v, int lo, int hi) { return std::max(lo, std::min(v, hi)); }

// A layout's axis, the one its items follow each other along: sizes, bounds and paddings along
// it and across it.
struct Axis {
  bool vertical;

  LONG& Along(SIZE& sz) const { return vertical ? sz.cy : sz.cx; }
  LONG& Across(SIZE& sz) const { return vertical ? sz.cx : sz.cy; }
  int PadAlong(const RECT& pad) const { return vertical ? pad.top + pad.bottom : pad.left + pad.right; }
  int PadAcross(const RECT& pad) const { return vertical ? pad.left + pad.right : pad.top + pad.bottom; }
  int ClampAlong(CControlUI* item, int v) const {
    return vertical ? Clamp(v, item->GetMinHeight(), item->GetMaxHeight())
                    : Clamp(v, item->GetMinWidth(), item->GetMaxWidth());
  }
  int ClampAcross(CControlUI* item, int v) const {
    return vertical ? Clamp(v, item->GetMinWidth(), item->GetMaxWidth())
                    : Clamp(v, item->GetMinHeight(), item->GetMaxHeight());
  }
  int FixedAcross(CControlUI* item) const { return vertical ? item->GetFixedWidth() : item->GetFixedHeight(); }
  // The item's rectangle from where it starts along the axis (`at`) and the area's edge across.
  RECT Place(const RECT& area, int at, const RECT& pad, SIZE sz) const {
    int x = vertical ? area.left : at, y = vertical ? at : area.top;
    return RECT{x + pad.left, y + pad.top, x + pad.left + sz.cx, y + pad.top + sz.cy};
  }
};

}  // namespace

// Sizes along the axis: fixed ones as estimated (within min and max), the others share what is
// left, the last of them taking the remainder. Across it only a fixed size counts (an item's
// estimate is about its size along the axis), else the item fills the area. Only the vertical
// layout scrolls.
void CContainerUI::ArrangeAlong(bool bVertical) {
  const Axis axis{bVertical};
  RECT rc = ItemArea(m_rcItem);
  if (m_items.IsEmpty()) {
    if (bVertical) ProcessScrollBar(rc, 0);
    return;
  }
  SIZE available{rc.right - rc.left, rc.bottom - rc.top};
  int fixed = 0, counted = 0, adjustables = 0;
  for (int i = 0; i < m_items.GetSize(); ++i) {
    CControlUI* item = GetItemAt(i);
    if (!item->IsVisible() || item->IsFloat()) continue;
    SIZE sz = item->EstimateSize(available);
    if (axis.Along(sz) == 0)
      ++adjustables;
    else
      fixed += axis.ClampAlong(item, axis.Along(sz));
    fixed += axis.PadAlong(item->GetPadding());
    ++counted;
  }
  if (counted > 1) fixed += (counted - 1) * m_iChildPadding;
  int expand = 0, remainder = 0;
  if (adjustables > 0) {
    int left = std::max(0, static_cast<int>(axis.Along(available)) - fixed);
    expand = left / adjustables;
    remainder = left % adjustables;
  }
  SIZE scroll = GetScrollPos();
  int at = (bVertical ? rc.top : rc.left) - axis.Along(scroll);
  int needed = 0, adjusted = 0;
  for (int i = 0; i < m_items.GetSize(); ++i) {
    CControlUI* item = GetItemAt(i);
    if (!item->IsVisible()) continue;
    if (item->IsFloat()) {
      SetFloatPos(i);
      continue;
    }
    RECT pad = item->GetPadding();
    SIZE sz = item->EstimateSize(available);
    if (axis.Along(sz) == 0) axis.Along(sz) = expand + (++adjusted == adjustables ? remainder : 0);
    axis.Along(sz) = axis.ClampAlong(item, axis.Along(sz));
    axis.Across(sz) = axis.FixedAcross(item);
    if (axis.Across(sz) == 0) axis.Across(sz) = axis.Across(available) - axis.PadAcross(pad);
    axis.Across(sz) = axis.ClampAcross(item, axis.Across(sz));
    item->SetPos(axis.Place(rc, at, pad, sz), false);
    at += axis.Along(sz) + axis.PadAlong(pad) + m_iChildPadding;
    needed += axis.Along(sz) + axis.PadAlong(pad);
  }
  if (!bVertical) return;
  if (counted > 1) needed += (counted - 1) * m_iChildPadding;
  ProcessScrollBar(rc, needed);
}

LPVOID CVerticalLayoutUI::GetInterface(LPCWSTR pstrName) {
  if (CDuiString(pstrName) == u"VerticalLayout") return static_cast<CVerticalLayoutUI*>(this);
  return CContainerUI::GetInterface(pstrName);
}

void CVerticalLayoutUI::SetPos(RECT rc, bool bNeedInvalidate) {
  CControlUI::SetPos(rc, bNeedInvalidate);
  ArrangeAlong(true);
}

LPVOID CHorizontalLayoutUI::GetInterface(LPCWSTR pstrName) {
  if (CDuiString(pstrName) == u"HorizontalLayout") return static_cast<CHorizontalLayoutUI*>(this);
  return CContainerUI::GetInterface(pstrName);
}

void CHorizontalLayoutUI::SetPos(RECT rc, bool bNeedInvalidate) {
  CControlUI::SetPos(rc, bNeedInvalidate);
  ArrangeAlong(false);
}

LPVOID CTabLayoutUI::GetInterface(LPCWSTR pstrName) {
  if (CDuiString(pstrName) == u"TabLayout") return static_cast<CTabLayoutUI*>(this);
  return CContainerUI::GetInterface(pstrName);
}

bool CTabLayoutUI::Add(CControlUI* pControl) { return AddAt(pControl, GetCount()); }

bool CTabLayoutUI::AddAt(CControlUI* pControl, int iIndex) {
  bool shifts = m_iCurSel != -1 && iIndex <= m_iCurSel;
  if (!CContainerUI::AddAt(pControl, iIndex)) return false;
  if (m_iCurSel == -1 && pControl->IsVisible()) {
    m_iCurSel = iIndex;
  } else {
    if (shifts) ++m_iCurSel;
    pControl->SetVisible(false);
  }
  return true;
}

bool CTabLayoutUI::Remove(CControlUI* pControl) {
  int index = GetItemIndex(pControl);
  if (index < 0) return false;
  if (!CContainerUI::RemoveAt(index)) return false;
  if (m_iCurSel == index) {
    m_iCurSel = -1;
    if (GetCount() > 0) SelectItem(std::min(index, GetCount() - 1));
  } else if (m_iCurSel > index) {
    --m_iCurSel;
  }
  return true;
}

void CTabLayoutUI::RemoveAll() {
  m_iCurSel = -1;
  CContainerUI::RemoveAll();
}

bool CTabLayoutUI::SelectItem(int iIndex) {
  if (iIndex < 0 || iIndex >= GetCount()) return false;
  if (iIndex == m_iCurSel) return true;
  int old = m_iCurSel;
  m_iCurSel = iIndex;
  for (int i = 0; i < GetCount(); ++i) GetItemAt(i)->SetVisible(i == iIndex);
  NeedParentUpdate();
  if (m_pManager) m_pManager->SendNotify(this, u"tabselect", m_iCurSel, old);
  return true;
}

bool CTabLayoutUI::SelectItem(CControlUI* pControl) { return SelectItem(GetItemIndex(pControl)); }

void CTabLayoutUI::SetPos(RECT rc, bool bNeedInvalidate) {
  CControlUI::SetPos(rc, bNeedInvalidate);
  RECT area = ItemArea(m_rcItem);
  for (int i = 0; i < GetCount(); ++i) {
    CControlUI* item = GetItemAt(i);
    if (!item->IsVisible()) continue;
    if (item->IsFloat())
      SetFloatPos(i);
    else
      item->SetPos(area, false);
  }
}

void CTabLayoutUI::SetAttribute(LPCWSTR pstrName, LPCWSTR pstrValue) {
  if (CDuiString(pstrName) == u"selectedid")
    SelectItem(dui::ParseInt(pstrValue));
  else
    CContainerUI::SetAttribute(pstrName, pstrValue);
}
