#include "dui/ControlUI.h"

#include <cwchar>

#include "dui/PaintManagerUI.h"
#include "dui/RenderEngine.h"

namespace dui {

namespace {
// Skips to the next number of a comma (or any single character) separated list.
long NextNumber(LPCWSTR& p) {
  while (*p && !(*p == u'-' || (*p >= u'0' && *p <= u'9'))) ++p;
  bool negative = *p == u'-';
  if (negative) ++p;
  long value = 0;
  while (*p >= u'0' && *p <= u'9') {
    if (value < 100000000) value = value * 10 + (*p - u'0');
    ++p;
  }
  return negative ? -value : value;
}
}  // namespace

DWORD ParseColor(LPCWSTR pstrValue) {
  if (!pstrValue) return 0;
  while (*pstrValue == u' ') ++pstrValue;
  if (*pstrValue == u'#') ++pstrValue;
  DWORD value = 0;
  for (int i = 0; i < 8 && *pstrValue; ++i, ++pstrValue) {
    WCHAR c = *pstrValue;
    int digit = c >= u'0' && c <= u'9' ? c - u'0' : c >= u'a' && c <= u'f' ? c - u'a' + 10
                : c >= u'A' && c <= u'F' ? c - u'A' + 10 : -1;
    if (digit < 0) break;
    value = value << 4 | static_cast<DWORD>(digit);
  }
  return value;
}

RECT ParseRect(LPCWSTR pstrValue) {
  RECT rc{0, 0, 0, 0};
  if (!pstrValue) return rc;
  rc.left = NextNumber(pstrValue);
  rc.top = NextNumber(pstrValue);
  rc.right = NextNumber(pstrValue);
  rc.bottom = NextNumber(pstrValue);
  return rc;
}

SIZE ParseSize(LPCWSTR pstrValue) {
  SIZE sz{0, 0};
  if (!pstrValue) return sz;
  sz.cx = NextNumber(pstrValue);
  sz.cy = NextNumber(pstrValue);
  return sz;
}

int ParseInt(LPCWSTR pstrValue) {
  if (!pstrValue) return 0;
  return static_cast<int>(NextNumber(pstrValue));
}

}  // namespace dui

CControlUI::CControlUI() = default;

CControlUI::~CControlUI() {
  if (m_pManager) m_pManager->ReapObjects(this);
}

LPVOID CControlUI::GetInterface(LPCWSTR pstrName) {
  if (CDuiString(pstrName) == u"Control") return this;
  return nullptr;
}

bool CControlUI::Activate() { return IsVisible() && IsEnabled(); }

void CControlUI::SetManager(CPaintManagerUI* pManager, CControlUI* pParent, bool bInit) {
  m_pManager = pManager;
  m_pParent = pParent;
  if (bInit && m_pParent) Init();
}

void CControlUI::SetText(LPCWSTR pstrText) { ChangeShown(m_sText, pstrText); }

void CControlUI::SetBkColor(DWORD dwBackColor) { ChangeShown(m_dwBackColor, dwBackColor); }

void CControlUI::SetBkImage(LPCWSTR pStrImage) { ChangeShown(m_sBkImage, pStrImage); }

void CControlUI::SetBorderColor(DWORD dwBorderColor) { ChangeShown(m_dwBorderColor, dwBorderColor); }

void CControlUI::SetFocusBorderColor(DWORD dwBorderColor) { ChangeShown(m_dwFocusBorderColor, dwBorderColor); }

void CControlUI::SetBorderSize(int nSize) { ChangeShown(m_nBorderSize, nSize); }

bool CControlUI::DrawImage(HDC hDC, LPCWSTR pStrImage, LPCWSTR pStrModify) {
  return CRenderEngine::DrawImageString(hDC, m_pManager, m_rcItem, m_rcPaint, pStrImage, pStrModify);
}

void CControlUI::SetPos(RECT rc, bool bNeedInvalidate) {
  if (rc.right < rc.left) rc.right = rc.left;
  if (rc.bottom < rc.top) rc.bottom = rc.top;
  CDuiRect invalidate = m_rcItem;
  if (invalidate.IsEmpty()) invalidate = rc;
  m_rcItem = rc;
  if (!m_pManager) return;
  if (m_bFloat && m_pParent) {
    // Keep the float position in step with where the control was put.
    RECT rcParent = m_pParent->GetPos();
    m_cXY = SIZE{rc.left - rcParent.left, rc.top - rcParent.top};
    m_cxyFixed = SIZE{rc.right - rc.left, rc.bottom - rc.top};
  }
  m_bUpdateNeeded = false;
  if (bNeedInvalidate && IsVisible()) {
    invalidate.Join(m_rcItem);
    InvalidateVisiblePart(invalidate);
  }
}

