// The notification-area icon in a real tray host (trayer): docking, right and double clicks from
// real XTEST input as the owner's callback message, and docking again after the tray restarts.
// As a StatusNotifierItem on a private session bus, with the test playing the watcher and gdbus
// the host: registration, properties, clicks, and the XEmbed tray whenever no watcher is there.
#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <thread>

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
    // A watcher on the desktop's own bus would take the icon from trayer.
    if (!bus_) unsetenv("DBUS_SESSION_BUS_ADDRESS");
    else ASSERT_TRUE(StartBus());
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

  // An icon of 16x16 red pixels with its first pixel `corner` (premultiplied).
  void AddIcon(uint32_t corner = 0) {
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    bi.bmiHeader.biWidth = 16;
    bi.bmiHeader.biHeight = -16;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    HBITMAP color = CreateDIBSection(nullptr, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    ASSERT_NE(nullptr, color);
    for (int i = 0; i < 256; ++i) static_cast<uint32_t*>(bits)[i] = i == 0 ? corner : 0xFFDC1E1Eu;
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

  // A private session bus with a configuration of its own (nothing is activated on it).
  bool StartBus() {
    std::string folder = session_->folder();
    std::ofstream(folder + "/bus.conf") << "<busconfig><type>session</type><listen>unix:path=" << folder
                                        << "/bus</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                                           "<allow send_destination=\"*\"/><allow receive_sender=\"*\"/><allow own=\"*\"/>"
                                           "</policy></busconfig>\n";
    std::string addressFile = folder + "/bus-address";
    busPid_ = session_->Spawn({"dbus-daemon", "--config-file=" + folder + "/bus.conf", "--nofork", "--nopidfile",
                               "--print-address=1"},
                              addressFile);
    return busPid_ > 0 && XSession::WaitFor([&] {
      std::ifstream in(addressFile);
      std::string line;
      if (!std::getline(in, line) || in.eof()) return false;
      setenv("DBUS_SESSION_BUS_ADDRESS", line.c_str(), 1);
      return true;
    }, [] {}, 5000);
  }

  std::unique_ptr<XSession> session_;
  qvtest::RecordingWindows windows_;
  HWND owner_ = nullptr;
  bool bus_ = false;
  pid_t busPid_ = -1;
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

// ---- as a StatusNotifierItem ----

// The watcher, on its own connection and thread: takes org.kde.StatusNotifierWatcher, records
// every registration and the items' signals. Stopping it closes the connection, so the name goes.
class Watcher {
 public:
  explicit Watcher(const std::string& address) {
    ok_ = bus_.Open(address, 5000);
    qvp::dbus::Writer w;
    w.Str("org.kde.StatusNotifierWatcher");
    w.U32(4);
    qvp::dbus::Message reply;
    ok_ = ok_ && Call("RequestName", "su", w.b, reply) && reply.type == qvp::dbus::kMethodReturn;
    qvp::dbus::Writer rule;
    rule.Str("type='signal',interface='org.kde.StatusNotifierItem'");
    ok_ = ok_ && Call("AddMatch", "s", rule.b, reply) && reply.type == qvp::dbus::kMethodReturn;
    if (ok_) thread_ = std::thread([this] { Run(); });
  }
  ~Watcher() { Stop(); }
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    bus_.Close();
  }
  bool ok() const { return ok_; }
  // Registered services, in order.
  std::vector<std::string> Items() {
    std::lock_guard<std::mutex> lock(mutex_);
    return items_;
  }
  // Signals of the items: "NewTitle", "NewStatus Passive"...
  std::vector<std::string> Signals() {
    std::lock_guard<std::mutex> lock(mutex_);
    return signals_;
  }

 private:
  bool Call(const char* member, const char* sig, const std::string& body, qvp::dbus::Message& reply) {
    return bus_.Call(qvp::dbus::Message::Call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                              member, sig, body),
                     reply, 5000);
  }
  void Run() {
    while (!stop_ && bus_.open()) {
      pollfd p{bus_.fd(), POLLIN, 0};
      if (poll(&p, 1, 20) == 1 && !bus_.Receive()) break;
      qvp::dbus::Message m;
      while (bus_.Next(m)) {
        qvp::dbus::Reader args(m.body, m.little);
        std::string text;
        std::lock_guard<std::mutex> lock(mutex_);
        if (m.type == qvp::dbus::kSignal && m.interface == "org.kde.StatusNotifierItem") {
          signals_.push_back(m.member + (m.signature == "s" && args.Str(text) ? " " + text : ""));
        } else if (m.type == qvp::dbus::kMethodCall && m.member == "RegisterStatusNotifierItem" && args.Str(text)) {
          items_.push_back(text);
          bus_.Send(qvp::dbus::Message::Return(m));
        } else if (m.type == qvp::dbus::kMethodCall) {
          bus_.Send(qvp::dbus::Message::Error(m, "org.freedesktop.DBus.Error.UnknownMethod", "no"));
        }
      }
    }
  }

  qvp::dbus::Connection bus_;
  bool ok_ = false;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex mutex_;
  std::vector<std::string> items_, signals_;
};

