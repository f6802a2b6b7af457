// A control holding other controls. The base container stacks its items over its whole rectangle
// less the inset; the layouts arrange them.
#pragma once

#include "dui/ControlUI.h"
#include "dui/StdPtrArray.h"

class CScrollBarUI;

class IContainerUI {
 public:
  virtual ~IContainerUI() = default;
  virtual CControlUI* GetItemAt(int iIndex) const = 0;
  virtual int GetItemIndex(CControlUI* pControl) const = 0;
  virtual bool SetItemIndex(CControlUI* pControl, int iIndex) = 0;
  virtual int GetCount() const = 0;
  virtual bool Add(CControlUI* pControl) = 0;
  virtual bool AddAt(CControlUI* pControl, int iIndex) = 0;
  virtual bool Remove(CControlUI* pControl) = 0;
  virtual bool RemoveAt(int iIndex) = 0;
  virtual void RemoveAll() = 0;
};

class CContainerUI : public CControlUI, public IContainerUI {
 public:
  CContainerUI();
  ~CContainerUI() override;

  LPCWSTR GetClass() const override { return u"ContainerUI"; }
  // "IContainer" gives the IContainerUI part, "Container" the container.
  LPVOID GetInterface(LPCWSTR pstrName) override;

  CControlUI* GetItemAt(int iIndex) const override;
  int GetItemIndex(CControlUI* pControl) const override;
  bool SetItemIndex(CControlUI* pControl, int iIndex) override;
  int GetCount() const override;
  bool Add(CControlUI* pControl) override;
  bool AddAt(CControlUI* pControl, int iIndex) override;
  // Removing destroys the item when the container destroys its items (the default).
  bool Remove(CControlUI* pControl) override;
  bool RemoveAt(int iIndex) override;
  void RemoveAll() override;

  void SetVisible(bool bVisible = true) override;
  void SetInternVisible(bool bVisible = true) override;
  void SetMouseEnabled(bool bEnable = true) override;

  RECT GetInset() const { return m_rcInset; }
  void SetInset(RECT rcInset);
  int GetChildPadding() const { return m_iChildPadding; }
  void SetChildPadding(int iPadding);
  bool IsAutoDestroy() const { return m_bAutoDestroy; }
  void SetAutoDestroy(bool bAuto) { m_bAutoDestroy = bAuto; }
  bool IsMouseChildEnabled() const { return m_bMouseChildEnabled; }
  void SetMouseChildEnabled(bool bEnable = true) { m_bMouseChildEnabled = bEnable; }

  // Items between iStart and iEnd that can take the focus, searching in the given direction.
  virtual int FindSelectable(int iIndex, bool bForward = true) const;

  void SetPos(RECT rc, bool bNeedInvalidate = true) override;
  void DoEvent(TEventUI& event) override;
  void DoPaint(HDC hDC, const RECT& rcPaint) override;
  void SetAttribute(LPCWSTR pstrName, LPCWSTR pstrValue) override;
  void SetManager(CPaintManagerUI* pManager, CControlUI* pParent, bool bInit = true) override;
  CControlUI* FindControl(FINDCONTROLPROC Proc, LPVOID pData, UINT uFlags) override;

  // Vertical scrolling: the bar exists once enabled ("vscrollbar" attribute).
  void EnableScrollBar(bool bEnableVertical = true);
  CScrollBarUI* GetVerticalScrollBar() const { return m_pVerticalScrollBar; }
  SIZE GetScrollPos() const;
  SIZE GetScrollRange() const;
  void SetScrollPos(SIZE szPos);
  virtual void LineUp();
  virtual void LineDown();

 protected:
  // Places a float item at its fixed position relative to this container.
  void SetFloatPos(int iIndex);
  // Shows the scroll bar when the items need cyRequired pixels in a client area cyAvailable high.
  void ProcessScrollBar(RECT rc, int cyRequired);
  // The rectangle the items share: the control's less the inset and a visible scroll bar.
  RECT ItemArea(RECT rc) const;
  // Lays the items out one after the other along an axis, in the item area (the vertical and
  // horizontal layouts; Layouts.cpp).
  void ArrangeAlong(bool bVertical);

  CStdPtrArray m_items;
  RECT m_rcInset{0, 0, 0, 0};
  int m_iChildPadding = 0;
  bool m_bAutoDestroy = true;
  bool m_bMouseChildEnabled = true;
  CScrollBarUI* m_pVerticalScrollBar = nullptr;
};
