// Balloons as desktop notifications: just enough of the D-Bus wire protocol (EXTERNAL
// authentication, method calls, their replies) to call org.freedesktop.Notifications.
#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "tray_internal.h"
#include "utf.h"
#include "win32/tray.h"

extern char* program_invocation_short_name;

namespace qvp {
namespace {

using Clock = std::chrono::steady_clock;

// Little-endian marshalling; offsets count from the start of the buffer, which starts aligned.
struct Writer {
  std::string b;
  void Align(size_t n) {
    while (b.size() % n) b.push_back('\0');
  }
  void Byte(uint8_t v) { b.push_back(static_cast<char>(v)); }
  void U32(uint32_t v) {
    Align(4);
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  }
  void PutU32At(size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
  }
  void Str(const std::string& s) {
    U32(static_cast<uint32_t>(s.size()));
    b += s;
    b.push_back('\0');
  }
  void Sig(const std::string& s) {
    Byte(static_cast<uint8_t>(s.size()));
    b += s;
    b.push_back('\0');
  }
};

struct Call {
  std::string destination, path, interface, member, signature, body;
};

std::string Marshal(const Call& c, uint32_t serial) {
  Writer w;
  w.Byte('l');
  w.Byte(1);  // method call
  w.Byte(0);
  w.Byte(1);
  w.U32(static_cast<uint32_t>(c.body.size()));
  w.U32(serial);
  size_t lengthAt = w.b.size();
  w.U32(0);
  size_t start = w.b.size();
  auto field = [&](uint8_t code, const char* type, const std::string& value) {
    w.Align(8);
    w.Byte(code);
    w.Sig(type);
    if (type[0] == 'g') w.Sig(value);
    else w.Str(value);
  };
  field(1, "o", c.path);
  field(2, "s", c.interface);
  field(3, "s", c.member);
  field(6, "s", c.destination);
  if (!c.signature.empty()) field(8, "g", c.signature);
  w.PutU32At(lengthAt, static_cast<uint32_t>(w.b.size() - start));
  w.Align(8);
  return w.b + c.body;
}

// A reply read off the wire.
struct Reply {
  uint8_t type = 0;
  uint32_t replySerial = 0;
  std::string body;
  bool little = true;
};

uint32_t ReadU32(const std::string& s, size_t at, bool little) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) {
    uint32_t byte = static_cast<unsigned char>(s[at + i]);
    v |= little ? byte << (8 * i) : byte << (8 * (3 - i));
  }
  return v;
}

class Connection {
 public:
  explicit Connection(int timeoutMs) : deadline_(Clock::now() + std::chrono::milliseconds(timeoutMs)) {}
  ~Connection() {
    if (fd_ >= 0) close(fd_);
  }

  bool Open(const std::string& addresses) {
    size_t pos = 0;
    while (pos <= addresses.size()) {
      size_t end = addresses.find(';', pos);
      if (end == std::string::npos) end = addresses.size();
      if (Connect(addresses.substr(pos, end - pos)) && Authenticate()) return true;
      if (fd_ >= 0) close(fd_);
      fd_ = -1;
      pos = end + 1;
    }
    return false;
  }

  bool Send(const Call& c, uint32_t& serial) {
    serial = ++serial_;
    return Write(Marshal(c, serial));
  }

  // Waits for the reply to `serial`, skipping signals and other traffic.
  bool Await(uint32_t serial, Reply& reply) {
    for (;;) {
      if (!Fill(16)) return false;
      bool little = in_[0] == 'l';
      if (!little && in_[0] != 'B') return false;
      uint32_t bodyLen = ReadU32(in_, 4, little), fieldsLen = ReadU32(in_, 12, little);
      if (bodyLen > (1u << 26) || fieldsLen > (1u << 26)) return false;
      size_t headerEnd = (16 + fieldsLen + 7) & ~size_t{7};
      if (!Fill(headerEnd + bodyLen)) return false;
      Reply r;
      r.type = static_cast<uint8_t>(in_[1]);
      r.little = little;
      size_t at = 16, end = 16 + fieldsLen;
      while (at < end) {
        at = (at + 7) & ~size_t{7};
        if (at + 2 > end) break;
        uint8_t code = static_cast<uint8_t>(in_[at]);
        size_t sigLen = static_cast<unsigned char>(in_[at + 1]);
        if (at + 2 + sigLen + 1 > end) break;
        char type = sigLen ? in_[at + 2] : '\0';
        at += 2 + sigLen + 1;
        if (type == 'g') {
          if (at >= end) break;
          at += 1 + static_cast<unsigned char>(in_[at]) + 1;
        } else if (type == 'u' || type == 's' || type == 'o') {
          at = (at + 3) & ~size_t{3};
          if (at + 4 > end) break;
          uint32_t v = ReadU32(in_, at, little);
          at += 4;
          if (type == 'u') {
            if (code == 5) r.replySerial = v;
          } else {
            if (v > end - at) break;
            at += v + 1;
          }
        } else {
          break;  // no other field types come in the replies we read
        }
      }
      r.body = in_.substr(headerEnd, bodyLen);
      in_.erase(0, headerEnd + bodyLen);
      if ((r.type == 2 || r.type == 3) && r.replySerial == serial) {
        reply = std::move(r);
        return true;
      }
    }
  }