void CControlUI::SetPadding(RECT rcPadding) {
  m_rcPadding = rcPadding;
  NeedParentUpdate();
}

void CControlUI::SetFixedXY(SIZE szXY) {
  m_cXY = szXY;
  if (!m_bFloat) m_bFloat = true;
  NeedParentUpdate();
}

void CControlUI::SetFixedWidth(int cx) {
  if (cx < 0) return;
  m_cxyFixed.cx = cx;
  NeedParentUpdate();
}

void CControlUI::SetFixedHeight(int cy) {
  if (cy < 0) return;
  m_cxyFixed.cy = cy;
  NeedParentUpdate();
}

void CControlUI::SetMinWidth(int cx) { ChangeBound(m_cxyMin.cx, cx); }

void CControlUI::SetMaxWidth(int cx) { ChangeBound(m_cxyMax.cx, cx); }

void CControlUI::SetMinHeight(int cy) { ChangeBound(m_cxyMin.cy, cy); }

void CControlUI::SetMaxHeight(int cy) { ChangeBound(m_cxyMax.cy, cy); }

void CControlUI::SetVisible(bool bVisible) {
  if (m_bVisible == bVisible) return;
  bool v = IsVisible();
  m_bVisible = bVisible;
  if (m_bFocused) m_bFocused = false;
  if (!bVisible && m_pManager && m_pManager->GetFocus() == this) m_pManager->SetFocus(nullptr);
  if (IsVisible() != v) NeedParentUpdate();
}

void CControlUI::SetInternVisible(bool bVisible) {
  m_bInternVisible = bVisible;
  if (!bVisible && m_pManager && m_pManager->GetFocus() == this) m_pManager->SetFocus(nullptr);
}

void CControlUI::SetEnabled(bool bEnable) { ChangeShown(m_bEnabled, bEnable); }

void CControlUI::SetFocus() {
  if (m_pManager) m_pManager->SetFocus(this);
}

void CControlUI::SetFloat(bool bFloat) {
  if (m_bFloat == bFloat) return;
  m_bFloat = bFloat;
  NeedParentUpdate();
}

CControlUI* CControlUI::FindControl(FINDCONTROLPROC Proc, LPVOID pData, UINT uFlags) {
  if ((uFlags & UIFIND_VISIBLE) && !IsVisible()) return nullptr;
  if ((uFlags & UIFIND_ENABLED) && !IsEnabled()) return nullptr;
  if ((uFlags & UIFIND_HITTEST) &&
      (!m_bMouseEnabled || !::PtInRect(&m_rcItem, *static_cast<const POINT*>(pData))))
    return nullptr;
  return Proc(this, pData);
}

void CControlUI::Invalidate() {
  if (!IsVisible() || !m_pManager) return;
  InvalidateVisiblePart(m_rcItem);
}

void CControlUI::InvalidateVisiblePart(RECT rc) {
  // Only what every ancestor shows can need painting.
  for (CControlUI* pParent = GetParent(); pParent; pParent = pParent->GetParent()) {
    RECT inside = rc;
    RECT rcParent = pParent->GetPos();
    if (!::IntersectRect(&rc, &inside, &rcParent)) return;
  }
  m_pManager->Invalidate(rc);
}

void CControlUI::NeedUpdate() {
  if (!IsVisible()) return;
  m_bUpdateNeeded = true;
  Invalidate();
  if (m_pManager) m_pManager->NeedUpdate();
}

void CControlUI::NeedParentUpdate() {
  if (GetParent()) {
    GetParent()->NeedUpdate();
    GetParent()->Invalidate();
  } else {
    NeedUpdate();
  }
  if (m_pManager) m_pManager->NeedUpdate();
}

void CControlUI::Init() { DoInit(); }

void CControlUI::Event(TEventUI& event) { DoEvent(event); }

void CControlUI::DoEvent(TEventUI& event) {
  if (event.Type == UIEVENT_SETCURSOR) {
    ::SetCursor(::LoadCursorW(nullptr, IDC_ARROW));
    return;
  }
  if (event.Type == UIEVENT_SETFOCUS) {
    m_bFocused = true;
    Invalidate();
    return;
  }
  if (event.Type == UIEVENT_KILLFOCUS) {
    m_bFocused = false;
    Invalidate();
    return;
  }
  if (m_pParent) m_pParent->DoEvent(event);
}

