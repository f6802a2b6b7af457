// Pages: every item fills the whole area and only the selected one is visible.
#pragma once

#include "dui/ContainerUI.h"

class CTabLayoutUI : public CContainerUI {
 public:
  LPCWSTR GetClass() const override { return u"TabLayoutUI"; }
  LPVOID GetInterface(LPCWSTR pstrName) override;

  bool Add(CControlUI* pControl) override;
  bool AddAt(CControlUI* pControl, int iIndex) override;
  bool Remove(CControlUI* pControl) override;
  void RemoveAll() override;
  int GetCurSel() const { return m_iCurSel; }
  // Shows page iIndex; false for an index out of range. Notifies "tabselect" on a change.
  bool SelectItem(int iIndex);
  bool SelectItem(CControlUI* pControl);

  void SetPos(RECT rc, bool bNeedInvalidate = true) override;
  void SetAttribute(LPCWSTR pstrName, LPCWSTR pstrValue) override;

 private:
  int m_iCurSel = -1;
};
