// The three layouts: vertical, horizontal and tabbed.
#include <algorithm>

#include "dui/HorizontalLayoutUI.h"
#include "dui/PaintManagerUI.h"
#include "dui/TabLayoutUI.h"
#include "dui/VerticalLayoutUI.h"

namespace {

// Sizes along the layout's axis: fixed ones as estimated (within min and max), the others share
// what is left, the last of them taking the remainder.
struct AxisPlan {
  int expand = 0;
  int remainder = 0;
  int adjustables = 0;
};

int Clamp(int v, int lo, int hi) { return std::max(lo, std::min(v, hi)); }

}  // namespace

LPVOID CVerticalLayoutUI::GetInterface(LPCWSTR pstrName) {
  if (CDuiString(pstrName) == u"VerticalLayout") return static_cast<CVerticalLayoutUI*>(this);
  return CContainerUI::GetInterface(pstrName);
}

void CVerticalLayoutUI::SetPos(RECT rc, bool bNeedInvalidate) {
  CControlUI::SetPos(rc, bNeedInvalidate);
  rc = ItemArea(m_rcItem);
  if (m_items.IsEmpty()) {
    ProcessScrollBar(rc, 0);
    return;
  }
  SIZE available{rc.right - rc.left, rc.bottom - rc.top};
  AxisPlan plan;
  int fixed = 0, counted = 0;
  for (int i = 0; i < m_items.GetSize(); ++i) {
    CControlUI* item = GetItemAt(i);
    if (!item->IsVisible() || item->IsFloat()) continue;
    SIZE sz = item->EstimateSize(available);
    if (sz.cy == 0)
      ++plan.adjustables;
    else
      fixed += Clamp(sz.cy, item->GetMinHeight(), item->GetMaxHeight());
    RECT pad = item->GetPadding();
    fixed += pad.top + pad.bottom;
    ++counted;
  }
  if (counted > 1) fixed += (counted - 1) * m_iChildPadding;
  if (plan.adjustables > 0) {
    int left = std::max(0, static_cast<int>(available.cy) - fixed);
    plan.expand = left / plan.adjustables;
    plan.remainder = left % plan.adjustables;
  }
  int y = rc.top - GetScrollPos().cy;
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
    if (sz.cy == 0) {
      sz.cy = plan.expand + (++adjusted == plan.adjustables ? plan.remainder : 0);
    }
    sz.cy = Clamp(sz.cy, item->GetMinHeight(), item->GetMaxHeight());
    // Across the layout only a fixed width counts; an item's estimate is about its height.
    sz.cx = item->GetFixedWidth();
    if (sz.cx == 0) sz.cx = available.cx - pad.left - pad.right;
    sz.cx = Clamp(sz.cx, item->GetMinWidth(), item->GetMaxWidth());
    RECT ctrl{rc.left + pad.left, y + pad.top, rc.left + pad.left + sz.cx, y + pad.top + sz.cy};
    item->SetPos(ctrl, false);
    y += sz.cy + pad.top + pad.bottom + m_iChildPadding;
    needed += sz.cy + pad.top + pad.bottom;
  }
  if (counted > 1) needed += (counted - 1) * m_iChildPadding;
  ProcessScrollBar(rc, needed);
}

LPVOID CHorizontalLayoutUI::GetInterface(LPCWSTR pstrName) {
  if (CDuiString(pstrName) == u"HorizontalLayout") return static_cast<CHorizontalLayoutUI*>(this);
  return CContainerUI::GetInterface(pstrName);
}

void CHorizontalLayoutUI::SetPos(RECT rc, bool bNeedInvalidate) {
  CControlUI::SetPos(rc, bNeedInvalidate);
  rc = ItemArea(m_rcItem);
  if (m_items.IsEmpty()) return;
  SIZE available{rc.right - rc.left, rc.bottom - rc.top};
  AxisPlan plan;
  int fixed = 0, counted = 0;
  for (int i = 0; i < m_items.GetSize(); ++i) {
    CControlUI* item = GetItemAt(i);
    if (!item->IsVisible() || item->IsFloat()) continue;
    SIZE sz = item->EstimateSize(available);
    if (sz.cx == 0)
      ++plan.adjustables;
    else
      fixed += Clamp(sz.cx, item->GetMinWidth(), item->GetMaxWidth());
    RECT pad = item->GetPadding();
    fixed += pad.left + pad.right;
    ++counted;
  }
  if (counted > 1) fixed += (counted - 1) * m_iChildPadding;
  if (plan.adjustables > 0) {
    int left = std::max(0, static_cast<int>(available.cx) - fixed);
    plan.expand = left / plan.adjustables;
    plan.remainder = left % plan.adjustables;
  }
  int x = rc.left, adjusted = 0;
  for (int i = 0; i < m_items.GetSize(); ++i) {
    CControlUI* item = GetItemAt(i);
    if (!item->IsVisible()) continue;
    if (item->IsFloat()) {
      SetFloatPos(i);
      continue;
    }
    RECT pad = item->GetPadding();
    SIZE sz = item->EstimateSize(available);
    if (sz.cx == 0) sz.cx = plan.expand + (++adjusted == plan.adjustables ? plan.remainder : 0);
    sz.cx = Clamp(sz.cx, item->GetMinWidth(), item->GetMaxWidth());
    sz.cy = item->GetFixedHeight();
    if (sz.cy == 0) sz.cy = available.cy - pad.top - pad.bottom;
    sz.cy = Clamp(sz.cy, item->GetMinHeight(), item->GetMaxHeight());
    RECT ctrl{x + pad.left, rc.top + pad.top, x + pad.left + sz.cx, rc.top + pad.top + sz.cy};
    item->SetPos(ctrl, false);
    x += sz.cx + pad.left + pad.right + m_iChildPadding;
  }
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
