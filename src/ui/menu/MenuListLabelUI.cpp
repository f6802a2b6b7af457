#include "ui/menu/MenuListLabelUI.h"

#include "dui/PaintManagerUI.h"
#include "dui/RenderEngine.h"
#include "ui/menu/MenuWndEx.h"

namespace {

// wcstol in base 10: leading blanks, an optional sign, then digits; anything else reads as 0.
int ParseLabelId(LPCWSTR p) {
  if (!p) return 0;
  while (*p == u' ' || *p == u'\t' || *p == u'\n' || *p == u'\r' || *p == u'\v' || *p == u'\f') ++p;
  bool negative = *p == u'-';
  if (*p == u'-' || *p == u'+') ++p;
  long long value = 0;
  for (; *p >= u'0' && *p <= u'9'; ++p) {
    value = value * 10 + (*p - u'0');
    if (value > 0x80000000LL) value = 0x80000000LL;  // saturates like wcstol on a 32-bit long
  }
  if (negative) value = -value;
  if (value > 0x7FFFFFFFLL) value = 0x7FFFFFFFLL;
  return static_cast<int>(value);
}

RECT Moved(RECT rc, int dy) {
  rc.top += dy;
  rc.bottom += dy;
  return rc;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// CMenuListLabelUI

LPVOID CMenuListLabelUI::GetInterface(LPCWSTR pstrName) {
  if (CDuiString(pstrName) == u"MenuListLabelUI") return static_cast<CMenuListLabelUI*>(this);
  return CMenuListElementUI::GetInterface(pstrName);
}

void CMenuListLabelUI::SetChecked(bool bChecked) {
  if (m_bChecked == bChecked) return;
  m_bChecked = bChecked;
  Invalidate();
}

void CMenuListLabelUI::SendToMenu(UINT uMsg, WPARAM wParam, LPARAM lParam) {
  if (m_pManager && m_pManager->GetPaintWindow()) ::SendMessageW(m_pManager->GetPaintWindow(), uMsg, wParam, lParam);
}

void CMenuListLabelUI::PostToMenu(UINT uMsg, WPARAM wParam, LPARAM lParam) {
  if (m_pManager && m_pManager->GetPaintWindow()) ::PostMessageW(m_pManager->GetPaintWindow(), uMsg, wParam, lParam);
}

bool CMenuListLabelUI::ItemEvent(TEventUI& event) {
  switch (event.Type) {
    case UIEVENT_MOUSEMOVE:
    case UIEVENT_BUTTONDOWN:
    case UIEVENT_RBUTTONDOWN:
      return true;
    case UIEVENT_BUTTONUP:
      if (IsEnabled() && m_sNextMenu.IsEmpty()) Choose();
      return true;
    case UIEVENT_MOUSEENTER: {
      CMenuListElementUI::ItemEvent(event);  // hot when enabled
      if (!IsEnabled()) {
        PostToMenu(WM_MENU_CLOSESUB, 0, 0);
        return true;
      }
      if (m_sNextMenu.IsEmpty()) {
        SendToMenu(WM_PAINT, 0, 0);
        PostToMenu(WM_MENU_CLOSESUB, 0, 0);
        return true;
      }
      CControlUI* under = m_pManager ? m_pManager->FindControl(event.ptMouse) : nullptr;
      RECT rc = under ? under->GetPos() : m_rcItem;
      SendToMenu(WM_PAINT, 0, 0);
      SendToMenu(WM_MENU_OPENSUB, reinterpret_cast<WPARAM>(m_sNextMenu.GetData()), reinterpret_cast<LPARAM>(&rc));
      return true;
    }
    default:
      return CMenuListElementUI::ItemEvent(event);
  }
}

void CMenuListLabelUI::Choose() {
  if (m_sLabelType == u"radio") {
    SendToMenu(WM_MENU_SELECTRADIO, static_cast<WPARAM>(m_iIndex), m_bChecked);
  } else if (m_sLabelType == u"check") {
    SendToMenu(WM_MENU_TOGGLECHECK, static_cast<WPARAM>(m_iIndex), m_bChecked);
  } else if (m_pManager) {
    // A release away from the item (the mouse left while pressed) chooses nothing.
    POINT pt{0, 0};
    ::GetCursorPos(&pt);
    ::ScreenToClient(m_pManager->GetPaintWindow(), &pt);
    if (::PtInRect(&m_rcItem, pt))
      SendToMenu(WM_MENU_COMMAND, m_pOwner ? m_pOwner->GetReportValue() : 0, m_nLabelId);
  }
  m_uButtonState = UISTATE_DISABLED;  // 4: the hot bit goes
  PostToMenu(WM_MENU_CLOSE, static_cast<WPARAM>(m_iIndex), 0);
}

void CMenuListLabelUI::SetAttribute(LPCWSTR pstrName, LPCWSTR pstrValue) {
  CDuiString name(pstrName);
  if (name == u"name")
    m_sItemName = pstrValue;
  else if (name == u"nextmenu")
    m_sNextMenu = pstrValue;
  else if (name == u"labelmark")
    m_sLabelMark = pstrValue;
  else if (name == u"labeltype")
    m_sLabelType = pstrValue;
  else if (name == u"nextmenumark")
    m_sNextMenuMark = pstrValue;
  else if (name == u"labelid")
    m_nLabelId = ParseLabelId(pstrValue);
  else if (name == u"labelmarkcheck")
    m_bChecked = dui::ParseBool(pstrValue);
  else
    CControlUI::SetAttribute(pstrName, pstrValue);
}

SIZE CMenuListLabelUI::EstimateSize(SIZE szAvailable) {
  (void)szAvailable;
  if (!m_pOwner) return SIZE{0, 0};
  const MenuItemStyle* style = m_pOwner->GetItemStyle();
  SIZE sz = m_cxyFixed;
  if (!m_pManager) return sz;
  const RECT& pad = style->rcTextPadding;
  if (sz.cy == 0) sz.cy = m_pManager->GetDefaultFontInfo()->tm.tmHeight + pad.top + pad.bottom + 13;
  if (sz.cx == 0) {
    HDC dc = m_pManager->GetPaintDC();
    int width = 0;
    if (style->bShowHtml) {
      RECT rc{0, 0, 9999, 9999};
      int links = 0;
      CRenderEngine::DrawHtmlText(dc, m_pManager, rc, m_sText, 0, nullptr, nullptr, links,
                                  style->uTextStyle | DT_SINGLELINE | DT_CALCRECT);
      width = rc.right - rc.left;
    } else {
      width = CRenderEngine::GetTextSize(dc, m_pManager, m_sText, style->iFont, style->uTextStyle | DT_SINGLELINE).cx;
    }
    sz.cx = width + pad.left + pad.right;
  }
  return sz;
}

void CMenuListLabelUI::DrawItemBk(HDC hDC) {
  MenuItemStyle* style = m_pOwner->GetItemStyle();
  bool hot = (m_uButtonState & MENUITEM_STATE_HOT) != 0;
  DWORD color = hot ? style->dwHotBkColor : style->dwBkColor;
  if (color != 0) CRenderEngine::DrawColor(hDC, m_rcItem, color);
  // The control's own colour over the menu's: drawn after the text, as the library would, it
  // would hide the text.
  PaintBkColor(hDC);
  // The first state image that draws is the whole background.
  auto tryImage = [&](CDuiString& image) {
    if (image.IsEmpty()) return false;
    if (DrawImage(hDC, image)) return true;
    image.Empty();
    return false;
  };
  if (!IsEnabled() && tryImage(style->sDisabledImage)) return;
  if (m_bSelected && tryImage(style->sSelectedImage)) return;
  if (hot && tryImage(style->sHotImage)) return;
  if (!m_sBkImage.IsEmpty()) {
    if (!DrawImage(hDC, m_sBkImage)) m_sBkImage.Empty();
  } else if (tryImage(style->sImage)) {
    return;
  }
  if (style->dwLineColor != 0) {
    RECT line{m_rcItem.left, m_rcItem.bottom - 1, m_rcItem.right, m_rcItem.bottom - 1};
    CRenderEngine::DrawLine(hDC, line, 1, style->dwLineColor);
  }
}

void CMenuListLabelUI::DrawMark(HDC hDC, CDuiString& sMark, const CDuiString& sDest) {
  if (sMark.IsEmpty()) return;
  CDuiString description = sMark + sDest;
  if (!CRenderEngine::DrawImageString(hDC, m_pManager, Moved(m_rcItem, 2), m_rcPaint, description)) sMark.Empty();
}

void CMenuListLabelUI::DoPaint(HDC hDC, const RECT& rcPaint) {
  if (!::IntersectRect(&m_rcPaint, &rcPaint, &m_rcItem)) return;
  if (m_pOwner)
    DrawItemBk(hDC);
  else
    PaintBkColor(hDC);
  DrawItemText(hDC, m_rcItem);
  DrawMark(hDC, m_sNextMenuMark, m_sNextMenuDest);
  // The library's painting of the control, less its background, which is drawn above.
  PaintStatusImage(hDC);
  PaintText(hDC);
  PaintBorder(hDC);
  if (m_bChecked) DrawMark(hDC, m_sLabelMark, m_sLabelMarkDest);
}

void CMenuListLabelUI::DrawItemText(HDC hDC, const RECT& rcItem) {
  if (!m_pOwner) return;
  const MenuItemStyle* style = m_pOwner->GetItemStyle();
  RECT rcText = rcItem;
  rcText.left += style->rcTextPadding.left;
  rcText.top += style->rcTextPadding.top;
  rcText.right -= style->rcTextPadding.right;
  rcText.bottom -= style->rcTextPadding.bottom;
  // The marks' places follow the text rectangle; their descriptions stay untouched.
  m_sNextMenuDest.Format(u" dest='%d,%d,%d,%d' ", static_cast<int>(rcText.right) - 14, 5,
                         static_cast<int>(rcText.right) - 3, 16);
  m_sLabelMarkDest.Format(u" dest='%d,%d,%d,%d' ", 6, 5, 15, 13);
  if (m_sText.IsEmpty()) return;
  DWORD color = style->dwTextColor;
  if (m_uButtonState & MENUITEM_STATE_HOT) color = style->dwHotTextColor;
  if (m_bSelected) color = style->dwSelectedTextColor;
  if (!IsEnabled()) color = style->dwDisabledTextColor;
  UINT textStyle = style->uTextStyle | DT_SINGLELINE;
  if (style->bShowHtml) {
    int links = 0;
    CRenderEngine::DrawHtmlText(hDC, m_pManager, rcText, m_sText, color, nullptr, nullptr, links, textStyle);
  } else {
    CRenderEngine::DrawTextW(hDC, m_pManager, rcText, m_sText, color, style->iFont, textStyle);
  }
}
