// Monitors: MonitorFrom*, GetMonitorInfoW, EnumDisplayMonitors, the virtual-screen metrics and the
// headless desktop's monitor layouts.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/backend.h"
#include "platform/testing.h"
#include "platform/win32.h"
#include "support/WindowFixture.h"

using qvplatform::testing::MonitorSpec;
using qvplatform::testing::SetHeadlessMonitors;
using qvtest::PumpPending;
using qvtest::RecordingWindows;

namespace {

// A 1280x1024 monitor on the left and the primary, 1920x1080, to its right at x 1280. Below the
// left one, under y 1080, lies a strip that no monitor covers.
const RECT kLeft{0, 0, 1280, 1024};
const RECT kLeftWork{0, 0, 1280, 984};
const RECT kPrimary{1280, 0, 3200, 1080};
const RECT kPrimaryWork{1280, 0, 3200, 1040};

bool Same(const RECT& a, const RECT& b) { return EqualRect(&a, &b) != FALSE; }

class Monitors : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SetHeadlessMonitors({MonitorSpec{kLeft, kLeftWork, false}, MonitorSpec{kPrimary, kPrimaryWork, true}}));
    primary_ = MonitorFromPoint(POINT{1280, 0}, MONITOR_DEFAULTTONULL);
    left_ = MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTONULL);
    ASSERT_NE(primary_, nullptr);
    ASSERT_NE(left_, nullptr);
    ASSERT_NE(primary_, left_);
  }
  void TearDown() override { qvplatform::testing::SetHeadlessDesktop(1920, 1080, 0, 0, 1920, 1080); }

  static RECT MonitorRect(HMONITOR m) {
    MONITORINFO mi{};
    mi.cbSize = sizeof mi;
    EXPECT_TRUE(GetMonitorInfoW(m, &mi));
    return mi.rcMonitor;
  }

  HMONITOR primary_ = nullptr;
  HMONITOR left_ = nullptr;
};

TEST_F(Monitors, RectGoesToTheLargestOverlapTiesToTheFirst) {
  RECT mostlyPrimary{1000, 100, 1600, 300};  // 280 px on the left, 320 on the primary
  RECT mostlyLeft{1000, 100, 1400, 300};     // 280 px on the left, 120 on the primary
  RECT even{1180, 0, 1380, 100};
  EXPECT_EQ(MonitorFromRect(&mostlyPrimary, MONITOR_DEFAULTTONULL), primary_);
  EXPECT_EQ(MonitorFromRect(&mostlyLeft, MONITOR_DEFAULTTONULL), left_);
  EXPECT_EQ(MonitorFromRect(&even, MONITOR_DEFAULTTONULL), primary_) << "the primary is listed first";
  RECT empty{20, 30, 20, 30};
  EXPECT_EQ(MonitorFromRect(&empty, MONITOR_DEFAULTTONULL), left_) << "an empty rectangle is its corner";
}

TEST_F(Monitors, PointIsOnTheMonitorThatHoldsItRightAndBottomExclusive) {
  EXPECT_EQ(MonitorFromPoint(POINT{1279, 1023}, MONITOR_DEFAULTTONULL), left_);
  EXPECT_EQ(MonitorFromPoint(POINT{3199, 1079}, MONITOR_DEFAULTTONULL), primary_);
  EXPECT_EQ(MonitorFromPoint(POINT{100, 1024}, MONITOR_DEFAULTTONULL), nullptr) << "the gap under the left monitor";
  EXPECT_EQ(MonitorFromPoint(POINT{3200, 0}, MONITOR_DEFAULTTONULL), nullptr);
  EXPECT_EQ(MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTONULL), left_) << "handles are stable";
}

TEST_F(Monitors, OutsideEveryMonitorTheFlagsDecide) {
  POINT gap{100, 1050};
  EXPECT_EQ(MonitorFromPoint(gap, MONITOR_DEFAULTTONULL), nullptr);
  EXPECT_EQ(MonitorFromPoint(gap, MONITOR_DEFAULTTOPRIMARY), primary_);
  EXPECT_EQ(MonitorFromPoint(gap, MONITOR_DEFAULTTONEAREST), left_);
  // 10 px from the primary's edge, 37 below the left one's, though nearer the left one's centre.
  EXPECT_EQ(MonitorFromPoint(POINT{1270, 1060}, MONITOR_DEFAULTTONEAREST), primary_);
  RECT farLeft{-500, 500, -400, 600};
  RECT farRight{5000, -300, 5100, -200};
  EXPECT_EQ(MonitorFromRect(&farLeft, MONITOR_DEFAULTTONEAREST), left_);
  EXPECT_EQ(MonitorFromRect(&farRight, MONITOR_DEFAULTTONEAREST), primary_);
  EXPECT_EQ(MonitorFromRect(&farLeft, MONITOR_DEFAULTTOPRIMARY), primary_);
  EXPECT_EQ(MonitorFromRect(&farLeft, MONITOR_DEFAULTTONULL), nullptr);
  EXPECT_EQ(MonitorFromPoint(POINT{0, 0}, 7), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FLAGS));
}

