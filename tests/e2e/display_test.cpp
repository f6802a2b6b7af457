// The screen on a real X display: the desktop rectangle and metrics from the primary monitor, the
// work area from the window manager's _NET_WORKAREA and the docks on that monitor (and the desktop
// without a manager), and WM_DISPLAYCHANGE when the screen or its monitors change through RandR.
#include <gtest/gtest.h>

#include "e2e/support/XSession.h"
#include "platform/testing_x11.h"
#include "platform/win32.h"
#include "support/Watchdog.h"
#include "support/WindowFixture.h"

using qvplatform::testing::X11Sync;
using qve2e::SessionOptions;
using qve2e::XSession;

namespace {

void Pump() { qvtest::PumpPending(); }

RECT WorkArea() {
  RECT r{-1, -1, -1, -1};
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &r, 0);
  return r;
}

RECT DesktopRect() {
  RECT r{-1, -1, -1, -1};
  GetWindowRect(GetDesktopWindow(), &r);
  return r;
}

std::string Str(const RECT& r) {
  return "{" + std::to_string(r.left) + "," + std::to_string(r.top) + "," + std::to_string(r.right) + "," +
         std::to_string(r.bottom) + "}";
}

class Display : public ::testing::Test {
 protected:
  void Start(const SessionOptions& options) {
    qvtest::SetWatchdogLimit(std::chrono::seconds(90));
    session_ = std::make_unique<XSession>(options);
    ASSERT_TRUE(session_->ok()) << session_->error();
    ASSERT_TRUE(QvStartDisplay());
  }
  // Waits until SPI_GETWORKAREA answers `want`.
  bool WorkAreaIs(const RECT& want, int ms = 10000) {
    return XSession::WaitFor([&] {
      RECT r = WorkArea();
      return EqualRect(&r, &want) != FALSE;
    }, Pump, ms);
  }
  std::unique_ptr<XSession> session_;
};

TEST_F(Display, MetricsAndDesktopRectangleAreTheScreens) {
  SessionOptions options;
  options.width = 1152;
  options.height = 720;
  Start(options);
  EXPECT_EQ(1152, GetSystemMetrics(SM_CXSCREEN));
  EXPECT_EQ(720, GetSystemMetrics(SM_CYSCREEN));
  RECT want{0, 0, 1152, 720};
  RECT desktop = DesktopRect();
  EXPECT_TRUE(EqualRect(&desktop, &want)) << Str(desktop);
}

TEST_F(Display, WorkAreaFollowsTheWindowManagersWorkAreaWhenADockReservesAnEdge) {
  Start(SessionOptions());
  // openbox publishes the whole screen while nothing reserves an edge.
  RECT whole{0, 0, 1280, 800};
  EXPECT_TRUE(WorkAreaIs(whole)) << Str(WorkArea());
  ASSERT_TRUE(session_->Dock(40));
  RECT below{0, 40, 1280, 800};
  ASSERT_TRUE(XSession::WaitFor([&] {
    std::vector<long> area = session_->RootProperty("_NET_WORKAREA");
    return area.size() >= 4 && area[1] == 40;
  }, Pump, 10000)) << "openbox did not take the dock's strut into its work area";
  EXPECT_TRUE(WorkAreaIs(below)) << Str(WorkArea());
  // The desktop stays the whole screen.
  RECT desktop = DesktopRect();
  EXPECT_TRUE(EqualRect(&desktop, &whole)) << Str(desktop);
  EXPECT_EQ(800, GetSystemMetrics(SM_CYSCREEN));
}

TEST_F(Display, WorkAreaOfTheCurrentDesktopCounts) {
  Start(SessionOptions());
  ASSERT_TRUE(session_->Dock(40));
  ASSERT_TRUE(WorkAreaIs(RECT{0, 40, 1280, 800}));
  // Another desktop current, with its own area: openbox keeps a work area per desktop, so the
  // area is written over after it has settled.
  std::vector<long> area = session_->RootProperty("_NET_WORKAREA");
  ASSERT_GE(area.size(), 8u) << "openbox should run more than one desktop";
  ASSERT_TRUE(session_->SetRootProperty("_NET_CURRENT_DESKTOP", "CARDINAL", {1}));
  ASSERT_TRUE(session_->SyncWindowManager());
  area = session_->RootProperty("_NET_WORKAREA");
  area[4] = 100;
  area[5] = 50;
  area[6] = 600;
  area[7] = 400;
  ASSERT_TRUE(session_->SetRootProperty("_NET_WORKAREA", "CARDINAL", area));
  EXPECT_TRUE(WorkAreaIs(RECT{100, 50, 700, 450})) << Str(WorkArea());
}

