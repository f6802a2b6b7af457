#include "dui/ButtonUI.h"

#include "dui/PaintManagerUI.h"
#include "dui/RenderEngine.h"

CButtonUI::CButtonUI() { m_uTextStyle = DT_SINGLELINE | DT_VCENTER | DT_CENTER; }

LPVOID CButtonUI::GetInterface(LPCWSTR pstrName) {
  if (CDuiString(pstrName) == u"Button") return static_cast<CButtonUI*>(this);
  return CLabelUI::GetInterface(pstrName);
}

UINT CButtonUI::GetControlFlags() const {
  return (IsKeyboardEnabled() ? UIFLAG_TABSTOP : 0) | (IsEnabled() ? UIFLAG_SETCURSOR : 0);
}

bool CButtonUI::Activate() {
  if (!CControlUI::Activate()) return false;
  if (m_pManager) m_pManager->SendNotify(this, u"click");
  return true;
}

void CButtonUI::SetEnabled(bool bEnable) {
  CControlUI::SetEnabled(bEnable);
  if (!IsEnabled()) m_uButtonState = 0;
}

void CButtonUI::DoEvent(TEventUI& event) {
  if (!IsMouseEnabled() && event.Type > UIEVENT__MOUSEBEGIN && event.Type < UIEVENT__MOUSEEND) {
    if (m_pParent)
      m_pParent->DoEvent(event);
    else
      CLabelUI::DoEvent(event);
    return;
  }
  switch (event.Type) {
    case UIEVENT_SETFOCUS:
    case UIEVENT_KILLFOCUS:
      CLabelUI::DoEvent(event);
      return;
    case UIEVENT_KEYDOWN:
      if (IsKeyboardEnabled() && (event.chKey == VK_SPACE || event.chKey == VK_RETURN)) {
        Activate();
        return;
      }
      break;
    case UIEVENT_BUTTONDOWN:
    case UIEVENT_DBLCLICK:
      if (::PtInRect(&m_rcItem, event.ptMouse) && IsEnabled()) {
        m_uButtonState |= UISTATE_PUSHED | UISTATE_CAPTURED;
        Invalidate();
      }
      return;
    case UIEVENT_MOUSEMOVE:
      if (m_uButtonState & UISTATE_CAPTURED) {
        if (::PtInRect(&m_rcItem, event.ptMouse))
          m_uButtonState |= UISTATE_PUSHED;
        else
          m_uButtonState &= ~UISTATE_PUSHED;
        Invalidate();
      }
      return;
    case UIEVENT_BUTTONUP:
      if (m_uButtonState & UISTATE_CAPTURED) {
        bool inside = ::PtInRect(&m_rcItem, event.ptMouse) != FALSE;
        m_uButtonState &= ~(UISTATE_PUSHED | UISTATE_CAPTURED);
        Invalidate();
        if (inside) Activate();
      }
      return;
    case UIEVENT_CONTEXTMENU:
      return;
    case UIEVENT_MOUSEENTER:
      if (IsEnabled()) {
        m_uButtonState |= UISTATE_HOT;
        Invalidate();
      }
      return;
    case UIEVENT_MOUSELEAVE:
      if (IsEnabled()) {
        m_uButtonState &= ~UISTATE_HOT;
        Invalidate();
      }
      return;
    case UIEVENT_SETCURSOR:
      ::SetCursor(::LoadCursorW(nullptr, IDC_HAND));
      return;
    default:
      break;
  }
  CLabelUI::DoEvent(event);
}

void CButtonUI::SetNormalImage(LPCWSTR pStrImage) {
  m_sNormalImage = pStrImage;
  Invalidate();
}

void CButtonUI::SetHotImage(LPCWSTR pStrImage) {
  m_sHotImage = pStrImage;
  Invalidate();
}

void CButtonUI::SetPushedImage(LPCWSTR pStrImage) {
  m_sPushedImage = pStrImage;
  Invalidate();
}

void CButtonUI::SetFocusedImage(LPCWSTR pStrImage) {
  m_sFocusedImage = pStrImage;
  Invalidate();
}

void CButtonUI::SetDisabledImage(LPCWSTR pStrImage) {
  m_sDisabledImage = pStrImage;
  Invalidate();
}

void CButtonUI::SetAttribute(LPCWSTR pstrName, LPCWSTR pstrValue) {
  CDuiString name(pstrName);
  if (name == u"normalimage")
    SetNormalImage(pstrValue);
  else if (name == u"hotimage")
    SetHotImage(pstrValue);
  else if (name == u"pushedimage")
    SetPushedImage(pstrValue);
  else if (name == u"focusedimage")
    SetFocusedImage(pstrValue);
  else if (name == u"disabledimage")
    SetDisabledImage(pstrValue);
  else if (name == u"hottextcolor")
    SetHotTextColor(dui::ParseColor(pstrValue));
  else if (name == u"pushedtextcolor")
    SetPushedTextColor(dui::ParseColor(pstrValue));
  else if (name == u"focusedtextcolor")
    SetFocusedTextColor(dui::ParseColor(pstrValue));
  else if (name == u"hotbkcolor")
    SetHotBkColor(dui::ParseColor(pstrValue));
  else
    CLabelUI::SetAttribute(pstrName, pstrValue);
}

void CButtonUI::PaintText(HDC hDC) {
  if (!m_pManager) return;
  DWORD color = m_dwTextColor != 0 ? m_dwTextColor : m_pManager->GetDefaultFontColor();
  if (!IsEnabled()) {
    color = m_dwDisabledTextColor != 0 ? m_dwDisabledTextColor : m_pManager->GetDefaultDisabledColor();
  } else if ((m_uButtonState & UISTATE_PUSHED) && m_dwPushedTextColor != 0) {
    color = m_dwPushedTextColor;
  } else if ((m_uButtonState & UISTATE_HOT) && m_dwHotTextColor != 0) {
    color = m_dwHotTextColor;
  } else if (IsFocused() && m_dwFocusedTextColor != 0) {
    color = m_dwFocusedTextColor;
  }
  DrawLabelText(hDC, color);
}

void CButtonUI::PaintStatusImage(HDC hDC) {
  // The first state image that draws wins; an image that fails is emptied and not tried again.
  auto draw = [&](CDuiString& image) {
    if (image.IsEmpty()) return false;
    if (DrawImage(hDC, image)) return true;
    image.Empty();
    return false;
  };
  if (!IsEnabled()) {
    if (draw(m_sDisabledImage)) return;
  } else if (m_uButtonState & UISTATE_PUSHED) {
    if (draw(m_sPushedImage)) return;
  } else if (m_uButtonState & UISTATE_HOT) {
    if (m_dwHotBkColor != 0) CRenderEngine::DrawColor(hDC, m_rcPaint, m_dwHotBkColor);
    if (draw(m_sHotImage)) return;
  } else if (IsFocused()) {
    if (draw(m_sFocusedImage)) return;
  }
  draw(m_sNormalImage);
}
