#include "dui/ListUI.h"

#include "dui/PaintManagerUI.h"
#include "dui/RenderEngine.h"
#include "dui/ScrollBarUI.h"

namespace {

// Items without an owner draw like the items of an owner that set nothing.
TListInfoUI* InfoOf(IListOwnerUI* owner) {
  static TListInfoUI defaults;
  TListInfoUI* info = owner ? owner->GetListInfo() : nullptr;
  return info ? info : &defaults;
}

// The state's background: its colour (else the normal one), its image (else the normal one),
// then the line below the item. Images that cannot be drawn are emptied and not tried again.
void DrawItemBackground(HDC hDC, CControlUI* item, TListInfoUI* info, UINT state, bool selected,
                        const RECT& rcPaint) {
  DWORD color = info->dwBkColor;
  CDuiString* image = &info->sBkImage;
  if (!item->IsEnabled()) {
    if (info->dwDisabledBkColor != 0) color = info->dwDisabledBkColor;
    if (!info->sDisabledImage.IsEmpty()) image = &info->sDisabledImage;
  } else if (selected) {
    if (info->dwSelectedBkColor != 0) color = info->dwSelectedBkColor;
    if (!info->sSelectedImage.IsEmpty()) image = &info->sSelectedImage;
  } else if (state & UISTATE_HOT) {
    if (info->dwHotBkColor != 0) color = info->dwHotBkColor;
    if (!info->sHotImage.IsEmpty()) image = &info->sHotImage;
  }
  const RECT& rc = item->GetPos();
  RECT clip;
  if (color != 0 && ::IntersectRect(&clip, &rc, &rcPaint)) CRenderEngine::DrawColor(hDC, clip, color);
  if (!image->IsEmpty() && !item->DrawImage(hDC, *image)) {
    image->Empty();
    if (image != &info->sBkImage && !info->sBkImage.IsEmpty() && !item->DrawImage(hDC, info->sBkImage))
      info->sBkImage.Empty();
  }
  if (info->dwLineColor != 0) {
    RECT line{rc.left, rc.bottom - 1, rc.right, rc.bottom};
    if (::IntersectRect(&clip, &line, &rcPaint)) CRenderEngine::DrawColor(hDC, clip, info->dwLineColor);
  }
}

DWORD ItemTextColor(const TListInfoUI* info, CPaintManagerUI* pm, bool enabled, bool selected, UINT state) {
  if (!enabled) return info->dwDisabledTextColor != 0 ? info->dwDisabledTextColor : pm->GetDefaultDisabledColor();
  if (selected && info->dwSelectedTextColor != 0) return info->dwSelectedTextColor;
  if ((state & UISTATE_HOT) && info->dwHotTextColor != 0) return info->dwHotTextColor;
  return info->dwTextColor != 0 ? info->dwTextColor : pm->GetDefaultFontColor();
}

// One line of text inside the item less the owner's text padding.
void DrawOneLine(HDC hDC, CPaintManagerUI* pm, const TListInfoUI* info, const CDuiString& text, const RECT& rcItem,
                 DWORD color) {
  if (text.IsEmpty() || !pm) return;
  RECT rc{rcItem.left + info->rcTextPadding.left, rcItem.top + info->rcTextPadding.top,
          rcItem.right - info->rcTextPadding.right, rcItem.bottom - info->rcTextPadding.bottom};
  UINT style = (info->uTextStyle & ~DT_WORDBREAK) | DT_SINGLELINE;
  if (info->bShowHtml) {
    int links = 0;
    CRenderEngine::DrawHtmlText(hDC, pm, rc, text, color, nullptr, nullptr, links, style);
  } else {
    CRenderEngine::DrawTextW(hDC, pm, rc, text, color, info->nFont, style);
  }
}

// Without a fixed height an item is one line of the owner's item font high, with some air.
SIZE ItemSize(SIZE fixed, CPaintManagerUI* pm, const TListInfoUI* info) {
  if (fixed.cy != 0 || !pm) return fixed;
  TFontInfo* font = pm->GetFontInfo(info->nFont);
  fixed.cy = (font ? font->tm.tmHeight : 12) + 8 + info->rcTextPadding.top + info->rcTextPadding.bottom;
  return fixed;
}

}  // namespace

