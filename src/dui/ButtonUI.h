// A label that can be pressed: state images and colours, "click" when released over it.
#pragma once

#include "dui/LabelUI.h"

class CButtonUI : public CLabelUI {
 public:
  CButtonUI();
  LPCWSTR GetClass() const override { return u"ButtonUI"; }
  LPVOID GetInterface(LPCWSTR pstrName) override;
  UINT GetControlFlags() const override;

  // Sends "click" when the button may act.
  bool Activate() override;
  void SetEnabled(bool bEnable = true) override;
  void DoEvent(TEventUI& event) override;

  UINT GetButtonState() const { return m_uButtonState; }
  void SetNormalImage(LPCWSTR pStrImage);
  void SetHotImage(LPCWSTR pStrImage);
  void SetPushedImage(LPCWSTR pStrImage);
  void SetFocusedImage(LPCWSTR pStrImage);
  void SetDisabledImage(LPCWSTR pStrImage);
  void SetHotTextColor(DWORD dwColor) { m_dwHotTextColor = dwColor; }
  void SetPushedTextColor(DWORD dwColor) { m_dwPushedTextColor = dwColor; }
  void SetFocusedTextColor(DWORD dwColor) { m_dwFocusedTextColor = dwColor; }
  void SetHotBkColor(DWORD dwColor) { m_dwHotBkColor = dwColor; }

  void SetAttribute(LPCWSTR pstrName, LPCWSTR pstrValue) override;
  void PaintText(HDC hDC) override;
  void PaintStatusImage(HDC hDC) override;

 protected:
  UINT m_uButtonState = 0;
  DWORD m_dwHotTextColor = 0;
  DWORD m_dwPushedTextColor = 0;
  DWORD m_dwFocusedTextColor = 0;
  DWORD m_dwHotBkColor = 0;
  CDuiString m_sNormalImage;
  CDuiString m_sHotImage;
  CDuiString m_sPushedImage;
  CDuiString m_sFocusedImage;
  CDuiString m_sDisabledImage;
};
