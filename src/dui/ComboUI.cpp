#include "dui/ComboUI.h"

#include <algorithm>
#include <vector>

#include "dui/PaintManagerUI.h"
#include "dui/RenderEngine.h"
#include "dui/VerticalLayoutUI.h"
#include "dui/WindowWnd.h"

namespace {

constexpr int kDefaultDropHeight = 150;

CControlUI* CALLBACK CollectControl(CControlUI* pThis, LPVOID pData) {
  static_cast<std::vector<CControlUI*>*>(pData)->push_back(pThis);
  return nullptr;
}

bool IsMouseEvent(int type) { return type > UIEVENT__MOUSEBEGIN && type < UIEVENT__MOUSEEND; }

}  // namespace

// The drop-down: a pop-up with its own paint manager whose root shows the combo's items. It
// deletes itself once its window is gone.
class CComboWnd : public CWindowWnd, public INotifyUI {
 public:
  // Creates and shows the pop-up below (or above) the combo; null when it cannot be created.
  static CComboWnd* Open(CComboUI* pOwner);
  // The combo takes its items back (it changes manager or goes away): they are returned now and
  // the window closes, at once unless it is inside one of its own messages.
  void Detach();
  // The user chose an item: the drop-down closes once the click is over.
  void NoteChoice() { m_bChosen = true; }
  void ItemAdded(CControlUI* pControl, int iIndex);
  void ItemRemoved(CControlUI* pControl);
  void ItemMoved(CControlUI* pControl, int iIndex);

 protected:
  LPCWSTR GetWindowClassName() const override { return u"ComboWnd"; }
  UINT GetClassStyle() const override { return CS_DBLCLKS; }
  LRESULT HandleMessage(UINT uMsg, WPARAM wParam, LPARAM lParam) override;
  void OnFinalMessage(HWND hWnd) override;
  void Notify(TNotifyUI& msg) override;

 private:
  CComboWnd() = default;
  ~CComboWnd() override = default;
  LRESULT Dispatch(UINT uMsg, WPARAM wParam, LPARAM lParam);
  void Build();
  // Height the visible items need in the root, inset (the frame) included; 0 when none is visible.
  int ItemsHeight(int cx) const;
  // Size and place the window for the items; false when no item is visible.
  bool Place();
  void PostClose();
  void ReturnItems();
  // Lets the pop-up's manager forget every control of the tree (focus, hover, timers, names).
  void Forget(CControlUI* pControl);
  void EnsureSelectedVisible();

  CComboUI* m_pOwner = nullptr;
  CPaintManagerUI m_pm;
  CVerticalLayoutUI* m_pLayout = nullptr;
  bool m_bChosen = false;
  bool m_bClosePosted = false;
  bool m_bAutoDelete = false;
  bool m_bFinal = false;
  int m_nDepth = 0;  // HandleMessage calls in progress: the object is deleted only outside them
};

CComboWnd* CComboWnd::Open(CComboUI* pOwner) {
  HWND hwndOwner = pOwner->GetManager() ? pOwner->GetManager()->GetPaintWindow() : nullptr;
  if (!hwndOwner) return nullptr;
  auto* wnd = new CComboWnd;
  wnd->m_pOwner = pOwner;
  if (!wnd->Create(hwndOwner, nullptr, WS_POPUP, WS_EX_TOOLWINDOW | WS_EX_TOPMOST, 0, 0, 0, 0)) {
    delete wnd;  // it never deletes itself before m_bAutoDelete is set
    return nullptr;
  }
  wnd->m_bAutoDelete = true;
  pOwner->m_pWindow = wnd;
  wnd->Build();
  if (!wnd->Place()) {
    wnd->Detach();
    return nullptr;
  }
  ::GetAsyncKeyState(VK_LBUTTON);  // forgets earlier presses: see WM_KILLFOCUS
  wnd->ShowWindow(true, true);
  if (::GetFocus() != wnd->GetHWND()) ::SetFocus(wnd->GetHWND());
  return wnd;
}

