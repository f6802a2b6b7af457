// Notification-area icons as StatusNotifierItems: while an org.kde.StatusNotifierWatcher owns its
// name on the session bus, every icon registers there under a bus name of its own and answers the
// hosts' calls on /StatusNotifierItem; without a watcher the fallback (the XEmbed tray) shows it.
// The bus is spoken on one worker thread; the program's threads only change the icons' records
// and wake it.
#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "tray_internal.h"
#include "utf.h"
#include "win32.h"

extern char* program_invocation_short_name;

namespace qvp {
namespace {

using dbus::Connection;
using dbus::Message;
using dbus::Reader;
using dbus::Writer;

constexpr char kBus[] = "org.freedesktop.DBus";
constexpr char kBusPath[] = "/org/freedesktop/DBus";
constexpr char kWatcher[] = "org.kde.StatusNotifierWatcher";
constexpr char kWatcherPath[] = "/StatusNotifierWatcher";
constexpr char kItem[] = "org.kde.StatusNotifierItem";
constexpr char kItemPath[] = "/StatusNotifierItem";
constexpr char kProperties[] = "org.freedesktop.DBus.Properties";
constexpr char kIntrospectable[] = "org.freedesktop.DBus.Introspectable";
constexpr char kPeer[] = "org.freedesktop.DBus.Peer";

constexpr char kIntrospection[] =
    "<!DOCTYPE node PUBLIC \"-//freedesktop//DTD D-BUS Object Introspection 1.0//EN\"\n"
    " \"http://www.freedesktop.org/standards/dbus/1.0/introspect.dtd\">\n"
    "<node>\n"
    " <interface name=\"org.kde.StatusNotifierItem\">\n"
    "  <property name=\"Category\" type=\"s\" access=\"read\"/>\n"
    "  <property name=\"Id\" type=\"s\" access=\"read\"/>\n"
    "  <property name=\"Title\" type=\"s\" access=\"read\"/>\n"
    "  <property name=\"Status\" type=\"s\" access=\"read\"/>\n"
    "  <property name=\"WindowId\" type=\"i\" access=\"read\"/>\n"
    "  <property name=\"IconName\" type=\"s\" access=\"read\"/>\n"
    "  <property name=\"IconPixmap\" type=\"a(iiay)\" access=\"read\"/>\n"
    "  <property name=\"OverlayIconName\" type=\"s\" access=\"read\"/>\n"
    "  <property name=\"OverlayIconPixmap\" type=\"a(iiay)\" access=\"read\"/>\n"
    "  <property name=\"AttentionIconName\" type=\"s\" access=\"read\"/>\n"
    "  <property name=\"AttentionIconPixmap\" type=\"a(iiay)\" access=\"read\"/>\n"
    "  <property name=\"AttentionMovieName\" type=\"s\" access=\"read\"/>\n"
    "  <property name=\"IconThemePath\" type=\"s\" access=\"read\"/>\n"
    "  <property name=\"ToolTip\" type=\"(sa(iiay)ss)\" access=\"read\"/>\n"
    "  <property name=\"ItemIsMenu\" type=\"b\" access=\"read\"/>\n"
    "  <property name=\"Menu\" type=\"o\" access=\"read\"/>\n"
    "  <method name=\"ContextMenu\"><arg name=\"x\" type=\"i\" direction=\"in\"/>"
    "<arg name=\"y\" type=\"i\" direction=\"in\"/></method>\n"
    "  <method name=\"Activate\"><arg name=\"x\" type=\"i\" direction=\"in\"/>"
    "<arg name=\"y\" type=\"i\" direction=\"in\"/></method>\n"
    "  <method name=\"SecondaryActivate\"><arg name=\"x\" type=\"i\" direction=\"in\"/>"
    "<arg name=\"y\" type=\"i\" direction=\"in\"/></method>\n"
    "  <method name=\"Scroll\"><arg name=\"delta\" type=\"i\" direction=\"in\"/>"
    "<arg name=\"orientation\" type=\"s\" direction=\"in\"/></method>\n"
    "  <signal name=\"NewTitle\"/>\n"
    "  <signal name=\"NewIcon\"/>\n"
    "  <signal name=\"NewToolTip\"/>\n"
    "  <signal name=\"NewStatus\"><arg name=\"status\" type=\"s\"/></signal>\n"
    " </interface>\n"
    " <interface name=\"org.freedesktop.DBus.Properties\">\n"
    "  <method name=\"Get\"><arg name=\"interface\" type=\"s\" direction=\"in\"/>"
    "<arg name=\"property\" type=\"s\" direction=\"in\"/><arg name=\"value\" type=\"v\" direction=\"out\"/></method>\n"
    "  <method name=\"GetAll\"><arg name=\"interface\" type=\"s\" direction=\"in\"/>"
    "<arg name=\"properties\" type=\"a{sv}\" direction=\"out\"/></method>\n"
    " </interface>\n"
    " <interface name=\"org.freedesktop.DBus.Introspectable\">\n"
    "  <method name=\"Introspect\"><arg name=\"xml\" type=\"s\" direction=\"out\"/></method>\n"
    " </interface>\n"
    "</node>\n";

constexpr const char* kPropertyNames[] = {
    "Category", "Id", "Title", "Status", "WindowId", "IconName", "IconPixmap", "OverlayIconName",
    "OverlayIconPixmap", "AttentionIconName", "AttentionIconPixmap", "AttentionMovieName", "IconThemePath",
    "ToolTip", "ItemIsMenu", "Menu"};

enum Change : unsigned { kNewTitle = 1, kNewIcon = 2, kNewToolTip = 4, kNewStatus = 8 };

// The icon as ARGB32 pixmaps, each pixel A, R, G, B (network order), not premultiplied.
void PutPixmaps(Writer& w, const IconImage* image) {
  size_t list = w.BeginArray(8);
  if (image && image->width > 0 && image->height > 0) {
    w.Struct();
    w.I32(image->width);
    w.I32(image->height);
    size_t bytes = w.BeginArray(1);
    for (uint32_t px : image->argb) {
      uint32_t a = px >> 24;
      w.Byte(static_cast<uint8_t>(a));
      for (int shift : {16, 8, 0}) {
        uint32_t c = (px >> shift) & 0xFF;
        w.Byte(static_cast<uint8_t>(a ? std::min<uint32_t>(255, (c * 255 + a / 2) / a) : 0));
      }
    }
    w.EndArray(bytes);
  }
  w.EndArray(list);
}

// One property's value as a variant; false for a name the item does not have.
bool PutProperty(Writer& w, const std::string& name, const TrayIcon& icon) {
  auto text = [&](const std::string& value) {
    w.Sig("s");
    w.Str(value);
  };
  if (name == "Category") text("ApplicationStatus");
  else if (name == "Id") text(program_invocation_short_name);
  else if (name == "Title") text(ToUtf8(icon.tip));
  else if (name == "Status") text(icon.hidden ? "Passive" : "Active");
  else if (name == "IconName" || name == "OverlayIconName" || name == "AttentionIconName" ||
           name == "AttentionMovieName" || name == "IconThemePath")
    text("");
  else if (name == "WindowId") {
    w.Sig("i");
    w.I32(0);
  } else if (name == "IconPixmap") {
    w.Sig("a(iiay)");
    PutPixmaps(w, icon.image.get());
  } else if (name == "OverlayIconPixmap" || name == "AttentionIconPixmap") {
    w.Sig("a(iiay)");
    PutPixmaps(w, nullptr);
  } else if (name == "ToolTip") {
    w.Sig("(sa(iiay)ss)");
    w.Struct();
    w.Str("");
    PutPixmaps(w, nullptr);
    w.Str(ToUtf8(icon.tip));
    w.Str("");
  } else if (name == "ItemIsMenu") {
    w.Sig("b");
    w.Boolean(false);
  } else if (name == "Menu") {
    w.Sig("o");
    w.Str("/NO_DBUSMENU");  // no exported menu: hosts call ContextMenu
  } else {
    return false;
  }
  return true;
}

unsigned Changes(const TrayIcon& before, const TrayIcon& after) {
  unsigned c = 0;
  if (before.tip != after.tip) c |= kNewTitle | kNewToolTip;
  if (before.image != after.image) c |= kNewIcon;
  if (before.hidden != after.hidden) c |= kNewStatus;
  return c;
}

struct Item {
  TrayIcon icon;
  std::string busName;  // org.kde.StatusNotifierItem-<pid>-<n>, never reused
  enum class Name { None, Asked, Owned } name = Name::None;
  bool registering = false;
  std::string registeredWith;  // the unique name of the watcher that took the icon
  std::string refusedBy;       // a watcher that would not: the fallback shows the icon meanwhile
  bool inFallback = false;     // the fallback has been given the icon
  unsigned changes = 0;        // signals owed to the hosts
};

class StatusNotifierHost : public TrayHost {
 public:
  StatusNotifierHost(TrayHost& fallback, std::string address)
      : fallback_(fallback), address_(std::move(address)), wake_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

