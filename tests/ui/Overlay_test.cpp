// The room-message overlay and the mask under it, on the headless desktop: layout below the bar,
// the 15-line limit, expiry on the layer's clock, wrapping and colours read back from the
// window's pixels, click-through, and clean-up.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "messages/VirelWebsockMsg.h"
#include "net/SessionNotify.h"
#include "platform/testing.h"
#include "platform/testing_gdi.h"
#include "platform/testing_input.h"
#include "platform/win32.h"
#include "support/TraceCapture.h"
#include "support/WindowFixture.h"
#include "ui/AlphaWnd.h"
#include "ui/MainWnd.h"
#include "ui/WebMsgWnd.h"

using qvplatform::testing::Image;
using qvtest::PumpPending;

namespace {

// The fonts' aliases and the layouts come from the source tree.
const bool g_fontsAliased = [] {
  qvplatform::testing::SetFontConfigFile(std::string(QV_SOURCE_DIR) + "/Skins/fonts.conf");
  return true;
}();

// Not at static initialisation: the framework's own statics may not exist yet.
void UseSourceSkins() {
  std::string skins = std::string(QV_SOURCE_DIR) + "/Skins";
  CPaintManagerUI::SetResourcePath(std::u16string(skins.begin(), skins.end()).c_str());
}

constexpr GUID kSession = {0x1234abcd, 0x1111, 0x2222, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr int kBarLeft = 100, kBarTop = 200, kBarWidth = 300, kBarHeight = 40;

std::atomic<int> g_freedRecords{0};

// A chat record that counts its own deletion.
struct CountedChat : stVirelMsgChat {
  ~CountedChat() override { ++g_freedRecords; }
};

// The real bar's behaviour (WakeForMessage, ApplyVisibility) on a plain native window: its own
// creation (layout, session, tray, hook) stays out of these tests.
class TestBar : public CQvGameMainWnd {
 protected:
  LPCWSTR GetWindowClassName() const override { return u"QvOverlayTestBar"; }
  LRESULT HandleMessage(UINT uMsg, WPARAM wParam, LPARAM lParam) override {
    return ::DefWindowProcW(m_hWnd, uMsg, wParam, lParam);
  }
};

RECT WindowRect(HWND hwnd) {
  RECT rc{0, 0, 0, 0};
  ::GetWindowRect(hwnd, &rc);
  return rc;
}

std::string RectText(const RECT& rc) {
  return std::to_string(rc.left) + "," + std::to_string(rc.top) + "," + std::to_string(rc.right) + "," +
         std::to_string(rc.bottom);
}

// Pumps until done() holds, bounded in real time so that a frozen clock cannot stall it.
bool PumpUntilReal(const std::function<bool()>& done) {
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  for (;;) {
    PumpPending();
    if (done()) return true;
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::yield();
  }
}

void CALLBACK SetFlag(UINT, UINT, DWORD_PTR user, DWORD_PTR, DWORD_PTR) {
  reinterpret_cast<std::atomic<bool>*>(user)->store(true);
}

// Runs a 1 ms one-shot through the multimedia timer thread (moving the frozen clock by 1 ms):
// every callback due before it has run by then.
void DrainTimerThread() {
  std::atomic<bool> done{false};
  ASSERT_NE(0u, ::timeSetEvent(1, 0, SetFlag, reinterpret_cast<DWORD_PTR>(&done), TIME_ONESHOT));
  qvplatform::testing::AdvanceClock(1);
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!done.load()) {
    ASSERT_LT(std::chrono::steady_clock::now(), end) << "the timer thread did not run a 1 ms timer";
    std::this_thread::yield();
  }
}

SIZE MeasureWith(HFONT font, const CDuiString& text) {
  SIZE sz{0, 0};
  HDC hdc = ::GetDC(nullptr);
  HGDIOBJ old = ::SelectObject(hdc, font);
  ::GetTextExtentPoint32W(hdc, text.GetData(), text.GetLength(), &sz);
  ::SelectObject(hdc, old);
  ::ReleaseDC(nullptr, hdc);
  return sz;
}

struct ClockRestorer {
  ~ClockRestorer() { qvplatform::testing::SetClockSpeed(1); }
};

struct Draw {
  int x;
  int y;
  CDuiString text;
  COLORREF color;
};

// The bar, the mask it owns and the overlay owned by the mask, placed as the bar places them.
class Overlay : public ::testing::Test {
 protected:
  void SetUp() override {
    UseSourceSkins();
    g_SessionGuid = kSession;
    g_freedRecords = 0;
    OpenWindows(kBarWidth);
  }

