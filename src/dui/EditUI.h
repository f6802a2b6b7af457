// A single-line text box drawn by the control itself: text, caret, selection, horizontal
// scrolling, password and number-only modes. Typing sends "textchanged", Enter sends "return".
// While focused it asks its window for colours with WM_CTLCOLOREDIT before drawing its text.
#pragma once

#include "dui/LabelUI.h"

class CEditUI : public CLabelUI {
 public:
  CEditUI();
  LPCWSTR GetClass() const override { return u"EditUI"; }
  LPVOID GetInterface(LPCWSTR pstrName) override;
  UINT GetControlFlags() const override;

  // Programmatic text is taken as it is (neither filtered nor cut to the maximum); the caret goes
  // to its end. No "textchanged" is sent.
  void SetText(LPCWSTR pstrText) override;
  // A colour set while the edit asks its window for colours (WM_CTLCOLOREDIT) is painted already:
  // no second paint is asked for.
  void SetTextColor(DWORD dwTextColor);

  // The most characters (UTF-16 units) typing may produce; 0 means no limit.
  void SetMaxChar(UINT uMax) { m_uMaxChar = uMax; }
  UINT GetMaxChar() const { return m_uMaxChar; }
  void SetReadOnly(bool bReadOnly);
  bool IsReadOnly() const { return m_bReadOnly; }
  void SetPasswordMode(bool bPasswordMode);
  bool IsPasswordMode() const { return m_bPasswordMode; }
  void SetPasswordChar(WCHAR cPasswordChar);
  WCHAR GetPasswordChar() const { return m_cPasswordChar; }
  // Typed characters other than '0'-'9' are refused; SetText is not affected.
  void SetNumberOnly(bool bNumberOnly) { m_bNumberOnly = bNumberOnly; }
  bool IsNumberOnly() const { return m_bNumberOnly; }
  // The background while focused (0: the normal one).
  void SetNativeEditBkColor(DWORD dwBkColor);
  DWORD GetNativeEditBkColor() const { return m_dwNativeBkColor; }
  void SetSelectionColor(DWORD dwColor);

  // nStart is the anchor and nEnd the caret; nEnd -1 means the end of the text, nStart -1 drops
  // the selection and leaves the caret where it is. Positions are kept within the text.
  void SetSel(int nStart, int nEnd);
  void SetSelAll() { SetSel(0, -1); }
  // The selection in order (both the caret's position when nothing is selected).
  void GetSel(int& nStart, int& nEnd) const;
  int GetCaretIndex() const { return m_iCaret; }
  bool IsCaretOn() const { return m_bCaretOn; }  // the blinking caret's current phase

  void SetEnabled(bool bEnable = true) override;
  void SetPos(RECT rc, bool bNeedInvalidate = true) override;
  void DoEvent(TEventUI& event) override;
  void SetAttribute(LPCWSTR pstrName, LPCWSTR pstrValue) override;
  void PaintBkColor(HDC hDC) override;
  void PaintText(HDC hDC) override;

 private:
  CDuiString DisplayText() const;
  // Width in pixels of the first nChars characters as shown, in the edit's font.
  int TextWidth(int nChars) const;
  // The character boundary nearest to client x.
  int HitTest(int x) const;
  RECT TextRect() const;
  int PrevPos(int i) const;
  int NextPos(int i) const;
  bool HasSelection() const { return m_iAnchor != m_iCaret; }
  void MoveCaret(int iPos, bool bExtend);
  // Replaces the selection with the text typed; false (nothing changes) when it does not fit.
  bool ReplaceSelection(const CDuiString& sText);
  void TypeChar(WCHAR ch);
  bool HandleKey(const TEventUI& event);
  RECT LineRect(const RECT& rcText) const;
  int Snap(int i) const;
  bool DeleteRange(int iFrom, int iTo);
  void TextChanged();
  void ScrollToCaret();
  void RestartCaretBlink();
  bool CopySelection();
  void Paste(UINT uFormat);

  UINT m_uMaxChar = 255;
  bool m_bReadOnly = false;
  bool m_bPasswordMode = false;
  bool m_bNumberOnly = false;
  WCHAR m_cPasswordChar = u'*';
  DWORD m_dwNativeBkColor = 0;
  DWORD m_dwSelColor = 0xFF3399FF;
  int m_iCaret = 0;
  int m_iAnchor = 0;
  int m_iScrollX = 0;  // pixels of the text scrolled out at the left
  bool m_bCaretOn = false;
  bool m_bDragging = false;
  WCHAR m_chPendingHigh = 0;  // the first half of a character typed as a surrogate pair
  bool m_bAskingColors = false;
};