void CControlUI::SetAttribute(LPCWSTR pstrName, LPCWSTR pstrValue) {
  CDuiString name(pstrName);
  if (name == u"pos") {
    RECT rc = dui::ParseRect(pstrValue);
    SetFixedWidth(rc.right - rc.left);
    SetFixedHeight(rc.bottom - rc.top);
    SetFixedXY(SIZE{rc.left, rc.top});
  } else if (name == u"padding") {
    SetPadding(dui::ParseRect(pstrValue));
  } else if (name == u"bkcolor" || name == u"bkcolor1") {
    SetBkColor(dui::ParseColor(pstrValue));
  } else if (name == u"bordercolor") {
    SetBorderColor(dui::ParseColor(pstrValue));
  } else if (name == u"focusbordercolor") {
    SetFocusBorderColor(dui::ParseColor(pstrValue));
  } else if (name == u"bordersize") {
    SetBorderSize(dui::ParseInt(pstrValue));
  } else if (name == u"bkimage") {
    SetBkImage(pstrValue);
  } else if (name == u"width") {
    SetFixedWidth(dui::ParseInt(pstrValue));
  } else if (name == u"height") {
    SetFixedHeight(dui::ParseInt(pstrValue));
  } else if (name == u"minwidth") {
    SetMinWidth(dui::ParseInt(pstrValue));
  } else if (name == u"minheight") {
    SetMinHeight(dui::ParseInt(pstrValue));
  } else if (name == u"maxwidth") {
    SetMaxWidth(dui::ParseInt(pstrValue));
  } else if (name == u"maxheight") {
    SetMaxHeight(dui::ParseInt(pstrValue));
  } else if (name == u"name") {
    SetName(pstrValue);
  } else if (name == u"text") {
    SetText(pstrValue);
  } else if (name == u"tooltip") {
    SetToolTip(pstrValue);
  } else if (name == u"userdata") {
    SetUserData(pstrValue);
  } else if (name == u"enabled") {
    SetEnabled(dui::ParseBool(pstrValue));
  } else if (name == u"mouse") {
    SetMouseEnabled(dui::ParseBool(pstrValue));
  } else if (name == u"keyboard") {
    SetKeyboardEnabled(dui::ParseBool(pstrValue));
  } else if (name == u"visible") {
    SetVisible(dui::ParseBool(pstrValue));
  } else if (name == u"float") {
    SetFloat(dui::ParseBool(pstrValue));
  }
}

CControlUI* CControlUI::ApplyAttributeList(LPCWSTR pstrList) {
  // name="value" pairs; the value may be quoted with " or ', and \" inside is a quote.
  if (!pstrList) return this;
  LPCWSTR p = pstrList;
  while (*p) {
    while (*p == u' ' || *p == u'\t' || *p == u'\r' || *p == u'\n') ++p;
    if (!*p) break;
    CDuiString name;
    while (*p && *p != u'=' && *p != u' ') name += *p++;
    while (*p == u' ') ++p;
    if (*p != u'=') return this;
    ++p;
    while (*p == u' ') ++p;
    WCHAR quote = *p;
    if (quote != u'"' && quote != u'\'') return this;
    ++p;
    CDuiString value;
    while (*p && *p != quote) {
      if (*p == u'\\' && p[1] == quote) ++p;
      value += *p++;
    }
    if (*p != quote) return this;
    ++p;
    SetAttribute(name, value);
  }
  return this;
}

SIZE CControlUI::EstimateSize(SIZE szAvailable) {
  (void)szAvailable;
  return m_cxyFixed;
}

void CControlUI::DoPaint(HDC hDC, const RECT& rcPaint) {
  if (!::IntersectRect(&m_rcPaint, &rcPaint, &m_rcItem)) return;
  PaintBkColor(hDC);
  PaintBkImage(hDC);
  PaintStatusImage(hDC);
  PaintText(hDC);
  PaintBorder(hDC);
}

void CControlUI::PaintBkColor(HDC hDC) {
  if (m_dwBackColor != 0) CRenderEngine::DrawColor(hDC, m_rcPaint, m_dwBackColor);
}

void CControlUI::PaintBkImage(HDC hDC) {
  if (m_sBkImage.IsEmpty()) return;
  if (!DrawImage(hDC, m_sBkImage)) m_sBkImage.Empty();  // not tried again
}

void CControlUI::PaintBorder(HDC hDC) {
  if (m_nBorderSize <= 0) return;
  DWORD color = m_bFocused && m_dwFocusBorderColor != 0 ? m_dwFocusBorderColor : m_dwBorderColor;
  if (color == 0) return;
  // A border is drawn like a pen: a colour given without alpha (0x00RRGGBB, as windows' code sets
  // them) is opaque, not invisible.
  if ((color >> 24) == 0) color |= 0xFF000000;
  CRenderEngine::DrawRect(hDC, m_rcItem, m_nBorderSize, color);
}