void CComboWnd::Build() {
  m_pm.UseParentResource(m_pOwner->GetManager());
  m_pLayout = new CVerticalLayoutUI;
  m_pLayout->SetBkColor(0xFFFFFFFF);
  m_pLayout->SetBorderColor(0xFF8C8C8C);
  m_pLayout->SetBorderSize(1);
  m_pLayout->SetInset(RECT{1, 1, 1, 1});
  m_pm.AttachDialog(m_pLayout);
  m_pLayout->ApplyAttributeList(m_pOwner->m_sDropBoxAttributes);
  // The items stay the combo's: the root must never destroy them, whatever the list said.
  m_pLayout->SetAutoDestroy(false);
  for (int i = 0; i < m_pOwner->GetCount(); ++i) m_pLayout->Add(m_pOwner->GetItemAt(i));
  m_pm.AddNotifier(this);
}

int CComboWnd::ItemsHeight(int cx) const {
  RECT inset = m_pLayout->GetInset();
  int total = 0, shown = 0;
  for (int i = 0; i < m_pLayout->GetCount(); ++i) {
    CControlUI* item = m_pLayout->GetItemAt(i);
    if (!item->IsVisible() || item->IsFloat()) continue;
    SIZE sz = item->EstimateSize(SIZE{cx, 0});
    int cy = std::clamp(static_cast<int>(sz.cy), item->GetMinHeight(), item->GetMaxHeight());
    RECT pad = item->GetPadding();
    total += cy + pad.top + pad.bottom;
    ++shown;
  }
  if (shown == 0) return 0;
  return total + (shown - 1) * m_pLayout->GetChildPadding() + inset.top + inset.bottom;
}

bool CComboWnd::Place() {
  CPaintManagerUI* pmOwner = m_pOwner->GetManager();
  RECT rc = m_pOwner->GetPos();
  POINT topLeft{rc.left, rc.top}, bottomRight{rc.right, rc.bottom};
  ::ClientToScreen(pmOwner->GetPaintWindow(), &topLeft);
  ::ClientToScreen(pmOwner->GetPaintWindow(), &bottomRight);
  SIZE box = m_pOwner->m_szDropBox;
  int cx = box.cx > 0 ? static_cast<int>(box.cx) : static_cast<int>(bottomRight.x - topLeft.x);
  int needed = ItemsHeight(cx);
  if (needed <= 0 || cx <= 0) return false;
  // The box height is room for the rows; the drop-down's frame comes on top, so that a box made
  // for five rows shows five rows whole.
  RECT inset = m_pLayout->GetInset();
  int rows = box.cy > 0 ? static_cast<int>(box.cy) : kDefaultDropHeight;
  int cy = std::min(needed, rows + static_cast<int>(inset.top + inset.bottom));
  RECT work{0, 0, 0, 0};
  ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
  int below = work.bottom - bottomRight.y, above = topLeft.y - work.top;
  int y;
  if (cy <= below) {
    y = bottomRight.y;
  } else if (cy <= above) {
    y = topLeft.y - cy;
  } else if (below >= above) {  // fits on neither side: the larger one, scrolled
    cy = std::max(below, 1);
    y = bottomRight.y;
  } else {
    cy = above;
    y = topLeft.y - cy;
  }
  int x = topLeft.x;
  if (x + cx > work.right) x = work.right - cx;
  if (x < work.left) x = work.left;
  if (needed > cy) m_pLayout->EnableScrollBar(true);
  RECT now{0, 0, 0, 0};
  ::GetWindowRect(m_hWnd, &now);
  if (now.left != x || now.top != y || now.right - now.left != cx || now.bottom - now.top != cy)
    ::SetWindowPos(m_hWnd, nullptr, x, y, cx, cy, SWP_NOZORDER | SWP_NOACTIVATE);
  return true;
}

