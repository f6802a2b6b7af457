#include "ui/WebMsgWnd.h"

#include <algorithm>
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
// At most one layout this often: in a flood a line waits no longer than this for its layout, so it
// shows within a 60 Hz display frame's time of its arrival.
constexpr DWORD kFrameMs = 10;
constexpr UINT_PTR kLayoutTimerId = 0x5EB1;
constexpr UINT WM_WEBMSG_LAYOUT = WM_APP + 1;  // a layout waits in the queue
// Far more than an overlay can show (rows of a work area times the units a row can hold): a
// longer text is kept only up to here.
constexpr int kMaxKeptUnits = 1 << 16;

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

bool IsHighSurrogate(WCHAR c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(WCHAR c) { return c >= 0xDC00 && c <= 0xDFFF; }

// The end of the first character of text that starts at pos (a surrogate pair is one character).
int NextCharEnd(const CDuiString& text, int pos) {
  int end = pos + 1;
  if (end < text.GetLength() && IsHighSurrogate(text[pos]) && IsLowSurrogate(text[end])) ++end;
  return end;
}

bool SplitsPair(const CDuiString& text, int pos) {
  return pos > 0 && pos < text.GetLength() && IsHighSurrogate(text[pos - 1]) && IsLowSurrogate(text[pos]);
}

// Measures runs of text with the overlay's font through one device context of the window.
class Measurer {
 public:
  Measurer(HWND hWnd, HFONT hFont) : m_hWnd(hWnd), m_hdc(::GetDC(hWnd)) {
    if (m_hdc) m_hOldFont = ::SelectObject(m_hdc, hFont);
  }
  ~Measurer() {
    if (!m_hdc) return;
    ::SelectObject(m_hdc, m_hOldFont);
    ::ReleaseDC(m_hWnd, m_hdc);
  }
  Measurer(const Measurer&) = delete;
  Measurer& operator=(const Measurer&) = delete;

  bool Ok() const { return m_hdc != nullptr; }
  SIZE Measure(const WCHAR* text, int length) {
    SIZE sz{0, 0};
    ::GetTextExtentPoint32W(m_hdc, text, length, &sz);
    if (sz.cy > 0) m_nLineHeight = sz.cy;
    return sz;
  }
  int Width(const CDuiString& text, int pos, int end) { return Measure(text.GetData() + pos, end - pos).cx; }
  int LineHeight() const { return m_nLineHeight; }

 private:
  HWND m_hWnd;
  HDC m_hdc;
  HGDIOBJ m_hOldFont = nullptr;
  int m_nLineHeight = 0;
};

// Every character that shows is at least a pixel wide, so no line holds more units than this.
int LineUnitLimit(int usable) { return std::max(usable, 0) + 64; }

// The longest prefix text[pos, end) with end <= limit whose width is at most room, found by
// binary search over the prefix widths (they grow with the prefix). pos itself when nothing fits.
int FitEnd(Measurer& m, const CDuiString& text, int pos, int limit, int room) {
  if (room < 0) return pos;
  if (m.Width(text, pos, limit) <= room) return limit;
  int lo = pos, hi = limit;  // text[pos, lo) fits, text[pos, hi) does not
  while (hi - lo > 1) {
    int mid = lo + (hi - lo) / 2;
    if (SplitsPair(text, mid)) {
      if (mid + 1 < hi)
        ++mid;
      else if (mid - 1 > lo)
        --mid;
      else
        break;
    }
    if (m.Width(text, pos, mid) <= room)
      lo = mid;
    else
      hi = mid;
  }
  return lo;
}

// Wraps text into at most maxLines lines of the usable width, the first starting offset pixels
// in. Text beyond the last allowed line is cut: that line ends with "…". Returns the width of the
// last line; `cut` tells whether anything was left out.
int WrapInto(Measurer& m, std::vector<CDuiString>& lines, const CDuiString& text, int offset, int usable,
             int maxLines, bool& cut) {
  const int length = text.GetLength();
  int pos = 0, lastStart = 0, lastOffset = offset;
  cut = false;
  while (pos < length) {
    if (static_cast<int>(lines.size()) >= maxLines) {
      cut = true;
      break;
    }
    int limit = std::min(length, pos + LineUnitLimit(usable));
    if (SplitsPair(text, limit)) ++limit;
    int end = FitEnd(m, text, pos, limit, usable - offset);
    // A line that starts at the margin takes at least one character, however wide, so that a
    // window too narrow for any character still ends.
    if (end == pos && offset == 0) end = NextCharEnd(text, pos);
    lines.push_back(text.Mid(pos, end - pos));
    lastStart = pos;
    lastOffset = offset;
    pos = end;
    offset = 0;
  }
  if (lines.empty()) return 0;
  if (cut) {
    const CDuiString ellipsis(u"…");
    int room = usable - lastOffset - m.Measure(ellipsis.GetData(), ellipsis.GetLength()).cx;
    int lastEnd = lastStart + lines.back().GetLength();
    int end = FitEnd(m, text, lastStart, lastEnd, room);
    lines.back() = text.Mid(lastStart, end - lastStart) + ellipsis;
  }
  const CDuiString& last = lines.back();
  return last.IsEmpty() ? 0 : m.Measure(last.GetData(), last.GetLength()).cx;
}

// Lays out a line of the overlay: the nickname from the margin, the text right after it, in at
// most `budget` rows.
void LayOutLines(Measurer& m, stWebMsgLines& out, const CDuiString& nick, const CDuiString& text, int usable,
                 int budget) {
  out = stWebMsgLines();
  out.usableWidth = usable;
  out.budget = budget;
  bool cut = false;
  out.nickLastWidth = WrapInto(m, out.nick, nick, 0, usable, budget, cut);
  if (!cut && !text.IsEmpty()) {
    int rowsLeft = out.nick.empty() ? budget : budget - static_cast<int>(out.nick.size()) + 1;
    WrapInto(m, out.text, text, out.nickLastWidth, usable, rowsLeft, cut);
  }
  out.cut = cut;
  out.lineHeight = m.LineHeight();
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

  int Usable() const {
    RECT rcClient{0, 0, 0, 0};
    ::GetClientRect(Hwnd(), &rcClient);
    return (rcClient.right - rcClient.left) - kRightReserve;
  }

  // Gives each item its rows, newest first, within the height the overlay may have below `top`
  // (down to the work area's bottom): a line that would not fit is cut, and older lines that find
  // no room left are not shown (they stay in the list and expire as ever). Returns the height.
  int LayOutItems(int top) {
    Measurer m(Hwnd(), w.m_hFont);
    if (!m.Ok()) return kMargin;
    const int usable = Usable();
    // The work area of the monitor the bar has taken the messages to.
    RECT work{0, 0, 0, 0};
    MONITORINFO info{};
    info.cbSize = sizeof info;
    if (::GetMonitorInfoW(::MonitorFromWindow(Hwnd(), MONITOR_DEFAULTTONEAREST), &info))
      work = info.rcWork;
    else
      ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    const int row = std::max(1, m.Measure(u"0", 1).cy) + kLineGap;
    const int gap = kMessageGap - kLineGap;  // below each message
    int pixelsLeft = work.bottom - top - kMargin;
    bool newest = true;
    for (auto it = w.m_items.rbegin(); it != w.m_items.rend(); ++it) {
      stWebMsgItem* item = *it;
      item->nShownRows = 0;
      // The newest line always shows, at least its first row.
      int rowsLeft = newest ? std::max(1, (pixelsLeft - gap) / row) : (pixelsLeft - gap) / row;
      newest = false;
      if (rowsLeft <= 0) continue;
      stWebMsgLines& lines = item->lines;
      bool stale = lines.usableWidth != usable || (lines.cut && lines.budget != rowsLeft) || lines.Rows() > rowsLeft;
      if (stale) LayOutLines(m, lines, item->sNickName, item->sMsgText, usable, rowsLeft);
      item->nShownRows = lines.Rows();
      pixelsLeft -= item->nShownRows * row + gap;
    }
    int height = kMargin;
    for (stWebMsgItem* item : w.m_items)
      if (item->nShownRows > 0) height += item->nShownRows * (item->lines.lineHeight + kLineGap) + (kMessageGap - kLineGap);
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
    PostLayoutIfDue();
    std::unique_ptr<stVirelWebsockMsg> record = AcceptSessionRecord(lParam);
    if (!record) return;  // stale: deleted without any effect

    if (w.m_pMainWnd) w.m_pMainWnd->WakeForMessage();

    if (kind != WEBSOCK_NOTIFY_CHAT && kind != WEBSOCK_NOTIFY_GIFT && kind != WEBSOCK_NOTIFY_ENTER) return;
    auto* pMsg = dynamic_cast<stVirelMsg*>(record.get());
    if (!pMsg) return;  // a kind whose record does not match it is not shown

    auto* item = new stWebMsgItem;
    item->pRecord = pMsg;
    record.release();
    item->sNickName = pMsg->GetNickNameLeft(kMaxKeptUnits);
    item->sMsgText = pMsg->GetMsgTextLeft(kMaxKeptUnits);
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

    RequestLayout(true);
  }

  // The layout (and so the resize and repaint) of what arrived runs at most once a frame on
  // average, paced by a bucket of two frames' credit: a request with a frame's credit runs at once,
  // others when the credit has come. A single frame of credit locks in phase with a room that
  // sends in batches once a frame: each batch then waits nearly a frame for the layout after it.
  int LayoutCredit(DWORD now) const {  // in ms, at most two frames
    return static_cast<int>(std::min<uint64_t>(2 * kFrameMs, uint64_t{w.m_dwLayoutCredit} + (now - w.m_dwLastLayout)));
  }

  // A timer comes only once the queue is empty, which a flood keeps it from being: each record
  // that finds the credit come posts the layout waiting for the timer itself.
  void PostLayoutIfDue() {
    if (!w.m_bLayoutTimed || LayoutCredit(::GetTickCount()) < static_cast<int>(kFrameMs)) return;
    ::KillTimer(Hwnd(), kLayoutTimerId);
    w.m_bLayoutTimed = false;
    ::PostMessageW(Hwnd(), WM_WEBMSG_LAYOUT, 0, 0);
  }

  void RequestLayout(bool belowBar) {
    w.m_bLayoutBelowBar = w.m_bLayoutBelowBar || belowBar;
    if (w.m_bLayoutPending) return;
    const int credit = LayoutCredit(::GetTickCount());
    w.m_bLayoutPending = true;
    w.m_bLayoutTimed = credit < static_cast<int>(kFrameMs);
    if (w.m_bLayoutTimed)
      ::SetTimer(Hwnd(), kLayoutTimerId, kFrameMs - credit, nullptr);
    else
      ::PostMessageW(Hwnd(), WM_WEBMSG_LAYOUT, 0, 0);
  }

  void RunPendingLayout() {
    ::KillTimer(Hwnd(), kLayoutTimerId);
    if (!w.m_bLayoutPending) return;
    w.m_bLayoutPending = w.m_bLayoutTimed = false;
    const DWORD now = ::GetTickCount();
    w.m_dwLayoutCredit = static_cast<DWORD>(std::max(0, LayoutCredit(now) - static_cast<int>(kFrameMs)));
    w.m_dwLastLayout = now;
    bool belowBar = w.m_bLayoutBelowBar;
    w.m_bLayoutBelowBar = false;
    if (belowBar)
      LayOutBelowBar();
    else
      ShrinkInPlace();
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
    int iHeightTotal = LayOutItems(rcWindow.bottom);
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
    RequestLayout(false);
  }

  void ShrinkInPlace() {
    RECT rc{0, 0, 0, 0};
    ::GetWindowRect(Hwnd(), &rc);
    const int height = LayOutItems(rc.top);
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
      if (item->nShownRows == 0) continue;  // no room left for it under the newer lines
      const stWebMsgLines& lines = item->lines;
      const int h = lines.lineHeight;
      ::SetTextColor(hdc, w.m_crNickname);
      for (size_t i = 0; i < lines.nick.size(); ++i) {
        const CDuiString& line = lines.nick[i];
        if (!line.IsEmpty()) ::TextOutW(hdc, kMargin, y, line.GetData(), line.GetLength());
        if (i + 1 < lines.nick.size()) y += h + kLineGap;
      }
      // The text goes on where the nickname's last line ends.
      ::SetTextColor(hdc, w.m_crText);
      for (size_t i = 0; i < lines.text.size(); ++i) {
        const CDuiString& line = lines.text[i];
        int x = i == 0 ? kMargin + lines.nickLastWidth : kMargin;
        if (!line.IsEmpty()) ::TextOutW(hdc, x, y, line.GetData(), line.GetLength());
        y += h;
        if (i + 1 < lines.text.size()) y += kLineGap;
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
      DiscardSessionRecords(m_hWnd);
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
    case WM_WEBMSG_LAYOUT:
      ops.RunPendingLayout();
      return 0;
    case WM_TIMER:
      if (wParam != kLayoutTimerId) break;
      ops.RunPendingLayout();
      return 0;
    default:
      break;
  }
  LRESULT lRes = 0;
  if (m_pm.MessageHandler(uMsg, wParam, lParam, lRes)) return lRes;
  return CWindowWnd::HandleMessage(uMsg, wParam, lParam);
}