class StatusNotifier : public Tray {
 protected:
  void SetUp() override {
    bus_ = true;
    Tray::SetUp();
  }
  void TearDown() override {
    Tray::TearDown();
    watcher_.reset();
    session_->Stop(busPid_);
  }
  bool StartWatcher() {
    watcher_ = std::make_unique<Watcher>(getenv("DBUS_SESSION_BUS_ADDRESS"));
    return watcher_->ok();
  }
  // The service the icon registered with the watcher (the n-th registration), once it has.
  std::string Registered(size_t n = 1) {
    std::string service;
    XSession::WaitFor([&] {
      auto items = watcher_->Items();
      if (items.size() >= n) service = items[n - 1];
      return !service.empty();
    }, Pump, 10000);
    return service;
  }
  // gdbus, the host's side: a call on the item, its output.
  std::string Host(const std::string& service, const std::string& method, const std::vector<std::string>& args) {
    std::vector<std::string> argv{"gdbus", "call", "--session", "--dest", service, "--object-path",
                                  "/StatusNotifierItem", "--method", method};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string out;
    return session_->Run(argv, Pump, &out) ? out : "failed";
  }
  std::string Property(const std::string& service, const std::string& name) {
    return Host(service, "org.freedesktop.DBus.Properties.Get", {"org.kde.StatusNotifierItem", name});
  }
  bool XEmbedIconShown() { return Where().viewable; }

  std::unique_ptr<Watcher> watcher_;
};

TEST_F(StatusNotifier, IconRegistersWithTheWatcherAndTheHostReadsItsProperties) {
  ASSERT_TRUE(StartWatcher());
  AddIcon(0x80800000u);  // half-transparent red, premultiplied
  std::string service = Registered();
  EXPECT_EQ(0u, service.find("org.kde.StatusNotifierItem-" + std::to_string(getpid()) + "-")) << service;
  EXPECT_FALSE(XEmbedIconShown());  // not in trayer as well
  EXPECT_EQ("(<'platform_tray_e2e_test'>,)\n", Property(service, "Id"));
  EXPECT_EQ("(<'Qv直播助手'>,)\n", Property(service, "Title"));
  EXPECT_EQ("(<'Active'>,)\n", Property(service, "Status"));
  EXPECT_EQ("(<'ApplicationStatus'>,)\n", Property(service, "Category"));
  EXPECT_EQ("(<false>,)\n", Property(service, "ItemIsMenu"));
  // 16x16, ARGB in network order, not premultiplied: the first pixel is 50 % red.
  std::string pixmap = Property(service, "IconPixmap");
  EXPECT_EQ(0u, pixmap.find("(<[(16, 16, [byte 0x80, 0xff, 0x00, 0x00, 0xff, 0xdc, 0x1e, 0x1e,")) << pixmap.substr(0, 80);
  EXPECT_NE(std::string::npos, Host(service, "org.freedesktop.DBus.Properties.GetAll", {"org.kde.StatusNotifierItem"})
                                   .find("'ToolTip': <('', @a(iiay) [], 'Qv直播助手', '')>"));

  // A new tip and the hidden state reach the host as signals and as the properties.
  NOTIFYICONDATAW d{};
  d.cbSize = sizeof d;
  d.hWnd = owner_;
  d.uID = kId;
  d.uFlags = NIF_TIP | NIF_STATE;
  std::u16string tip = u"新的";
  std::copy(tip.begin(), tip.end(), d.szTip);
  d.dwState = d.dwStateMask = NIS_HIDDEN;
  EXPECT_FALSE(Shell_NotifyIconW(NIM_MODIFY, &d));  // hidden: not shown
  ASSERT_TRUE(XSession::WaitFor([&] { return watcher_->Signals().size() >= 3; }, Pump, 5000));
  EXPECT_EQ((std::vector<std::string>{"NewTitle", "NewToolTip", "NewStatus Passive"}), watcher_->Signals());
  EXPECT_EQ("(<'新的'>,)\n", Property(service, "Title"));
  EXPECT_EQ("(<'Passive'>,)\n", Property(service, "Status"));

  // Deleting the icon drops its name from the bus.
  d.uFlags = 0;
  ASSERT_TRUE(Shell_NotifyIconW(NIM_DELETE, &d));
  EXPECT_TRUE(XSession::WaitFor([&] {
    std::string out;
    session_->Run({"gdbus", "call", "--session", "--dest", "org.freedesktop.DBus", "--object-path",
                   "/org/freedesktop/DBus", "--method", "org.freedesktop.DBus.NameHasOwner", service},
                  Pump, &out);
    return out == "(false,)\n";
  }, Pump, 5000));
}

