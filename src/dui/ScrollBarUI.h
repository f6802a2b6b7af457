// A vertical scroll bar owned by a container: range, position, line steps and a draggable thumb.
#pragma once

#include "dui/ControlUI.h"

class CContainerUI;

class CScrollBarUI : public CControlUI {
 public:
  CScrollBarUI();
  LPCWSTR GetClass() const override { return u"ScrollBarUI"; }
  LPVOID GetInterface(LPCWSTR pstrName) override;

  CContainerUI* GetOwner() const { return m_pOwner; }
  void SetOwner(CContainerUI* pOwner) { m_pOwner = pOwner; }
  int GetScrollRange() const { return m_nRange; }
  void SetScrollRange(int nRange);  // negative reads as 0; the position is kept within it
  int GetScrollPos() const { return m_nScrollPos; }
  // Only the bar's value: dragging and the arrows move the owner through CContainerUI::SetScrollPos.
  void SetScrollPos(int nPos);
  int GetLineSize() const { return m_nLineSize; }
  void SetLineSize(int nSize) { m_nLineSize = nSize > 0 ? nSize : 1; }
  // The thumb's rectangle for the current range and position (empty when nothing scrolls).
  RECT GetThumbRect() const;

  void SetPos(RECT rc, bool bNeedInvalidate = true) override;
  void DoEvent(TEventUI& event) override;
  void SetAttribute(LPCWSTR pstrName, LPCWSTR pstrValue) override;
  void PaintStatusImage(HDC hDC) override;

 private:
  CContainerUI* m_pOwner = nullptr;
  int m_nRange = 0;
  int m_nScrollPos = 0;
  int m_nLineSize = 8;
  DWORD m_dwThumbColor = 0xFFC0C0C0;
  CDuiString m_sThumbImage;
  bool m_bDragging = false;
  int m_nDragStartY = 0;
  int m_nDragStartPos = 0;
};
