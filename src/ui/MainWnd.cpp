#include "ui/MainWnd.h"

#include "app/Activation.h"
#include "app/Settings.h"
#include "dui/DialogBuilder.h"
#include "dui/TabLayoutUI.h"
#include "messages/VirelWebsockMsg.h"
#include "net/SessionNotify.h"
#include "net/WebSockSession.h"
#include "ui/AlphaWnd.h"
#include "ui/WebMsgWnd.h"
#include "ui/menu/DlgBuilderDirectorMenuEx.h"
#include "ui/menu/MenuUIEx.h"

int g_nLastUserCount = -1;
bool g_bOnline = false;

namespace {

constexpr UINT kTrayIconResource = 109;
constexpr UINT kBarIconResource = 103;
constexpr LPARAM kMenuShowMessages = 1032;
constexpr LPARAM kMenuHideMessages = 1033;
constexpr LPARAM kMenuExit = 1034;
constexpr BYTE kBarAlpha = 210;

HHOOK g_hKeyboardHook = nullptr;

// Shift+Tab anywhere on the desktop; the key still goes on to whoever has the focus.
LRESULT CALLBACK KeyboardHookProc(int nCode, WPARAM wParam, LPARAM lParam) {
  if (nCode == HC_ACTION && (wParam == WM_KEYDOWN || wParam == WM_SYSKEYDOWN) && lParam) {
    auto* key = reinterpret_cast<KBDLLHOOKSTRUCT*>(lParam);
    if (key->vkCode == VK_TAB && (::GetAsyncKeyState(VK_SHIFT) & 0x8000))
      ::PostMessageW(CQvGameMainWnd::Instance().GetHWND(), WM_ASSIST_SHOWHIDE, 0, 0);
  }
  return ::CallNextHookEx(g_hKeyboardHook, nCode, wParam, lParam);
}

NOTIFYICONDATAW TrayIconData(HWND hWnd) {
  NOTIFYICONDATAW nid{};
  nid.cbSize = sizeof nid;
  nid.hWnd = hWnd;
  nid.uID = kTrayIconId;
  return nid;
}

}  // namespace

SkinColors SkinColorsOf(int nSkin) {
  switch (nSkin) {
    case 0: return {RGB(98, 91, 91), RGB(255, 213, 101), RGB(255, 130, 126)};
    case 1: return {RGB(98, 96, 96), RGB(131, 255, 114), RGB(255, 176, 106)};
    case 2: return {RGB(119, 121, 125), RGB(255, 212, 82), RGB(255, 255, 255)};
    case 3: return {RGB(96, 112, 104), RGB(255, 128, 218), RGB(131, 255, 114)};
    default: return {RGB(0, 0, 0), RGB(0, 0, 0), RGB(0, 0, 0)};
  }
}

CDuiString FormatUserCount(int nCount) {
  // A count is never negative; should one arrive, it reads "-1,234" rather than "-1,-234".
  long long n = nCount < 0 ? -static_cast<long long>(nCount) : nCount;
  CDuiString text;
  for (;;) {
    long long q = n / 1000;
    CDuiString group;
    group.Format(q != 0 ? u"%03d" : u"%d", static_cast<int>(n % 1000));
    text = text.IsEmpty() ? group : group + u"," + text;
    if (q < 1) break;
    n = q;
  }
  return nCount < 0 ? CDuiString(u"-") + text : text;
}

CQvGameMainWnd::CQvGameMainWnd() {
  m_nSkin = ReadSkinOption();
  m_hMoveCursor = ::LoadCursorW(nullptr, IDC_SIZEALL);
}

CQvGameMainWnd::~CQvGameMainWnd() = default;  // the system's cursor is shared; nothing to free

CQvGameMainWnd& CQvGameMainWnd::Instance() {
  static CQvGameMainWnd bar;
  return bar;
}