 private:
  bool Connect(const std::string& address) {
    if (address.compare(0, 5, "unix:") != 0) return false;
    std::string path;
    bool abstract = false;
    size_t pos = 5;
    while (pos < address.size()) {
      size_t end = address.find(',', pos);
      if (end == std::string::npos) end = address.size();
      std::string kv = address.substr(pos, end - pos);
      size_t eq = kv.find('=');
      std::string key = kv.substr(0, eq), value = eq == std::string::npos ? "" : Unescape(kv.substr(eq + 1));
      if (key == "path") path = value;
      else if (key == "abstract") path = value, abstract = true;
      pos = end + 1;
    }
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    size_t offset = abstract ? 1 : 0;
    if (path.empty() || path.size() + offset >= sizeof sa.sun_path) return false;
    memcpy(sa.sun_path + offset, path.data(), path.size());
    socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + path.size() + (abstract ? 0 : 1));
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd_ < 0) return false;
    if (connect(fd_, reinterpret_cast<sockaddr*>(&sa), len) == 0) return true;
    if (errno != EINPROGRESS && errno != EAGAIN) return false;
    pollfd p{fd_, POLLOUT, 0};
    int err = 0;
    socklen_t errLen = sizeof err;
    return poll(&p, 1, Remaining()) == 1 && getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &errLen) == 0 && err == 0;
  }

  static std::string Unescape(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
      if (s[i] == '%' && i + 2 < s.size()) {
        out.push_back(static_cast<char>(strtol(s.substr(i + 1, 2).c_str(), nullptr, 16)));
        i += 2;
      } else {
        out.push_back(s[i]);
      }
    }
    return out;
  }

  bool Authenticate() {
    std::string uid = std::to_string(getuid()), hex;
    static const char* digits = "0123456789abcdef";
    for (unsigned char c : uid) {
      hex.push_back(digits[c >> 4]);
      hex.push_back(digits[c & 15]);
    }
    if (!Write(std::string(1, '\0') + "AUTH EXTERNAL " + hex + "\r\n")) return false;
    size_t eol;
    while ((eol = in_.find("\r\n")) == std::string::npos)
      if (!Fill(in_.size() + 1)) return false;
    bool ok = in_.compare(0, 3, "OK ") == 0;
    in_.erase(0, eol + 2);
    return ok && Write("BEGIN\r\n");
  }

  int Remaining() const {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
  }

  bool Write(const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
      ssize_t n = send(fd_, data.data() + done, data.size() - done, MSG_NOSIGNAL);
      if (n > 0) {
        done += static_cast<size_t>(n);
        continue;
      }
      if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
      pollfd p{fd_, POLLOUT, 0};
      if (poll(&p, 1, Remaining()) != 1) return false;
    }
    return true;
  }

  // Reads until `in_` holds at least `size` bytes.
  bool Fill(size_t size) {
    char buf[4096];
    while (in_.size() < size) {
      ssize_t n = recv(fd_, buf, sizeof buf, 0);
      if (n > 0) {
        in_.append(buf, static_cast<size_t>(n));
        continue;
      }
      if (n == 0 || (errno != EAGAIN && errno != EINTR)) return false;
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, Remaining()) != 1) return false;
    }
    return true;
  }

  int fd_ = -1;
  uint32_t serial_ = 0;
  std::string in_;
  Clock::time_point deadline_;
};

// The bus asks every new connection to say hello before anything else.
bool Hello(Connection& c) {
  uint32_t serial;
  Reply r;
  return c.Send(Call{"org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "Hello", "", ""}, serial) &&
         c.Await(serial, r) && r.type == 2;
}

Call NotificationsCall(const char* member, const char* signature, std::string body) {
  return Call{"org.freedesktop.Notifications", "/org/freedesktop/Notifications", "org.freedesktop.Notifications",
              member, signature, std::move(body)};
}

// Notification bodies may carry markup: the balloon's text is shown as it is.
std::string EscapeMarkup(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '&') out += "&amp;";
    else if (c == '<') out += "&lt;";
    else if (c == '>') out += "&gt;";
    else out.push_back(c);
  }
  return out;
}

