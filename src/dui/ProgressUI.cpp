#include "dui/ProgressUI.h"

#include <algorithm>

#include "dui/RenderEngine.h"

LPVOID CProgressUI::GetInterface(LPCWSTR pstrName) {
  if (CDuiString(pstrName) == u"Progress") return static_cast<CProgressUI*>(this);
  return CLabelUI::GetInterface(pstrName);
}

void CProgressUI::SetHorizontal(bool bHorizontal) {
  m_bHorizontal = bHorizontal;
  Invalidate();
}

void CProgressUI::SetMinValue(int nMin) {
  m_nMin = nMin;
  m_nMax = std::max(m_nMax, m_nMin);
  m_nValue = std::clamp(m_nValue, m_nMin, m_nMax);
  Invalidate();
}

void CProgressUI::SetMaxValue(int nMax) {
  m_nMax = nMax;
  m_nMin = std::min(m_nMin, m_nMax);
  m_nValue = std::clamp(m_nValue, m_nMin, m_nMax);
  Invalidate();
}

void CProgressUI::SetValue(int nValue) {
  nValue = std::clamp(nValue, m_nMin, m_nMax);
  if (nValue == m_nValue) return;
  m_nValue = nValue;
  Invalidate();
}

void CProgressUI::SetForeImage(LPCWSTR pStrImage) {
  m_sForeImage = pStrImage;
  Invalidate();
}

void CProgressUI::SetForeColor(DWORD dwColor) {
  m_dwForeColor = dwColor;
  Invalidate();
}

void CProgressUI::SetAttribute(LPCWSTR pstrName, LPCWSTR pstrValue) {
  CDuiString name(pstrName);
  if (name == u"foreimage")
    SetForeImage(pstrValue);
  else if (name == u"forecolor")
    SetForeColor(dui::ParseColor(pstrValue));
  else if (name == u"hor")
    SetHorizontal(dui::ParseBool(pstrValue));
  else if (name == u"min")
    SetMinValue(dui::ParseInt(pstrValue));
  else if (name == u"max")
    SetMaxValue(dui::ParseInt(pstrValue));
  else if (name == u"value")
    SetValue(dui::ParseInt(pstrValue));
  else
    CLabelUI::SetAttribute(pstrName, pstrValue);
}

void CProgressUI::PaintStatusImage(HDC hDC) {
  if (m_nMax <= m_nMin) return;
  // The filled part, relative to the control, as a share of the range.
  long long span = static_cast<long long>(m_nMax) - m_nMin;
  long long done = static_cast<long long>(m_nValue) - m_nMin;
  RECT fill{0, 0, GetWidth(), GetHeight()};
  if (m_bHorizontal)
    fill.right = static_cast<LONG>(done * GetWidth() / span);
  else
    fill.top = GetHeight() - static_cast<LONG>(done * GetHeight() / span);
  if (fill.right <= fill.left || fill.bottom <= fill.top) return;
  if (m_dwForeColor != 0) {
    RECT abs = fill;
    ::OffsetRect(&abs, m_rcItem.left, m_rcItem.top);
    RECT clipped;
    if (::IntersectRect(&clipped, &abs, &m_rcPaint)) CRenderEngine::DrawColor(hDC, clipped, m_dwForeColor);
  }
  if (m_sForeImage.IsEmpty()) return;
  // The image is stretched over the whole bar; only its filled part is shown.
  CDuiString modify;
  modify.Format(u"dest='%d,%d,%d,%d' source='%d,%d,%d,%d'", fill.left, fill.top, fill.right, fill.bottom, fill.left,
                fill.top, fill.right, fill.bottom);
  if (!DrawImage(hDC, m_sForeImage, modify)) m_sForeImage.Empty();
}