void dui::InvalidateItem(CControlUI* pItem) {
  CPaintManagerUI* pm = pItem->GetManager();
  if (!pItem->IsVisible() || !pm) return;
  CControlUI* parent = pItem->GetParent();
  if (!parent) {
    pItem->CControlUI::Invalidate();
    return;
  }
  RECT area = parent->GetPos();
  if (auto* container = static_cast<CContainerUI*>(parent->GetInterface(u"Container"))) {
    RECT inset = container->GetInset();
    area.left += inset.left;
    area.top += inset.top;
    area.right -= inset.right;
    area.bottom -= inset.bottom;
    CScrollBarUI* bar = container->GetVerticalScrollBar();
    if (bar && bar->IsVisible()) area.right -= bar->GetFixedWidth();
  }
  RECT rc;
  if (!::IntersectRect(&rc, &pItem->GetPos(), &area)) return;
  for (CControlUI* p = parent->GetParent(); p; p = p->GetParent()) {
    RECT cut = rc;
    if (!::IntersectRect(&rc, &cut, &p->GetPos())) return;
  }
  pm->Invalidate(rc);
}

// ---- CListElementUI ----

LPVOID CListElementUI::GetInterface(LPCWSTR pstrName) {
  if (CDuiString(pstrName) == u"ListElement") return static_cast<CListElementUI*>(this);
  return CListItemBaseUI::GetInterface(pstrName);
}

SIZE CListElementUI::EstimateSize(SIZE szAvailable) {
  (void)szAvailable;
  return ItemSize(m_cxyFixed, m_pManager, InfoOf(m_pOwner));
}

void CListElementUI::DoPaint(HDC hDC, const RECT& rcPaint) {
  if (!::IntersectRect(&m_rcPaint, &rcPaint, &m_rcItem)) return;
  PaintBkColor(hDC);
  PaintBkImage(hDC);
  DrawItemBackground(hDC, this, InfoOf(m_pOwner), m_uButtonState, m_bSelected, m_rcPaint);
  DrawItemText(hDC, m_rcItem);
  PaintBorder(hDC);
}

void CListElementUI::DrawItemText(HDC hDC, const RECT& rcItem) {
  (void)hDC, (void)rcItem;  // a plain element shows no text; the label element does
}

// ---- CListLabelElementUI ----

LPVOID CListLabelElementUI::GetInterface(LPCWSTR pstrName) {
  if (CDuiString(pstrName) == u"ListLabelElement") return static_cast<CListLabelElementUI*>(this);
  return CListElementUI::GetInterface(pstrName);
}

void CListLabelElementUI::DrawItemText(HDC hDC, const RECT& rcItem) {
  if (!m_pManager) return;
  TListInfoUI* info = InfoOf(m_pOwner);
  DWORD color = ItemTextColor(info, m_pManager, IsEnabled(), m_bSelected, m_uButtonState);
  DrawOneLine(hDC, m_pManager, info, m_sText, rcItem, color);
}

// ---- CListContainerElementUI ----

LPVOID CListContainerElementUI::GetInterface(LPCWSTR pstrName) {
  if (CDuiString(pstrName) == u"ListContainerElement") return static_cast<CListContainerElementUI*>(this);
  return CListItemBaseUI::GetInterface(pstrName);
}

SIZE CListContainerElementUI::EstimateSize(SIZE szAvailable) {
  (void)szAvailable;
  return ItemSize(m_cxyFixed, m_pManager, InfoOf(m_pOwner));
}

void CListContainerElementUI::PaintStatusImage(HDC hDC) {
  DrawItemBackground(hDC, this, InfoOf(m_pOwner), m_uButtonState, m_bSelected, m_rcPaint);
}

void CListContainerElementUI::PaintText(HDC hDC) {
  // With children, they show the item; its own text would be drawn under them twice.
  if (m_items.IsEmpty()) DrawItemText(hDC, m_rcItem);
}

void CListContainerElementUI::DrawItemText(HDC hDC, const RECT& rcItem) {
  if (!m_pManager) return;
  TListInfoUI* info = InfoOf(m_pOwner);
  DWORD color = ItemTextColor(info, m_pManager, IsEnabled(), m_bSelected, m_uButtonState);
  DrawOneLine(hDC, m_pManager, info, m_sText, rcItem, color);
}
