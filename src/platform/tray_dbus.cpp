// The tray's D-Bus: a message codec and a connection over a unix socket (EXTERNAL
// authentication), and balloons as org.freedesktop.Notifications calls.
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

std::string SessionBusAddress() {
  const char* env = getenv("DBUS_SESSION_BUS_ADDRESS");
  if (env && *env) return env;
  const char* runtime = getenv("XDG_RUNTIME_DIR");
  if (runtime && *runtime) return std::string("unix:path=") + runtime + "/bus";
  return std::string();
}

namespace dbus {

// ---- messages ----

Message Message::Call(const std::string& destination, const std::string& path, const std::string& interface,
                      const std::string& member, const std::string& signature, std::string body) {
  Message m;
  m.type = kMethodCall;
  m.destination = destination;
  m.path = path;
  m.interface = interface;
  m.member = member;
  m.signature = signature;
  m.body = std::move(body);
  return m;
}

Message Message::Signal(const std::string& path, const std::string& interface, const std::string& member,
                        const std::string& signature, std::string body) {
  Message m = Call(std::string(), path, interface, member, signature, std::move(body));
  m.type = kSignal;
  return m;
}

Message Message::Return(const Message& to, const std::string& signature, std::string body) {
  Message m;
  m.type = kMethodReturn;
  m.replySerial = to.serial;
  m.destination = to.sender;
  m.signature = signature;
  m.body = std::move(body);
  return m;
}

Message Message::Error(const Message& to, const std::string& name, const std::string& text) {
  Writer w;
  w.Str(text);
  Message m = Return(to, "s", w.b);
  m.type = kError;
  m.errorName = name;
  return m;
}

// ---- marshalling ----

void Writer::Align(size_t n) {
  while (b.size() % n) b.push_back('\0');
}

void Writer::Byte(uint8_t v) { b.push_back(static_cast<char>(v)); }

void Writer::U32(uint32_t v) {
  Align(4);
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

void Writer::Str(const std::string& s) {
  U32(static_cast<uint32_t>(s.size()));
  b += s;
  b.push_back('\0');
}

void Writer::Sig(const std::string& s) {
  Byte(static_cast<uint8_t>(s.size()));
  b += s;
  b.push_back('\0');
}

// The token is where the length goes, times 8, plus the padding before the first element (which
// the length leaves out).
size_t Writer::BeginArray(size_t elementAlign) {
  U32(0);
  size_t lengthAt = b.size() - 4;
  Align(elementAlign);
  return lengthAt * 8 + (b.size() - lengthAt - 4);
}

void Writer::EndArray(size_t token) {
  size_t lengthAt = token / 8, first = lengthAt + 4 + token % 8;
  uint32_t n = static_cast<uint32_t>(b.size() - first);
  for (int i = 0; i < 4; ++i) b[lengthAt + i] = static_cast<char>((n >> (8 * i)) & 0xFF);
}

Reader::Reader(const std::string& data, bool little, size_t at, size_t end)
    : d_(data), at_(at), end_(std::min(end, data.size())), little_(little) {
  if (at_ > end_) ok_ = false;
}

bool Reader::Align(size_t n) {
  if (!ok_) return false;
  size_t to = (at_ + n - 1) / n * n;
  if (to > end_) return Fail();
  for (; at_ < to; ++at_)
    if (d_[at_] != '\0') return Fail();  // padding is zero
  return true;
}

bool Reader::Byte(uint8_t& v) {
  if (!ok_ || at_ >= end_) return Fail();
  v = static_cast<uint8_t>(d_[at_++]);
  return true;
}

bool Reader::U32(uint32_t& v) {
  if (!Align(4) || end_ - at_ < 4) return Fail();
  v = 0;
  for (int i = 0; i < 4; ++i) {
    uint32_t byte = static_cast<unsigned char>(d_[at_ + i]);
    v |= little_ ? byte << (8 * i) : byte << (8 * (3 - i));
  }
  at_ += 4;
  return true;
}

bool Reader::I32(int32_t& v) {
  uint32_t u = 0;
  if (!U32(u)) return false;
  v = static_cast<int32_t>(u);
  return true;
}

bool Reader::Boolean(bool& v) {
  uint32_t u = 0;
  if (!U32(u) || u > 1) return Fail();
  v = u == 1;
  return true;
}

bool Reader::Str(std::string& s) {
  uint32_t n = 0;
  if (!U32(n) || end_ - at_ <= n || d_[at_ + n] != '\0') return Fail();
  s.assign(d_, at_, n);
  at_ += n + 1;
  return true;
}

bool Reader::Sig(std::string& s) {
  uint8_t n = 0;
  if (!Byte(n) || end_ - at_ <= n || d_[at_ + n] != '\0') return Fail();
  s.assign(d_, at_, n);
  at_ += n + 1;
  return true;
}

bool Reader::Array(size_t elementAlign, size_t& end) {
  uint32_t n = 0;
  if (!U32(n) || n > (1u << 26) || !Align(elementAlign) || end_ - at_ < n) return Fail();
  end = at_ + n;
  return true;
}

namespace {

// Where the complete type that starts at `pos` ends in `sig`; npos when there is none.
size_t TypeEnd(const std::string& sig, size_t pos, int depth = 0) {
  if (pos >= sig.size() || depth > 32) return std::string::npos;
  char c = sig[pos];
  if (c == 'a') return TypeEnd(sig, pos + 1, depth + 1);
  if (c == '(' || c == '{') {
    char close = c == '(' ? ')' : '}';
    for (++pos; pos < sig.size() && sig[pos] != close;) {
      pos = TypeEnd(sig, pos, depth + 1);
      if (pos == std::string::npos) return pos;
    }
    return pos < sig.size() ? pos + 1 : std::string::npos;
  }
  return std::strchr("ybnqiuxtdsoghv", c) ? pos + 1 : std::string::npos;
}

size_t AlignOf(char type) {
  switch (type) {
    case 'y':
    case 'g':
    case 'v': return 1;
    case 'n':
    case 'q': return 2;
    case 'x':
    case 't':
    case 'd':
    case '(':
    case '{': return 8;
    default: return 4;
  }
}

}  // namespace

bool Reader::Skip(const std::string& signature) {
  size_t pos = 0;
  if (!SkipOne(signature, pos, 0) || pos != signature.size()) return Fail();
  return true;
}

// One value of the complete type at `pos` of `sig`; `pos` moves past the type.
bool Reader::SkipOne(const std::string& sig, size_t& pos, int depth) {
  size_t typeEnd = TypeEnd(sig, pos);
  if (!ok_ || typeEnd == std::string::npos || depth > 32) return Fail();
  char c = sig[pos];
  size_t fixed = c == 'n' || c == 'q' ? 2 : c == 'x' || c == 't' || c == 'd' ? 8 : 0;
  uint8_t byte = 0;
  uint32_t u = 0;
  bool b = false;
  std::string s;
  bool ok = true;
  if (fixed) {
    ok = Align(fixed) && (end_ - at_ >= fixed || Fail());
    at_ += ok ? fixed : 0;
  } else if (c == 'y') {
    ok = Byte(byte);
  } else if (c == 'b') {
    ok = Boolean(b);
  } else if (c == 'i' || c == 'u' || c == 'h') {
    ok = U32(u);
  } else if (c == 's' || c == 'o') {
    ok = Str(s);
  } else if (c == 'g') {
    ok = Sig(s);
  } else if (c == 'v') {
    size_t inner = 0;
    ok = Sig(s) && SkipOne(s, inner, depth + 1) && (inner == s.size() || Fail());
  } else if (c == 'a') {
    std::string element = sig.substr(pos + 1, typeEnd - pos - 1);
    size_t end = 0;
    ok = Array(AlignOf(element[0]), end);
    while (ok && at_ < end) {
      size_t p = 0;
      ok = SkipOne(element, p, depth + 1);
    }
    ok = ok && (at_ == end || Fail());
  } else {
    ok = Align(8);
    for (size_t p = pos + 1; ok && p + 1 < typeEnd;) ok = SkipOne(sig, p, depth + 1);
  }
  pos = typeEnd;
  return ok;
}

// ---- whole messages ----

namespace {

enum HeaderField : uint8_t {
  kPath = 1,
  kInterface = 2,
  kMember = 3,
  kErrorName = 4,
  kReplySerial = 5,
  kDestination = 6,
  kSender = 7,
  kSignature = 8,
};

constexpr size_t kMaxMessage = 1u << 27;  // what the bus takes at most

}  // namespace

std::string Encode(const Message& m, uint32_t serial) {
  Writer w;
  w.Byte('l');
  w.Byte(m.type);
  w.Byte(m.flags);
  w.Byte(1);
  w.U32(static_cast<uint32_t>(m.body.size()));
  w.U32(serial);
  size_t fields = w.BeginArray(8);
  auto field = [&](uint8_t code, const char* type, const std::string& value) {
    if (value.empty()) return;
    w.Struct();
    w.Byte(code);
    w.Sig(type);
    if (type[0] == 'g') w.Sig(value);
    else w.Str(value);
  };
  field(kPath, "o", m.path);
  field(kInterface, "s", m.interface);
  field(kMember, "s", m.member);
  field(kErrorName, "s", m.errorName);
  if (m.replySerial) {
    w.Struct();
    w.Byte(kReplySerial);
    w.Sig("u");
    w.U32(m.replySerial);
  }
  field(kDestination, "s", m.destination);
  field(kSender, "s", m.sender);
  field(kSignature, "g", m.signature);
  w.EndArray(fields);
  w.Align(8);
  return w.b + m.body;
}

size_t MessageLength(const std::string& data) {
  if (data.size() < 16) return 0;
  if (data[0] != 'l' && data[0] != 'B') return std::string::npos;
  Reader r(data, data[0] == 'l', 4, 16);
  uint32_t body = 0, serial = 0, fields = 0;
  r.U32(body);
  r.U32(serial);
  r.U32(fields);
  if (body > kMaxMessage || fields > kMaxMessage) return std::string::npos;
  size_t total = ((16 + size_t{fields} + 7) & ~size_t{7}) + body;
  if (total > kMaxMessage) return std::string::npos;
  return data.size() < total ? 0 : total;
}

bool Decode(const std::string& data, Message& m) {
  size_t total = MessageLength(data);
  if (total == 0 || total == std::string::npos) return false;
  m = Message();
  m.little = data[0] == 'l';
  Reader r(data, m.little, 1, total);
  uint8_t version = 0;
  uint32_t bodyLength = 0;
  r.Byte(m.type);
  r.Byte(m.flags);
  r.Byte(version);
  r.U32(bodyLength);
  r.U32(m.serial);
  size_t end = 0;
  if (!r.Array(8, end) || version != 1 || m.type < kMethodCall || m.type > kSignal || m.serial == 0) return false;
  while (r.ok() && r.at() < end) {
    uint8_t code = 0;
    std::string type;
    r.Struct();
    r.Byte(code);
    r.Sig(type);
    std::string* text = code == kPath ? &m.path : code == kInterface ? &m.interface : code == kMember ? &m.member
                        : code == kErrorName ? &m.errorName : code == kDestination ? &m.destination
                        : code == kSender ? &m.sender : nullptr;
    if (code == kReplySerial && type == "u") r.U32(m.replySerial);
    else if (code == kSignature && type == "g") r.Sig(m.signature);
    else if (text && (type == "s" || type == "o")) r.Str(*text);
    else r.Skip(type);  // a field we do not use (unix fds...)
  }
  if (!r.ok() || r.at() != end) return false;
  size_t bodyAt = (end + 7) & ~size_t{7};
  if (bodyAt + bodyLength != total) return false;
  m.body = data.substr(bodyAt, bodyLength);
  return true;
}

// ---- the connection ----

namespace {

using Clock = std::chrono::steady_clock;

std::string Unescape(const std::string& s) {
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

int Left(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

Connection::~Connection() { Close(); }

void Connection::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  in_.clear();
  kept_.clear();
  unique_.clear();
}

bool Connection::Open(const std::string& addresses, int timeoutMs) {
  Close();
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  size_t pos = 0;
  while (pos <= addresses.size()) {
    size_t end = addresses.find(';', pos);
    if (end == std::string::npos) end = addresses.size();
    if (Connect(addresses.substr(pos, end - pos), Left(deadline)) && Authenticate(Left(deadline))) {
      // The bus wants a hello before anything else; it answers with our unique name.
      Message reply;
      if (!Call(Message::Call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "Hello"), reply,
                Left(deadline)) ||
          reply.type != kMethodReturn) {
        Close();
        return false;
      }
      Reader r(reply.body, reply.little);
      if (reply.signature == "s") r.Str(unique_);
      return true;
    }
    Close();
    pos = end + 1;
  }
  return false;
}

bool Connection::Connect(const std::string& address, int timeoutMs) {
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
  int err = 0;
  socklen_t errLen = sizeof err;
  return Wait(POLLOUT, timeoutMs) && getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &errLen) == 0 && err == 0;
}

bool Connection::Authenticate(int timeoutMs) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::string uid = std::to_string(getuid()), hex;
  static const char* digits = "0123456789abcdef";
  for (unsigned char c : uid) {
    hex.push_back(digits[c >> 4]);
    hex.push_back(digits[c & 15]);
  }
  if (!Write(std::string(1, '\0') + "AUTH EXTERNAL " + hex + "\r\n", Left(deadline))) return false;
  size_t eol;
  while ((eol = in_.find("\r\n")) == std::string::npos) {
    if (in_.size() > 4096 || !Wait(POLLIN, Left(deadline)) || !Receive()) return false;
  }
  bool ok = in_.compare(0, 3, "OK ") == 0;
  in_.erase(0, eol + 2);
  return ok && Write("BEGIN\r\n", Left(deadline));
}

bool Connection::Wait(short events, int timeoutMs) {
  pollfd p{fd_, events, 0};
  int n;
  while ((n = poll(&p, 1, timeoutMs)) < 0 && errno == EINTR) {
  }
  return n == 1;
}

bool Connection::Write(const std::string& data, int timeoutMs) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = send(fd_, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
    if (!Wait(POLLOUT, Left(deadline))) return false;
  }
  return true;
}

