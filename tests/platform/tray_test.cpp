// Notification-area icons on the headless desktop: what is shown, callback messages from clicks and
// double clicks by press timing, a tray that comes and goes, balloons; icons from bitmaps; balloons
// as desktop notifications on the wire of a stand-in session bus.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <optional>
#include <thread>

#include "gdi_dib.h"
#include "platform/testing.h"
#include "platform/testing_tray.h"
#include "platform/tray_internal.h"
#include "platform/win32.h"
#include "support/WindowFixture.h"

using namespace qvplatform::testing;
using qvtest::PumpPending;
using qvtest::RecordingWindows;

namespace {

constexpr UINT kCallback = WM_USER + 1008;

NOTIFYICONDATAW Data(HWND owner, UINT id, UINT flags, const std::u16string& tip = u"") {
  NOTIFYICONDATAW d{};
  d.cbSize = sizeof d;
  d.hWnd = owner;
  d.uID = id;
  d.uFlags = flags;
  d.uCallbackMessage = kCallback;
  std::copy(tip.begin(), tip.end(), d.szTip);
  return d;
}

std::vector<LPARAM> Callbacks(const RecordingWindows& w, HWND owner, UINT id) {
  std::vector<LPARAM> out;
  for (const auto& r : w.All())
    if (r.hwnd == owner && r.message == kCallback && r.wParam == id) out.push_back(r.lParam);
  return out;
}

// A copy of the icon's record, empty when the layer does not know the icon.
std::optional<TrayIconRecord> IconOf(HWND owner, unsigned id) {
  for (const auto& i : TrayIcons())
    if (i.owner == owner && i.id == id) return i;
  return std::nullopt;
}

void Click(HWND owner, UINT id, Button b) {
  ASSERT_TRUE(InjectTrayButton(owner, id, b, true, 5, 5));
  ASSERT_TRUE(InjectTrayButton(owner, id, b, false, 5, 5));
}

TEST(TrayIcon, AddShowsTheIconWithItsTipAndPixels) {
  RecordingWindows windows;
  HWND owner = windows.Create();
  uint32_t* bits;
  HBITMAP color = TopDownDib(nullptr, 2, 2, &bits);
  bits[0] = 0xFFFF0000u;  // opaque red
  bits[3] = 0x80000080u;  // half-transparent blue, premultiplied
  ICONINFO ii{TRUE, 0, 0, nullptr, color};
  HICON icon = CreateIconIndirect(&ii);
  ASSERT_NE(nullptr, icon);
  NOTIFYICONDATAW d = Data(owner, 103, NIF_MESSAGE | NIF_ICON | NIF_TIP, u"Qv直播助手");
  d.hIcon = icon;
  EXPECT_TRUE(Shell_NotifyIconW(NIM_ADD, &d));
  // The tray keeps its own copy of the icon.
  EXPECT_TRUE(DestroyIcon(icon));
  EXPECT_FALSE(DestroyIcon(icon));
  DeleteObject(color);
  std::optional<TrayIconRecord> r = IconOf(owner, 103);
  ASSERT_TRUE(r);
  EXPECT_TRUE(r->shown);
  EXPECT_EQ(u"Qv直播助手", r->tip);
  ASSERT_EQ(2, r->image.width);
  EXPECT_EQ(RGB(255, 0, 0), r->image.At(0, 0));
  EXPECT_EQ(255, r->alpha[0]);
  EXPECT_EQ(0, r->alpha[1]);
  EXPECT_EQ(0x80, r->alpha[3]);
  // A second add of the same icon fails; a change of tip goes through.
  EXPECT_FALSE(Shell_NotifyIconW(NIM_ADD, &d));
  NOTIFYICONDATAW tip = Data(owner, 103, NIF_TIP, u"新");
  EXPECT_TRUE(Shell_NotifyIconW(NIM_MODIFY, &tip));
  EXPECT_EQ(u"新", IconOf(owner, 103)->tip);
  EXPECT_EQ(2, IconOf(owner, 103)->image.width);  // untouched without NIF_ICON
}

TEST(TrayIcon, OpaqueBitmapIconIsTransparentWhereTheMaskIsSet) {
  HDC screen = GetDC(nullptr);
  HBITMAP color = CreateCompatibleBitmap(screen, 2, 1);
  HBITMAP mask = CreateCompatibleBitmap(screen, 2, 1);
  ReleaseDC(nullptr, screen);
  HDC dc = CreateCompatibleDC(nullptr);
  HGDIOBJ old = SelectObject(dc, color);
  SetPixel(dc, 0, 0, RGB(0, 200, 0));
  SetPixel(dc, 1, 0, RGB(0, 0, 200));
  SelectObject(dc, mask);
  SetPixel(dc, 0, 0, RGB(0, 0, 0));
  SetPixel(dc, 1, 0, RGB(255, 255, 255));
  SelectObject(dc, old);
  DeleteDC(dc);
  ICONINFO ii{TRUE, 0, 0, mask, color};
  HICON icon = CreateIconIndirect(&ii);
  ASSERT_NE(nullptr, icon);
  RecordingWindows windows;
  HWND owner = windows.Create();
  NOTIFYICONDATAW d = Data(owner, 1, NIF_ICON);
  d.hIcon = icon;
  ASSERT_TRUE(Shell_NotifyIconW(NIM_ADD, &d));
  std::optional<TrayIconRecord> r = IconOf(owner, 1);
  ASSERT_TRUE(r);
  EXPECT_EQ(RGB(0, 200, 0), r->image.At(0, 0));
  EXPECT_EQ(255, r->alpha[0]);
  EXPECT_EQ(0, r->alpha[1]);
  ICONINFO none{TRUE, 0, 0, nullptr, nullptr};
  EXPECT_EQ(nullptr, CreateIconIndirect(&none));
  EXPECT_EQ(nullptr, CreateIconIndirect(nullptr));
}

TEST(TrayIcon, ClicksArriveAsTheCallbackMessageWithTheIconId) {
  RecordingWindows windows;
  HWND owner = windows.Create();
  NOTIFYICONDATAW d = Data(owner, 103, NIF_MESSAGE | NIF_TIP, u"tip");
  ASSERT_TRUE(Shell_NotifyIconW(NIM_ADD, &d));
  FreezeClock();
  Click(owner, 103, Button::Right);
  ASSERT_TRUE(InjectTrayMouseMove(owner, 103, 6, 6));
  PumpPending();
  EXPECT_EQ((std::vector<LPARAM>{WM_RBUTTONDOWN, WM_RBUTTONUP, WM_MOUSEMOVE}), Callbacks(windows, owner, 103));
  // Another id of the same window is another icon.
  EXPECT_FALSE(InjectTrayButton(owner, 104, Button::Left, true));
}

TEST(TrayIcon, DoubleClickComesFromPressTiming) {
  RecordingWindows windows;
  HWND owner = windows.Create();
  NOTIFYICONDATAW d = Data(owner, 7, NIF_MESSAGE);
  ASSERT_TRUE(Shell_NotifyIconW(NIM_ADD, &d));
  FreezeClock();
  Click(owner, 7, Button::Left);
  AdvanceClock(200);
  Click(owner, 7, Button::Left);
  AdvanceClock(100);
  Click(owner, 7, Button::Left);  // a third press starts a new pair
  PumpPending();
  EXPECT_EQ((std::vector<LPARAM>{WM_LBUTTONDOWN, WM_LBUTTONUP, WM_LBUTTONDBLCLK, WM_LBUTTONUP, WM_LBUTTONDOWN,
                                 WM_LBUTTONUP}),
            Callbacks(windows, owner, 7));
  windows.Clear();
  AdvanceClock(GetDoubleClickTime() + 1);
  Click(owner, 7, Button::Left);  // too late for the previous press
  AdvanceClock(100);
  Click(owner, 7, Button::Right);  // another button is no pair either
  PumpPending();
  EXPECT_EQ((std::vector<LPARAM>{WM_LBUTTONDOWN, WM_LBUTTONUP, WM_RBUTTONDOWN, WM_RBUTTONUP}),
            Callbacks(windows, owner, 7));
}

// A notification area that reports whole clicks (a StatusNotifierItem host): the messages of the
// click, unpaired with presses before or after it.
TEST(TrayIcon, WholeClicksPostTheirMessagesWithoutPairingWithOtherPresses) {
  RecordingWindows windows;
  HWND owner = windows.Create();
  NOTIFYICONDATAW d = Data(owner, 7, NIF_MESSAGE);
  ASSERT_TRUE(Shell_NotifyIconW(NIM_ADD, &d));
  FreezeClock();
  Click(owner, 7, Button::Left);
  qvp::TrayClick(owner, 7, qvp::MouseButton::Left, true);
  Click(owner, 7, Button::Left);
  qvp::TrayClick(owner, 7, qvp::MouseButton::Right, false);
  PumpPending();
  EXPECT_EQ((std::vector<LPARAM>{WM_LBUTTONDOWN, WM_LBUTTONUP, WM_LBUTTONDOWN, WM_LBUTTONUP, WM_LBUTTONDBLCLK,
                                 WM_LBUTTONUP, WM_LBUTTONDOWN, WM_LBUTTONUP, WM_RBUTTONDOWN, WM_RBUTTONUP}),
            Callbacks(windows, owner, 7));
}

TEST(TrayIcon, WithoutNifMessageClicksAreNotReported) {
  RecordingWindows windows;
  HWND owner = windows.Create();
  NOTIFYICONDATAW d = Data(owner, 1, NIF_TIP, u"x");
  ASSERT_TRUE(Shell_NotifyIconW(NIM_ADD, &d));
  Click(owner, 1, Button::Right);
  PumpPending();
  EXPECT_TRUE(Callbacks(windows, owner, 1).empty());
}

TEST(TrayIcon, CallbackIsPostedToTheOwnersThread) {
  RecordingWindows windows;
  std::atomic<HWND> owner{nullptr};
  std::atomic<DWORD> ownerThread{0};
  std::atomic<bool> done{false};
  std::thread t([&] {
    owner = windows.Create();
    ownerThread = GetCurrentThreadId();
    NOTIFYICONDATAW d = Data(owner, 3, NIF_MESSAGE);
    Shell_NotifyIconW(NIM_ADD, &d);
    qvtest::PumpUntil([&] { return done.load(); }, 20000);
  });
  ASSERT_TRUE(qvtest::PumpUntil([&] { return ownerThread != 0; }));
  Click(owner, 3, Button::Right);
  ASSERT_TRUE(qvtest::PumpUntil([&] { return Callbacks(windows, owner, 3).size() == 2; }));
  for (const auto& r : windows.All())
    if (r.message == kCallback) {
      EXPECT_EQ(ownerThread.load(), r.threadId);
    }
  done = true;
  PostThreadMessageW(ownerThread, WM_NULL, 0, 0);
  t.join();
}

TEST(TrayIcon, WithoutATrayAddFailsAndTheIconShowsWhenATrayAppears) {
  SetHeadlessTrayPresent(false);
  RecordingWindows windows;
  HWND owner = windows.Create();
  NOTIFYICONDATAW d = Data(owner, 103, NIF_MESSAGE | NIF_TIP, u"first");
  EXPECT_FALSE(Shell_NotifyIconW(NIM_ADD, &d));
  std::optional<TrayIconRecord> r = IconOf(owner, 103);
  ASSERT_TRUE(r);
  EXPECT_FALSE(r->shown);
  EXPECT_FALSE(InjectTrayButton(owner, 103, Button::Right, true));
  NOTIFYICONDATAW tip = Data(owner, 103, NIF_TIP, u"second");
  EXPECT_FALSE(Shell_NotifyIconW(NIM_MODIFY, &tip));  // kept, not shown
  SetHeadlessTrayPresent(true);
  r = IconOf(owner, 103);
  ASSERT_TRUE(r);
  EXPECT_TRUE(r->shown);
  EXPECT_EQ(u"second", r->tip);
  Click(owner, 103, Button::Right);
  PumpPending();
  EXPECT_EQ((std::vector<LPARAM>{WM_RBUTTONDOWN, WM_RBUTTONUP}), Callbacks(windows, owner, 103));
}

TEST(TrayIcon, DeleteRemovesTheIconAndBadCallsFail) {
  RecordingWindows windows;
  HWND owner = windows.Create();
  NOTIFYICONDATAW d = Data(owner, 103, NIF_MESSAGE);
  EXPECT_FALSE(Shell_NotifyIconW(NIM_MODIFY, &d));
  EXPECT_FALSE(Shell_NotifyIconW(NIM_DELETE, &d));
  ASSERT_TRUE(Shell_NotifyIconW(NIM_ADD, &d));
  EXPECT_TRUE(Shell_NotifyIconW(NIM_DELETE, &d));
  EXPECT_FALSE(IconOf(owner, 103));
  EXPECT_FALSE(Shell_NotifyIconW(NIM_DELETE, &d));
  EXPECT_FALSE(InjectTrayButton(owner, 103, Button::Left, true));
  EXPECT_FALSE(Shell_NotifyIconW(NIM_ADD, nullptr));
  NOTIFYICONDATAW tiny = d;
  tiny.cbSize = 16;
  EXPECT_FALSE(Shell_NotifyIconW(NIM_ADD, &tiny));
  NOTIFYICONDATAW orphan = Data(reinterpret_cast<HWND>(0x7777), 1, NIF_MESSAGE);
  EXPECT_FALSE(Shell_NotifyIconW(NIM_ADD, &orphan));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE), GetLastError());
  EXPECT_FALSE(IconOf(orphan.hWnd, 1));
}