TEST_F(StatusNotifier, ContextMenuIsARightClickThereAndActivateADoubleClick) {
  ASSERT_TRUE(StartWatcher());
  AddIcon();
  std::string service = Registered();
  ASSERT_FALSE(service.empty());
  windows_.Clear();
  EXPECT_EQ("()\n", Host(service, "org.kde.StatusNotifierItem.ContextMenu", {"200", "300"}));
  ASSERT_TRUE(Received(WM_RBUTTONUP));
  EXPECT_EQ((std::vector<LPARAM>{WM_RBUTTONDOWN, WM_RBUTTONUP}), Callbacks());
  // The program opens its menu where the cursor is: where the host was clicked.
  POINT pt;
  GetCursorPos(&pt);
  EXPECT_EQ(200, pt.x);
  EXPECT_EQ(300, pt.y);
  windows_.Clear();
  EXPECT_EQ("()\n", Host(service, "org.kde.StatusNotifierItem.Activate", {"10", "20"}));
  ASSERT_TRUE(XSession::WaitFor([&] { return Callbacks().size() == 4; }, Pump, 5000));
  EXPECT_EQ((std::vector<LPARAM>{WM_LBUTTONDOWN, WM_LBUTTONUP, WM_LBUTTONDBLCLK, WM_LBUTTONUP}), Callbacks());
  windows_.Clear();
  EXPECT_EQ("()\n", Host(service, "org.kde.StatusNotifierItem.SecondaryActivate", {"10", "20"}));
  ASSERT_TRUE(Received(WM_MBUTTONUP));
  EXPECT_EQ((std::vector<LPARAM>{WM_MBUTTONDOWN, WM_MBUTTONUP}), Callbacks());
  EXPECT_EQ("failed", Host(service, "org.kde.StatusNotifierItem.Nothing", {}));  // an error, not silence
}

TEST_F(StatusNotifier, WithoutAWatcherTheIconDocksInTrayerAndItFollowsTheWatcherBackAndForth) {
  AddIcon();
  ASSERT_TRUE(XSession::WaitFor([&] { return Docked(); }, Pump, 10000));
  ASSERT_TRUE(StartWatcher());
  std::string service = Registered(1);
  ASSERT_FALSE(service.empty());
  EXPECT_TRUE(XSession::WaitFor([&] { return !XEmbedIconShown(); }, Pump, 5000));
  // The watcher goes: back to trayer, where clicks work as ever.
  watcher_->Stop();
  ASSERT_TRUE(XSession::WaitFor([&] { return Docked(); }, Pump, 10000));
  windows_.Clear();
  ASSERT_TRUE(ClickIcon({"click", "3"}));
  EXPECT_TRUE(Received(WM_RBUTTONUP));
  // A new watcher gets the icon again, under the same name.
  ASSERT_TRUE(StartWatcher());
  EXPECT_EQ(service, Registered(1));
  EXPECT_TRUE(XSession::WaitFor([&] { return !XEmbedIconShown(); }, Pump, 5000));
  EXPECT_EQ("(<'Active'>,)\n", Property(service, "Status"));
}

}  // namespace
