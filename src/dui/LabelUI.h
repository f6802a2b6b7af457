// Text on one line (or wrapped), with its font, colours, alignment and padding.
#pragma once

#include "dui/ControlUI.h"

class CLabelUI : public CControlUI {
 public:
  LPCWSTR GetClass() const override { return u"LabelUI"; }
  LPVOID GetInterface(LPCWSTR pstrName) override;

  void SetText(LPCWSTR pstrText) override;
  UINT GetTextStyle() const { return m_uTextStyle; }
  void SetTextStyle(UINT uStyle);
  DWORD GetTextColor() const { return m_dwTextColor; }
  void SetTextColor(DWORD dwTextColor);
  DWORD GetDisabledTextColor() const { return m_dwDisabledTextColor; }
  void SetDisabledTextColor(DWORD dwTextColor);
  int GetFont() const { return m_iFont; }
  void SetFont(int index);  // an index into the manager's fonts; -1 for the default font
  RECT GetTextPadding() const { return m_rcTextPadding; }
  void SetTextPadding(RECT rc);
  bool IsShowHtml() const { return m_bShowHtml; }
  void SetShowHtml(bool bShowHtml = true);
  bool IsAutoCalcWidth() const { return m_bAutoCalcWidth; }
  void SetAutoCalcWidth(bool bAutoCalcWidth);

  SIZE EstimateSize(SIZE szAvailable) override;
  void SetAttribute(LPCWSTR pstrName, LPCWSTR pstrValue) override;
  void PaintText(HDC hDC) override;

 protected:
  // Draws the text in the rectangle less the text padding, in the given colour.
  void DrawLabelText(HDC hDC, DWORD dwColor);

  DWORD m_dwTextColor = 0;
  DWORD m_dwDisabledTextColor = 0;
  int m_iFont = -1;
  UINT m_uTextStyle = DT_VCENTER | DT_SINGLELINE;
  RECT m_rcTextPadding{0, 0, 0, 0};
  bool m_bShowHtml = false;
  bool m_bAutoCalcWidth = false;
};