TEST(TrayIcon, IconGoesAwayWithItsOwner) {
  RecordingWindows windows;
  HWND owner = windows.Create();
  NOTIFYICONDATAW d = Data(owner, 103, NIF_MESSAGE);
  ASSERT_TRUE(Shell_NotifyIconW(NIM_ADD, &d));
  DestroyWindow(owner);
  EXPECT_FALSE(IconOf(owner, 103));
}

TEST(TrayIcon, HiddenStateHidesAndShowsTheIcon) {
  RecordingWindows windows;
  HWND owner = windows.Create();
  NOTIFYICONDATAW d = Data(owner, 2, NIF_MESSAGE | NIF_STATE);
  d.dwState = NIS_HIDDEN;
  d.dwStateMask = NIS_HIDDEN;
  EXPECT_FALSE(Shell_NotifyIconW(NIM_ADD, &d));
  EXPECT_FALSE(IconOf(owner, 2)->shown);
  d.dwState = 0;
  EXPECT_TRUE(Shell_NotifyIconW(NIM_MODIFY, &d));
  EXPECT_TRUE(IconOf(owner, 2)->shown);
}

TEST(TrayBalloon, InfoShowsTheBalloonAndAnEmptyTextTakesItAway) {
  ClearTrayBalloons();
  RecordingWindows windows;
  HWND owner = windows.Create();
  NOTIFYICONDATAW d = Data(owner, 103, NIF_MESSAGE | NIF_TIP | NIF_INFO, u"Qv直播助手");
  std::u16string text = u"在这里右击可以关闭小助手哦！";
  std::copy(text.begin(), text.end(), d.szInfo);
  d.dwInfoFlags = NIIF_INFO;
  ASSERT_TRUE(Shell_NotifyIconW(NIM_ADD, &d));
  NOTIFYICONDATAW off = Data(owner, 103, NIF_INFO);
  ASSERT_TRUE(Shell_NotifyIconW(NIM_MODIFY, &off));
  auto balloons = TrayBalloons();
  ASSERT_EQ(2u, balloons.size());
  EXPECT_EQ(text, balloons[0].text);
  EXPECT_EQ(u"", balloons[0].title);
  EXPECT_EQ(static_cast<unsigned>(NIIF_INFO), balloons[0].infoFlags);
  EXPECT_EQ(owner, balloons[0].owner);
  EXPECT_EQ(u"", balloons[1].text);
  // Without NIF_INFO no balloon.
  NOTIFYICONDATAW tip = Data(owner, 103, NIF_TIP, u"x");
  std::copy(text.begin(), text.end(), tip.szInfo);
  ASSERT_TRUE(Shell_NotifyIconW(NIM_MODIFY, &tip));
  EXPECT_EQ(2u, TrayBalloons().size());
}

