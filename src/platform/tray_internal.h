// The notification-area icons between Shell_NotifyIconW (tray.cpp) and the display that shows them
// (the X tray, or the headless desktop's record for tests).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "backend.h"
#include "win32/types.h"

namespace qvp {

// An icon's pixels: premultiplied ARGB32, rows top-down.
struct IconImage {
  int width = 0;
  int height = 0;
  std::vector<uint32_t> argb;
};
// The pixels of a live icon, or null.
std::shared_ptr<const IconImage> IconImageOf(HICON icon);

struct TrayIcon {
  HWND owner = nullptr;
  UINT id = 0;
  std::shared_ptr<const IconImage> image;  // null: an empty icon
  std::u16string tip;
  bool hidden = false;  // NIS_HIDDEN: kept by the host, out of sight
};

struct TrayBalloon {
  std::u16string title;
  std::u16string text;  // empty: take the icon's balloon away
  std::u16string tip;   // the icon's tip, a heading when the balloon has no title
  DWORD infoFlags = 0;  // NIIF_
  UINT timeoutMs = 0;
};

// A notification area. Called with the tray's lock held: a host never calls back into tray.cpp
// from inside these.
class TrayHost {
 public:
  virtual ~TrayHost() = default;
  // Shows the icon or updates it (a hidden one is taken out of sight); true when a notification
  // area shows it now. An icon a host cannot show yet, it shows once a notification area appears.
  virtual bool Show(const TrayIcon& icon) = 0;
  virtual void Remove(HWND owner, UINT id) = 0;
  virtual void Balloon(HWND owner, UINT id, const TrayBalloon& balloon) = 0;
};

// The host for the backend in use (tray.cpp for the headless desktop, the X backend's own).
TrayHost& TheTrayHost();

// Pointer input on an icon, from a host's thread: becomes the owner's callback message.
void TrayMouseButton(HWND owner, UINT id, MouseButton button, bool down, POINT screen);
void TrayMouseMove(HWND owner, UINT id, POINT screen);
// A whole click a notification area reports at once: the button's press and release, and for a
// double click a second pair (WM_xBUTTONDBLCLK, then the release), whatever came before.
void TrayClick(HWND owner, UINT id, MouseButton button, bool doubleClick);

// The icons as StatusNotifierItems on the session bus while an org.kde.StatusNotifierWatcher is
// there; `fallback` shows them otherwise (and shows balloons). `busAddress` empty: the session
// bus of the environment, looked up at each connection. One connection, read on its own thread.
std::unique_ptr<TrayHost> MakeStatusNotifierHost(TrayHost& fallback, const std::string& busAddress = std::string());

// Balloons as desktop notifications (org.freedesktop.Notifications over the session bus). Quietly
// nothing without a bus or a notification service.
// One notification, synchronously: its id, or 0. `replaces` is an earlier id it takes the place
// of; `busAddress` is a D-Bus address list ("unix:path=...;unix:abstract=...").
uint32_t NotifyDesktop(const std::string& busAddress, const std::string& appName, const TrayBalloon& balloon,
                       uint32_t replaces, int timeoutMs = 2000);
bool CloseDesktopNotification(const std::string& busAddress, uint32_t id, int timeoutMs = 2000);
// The icon's balloon on a worker thread, at $DBUS_SESSION_BUS_ADDRESS: a new balloon of an icon
// replaces its last one; an empty text, or ForgetDesktopBalloon, closes it.
void QueueDesktopBalloon(HWND owner, UINT id, const TrayBalloon& balloon);
void ForgetDesktopBalloon(HWND owner, UINT id);

// $DBUS_SESSION_BUS_ADDRESS, else unix:path=$XDG_RUNTIME_DIR/bus, else empty.
std::string SessionBusAddress();

}  // namespace qvp

