#include "ui/LoginWnd.h"

#include <algorithm>

#include "app/Activation.h"
#include "app/Settings.h"
#include "dui/CheckBoxUI.h"
#include "dui/ComboUI.h"
#include "dui/DialogBuilder.h"
#include "dui/EditUI.h"
#include "dui/LabelUI.h"
#include "dui/ProgressUI.h"
#include "dui/TabLayoutUI.h"
#include "messages/VirelWebsockMsg.h"
#include "net/SessionNotify.h"
#include "net/WebSockSession.h"
#include "ui/MainWnd.h"

namespace {

constexpr RECT kToastRect{0, 178, 272, 198};
constexpr int kHistoryRows = 5;
constexpr UINT kBigIconResource = 110;
constexpr UINT kSmallIconResource = 109;

template <class T>
T* Find(CPaintManagerUI& pm, const WCHAR* name, const WCHAR* iface) {
  CControlUI* control = pm.FindControl(name);
  return control ? static_cast<T*>(control->GetInterface(iface)) : nullptr;
}

const WCHAR* const kTips[6][2] = {
    {u"Tips:Shift+Tab可以快捷切换直播助手", u"的显示/隐藏"},
    {u"Tips:直播助手将会显示聊天、送礼、", u"弹幕消息。"},
    {u"Tips:消息显示条数会根据聊天频率", u"变化哦~"},
    {u"Tips:文字看不清？可以切换文字颜色哦~", u""},
    {u"Tips:按住菜单栏可以拖动直播助手", u""},
    {u"Tips:一次最多显示15条消息~", u""},
};

}  // namespace

CQvGameLoginWnd::CQvGameLoginWnd() {
  m_hToastBrush = ::CreateSolidBrush(RGB(254, 232, 191));
  LOGFONTW lf{};
  lf.lfHeight = 12;
  std::u16string face = u"宋体";
  std::copy(face.begin(), face.end(), lf.lfFaceName);
  m_hToastFont = ::CreateFontIndirectW(&lf);
}

CQvGameLoginWnd::~CQvGameLoginWnd() {
  ::DeleteObject(m_hToastBrush);
  ::DeleteObject(m_hToastFont);
}

LRESULT CQvGameLoginWnd::HandleMessage(UINT uMsg, WPARAM wParam, LPARAM lParam) {
  switch (uMsg) {
    case WM_CREATE:
      OnCreate();
      return 0;
    case WM_DESTROY:
      DiscardSessionRecords(m_hWnd);
      ::PostQuitMessage(0);
      break;
    case WM_SIZE:
      if (wParam != SIZE_MINIMIZED) {
        RECT rc;
        ::GetWindowRect(m_hWnd, &rc);
        HRGN region = ::CreateRoundRectRgn(0, 0, rc.right - rc.left + 1, rc.bottom - rc.top + 1, 4, 4);
        ::SetWindowRgn(m_hWnd, region, TRUE);
      }
      break;
    case WM_NCHITTEST:
      return HitTest(lParam);
    case WM_NCACTIVATE:
      if (::IsIconic(m_hWnd)) break;
      return wParam == 0 ? 1 : 0;
    case WM_KEYDOWN:
      if (wParam == VK_RETURN) {
        // A focused button or check box acts on the key itself; its Enter character is not a
        // Connect as well.
        CControlUI* focus = m_pm.GetFocus();
        m_bEnterOnControl = focus && focus->GetInterface(u"Button") != nullptr;
      }
      break;
    case WM_CHAR: {
      if (wParam == 13) {
        if (m_bEnterOnControl)
          m_bEnterOnControl = false;
        else if (m_bSwallowEnter)
          m_bSwallowEnter = false;
        else
          Connect();
        return 0;
      }
      // The edit box draws itself here (no native edit window): typed characters reach it through
      // the paint manager.
      LRESULT lRes = 0;
      m_pm.MessageHandler(uMsg, wParam, lParam, lRes);
      return 0;
    }
    case WM_NCCALCSIZE:
    case WM_NCPAINT:
    case WM_NCLBUTTONDBLCLK:
      return 0;
    case WM_TIMER:
      if (wParam != kProgressTimerId) break;  // the controls' own timers (the edit box's caret)
      OnProgressTick();
      return 0;
    case WM_CTLCOLOREDIT:
      if (auto* edit = Find<CEditUI>(m_pm, u"EditID", u"Edit")) {
        ::SetTextColor(reinterpret_cast<HDC>(wParam), RGB(71, 71, 71));
        edit->SetTextColor(0xFF474747);
      }
      return 0;
    case WM_MOVING: {
      auto* rc = reinterpret_cast<RECT*>(lParam);
      if (rc && rc->top < 0) ::OffsetRect(rc, 0, -rc->top);
      return 1;
    }
    case WM_WEBSOCK_NOTIFY:
      if (lParam) OnNotify(wParam, lParam);
      return 0;
    case WM_PAINT: {
      LRESULT lRes = 0;
      m_pm.MessageHandler(uMsg, wParam, lParam, lRes);
      PaintToast();
      return 0;
    }
    default:
      break;
  }
  LRESULT lRes = 0;
  if (m_pm.MessageHandler(uMsg, wParam, lParam, lRes)) return lRes;
  return CWindowWnd::HandleMessage(uMsg, wParam, lParam);
}