TEST_F(Display, WorkAreaIsTheDesktopWithoutAWindowManager) {
  SessionOptions options;
  options.windowManager = false;
  Start(options);
  RECT whole{0, 0, 1280, 800};
  RECT r = WorkArea();
  EXPECT_TRUE(EqualRect(&r, &whole)) << Str(r);
  // What a window manager that has gone left behind: a work area and a check naming a window
  // that no longer exists.
  ASSERT_TRUE(session_->SetRootProperty("_NET_WORKAREA", "CARDINAL", {0, 40, 1280, 760}));
  ASSERT_TRUE(session_->SetRootProperty("_NET_SUPPORTING_WM_CHECK", "WINDOW",
                                        {static_cast<long>(session_->DeadWindow())}));
  ASSERT_TRUE(X11Sync());
  r = WorkArea();
  EXPECT_TRUE(EqualRect(&r, &whole)) << Str(r);
  EXPECT_EQ(1280, GetSystemMetrics(SM_CXSCREEN));
}

TEST_F(Display, ScreenResizeSendsDisplayChangeToTopLevelWindowsAndMetricsFollow) {
  Start(SessionOptions());
  qvtest::RecordingWindows windows;
  HWND shown = windows.Create(WS_POPUP | WS_VISIBLE, 0, nullptr, {100, 100, 300, 200});
  HWND other = windows.Create(WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, nullptr, {400, 100, 700, 300});
  HWND hidden = windows.Create(WS_POPUP, 0, nullptr, {100, 400, 200, 450});
  HWND child = windows.Create(WS_CHILD | WS_VISIBLE, 0, shown, {10, 10, 50, 50});
  ASSERT_TRUE(shown && other && hidden && child);
  ASSERT_TRUE(X11Sync());
  Pump();
  auto changes = [&](HWND h) {
    std::vector<LPARAM> out;
    for (const auto& r : windows.All())
      if (r.hwnd == h && r.message == WM_DISPLAYCHANGE) out.push_back(r.lParam);
    return out;
  };
  ASSERT_TRUE(changes(shown).empty());

  ASSERT_TRUE(session_->ResizeScreen(1024, 600));
  ASSERT_TRUE(XSession::WaitFor([&] {
    return changes(shown).size() >= 1 && changes(other).size() >= 1 && changes(hidden).size() >= 1;
  }, Pump, 10000)) << "WM_DISPLAYCHANGE did not reach every top-level window";
  ASSERT_TRUE(X11Sync());
  Pump();
  for (HWND h : {shown, other, hidden}) {
    std::vector<LPARAM> got = changes(h);
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(1024, LOWORD(got[0]));
    EXPECT_EQ(600, HIWORD(got[0]));
  }
  EXPECT_TRUE(changes(child).empty());
  EXPECT_EQ(1024, GetSystemMetrics(SM_CXSCREEN));
  EXPECT_EQ(600, GetSystemMetrics(SM_CYSCREEN));
  RECT small{0, 0, 1024, 600};
  RECT desktop = DesktopRect();
  EXPECT_TRUE(EqualRect(&desktop, &small)) << Str(desktop);
  // openbox fits its work area to the new screen, and the work area follows.
  EXPECT_TRUE(WorkAreaIs(small)) << Str(WorkArea());

  // Back to the starting size: a second change, with that size.
  ASSERT_TRUE(session_->ResizeScreen(1280, 800));
  ASSERT_TRUE(XSession::WaitFor([&] { return changes(shown).size() >= 2 && changes(hidden).size() >= 2; }, Pump, 10000));
  ASSERT_TRUE(X11Sync());
  Pump();
  std::vector<LPARAM> got = changes(shown);
  ASSERT_EQ(2u, got.size());
  EXPECT_EQ(MAKELPARAM(1280, 800), got[1]);
  EXPECT_EQ(1280, GetSystemMetrics(SM_CXSCREEN));
  EXPECT_EQ(800, GetSystemMetrics(SM_CYSCREEN));
  EXPECT_TRUE(WorkAreaIs(RECT{0, 0, 1280, 800})) << Str(WorkArea());
}