TEST(TrayBalloon, FirstVersionRecordHasNoBalloonAndAShortTip) {
  ClearTrayBalloons();
  RecordingWindows windows;
  HWND owner = windows.Create();
  NOTIFYICONDATAW d = Data(owner, 1, NIF_TIP | NIF_INFO, std::u16string(100, u'a'));
  d.cbSize = NOTIFYICONDATAW_V1_SIZE;
  d.szInfo[0] = u'x';
  ASSERT_TRUE(Shell_NotifyIconW(NIM_ADD, &d));
  EXPECT_EQ(std::u16string(63, u'a'), IconOf(owner, 1)->tip);
  EXPECT_TRUE(TrayBalloons().empty());
}

// A stand-in session bus: accepts one connection per call, takes EXTERNAL authentication, records
// every message and answers each method call (Notify with notification id 42).
class FakeBus {
 public:
  FakeBus() {
    char tmpl[] = "/tmp/qv-bus-XXXXXX";
    folder_ = mkdtemp(tmpl);
    path_ = folder_ + "/bus";
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    strcpy(sa.sun_path, path_.c_str());
    EXPECT_EQ(0, bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa));
    EXPECT_EQ(0, listen(fd_, 4));
    thread_ = std::thread([this] { Serve(); });
  }
  ~FakeBus() {
    shutdown(fd_, SHUT_RDWR);
    close(fd_);
    thread_.join();
    unlink(path_.c_str());
    rmdir(folder_.c_str());
  }
  std::string address() const { return "unix:path=" + path_ + ",guid=0123"; }
  std::vector<std::string> messages() {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
  }
  std::string auth() {
    std::lock_guard<std::mutex> lock(mutex_);
    return auth_;
  }

 private:
  static uint32_t U32(const std::string& s, size_t at) {
    uint32_t v;
    memcpy(&v, s.data() + at, 4);
    return v;
  }
  void Serve() {
    for (;;) {
      int c = accept(fd_, nullptr, nullptr);
      if (c < 0) return;
      std::string in;
      auto fill = [&](size_t n) {
        char buf[4096];
        while (in.size() < n) {
          ssize_t r = read(c, buf, sizeof buf);
          if (r <= 0) return false;
          in.append(buf, static_cast<size_t>(r));
        }
        return true;
      };
      bool ok = true;
      while (ok && in.find("\r\n") == std::string::npos) ok = fill(in.size() + 1);
      if (ok) {
        std::lock_guard<std::mutex> lock(mutex_);
        auth_ = in.substr(0, in.find("\r\n") + 2);
        in.erase(0, auth_.size());
        (void)!write(c, "OK 0123456789abcdef\r\n", 21);
      }
      while (ok && in.find("BEGIN\r\n") == std::string::npos) ok = fill(in.size() + 1);
      if (!ok) {
        close(c);
        continue;
      }
      in.erase(0, in.find("BEGIN\r\n") + 7);
      while (fill(16)) {
        uint32_t body = U32(in, 4), serial = U32(in, 8), fields = U32(in, 12);
        size_t total = ((16 + fields + 7) & ~size_t{7}) + body;
        if (!fill(total)) break;
        std::string msg = in.substr(0, total);
        in.erase(0, total);
        bool notify = msg.find("Notify") != std::string::npos;
        {
          std::lock_guard<std::mutex> lock(mutex_);
          messages_.push_back(msg);
        }
        // Method return: REPLY_SERIAL, and for Notify a "u" body.
        std::string reply = std::string("l\x02\x00\x01", 4);
        uint32_t replyBody = notify ? 4 : 0;
        reply.append(reinterpret_cast<char*>(&replyBody), 4);
        uint32_t mySerial = 1000 + serial;
        reply.append(reinterpret_cast<char*>(&mySerial), 4);
        std::string f = std::string("\x05\x01u\x00", 4);
        f.append(reinterpret_cast<char*>(&serial), 4);
        if (notify) f += std::string("\x08\x01g\x00\x01u\x00", 7);
        uint32_t flen = static_cast<uint32_t>(f.size());
        reply.append(reinterpret_cast<char*>(&flen), 4);
        reply += f;
        while (reply.size() % 8) reply.push_back('\0');
        if (notify) {
          uint32_t id = 42;
          reply.append(reinterpret_cast<char*>(&id), 4);
        }
        (void)!write(c, reply.data(), reply.size());
      }
      close(c);
    }
  }
  std::string folder_, path_;
  int fd_ = -1;
  std::thread thread_;
  std::mutex mutex_;
  std::vector<std::string> messages_;
  std::string auth_;
};