void CComboWnd::PostClose() {
  if (m_bClosePosted || !m_hWnd) return;
  m_bClosePosted = true;
  PostMessage(WM_CLOSE);
}

void CComboWnd::Forget(CControlUI* pControl) {
  std::vector<CControlUI*> tree;
  pControl->FindControl(CollectControl, &tree, UIFIND_ALL);
  for (CControlUI* control : tree) m_pm.ReapObjects(control);
}

void CComboWnd::ReturnItems() {
  CComboUI* owner = m_pOwner;
  if (!owner) return;
  m_pOwner = nullptr;
  owner->m_pWindow = nullptr;
  for (int i = 0; i < owner->GetCount(); ++i) Forget(owner->GetItemAt(i));
  if (m_pLayout) m_pLayout->RemoveAll();
  for (int i = 0; i < owner->GetCount(); ++i) {
    CControlUI* item = owner->GetItemAt(i);
    item->SetManager(owner->GetManager(), owner, true);
    item->SetInternVisible(owner->IsVisible());
  }
  owner->m_uButtonState &= ~(UISTATE_PUSHED | UISTATE_CAPTURED);
  owner->Invalidate();
}

void CComboWnd::Detach() {
  ReturnItems();
  if (m_nDepth == 0 && m_hWnd)
    ::DestroyWindow(m_hWnd);  // deletes this
  else
    PostClose();
}

void CComboWnd::ItemAdded(CControlUI* pControl, int iIndex) {
  m_pLayout->AddAt(pControl, iIndex);
  Place();
}

void CComboWnd::ItemRemoved(CControlUI* pControl) {
  Forget(pControl);
  m_pLayout->Remove(pControl);
  pControl->SetManager(m_pOwner ? m_pOwner->GetManager() : nullptr, nullptr, false);
}

void CComboWnd::ItemMoved(CControlUI* pControl, int iIndex) { m_pLayout->SetItemIndex(pControl, iIndex); }

void CComboWnd::EnsureSelectedVisible() {
  if (!m_pOwner) return;
  CControlUI* item = m_pOwner->GetItemAt(m_pOwner->GetCurSel());
  if (!item) return;
  RECT area = m_pLayout->GetPos();
  RECT inset = m_pLayout->GetInset();
  area.top += inset.top;
  area.bottom -= inset.bottom;
  RECT rc = item->GetPos();
  SIZE pos = m_pLayout->GetScrollPos();
  if (rc.top < area.top)
    pos.cy -= area.top - rc.top;
  else if (rc.bottom > area.bottom)
    pos.cy += rc.bottom - area.bottom;
  else
    return;
  m_pLayout->SetScrollPos(pos);
}

void CComboWnd::Notify(TNotifyUI& msg) {
  // The owner window listens on the combo's manager: what the items say goes there. The root's
  // own notifications ("windowinit") are the pop-up's business.
  if (!m_pOwner || msg.pSender == m_pLayout) return;
  if (CPaintManagerUI* pm = m_pOwner->GetManager()) pm->SendNotify(msg);
  // The listener may have hidden or shown items: fit the window to them, or close when none is left.
  if (m_pOwner && m_hWnd && !m_bClosePosted && !Place()) PostClose();
}

LRESULT CComboWnd::HandleMessage(UINT uMsg, WPARAM wParam, LPARAM lParam) {
  ++m_nDepth;
  LRESULT lRes = Dispatch(uMsg, wParam, lParam);
  if (--m_nDepth == 0 && m_bFinal && m_bAutoDelete) delete this;
  return lRes;
}

void CComboWnd::OnFinalMessage(HWND hWnd) {
  (void)hWnd;
  m_bFinal = true;
  if (m_nDepth == 0 && m_bAutoDelete) delete this;
}

