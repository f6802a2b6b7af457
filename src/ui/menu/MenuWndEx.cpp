#include "ui/menu/MenuWndEx.h"

#include <algorithm>

#include "ui/menu/MenuListLabelUI.h"
#include "ui/menu/MenuUIEx.h"

namespace {

// Window handles of all menu pop-ups; used on the UI thread only.
std::vector<HWND>& OpenList() {
  static std::vector<HWND> list;
  return list;
}

// The light look of a pop-up whose menu sets no colours of its own.
constexpr DWORD kDefaultMenuBkColor = 0xFFFFFFFF;
constexpr DWORD kDefaultMenuBorderColor = 0xFFB4B4B4;

bool IsMouseMessage(UINT uMsg) {
  switch (uMsg) {
    case WM_MOUSEMOVE:
    case WM_LBUTTONDOWN:
    case WM_LBUTTONUP:
    case WM_LBUTTONDBLCLK:
    case WM_RBUTTONDOWN:
    case WM_RBUTTONUP:
    case WM_RBUTTONDBLCLK:
    case WM_MBUTTONDOWN:
    case WM_MBUTTONUP:
    case WM_MBUTTONDBLCLK:
    case WM_MOUSEWHEEL:
      return true;
    default:
      return false;
  }
}

bool IsPress(UINT uMsg) {
  return uMsg == WM_LBUTTONDOWN || uMsg == WM_LBUTTONDBLCLK || uMsg == WM_RBUTTONDOWN || uMsg == WM_RBUTTONDBLCLK ||
         uMsg == WM_MBUTTONDOWN || uMsg == WM_MBUTTONDBLCLK;
}

// The open pop-up under a screen point; the latest opened wins (sub-menus open over their parents).
HWND OpenMenuWindowAt(POINT pt) {
  const std::vector<HWND>& list = CMenuWndEx::OpenMenuWindows();
  for (auto it = list.rbegin(); it != list.rend(); ++it) {
    RECT rc{0, 0, 0, 0};
    if (::IsWindowVisible(*it) && ::GetWindowRect(*it, &rc) && ::PtInRect(&rc, pt)) return *it;
  }
  return nullptr;
}

CMenuListLabelUI* LabelAt(CMenuUIEx* owner, WPARAM index) {
  if (!owner || index >= static_cast<WPARAM>(owner->GetCount())) return nullptr;
  CControlUI* item = owner->GetItemAt(static_cast<int>(index));
  return item ? static_cast<CMenuListLabelUI*>(item->GetInterface(u"MenuListLabelUI")) : nullptr;
}

}  // namespace

const std::vector<HWND>& CMenuWndEx::OpenMenuWindows() { return OpenList(); }

void CMenuWndEx::ClearOpenMenuWindows() { OpenList().clear(); }

void CMenuWndEx::AddOpenMenuWindow(HWND hWnd) {
  std::vector<HWND>& list = OpenList();
  if (list.size() == list.capacity()) list.reserve(list.capacity() + std::max<size_t>(list.capacity() / 2, 4));
  list.push_back(hWnd);
}

void CMenuWndEx::RemoveOpenMenuWindow(HWND hWnd) {
  std::vector<HWND>& list = OpenList();
  list.erase(std::remove(list.begin(), list.end(), hWnd), list.end());
}

bool CMenuWndEx::IsOpenMenuWindow(HWND hWnd) {
  const std::vector<HWND>& list = OpenList();
  return hWnd && std::find(list.begin(), list.end(), hWnd) != list.end();
}

void CMenuWndEx::OnCreate(const CREATESTRUCTW* cs) {
  m_pm.Init(m_hWnd);
  CPaintManagerUI* ownerPm = m_pOwner ? m_pOwner->GetManager() : nullptr;
  if (ownerPm) m_pm.UseParentResource(ownerPm);
  m_pLayout = new CVerticalLayoutUI;
  m_pLayout->SetManager(&m_pm, nullptr, true);
  if (ownerPm) {
    if (LPCWSTR defaults = ownerPm->GetDefaultAttributeList(u"VerticalLayoutUI")) m_pLayout->ApplyAttributeList(defaults);
  }
  if (m_pOwner) {
    CDuiString image;
    image.Format(u"%s dest='%d,%d,%d,%d'", m_pOwner->GetItemStyle()->sBkImage.GetData(), -5, -5, cs->cx + 5,
                 cs->cy + 5);
    m_pLayout->SetBkImage(image);
  }
  // The pop-up paints into a blank image: it takes the menu control's colours (a light default
  // when it has none) and a frame, so that the items read as a menu over any desktop.
  DWORD bk = m_pOwner ? m_pOwner->GetBkColor() : 0;
  DWORD border = m_pOwner ? m_pOwner->GetBorderColor() : 0;
  m_pLayout->SetBkColor(bk != 0 ? bk : kDefaultMenuBkColor);
  m_pLayout->SetBorderColor(border != 0 ? border : kDefaultMenuBorderColor);
  m_pLayout->SetBorderSize(m_pOwner && m_pOwner->GetBorderSize() > 0 ? m_pOwner->GetBorderSize() : 1);
  m_pLayout->SetInset(RECT{2, 2, 2, 0});
  m_pLayout->SetName(u"menucontainer");
  m_pLayout->SetAutoDestroy(false);  // the items belong to the owner
  if (m_pOwner) {
    for (int i = 0; i < m_pOwner->GetCount(); ++i) m_pLayout->Add(m_pOwner->GetItemAt(i));
  }
  m_pm.AttachDialog(m_pLayout);
}

