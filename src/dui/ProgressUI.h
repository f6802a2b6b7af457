// A progress bar: the fore image or colour covers the part of the bar that the value fills.
#pragma once

#include "dui/LabelUI.h"

class CProgressUI : public CLabelUI {
 public:
  LPCWSTR GetClass() const override { return u"ProgressUI"; }
  LPVOID GetInterface(LPCWSTR pstrName) override;

  bool IsHorizontal() const { return m_bHorizontal; }
  void SetHorizontal(bool bHorizontal = true);
  int GetMinValue() const { return m_nMin; }
  void SetMinValue(int nMin);
  int GetMaxValue() const { return m_nMax; }
  void SetMaxValue(int nMax);
  int GetValue() const { return m_nValue; }
  void SetValue(int nValue);  // kept within min and max
  void SetForeImage(LPCWSTR pStrImage);
  void SetForeColor(DWORD dwColor);

  void SetAttribute(LPCWSTR pstrName, LPCWSTR pstrValue) override;
  void PaintStatusImage(HDC hDC) override;

 protected:
  bool m_bHorizontal = true;
  int m_nMin = 0;
  int m_nMax = 100;
  int m_nValue = 0;
  DWORD m_dwForeColor = 0;
  CDuiString m_sForeImage;
};