void CQvGameLoginWnd::OnCreate() {
  LONG style = ::GetWindowLongW(m_hWnd, GWL_STYLE);
  ::SetWindowLongW(m_hWnd, GWL_STYLE, (style & ~0x00C10000L) | 0x06000000L);
  m_pm.Init(m_hWnd);
  CDialogBuilder builder;
  CControlUI* root = builder.Create(u"LoginWnd.xml", nullptr, nullptr, &m_pm);
  m_pm.AttachDialog(root);
  m_pm.AddNotifier(this);
  HINSTANCE module = CPaintManagerUI::GetInstance();
  ::PostMessageW(m_hWnd, WM_SETICON, ICON_BIG,
                 reinterpret_cast<LPARAM>(::LoadIconW(module, MAKEINTRESOURCEW(kBigIconResource))));
  ::PostMessageW(m_hWnd, WM_SETICON, ICON_SMALL,
                 reinterpret_cast<LPARAM>(::LoadIconW(module, MAKEINTRESOURCEW(kSmallIconResource))));
  StartActivationWatch(m_hWnd);
  CQvGameMainWnd& bar = CQvGameMainWnd::Instance();
  bar.m_bSettingsFileExisted = ::PathFileExistsW(GetSettingsFolder() + u"\\QvGameAssit.xml") != FALSE;
  bool autoConnect = false;
  ReadRoomHistory(autoConnect, m_history);
  if (m_history.size() > static_cast<size_t>(kHistoryRows))
    m_history.erase(m_history.begin(), m_history.end() - kHistoryRows);
  ShowHistory(m_history);
  if (auto* check = Find<CCheckBoxUI>(m_pm, u"AutoConnectCheck", u"CheckBox")) check->SetCheck(autoConnect);
  if (autoConnect) Connect();
}

