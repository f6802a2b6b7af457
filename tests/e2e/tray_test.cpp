// The notification-area icon in a real tray host (trayer): docking, right and double clicks from
// real XTEST input as the owner's callback message, and docking again after the tray restarts.
#include <gtest/gtest.h>

#include <sstream>

#include "e2e/support/XSession.h"
#include "platform/testing_x11.h"
#include "platform/tray_internal.h"
#include "platform/win32.h"
#include "support/Watchdog.h"
#include "support/WindowFixture.h"

using qve2e::SessionOptions;
using qve2e::XSession;

namespace {

constexpr UINT kCallback = WM_USER + 1008;
constexpr UINT kId = 103;

void Pump() { qvtest::PumpPending(); }

struct Placement {
  bool viewable = false;
  int x = 0, y = 0, width = 0, height = 0;
};

class Tray : public ::testing::Test {
 protected:
  void SetUp() override {
    qvtest::SetWatchdogLimit(std::chrono::seconds(90));
    SessionOptions options;
    options.tray = true;
    session_ = std::make_unique<XSession>(options);
    ASSERT_TRUE(session_->ok()) << session_->error();
    ASSERT_TRUE(QvStartDisplay());
    owner_ = windows_.Create(WS_POPUP, 0, nullptr, {300, 300, 400, 350});
  }
  void TearDown() override {
    if (owner_) {
      NOTIFYICONDATAW d{};
      d.cbSize = sizeof d;
      d.hWnd = owner_;
      d.uID = kId;
      Shell_NotifyIconW(NIM_DELETE, &d);
    }
  }