// Two monitors on real RandR outputs, either one primary: the primary is the desktop, the metrics
// and the work area; a dock on the primary shrinks only its work area; a monitor switched off is a
// display change after which the desktop is the monitor that is left.
class DisplayMonitors : public Display, public ::testing::WithParamInterface<int> {};

TEST_P(DisplayMonitors, ThePrimaryIsTheDesktopADockShrinksOnlyItsMonitorAndAnUnplugIsADisplayChange) {
  const int primary = GetParam();
  SessionOptions options;
  options.monitors = {{1280, 800}, {1280, 800}};
  options.primary = primary;
  Start(options);
  const RECT left{0, 0, 1280, 800}, right{1280, 0, 2560, 800};
  const RECT& main = primary ? right : left;
  const RECT& other = primary ? left : right;
  RECT desktop = DesktopRect();
  EXPECT_TRUE(EqualRect(&desktop, &main)) << Str(desktop);
  EXPECT_EQ(1280, GetSystemMetrics(SM_CXSCREEN));
  EXPECT_EQ(2560, GetSystemMetrics(SM_CXVIRTUALSCREEN));
  EXPECT_EQ(2, GetSystemMetrics(SM_CMONITORS));
  std::vector<RECT> listed;
  EnumDisplayMonitors(nullptr, nullptr, [](HMONITOR, HDC, LPRECT r, LPARAM data) {
    reinterpret_cast<std::vector<RECT>*>(data)->push_back(*r);
    return TRUE;
  }, reinterpret_cast<LPARAM>(&listed));
  ASSERT_EQ(2u, listed.size());
  auto workOf = [](POINT pt) {
    MONITORINFO info{};
    info.cbSize = sizeof info;
    GetMonitorInfoW(MonitorFromPoint(pt, MONITOR_DEFAULTTONULL), &info);
    return info.rcWork;
  };

  ASSERT_TRUE(session_->Dock(40, main.left, main.right));
  RECT shrunk{main.left, 40, main.right, 800};
  EXPECT_TRUE(WorkAreaIs(shrunk)) << Str(WorkArea());
  RECT otherWork = workOf(POINT{other.left + 10, 10});
  EXPECT_TRUE(EqualRect(&otherWork, &other)) << "the dock shrank the other monitor: " << Str(otherWork);

  qvtest::RecordingWindows windows;
  HWND shown = windows.Create(WS_POPUP | WS_VISIBLE, 0, nullptr, {100, 100, 300, 200});
  ASSERT_TRUE(shown);
  ASSERT_TRUE(session_->Run({"xrandr", "--output", "DUMMY" + std::to_string(primary), "--off"}, Pump));
  ASSERT_TRUE(XSession::WaitFor([&] {
    for (const auto& r : windows.All())
      if (r.hwnd == shown && r.message == WM_DISPLAYCHANGE) return true;
    return false;
  }, Pump, 10000)) << "no WM_DISPLAYCHANGE when the primary went";
  EXPECT_EQ(1, GetSystemMetrics(SM_CMONITORS));
  desktop = DesktopRect();
  EXPECT_EQ(1280, desktop.right - desktop.left) << Str(desktop);
  EXPECT_EQ(GetSystemMetrics(SM_CXVIRTUALSCREEN), 1280);
}

INSTANTIATE_TEST_SUITE_P(EitherPrimary, DisplayMonitors, ::testing::Values(0, 1),
                         [](const ::testing::TestParamInfo<int>& info) { return info.param ? "RightPrimary" : "LeftPrimary"; });

}  // namespace