void CQvGameLoginWnd::ShowHistory(const std::vector<CDuiString>& rooms) {
  auto* edit = Find<CEditUI>(m_pm, u"EditID", u"Edit");
  if (!rooms.empty()) {
    for (int i = 0; i < kHistoryRows; ++i) {
      int row = kHistoryRows - 1 - i;
      CControlUI* item = m_pm.FindControl(CDuiString::Formatted(u"listelement%d", row));
      CControlUI* label = m_pm.FindControl(CDuiString::Formatted(u"LableId%d", row));
      if (!item || !label) continue;
      if (i < static_cast<int>(rooms.size())) {
        item->SetText(rooms[i]);
        label->SetText(rooms[i]);
        item->SetVisible(true);
      } else {
        item->SetVisible(false);
      }
    }
    if (edit) {
      edit->SetText(rooms.back());
      edit->SetTextColor(0x474747);
    }
  } else if (edit) {
    edit->SetTextColor(0x989898);
  }
  if (!edit) return;
  edit->SetNumberOnly(true);
  if (!m_history.empty()) {
    edit->SetBorderColor(0xFFFFFF);
    return;
  }
  if (CControlUI* combo = m_pm.FindControl(u"RoomIdCombo")) {
    combo->SetVisible(false);
    edit->SetBorderColor(0xD5D5D5);
    edit->SetPos(RECT{46, 81, 225, 110});
  }
  edit->SetFocus();
}

void CQvGameLoginWnd::Connect() {
  Toast(u"");
  CWebSockSession& session = CWebSockSession::Instance();
  session.m_hWndProgress = m_hWnd;
  CControlUI* edit = m_pm.FindControl(u"EditID");
  if (!edit) return;
  CDuiString text = edit->GetText();
  if (text.IsEmpty()) {
    Toast(u"ID号输入不能为空哦~");
    return;
  }
  for (int i = 0; i < text.GetLength(); ++i) {
    if (text[i] < u'0' || text[i] > u'9') {
      Toast(u"无效房间号，请输入有效房间号(数字)");
      return;
    }
  }
  GUID guid{};
  if (FAILED(::CoCreateGuid(&guid))) {
    Toast(u"连接失败，生成GUID失败");
    return;
  }
  g_SessionGuid = guid;
  // What the bar shows of a room comes from this connection only.
  g_nLastUserCount = -1;
  g_bOnline = false;
  int room = _wtoi(text);
  session.m_hWndState = m_hWnd;
  if (!session.Start(room, guid)) {
    Toast(u"连接房间失败");
    return;
  }
  auto* tabs = Find<CTabLayoutUI>(m_pm, u"TabSwitch", u"TabLayout");
  if (!tabs) return;
  ShowTip();
  AdvanceTipsIndex();
  tabs->SelectItem(1);
  m_bSwallowEnter = true;
  if (auto* progress = Find<CProgressUI>(m_pm, u"ConnectProgress", u"Progress")) {
    m_nProgressCurrent = 0;
    progress->SetValue(0);
  }
  if (CControlUI* notice = m_pm.FindControl(u"NoticeLable")) notice->SetText(u"连接中...");
}

void CQvGameLoginWnd::Cancel() {
  ::KillTimer(m_hWnd, kProgressTimerId);
  g_SessionGuid = GUID{};
  g_nLastUserCount = -1;
  g_bOnline = false;
  if (auto* tabs = Find<CTabLayoutUI>(m_pm, u"TabSwitch", u"TabLayout")) tabs->SelectItem(0);
  ApplyProgress(0, -1, 0);
  CWebSockSession::Instance().Stop();
  Toast(u"");
}

void CQvGameLoginWnd::ShowTip() {
  CControlUI* line1 = m_pm.FindControl(u"TipsLable1");
  CControlUI* line2 = m_pm.FindControl(u"TipsLable2");
  if (!line1 || !line2) return;
  int index = ReadTipsIndex();
  if (index < 0 || index > 5) return;
  line1->SetText(kTips[index][0]);
  line2->SetText(kTips[index][1]);
}

void CQvGameLoginWnd::DeleteHistoryRow(int row) {
  int entry = kHistoryRows - 1 - row;
  // Only rows that show an entry can be clicked; anything else has nothing to delete.
  if (row < 0 || row >= kHistoryRows || entry >= static_cast<int>(m_history.size())) return;
  CDuiString deleted = m_history[entry];
  m_history.clear();
  bool autoConnect = false;
  ReadRoomHistory(autoConnect, m_history);
  std::vector<CDuiString> rooms = m_history;
  auto at = std::find(rooms.begin(), rooms.end(), deleted);
  if (at != rooms.end()) rooms.erase(at);
  m_history = rooms;
  WriteRoomHistory(rooms, autoConnect);
  CControlUI* edit = m_pm.FindControl(u"EditID");
  bool editHeldIt = edit && edit->GetText() == deleted;
  ShowHistory(rooms);
  if (editHeldIt) edit->SetText(u"");
}

