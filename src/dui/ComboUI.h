// A combo box: a button-like control showing the chosen item's text, whose list items drop down
// in a pop-up window below it. The items belong to the combo; while the drop-down is open they
// are lent to the pop-up's paint manager and come back when it closes.
#pragma once

#include "dui/ListUI.h"

class CComboWnd;

class CComboUI : public CContainerUI, public IListOwnerUI {
  friend class CComboWnd;

 public:
  CComboUI();
  ~CComboUI() override;

  LPCWSTR GetClass() const override { return u"ComboUI"; }
  // "Combo" gives the combo, "IListOwner" its IListOwnerUI part.
  LPVOID GetInterface(LPCWSTR pstrName) override;
  UINT GetControlFlags() const override;

  // The chosen item's text, or empty. The combo has no text of its own.
  CDuiString GetText() const override;
  void SetText(LPCWSTR pstrText) override;

  // Items are any controls answering "ListItem"; they get this combo as owner and their index.
  bool Add(CControlUI* pControl) override;
  bool AddAt(CControlUI* pControl, int iIndex) override;
  bool Remove(CControlUI* pControl) override;
  bool RemoveAt(int iIndex) override;
  void RemoveAll() override;
  bool SetItemIndex(CControlUI* pControl, int iIndex) override;

  TListInfoUI* GetListInfo() override { return &m_ListInfo; }
  int GetCurSel() const override { return m_iCurSel; }
  // Selects the item (deselecting the previous one) and sends "itemselect" with wParam = the new
  // index and lParam = the old one. -1 clears the selection without a notification; so does an
  // index that is already selected. False for an index that holds no list item.
  bool SelectItem(int iIndex, bool bTakeFocus = false) override;

  // Opens the drop-down (sends "dropdown"). True when it is open.
  bool Activate() override;
  bool IsDropDownOpen() const { return m_pWindow != nullptr; }
  // The pop-up window while the drop-down is open, else null.
  HWND GetDropDownWindow() const;

  CDuiString GetDropBoxAttributeList() const { return m_sDropBoxAttributes; }
  void SetDropBoxAttributeList(LPCWSTR pstrList) { m_sDropBoxAttributes = pstrList; }
  // The drop-down's width (0: the combo's) and the height its rows may take before they scroll
  // (0: 150); the drop-down's frame comes on top of that height.
  SIZE GetDropBoxSize() const { return m_szDropBox; }
  void SetDropBoxSize(SIZE szDropBox) { m_szDropBox = szDropBox; }
  RECT GetTextPadding() const { return m_rcTextPadding; }
  void SetTextPadding(RECT rc);
  UINT GetButtonState() const { return m_uButtonState; }
  void SetNormalImage(LPCWSTR pStrImage);
  void SetHotImage(LPCWSTR pStrImage);
  void SetPushedImage(LPCWSTR pStrImage);
  void SetFocusedImage(LPCWSTR pStrImage);
  void SetDisabledImage(LPCWSTR pStrImage);

  void SetItemFont(int index);
  void SetItemTextStyle(UINT uStyle);
  void SetItemTextPadding(RECT rc);
  void SetItemTextColor(DWORD dwTextColor);
  void SetItemBkColor(DWORD dwBkColor);
  void SetItemSelectedTextColor(DWORD dwTextColor);
  void SetItemSelectedBkColor(DWORD dwBkColor);
  void SetItemHotTextColor(DWORD dwTextColor);
  void SetItemHotBkColor(DWORD dwBkColor);
  void SetItemDisabledTextColor(DWORD dwTextColor);
  void SetItemLineColor(DWORD dwLineColor);
  void SetItemShowHtml(bool bShowHtml = true);

  void SetEnabled(bool bEnable = true) override;
  void SetVisible(bool bVisible = true) override;
  void SetInternVisible(bool bVisible = true) override;
  void SetManager(CPaintManagerUI* pManager, CControlUI* pParent, bool bInit = true) override;
  // Only the combo itself is laid out, painted and hit: its items live in the drop-down.
  void SetPos(RECT rc, bool bNeedInvalidate = true) override;
  SIZE EstimateSize(SIZE szAvailable) override;
  void DoPaint(HDC hDC, const RECT& rcPaint) override;
  // Hit tests and searches for visible controls see the combo alone; others (names) see all.
  CControlUI* FindControl(FINDCONTROLPROC Proc, LPVOID pData, UINT uFlags) override;
  void DoEvent(TEventUI& event) override;
  void SetAttribute(LPCWSTR pstrName, LPCWSTR pstrValue) override;
  void PaintStatusImage(HDC hDC) override;
  void PaintText(HDC hDC) override;

 private:
  IListItemUI* ListItemAt(int iIndex) const;
  void RenumberFrom(int iIndex);
  // The next (or previous) item that can be selected from the current one; -1 when none.
  int NextSelectable(bool bForward) const;
  void CloseDropDown();

  int m_iCurSel = -1;
  TListInfoUI m_ListInfo;
  CComboWnd* m_pWindow = nullptr;
  CDuiString m_sDropBoxAttributes;
  SIZE m_szDropBox{0, 0};
  RECT m_rcTextPadding{0, 0, 0, 0};
  UINT m_uButtonState = 0;
  // Set when a press on the combo closed the drop-down, so that its release does not reopen it.
  bool m_bSuppressOpen = false;
  CDuiString m_sNormalImage;
  CDuiString m_sHotImage;
  CDuiString m_sPushedImage;
  CDuiString m_sFocusedImage;
  CDuiString m_sDisabledImage;
};
