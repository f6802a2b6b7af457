#include "ui/WebMsgWnd.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <vector>

#include "dui/DialogBuilder.h"
#include "messages/VirelWebsockMsg.h"
#include "net/SessionNotify.h"
#include "platform/win32.h"
#include "ui/MainWnd.h"

namespace {

constexpr int kMargin = 12;
constexpr int kRightReserve = 22;
constexpr int kLineGap = 2;
constexpr int kMessageGap = 10;

WPARAM NextSerial() {
  static std::atomic<WPARAM> s_serial{0};
  return ++s_serial;
}

void CALLBACK ItemTimerProc(UINT, UINT, DWORD_PTR dwUser, DWORD_PTR, DWORD_PTR) {
  // The item outlives every callback of its timers: it is freed only after a synchronous kill or
  // once its one-shot has posted, and nothing here reads it after the post.
  const auto* item = reinterpret_cast<const stWebMsgItem*>(dwUser);
  ::PostMessageW(item->hWndTarget, WM_WEBMSG_TIMEOUT, item->uSerial, 0);
}

void ArmTimer(stWebMsgItem* item) {
  item->uSerial = NextSerial();
  item->uTimerId = ::timeSetEvent(WEBMSG_LIFETIME_MS, 0, &ItemTimerProc, reinterpret_cast<DWORD_PTR>(item),
                                  TIME_ONESHOT | TIME_KILL_SYNCHRONOUS);
}

void KillTimer(stWebMsgItem* item) {
  if (item->uTimerId != 0) ::timeKillEvent(item->uTimerId);
  item->uTimerId = 0;
}

// Frees an item that has left the list, with its record. Its timer must be dead already.
void FreeItem(stWebMsgItem* item) {
  delete item->pRecord;  // through the root's virtual destructor
  delete item;
}

struct Wrapped {
  std::vector<CDuiString> lines;
  int lineHeight = 0;
  int lastWidth = 0;
};

bool IsHighSurrogate(WCHAR c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(WCHAR c) { return c >= 0xDC00 && c <= 0xDFFF; }

// The end of the first character of text that starts at pos (a surrogate pair is one character).
int NextCharEnd(const CDuiString& text, int pos) {
  int end = pos + 1;
  if (end < text.GetLength() && IsHighSurrogate(text[pos]) && IsLowSurrogate(text[end])) ++end;
  return end;
}

// Splits text into lines that fit the usable width of hWnd, the first starting startOffset pixels
// in. Every measurement sets the line height and the last width, so the last width ends up being
// the width of the last line.
Wrapped WrapText(HWND hWnd, HFONT hFont, const CDuiString& text, int startOffset) {
  Wrapped out;
  RECT rcClient{0, 0, 0, 0};
  ::GetClientRect(hWnd, &rcClient);
  const int usable = (rcClient.right - rcClient.left) - kRightReserve;
  HDC hdc = ::GetDC(hWnd);
  if (!hdc) return out;
  HGDIOBJ hOldFont = ::SelectObject(hdc, hFont);

  int pos = 0;
  int offset = startOffset;
  const int length = text.GetLength();
  while (pos < length) {
    int fitEnd = pos;
    for (int end = NextCharEnd(text, pos);; end = NextCharEnd(text, end)) {
      SIZE sz{0, 0};
      ::GetTextExtentPoint32W(hdc, text.GetData() + pos, end - pos, &sz);
      out.lineHeight = sz.cy;
      out.lastWidth = sz.cx;
      if (sz.cx + offset > usable) break;
      fitEnd = end;
      if (end >= length) break;
    }
    // A line that starts at the margin takes at least one character, however wide, so that a
    // window too narrow for any character still ends.
    // (The only measurement of such a line was that character, so the last width is right.)
    if (fitEnd == pos && offset == 0) fitEnd = NextCharEnd(text, pos);
    out.lines.push_back(text.Mid(pos, fitEnd - pos));
    pos = fitEnd;
    offset = 0;
  }

  ::SelectObject(hdc, hOldFont);
  ::ReleaseDC(hWnd, hdc);
  return out;
}

}  // namespace

CQvGameWebMsgWnd::CQvGameWebMsgWnd(HWND hWndMainBar, HWND hWndMask, CQvGameMainWnd* pMainWnd)
    : m_hWndMask(hWndMask), m_pMainWnd(pMainWnd) {
  (void)hWndMainBar;  // the bar is reached through its object
  LOGFONTW lf;
  std::memset(&lf, 0, sizeof lf);
  lf.lfHeight = 13;
  const char16_t face[] = u"宋体";
  std::memcpy(lf.lfFaceName, face, sizeof face);
  m_hFont = ::CreateFontIndirectW(&lf);
  m_hBkBrush = ::CreateSolidBrush(RGB(0, 0, 0));
}

CQvGameWebMsgWnd::~CQvGameWebMsgWnd() {
  // Kill every timer first (synchronously), so no callback can post for or read a freed item.
  for (stWebMsgItem* item : m_items) KillTimer(item);
  for (stWebMsgItem* item : m_items) FreeItem(item);
  m_items.clear();
  if (m_hFont) ::DeleteObject(m_hFont);
  if (m_hBkBrush) ::DeleteObject(m_hBkBrush);
  m_hFont = nullptr;
  m_hBkBrush = nullptr;
}

namespace {

// The overlay's private operations, kept out of the header.
struct WebMsgOps {
  CQvGameWebMsgWnd& w;