TEST_F(Monitors, WindowIsOnTheMonitorOfItsRectangle) {
  RecordingWindows windows;
  HWND straddling = windows.Create(WS_POPUP, 0, nullptr, RECT{1000, 100, 1600, 300});
  EXPECT_EQ(MonitorFromWindow(straddling, MONITOR_DEFAULTTONULL), primary_);
  HWND minimised = windows.Create(WS_POPUP, 0, nullptr, RECT{100, 100, 300, 300});
  ShowWindow(minimised, SW_MINIMIZE);
  ASSERT_TRUE(IsIconic(minimised));
  EXPECT_EQ(MonitorFromWindow(minimised, MONITOR_DEFAULTTOPRIMARY), left_);
  HWND offscreen = windows.Create(WS_POPUP, 0, nullptr, RECT{-500, 500, -400, 600});
  EXPECT_EQ(MonitorFromWindow(offscreen, MONITOR_DEFAULTTONEAREST), left_);
  EXPECT_EQ(MonitorFromWindow(offscreen, MONITOR_DEFAULTTONULL), nullptr);

  // Maximised, a window fills the work area of its own monitor.
  HWND onLeft = windows.Create(WS_OVERLAPPEDWINDOW, 0, nullptr, RECT{100, 100, 500, 400});
  ShowWindow(onLeft, SW_MAXIMIZE);
  RECT window;
  GetWindowRect(onLeft, &window);
  EXPECT_LE(window.left, kLeftWork.left);
  EXPECT_LE(window.right, kLeftWork.right + 8) << "maximised onto another monitor";
  EXPECT_GE(window.bottom, kLeftWork.bottom);
  EXPECT_LE(window.bottom, kLeftWork.bottom + 8);

  DestroyWindow(straddling);
  EXPECT_EQ(MonitorFromWindow(straddling, MONITOR_DEFAULTTONULL), nullptr);
  EXPECT_EQ(MonitorFromWindow(straddling, MONITOR_DEFAULTTONEAREST), primary_);
  EXPECT_EQ(MonitorFromWindow(nullptr, MONITOR_DEFAULTTOPRIMARY), primary_);
}

TEST_F(Monitors, MetricsCoverTheVirtualScreenAndThePrimary) {
  EXPECT_EQ(GetSystemMetrics(SM_CMONITORS), 2);
  EXPECT_EQ(GetSystemMetrics(SM_XVIRTUALSCREEN), 0);
  EXPECT_EQ(GetSystemMetrics(SM_YVIRTUALSCREEN), 0);
  EXPECT_EQ(GetSystemMetrics(SM_CXVIRTUALSCREEN), 3200);
  EXPECT_EQ(GetSystemMetrics(SM_CYVIRTUALSCREEN), 1080);
  EXPECT_EQ(GetSystemMetrics(SM_CXSCREEN), 1920);
  RECT work;
  ASSERT_TRUE(SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0));
  EXPECT_TRUE(EqualRect(&work, &kPrimaryWork));

  // A third monitor above and left of the origin.
  RECT aboveLeft{-1024, -768, 0, 0};
  ASSERT_TRUE(SetHeadlessMonitors({MonitorSpec{kLeft, kLeft, false}, MonitorSpec{kPrimary, kPrimary, true},
                                   MonitorSpec{aboveLeft, aboveLeft, false}}));
  EXPECT_EQ(GetSystemMetrics(SM_CMONITORS), 3);
  EXPECT_EQ(GetSystemMetrics(SM_XVIRTUALSCREEN), -1024);
  EXPECT_EQ(GetSystemMetrics(SM_YVIRTUALSCREEN), -768);
  EXPECT_EQ(GetSystemMetrics(SM_CXVIRTUALSCREEN), 4224);
  EXPECT_EQ(GetSystemMetrics(SM_CYVIRTUALSCREEN), 1848);

  ASSERT_TRUE(qvplatform::testing::SetHeadlessDesktop(1366, 768, 0, 0, 1366, 728));
  EXPECT_EQ(GetSystemMetrics(SM_CMONITORS), 1);
  EXPECT_EQ(GetSystemMetrics(SM_CXVIRTUALSCREEN), 1366);
}

struct Enumerated {
  std::vector<HMONITOR> monitors;
  std::vector<RECT> rects;
  size_t stopAfter = 100;
};

