#include "dui/EditUI.h"

#include <algorithm>
#include <cstring>

#include "dui/PaintManagerUI.h"
#include "dui/RenderEngine.h"

namespace {

constexpr UINT kCaretTimer = 20;
constexpr UINT kCaretBlinkMs = 500;
constexpr DWORD kSelectedTextColor = 0xFFFFFFFF;

bool IsHighSurrogate(WCHAR c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(WCHAR c) { return c >= 0xDC00 && c <= 0xDFFF; }

COLORREF ToColorRef(DWORD argb) { return RGB((argb >> 16) & 0xFF, (argb >> 8) & 0xFF, argb & 0xFF); }
DWORD FromColorRef(COLORREF c) {
  return 0xFF000000 | static_cast<DWORD>(GetRValue(c)) << 16 | static_cast<DWORD>(GetGValue(c)) << 8 |
         static_cast<DWORD>(GetBValue(c));
}

bool IsMouseEvent(int type) { return type > UIEVENT__MOUSEBEGIN && type < UIEVENT__MOUSEEND; }

}  // namespace

CEditUI::CEditUI() { m_uTextStyle = DT_SINGLELINE | DT_VCENTER; }

LPVOID CEditUI::GetInterface(LPCWSTR pstrName) {
  if (CDuiString(pstrName) == u"Edit") return static_cast<CEditUI*>(this);
  return CLabelUI::GetInterface(pstrName);
}

UINT CEditUI::GetControlFlags() const {
  return (IsKeyboardEnabled() ? UIFLAG_TABSTOP : 0) | (IsEnabled() ? UIFLAG_SETCURSOR : 0);
}

void CEditUI::SetText(LPCWSTR pstrText) {
  CLabelUI::SetText(pstrText);
  m_iCaret = m_iAnchor = m_sText.GetLength();
  m_chPendingHigh = 0;
  ScrollToCaret();
  Invalidate();
}

void CEditUI::SetTextColor(DWORD dwTextColor) {
  if (m_dwTextColor == dwTextColor) return;
  m_dwTextColor = dwTextColor;
  if (!m_bAskingColors) Invalidate();  // a change made while painting is painted already
}

void CEditUI::SetReadOnly(bool bReadOnly) {
  m_bReadOnly = bReadOnly;
  Invalidate();
}

void CEditUI::SetPasswordMode(bool bPasswordMode) {
  if (m_bPasswordMode == bPasswordMode) return;
  m_bPasswordMode = bPasswordMode;
  ScrollToCaret();
  Invalidate();
}

void CEditUI::SetPasswordChar(WCHAR cPasswordChar) {
  if (cPasswordChar == 0 || cPasswordChar == m_cPasswordChar) return;
  m_cPasswordChar = cPasswordChar;
  ScrollToCaret();
  Invalidate();
}

void CEditUI::SetNativeEditBkColor(DWORD dwBkColor) {
  m_dwNativeBkColor = dwBkColor;
  Invalidate();
}

void CEditUI::SetSelectionColor(DWORD dwColor) {
  m_dwSelColor = dwColor;
  Invalidate();
}

int CEditUI::Snap(int i) const {
  int len = m_sText.GetLength();
  i = std::clamp(i, 0, len);
  if (i > 0 && i < len && IsLowSurrogate(m_sText[i]) && IsHighSurrogate(m_sText[i - 1])) --i;
  return i;
}

void CEditUI::SetSel(int nStart, int nEnd) {
  int len = m_sText.GetLength();
  if (nEnd < 0) nEnd = len;
  if (nStart < 0) {
    m_iAnchor = m_iCaret;
  } else {
    m_iAnchor = Snap(nStart);
    m_iCaret = Snap(nEnd);
  }
  ScrollToCaret();
  RestartCaretBlink();
  Invalidate();
}

void CEditUI::GetSel(int& nStart, int& nEnd) const {
  nStart = std::min(m_iAnchor, m_iCaret);
  nEnd = std::max(m_iAnchor, m_iCaret);
}

CDuiString CEditUI::DisplayText() const {
  if (!m_bPasswordMode) return m_sText;
  return CDuiString(std::u16string(static_cast<size_t>(m_sText.GetLength()), m_cPasswordChar).c_str());
}

int CEditUI::TextWidth(int nChars) const {
  if (nChars <= 0 || !m_pManager) return 0;
  HDC dc = m_pManager->GetPaintDC();
  HFONT font = m_pManager->GetFont(m_iFont);
  if (!dc || !font) return 0;
  CDuiString shown = DisplayText();
  nChars = std::min(nChars, shown.GetLength());
  HGDIOBJ old = ::SelectObject(dc, font);
  SIZE size{0, 0};
  if (!::GetTextExtentPoint32W(dc, shown.GetData(), nChars, &size)) size.cx = 0;
  ::SelectObject(dc, old);
  return size.cx;
}

RECT CEditUI::TextRect() const {
  return RECT{m_rcItem.left + m_rcTextPadding.left, m_rcItem.top + m_rcTextPadding.top,
              m_rcItem.right - m_rcTextPadding.right, m_rcItem.bottom - m_rcTextPadding.bottom};
}

RECT CEditUI::LineRect(const RECT& rcText) const {
  int height = 12;
  if (m_pManager) {
    if (TFontInfo* font = m_pManager->GetFontInfo(m_iFont)) height = font->tm.tmHeight;
  }
  int top = rcText.top;
  if (m_uTextStyle & DT_BOTTOM)
    top = rcText.bottom - height;
  else if (m_uTextStyle & DT_VCENTER)
    top = rcText.top + (rcText.bottom - rcText.top - height) / 2;
  return RECT{rcText.left, top, rcText.right, top + height};
}

int CEditUI::HitTest(int x) const {
  int target = x - TextRect().left + m_iScrollX;
  int len = m_sText.GetLength();
  if (target <= 0 || len == 0) return 0;
  // Widths grow with the number of characters: the first boundary at or past the point, then
  // whichever of it and the one before is nearer.
  int lo = 0, hi = len;
  while (lo < hi) {
    int mid = lo + (hi - lo) / 2;
    if (TextWidth(mid) < target)
      lo = mid + 1;
    else
      hi = mid;
  }
  if (lo > 0 && target - TextWidth(lo - 1) < TextWidth(lo) - target) --lo;
  return Snap(lo);
}

int CEditUI::PrevPos(int i) const {
  if (i <= 0) return 0;
  --i;
  if (i > 0 && IsLowSurrogate(m_sText[i]) && IsHighSurrogate(m_sText[i - 1])) --i;
  return i;
}

int CEditUI::NextPos(int i) const {
  int len = m_sText.GetLength();
  if (i >= len) return len;
  if (IsHighSurrogate(m_sText[i]) && IsLowSurrogate(m_sText[i + 1])) return std::min(i + 2, len);
  return i + 1;
}

void CEditUI::MoveCaret(int iPos, bool bExtend) {
  m_iCaret = Snap(iPos);
  if (!bExtend) m_iAnchor = m_iCaret;
  ScrollToCaret();
  RestartCaretBlink();
  Invalidate();
}

bool CEditUI::ReplaceSelection(const CDuiString& sText) {
  int from = std::min(m_iAnchor, m_iCaret), to = std::max(m_iAnchor, m_iCaret);
  long long length = static_cast<long long>(m_sText.GetLength()) - (to - from) + sText.GetLength();
  if (m_uMaxChar > 0 && length > static_cast<long long>(m_uMaxChar)) return false;
  m_sText = m_sText.Left(from) + sText + m_sText.Mid(to);
  m_iCaret = m_iAnchor = from + sText.GetLength();
  TextChanged();
  return true;
}

bool CEditUI::DeleteRange(int iFrom, int iTo) {
  if (iFrom >= iTo) return false;
  m_sText = m_sText.Left(iFrom) + m_sText.Mid(iTo);
  m_iCaret = m_iAnchor = iFrom;
  TextChanged();
  return true;
}

void CEditUI::TextChanged() {
  ScrollToCaret();
  RestartCaretBlink();
  Invalidate();
  if (m_bAutoCalcWidth) NeedParentUpdate();
  if (m_pManager) m_pManager->SendNotify(this, u"textchanged");
}

void CEditUI::ScrollToCaret() {
  RECT rc = TextRect();
  int width = rc.right - rc.left;
  if (width <= 1) {
    m_iScrollX = 0;
    return;
  }
  int caretX = TextWidth(m_iCaret);
  if (caretX < m_iScrollX)
    m_iScrollX = caretX;
  else if (caretX - m_iScrollX > width - 1)
    m_iScrollX = caretX - (width - 1);  // the caret's pixel stays inside
  // No empty room at the right while text is hidden at the left.
  int most = std::max(0, TextWidth(m_sText.GetLength()) - (width - 1));
  m_iScrollX = std::clamp(m_iScrollX, 0, most);
}

void CEditUI::RestartCaretBlink() {
  m_bCaretOn = true;
  if (m_bFocused && m_pManager) m_pManager->SetTimer(this, kCaretTimer, kCaretBlinkMs);
}

void CEditUI::SetEnabled(bool bEnable) {
  CLabelUI::SetEnabled(bEnable);
  if (!IsEnabled()) m_bDragging = false;
}

void CEditUI::SetPos(RECT rc, bool bNeedInvalidate) {
  CLabelUI::SetPos(rc, bNeedInvalidate);
  ScrollToCaret();
}

// Puts the selection on the clipboard; false when nothing is selected or the clipboard is busy.
bool CEditUI::CopySelection() {
  if (!HasSelection() || !m_pManager) return false;
  int from = std::min(m_iAnchor, m_iCaret), to = std::max(m_iAnchor, m_iCaret);
  CDuiString text = m_sText.Mid(from, to - from);
  SIZE_T bytes = (static_cast<SIZE_T>(text.GetLength()) + 1) * sizeof(WCHAR);
  HGLOBAL block = ::GlobalAlloc(GMEM_MOVEABLE, bytes);
  if (!block) return false;
  void* data = ::GlobalLock(block);
  if (!data) {
    ::GlobalFree(block);
    return false;
  }
  std::memcpy(data, text.GetData(), bytes);
  ::GlobalUnlock(block);
  if (!::OpenClipboard(m_pManager->GetPaintWindow())) {
    ::GlobalFree(block);
    return false;
  }
  ::EmptyClipboard();
  bool set = ::SetClipboardData(CF_UNICODETEXT, block) != nullptr;
  ::CloseClipboard();
  if (!set) ::GlobalFree(block);
  return set;
}

// Pastes text of the given clipboard format as if it were typed: characters the box would refuse
// from the keyboard (control characters, non-digits in a number box) are left out.
void CEditUI::Paste(UINT uFormat) {
  if (!m_pManager || !::OpenClipboard(m_pManager->GetPaintWindow())) return;
  CDuiString text;
  if (HANDLE block = ::GetClipboardData(uFormat)) {
    if (const auto* data = static_cast<const WCHAR*>(::GlobalLock(block))) {
      size_t units = ::GlobalSize(block) / sizeof(WCHAR);
      for (size_t i = 0; i < units && data[i]; ++i) {
        WCHAR ch = data[i];
        if (ch < 0x20 || ch == 0x7F) continue;
        if (m_bNumberOnly && (ch < u'0' || ch > u'9')) continue;
        text += ch;
      }
      ::GlobalUnlock(block);
    }
  }
  ::CloseClipboard();
  if (!text.IsEmpty()) ReplaceSelection(text);
}

void CEditUI::TypeChar(WCHAR ch) {
  if (m_bReadOnly || !IsEnabled()) return;
  // Control characters (Enter, Backspace, Tab, Ctrl+letters) are keys, handled on key-down.
  if (ch < 0x20 || ch == 0x7F) return;
  if (IsHighSurrogate(ch)) {
    m_chPendingHigh = ch;
    return;
  }
  CDuiString typed;
  if (IsLowSurrogate(ch)) {
    if (!m_chPendingHigh) return;
    typed += m_chPendingHigh;
  }
  m_chPendingHigh = 0;
  typed += ch;
  if (m_bNumberOnly && (ch < u'0' || ch > u'9')) return;
  ReplaceSelection(typed);
}

bool CEditUI::HandleKey(const TEventUI& event) {
  bool shift = (event.wKeyState & MK_SHIFT) != 0;
  bool control = (event.wKeyState & MK_CONTROL) != 0;
  bool editable = !m_bReadOnly && IsEnabled();
  int from = std::min(m_iAnchor, m_iCaret), to = std::max(m_iAnchor, m_iCaret);
  switch (event.chKey) {
    case VK_RETURN:
      if (m_pManager) m_pManager->SendNotify(this, u"return");
      return true;
    case VK_BACK:
      if (editable) DeleteRange(HasSelection() ? from : PrevPos(m_iCaret), HasSelection() ? to : m_iCaret);
      return true;
    case VK_DELETE:
      if (shift && !control) {  // Shift+Delete cuts
        if (CopySelection() && editable) DeleteRange(from, to);
        return true;
      }
      if (editable) DeleteRange(HasSelection() ? from : m_iCaret, HasSelection() ? to : NextPos(m_iCaret));
      return true;
    case VK_INSERT:
      if (control && !shift) CopySelection();
      if (shift && !control && editable) Paste(CF_UNICODETEXT);
      return true;
    case u'C':
      if (!control) return false;
      CopySelection();
      return true;
    case u'X':
      if (!control) return false;
      if (CopySelection() && editable) DeleteRange(from, to);
      return true;
    case u'V':
      if (!control) return false;
      if (editable) Paste(CF_UNICODETEXT);
      return true;
    case VK_LEFT:
      MoveCaret(HasSelection() && !shift ? from : PrevPos(m_iCaret), shift);
      return true;
    case VK_RIGHT:
      MoveCaret(HasSelection() && !shift ? to : NextPos(m_iCaret), shift);
      return true;
    case VK_HOME:
      MoveCaret(0, shift);
      return true;
    case VK_END:
      MoveCaret(m_sText.GetLength(), shift);
      return true;
    case u'A':
      if (!control) return false;
      SetSelAll();
      return true;
    default:
      return false;
  }
}

void CEditUI::DoEvent(TEventUI& event) {
  if (!IsMouseEnabled() && IsMouseEvent(event.Type)) {
    if (m_pParent)
      m_pParent->DoEvent(event);
    else
      CLabelUI::DoEvent(event);
    return;
  }
  switch (event.Type) {
    case UIEVENT_SETCURSOR:
      ::SetCursor(::LoadCursorW(nullptr, IDC_IBEAM));
      return;
    case UIEVENT_SETFOCUS:
      CLabelUI::DoEvent(event);
      RestartCaretBlink();
      return;
    case UIEVENT_KILLFOCUS:
      m_bCaretOn = false;
      m_bDragging = false;
      m_chPendingHigh = 0;
      if (m_pManager) m_pManager->KillTimer(this, kCaretTimer);
      CLabelUI::DoEvent(event);
      return;
    case UIEVENT_TIMER:
      if (event.wParam == kCaretTimer) {
        m_bCaretOn = !m_bCaretOn;
        Invalidate();
        return;
      }
      break;
    case UIEVENT_BUTTONDOWN:
      if (!IsEnabled()) return;
      MoveCaret(HitTest(event.ptMouse.x), (event.wKeyState & MK_SHIFT) != 0);
      m_bDragging = true;
      return;
    case UIEVENT_DBLCLICK:
      if (IsEnabled()) SetSelAll();
      return;
    case UIEVENT_MBUTTONDOWN:  // X's middle-button paste of the last selected text
      if (!IsEnabled() || m_bReadOnly) return;
      MoveCaret(HitTest(event.ptMouse.x), false);
      Paste(CF_QV_PRIMARY);
      return;
    case UIEVENT_MOUSEMOVE:
      if (m_bDragging) MoveCaret(HitTest(event.ptMouse.x), true);
      return;
    case UIEVENT_BUTTONUP:
      m_bDragging = false;
      return;
    case UIEVENT_KEYDOWN:
      if (HandleKey(event)) return;
      break;
    case UIEVENT_CHAR:
      TypeChar(event.chKey);
      return;
    default:
      break;
  }
  CLabelUI::DoEvent(event);
}

void CEditUI::SetAttribute(LPCWSTR pstrName, LPCWSTR pstrValue) {
  CDuiString name(pstrName);
  if (name == u"readonly")
    SetReadOnly(dui::ParseBool(pstrValue));
  else if (name == u"password")
    SetPasswordMode(dui::ParseBool(pstrValue));
  else if (name == u"passwordchar")
    SetPasswordChar(pstrValue ? pstrValue[0] : 0);
  else if (name == u"numberonly")
    SetNumberOnly(dui::ParseBool(pstrValue));
  else if (name == u"maxchar")
    SetMaxChar(static_cast<UINT>(std::max(0, dui::ParseInt(pstrValue))));
  else if (name == u"nativebkcolor")
    SetNativeEditBkColor(dui::ParseColor(pstrValue));
  else if (name == u"selcolor")
    SetSelectionColor(dui::ParseColor(pstrValue));
  else
    CLabelUI::SetAttribute(pstrName, pstrValue);
}

void CEditUI::PaintBkColor(HDC hDC) {
  if (m_bFocused && m_dwNativeBkColor != 0)
    CRenderEngine::DrawColor(hDC, m_rcPaint, m_dwNativeBkColor);
  else
    CLabelUI::PaintBkColor(hDC);
}

void CEditUI::PaintText(HDC hDC) {
  if (!m_pManager) return;
  DWORD color;
  if (!IsEnabled())
    color = m_dwDisabledTextColor != 0 ? m_dwDisabledTextColor : m_pManager->GetDefaultDisabledColor();
  else
    color = m_dwTextColor != 0 ? m_dwTextColor : m_pManager->GetDefaultFontColor();
  HWND hwnd = m_pManager->GetPaintWindow();
  if (m_bFocused && IsEnabled() && hwnd) {
    // The window may answer with a colour set on the DC or on this control.
    COLORREF offered = ToColorRef(color);
    COLORREF oldColor = ::SetTextColor(hDC, offered);
    m_bAskingColors = true;
    ::SendMessageW(hwnd, WM_CTLCOLOREDIT, reinterpret_cast<WPARAM>(hDC), 0);
    m_bAskingColors = false;
    COLORREF answered = ::GetTextColor(hDC);
    ::SetTextColor(hDC, oldColor);
    if (answered != offered)
      color = FromColorRef(answered);
    else if (m_dwTextColor != 0)
      color = m_dwTextColor;
  }

  RECT rc = TextRect();
  RECT clip;
  if (!::IntersectRect(&clip, &rc, &m_rcPaint)) return;
  CDuiString shown = DisplayText();
  int origin = rc.left - m_iScrollX;
  // Wide enough for the whole text, so nothing is cut or shortened; the clip keeps it inside.
  RECT textRc{origin, rc.top, std::max(static_cast<int>(rc.right), origin + TextWidth(shown.GetLength()) + 1),
              rc.bottom};
  UINT style = DT_SINGLELINE | DT_NOPREFIX | (m_uTextStyle & (DT_VCENTER | DT_BOTTOM));
  RECT line = LineRect(rc);
  auto drawPiece = [&](int left, int right, DWORD textColor, DWORD bkColor) {
    RECT piece{std::max(left, static_cast<int>(clip.left)), clip.top, std::min(right, static_cast<int>(clip.right)),
               clip.bottom};
    if (piece.left >= piece.right) return;
    int saved = ::SaveDC(hDC);
    ::IntersectClipRect(hDC, piece.left, piece.top, piece.right, piece.bottom);
    RECT band{piece.left, line.top, piece.right, line.bottom};
    if (bkColor != 0) CRenderEngine::DrawColor(hDC, band, bkColor);
    RECT drawRc = textRc;
    if (!shown.IsEmpty()) CRenderEngine::DrawTextW(hDC, m_pManager, drawRc, shown, textColor, m_iFont, style);
    ::RestoreDC(hDC, saved);
  };
  int from = std::min(m_iAnchor, m_iCaret), to = std::max(m_iAnchor, m_iCaret);
  if (m_bFocused && from != to) {
    int x1 = origin + TextWidth(from), x2 = origin + TextWidth(to);
    drawPiece(clip.left, x1, color, 0);
    drawPiece(x1, x2, kSelectedTextColor, m_dwSelColor);
    drawPiece(x2, clip.right, color, 0);
  } else {
    drawPiece(clip.left, clip.right, color, 0);
  }
  if (m_bFocused && m_bCaretOn) {
    int x = origin + TextWidth(m_iCaret);
    RECT caret{x, line.top, x + 1, line.bottom}, shownCaret;
    if (::IntersectRect(&shownCaret, &caret, &clip)) CRenderEngine::DrawColor(hDC, shownCaret, color | 0xFF000000);
  }
}