  HWND Hwnd() const { return w.GetHWND(); }

  int CalcTotalHeight() const {
    int height = kMargin;
    for (stWebMsgItem* item : w.m_items) {
      Wrapped wr = WrapText(Hwnd(), w.m_hFont, item->pRecord->GetNickName() + item->pRecord->GetMsgText(), 0);
      int n = static_cast<int>(wr.lines.size());
      if (n > 0) height += n * (wr.lineHeight + kLineGap) + (kMessageGap - kLineGap);
    }
    return height;
  }

  void OnCreate() {
    w.m_pm.Init(Hwnd());
    CDialogBuilder builder;
    CControlUI* pRoot = builder.Create(u"WebMsgWnd.xml", nullptr, nullptr, &w.m_pm);
    if (pRoot) w.m_pm.AttachDialog(pRoot);
    w.m_pm.AddNotifier(&w);
    // Black is the colour key: the background vanishes, the text stays fully opaque.
    ::SetLayeredWindowAttributes(Hwnd(), RGB(0, 0, 0), 255, LWA_COLORKEY | LWA_ALPHA);
    ::SetWindowPos(Hwnd(), HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_SHOWWINDOW);
  }

  void OnWebsockNotify(WPARAM kind, LPARAM lParam) {
    std::unique_ptr<stVirelWebsockMsg> record = AcceptSessionRecord(lParam);
    if (!record) return;  // stale: deleted without any effect

    if (w.m_pMainWnd) w.m_pMainWnd->WakeForMessage();

    if (kind != WEBSOCK_NOTIFY_CHAT && kind != WEBSOCK_NOTIFY_GIFT && kind != WEBSOCK_NOTIFY_ENTER) return;
    auto* pMsg = dynamic_cast<stVirelMsg*>(record.get());
    if (!pMsg) return;  // a kind whose record does not match it is not shown

    auto* item = new stWebMsgItem;
    item->pRecord = pMsg;
    record.release();
    item->pWnd = &w;
    item->hWndTarget = Hwnd();
    ArmTimer(item);

    if (static_cast<int>(w.m_items.size()) >= MAX_WEBMSG_COUNT) {
      stWebMsgItem* oldest = w.m_items.front();
      KillTimer(oldest);
      w.m_items.pop_front();
      FreeItem(oldest);
      ::OutputDebugStringA("erase\r\n");
    }
    w.m_items.push_back(item);

    LayOutBelowBar();
  }

  void LayOutBelowBar() {
    RECT rcWindow{0, 0, 0, 0};
    // Without the bar's window, stay where the overlay is.
    HWND hWndBar = w.m_pMainWnd ? w.m_pMainWnd->GetHWND() : nullptr;
    if (!hWndBar || !::GetWindowRect(hWndBar, &rcWindow)) {
      RECT rcSelf{0, 0, 0, 0};
      ::GetWindowRect(Hwnd(), &rcSelf);
      rcWindow = RECT{rcSelf.left, rcSelf.top, rcSelf.right, rcSelf.top};
    }
    int iHeightTotal = CalcTotalHeight();
    char trace[200];
    std::snprintf(trace, sizeof trace,
                  "rcWindow.left:%d,rcWindow.top:%d,rcWindow.right:%d,rcWindow.bottom:%d iHeightTotal:%d\r\n",
                  static_cast<int>(rcWindow.left), static_cast<int>(rcWindow.top), static_cast<int>(rcWindow.right),
                  static_cast<int>(rcWindow.bottom), iHeightTotal);
    ::OutputDebugStringA(trace);
    const int width = rcWindow.right - rcWindow.left;
    ::MoveWindow(Hwnd(), rcWindow.left, rcWindow.bottom, width, iHeightTotal, TRUE);
    if (w.m_hWndMask) {
      ::MoveWindow(w.m_hWndMask, rcWindow.left, rcWindow.bottom, width, iHeightTotal, TRUE);
      ::InvalidateRect(w.m_hWndMask, nullptr, TRUE);
    }
    ::InvalidateRect(Hwnd(), nullptr, TRUE);
  }