const char* IconName(DWORD infoFlags) {
  switch (infoFlags & NIIF_ICON_MASK) {
    case NIIF_INFO: return "dialog-information";
    case NIIF_WARNING: return "dialog-warning";
    case NIIF_ERROR: return "dialog-error";
    default: return "";
  }
}

}  // namespace

uint32_t NotifyDesktop(const std::string& busAddress, const std::string& appName, const TrayBalloon& balloon,
                       uint32_t replaces, int timeoutMs) {
  Connection c(timeoutMs);
  if (busAddress.empty() || !c.Open(busAddress) || !Hello(c)) return 0;
  std::u16string heading = !balloon.title.empty() ? balloon.title : !balloon.tip.empty() ? balloon.tip : ToUtf16(appName);
  Writer body;
  body.Str(appName);
  body.U32(replaces);
  body.Str(IconName(balloon.infoFlags));
  body.Str(ToUtf8(heading));
  body.Str(EscapeMarkup(ToUtf8(balloon.text)));
  body.U32(0);  // actions: none
  body.U32(0);  // hints: none
  body.Align(8);
  // A balloon's own time-out is kept within 10 to 30 s, as Windows does; none leaves it to the server.
  body.U32(balloon.timeoutMs ? std::clamp<uint32_t>(balloon.timeoutMs, 10000, 30000) : static_cast<uint32_t>(-1));
  uint32_t serial;
  Reply r;
  if (!c.Send(NotificationsCall("Notify", "susssasa{sv}i", body.b), serial) || !c.Await(serial, r) || r.type != 2 ||
      r.body.size() < 4)
    return 0;
  return ReadU32(r.body, 0, r.little);
}

bool CloseDesktopNotification(const std::string& busAddress, uint32_t id, int timeoutMs) {
  Connection c(timeoutMs);
  if (!id || busAddress.empty() || !c.Open(busAddress) || !Hello(c)) return false;
  Writer body;
  body.U32(id);
  uint32_t serial;
  Reply r;
  return c.Send(NotificationsCall("CloseNotification", "u", body.b), serial) && c.Await(serial, r) && r.type == 2;
}

namespace {

struct BalloonJob {
  HWND owner;
  UINT id;
  bool close;
  TrayBalloon balloon;
};

// One worker thread, started with the first balloon; notification ids by icon.
class BalloonWorker {
 public:
  void Queue(BalloonJob job) {
    std::lock_guard<std::mutex> lock(mutex_);
    jobs_.push_back(std::move(job));
    if (!started_) {
      started_ = true;
      std::thread([this] { Run(); }).detach();
    }
    cv_.notify_one();
  }

 private:
  void Run() {
    for (;;) {
      BalloonJob job;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait(lock, [&] { return !jobs_.empty(); });
        job = std::move(jobs_.front());
        jobs_.pop_front();
      }
      const char* env = getenv("DBUS_SESSION_BUS_ADDRESS");
      std::string address = env ? env : "";
      if (address.empty()) {
        const char* runtime = getenv("XDG_RUNTIME_DIR");
        if (runtime && *runtime) address = std::string("unix:path=") + runtime + "/bus";
      }
      auto key = std::make_pair(job.owner, job.id);
      uint32_t last = ids_.count(key) ? ids_[key] : 0;
      if (job.close || job.balloon.text.empty()) {
        if (last) CloseDesktopNotification(address, last);
        ids_.erase(key);
        continue;
      }
      uint32_t id = NotifyDesktop(address, program_invocation_short_name, job.balloon, last);
      if (id) ids_[key] = id;
    }
  }

  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<BalloonJob> jobs_;
  bool started_ = false;
  std::map<std::pair<HWND, UINT>, uint32_t> ids_;  // the worker's own
};

BalloonWorker& Worker() {
  static BalloonWorker* w = new BalloonWorker;  // its thread runs until the process ends
  return *w;
}

}  // namespace

void QueueDesktopBalloon(HWND owner, UINT id, const TrayBalloon& balloon) {
  Worker().Queue(BalloonJob{owner, id, false, balloon});
}

void ForgetDesktopBalloon(HWND owner, UINT id) { Worker().Queue(BalloonJob{owner, id, true, TrayBalloon{}}); }

}  // namespace qvp