// Just enough of the D-Bus wire protocol for the tray: messages of every kind, bodies of basic
// types, strings, arrays, structs and variants, and a connection over a unix socket.
namespace qvp::dbus {

enum MessageType : uint8_t { kMethodCall = 1, kMethodReturn = 2, kError = 3, kSignal = 4 };
constexpr uint8_t kNoReplyExpected = 1;
constexpr uint8_t kNoAutoStart = 2;

struct Message {
  uint8_t type = kMethodCall;
  uint8_t flags = 0;
  uint32_t serial = 0;
  uint32_t replySerial = 0;
  std::string path, interface, member, errorName, destination, sender, signature;
  std::string body;  // marshalled in the message's byte order
  bool little = true;

  static Message Call(const std::string& destination, const std::string& path, const std::string& interface,
                      const std::string& member, const std::string& signature = std::string(),
                      std::string body = std::string());
  static Message Signal(const std::string& path, const std::string& interface, const std::string& member,
                        const std::string& signature = std::string(), std::string body = std::string());
  // The answer to a method call `to`.
  static Message Return(const Message& to, const std::string& signature = std::string(),
                        std::string body = std::string());
  static Message Error(const Message& to, const std::string& name, const std::string& text);
};

// Marshals little-endian; offsets count from the start of `b`, which starts 8-aligned.
struct Writer {
  std::string b;
  void Align(size_t n);
  void Byte(uint8_t v);
  void Boolean(bool v) { U32(v ? 1 : 0); }
  void I32(int32_t v) { U32(static_cast<uint32_t>(v)); }
  void U32(uint32_t v);
  void Str(const std::string& s);  // also an object path
  void Sig(const std::string& s);
  // An array: the length is filled in by EndArray with what BeginArray returned.
  size_t BeginArray(size_t elementAlign);
  void EndArray(size_t token);
  void Struct() { Align(8); }
};

// Reads a body (or a whole message); any read past the end or a malformed value makes ok() false
// and every later read fail.
class Reader {
 public:
  Reader(const std::string& data, bool little, size_t at = 0, size_t end = std::string::npos);
  bool ok() const { return ok_; }
  size_t at() const { return at_; }
  bool Align(size_t n);
  bool Byte(uint8_t& v);
  bool Boolean(bool& v);
  bool I32(int32_t& v);
  bool U32(uint32_t& v);
  bool Str(std::string& s);
  bool Sig(std::string& s);
  // An array of elements aligned to `elementAlign`: `end` is where its elements end.
  bool Array(size_t elementAlign, size_t& end);
  bool Struct() { return Align(8); }
  // Skips one value of the single complete type `signature`.
  bool Skip(const std::string& signature);

 private:
  bool Fail() { return ok_ = false; }
  bool SkipOne(const std::string& sig, size_t& pos, int depth);
  const std::string& d_;
  size_t at_, end_;
  bool little_, ok_ = true;
};

// A whole message with `serial`.
std::string Encode(const Message& m, uint32_t serial);
// The length of the message at the start of `data` once it is all there; 0 while more bytes are
// needed; std::string::npos for bytes no message starts with.
size_t MessageLength(const std::string& data);
// Decodes one whole message (MessageLength bytes); false when it is malformed.
bool Decode(const std::string& data, Message& m);

class Connection {
 public:
  Connection() = default;
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Connects to the first address of the list that answers, authenticates and says Hello.
  bool Open(const std::string& addresses, int timeoutMs);
  bool open() const { return fd_ >= 0; }
  const std::string& uniqueName() const { return unique_; }
  int fd() const { return fd_; }
  // Sends `m` with the next serial; 0 when the connection failed.
  uint32_t Send(const Message& m, int timeoutMs = 2000);
  // Sends a method call and waits for its answer, keeping what else arrives for Next().
  bool Call(const Message& m, Message& reply, int timeoutMs);
  // Reads what the socket holds without waiting; false once the connection is gone.
  bool Receive();
  // The next whole message received, if any; a malformed one ends the connection.
  bool Next(Message& m);
  void Close();

 private:
  bool Connect(const std::string& address, int timeoutMs);
  bool Authenticate(int timeoutMs);
  bool Write(const std::string& data, int timeoutMs);
  bool Wait(short events, int timeoutMs);

  int fd_ = -1;
  uint32_t serial_ = 0;
  std::string in_;
  std::string unique_;
  std::vector<Message> kept_;  // arrived during Call
};

}  // namespace qvp::dbus