  void TearDown() override {
    bar.m_pWebMsgWnd = nullptr;
    bar.m_pAlphaWnd = nullptr;
    if (::IsWindow(bar.GetHWND())) ::DestroyWindow(bar.GetHWND());
    PumpPending();
    delete overlay;
    overlay = nullptr;
    g_SessionGuid = GUID{};
  }

  void OpenWindows(int barWidth) {
    ASSERT_TRUE(bar.Create(nullptr, u"bar", WS_POPUP | WS_VISIBLE, 0, kBarLeft, kBarTop, barWidth, kBarHeight));
    const DWORD exStyle = WS_EX_NOACTIVATE | WS_EX_LAYERED | WS_EX_TRANSPARENT;
    ASSERT_TRUE(mask.Create(bar.GetHWND(), u"Qv直播助手面罩", WS_POPUP | WS_VISIBLE, exStyle));
    overlay = new CQvGameWebMsgWnd(bar.GetHWND(), mask.GetHWND(), &bar);
    ASSERT_TRUE(overlay->Create(mask.GetHWND(), u"Qv直播助手消息窗体", WS_POPUP | WS_VISIBLE, exStyle));
    ::MoveWindow(mask.GetHWND(), kBarLeft, kBarTop + kBarHeight, barWidth, 35, TRUE);
    ::MoveWindow(overlay->GetHWND(), kBarLeft, kBarTop + kBarHeight, barWidth, 35, TRUE);
    bar.m_pWebMsgWnd = overlay;
    bar.m_pAlphaWnd = &mask;
    PumpPending();
  }

  HWND Hwnd() const { return overlay->GetHWND(); }

  // Posts a chat record of the given session as the decoder does.
  void PostChat(const char16_t* nick, const char16_t* content, const GUID& guid = kSession) {
    ASSERT_TRUE(NotifySessionWindow<CountedChat>(Hwnd(), WM_WEBSOCK_NOTIFY, WEBSOCK_NOTIFY_CHAT, guid,
                                                 NotifyDelivery::Post, [&](CountedChat& r) {
                                                   r.nickname = nick;
                                                   r.content = content;
                                                 }));
  }

  void PostEnter(const char16_t* nick) {
    ASSERT_TRUE(NotifySessionWindow<stVirelMsgEnter>(Hwnd(), WM_WEBSOCK_NOTIFY, WEBSOCK_NOTIFY_ENTER, kSession,
                                                     NotifyDelivery::Post,
                                                     [&](stVirelMsgEnter& r) { r.nickname = nick; }));
  }

  SIZE Measure(const CDuiString& text) { return MeasureWith(overlay->m_hFont, text); }

  int Height() {
    RECT rc = WindowRect(Hwnd());
    return rc.bottom - rc.top;
  }

  // The lines of text by the rule "as many characters as fit, at least one on a line that
  // starts at the margin".
  std::vector<CDuiString> Lines(const CDuiString& text, int offset, int usable) {
    std::vector<CDuiString> lines;
    int pos = 0;
    while (pos < text.GetLength()) {
      int n = 0;
      while (pos + n < text.GetLength() && Measure(text.Mid(pos, n + 1)).cx + offset <= usable) ++n;
      if (n == 0 && offset == 0) n = 1;
      lines.push_back(text.Mid(pos, n));
      pos += n;
      offset = 0;
    }
    return lines;
  }