uint32_t Connection::Send(const Message& m, int timeoutMs) {
  if (fd_ < 0) return 0;
  uint32_t serial = ++serial_;
  if (serial == 0) serial = ++serial_;
  if (!Write(Encode(m, serial), timeoutMs)) {
    Close();
    return 0;
  }
  return serial;
}

bool Connection::Receive() {
  if (fd_ < 0) return false;
  char buf[4096];
  for (;;) {
    ssize_t n = recv(fd_, buf, sizeof buf, 0);
    if (n > 0) {
      in_.append(buf, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return true;
    Close();  // the bus went away
    return false;
  }
}

bool Connection::Next(Message& m) {
  if (!kept_.empty()) {
    m = std::move(kept_.front());
    kept_.erase(kept_.begin());
    return true;
  }
  size_t length = MessageLength(in_);
  if (length == 0) return false;
  if (length == std::string::npos || !Decode(in_.substr(0, length), m)) {
    Close();  // out of step with the bus: nothing after this can be read
    return false;
  }
  in_.erase(0, length);
  return true;
}

bool Connection::Call(const Message& m, Message& reply, int timeoutMs) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  uint32_t serial = Send(m, timeoutMs);
  if (!serial) return false;
  std::vector<Message> others;
  bool got = false;
  while (!got && fd_ >= 0) {
    size_t length = MessageLength(in_);
    if (length == 0) {
      if (!Wait(POLLIN, Left(deadline)) || !Receive()) break;
      continue;
    }
    Message in;
    if (length == std::string::npos || !Decode(in_.substr(0, length), in)) {
      Close();
      break;
    }
    in_.erase(0, length);
    if ((in.type == kMethodReturn || in.type == kError) && in.replySerial == serial) {
      reply = std::move(in);
      got = true;
    } else {
      others.push_back(std::move(in));
    }
  }
  if (fd_ >= 0) kept_.insert(kept_.end(), std::make_move_iterator(others.begin()), std::make_move_iterator(others.end()));
  return got;
}

}  // namespace dbus