  void OnItemTimeout(WPARAM serial) {
    if (w.m_items.empty()) return;
    if (w.m_items.size() == 1) {
      // The last line never expires. A timer of it that may still run is killed first, so the
      // item never has two.
      stWebMsgItem* only = w.m_items.front();
      if (only->uSerial == serial)
        only->uTimerId = 0;  // this one-shot has fired
      else
        KillTimer(only);
      ArmTimer(only);
      return;
    }
    for (auto it = w.m_items.begin(); it != w.m_items.end(); ++it) {
      if ((*it)->uSerial != serial) continue;
      stWebMsgItem* item = *it;
      item->uTimerId = 0;  // fired; the callback touches nothing after its post
      w.m_items.erase(it);
      FreeItem(item);
      break;
    }

    RECT rc{0, 0, 0, 0};
    ::GetWindowRect(Hwnd(), &rc);
    const int height = CalcTotalHeight();
    ::MoveWindow(Hwnd(), rc.left, rc.top, rc.right - rc.left, height, TRUE);
    if (w.m_hWndMask) ::MoveWindow(w.m_hWndMask, rc.left, rc.top, rc.right - rc.left, height, TRUE);
    ::InvalidateRect(Hwnd(), nullptr, TRUE);
  }

  void OnPaint() {
    PAINTSTRUCT ps;
    HDC hdc = ::BeginPaint(Hwnd(), &ps);
    if (!hdc) return;
    RECT rcClient{0, 0, 0, 0};
    ::GetClientRect(Hwnd(), &rcClient);
    ::FillRect(hdc, &rcClient, w.m_hBkBrush);
    HGDIOBJ hOldFont = ::SelectObject(hdc, w.m_hFont);
    ::SetBkMode(hdc, TRANSPARENT);

    int y = kMargin;
    for (stWebMsgItem* item : w.m_items) {
      Wrapped nick = WrapText(Hwnd(), w.m_hFont, item->pRecord->GetNickName(), 0);
      ::SetTextColor(hdc, w.m_crNickname);
      for (size_t i = 0; i < nick.lines.size(); ++i) {
        const CDuiString& line = nick.lines[i];
        if (!line.IsEmpty()) ::TextOutW(hdc, kMargin, y, line.GetData(), line.GetLength());
        if (i + 1 < nick.lines.size()) y += nick.lineHeight + kLineGap;
      }
      // The text goes on where the nickname's last line ends.
      Wrapped text = WrapText(Hwnd(), w.m_hFont, item->pRecord->GetMsgText(), nick.lastWidth);
      ::SetTextColor(hdc, w.m_crText);
      for (size_t i = 0; i < text.lines.size(); ++i) {
        const CDuiString& line = text.lines[i];
        int x = i == 0 ? kMargin + nick.lastWidth : kMargin;
        if (!line.IsEmpty()) ::TextOutW(hdc, x, y, line.GetData(), line.GetLength());
        y += text.lineHeight;
        if (i + 1 < text.lines.size()) y += kLineGap;
      }
      y += kMessageGap;
    }
    if (w.m_items.empty()) {
      const CDuiString welcome(u"欢迎使用Qv直播助手");
      ::SetTextColor(hdc, w.m_crText);
      ::TextOutW(hdc, kMargin, kMargin, welcome.GetData(), welcome.GetLength());
    }

    ::SelectObject(hdc, hOldFont);
    ::EndPaint(Hwnd(), &ps);
  }
};

}  // namespace

LRESULT CQvGameWebMsgWnd::HandleMessage(UINT uMsg, WPARAM wParam, LPARAM lParam) {
  WebMsgOps ops{*this};
  switch (uMsg) {
    case WM_CREATE:
      ops.OnCreate();
      return 0;
    case WM_DESTROY:
      ::PostQuitMessage(0);
      break;
    case WM_PAINT:
      ops.OnPaint();
      return 0;
    case WM_NCHITTEST:
      return HTCLIENT;
    case WM_NCACTIVATE:
      if (!::IsIconic(m_hWnd)) return wParam == 0 ? 1 : 0;
      break;
    case WM_NCCALCSIZE:
      return 0;
    case WM_WEBSOCK_NOTIFY:
      if (lParam) ops.OnWebsockNotify(wParam, lParam);
      return 0;
    case WM_WEBMSG_TIMEOUT:
      ops.OnItemTimeout(wParam);
      return 0;
    default:
      break;
  }
  LRESULT lRes = 0;
  if (m_pm.MessageHandler(uMsg, wParam, lParam, lRes)) return lRes;
  return CWindowWnd::HandleMessage(uMsg, wParam, lParam);
}