LRESULT CComboWnd::Dispatch(UINT uMsg, WPARAM wParam, LPARAM lParam) {
  switch (uMsg) {
    case WM_CREATE:
      m_pm.Init(m_hWnd);
      return 0;
    case WM_KEYDOWN:
      switch (wParam) {
        case VK_ESCAPE:
        case VK_RETURN:
        case VK_F4:
          PostClose();
          return 0;
        case VK_UP:
        case VK_DOWN:
          if (m_pOwner) {
            int next = m_pOwner->NextSelectable(wParam == VK_DOWN);
            if (next >= 0) m_pOwner->SelectItem(next);
            EnsureSelectedVisible();
          }
          return 0;
        default:
          break;
      }
      break;
    case WM_SYSKEYDOWN:
      if (wParam == VK_UP || wParam == VK_DOWN) {
        PostClose();
        return 0;
      }
      break;
    case WM_KILLFOCUS:
      if (reinterpret_cast<HWND>(wParam) != m_hWnd) {
        // A press on the combo itself closes the drop-down; its release must not reopen it. The
        // press may be over already: "pressed since the last call" counts (that bit was cleared
        // when the drop-down opened).
        if (m_pOwner && (::GetAsyncKeyState(VK_LBUTTON) & 0x8001) && m_pOwner->GetManager()) {
          POINT pt;
          ::GetCursorPos(&pt);
          ::ScreenToClient(m_pOwner->GetManager()->GetPaintWindow(), &pt);
          if (::PtInRect(&m_pOwner->GetPos(), pt)) m_pOwner->m_bSuppressOpen = true;
        }
        PostClose();
      }
      break;
    case WM_LBUTTONUP: {
      LRESULT lRes = 0;
      m_pm.MessageHandler(uMsg, wParam, lParam, lRes);
      if (m_bChosen) PostClose();
      return 0;
    }
    case WM_CLOSE: {
      LRESULT lRes = 0;
      m_pm.MessageHandler(uMsg, wParam, lParam, lRes);  // focus and hover leave the items first
      ReturnItems();
      ::DestroyWindow(m_hWnd);
      return 0;
    }
    case WM_DESTROY:
      ReturnItems();
      break;
    default:
      break;
  }
  LRESULT lRes = 0;
  if (m_pm.MessageHandler(uMsg, wParam, lParam, lRes)) return lRes;
  return CWindowWnd::HandleMessage(uMsg, wParam, lParam);
}

// ---- CComboUI ----

CComboUI::CComboUI() {
  m_ListInfo.dwSelectedBkColor = 0xFFC1E3FF;
  m_ListInfo.dwHotBkColor = 0xFFE9F5FF;
}

CComboUI::~CComboUI() { CloseDropDown(); }

LPVOID CComboUI::GetInterface(LPCWSTR pstrName) {
  CDuiString name(pstrName);
  if (name == u"Combo") return static_cast<CComboUI*>(this);
  if (name == u"IListOwner") return static_cast<IListOwnerUI*>(this);
  return CContainerUI::GetInterface(pstrName);
}

UINT CComboUI::GetControlFlags() const { return IsKeyboardEnabled() ? UIFLAG_TABSTOP : 0; }

CDuiString CComboUI::GetText() const {
  CControlUI* item = GetItemAt(m_iCurSel);
  return item ? item->GetText() : CDuiString();
}

void CComboUI::SetText(LPCWSTR pstrText) {
  // The combo shows its chosen item's text and keeps none of its own.
  (void)pstrText;
}

IListItemUI* CComboUI::ListItemAt(int iIndex) const {
  CControlUI* control = GetItemAt(iIndex);
  return control ? static_cast<IListItemUI*>(control->GetInterface(u"ListItem")) : nullptr;
}

void CComboUI::RenumberFrom(int iIndex) {
  for (int i = std::max(iIndex, 0); i < GetCount(); ++i) {
    if (IListItemUI* item = ListItemAt(i)) item->SetIndex(i);
  }
}

int CComboUI::NextSelectable(bool bForward) const {
  if (m_iCurSel < 0) return FindSelectable(0, true);
  int next = FindSelectable(m_iCurSel + (bForward ? 1 : -1), bForward);
  return next >= 0 ? next : m_iCurSel;
}

