#include "dui/ScrollBarUI.h"

#include <algorithm>

#include "dui/ContainerUI.h"
#include "dui/PaintManagerUI.h"
#include "dui/RenderEngine.h"

namespace {
constexpr int kMinThumb = 12;  // a thumb never shrinks below a grabbable size
}

CScrollBarUI::CScrollBarUI() { m_cxyFixed.cx = 8; }

LPVOID CScrollBarUI::GetInterface(LPCWSTR pstrName) {
  if (CDuiString(pstrName) == u"ScrollBar") return static_cast<CScrollBarUI*>(this);
  return CControlUI::GetInterface(pstrName);
}

void CScrollBarUI::SetScrollRange(int nRange) {
  nRange = std::max(0, nRange);
  if (m_nRange == nRange) return;
  m_nRange = nRange;
  m_nScrollPos = std::clamp(m_nScrollPos, 0, m_nRange);
  Invalidate();
}

void CScrollBarUI::SetScrollPos(int nPos) {
  nPos = std::clamp(nPos, 0, m_nRange);
  if (m_nScrollPos == nPos) return;
  m_nScrollPos = nPos;
  Invalidate();
}

RECT CScrollBarUI::GetThumbRect() const {
  int height = m_rcItem.bottom - m_rcItem.top;
  if (m_nRange <= 0 || height <= 0) return RECT{0, 0, 0, 0};
  // The thumb is to the bar what the visible part is to the whole.
  long long visible = height;
  int thumb = static_cast<int>(std::max<long long>(kMinThumb, visible * height / (visible + m_nRange)));
  thumb = std::min(thumb, height);
  int top = m_rcItem.top + static_cast<int>(static_cast<long long>(height - thumb) * m_nScrollPos / m_nRange);
  return RECT{m_rcItem.left, top, m_rcItem.right, top + thumb};
}

void CScrollBarUI::SetPos(RECT rc, bool bNeedInvalidate) { CControlUI::SetPos(rc, bNeedInvalidate); }

void CScrollBarUI::DoEvent(TEventUI& event) {
  if (!IsMouseEnabled() && event.Type > UIEVENT__MOUSEBEGIN && event.Type < UIEVENT__MOUSEEND) {
    if (m_pOwner)
      m_pOwner->DoEvent(event);
    else
      CControlUI::DoEvent(event);
    return;
  }
  switch (event.Type) {
    case UIEVENT_BUTTONDOWN:
    case UIEVENT_DBLCLICK: {
      if (!IsEnabled() || m_nRange <= 0) return;
      RECT thumb = GetThumbRect();
      if (::PtInRect(&thumb, event.ptMouse)) {
        m_bDragging = true;
        m_nDragStartY = event.ptMouse.y;
        m_nDragStartPos = m_nScrollPos;
      } else if (m_pOwner) {
        // A click beside the thumb pages towards the click.
        int page = std::max(1, static_cast<int>(m_rcItem.bottom - m_rcItem.top));
        int target = event.ptMouse.y < thumb.top ? m_nScrollPos - page : m_nScrollPos + page;
        m_pOwner->SetScrollPos(SIZE{0, std::clamp(target, 0, m_nRange)});
      }
      return;
    }
    case UIEVENT_MOUSEMOVE:
      if (m_bDragging && m_pOwner) {
        RECT thumb = GetThumbRect();
        int track = (m_rcItem.bottom - m_rcItem.top) - (thumb.bottom - thumb.top);
        if (track <= 0) return;
        long long moved = static_cast<long long>(event.ptMouse.y - m_nDragStartY) * m_nRange / track;
        int target = static_cast<int>(std::clamp<long long>(m_nDragStartPos + moved, 0, m_nRange));
        m_pOwner->SetScrollPos(SIZE{0, target});
      }
      return;
    case UIEVENT_BUTTONUP:
      m_bDragging = false;
      return;
    case UIEVENT_SCROLLWHEEL:
      if (m_pOwner) m_pOwner->DoEvent(event);
      return;
    default:
      CControlUI::DoEvent(event);
  }
}

void CScrollBarUI::SetAttribute(LPCWSTR pstrName, LPCWSTR pstrValue) {
  CDuiString name(pstrName);
  if (name == u"thumbcolor")
    m_dwThumbColor = dui::ParseColor(pstrValue);
  else if (name == u"thumbimage")
    m_sThumbImage = pstrValue;
  else if (name == u"linesize")
    SetLineSize(dui::ParseInt(pstrValue));
  else if (name == u"range")
    SetScrollRange(dui::ParseInt(pstrValue));
  else if (name == u"value")
    SetScrollPos(dui::ParseInt(pstrValue));
  else
    CControlUI::SetAttribute(pstrName, pstrValue);
}

void CScrollBarUI::PaintStatusImage(HDC hDC) {
  RECT thumb = GetThumbRect();
  if (::IsRectEmpty(&thumb)) return;
  if (!m_sThumbImage.IsEmpty()) {
    CDuiString modify;
    modify.Format(u"dest='%d,%d,%d,%d'", thumb.left - m_rcItem.left, thumb.top - m_rcItem.top,
                  thumb.right - m_rcItem.left, thumb.bottom - m_rcItem.top);
    if (DrawImage(hDC, m_sThumbImage, modify)) return;
    m_sThumbImage.Empty();
  }
  RECT clipped;
  if (m_dwThumbColor != 0 && ::IntersectRect(&clipped, &thumb, &m_rcPaint))
    CRenderEngine::DrawColor(hDC, clipped, m_dwThumbColor);
}