void CMenuWndEx::OnOpenSubMenu(LPCWSTR pstrName, const RECT* prcItem) {
  if (!m_pOwner || !m_pOwner->GetManager() || !prcItem) return;
  CPaintManagerUI* ownerPm = m_pOwner->GetManager();
  CControlUI* found = ownerPm->FindControl(pstrName);
  CMenuUIEx* sub = found && CDuiString(found->GetClass()) == u"CMenuUIEx" ? static_cast<CMenuUIEx*>(found) : nullptr;
  if (sub && sub == m_pSubOwner && m_pSubWnd) return;
  CloseSubMenu();
  if (!sub) return;
  m_pSubOwner = sub;
  ::PostMessageW(ownerPm->GetPaintWindow(), WM_PAINT, 1, 0);
  sub->SetReportValue(m_pOwner->GetReportValue());
  RECT rcWnd{0, 0, 0, 0};
  ::GetWindowRect(m_hWnd, &rcWnd);
  CMenuWndEx* wnd = sub->ShowSubMenu(m_pOwner->GetTopMenuWindow(), rcWnd.right, rcWnd.top + prcItem->top, rcWnd);
  if (wnd) {
    m_pSubWnd = wnd;
    wnd->SetParentMenu(this);
  }
}

void CMenuWndEx::CloseSubMenu() {
  CMenuWndEx* sub = m_pSubWnd;
  m_pSubWnd = nullptr;
  // Forgotten too, so that coming back to the same item opens it again.
  m_pSubOwner = nullptr;
  if (!sub) return;
  sub->SetParentMenu(nullptr);
  // Its final message gives its owner the items back and clears the owner's menu window.
  if (sub->GetHWND()) ::DestroyWindow(sub->GetHWND());
}

void CMenuWndEx::OnSubMenuGone(CMenuWndEx* pSub) {
  if (m_pSubWnd != pSub) return;
  m_pSubWnd = nullptr;
  m_pSubOwner = nullptr;
}

void CMenuWndEx::PostCommand(int nItem) {
  if (!m_pOwner || !m_pOwner->GetManager()) return;
  ::PostMessageW(m_pOwner->GetManager()->GetPaintWindow(), WM_MENU_COMMAND, m_pOwner->GetReportValue(), nItem);
}

void CMenuWndEx::OnCloseMenu() {
  HWND top = m_hWnd;
  if (CMenuUIEx* owner = m_pOwner) {
    owner->ReclaimItems(true);
    owner->SetFocus();
    if (::IsWindow(owner->GetTopMenuWindow())) top = owner->GetTopMenuWindow();
  }
  // This object may be deleted by the time DestroyWindow returns.
  if (top) ::DestroyWindow(top);
}

CMenuWndEx* CMenuWndEx::RootMenu() {
  CMenuWndEx* root = this;
  while (root->m_pParentMenu) root = root->m_pParentMenu;
  return root;
}

void CMenuWndEx::CaptureMouse() {
  if (m_hWnd && !m_bClosing) ::SetCapture(m_hWnd);
}