bool CComboUI::Add(CControlUI* pControl) { return AddAt(pControl, GetCount()); }

bool CComboUI::AddAt(CControlUI* pControl, int iIndex) {
  if (!CContainerUI::AddAt(pControl, iIndex)) return false;
  if (IListItemUI* item = static_cast<IListItemUI*>(pControl->GetInterface(u"ListItem"))) item->SetOwner(this);
  if (m_iCurSel >= iIndex) ++m_iCurSel;
  RenumberFrom(iIndex);
  if (m_pWindow) m_pWindow->ItemAdded(pControl, iIndex);
  return true;
}

bool CComboUI::Remove(CControlUI* pControl) { return RemoveAt(GetItemIndex(pControl)); }

bool CComboUI::RemoveAt(int iIndex) {
  CControlUI* control = GetItemAt(iIndex);
  if (!control) return false;
  if (m_pWindow) m_pWindow->ItemRemoved(control);
  IListItemUI* item = ListItemAt(iIndex);
  if (iIndex == m_iCurSel) {
    if (item) item->Select(false);
    m_iCurSel = -1;
    Invalidate();
  } else if (iIndex < m_iCurSel) {
    --m_iCurSel;
  }
  if (item) {
    item->SetOwner(nullptr);
    item->SetIndex(-1);
  }
  CContainerUI::RemoveAt(iIndex);  // may delete the control
  RenumberFrom(iIndex);
  return true;
}

void CComboUI::RemoveAll() {
  while (GetCount() > 0) RemoveAt(GetCount() - 1);
  m_iCurSel = -1;
  NeedUpdate();
}

bool CComboUI::SetItemIndex(CControlUI* pControl, int iIndex) {
  CControlUI* selected = GetItemAt(m_iCurSel);
  if (!CContainerUI::SetItemIndex(pControl, iIndex)) return false;
  if (m_pWindow) m_pWindow->ItemMoved(pControl, iIndex);
  RenumberFrom(0);
  m_iCurSel = selected ? GetItemIndex(selected) : -1;
  return true;
}

bool CComboUI::SelectItem(int iIndex, bool bTakeFocus) {
  if (iIndex < 0) iIndex = -1;
  IListItemUI* item = ListItemAt(iIndex);
  if (iIndex >= 0 && !item) return false;
  if (bTakeFocus && item && m_pWindow) m_pWindow->NoteChoice();
  if (iIndex == m_iCurSel) return true;
  int old = m_iCurSel;
  if (IListItemUI* previous = ListItemAt(old)) previous->Select(false);
  m_iCurSel = iIndex;
  Invalidate();
  if (!item) return true;  // cleared: not a choice, nothing to tell
  item->Select(true);
  if (m_pManager) m_pManager->SendNotify(this, u"itemselect", static_cast<WPARAM>(iIndex), static_cast<LPARAM>(old));
  return true;
}

HWND CComboUI::GetDropDownWindow() const { return m_pWindow ? m_pWindow->GetHWND() : nullptr; }

void CComboUI::CloseDropDown() {
  if (m_pWindow) m_pWindow->Detach();
}

bool CComboUI::Activate() {
  if (!CControlUI::Activate()) return false;
  if (m_pWindow) return true;
  if (!m_pManager || !m_pManager->GetPaintWindow()) return false;
  if (!CComboWnd::Open(this)) return false;
  Invalidate();
  if (m_pManager) m_pManager->SendNotify(this, u"dropdown");
  return true;
}

void CComboUI::SetTextPadding(RECT rc) {
  m_rcTextPadding = rc;
  Invalidate();
}

void CComboUI::SetNormalImage(LPCWSTR pStrImage) {
  m_sNormalImage = pStrImage;
  Invalidate();
}

void CComboUI::SetHotImage(LPCWSTR pStrImage) {
  m_sHotImage = pStrImage;
  Invalidate();
}