  // Compares the overlay's pixels with the given texts drawn on black with its font.
  ::testing::AssertionResult PaintedAs(const std::vector<Draw>& draws) {
    Image img;
    if (!qvplatform::testing::ReadWindowPixels(Hwnd(), img) || img.width == 0)
      return ::testing::AssertionFailure() << "the overlay never painted";
    HDC screen = ::GetDC(nullptr);
    HDC mem = ::CreateCompatibleDC(screen);
    HBITMAP bmp = ::CreateCompatibleBitmap(screen, img.width, img.height);
    ::ReleaseDC(nullptr, screen);
    HGDIOBJ oldBmp = ::SelectObject(mem, bmp);
    RECT all{0, 0, img.width, img.height};
    HBRUSH black = ::CreateSolidBrush(RGB(0, 0, 0));
    ::FillRect(mem, &all, black);
    ::DeleteObject(black);
    HGDIOBJ oldFont = ::SelectObject(mem, overlay->m_hFont);
    ::SetBkMode(mem, TRANSPARENT);
    for (const Draw& d : draws) {
      ::SetTextColor(mem, d.color);
      ::TextOutW(mem, d.x, d.y, d.text.GetData(), d.text.GetLength());
    }
    int mismatches = 0;
    std::string first;
    for (int y = 0; y < img.height; ++y) {
      for (int x = 0; x < img.width; ++x) {
        if (::GetPixel(mem, x, y) == img.At(x, y)) continue;
        if (mismatches++ == 0) first = "(" + std::to_string(x) + "," + std::to_string(y) + ")";
      }
    }
    ::SelectObject(mem, oldFont);
    ::SelectObject(mem, oldBmp);
    ::DeleteObject(bmp);
    ::DeleteDC(mem);
    if (mismatches == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << mismatches << " pixels differ, the first at " << first;
  }

  TestBar bar;
  CQvGameAlphaWnd mask;
  CQvGameWebMsgWnd* overlay = nullptr;
};

// Overlays that start from another bar width.
class NarrowOverlay : public Overlay {
 protected:
  void SetUp() override {
    UseSourceSkins();
    g_SessionGuid = kSession;
    g_freedRecords = 0;
  }
};

TEST_F(Overlay, FirstMessageHangsBelowTheBarSizedToItsLineAndTheMaskFollows) {
  qvtest::TraceCapture traces;
  PostChat(u"Ann", u"hi");
  PumpPending();

  ASSERT_EQ(overlay->m_items.size(), 1u);
  const int h = Measure(u"Ann 说:hi").cy;
  ASSERT_GT(h, 0);
  const int height = 12 + (h + 2) + 8;
  const RECT want{kBarLeft, kBarTop + kBarHeight, kBarLeft + kBarWidth, kBarTop + kBarHeight + height};
  EXPECT_EQ(RectText(WindowRect(Hwnd())), RectText(want));
  EXPECT_EQ(RectText(WindowRect(mask.GetHWND())), RectText(want));
  EXPECT_TRUE(traces.Contains("rcWindow.left:100,rcWindow.top:200,rcWindow.right:400,rcWindow.bottom:240 "
                              "iHeightTotal:" +
                              std::to_string(height) + "\r\n"));
  EXPECT_EQ(g_freedRecords, 0) << "a shown record is kept";
  EXPECT_NE(overlay->m_items.front()->uTimerId, 0u);
}

TEST_F(Overlay, StaleNullAndUnshownNotificationsAddNothing) {
  // Everything hidden, as after the bar's auto-hide.
  bar.m_bVisible = false;
  bar.m_bExpanded = false;
  ::ShowWindow(bar.GetHWND(), SW_HIDE);
  ::ShowWindow(Hwnd(), SW_HIDE);
  ::ShowWindow(mask.GetHWND(), SW_HIDE);
  const RECT before = WindowRect(Hwnd());

  GUID stale = kSession;
  stale.Data4[7] ^= 1;
  PostChat(u"Old", u"stale", stale);
  ASSERT_TRUE(::PostMessageW(Hwnd(), WM_WEBSOCK_NOTIFY, WEBSOCK_NOTIFY_CHAT, 0));
  PumpPending();
  EXPECT_EQ(g_freedRecords, 1) << "the stale record is freed";
  EXPECT_TRUE(overlay->m_items.empty());
  EXPECT_FALSE(bar.m_bVisible);
  EXPECT_FALSE(bar.m_bExpanded);
  EXPECT_FALSE(::IsWindowVisible(bar.GetHWND()));
  EXPECT_FALSE(::IsWindowVisible(Hwnd()));
  EXPECT_FALSE(::IsWindowVisible(mask.GetHWND()));
  EXPECT_EQ(RectText(WindowRect(Hwnd())), RectText(before));

  // A current record, even of a kind the overlay does not show, brings back the bar with the
  // messages; this one adds no line.
  ASSERT_TRUE(NotifySessionWindow<stWebsockMsgUsercount>(Hwnd(), WM_WEBSOCK_NOTIFY, WEBSOCK_NOTIFY_USERCOUNT,
                                                         kSession, NotifyDelivery::Post,
                                                         [](stWebsockMsgUsercount& r) { r.userCount = 7; }));
  PumpPending();
  EXPECT_TRUE(overlay->m_items.empty());
  EXPECT_TRUE(bar.m_bVisible);
  EXPECT_TRUE(bar.m_bExpanded);
  EXPECT_TRUE(::IsWindowVisible(bar.GetHWND()));
  EXPECT_TRUE(::IsWindowVisible(Hwnd()));
  EXPECT_TRUE(::IsWindowVisible(mask.GetHWND()));
  EXPECT_EQ(RectText(WindowRect(Hwnd())), RectText(before));
}

TEST_F(Overlay, SixteenthMessagePushesOutTheOldestAndItsQueuedExpiryRemovesNothing) {
  ClockRestorer restorer;
  qvplatform::testing::FreezeClock();
  qvtest::TraceCapture traces;
  for (int i = 0; i < 15; ++i) {
    std::u16string nick = u"user" + std::u16string(1, static_cast<char16_t>(u'a' + i));
    PostChat(nick.c_str(), u"x");
    PumpPending();
    qvplatform::testing::AdvanceClock(10);
  }
  ASSERT_EQ(overlay->m_items.size(), 15u);
  EXPECT_FALSE(traces.Contains("erase\r\n"));
  const int fullHeight = Height();

  // The oldest line's expiry is queued, but the 16th message is handled before it.
  qvplatform::testing::AdvanceClock(30000 - 150);
  MSG expiry{};
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!::PeekMessageW(&expiry, Hwnd(), WM_WEBMSG_TIMEOUT, WM_WEBMSG_TIMEOUT, PM_REMOVE)) {
    ASSERT_LT(std::chrono::steady_clock::now(), end) << "the oldest line did not expire";
    std::this_thread::yield();
  }
  auto* newest = new CountedChat;
  newest->connectGuid = kSession;
  newest->nickname = u"userp";
  newest->content = u"x";
  ::SendMessageW(Hwnd(), WM_WEBSOCK_NOTIFY, WEBSOCK_NOTIFY_CHAT, reinterpret_cast<LPARAM>(newest));
  EXPECT_EQ(overlay->m_items.size(), 15u);
  EXPECT_EQ(g_freedRecords, 1) << "the pushed-out record is freed";
  EXPECT_TRUE(traces.Contains("erase\r\n"));
  EXPECT_EQ(overlay->m_items.front()->pRecord->GetNickName(), CDuiString(u"userb"));
  EXPECT_EQ(overlay->m_items.back()->pRecord, newest);
  // Another message allocates more items before the stale expiry arrives.
  PostChat(u"userq", u"x");
  PumpPending();
  ASSERT_EQ(overlay->m_items.size(), 15u);
  EXPECT_EQ(g_freedRecords, 2);
  std::vector<stWebMsgItem*> itemsBefore(overlay->m_items.begin(), overlay->m_items.end());