  ~StatusNotifierHost() override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    retry_.notify_all();
    Wake();
    if (worker_.joinable()) worker_.join();
    if (wake_ >= 0) close(wake_);
  }

  bool Show(const TrayIcon& icon) override {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!worker_.joinable()) worker_ = std::thread([this] { Run(); });
    // The first icon waits (briefly) to learn whether a watcher is there, so it does not show up
    // in the XEmbed tray only to move a moment later.
    settled_.wait_for(lock, std::chrono::milliseconds(500), [&] { return known_; });
    auto [it, added] = items_.try_emplace(std::make_pair(icon.owner, icon.id));
    Item& item = it->second;
    if (added) item.busName = "org.kde.StatusNotifierItem-" + std::to_string(getpid()) + "-" + std::to_string(++names_);
    else item.changes |= Changes(item.icon, icon);
    item.icon = icon;
    bool shown = Place(item);
    Wake();
    return shown;
  }

  void Remove(HWND owner, UINT id) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto it = items_.find(std::make_pair(owner, id));
      if (it != items_.end()) {
        if (it->second.name != Item::Name::None) releases_.push_back(it->second.busName);
        items_.erase(it);
        Wake();
      }
    }
    fallback_.Remove(owner, id);
  }

  void Balloon(HWND owner, UINT id, const TrayBalloon& balloon) override { fallback_.Balloon(owner, id, balloon); }

 private:
  using Handler = std::function<void(const Message&)>;

  void Wake() {
    uint64_t one = 1;
    (void)!write(wake_, &one, sizeof one);
  }

  bool ToWatcher(const Item& item) const { return !watcher_.empty() && item.refusedBy != watcher_; }

  // Gives the icon to the watcher or to the fallback; true when it is shown now. With mutex_ held.
  bool Place(Item& item) {
    if (ToWatcher(item)) {
      if (item.inFallback) {
        TrayIcon gone = item.icon;
        gone.hidden = true;
        fallback_.Show(gone);  // out of the XEmbed tray; its balloon stays
        item.inFallback = false;
      }
      return !item.icon.hidden;
    }
    item.inFallback = true;
    return fallback_.Show(item.icon);
  }

  Item* ByName(const std::string& busName) {
    for (auto& [key, item] : items_)
      if (item.busName == busName) return &item;
    return nullptr;
  }

  // ---- the worker ----

  void Run() {
    for (;;) {
      std::string address = address_.empty() ? SessionBusAddress() : address_;
      Connection bus;
      if (!address.empty() && bus.Open(address, 2000)) Serve(bus);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stop_) return;
      }
      // No bus, or it went away: the fallback shows every icon until a bus and a watcher return.
      WatcherIs(std::string());
      std::unique_lock<std::mutex> lock(mutex_);
      for (auto& [key, item] : items_) {
        item.name = Item::Name::None;
        item.registering = false;
      }
      releases_.clear();
      if (retry_.wait_for(lock, std::chrono::seconds(5), [&] { return stop_; })) return;
    }
  }

  void Serve(Connection& bus) {
    pending_.clear();
    Writer rule;
    rule.Str(std::string("type='signal',sender='") + kBus + "',interface='" + kBus +
             "',member='NameOwnerChanged',path='" + kBusPath + "',arg0='" + kWatcher + "'");
    Send(bus, Message::Call(kBus, kBusPath, kBus, "AddMatch", "s", rule.b));
    Writer name;
    name.Str(kWatcher);
    Send(bus, Message::Call(kBus, kBusPath, kBus, "GetNameOwner", "s", name.b), [this](const Message& reply) {
      std::string owner;
      if (reply.type == dbus::kMethodReturn) Reader(reply.body, reply.little).Str(owner);
      WatcherIs(owner);
    });
    while (bus.open()) {
      // Everything read so far first (the connection may hold messages from before the loop).
      Message m;
      while (bus.Next(m)) Dispatch(bus, m);
      Sync(bus);
      if (!bus.open()) return;
      pollfd fds[2] = {{bus.fd(), POLLIN, 0}, {wake_, POLLIN, 0}};
      if (poll(fds, 2, -1) < 0 && errno != EINTR) return;
      if (fds[1].revents & POLLIN) {
        uint64_t n;
        (void)!read(wake_, &n, sizeof n);
        std::lock_guard<std::mutex> lock(mutex_);
        if (stop_) return;
      }
      if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) && !bus.Receive()) return;
    }
  }

  void Send(Connection& bus, const Message& m, Handler handler = nullptr) {
    uint32_t serial = bus.Send(m);
    if (serial && handler) pending_[serial] = std::move(handler);
  }

  void Dispatch(Connection& bus, const Message& m) {
    if (m.type == dbus::kMethodReturn || m.type == dbus::kError) {
      auto it = pending_.find(m.replySerial);
      if (it == pending_.end()) return;
      Handler handler = std::move(it->second);
      pending_.erase(it);
      handler(m);
    } else if (m.type == dbus::kSignal) {
      if (m.sender != kBus || m.member != "NameOwnerChanged" || m.signature != "sss") return;
      std::string name, before, after;
      Reader r(m.body, m.little);
      if (r.Str(name) && r.Str(before) && r.Str(after) && name == kWatcher) WatcherIs(after);
    } else if (m.type == dbus::kMethodCall) {
      Answer(bus, m);
    }
  }

  // The watcher now has this unique name (empty: there is none): every icon follows.
  void WatcherIs(const std::string& owner) {
    std::lock_guard<std::mutex> lock(mutex_);
    bool changed = owner != watcher_ || !known_;
    watcher_ = owner;
    known_ = true;
    settled_.notify_all();
    if (!changed) return;
    for (auto& [key, item] : items_) {
      item.registeredWith.clear();
      item.registering = false;
      item.refusedBy.clear();
      Place(item);
    }
  }

  // Brings the bus in line with the records: names released, requested, icons registered,
  // signals for what changed. Messages go out after the lock is let go.
  void Sync(Connection& bus) {
    std::vector<std::pair<Message, Handler>> out;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (const std::string& released : releases_) {
        Writer w;
        w.Str(released);
        out.emplace_back(Message::Call(kBus, kBusPath, kBus, "ReleaseName", "s", w.b), nullptr);
      }
      releases_.clear();
      for (auto& [key, item] : items_) {
        if (!ToWatcher(item)) {
          item.changes = 0;
          continue;
        }
        std::string busName = item.busName, watcher = watcher_;
        if (item.name == Item::Name::None) {
          item.name = Item::Name::Asked;
          Writer w;
          w.Str(busName);
          w.U32(4);  // DBUS_NAME_FLAG_DO_NOT_QUEUE
          out.emplace_back(Message::Call(kBus, kBusPath, kBus, "RequestName", "su", w.b),
                           [this, busName](const Message& reply) { NameReply(busName, reply); });
        } else if (item.name == Item::Name::Owned && item.registeredWith != watcher && !item.registering) {
          item.registering = true;
          Writer w;
          w.Str(busName);
          out.emplace_back(Message::Call(watcher, kWatcherPath, kWatcher, "RegisterStatusNotifierItem", "s", w.b),
                           [this, busName, watcher](const Message& reply) { Registered(busName, watcher, reply); });
        }
        if (item.registeredWith != watcher) {
          // Its hosts will read everything afresh; what changes while the watcher answers is
          // still told once it has.
          if (!item.registering) item.changes = 0;
          continue;
        }
        if (item.changes & kNewTitle) out.emplace_back(Message::Signal(kItemPath, kItem, "NewTitle"), nullptr);
        if (item.changes & kNewIcon) out.emplace_back(Message::Signal(kItemPath, kItem, "NewIcon"), nullptr);
        if (item.changes & kNewToolTip) out.emplace_back(Message::Signal(kItemPath, kItem, "NewToolTip"), nullptr);
        if (item.changes & kNewStatus) {
          Writer w;
          w.Str(item.icon.hidden ? "Passive" : "Active");
          out.emplace_back(Message::Signal(kItemPath, kItem, "NewStatus", "s", w.b), nullptr);
        }
        item.changes = 0;
      }
    }
    for (auto& [m, handler] : out) Send(bus, m, std::move(handler));
  }

  void NameReply(const std::string& busName, const Message& reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    Item* item = ByName(busName);
    if (!item) return;  // deleted meanwhile: its release is on its way
    uint32_t code = 0;
    if (reply.type == dbus::kMethodReturn) Reader(reply.body, reply.little).U32(code);
    if (code == 1 || code == 4) {  // primary owner, or already
      item->name = Item::Name::Owned;
      return;
    }
    item->name = Item::Name::None;
    item->refusedBy = watcher_;
    Place(*item);
  }

  void Registered(const std::string& busName, const std::string& watcher, const Message& reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    Item* item = ByName(busName);
    if (!item || watcher != watcher_) return;  // a watcher that came since gets its own registration
    item->registering = false;
    if (reply.type == dbus::kMethodReturn) {
      item->registeredWith = watcher;
    } else {
      item->refusedBy = watcher;
      Place(*item);
    }
  }

  // ---- calls from the hosts ----

  void Reply(Connection& bus, const Message& call, const Message& reply) {
    if (!(call.flags & dbus::kNoReplyExpected)) bus.Send(reply);
  }

  void Answer(Connection& bus, const Message& call) {
    if (call.interface == kIntrospectable && call.member == "Introspect" && (call.path == "/" || call.path == kItemPath)) {
      Writer w;
      w.Str(call.path == "/" ? "<node>\n <node name=\"StatusNotifierItem\"/>\n</node>\n" : kIntrospection);
      return Reply(bus, call, Message::Return(call, "s", w.b));
    }
    if (call.interface == kPeer && call.member == "Ping") return Reply(bus, call, Message::Return(call));
    TrayIcon icon;
    bool found = false;
    if (call.path == kItemPath) {
      std::lock_guard<std::mutex> lock(mutex_);
      // Hosts call the name the icon registered; a call to our unique name reaches the first icon.
      Item* item = ByName(call.destination);
      for (auto it = items_.begin(); !item && it != items_.end(); ++it)
        if (it->second.name == Item::Name::Owned) item = &it->second;
      if (item) icon = item->icon;
      found = item != nullptr;
    }
    if (!found)
      return Reply(bus, call, Message::Error(call, "org.freedesktop.DBus.Error.UnknownObject", "No such object"));
    Reader args(call.body, call.little);
    if (call.interface == kProperties) {
      std::string interface, name;
      if (call.member == "Get" && call.signature == "ss" && args.Str(interface) && args.Str(name)) {
        Writer w;
        if (interface == kItem && PutProperty(w, name, icon)) return Reply(bus, call, Message::Return(call, "v", w.b));
        return Reply(bus, call, Message::Error(call, "org.freedesktop.DBus.Error.UnknownProperty", "No such property"));
      }
      if (call.member == "GetAll" && call.signature == "s" && args.Str(interface)) {
        Writer w;
        size_t all = w.BeginArray(8);
        if (interface == kItem || interface.empty())
          for (const char* name : kPropertyNames) {
            w.Struct();
            w.Str(name);
            PutProperty(w, name, icon);
          }
        w.EndArray(all);
        return Reply(bus, call, Message::Return(call, "a{sv}", w.b));
      }
      if (call.member == "Set")
        return Reply(bus, call, Message::Error(call, "org.freedesktop.DBus.Error.PropertyReadOnly", "Read-only"));
    } else if (call.interface == kItem || call.interface.empty()) {
      int32_t x = 0, y = 0;
      if ((call.member == "Activate" || call.member == "SecondaryActivate" || call.member == "ContextMenu") &&
          call.signature == "ii" && args.I32(x) && args.I32(y)) {
        Reply(bus, call, Message::Return(call));
        // The owner reads the cursor where the host was clicked (its menu opens there).
        InputMouseMove(LogicalPoint(x, y, TheBackend().Scale()), nullptr);
        if (call.member == "Activate") TrayClick(icon.owner, icon.id, MouseButton::Left, true);
        else if (call.member == "ContextMenu") TrayClick(icon.owner, icon.id, MouseButton::Right, false);
        else TrayClick(icon.owner, icon.id, MouseButton::Middle, false);
        return;
      }
      if (call.member == "Scroll" && call.signature == "is") {
        Reply(bus, call, Message::Return(call));
        // The XEmbed icon reports no wheel either, only the pointer over it.
        POINT pt{0, 0};
        GetCursorPos(&pt);
        TrayMouseMove(icon.owner, icon.id, pt);
        return;
      }
      if (call.member == "ProvideXdgActivationToken" && call.signature == "s")
        return Reply(bus, call, Message::Return(call));
    }
    Reply(bus, call, Message::Error(call, "org.freedesktop.DBus.Error.UnknownMethod", "No such method"));
  }

  TrayHost& fallback_;
  const std::string address_;
  const int wake_;
  std::thread worker_;

  std::mutex mutex_;  // guards what follows
  std::condition_variable settled_, retry_;
  bool known_ = false;   // the worker has learned whether a watcher is there
  bool stop_ = false;
  std::string watcher_;  // the watcher's unique name; empty: none
  std::map<std::pair<HWND, UINT>, Item> items_;
  std::vector<std::string> releases_;
  unsigned names_ = 0;

  std::map<uint32_t, Handler> pending_;  // the worker's own: replies awaited
};

}  // namespace

std::unique_ptr<TrayHost> MakeStatusNotifierHost(TrayHost& fallback, const std::string& busAddress) {
  return std::make_unique<StatusNotifierHost>(fallback, busAddress);
}

}  // namespace qvp