LRESULT CQvGameMainWnd::HandleMessage(UINT uMsg, WPARAM wParam, LPARAM lParam) {
  switch (uMsg) {
    case WM_CREATE: {
      LONG style = ::GetWindowLongW(m_hWnd, GWL_STYLE);
      ::SetWindowLongW(m_hWnd, GWL_STYLE, (style & ~0x00C00000L) | 0x06080000L);
      m_pm.Init(m_hWnd);
      CDlgBuilderDirectorMenuEx director;
      CDialogBuilder builder;
      CControlUI* root = builder.Create(u"MainWnd.xml", nullptr, &director, &m_pm);
      m_pm.AttachDialog(root);
      m_pm.AddNotifier(this);
      Initialize();
      return 0;
    }
    case WM_DESTROY:
      DiscardSessionRecords(m_hWnd);
      ::PostQuitMessage(0);
      break;
    case WM_MOVE:
      MoveChildren();
      return 0;
    case WM_SETCURSOR: {
      POINT pt;
      ::GetCursorPos(&pt);
      ::ScreenToClient(m_hWnd, &pt);
      CControlUI* control = m_pm.FindControl(pt);
      if (control && CDuiString(control->GetClass()) == u"ButtonUI") break;
      ::SetCursor(m_hMoveCursor);
      return 1;
    }
    case WM_DISPLAYCHANGE:
      MoveHome();
      return 0;
    case WM_NCHITTEST: {
      POINT pt{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
      ::ScreenToClient(m_hWnd, &pt);
      CControlUI* control = m_pm.FindControl(pt);
      if (!control || CDuiString(control->GetClass()) == u"ButtonUI") return HTCLIENT;
      return HTCAPTION;
    }
    case WM_NCACTIVATE:
      ::OutputDebugStringW(u"OnNcActivate0\r\n");
      ::OutputDebugStringW(u"OnNcActivate1\r\n");
      if (::IsIconic(m_hWnd)) break;
      return wParam == 0 ? 1 : 0;
    case WM_TIMER:
      if (wParam == kAutoHideTimerId) OnAutoHide();
      return 0;
    case WM_MOVING: {
      // The bar stays within the monitor it is on.
      auto* rc = reinterpret_cast<RECT*>(lParam);
      RECT desk;
      MONITORINFO info{};
      info.cbSize = sizeof info;
      if (::GetMonitorInfoW(::MonitorFromWindow(m_hWnd, MONITOR_DEFAULTTONEAREST), &info))
        desk = info.rcMonitor;
      else
        ::GetWindowRect(::GetDesktopWindow(), &desk);
      if (rc) {
        if (rc->left < desk.left)
          ::OffsetRect(rc, desk.left - rc->left, 0);
        else if (rc->right > desk.right)
          ::OffsetRect(rc, desk.right - rc->right, 0);
        if (rc->top < desk.top)
          ::OffsetRect(rc, 0, desk.top - rc->top);
        else if (rc->bottom > desk.bottom)
          ::OffsetRect(rc, 0, desk.bottom - rc->bottom);
      }
      return 1;
    }
    case WM_WEBSOCK_NOTIFY:
      if (lParam) OnNotify(wParam, lParam);
      return 0;
    case WM_ASSIST_SHOWHIDE:
      OnShowRequest(wParam);
      return 0;
    case WM_TRAY_NOTIFY:
      OnTrayNotify(lParam);
      return 0;
    case WM_MENU_COMMAND:
      OnMenuCommand(wParam, lParam);
      return 0;
    case WM_NCCALCSIZE:
    case WM_NCPAINT:
    case WM_NCLBUTTONDBLCLK:
      return 0;
    default:
      break;
  }
  LRESULT lRes = 0;
  if (m_pm.MessageHandler(uMsg, wParam, lParam, lRes)) return lRes;
  return CWindowWnd::HandleMessage(uMsg, wParam, lParam);
}

void CQvGameMainWnd::OnFinalMessage(HWND) {
  if (g_hKeyboardHook) {
    ::UnhookWindowsHookEx(g_hKeyboardHook);
    g_hKeyboardHook = nullptr;
  }
}

void CQvGameMainWnd::Initialize() {
  CWebSockSession& session = CWebSockSession::Instance();
  session.m_hWndState = m_hWnd;
  ::SetLayeredWindowAttributes(m_hWnd, 0, kBarAlpha, LWA_ALPHA);
  // Placed before it is shown: a display that maps it at once must not show it elsewhere first.
  RECT desk, bar;
  ::GetWindowRect(::GetDesktopWindow(), &desk);
  ::GetWindowRect(m_hWnd, &bar);
  int width = bar.right - bar.left, height = bar.bottom - bar.top;
  int left = desk.right - width;
  int top = desk.top + static_cast<int>((desk.bottom - desk.top) * 0.3);
  ::MoveWindow(m_hWnd, left, top, width, height, FALSE);
  ::SetWindowPos(m_hWnd, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_SHOWWINDOW);
  HICON icon = ::LoadIconW(CPaintManagerUI::GetInstance(), MAKEINTRESOURCEW(kBarIconResource));
  ::PostMessageW(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
  ::PostMessageW(m_hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
  StartActivationWatch(m_hWnd);

  const DWORD childExStyle = WS_EX_NOACTIVATE | WS_EX_LAYERED | WS_EX_TRANSPARENT;
  m_pAlphaWnd = new CQvGameAlphaWnd;
  m_pAlphaWnd->Create(m_hWnd, u"Qv直播助手面罩", WS_POPUP | WS_VISIBLE, childExStyle);
  ::MoveWindow(m_pAlphaWnd->GetHWND(), left, top + height, width, 35, TRUE);
  m_pWebMsgWnd = new CQvGameWebMsgWnd(m_hWnd, m_pAlphaWnd->GetHWND(), this);
  m_pWebMsgWnd->Create(m_pAlphaWnd->GetHWND(), u"Qv直播助手消息窗体", WS_POPUP | WS_VISIBLE, childExStyle);
  ::MoveWindow(m_pWebMsgWnd->GetHWND(), left, top + height, width, 35, TRUE);
  session.m_hWndMsg = m_pWebMsgWnd->GetHWND();
  ::MoveWindow(m_hWnd, left, top, width, height, TRUE);
  m_pWebMsgWnd->ShowWindow(true, false);
  m_pAlphaWnd->ShowWindow(true, false);
  ApplySkin();

  g_hKeyboardHook = ::SetWindowsHookExA(WH_KEYBOARD_LL, KeyboardHookProc, nullptr, 0);
  NOTIFYICONDATAW nid = TrayIconData(m_hWnd);
  nid.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
  nid.uCallbackMessage = WM_TRAY_NOTIFY;
  nid.hIcon = ::LoadIconW(CPaintManagerUI::GetInstance(), MAKEINTRESOURCEW(kTrayIconResource));
  std::u16string tip = u"Qv直播助手", info = u"在这里右击可以关闭小助手哦！";
  std::copy(tip.begin(), tip.end(), nid.szTip);
  std::copy(info.begin(), info.end(), nid.szInfo);
  if (!m_bSettingsFileExisted) {
    // First run: the icon introduces itself.
    nid.uFlags |= NIF_INFO;
    nid.dwInfoFlags = NIIF_INFO;
  }
  ::Shell_NotifyIconW(NIM_ADD, &nid);

  ::OutputDebugStringA("GetRoomUsercount\r\n");
  if (g_nLastUserCount >= 0) {
    ::OutputDebugStringA("GetRoomUsercount1\r\n");
    int count = g_nLastUserCount;
    NotifySessionWindow<stWebsockMsgUsercount>(m_hWnd, WM_WEBSOCK_NOTIFY, WEBSOCK_NOTIFY_USERCOUNT, g_SessionGuid,
                                               NotifyDelivery::Post,
                                               [count](stWebsockMsgUsercount& r) { r.userCount = count; });
  }
  SetOnlineImages(g_bOnline);
  ::SetTimer(m_hWnd, kAutoHideTimerId, kAutoHideDelayMs, nullptr);
}

void CQvGameMainWnd::ApplySkin() {
  if (CControlUI* tab = m_pm.FindControl(u"SwitchSkinTab"))
    if (auto* pages = static_cast<CTabLayoutUI*>(tab->GetInterface(u"TabLayout"))) pages->SelectItem(m_nSkin);
  SkinColors colors = SkinColorsOf(m_nSkin);
  if (m_pWebMsgWnd) {
    m_pWebMsgWnd->m_crNickname = colors.nickname;
    m_pWebMsgWnd->m_crText = colors.text;
    ::InvalidateRect(m_pWebMsgWnd->GetHWND(), nullptr, TRUE);
  }
  if (m_pAlphaWnd) {
    m_pAlphaWnd->m_crFill = colors.mask;
    ::InvalidateRect(m_pAlphaWnd->GetHWND(), nullptr, TRUE);
  }
  SetFoldButtons();
  SaveSkinOption(m_nSkin);
}

void CQvGameMainWnd::SetFoldButtons() {
  CControlUI* fold = m_pm.FindControl(CDuiString::Formatted(u"FoldBtn%d", m_nSkin));
  CControlUI* unfold = m_pm.FindControl(CDuiString::Formatted(u"UnFoldBtn%d", m_nSkin));
  if (!fold || !unfold) return;
  fold->SetVisible(m_bExpanded);
  unfold->SetVisible(!m_bExpanded);
}

void CQvGameMainWnd::SetOnlineImages(bool bOnline) {
  for (int d = 0; d < 4; ++d) {
    if (CControlUI* label = m_pm.FindControl(CDuiString::Formatted(u"OnlineLable%d", d)))
      label->SetBkImage(bOnline ? u"file='OnLine.png' pos='0,0'" : u"file='OffLine.png' pos='0,0'");
  }
}

// True while the active window is one the bar owns (its tray menu, or a sub-menu of it).
bool CQvGameMainWnd::MenuIsOpen() const {
  for (HWND hwnd = ::GetActiveWindow(); hwnd; hwnd = ::GetWindow(hwnd, GW_OWNER))
    if (::GetWindow(hwnd, GW_OWNER) == m_hWnd) return true;
  return false;
}

void CQvGameMainWnd::ApplyVisibility() {
  // An open menu of the bar keeps the focus: a menu that lost it would close under the user.
  ShowWindow(true, !MenuIsOpen());
  SetFoldButtons();
  int show = m_bExpanded ? SW_SHOWNOACTIVATE : SW_HIDE;
  if (m_pWebMsgWnd) ::ShowWindow(m_pWebMsgWnd->GetHWND(), show);
  if (m_pAlphaWnd) ::ShowWindow(m_pAlphaWnd->GetHWND(), show);
}

void CQvGameMainWnd::WakeForMessage() {
  ::KillTimer(m_hWnd, kAutoHideTimerId);
  m_bVisible = true;
  m_bExpanded = true;
  ApplyVisibility();
  ShowWindow(true, !MenuIsOpen());
  ::SetWindowPos(m_hWnd, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  ::SetTimer(m_hWnd, kAutoHideTimerId, kAutoHideDelayMs, nullptr);
}

void CQvGameMainWnd::OnShowRequest(WPARAM wParam) {
  if (!m_bVisible) {
    m_bVisible = true;
    m_bExpanded = true;
    ApplyVisibility();
    ShowWindow(true, true);
    ::SetForegroundWindow(m_hWnd);
  } else if (wParam != 1) {
    m_bExpanded = !m_bExpanded;
    ApplyVisibility();
  }
}

void CQvGameMainWnd::OnAutoHide() {
  if (MenuIsOpen()) return;  // the timer runs on; the bar hides once the menu has closed
  m_bVisible = false;
  m_bExpanded = false;
  ApplyVisibility();
  ShowWindow(false);
  ::KillTimer(m_hWnd, kAutoHideTimerId);
}

void CQvGameMainWnd::OnNotify(WPARAM kind, LPARAM lParam) {
  std::unique_ptr<stVirelWebsockMsg> record = AcceptSessionRecord(lParam);
  if (!record) return;
  if (kind == WEBSOCK_NOTIFY_USERCOUNT) {
    ::OutputDebugStringA("WEBSOCK_NOTIFY_USERCOUNT2\r\n");
    CDuiString text = FormatUserCount(static_cast<stWebsockMsgUsercount&>(*record).userCount);
    for (int d = 0; d < 5; ++d)
      if (CControlUI* label = m_pm.FindControl(CDuiString::Formatted(u"ProgressLable%d", d))) label->SetText(text);
    ::InvalidateRect(m_hWnd, nullptr, FALSE);
  } else if (kind == WEBSOCK_NOTIFY_ONLINESTATE) {
    SetOnlineImages(static_cast<stWebsockMsgOnlineState&>(*record).online != 0);
    ::InvalidateRect(m_hWnd, nullptr, FALSE);
  }
}

void CQvGameMainWnd::Notify(TNotifyUI& msg) {
  if (msg.sType != u"click" || !msg.pSender) return;
  CDuiString name = msg.pSender->GetName();
  if (name.GetLength() == 14 && name.Left(13) == u"ChangeSkinBtn" && name[13] >= u'0' && name[13] <= u'3') {
    m_nSkin = m_nSkin < 3 ? m_nSkin + 1 : 0;
    ApplySkin();
    return;
  }
  bool fold = name.GetLength() == 8 && name.Left(7) == u"FoldBtn";
  bool unfold = name.GetLength() == 10 && name.Left(9) == u"UnFoldBtn";
  WCHAR digit = name[name.GetLength() - 1];
  if ((fold || unfold) && digit >= u'0' && digit <= u'3') {
    m_bExpanded = !m_bExpanded;
    ApplyVisibility();
  }
}

void CQvGameMainWnd::OnTrayNotify(LPARAM lParam) {
  if (lParam == WM_RBUTTONUP) {
    CControlUI* control = m_pm.FindControl(CDuiString::Formatted(u"MenuTray%d", m_nSkin));
    auto* menu = control && CDuiString(control->GetClass()) == u"CMenuUIEx" ? static_cast<CMenuUIEx*>(control)
                                                                               : nullptr;
    if (!menu || menu->GetMenuWindow()) return;
    menu->SetReportValue(reinterpret_cast<WPARAM>(m_pm.GetRoot()));
    menu->EnableItemById(kMenuShowMessages, !m_bExpanded);
    menu->EnableItemById(kMenuHideMessages, m_bExpanded);
    POINT pt;
    ::GetCursorPos(&pt);
    ::SetForegroundWindow(m_hWnd);
    menu->ShowMenu(pt.x, pt.y);
  } else if (lParam == WM_LBUTTONDBLCLK) {
    m_bVisible = true;
    m_bExpanded = true;
    ApplyVisibility();
    ShowWindow(true, true);
    ::SetForegroundWindow(m_hWnd);
  }
}

void CQvGameMainWnd::OnMenuCommand(WPARAM, LPARAM lParam) {
  if (lParam == kMenuShowMessages || lParam == kMenuHideMessages) {
    ::PostMessageW(m_hWnd, WM_ASSIST_SHOWHIDE, 0, 0);
  } else if (lParam == kMenuExit) {
    NOTIFYICONDATAW nid = TrayIconData(m_hWnd);
    ::Shell_NotifyIconW(NIM_DELETE, &nid);
    ::PostMessageW(m_hWnd, WM_CLOSE, 0, 0);
    ::PostQuitMessage(0);
  }
}

void CQvGameMainWnd::MoveChildren() {
  if (!m_pWebMsgWnd || !m_pAlphaWnd) return;
  RECT bar, client;
  ::GetWindowRect(m_hWnd, &bar);
  ::GetClientRect(m_pWebMsgWnd->GetHWND(), &client);
  int width = bar.right - bar.left, height = client.bottom - client.top;
  ::MoveWindow(m_pAlphaWnd->GetHWND(), bar.left, bar.bottom, width, height, TRUE);
  ::MoveWindow(m_pWebMsgWnd->GetHWND(), bar.left, bar.bottom, width, height, TRUE);
}

void CQvGameMainWnd::MoveHome() {
  RECT desk, bar;
  ::GetWindowRect(::GetDesktopWindow(), &desk);
  ::GetWindowRect(m_hWnd, &bar);
  int width = bar.right - bar.left;
  ::SetWindowPos(m_hWnd, nullptr, desk.right - width, desk.top + static_cast<int>((desk.bottom - desk.top) * 0.3), 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}