  ::DispatchMessageW(&expiry);
  PumpPending();
  std::vector<stWebMsgItem*> itemsAfter(overlay->m_items.begin(), overlay->m_items.end());
  EXPECT_EQ(itemsAfter, itemsBefore) << "the expiry of a pushed-out line removed another";
  EXPECT_EQ(g_freedRecords, 2);
  EXPECT_EQ(Height(), fullHeight);
}

// Layouts are paced to one a frame (10 ms) on average: a second request right after a layout still
// runs at once (a batch that arrives just after one does not wait a frame), a third waits for its
// frame, and a flood lays out about once a frame.
TEST_F(Overlay, LayoutsRunAtOnceWithCreditAndAboutOnceAFrameInAFlood) {
  ClockRestorer restorer;
  qvplatform::testing::FreezeClock();
  qvplatform::testing::AdvanceClock(100);  // two frames of credit
  qvtest::TraceCapture traces;
  auto layouts = [&] {
    int n = 0;
    for (const std::string& line : traces.Lines()) n += line.rfind("rcWindow.left:", 0) == 0;
    return n;
  };
  PostChat(u"a", u"x");
  PumpPending();
  EXPECT_EQ(layouts(), 1);
  PostChat(u"b", u"x");
  PumpPending();
  EXPECT_EQ(layouts(), 2) << "the second layout waited";
  PostChat(u"c", u"x");
  PumpPending();
  EXPECT_EQ(layouts(), 2) << "no credit left, yet laid out at once";
  qvplatform::testing::AdvanceClock(10);
  ASSERT_TRUE(PumpUntilReal([&] { return layouts() == 3; }));

  for (int i = 0; i < 200; ++i) {
    PostChat(u"flood", u"x");
    PumpPending();
    qvplatform::testing::AdvanceClock(1);
  }
  qvplatform::testing::AdvanceClock(10);  // the last frame's layout
  ASSERT_TRUE(PumpUntilReal([&] { return !overlay->m_bLayoutPending; }));
  EXPECT_GE(layouts(), 3 + 18);
  EXPECT_LE(layouts(), 3 + 23) << "200 ms of flood";

  // Timers come only when the queue is empty, which a flood keeps it from being: a record that
  // finds the credit come posts the layout waiting for the timer.
  auto pumpPosted = [] {
    MSG m;
    while (::PeekMessageW(&m, nullptr, WM_USER, WM_APP + 0xFF, PM_REMOVE)) ::DispatchMessageW(&m);
  };
  int seen;
  do {
    seen = layouts();
    PostChat(u"d", u"x");
    pumpPosted();
  } while (layouts() > seen);
  qvplatform::testing::AdvanceClock(10);
  PostChat(u"e", u"x");
  pumpPosted();
  EXPECT_EQ(layouts(), seen + 1) << "the layout waited for its timer";
}

TEST_F(Overlay, OldestLineExpiresAfter30SecondsAndTheLastLineStays) {
  ClockRestorer restorer;
  qvplatform::testing::FreezeClock();
  // A long first message (two lines) makes its share of the height distinct.
  PostChat(u"Ann", u"一二三四五六七八九十一二三四五六七八九十一二三四五六七八九十");
  PumpPending();
  qvplatform::testing::AdvanceClock(1000);
  PostChat(u"Bob", u"yo");
  PumpPending();
  qvplatform::testing::AdvanceClock(1000);
  PostEnter(u"Cy");
  PumpPending();
  ASSERT_EQ(overlay->m_items.size(), 3u);
  const RECT three = WindowRect(Hwnd());
  const int h = Measure(u"Bob 说:yo").cy;
  const int usable = kBarWidth - 22;
  const int firstLines =
      static_cast<int>(Lines(u"Ann 说:一二三四五六七八九十一二三四五六七八九十一二三四五六七八九十", 0, usable).size());
  ASSERT_GE(firstLines, 2);

  qvplatform::testing::AdvanceClock(30000 - 2000 - 2);
  DrainTimerThread();  // 29 999 ms after the first message: everything due has run
  PumpPending();
  ASSERT_EQ(overlay->m_items.size(), 3u) << "expired early";
  qvplatform::testing::AdvanceClock(1);
  ASSERT_TRUE(PumpUntilReal([&] { return overlay->m_items.size() == 2; }));
  RECT two = WindowRect(Hwnd());
  EXPECT_EQ(two.left, three.left);
  EXPECT_EQ(two.top, three.top);
  EXPECT_EQ(two.right, three.right);
  EXPECT_EQ((three.bottom - three.top) - (two.bottom - two.top), firstLines * (h + 2) + 8);
  EXPECT_EQ(RectText(WindowRect(mask.GetHWND())), RectText(two));
  EXPECT_EQ(g_freedRecords, 1);

  qvplatform::testing::AdvanceClock(1000);
  ASSERT_TRUE(PumpUntilReal([&] { return overlay->m_items.size() == 1; }));
  EXPECT_EQ(Height(), 12 + (h + 2) + 8);

  // The last line's expiry only starts its timer again, every time.
  for (int round = 0; round < 2; ++round) {
    const UINT timer = overlay->m_items.front()->uTimerId;
    ASSERT_NE(timer, 0u);
    qvplatform::testing::AdvanceClock(30000);
    ASSERT_TRUE(PumpUntilReal([&] { return overlay->m_items.front()->uTimerId != timer; }));
    DrainTimerThread();
    PumpPending();
    ASSERT_EQ(overlay->m_items.size(), 1u);
    EXPECT_NE(overlay->m_items.front()->uTimerId, 0u);
    EXPECT_EQ(overlay->m_items.front()->pRecord->GetNickName(), CDuiString(u"Cy"));
    EXPECT_EQ(Height(), 12 + (h + 2) + 8);
  }
}

TEST_F(Overlay, EmptyOverlayShowsTheWelcomeLineAndLinesUseTheSkinColours) {
  ::InvalidateRect(Hwnd(), nullptr, TRUE);
  PumpPending();
  EXPECT_TRUE(PaintedAs({{12, 12, u"欢迎使用Qv直播助手", RGB(134, 241, 116)}}));

  // The bar's default skin; an entry is the nickname followed directly by 进入房间.
  overlay->m_crNickname = RGB(255, 212, 82);
  overlay->m_crText = RGB(255, 255, 255);
  PostEnter(u"Ann");
  PumpPending();
  const int wNick = Measure(u"Ann").cx;
  EXPECT_TRUE(PaintedAs({{12, 12, u"Ann", RGB(255, 212, 82)}, {12 + wNick, 12, u"进入房间", RGB(255, 255, 255)}}));
}

TEST_F(NarrowOverlay, TextThatFindsNoRoomAfterTheNicknameStartsOnTheNextLineAtTheMargin) {
  const CDuiString nick = u"WWWWWWWWWW";
  CQvGameWebMsgWnd probe(nullptr, nullptr, nullptr);  // only for its font
  const SIZE szNick = MeasureWith(probe.m_hFont, nick);
  const SIZE szFirst = MeasureWith(probe.m_hFont, u"进");
  const int h = MeasureWith(probe.m_hFont, u"进入房间").cy;

  // Room for the nickname and not one pixel more than the first character needs.
  OpenWindows(22 + szNick.cx + szFirst.cx - 1);
  PostEnter(nick);
  PumpPending();
  ASSERT_EQ(overlay->m_items.size(), 1u);
  EXPECT_EQ(Height(), 12 + 2 * (h + 2) + 8);
  EXPECT_TRUE(PaintedAs({{12, 12, nick, overlay->m_crNickname}, {12, 12 + h + 2, u"进入房间", overlay->m_crText}}));
}

TEST_F(Overlay, LongChatWrapsAtTheClientWidthLessTheReserveStartingAfterTheNickname) {
  const CDuiString nick = u"Ann";
  const CDuiString content =
      u"一二三四五六七八九十一二三四五六七八九十一二三四五六七八九十一二三四五六七八九十一二三四五六七八九十";
  PostChat(nick, content);
  PumpPending();
  const CDuiString text = CDuiString(u" 说:") + content;
  const int usable = kBarWidth - 22;
  const int wNick = Measure(nick).cx;
  const std::vector<CDuiString> lines = Lines(text, wNick, usable);
  ASSERT_GE(lines.size(), 3u);
  // The first line is full: one more character would pass the usable width.
  EXPECT_LE(wNick + Measure(lines[0]).cx, usable);
  EXPECT_GT(wNick + Measure(lines[0] + CDuiString(lines[1][0])).cx, usable);

  const int h = Measure(text).cy;
  std::vector<Draw> draws{{12, 12, nick, overlay->m_crNickname}};
  int y = 12;
  for (size_t i = 0; i < lines.size(); ++i) {
    draws.push_back({i == 0 ? 12 + wNick : 12, y, lines[i], overlay->m_crText});
    y += h + 2;
  }
  EXPECT_TRUE(PaintedAs(draws));
  const size_t n = Lines(nick + text, 0, usable).size();
  EXPECT_EQ(Height(), 12 + static_cast<int>(n) * (h + 2) + 8);
}

TEST_F(NarrowOverlay, CharactersWiderThanTheUsableWidthStillTakeOneLineEach) {
  OpenWindows(20);
  PostEnter(u"AB");
  PumpPending();
  ASSERT_EQ(overlay->m_items.size(), 1u);
  const int hNick = Measure(u"AB").cy;
  const int h = Measure(u"进入房间").cy;
  // "AB进入房间" as six lines of one character.
  EXPECT_EQ(Height(), 12 + 6 * (h + 2) + 8);
  // The text's first line, after "B", is empty: its characters go one per line below.
  std::vector<Draw> draws{{12, 12, u"A", overlay->m_crNickname}, {12, 12 + hNick + 2, u"B", overlay->m_crNickname}};
  const char16_t* chars[] = {u"进", u"入", u"房", u"间"};
  int y = 12 + hNick + 2 + h + 2;
  for (const char16_t* c : chars) {
    draws.push_back({12, y, c, overlay->m_crText});
    y += h + 2;
  }
  EXPECT_TRUE(PaintedAs(draws));
}

TEST_F(Overlay, OverlayOverTheMaskShowsTheMaskAndLetsClicksThrough) {
  qvtest::RecordingWindows below;
  HWND game = below.Create(WS_POPUP | WS_VISIBLE, 0, nullptr, RECT{0, 0, 800, 600});
  ASSERT_TRUE(game);
  mask.m_crFill = RGB(119, 121, 125);
  ::InvalidateRect(mask.GetHWND(), nullptr, TRUE);
  // Above the game, as the topmost bar's family is.
  ::SetWindowPos(bar.GetHWND(), HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  PumpPending();

  // A point of the overlay with no text: the colour key shows the mask, at alpha 100, over the
  // game's white.
  const int x = kBarLeft + kBarWidth - 5, y = kBarTop + kBarHeight + 30;
  Image desk;
  ::ShowWindow(Hwnd(), SW_HIDE);
  ::ShowWindow(mask.GetHWND(), SW_HIDE);
  PumpPending();
  ASSERT_TRUE(qvplatform::testing::ReadDesktopPixels(desk));
  const COLORREF under = desk.At(x, y);
  ::ShowWindow(mask.GetHWND(), SW_SHOWNOACTIVATE);
  ::ShowWindow(Hwnd(), SW_SHOWNOACTIVATE);
  PumpPending();
  ASSERT_TRUE(qvplatform::testing::ReadDesktopPixels(desk));
  auto blend = [](int top, int bottom) { return (top * 100 + bottom * 155 + 127) / 255; };
  COLORREF seen = desk.At(x, y);
  EXPECT_NEAR(GetRValue(seen), blend(119, GetRValue(under)), 1);
  EXPECT_NEAR(GetGValue(seen), blend(121, GetGValue(under)), 1);
  EXPECT_NEAR(GetBValue(seen), blend(125, GetBValue(under)), 1);

  // A new skin colour shows at once.
  mask.m_crFill = RGB(96, 112, 104);
  ::InvalidateRect(mask.GetHWND(), nullptr, TRUE);
  PumpPending();
  ASSERT_TRUE(qvplatform::testing::ReadDesktopPixels(desk));
  seen = desk.At(x, y);
  EXPECT_NEAR(GetRValue(seen), blend(96, GetRValue(under)), 1);
  EXPECT_NEAR(GetGValue(seen), blend(112, GetGValue(under)), 1);
  EXPECT_NEAR(GetBValue(seen), blend(104, GetBValue(under)), 1);

  below.Clear();
  qvplatform::testing::InjectMouseButton(qvplatform::testing::Button::Left, true, x, y);
  qvplatform::testing::InjectMouseButton(qvplatform::testing::Button::Left, false, x, y);
  PumpPending();
  EXPECT_EQ(below.Count(game, WM_LBUTTONDOWN), 1);
  EXPECT_EQ(below.Count(game, WM_LBUTTONUP), 1);
}

TEST(AlphaWnd, StartsTranslucentAtTheRightEdgeThirtyPercentDown) {
  UseSourceSkins();
  ASSERT_TRUE(qvplatform::testing::SetHeadlessDesktop(1000, 999, 0, 0, 1000, 999));
  CQvGameAlphaWnd mask;
  ASSERT_TRUE(mask.Create(nullptr, u"Qv直播助手面罩", WS_POPUP | WS_VISIBLE,
                          WS_EX_NOACTIVATE | WS_EX_LAYERED | WS_EX_TRANSPARENT));
  PumpPending();
  RECT rc = WindowRect(mask.GetHWND());
  EXPECT_EQ(rc.right, 1000);
  EXPECT_EQ(rc.top, 299);  // 999 × 0.3, truncated
  COLORREF key = 1;
  BYTE alpha = 0;
  DWORD flags = 0;
  ASSERT_TRUE(::GetLayeredWindowAttributes(mask.GetHWND(), &key, &alpha, &flags));
  EXPECT_EQ(alpha, 100);
  EXPECT_EQ(flags, static_cast<DWORD>(LWA_ALPHA));
  EXPECT_EQ(::GetWindowLongPtrW(mask.GetHWND(), GWL_EXSTYLE) & WS_EX_TOPMOST, WS_EX_TOPMOST);
  ::DestroyWindow(mask.GetHWND());
  PumpPending();
  qvplatform::testing::SetHeadlessDesktop(1920, 1080, 0, 0, 1920, 1080);
}

TEST(WebMsgWndLifetime, DestructionFreesItemsRecordsAndGdiObjectsAndStopsTheTimers) {
  ClockRestorer restorer;
  qvplatform::testing::FreezeClock();
  UseSourceSkins();
  g_SessionGuid = kSession;
  g_freedRecords = 0;
  const size_t gdiBefore = qvplatform::testing::LiveGdiObjects();
  {
    CQvGameWebMsgWnd overlay(nullptr, nullptr, nullptr);
    ASSERT_TRUE(overlay.Create(nullptr, u"overlay", WS_POPUP | WS_VISIBLE,
                               WS_EX_NOACTIVATE | WS_EX_LAYERED | WS_EX_TRANSPARENT, 0, 0, 200, 35));
    for (int i = 0; i < 3; ++i) {
      ASSERT_TRUE(NotifySessionWindow<CountedChat>(overlay.GetHWND(), WM_WEBSOCK_NOTIFY, WEBSOCK_NOTIFY_CHAT,
                                                   kSession, NotifyDelivery::Post,
                                                   [](CountedChat& r) { r.nickname = u"n"; }));
    }
    PumpPending();
    ASSERT_EQ(overlay.m_items.size(), 3u);
    // Without a bar the overlay keeps its own place and width.
    RECT rc = WindowRect(overlay.GetHWND());
    EXPECT_EQ(rc.left, 0);
    EXPECT_EQ(rc.right, 200);
    ::DestroyWindow(overlay.GetHWND());
    PumpPending();
    EXPECT_EQ(g_freedRecords, 0);
  }
  EXPECT_EQ(g_freedRecords, 3);
  // The timers died with the object: nothing fires into freed memory.
  qvplatform::testing::AdvanceClock(30000);
  DrainTimerThread();
  PumpPending();
  EXPECT_EQ(qvplatform::testing::LiveGdiObjects(), gdiBefore);
  g_SessionGuid = GUID{};
}

}  // namespace