BOOL CALLBACK Collect(HMONITOR m, HDC dc, LPRECT rect, LPARAM data) {
  auto* e = reinterpret_cast<Enumerated*>(data);
  EXPECT_EQ(dc, nullptr);
  e->monitors.push_back(m);
  e->rects.push_back(*rect);
  return e->monitors.size() < e->stopAfter;
}

TEST_F(Monitors, EnumerationGoesPrimaryFirstClipsAndStops) {
  Enumerated all;
  ASSERT_TRUE(EnumDisplayMonitors(nullptr, nullptr, Collect, reinterpret_cast<LPARAM>(&all)));
  ASSERT_EQ(all.monitors, (std::vector<HMONITOR>{primary_, left_}));
  EXPECT_TRUE(EqualRect(&all.rects[0], &kPrimary));
  EXPECT_TRUE(EqualRect(&all.rects[1], &kLeft));

  Enumerated clipped;
  RECT across{1000, 10, 1400, 50};
  EnumDisplayMonitors(nullptr, &across, Collect, reinterpret_cast<LPARAM>(&clipped));
  ASSERT_EQ(clipped.monitors, (std::vector<HMONITOR>{primary_, left_}));
  RECT onPrimary{1280, 10, 1400, 50}, onLeft{1000, 10, 1280, 50};
  EXPECT_TRUE(EqualRect(&clipped.rects[0], &onPrimary));
  EXPECT_TRUE(EqualRect(&clipped.rects[1], &onLeft));

  Enumerated inLeft;
  RECT leftOnly{0, 0, 100, 100};
  EnumDisplayMonitors(nullptr, &leftOnly, Collect, reinterpret_cast<LPARAM>(&inLeft));
  EXPECT_EQ(inLeft.monitors, std::vector<HMONITOR>{left_});

  Enumerated first;
  first.stopAfter = 1;
  EnumDisplayMonitors(nullptr, nullptr, Collect, reinterpret_cast<LPARAM>(&first));
  EXPECT_EQ(first.monitors, std::vector<HMONITOR>{primary_});
}

TEST_F(Monitors, InfoGivesRectanglesFlagsAndDeviceNames) {
  MONITORINFOEXW ex{};
  ex.cbSize = sizeof ex;
  ASSERT_TRUE(GetMonitorInfoW(primary_, &ex));
  EXPECT_TRUE(EqualRect(&ex.rcMonitor, &kPrimary));
  EXPECT_TRUE(EqualRect(&ex.rcWork, &kPrimaryWork));
  EXPECT_EQ(ex.dwFlags, static_cast<DWORD>(MONITORINFOF_PRIMARY));
  EXPECT_EQ(std::u16string(ex.szDevice), u"\\\\.\\DISPLAY1");
  ASSERT_TRUE(GetMonitorInfoW(left_, &ex));
  EXPECT_TRUE(EqualRect(&ex.rcWork, &kLeftWork));
  EXPECT_EQ(ex.dwFlags, 0u);
  EXPECT_EQ(std::u16string(ex.szDevice), u"\\\\.\\DISPLAY2");

  MONITORINFO plain{};
  plain.cbSize = sizeof plain;
  ASSERT_TRUE(GetMonitorInfoW(left_, &plain));
  EXPECT_TRUE(EqualRect(&plain.rcMonitor, &kLeft));
  plain.cbSize = sizeof plain + 4;
  EXPECT_FALSE(GetMonitorInfoW(left_, &plain));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  plain.cbSize = sizeof plain;
  EXPECT_FALSE(GetMonitorInfoW(nullptr, &plain));
  EXPECT_FALSE(GetMonitorInfoW(reinterpret_cast<HMONITOR>(reinterpret_cast<uintptr_t>(left_) + 1), &plain))
      << "no third monitor";
}

TEST_F(Monitors, HandlesLastUntilTheMonitorsChange) {
  // The work area alone moving (a panel) keeps the monitors and their handles.
  ASSERT_TRUE(SetHeadlessMonitors({MonitorSpec{kLeft, kLeft, false}, MonitorSpec{kPrimary, kPrimary, true}}));
  EXPECT_TRUE(Same(MonitorRect(left_), kLeft));

  // The left monitor goes up to 1920x1080: old handles no longer name anything.
  RECT bigger{-640, 0, 1280, 1080};
  ASSERT_TRUE(SetHeadlessMonitors({MonitorSpec{bigger, bigger, false}, MonitorSpec{kPrimary, kPrimary, true}}));
  MONITORINFO mi{};
  mi.cbSize = sizeof mi;
  EXPECT_FALSE(GetMonitorInfoW(left_, &mi));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_MONITOR_HANDLE));
  EXPECT_FALSE(GetMonitorInfoW(primary_, &mi));
  HMONITOR now = MonitorFromPoint(POINT{-640, 0}, MONITOR_DEFAULTTONULL);
  ASSERT_NE(now, nullptr);
  EXPECT_TRUE(Same(MonitorRect(now), bigger));
}