bool Contains(const std::string& haystack, const std::string& needle) { return haystack.find(needle) != std::string::npos; }

TEST(DesktopNotification, BalloonIsANotifyCallOnTheSessionBus) {
  FakeBus bus;
  qvp::TrayBalloon b;
  b.text = u"在这里右击 <b>&";
  b.tip = u"Qv直播助手";
  b.infoFlags = NIIF_INFO;
  EXPECT_EQ(42u, qvp::NotifyDesktop("unix:abstract=/nowhere-qv-test;" + bus.address(), "qvapp", b, 7));
  std::string hex;
  for (char c : std::to_string(getuid())) {
    char h[3];
    snprintf(h, sizeof h, "%02x", static_cast<unsigned char>(c));
    hex += h;
  }
  EXPECT_EQ(std::string(1, '\0') + "AUTH EXTERNAL " + hex + "\r\n", bus.auth());
  auto msgs = bus.messages();
  ASSERT_EQ(2u, msgs.size());
  EXPECT_TRUE(Contains(msgs[0], "Hello"));  // the bus wants a hello first
  const std::string& n = msgs[1];
  EXPECT_TRUE(Contains(n, "org.freedesktop.Notifications"));
  EXPECT_TRUE(Contains(n, "/org/freedesktop/Notifications"));
  EXPECT_TRUE(Contains(n, std::string("susssasa{sv}i")));
  EXPECT_TRUE(Contains(n, "dialog-information"));
  EXPECT_TRUE(Contains(n, "Qv直播助手"));  // no title: the tip heads it
  EXPECT_TRUE(Contains(n, "在这里右击 &lt;b&gt;&amp;"));
  EXPECT_TRUE(Contains(n, std::string("qvapp\0\0\0\x07\0\0\0", 12)));  // app name, then replaces id 7
  EXPECT_TRUE(qvp::CloseDesktopNotification(bus.address(), 42));
  ASSERT_EQ(4u, bus.messages().size());
  EXPECT_TRUE(Contains(bus.messages()[3], "CloseNotification"));
}