void CComboUI::SetPushedImage(LPCWSTR pStrImage) {
  m_sPushedImage = pStrImage;
  Invalidate();
}

void CComboUI::SetFocusedImage(LPCWSTR pStrImage) {
  m_sFocusedImage = pStrImage;
  Invalidate();
}

void CComboUI::SetDisabledImage(LPCWSTR pStrImage) {
  m_sDisabledImage = pStrImage;
  Invalidate();
}

void CComboUI::SetItemFont(int index) {
  m_ListInfo.nFont = index;
  Invalidate();
}

void CComboUI::SetItemTextStyle(UINT uStyle) {
  m_ListInfo.uTextStyle = uStyle;
  Invalidate();
}

void CComboUI::SetItemTextPadding(RECT rc) {
  m_ListInfo.rcTextPadding = rc;
  Invalidate();
}

void CComboUI::SetItemTextColor(DWORD dwTextColor) {
  m_ListInfo.dwTextColor = dwTextColor;
  Invalidate();
}

void CComboUI::SetItemBkColor(DWORD dwBkColor) { m_ListInfo.dwBkColor = dwBkColor; }

void CComboUI::SetItemSelectedTextColor(DWORD dwTextColor) { m_ListInfo.dwSelectedTextColor = dwTextColor; }

void CComboUI::SetItemSelectedBkColor(DWORD dwBkColor) { m_ListInfo.dwSelectedBkColor = dwBkColor; }

void CComboUI::SetItemHotTextColor(DWORD dwTextColor) { m_ListInfo.dwHotTextColor = dwTextColor; }

void CComboUI::SetItemHotBkColor(DWORD dwBkColor) { m_ListInfo.dwHotBkColor = dwBkColor; }

void CComboUI::SetItemDisabledTextColor(DWORD dwTextColor) {
  m_ListInfo.dwDisabledTextColor = dwTextColor;
  Invalidate();
}

void CComboUI::SetItemLineColor(DWORD dwLineColor) { m_ListInfo.dwLineColor = dwLineColor; }

void CComboUI::SetItemShowHtml(bool bShowHtml) {
  m_ListInfo.bShowHtml = bShowHtml;
  Invalidate();
}

void CComboUI::SetEnabled(bool bEnable) {
  CContainerUI::SetEnabled(bEnable);
  if (IsEnabled()) return;
  m_uButtonState = 0;
  CloseDropDown();
}

void CComboUI::SetVisible(bool bVisible) {
  CContainerUI::SetVisible(bVisible);
  if (!IsVisible()) CloseDropDown();
}

void CComboUI::SetInternVisible(bool bVisible) {
  if (!bVisible) CloseDropDown();
  CContainerUI::SetInternVisible(bVisible);
}

void CComboUI::SetManager(CPaintManagerUI* pManager, CControlUI* pParent, bool bInit) {
  if (m_pWindow && pManager != m_pManager) CloseDropDown();
  if (m_pWindow) {
    // The items are lent to the drop-down; they come back to this manager when it closes.
    CControlUI::SetManager(pManager, pParent, bInit);
    return;
  }
  CContainerUI::SetManager(pManager, pParent, bInit);
}

void CComboUI::SetPos(RECT rc, bool bNeedInvalidate) { CControlUI::SetPos(rc, bNeedInvalidate); }

SIZE CComboUI::EstimateSize(SIZE szAvailable) { return CControlUI::EstimateSize(szAvailable); }

void CComboUI::DoPaint(HDC hDC, const RECT& rcPaint) { CControlUI::DoPaint(hDC, rcPaint); }

CControlUI* CComboUI::FindControl(FINDCONTROLPROC Proc, LPVOID pData, UINT uFlags) {
  if (uFlags & (UIFIND_HITTEST | UIFIND_VISIBLE)) return CControlUI::FindControl(Proc, pData, uFlags);
  return CContainerUI::FindControl(Proc, pData, uFlags);
}