TEST_F(Monitors, ChangesPostDisplayChangeToTopLevelWindows) {
  RecordingWindows windows;
  HWND w = windows.Create();
  ASSERT_TRUE(SetHeadlessMonitors({MonitorSpec{kLeft, kLeft, false}, MonitorSpec{kPrimary, kPrimary, true}}));
  PumpPending();
  EXPECT_EQ(windows.Count(w, WM_DISPLAYCHANGE), 0) << "only the work areas changed";

  RECT wide{0, 0, 2560, 1440};
  ASSERT_TRUE(SetHeadlessMonitors({MonitorSpec{wide, wide, true}}));
  PumpPending();
  ASSERT_EQ(windows.Count(w, WM_DISPLAYCHANGE), 1);
  for (const auto& r : windows.All()) {
    if (r.hwnd != w || r.message != WM_DISPLAYCHANGE) continue;
    EXPECT_EQ(r.wParam, 32u);
    EXPECT_EQ(r.lParam, MAKELPARAM(2560, 1440));
  }
}

TEST_F(Monitors, LayoutsNeedOnePrimaryAndWorkAreasInsideTheirMonitors) {
  EXPECT_FALSE(SetHeadlessMonitors({}));
  EXPECT_FALSE(SetHeadlessMonitors({MonitorSpec{kLeft, kLeft, false}, MonitorSpec{kPrimary, kPrimary, false}}));
  EXPECT_FALSE(SetHeadlessMonitors({MonitorSpec{kLeft, kLeft, true}, MonitorSpec{kPrimary, kPrimary, true}}));
  EXPECT_FALSE(SetHeadlessMonitors({MonitorSpec{kPrimary, kLeft, true}})) << "work area outside its monitor";
  EXPECT_FALSE(SetHeadlessMonitors({MonitorSpec{RECT{0, 0, 0, 10}, RECT{0, 0, 0, 10}, true}}));
  EXPECT_EQ(GetSystemMetrics(SM_CMONITORS), 2) << "a refused layout changes nothing";
  EXPECT_TRUE(Same(MonitorRect(primary_), kPrimary));
}

}  // namespace

// The scale a desktop's dpi gives, and logical and device pixels at fractional scales: every
// logical pixel's device pixels come back to it (clicks and the pointer land where they were
// aimed), an image is as large as what is painted in it, and side-by-side monitors stay side by
// side.
TEST(DisplayScale, QuarterStepsFromTheDpiAndPixelsBothWays) {
  EXPECT_EQ(1.0, qvp::ScaleForDpi(96));
  EXPECT_EQ(1.0, qvp::ScaleForDpi(119));
  EXPECT_EQ(1.25, qvp::ScaleForDpi(120));
  EXPECT_EQ(1.5, qvp::ScaleForDpi(144));
  EXPECT_EQ(2.0, qvp::ScaleForDpi(192));
  EXPECT_EQ(2.0, qvp::ScaleForDpi(200));
  EXPECT_EQ(1.0, qvp::ScaleForDpi(-5));
  for (double scale : {1.0, 1.25, 1.5, 1.75, 2.0})
    for (long x = -40; x <= 40; ++x) {
      const int first = qvp::DeviceCoord(x, scale), end = qvp::DeviceCoord(x + 1, scale);
      ASSERT_LT(first, end) << x << " at " << scale;
      EXPECT_EQ(x, qvp::LogicalPoint(first, 0, scale).x) << x << " at " << scale;
      EXPECT_EQ(x, qvp::LogicalPoint(end - 1, 0, scale).x) << x << " at " << scale;
    }
  // Half pixels go down, as Cairo draws them: 201 logical pixels at 1.5 are 301 device pixels.
  const RECT window = qvp::DeviceRect(RECT{1, 1, 202, 33}, 1.5);
  EXPECT_TRUE(Same(RECT{1, 1, 302, 49}, window)) << window.left << "," << window.top << " " << window.right << ","
                                                  << window.bottom;
  const RECT left = qvp::LogicalRect(RECT{0, 0, 2560, 1600}, 1.5), right = qvp::LogicalRect(RECT{2560, 0, 5120, 1600}, 1.5);
  EXPECT_TRUE(Same(RECT{0, 0, 1707, 1067}, left));
  EXPECT_TRUE(Same(RECT{1707, 0, 3413, 1067}, right));
  EXPECT_TRUE(Same(RECT{0, 0, 1280, 800}, qvp::LogicalRect(RECT{0, 0, 2560, 1600}, 2.0)));
}