TEST(DesktopNotification, NoBusIsQuietlyNothing) {
  qvp::TrayBalloon b;
  b.text = u"x";
  EXPECT_EQ(0u, qvp::NotifyDesktop("", "qvapp", b, 0));
  EXPECT_EQ(0u, qvp::NotifyDesktop("unix:path=/nonexistent/qv/bus", "qvapp", b, 0));
  EXPECT_EQ(0u, qvp::NotifyDesktop("tcp:host=127.0.0.1,port=1", "qvapp", b, 0));
  EXPECT_FALSE(qvp::CloseDesktopNotification("unix:path=/nonexistent/qv/bus", 3));
}

// ---- the D-Bus codec ----

using qvp::dbus::Message;
using qvp::dbus::Reader;
using qvp::dbus::Writer;

TEST(DBusCodec, AMessageWithEveryHeaderFieldAndANestedBodyDecodesAsItWasMade) {
  // An icon property as the tray sends it: a variant holding a(iiay), then a string.
  Writer w;
  w.Sig("a(iiay)");
  size_t list = w.BeginArray(8);
  w.Struct();
  w.I32(2);
  w.I32(-1);
  size_t bytes = w.BeginArray(1);
  for (uint8_t b : {0xFF, 0x10, 0x20, 0x30}) w.Byte(b);
  w.EndArray(bytes);
  w.EndArray(list);
  w.Str("尾");
  Message m = Message::Call(":1.7", "/StatusNotifierItem", "org.kde.StatusNotifierItem", "Get", "vs", w.b);
  m.sender = ":1.9";
  m.flags = qvp::dbus::kNoReplyExpected;
  std::string wire = qvp::dbus::Encode(m, 77);
  EXPECT_EQ(0u, qvp::dbus::MessageLength(wire.substr(0, wire.size() - 1)));  // not all there yet
  EXPECT_EQ(wire.size(), qvp::dbus::MessageLength(wire + "next"));
  Message d;
  ASSERT_TRUE(qvp::dbus::Decode(wire, d));
  EXPECT_EQ(77u, d.serial);
  EXPECT_EQ(qvp::dbus::kNoReplyExpected, d.flags);
  EXPECT_EQ("/StatusNotifierItem", d.path);
  EXPECT_EQ("org.kde.StatusNotifierItem", d.interface);
  EXPECT_EQ("Get", d.member);
  EXPECT_EQ(":1.7", d.destination);
  EXPECT_EQ(":1.9", d.sender);
  EXPECT_EQ("vs", d.signature);
  // The array's length leaves out the padding before its first struct: two ints and ay of 4.
  Reader r(d.body, d.little);
  std::string sig, tail;
  size_t end = 0, pixels = 0;
  int32_t width = 0, height = 0;
  uint8_t alpha = 0;
  ASSERT_TRUE(r.Sig(sig));
  EXPECT_EQ("a(iiay)", sig);
  ASSERT_TRUE(r.Array(8, end));
  EXPECT_EQ(16u, end - r.at());
  ASSERT_TRUE(r.Struct() && r.I32(width) && r.I32(height) && r.Array(1, pixels));
  EXPECT_EQ(2, width);
  EXPECT_EQ(-1, height);
  EXPECT_EQ(4u, pixels - r.at());
  ASSERT_TRUE(r.Byte(alpha));
  EXPECT_EQ(0xFF, alpha);
  Reader skip(d.body, d.little);
  EXPECT_TRUE(skip.Skip("v"));
  EXPECT_TRUE(skip.Str(tail));
  EXPECT_EQ("尾", tail);
  EXPECT_EQ(d.body.size(), skip.at());
  // A reply and an error name what they answer.
  Message reply = Message::Error(d, "org.example.Error", "why");
  ASSERT_TRUE(qvp::dbus::Decode(qvp::dbus::Encode(reply, 78), d));
  EXPECT_EQ(qvp::dbus::kError, d.type);
  EXPECT_EQ(77u, d.replySerial);
  EXPECT_EQ(":1.9", d.destination);
  EXPECT_EQ("org.example.Error", d.errorName);
}