  // An icon of 16x16 red pixels with a transparent corner.
  void AddIcon() {
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    bi.bmiHeader.biWidth = 16;
    bi.bmiHeader.biHeight = -16;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    HBITMAP color = CreateDIBSection(nullptr, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    ASSERT_NE(nullptr, color);
    for (int i = 0; i < 256; ++i) static_cast<uint32_t*>(bits)[i] = i == 0 ? 0 : 0xFFDC1E1Eu;
    ICONINFO ii{TRUE, 0, 0, nullptr, color};
    HICON icon = CreateIconIndirect(&ii);
    DeleteObject(color);
    NOTIFYICONDATAW d{};
    d.cbSize = sizeof d;
    d.hWnd = owner_;
    d.uID = kId;
    d.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    d.uCallbackMessage = kCallback;
    d.hIcon = icon;
    std::u16string tip = u"Qv直播助手";
    std::copy(tip.begin(), tip.end(), d.szTip);
    // Whether a tray owns its selection yet or not, the icon docks once one does.
    Shell_NotifyIconW(NIM_ADD, &d);
    DestroyIcon(icon);
  }

  std::string IconWindow() {
    std::string out;
    if (!session_->Run({"xdotool", "search", "--class", "QvTrayIcon"}, Pump, &out)) return "";
    return out.substr(0, out.find('\n'));
  }

  Placement Where() {
    Placement p;
    std::string id = IconWindow(), out;
    if (id.empty() || !session_->Run({"xwininfo", "-id", id}, Pump, &out)) return p;
    std::istringstream lines(out);
    std::string line;
    auto value = [&](const char* key, int& v) {
      size_t at = line.find(key);
      if (at != std::string::npos) v = atoi(line.c_str() + at + strlen(key));
    };
    while (std::getline(lines, line)) {
      value("Absolute upper-left X:", p.x);
      value("Absolute upper-left Y:", p.y);
      value("Width:", p.width);
      value("Height:", p.height);
      if (line.find("IsViewable") != std::string::npos) p.viewable = true;
    }
    return p;
  }

  // Docked: shown inside trayer's strip (top right, 120x32).
  bool Docked() {
    Placement p = Where();
    return p.viewable && p.x >= 1280 - 120 && p.y >= 0 && p.y < 32 && p.width >= 16 && p.height >= 16;
  }

  // The callback's mouse messages; pointer moves over the icon (WM_MOUSEMOVE) only when asked.
  std::vector<LPARAM> Callbacks(bool moves = false) {
    std::vector<LPARAM> out;
    for (const auto& r : windows_.All())
      if (r.hwnd == owner_ && r.message == kCallback && r.wParam == kId && (moves || r.lParam != WM_MOUSEMOVE))
        out.push_back(r.lParam);
    return out;
  }
  bool Received(LPARAM message) {
    return XSession::WaitFor([&] {
      for (LPARAM m : Callbacks(true))
        if (m == message) return true;
      return false;
    }, Pump, 5000);
  }

  // Moves the pointer to the icon's middle, waits until the server has it over the icon's window,
  // then clicks; `at` is where.
  bool ClickIcon(const std::vector<std::string>& click, POINT* at = nullptr) {
    std::string id = IconWindow();
    Placement p = Where();
    POINT pt{p.x + p.width / 2, p.y + p.height / 2};
    if (at) *at = pt;
    if (id.empty() || !session_->Run({"xdotool", "mousemove", std::to_string(pt.x), std::to_string(pt.y)}, Pump))
      return false;
    unsigned long xwin = std::stoul(id);
    if (!XSession::WaitFor([&] { return qvplatform::testing::X11WindowAtPointer() == xwin; }, Pump, 5000)) return false;
    std::vector<std::string> args{"xdotool"};
    args.insert(args.end(), click.begin(), click.end());
    return session_->Run(args, Pump);
  }

  std::unique_ptr<XSession> session_;
  qvtest::RecordingWindows windows_;
  HWND owner_ = nullptr;
};

TEST_F(Tray, IconDocksAndShowsItsPixelsAndARightClickArrivesAsRButtonUp) {
  AddIcon();
  ASSERT_TRUE(XSession::WaitFor([&] { return Docked(); }, Pump, 10000));
  Placement p = Where();
  // The icon is drawn scaled into its window: its middle is the icon's red.
  EXPECT_TRUE(XSession::WaitFor([&] { return session_->Pixel(p.x + p.width / 2, p.y + p.height / 2, Pump) == 0xDC1E1E; },
                                Pump, 5000));
  windows_.Clear();
  POINT clicked;
  ASSERT_TRUE(ClickIcon({"click", "3"}, &clicked));
  ASSERT_TRUE(Received(WM_RBUTTONUP));
  EXPECT_EQ((std::vector<LPARAM>{WM_RBUTTONDOWN, WM_RBUTTONUP}), Callbacks());
  EXPECT_TRUE(Received(WM_MOUSEMOVE));  // the pointer came over the icon
  // The owner reads where the click happened.
  POINT pt;
  GetCursorPos(&pt);
  EXPECT_EQ(clicked.x, pt.x);
  EXPECT_EQ(clicked.y, pt.y);
}

TEST_F(Tray, DoubleClickArrivesAsLButtonDblClk) {
  AddIcon();
  ASSERT_TRUE(XSession::WaitFor([&] { return Docked(); }, Pump, 10000));
  windows_.Clear();
  ASSERT_TRUE(ClickIcon({"click", "--repeat", "2", "--delay", "80", "1"}));
  ASSERT_TRUE(Received(WM_LBUTTONDBLCLK));
  EXPECT_TRUE(Received(WM_LBUTTONUP));
  std::vector<LPARAM> got = Callbacks();
  ASSERT_GE(got.size(), 4u);
  EXPECT_EQ((std::vector<LPARAM>{WM_LBUTTONDOWN, WM_LBUTTONUP, WM_LBUTTONDBLCLK, WM_LBUTTONUP}),
            std::vector<LPARAM>(got.begin(), got.begin() + 4));
}

TEST_F(Tray, KillingTheTrayAndStartingItAgainDocksTheIconAgain) {
  AddIcon();
  ASSERT_TRUE(XSession::WaitFor([&] { return Docked(); }, Pump, 10000));
  session_->StopTray();
  // Without a tray the icon is out of sight, never a stray window on the desktop.
  ASSERT_TRUE(XSession::WaitFor([&] { return !Where().viewable; }, Pump, 5000));
  EXPECT_FALSE(XSession::WaitFor([&] { return Where().viewable; }, Pump, 500));
  ASSERT_TRUE(session_->StartTray());
  ASSERT_TRUE(XSession::WaitFor([&] { return Docked(); }, Pump, 10000));
  windows_.Clear();
  ASSERT_TRUE(ClickIcon({"click", "3"}));
  EXPECT_TRUE(Received(WM_RBUTTONUP));
}

TEST_F(Tray, AddedBeforeAnyTrayTheIconDocksWhenOneStarts) {
  session_->StopTray();
  AddIcon();
  EXPECT_FALSE(Where().viewable);
  ASSERT_TRUE(session_->StartTray());
  ASSERT_TRUE(XSession::WaitFor([&] { return Docked(); }, Pump, 10000));
}

// The balloon's wire protocol against the real bus daemon and notification daemon: the daemon
// answers with a notification id, replaces the notification and closes it.
TEST(TrayBalloonE2e, NotificationDaemonShowsReplacesAndClosesTheBalloon) {
  qvtest::SetWatchdogLimit(std::chrono::seconds(90));
  SessionOptions options;
  options.notifications = true;
  XSession session(options);
  ASSERT_TRUE(session.ok()) << session.error();
  const char* bus = getenv("DBUS_SESSION_BUS_ADDRESS");
  ASSERT_NE(nullptr, bus);
  qvp::TrayBalloon b;
  b.text = u"在这里右击可以关闭小助手哦！";
  b.tip = u"Qv直播助手";
  b.infoFlags = NIIF_INFO;
  uint32_t id = 0;
  // The daemon takes its name on the bus a moment after it starts.
  ASSERT_TRUE(XSession::WaitFor([&] { return (id = qvp::NotifyDesktop(bus, "qvtest", b, 0)) != 0; }, [] {}, 10000));
  EXPECT_EQ(id, qvp::NotifyDesktop(bus, "qvtest", b, id));
  EXPECT_TRUE(qvp::CloseDesktopNotification(bus, id));
}

}  // namespace