void CComboUI::DoEvent(TEventUI& event) {
  if (!IsMouseEnabled() && IsMouseEvent(event.Type)) {
    if (m_pParent)
      m_pParent->DoEvent(event);
    else
      CControlUI::DoEvent(event);
    return;
  }
  switch (event.Type) {
    case UIEVENT_BUTTONDOWN:
    case UIEVENT_DBLCLICK:
      if (IsEnabled() && ::PtInRect(&m_rcItem, event.ptMouse)) {
        m_uButtonState |= UISTATE_PUSHED | UISTATE_CAPTURED;
        Invalidate();
      }
      return;
    case UIEVENT_MOUSEMOVE:
      if (m_uButtonState & UISTATE_CAPTURED) {
        if (::PtInRect(&m_rcItem, event.ptMouse))
          m_uButtonState |= UISTATE_PUSHED;
        else
          m_uButtonState &= ~UISTATE_PUSHED;
        Invalidate();
      }
      return;
    case UIEVENT_BUTTONUP: {
      bool suppress = m_bSuppressOpen;
      m_bSuppressOpen = false;
      if (m_uButtonState & UISTATE_CAPTURED) {
        bool inside = ::PtInRect(&m_rcItem, event.ptMouse) != FALSE;
        m_uButtonState &= ~(UISTATE_PUSHED | UISTATE_CAPTURED);
        Invalidate();
        if (inside && !suppress) Activate();
      }
      return;
    }
    case UIEVENT_MOUSEENTER:
      if (IsEnabled()) {
        m_uButtonState |= UISTATE_HOT;
        Invalidate();
      }
      return;
    case UIEVENT_MOUSELEAVE:
      if (m_uButtonState & UISTATE_HOT) {
        m_uButtonState &= ~UISTATE_HOT;
        Invalidate();
      }
      return;
    case UIEVENT_KEYDOWN:
    case UIEVENT_SYSKEY: {
      if (!IsKeyboardEnabled() || !IsEnabled()) break;
      bool alt = event.Type == UIEVENT_SYSKEY || ::GetKeyState(VK_MENU) < 0;
      if (event.chKey == VK_F4 || (alt && (event.chKey == VK_DOWN || event.chKey == VK_UP))) {
        Activate();
        return;
      }
      if (event.chKey == VK_DOWN || event.chKey == VK_UP) {
        int next = NextSelectable(event.chKey == VK_DOWN);
        if (next >= 0) SelectItem(next);
        return;
      }
      break;
    }
    default:
      break;
  }
  CControlUI::DoEvent(event);
}

