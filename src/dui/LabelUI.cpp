#include "dui/LabelUI.h"

#include "dui/PaintManagerUI.h"
#include "dui/RenderEngine.h"

LPVOID CLabelUI::GetInterface(LPCWSTR pstrName) {
  if (CDuiString(pstrName) == u"Label") return static_cast<CLabelUI*>(this);
  return CControlUI::GetInterface(pstrName);
}

void CLabelUI::SetText(LPCWSTR pstrText) {
  CControlUI::SetText(pstrText);
  if (m_bAutoCalcWidth) NeedParentUpdate();
}

void CLabelUI::SetTextStyle(UINT uStyle) { ChangeShown(m_uTextStyle, uStyle); }

// Windows set colours while painting (WM_CTLCOLOREDIT): an unchanged colour must not repaint.
void CLabelUI::SetTextColor(DWORD dwTextColor) { ChangeShown(m_dwTextColor, dwTextColor); }

void CLabelUI::SetDisabledTextColor(DWORD dwTextColor) { ChangeShown(m_dwDisabledTextColor, dwTextColor); }

void CLabelUI::SetFont(int index) { ChangeShown(m_iFont, index); }

void CLabelUI::SetTextPadding(RECT rc) {
  m_rcTextPadding = rc;
  Invalidate();
}

void CLabelUI::SetShowHtml(bool bShowHtml) { ChangeShown(m_bShowHtml, bShowHtml); }

void CLabelUI::SetAutoCalcWidth(bool bAutoCalcWidth) {
  m_bAutoCalcWidth = bAutoCalcWidth;
  NeedParentUpdate();
}

SIZE CLabelUI::EstimateSize(SIZE szAvailable) {
  (void)szAvailable;
  SIZE sz = m_cxyFixed;
  if (!m_pManager) return sz;
  if (m_bAutoCalcWidth && !m_sText.IsEmpty()) {
    SIZE text = CRenderEngine::GetTextSize(m_pManager->GetPaintDC(), m_pManager, m_sText, m_iFont, m_uTextStyle);
    sz.cx = text.cx + m_rcTextPadding.left + m_rcTextPadding.right;
  }
  // Without a fixed height a label is one line of its font high.
  if (sz.cy == 0) {
    TFontInfo* font = m_pManager->GetFontInfo(m_iFont);
    sz.cy = (font ? font->tm.tmHeight : 12) + 4;
  }
  return sz;
}

void CLabelUI::SetAttribute(LPCWSTR pstrName, LPCWSTR pstrValue) {
  CDuiString name(pstrName);
  CDuiString value(pstrValue);
  if (name == u"align") {
    if (value.Find(u"left") >= 0) m_uTextStyle &= ~(DT_CENTER | DT_RIGHT);
    if (value.Find(u"center") >= 0) m_uTextStyle = (m_uTextStyle & ~DT_RIGHT) | DT_CENTER;
    if (value.Find(u"right") >= 0) m_uTextStyle = (m_uTextStyle & ~DT_CENTER) | DT_RIGHT;
    if (value.Find(u"top") >= 0) m_uTextStyle &= ~(DT_BOTTOM | DT_VCENTER);
    if (value.Find(u"vcenter") >= 0) m_uTextStyle = (m_uTextStyle & ~DT_BOTTOM) | DT_VCENTER;
    if (value.Find(u"bottom") >= 0) m_uTextStyle = (m_uTextStyle & ~DT_VCENTER) | DT_BOTTOM;
    Invalidate();
  } else if (name == u"valign") {
    if (value.Find(u"top") >= 0) m_uTextStyle &= ~(DT_BOTTOM | DT_VCENTER);
    if (value.Find(u"center") >= 0) m_uTextStyle = (m_uTextStyle & ~DT_BOTTOM) | DT_VCENTER;
    if (value.Find(u"bottom") >= 0) m_uTextStyle = (m_uTextStyle & ~DT_VCENTER) | DT_BOTTOM;
    Invalidate();
  } else if (name == u"endellipsis") {
    if (dui::ParseBool(pstrValue))
      m_uTextStyle |= DT_END_ELLIPSIS;
    else
      m_uTextStyle &= ~DT_END_ELLIPSIS;
    Invalidate();
  } else if (name == u"multiline" || name == u"wordbreak") {
    if (dui::ParseBool(pstrValue))
      m_uTextStyle = (m_uTextStyle & ~DT_SINGLELINE) | DT_WORDBREAK;
    else
      m_uTextStyle = (m_uTextStyle & ~DT_WORDBREAK) | DT_SINGLELINE;
    Invalidate();
  } else if (name == u"font") {
    SetFont(dui::ParseInt(pstrValue));
  } else if (name == u"textcolor") {
    SetTextColor(dui::ParseColor(pstrValue));
  } else if (name == u"disabledtextcolor") {
    SetDisabledTextColor(dui::ParseColor(pstrValue));
  } else if (name == u"textpadding") {
    SetTextPadding(dui::ParseRect(pstrValue));
  } else if (name == u"showhtml") {
    SetShowHtml(dui::ParseBool(pstrValue));
  } else if (name == u"autocalcwidth") {
    SetAutoCalcWidth(dui::ParseBool(pstrValue));
  } else {
    CControlUI::SetAttribute(pstrName, pstrValue);
  }
}

void CLabelUI::PaintText(HDC hDC) {
  if (!m_pManager) return;
  DWORD color = m_dwTextColor != 0 ? m_dwTextColor : m_pManager->GetDefaultFontColor();
  if (!IsEnabled()) color = m_dwDisabledTextColor != 0 ? m_dwDisabledTextColor : m_pManager->GetDefaultDisabledColor();
  DrawLabelText(hDC, color);
}

void CLabelUI::DrawLabelText(HDC hDC, DWORD dwColor) {
  if (m_sText.IsEmpty() || !m_pManager) return;
  RECT rc = m_rcItem;
  rc.left += m_rcTextPadding.left;
  rc.right -= m_rcTextPadding.right;
  rc.top += m_rcTextPadding.top;
  rc.bottom -= m_rcTextPadding.bottom;
  if (m_bShowHtml) {
    int links = 0;
    CRenderEngine::DrawHtmlText(hDC, m_pManager, rc, m_sText, dwColor, nullptr, nullptr, links, m_uTextStyle);
  } else {
    CRenderEngine::DrawTextW(hDC, m_pManager, rc, m_sText, dwColor, m_iFont, m_uTextStyle);
  }
}