bool CMenuWndEx::RouteCapturedMouse(UINT uMsg, WPARAM wParam, LPARAM lParam) {
  POINT pt{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
  if (uMsg != WM_MOUSEWHEEL) ::ClientToScreen(m_hWnd, &pt);  // the wheel's point is on the screen already
  HWND self = m_hWnd;
  HWND under = OpenMenuWindowAt(pt);
  // The pop-up the pointer left hears so, as it would without the capture.
  HWND left = m_hMouseIn;
  m_hMouseIn = under;
  if (left && left != under && ::IsWindow(left)) ::SendMessageW(left, WM_MOUSELEAVE, 0, 0);
  if (!::IsWindow(self)) return true;
  if (under == self) return false;
  if (under) {
    LPARAM at = lParam;
    if (uMsg != WM_MOUSEWHEEL) {
      POINT client = pt;
      ::ScreenToClient(under, &client);
      at = MAKELPARAM(client.x, client.y);
    }
    ::SendMessageW(under, uMsg, wParam, at);
    return true;
  }
  // Outside every pop-up: a press closes the menu and goes nowhere else; the rest is dropped.
  if (IsPress(uMsg)) OnCloseMenu();  // deletes this
  return true;
}

void CMenuWndEx::OnCaptureChanged(HWND hNewCapture) {
  if (m_bClosing || IsOpenMenuWindow(hNewCapture)) return;
  if (hNewCapture) {
    // Another window took the mouse (a move loop, say): the menu is over.
    PostMessage(WM_MENU_CLOSE, 0, 0);
    return;
  }
  // A pop-up's paint manager lets the mouse go after a click; the menu keeps it while open.
  CMenuWndEx* root = RootMenu();
  if (!root->m_bClosing && root->m_hWnd && ::IsWindow(root->m_hWnd)) ::SetCapture(root->m_hWnd);
}

LRESULT CMenuWndEx::HandleMessage(UINT uMsg, WPARAM wParam, LPARAM lParam) {
  if (IsMouseMessage(uMsg) && ::GetCapture() == m_hWnd && !m_pm.IsCaptured() &&
      RouteCapturedMouse(uMsg, wParam, lParam))
    return 0;
  switch (uMsg) {
    case WM_CREATE:
      OnCreate(reinterpret_cast<const CREATESTRUCTW*>(lParam));
      return 0;
    case WM_DESTROY: {
      RemoveOpenMenuWindow(m_hWnd);
      m_bClosing = true;
      if (::GetCapture() == m_hWnd) {
        // A sub-menu holding the mouse (during a click) hands it back to the menu still open.
        CMenuWndEx* root = RootMenu();
        if (root != this && !root->m_bClosing && ::IsWindow(root->m_hWnd))
          ::SetCapture(root->m_hWnd);
        else
          ::ReleaseCapture();
      }
      break;
    }
    case WM_CAPTURECHANGED:
      OnCaptureChanged(reinterpret_cast<HWND>(lParam));
      break;  // the paint manager ends a press in progress
    case WM_KILLFOCUS: {
      HWND to = reinterpret_cast<HWND>(wParam);
      bool menu = to == m_hWnd || (m_pSubWnd && to == m_pSubWnd->GetHWND()) || IsOpenMenuWindow(to);
      if (!menu) PostMessage(WM_MENU_CLOSE, 0, 0);
      break;
    }
    case WM_SIZE: {
      SIZE corner = m_pOwner ? m_pOwner->GetMenuCorner() : SIZE{0, 0};
      if (wParam != SIZE_MINIMIZED && (corner.cx != 0 || corner.cy != 0)) {
        RECT rc{0, 0, 0, 0};
        ::GetClientRect(m_hWnd, &rc);
        HRGN rgn = ::CreateRoundRectRgn(rc.left, rc.top, rc.right + 1, rc.bottom + 1, corner.cx, corner.cy);
        if (rgn && !::SetWindowRgn(m_hWnd, rgn, TRUE)) ::DeleteObject(rgn);  // the window owns it when taken
      }
      break;  // the paint manager lays out again too
    }
    case WM_MENU_OPENSUB:
      OnOpenSubMenu(reinterpret_cast<LPCWSTR>(wParam), reinterpret_cast<const RECT*>(lParam));
      return 0;
    case WM_MENU_CLOSESUB:
      ::SetFocus(m_hWnd);
      CloseSubMenu();
      return 0;
    case WM_MENU_TOGGLECHECK:
      if (CMenuListLabelUI* item = LabelAt(m_pOwner, wParam)) {
        item->SetChecked(lParam == 0);
        PostCommand(item->GetLabelId());
      }
      return 0;
    case WM_MENU_SELECTRADIO: {
      CMenuListLabelUI* item = LabelAt(m_pOwner, wParam);
      if (!item || lParam != 0) return 0;
      item->SetChecked(true);
      PostCommand(item->GetLabelId());
      for (int i = 0; i < m_pOwner->GetCount(); ++i) {
        CMenuListLabelUI* other = LabelAt(m_pOwner, static_cast<WPARAM>(i));
        if (other && other != item && other->GetLabelType() == u"radio") other->SetChecked(false);
      }
      return 0;
    }
    case WM_MENU_COMMAND:
      if (m_pOwner && m_pOwner->GetManager())
        ::PostMessageW(m_pOwner->GetManager()->GetPaintWindow(), WM_MENU_COMMAND, wParam, lParam);
      return 0;
    case WM_MENU_CLOSE:
      OnCloseMenu();
      return 0;
    default:
      break;
  }
  LRESULT lRes = 0;
  if (m_pm.MessageHandler(uMsg, wParam, lParam, lRes)) return lRes;
  return CWindowWnd::HandleMessage(uMsg, wParam, lParam);
}

void CMenuWndEx::OnFinalMessage(HWND hWnd) {
  RemoveOpenMenuWindow(hWnd);
  if (CMenuUIEx* owner = m_pOwner) {
    if (owner->GetMenuWindow() == this) owner->SetMenuWindow(nullptr);
    owner->Invalidate();
    owner->ReclaimItems(true);
  }
  CloseSubMenu();
  if (m_pParentMenu) m_pParentMenu->OnSubMenuGone(this);
  delete this;
}