void CQvGameLoginWnd::ApplyProgress(int percent, int fromPercent, int interval) {
  ::KillTimer(m_hWnd, kProgressTimerId);
  auto* progress = Find<CProgressUI>(m_pm, u"ConnectProgress", u"Progress");
  if (!progress) return;
  if (fromPercent >= 0) {
    m_nProgressTarget = percent;
    ::SetTimer(m_hWnd, kProgressTimerId, static_cast<UINT>(std::max(interval, 0)), nullptr);
    return;
  }
  progress->SetValue(percent);
  if (CControlUI* label = m_pm.FindControl(u"ProgressLable"))
    label->SetText(CDuiString::Formatted(u"%d%%", percent));
  m_nProgressCurrent = percent;
}

void CQvGameLoginWnd::OnProgressTick() {
  ++m_nProgressCurrent;
  if (m_nProgressCurrent >= m_nProgressTarget) {
    ::KillTimer(m_hWnd, kProgressTimerId);
    // The bar has visibly filled: only now does the connection count as made.
    if (m_nProgressTarget == 100)
      NotifySessionWindow<stVirelWebsockMsg>(m_hWnd, WM_WEBSOCK_NOTIFY, WEBSOCK_NOTIFY_CONNECTED, g_SessionGuid,
                                             NotifyDelivery::Post, [](stVirelWebsockMsg&) {});
  }
  if (auto* progress = Find<CProgressUI>(m_pm, u"ConnectProgress", u"Progress")) {
    progress->SetValue(m_nProgressCurrent);
    if (CControlUI* label = m_pm.FindControl(u"ProgressLable"))
      label->SetText(CDuiString::Formatted(u"%d%%", m_nProgressCurrent));
  }
}

void CQvGameLoginWnd::OnNotify(WPARAM kind, LPARAM lParam) {
  std::unique_ptr<stVirelWebsockMsg> record = AcceptSessionRecord(lParam);
  auto* tabs = Find<CTabLayoutUI>(m_pm, u"TabSwitch", u"TabLayout");
  if (!record || !tabs) return;
  switch (kind) {
    case WEBSOCK_NOTIFY_CONNECTED: {
      if (tabs->GetCurSel() != 1) return;
      if (CControlUI* edit = m_pm.FindControl(u"EditID")) {
        CDuiString room = edit->GetText();
        std::vector<CDuiString> rooms = m_history;
        auto at = std::find(rooms.begin(), rooms.end(), room);
        if (at != rooms.end()) rooms.erase(at);
        if (rooms.size() > static_cast<size_t>(kHistoryRows))
          rooms.erase(rooms.begin(), rooms.end() - kHistoryRows);
        rooms.push_back(room);
        auto* check = Find<CCheckBoxUI>(m_pm, u"AutoConnectCheck", u"CheckBox");
        WriteRoomHistory(rooms, check && check->GetCheck());
      }
      ::ShowWindow(m_hWnd, SW_HIDE);
      CQvGameMainWnd& bar = CQvGameMainWnd::Instance();
      if (!bar.GetHWND())
        bar.Create(nullptr, u"Qv直播助手", WS_POPUP | WS_VISIBLE, WS_EX_LAYERED | WS_EX_CLIENTEDGE | WS_EX_WINDOWEDGE);
      bar.ShowWindow(true);
      return;
    }
    case WEBSOCK_NOTIFY_CONNECTERR:
      tabs->SelectItem(0);
      CWebSockSession::Instance().Stop();
      Toast(static_cast<stWebsockConnectErr&>(*record).errText);
      return;
    case WEBSOCK_NOTIFY_PROGRESS: {
      auto& progress = static_cast<stWebsockMainProgress&>(*record);
      ApplyProgress(progress.percent, progress.fromPercent, progress.interval);
      return;
    }
    case WEBSOCK_NOTIFY_USERCOUNT:
      ::OutputDebugStringA("WEBSOCK_NOTIFY_USERCOUNT1\r\n");
      g_nLastUserCount = static_cast<stWebsockMsgUsercount&>(*record).userCount;
      return;
    case WEBSOCK_NOTIFY_USERINFO:
      if (CControlUI* notice = m_pm.FindControl(u"NoticeLable"))
        notice->SetText(CDuiString(u"连接中...") + static_cast<stVirelUserInfo&>(*record).nickname);
      ::InvalidateRect(m_hWnd, nullptr, FALSE);
      return;
    case WEBSOCK_NOTIFY_ONLINESTATE:
      g_bOnline = static_cast<stWebsockMsgOnlineState&>(*record).online != 0;
      return;
    default:
      return;
  }
}