TEST(DBusCodec, BigEndianMessagesDecodeAndMalformedOnesAreRefused) {
  // A signal in big-endian order, as another implementation may send it: member "A", body "u" 258.
  std::string be("B\x04\x00\x01\x00\x00\x00\x04\x00\x00\x00\x05\x00\x00\x00\x1a", 16);
  be += std::string("\x01\x01o\x00\x00\x00\x00\x01/\x00\x00\x00\x00\x00\x00\x00", 16);  // path "/"
  be += std::string("\x03\x01s\x00\x00\x00\x00\x01" "A\x00", 10);                      // member "A"
  be += std::string("\x00\x00\x00\x00\x00\x00", 6);  // the fields end at 42, the body starts at 48
  be += std::string("\x00\x00\x01\x02", 4);
  Message m;
  ASSERT_EQ(be.size(), qvp::dbus::MessageLength(be));
  ASSERT_TRUE(qvp::dbus::Decode(be, m));
  EXPECT_EQ(qvp::dbus::kSignal, m.type);
  EXPECT_EQ("/", m.path);
  EXPECT_EQ("A", m.member);
  uint32_t v = 0;
  EXPECT_TRUE(Reader(m.body, m.little).U32(v));
  EXPECT_EQ(258u, v);

  EXPECT_EQ(std::string::npos, qvp::dbus::MessageLength(std::string(16, 'x')));  // no byte order
  std::string huge = qvp::dbus::Encode(Message::Signal("/", "a.b", "C"), 1);
  huge[4] = huge[5] = huge[6] = huge[7] = '\x7f';  // a body of 2 GB
  EXPECT_EQ(std::string::npos, qvp::dbus::MessageLength(huge));
  std::string zeroSerial = qvp::dbus::Encode(Message::Signal("/", "a.b", "C"), 0);
  EXPECT_FALSE(qvp::dbus::Decode(zeroSerial, m));

  // Bodies: a string without its nul, padding that is not zero, an array longer than the body.
  Writer w;
  w.Str("abc");
  std::string noNul = w.b;
  noNul[7] = 'x';
  std::string s;
  EXPECT_FALSE(Reader(noNul, true).Str(s));
  Writer pad;
  pad.Byte(1);
  pad.U32(5);
  pad.b[2] = '\x01';
  uint8_t b = 0;
  Reader padded(pad.b, true);
  EXPECT_TRUE(padded.Byte(b));
  EXPECT_FALSE(padded.U32(v));
  EXPECT_FALSE(padded.ok());
  Writer array;
  array.U32(1000);
  size_t end = 0;
  EXPECT_FALSE(Reader(array.b, true).Array(4, end));
  EXPECT_FALSE(Reader(w.b, true).Skip("a{sv"));  // not a complete type
}

}  // namespace