namespace {

using dbus::Connection;
using dbus::Message;
using dbus::Writer;

Message NotificationsCall(const char* member, const char* signature, std::string body) {
  return Message::Call("org.freedesktop.Notifications", "/org/freedesktop/Notifications",
                       "org.freedesktop.Notifications", member, signature, std::move(body));
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
  Connection c;
  if (busAddress.empty() || !c.Open(busAddress, timeoutMs)) return 0;
  std::u16string heading = !balloon.title.empty() ? balloon.title : !balloon.tip.empty() ? balloon.tip : ToUtf16(appName);
  Writer body;
  body.Str(appName);
  body.U32(replaces);
  body.Str(IconName(balloon.infoFlags));
  body.Str(ToUtf8(heading));
  body.Str(EscapeMarkup(ToUtf8(balloon.text)));
  body.EndArray(body.BeginArray(4));  // actions: none
  body.EndArray(body.BeginArray(8));  // hints: none
  // A balloon's own time-out is kept within 10 to 30 s, as Windows does; none leaves it to the server.
  body.I32(balloon.timeoutMs ? static_cast<int32_t>(std::clamp<uint32_t>(balloon.timeoutMs, 10000, 30000)) : -1);
  Message reply;
  uint32_t id = 0;
  if (!c.Call(NotificationsCall("Notify", "susssasa{sv}i", body.b), reply, timeoutMs) ||
      reply.type != dbus::kMethodReturn)
    return 0;
  dbus::Reader(reply.body, reply.little).U32(id);
  return id;
}

bool CloseDesktopNotification(const std::string& busAddress, uint32_t id, int timeoutMs) {
  Connection c;
  if (!id || busAddress.empty() || !c.Open(busAddress, timeoutMs)) return false;
  Writer body;
  body.U32(id);
  Message reply;
  return c.Call(NotificationsCall("CloseNotification", "u", body.b), reply, timeoutMs) &&
         reply.type == dbus::kMethodReturn;
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
      std::string address = SessionBusAddress();
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