void CQvGameLoginWnd::Notify(TNotifyUI& msg) {
  CDuiString name = msg.pSender ? msg.pSender->GetName() : CDuiString();
  if (msg.sType == u"click") {
    if (name == u"CloseBtn") {
      ::PostQuitMessage(0);
    } else if (name == u"ConnectBtn") {
      Connect();
    } else if (name == u"CancelConnectBtn") {
      Cancel();
    } else if (name.GetLength() == 7 && name.Left(6) == u"DelBtn" && name[6] >= u'0' && name[6] <= u'4') {
      DeleteHistoryRow(name[6] - u'0');
    }
  } else if (msg.sType == u"itemselect" && name == u"RoomIdCombo") {
    auto* combo = static_cast<CComboUI*>(msg.pSender->GetInterface(u"Combo"));
    CControlUI* edit = m_pm.FindControl(u"EditID");
    if (edit && combo && !combo->GetText().IsEmpty()) edit->SetText(combo->GetText());
    // No selection again, so that the same room can be picked twice in a row.
    if (combo) combo->SelectItem(-1, false);
  } else if (msg.sType == u"return") {
    auto* tabs = Find<CTabLayoutUI>(m_pm, u"TabSwitch", u"TabLayout");
    if (tabs && tabs->GetCurSel() == 1)
      Cancel();
    else
      Connect();
  }
}

void CQvGameLoginWnd::Toast(const CDuiString& text) {
  if (CControlUI* label = m_pm.FindControl(u"LableToast")) label->SetText(text);
  m_sToast = text;
  ::InvalidateRect(m_hWnd, nullptr, FALSE);
}

void CQvGameLoginWnd::PaintToast() {
  if (m_sToast.IsEmpty()) return;
  HDC hdc = ::GetDC(m_hWnd);
  RECT rc = kToastRect;
  ::FillRect(hdc, &rc, m_hToastBrush);
  HGDIOBJ old = ::SelectObject(hdc, m_hToastFont);
  ::SetBkMode(hdc, TRANSPARENT);
  ::SetTextColor(hdc, RGB(71, 71, 71));
  ::DrawTextW(hdc, m_sToast, m_sToast.GetLength(), &rc, DT_SINGLELINE | DT_CENTER | DT_VCENTER);
  ::SelectObject(hdc, old);
  ::ReleaseDC(m_hWnd, hdc);
}

LRESULT CQvGameLoginWnd::HitTest(LPARAM lParam) {
  POINT pt{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
  ::ScreenToClient(m_hWnd, &pt);
  CControlUI* control = m_pm.FindControl(pt);
  if (!control) return HTCLIENT;
  CDuiString cls = control->GetClass();
  if (cls == u"ButtonUI" || cls == u"EditUI" || cls == u"CheckBoxUI" || cls == u"ComboUI") return HTCLIENT;
  return HTCAPTION;
}
