// A button with a selected state; options of one group select one another out.
#pragma once

#include "dui/ButtonUI.h"

class COptionUI : public CButtonUI {
 public:
  ~COptionUI() override;
  LPCWSTR GetClass() const override { return u"OptionUI"; }
  LPVOID GetInterface(LPCWSTR pstrName) override;
  void SetManager(CPaintManagerUI* pManager, CControlUI* pParent, bool bInit = true) override;

  // Toggles (or, in a group, selects) and then sends "click".
  bool Activate() override;
  void SetEnabled(bool bEnable = true) override;

  LPCWSTR GetGroup() const { return m_sGroupName; }
  void SetGroup(LPCWSTR pStrGroupName);
  bool IsSelected() const { return m_bSelected; }
  // Sends "selectchanged" when the state changes.
  virtual void Selected(bool bSelected);

  void SetSelectedImage(LPCWSTR pStrImage) { m_sSelectedImage = pStrImage, Invalidate(); }
  void SetSelectedTextColor(DWORD dwTextColor) { m_dwSelectedTextColor = dwTextColor; }
  void SetAttribute(LPCWSTR pstrName, LPCWSTR pstrValue) override;
  void PaintStatusImage(HDC hDC) override;
  void PaintText(HDC hDC) override;

 protected:
  bool m_bSelected = false;
  CDuiString m_sGroupName;
  DWORD m_dwSelectedTextColor = 0;
  DWORD m_dwSelectedBkColor = 0;
  CDuiString m_sSelectedImage;
  CDuiString m_sSelectedHotImage;
  CDuiString m_sForeImage;
};