void CComboUI::SetAttribute(LPCWSTR pstrName, LPCWSTR pstrValue) {
  CDuiString name(pstrName);
  CDuiString value(pstrValue);
  if (name == u"dropbox") {
    SetDropBoxAttributeList(pstrValue);
  } else if (name == u"dropboxsize") {
    SetDropBoxSize(dui::ParseSize(pstrValue));
  } else if (name == u"textpadding") {
    SetTextPadding(dui::ParseRect(pstrValue));
  } else if (name == u"normalimage") {
    SetNormalImage(pstrValue);
  } else if (name == u"hotimage") {
    SetHotImage(pstrValue);
  } else if (name == u"pushedimage") {
    SetPushedImage(pstrValue);
  } else if (name == u"focusedimage") {
    SetFocusedImage(pstrValue);
  } else if (name == u"disabledimage") {
    SetDisabledImage(pstrValue);
  } else if (name == u"itemfont") {
    SetItemFont(dui::ParseInt(pstrValue));
  } else if (name == u"itemalign") {
    UINT style = m_ListInfo.uTextStyle;
    if (value.Find(u"left") >= 0) style &= ~(DT_CENTER | DT_RIGHT);
    if (value.Find(u"center") >= 0) style = (style & ~DT_RIGHT) | DT_CENTER;
    if (value.Find(u"right") >= 0) style = (style & ~DT_CENTER) | DT_RIGHT;
    SetItemTextStyle(style);
  } else if (name == u"itemtextpadding") {
    SetItemTextPadding(dui::ParseRect(pstrValue));
  } else if (name == u"itemtextcolor") {
    SetItemTextColor(dui::ParseColor(pstrValue));
  } else if (name == u"itembkcolor") {
    SetItemBkColor(dui::ParseColor(pstrValue));
  } else if (name == u"itembkimage") {
    m_ListInfo.sBkImage = pstrValue;
  } else if (name == u"itemselectedtextcolor") {
    SetItemSelectedTextColor(dui::ParseColor(pstrValue));
  } else if (name == u"itemselectedbkcolor") {
    SetItemSelectedBkColor(dui::ParseColor(pstrValue));
  } else if (name == u"itemselectedimage") {
    m_ListInfo.sSelectedImage = pstrValue;
  } else if (name == u"itemhottextcolor") {
    SetItemHotTextColor(dui::ParseColor(pstrValue));
  } else if (name == u"itemhotbkcolor") {
    SetItemHotBkColor(dui::ParseColor(pstrValue));
  } else if (name == u"itemhotimage") {
    m_ListInfo.sHotImage = pstrValue;
  } else if (name == u"itemdisabledtextcolor") {
    SetItemDisabledTextColor(dui::ParseColor(pstrValue));
  } else if (name == u"itemdisabledbkcolor") {
    m_ListInfo.dwDisabledBkColor = dui::ParseColor(pstrValue);
  } else if (name == u"itemdisabledimage") {
    m_ListInfo.sDisabledImage = pstrValue;
  } else if (name == u"itemlinecolor") {
    SetItemLineColor(dui::ParseColor(pstrValue));
  } else if (name == u"itemshowhtml") {
    SetItemShowHtml(dui::ParseBool(pstrValue));
  } else {
    CContainerUI::SetAttribute(pstrName, pstrValue);
  }
}

void CComboUI::PaintStatusImage(HDC hDC) {
  // Like a button: the first state image that draws wins; a failing image is not tried again.
  auto draw = [&](CDuiString& image) {
    if (image.IsEmpty()) return false;
    if (DrawImage(hDC, image)) return true;
    image.Empty();
    return false;
  };
  if (!IsEnabled()) {
    if (draw(m_sDisabledImage)) return;
  } else if (m_uButtonState & UISTATE_PUSHED) {
    if (draw(m_sPushedImage)) return;
  } else if (m_uButtonState & UISTATE_HOT) {
    if (draw(m_sHotImage)) return;
  } else if (IsFocused()) {
    if (draw(m_sFocusedImage)) return;
  }
  draw(m_sNormalImage);
}

void CComboUI::PaintText(HDC hDC) {
  if (!m_pManager) return;
  CDuiString text = GetText();
  if (text.IsEmpty()) return;
  DWORD color;
  if (!IsEnabled())
    color = m_ListInfo.dwDisabledTextColor != 0 ? m_ListInfo.dwDisabledTextColor : m_pManager->GetDefaultDisabledColor();
  else
    color = m_ListInfo.dwTextColor != 0 ? m_ListInfo.dwTextColor : m_pManager->GetDefaultFontColor();
  RECT rc{m_rcItem.left + m_rcTextPadding.left, m_rcItem.top + m_rcTextPadding.top,
          m_rcItem.right - m_rcTextPadding.right, m_rcItem.bottom - m_rcTextPadding.bottom};
  UINT style = DT_SINGLELINE | DT_VCENTER | DT_END_ELLIPSIS;
  if (m_ListInfo.bShowHtml) {
    int links = 0;
    CRenderEngine::DrawHtmlText(hDC, m_pManager, rc, text, color, nullptr, nullptr, links, style);
  } else {
    CRenderEngine::DrawTextW(hDC, m_pManager, rc, text, color, m_ListInfo.nFont, style);
  }
}
