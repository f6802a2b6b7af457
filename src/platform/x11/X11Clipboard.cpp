#include "X11Clipboard.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <climits>

#include "platform/utf.h"

namespace qvp::x11 {
namespace {

// An owner that sends nothing for this long is taken for dead; every INCR chunk starts it again.
constexpr auto kAnswerTimeout = std::chrono::seconds(1);
// A requestor that stops taking INCR chunks for this long is forgotten.
constexpr auto kOutgoingTimeout = std::chrono::seconds(10);

std::string Latin1(const std::string& utf8) {
  std::u16string wide = ToUtf16(utf8);
  std::string out;
  out.reserve(wide.size());
  for (char16_t c : wide) out += c < 0x100 ? static_cast<char>(c) : '?';
  return out;
}

std::u16string FromLatin1(const std::string& bytes) {
  std::u16string out;
  out.reserve(bytes.size());
  for (char c : bytes) out += static_cast<char16_t>(static_cast<unsigned char>(c));
  return out;
}

}  // namespace

X11Clipboard::X11Clipboard(X11Backend& backend) : backend_(backend), dpy_(backend.display()) {
  clipboard_ = backend_.atom("CLIPBOARD");
  primary_ = XA_PRIMARY;
  property_ = backend_.atom("_QV_SELECTION");
  targets_ = backend_.atom("TARGETS");
  utf8_ = backend_.atom("UTF8_STRING");
  text_ = backend_.atom("TEXT");
  compound_ = backend_.atom("COMPOUND_TEXT");
  incr_ = backend_.atom("INCR");
  // Larger answers go in INCR chunks; a chunk leaves room for the ChangeProperty request's header.
  long maxBytes = XMaxRequestSize(dpy_) * 4;
  chunk_ = static_cast<size_t>(std::max(4096L, maxBytes - 256));
  XSetWindowAttributes attrs{};
  attrs.event_mask = PropertyChangeMask;
  window_ = XCreateWindow(dpy_, backend_.root(), -1, -1, 1, 1, 0, 0, InputOnly, CopyFromParent, CWEventMask, &attrs);
  backend_.Flush();
  backend_.AddEventFilter([this](XEvent& ev) { return Filter(ev); });
}

X11Clipboard::Held* X11Clipboard::HeldFor(Atom selection) {
  if (selection == clipboard_) return &held_[0];
  if (selection == primary_) return &held_[1];
  return nullptr;
}

// ---- holding a selection ----

void X11Clipboard::Claim(Selection which, uint64_t serial, std::shared_ptr<const std::u16string> text) {
  std::lock_guard<std::mutex> lock(mutex_);
  Held& h = held_[static_cast<int>(which)];
  if (serial < h.latest) return;  // a newer claim went first
  h.latest = h.claim = serial;
  h.owned = true;
  h.utf8 = text ? std::make_shared<const std::string>(ToUtf8(*text)) : nullptr;
  // Under mutex_, so a SelectionClear checked on the event thread sees this claim or is older.
  XSetSelectionOwner(dpy_, SelectionAtom(which), window_, CurrentTime);
  backend_.Flush();
}

bool X11Clipboard::Filter(XEvent& ev) {
  switch (ev.type) {
    case SelectionRequest:
      if (ev.xselectionrequest.owner != window_) return false;
      Answer(ev.xselectionrequest);
      return true;
    case SelectionClear:
      if (ev.xselectionclear.window != window_) return false;
      Cleared(ev.xselectionclear);
      return true;
    case SelectionNotify:
      if (ev.xselection.requestor != window_) return false;
      Notified(ev.xselection);
      return true;
    case PropertyNotify: {
      const XPropertyEvent& p = ev.xproperty;
      if (p.window == window_) {
        if (p.atom == property_ && p.state == PropertyNewValue) IncomingChunk();
        return true;
      }
      if (p.state != PropertyDelete) return false;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!outgoing_.count({p.window, p.atom})) return false;
      }
      SendChunk(p.window, p.atom);
      return true;
    }
    default: return false;
  }
}

void X11Clipboard::Answer(const XSelectionRequestEvent& req) {
  XSelectionEvent reply{};
  reply.type = SelectionNotify;
  reply.display = dpy_;
  reply.requestor = req.requestor;
  reply.selection = req.selection;
  reply.target = req.target;
  reply.time = req.time;
  reply.property = None;  // refused unless answered below
  Atom property = req.property != None ? req.property : req.target;  // obsolete requestors name none
  std::shared_ptr<const std::string> utf8;
  bool owned = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (Held* h = HeldFor(req.selection)) {
      owned = h->owned;
      utf8 = h->utf8;
    }
    for (auto it = outgoing_.begin(); it != outgoing_.end();) {  // requestors that went away
      if (Clock::now() - it->second.last > kOutgoingTimeout) it = outgoing_.erase(it);
      else ++it;
    }
  }
  if (owned && req.target == targets_) {
    std::vector<Atom> atoms{targets_};
    if (utf8) atoms.insert(atoms.end(), {utf8_, XA_STRING, text_});
    std::vector<long> values(atoms.begin(), atoms.end());
    XChangeProperty(dpy_, req.requestor, property, XA_ATOM, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(values.data()), static_cast<int>(values.size()));
    reply.property = property;
  } else if (owned && utf8 && (req.target == utf8_ || req.target == text_ || req.target == XA_STRING)) {
    Atom type = req.target == XA_STRING ? XA_STRING : utf8_;
    auto bytes = type == XA_STRING ? std::make_shared<const std::string>(Latin1(*utf8)) : utf8;
    if (bytes->size() > chunk_) {
      // INCR: the size now, then a chunk each time the requestor deletes the property.
      XSelectInput(dpy_, req.requestor, PropertyChangeMask);
      long size = static_cast<long>(std::min<size_t>(bytes->size(), LONG_MAX));
      XChangeProperty(dpy_, req.requestor, property, incr_, 32, PropModeReplace,
                      reinterpret_cast<const unsigned char*>(&size), 1);
      std::lock_guard<std::mutex> lock(mutex_);
      outgoing_[{req.requestor, property}] = Outgoing{type, bytes, 0, Clock::now()};
    } else {
      XChangeProperty(dpy_, req.requestor, property, type, 8, PropModeReplace,
                      reinterpret_cast<const unsigned char*>(bytes->data()), static_cast<int>(bytes->size()));
    }
    reply.property = property;
  }
  XSendEvent(dpy_, req.requestor, False, NoEventMask, reinterpret_cast<XEvent*>(&reply));
  backend_.Flush();
}

void X11Clipboard::SendChunk(XWin requestor, Atom property) {
  Atom type;
  std::shared_ptr<const std::string> bytes;
  size_t offset, n;
  bool last, others = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = outgoing_.find({requestor, property});
    if (it == outgoing_.end()) return;
    Outgoing& o = it->second;
    type = o.type;
    bytes = o.bytes;
    offset = o.offset;
    n = std::min(chunk_, bytes->size() - offset);
    o.offset += n;
    o.last = Clock::now();
    last = n == 0;  // the empty chunk ends the transfer
    if (last) {
      outgoing_.erase(it);
      for (const auto& [key, other] : outgoing_)
        if (key.first == requestor) others = true;
    }
  }
  XChangeProperty(dpy_, requestor, property, type, 8, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(bytes->data() + offset), static_cast<int>(n));
  if (last && !others) XSelectInput(dpy_, requestor, NoEventMask);
  backend_.Flush();
}

void X11Clipboard::Cleared(const XSelectionClearEvent& ev) {
  Selection which = ev.selection == primary_ ? Selection::Primary : Selection::Clipboard;
  uint64_t serial;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Held* h = HeldFor(ev.selection);
    if (!h || !h->owned) return;
    // A clear that predates a claim of ours made since is stale.
    if (XGetSelectionOwner(dpy_, ev.selection) == window_) return;
    h->owned = false;
    h->utf8.reset();
    serial = h->claim;
  }
  SelectionTakenByOthers(which, serial);
}

// ---- fetching another program's selection ----

bool X11Clipboard::TakeProperty(Atom& type, int& format, std::string& bytes, std::vector<Atom>& atoms) {
  unsigned long n = 0, after = 0;
  unsigned char* data = nullptr;
  if (XGetWindowProperty(dpy_, window_, property_, 0, LONG_MAX / 4, True, AnyPropertyType, &type, &format, &n, &after,
                         &data) != Success ||
      type == None) {
    if (data) XFree(data);
    return false;
  }
  bytes.clear();
  atoms.clear();
  if (format == 8) {
    bytes.assign(reinterpret_cast<const char*>(data), n);
  } else if (format == 32) {
    const long* values = reinterpret_cast<const long*>(data);  // Xlib hands 32-bit items as longs
    for (unsigned long i = 0; i < n; ++i) atoms.push_back(static_cast<Atom>(values[i]));
  }
  if (data) XFree(data);
  return true;
}

void X11Clipboard::Notified(const XSelectionEvent& ev) {
  uint64_t serial;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!incoming_.active || incoming_.incr || ev.selection != incoming_.selection || ev.target != incoming_.target)
      return;  // the answer to a conversion given up on
    serial = incoming_.serial;
    if (ev.property == None) {
      incoming_.finished = true;
      answered_.notify_all();
      return;
    }
  }
  Atom type = None;
  int format = 0;
  std::string bytes;
  std::vector<Atom> atoms;
  bool got = TakeProperty(type, format, bytes, atoms);  // deleting it lets an INCR owner start
  std::lock_guard<std::mutex> lock(mutex_);
  if (!incoming_.active || incoming_.serial != serial) return;
  incoming_.last = Clock::now();
  if (got && type == incr_) {
    incoming_.incr = true;
    incoming_.bytes.clear();
  } else {
    incoming_.finished = true;
    incoming_.answered = got;
    incoming_.type = type;
    incoming_.format = format;
    incoming_.bytes = std::move(bytes);
    incoming_.atoms = std::move(atoms);
  }
  answered_.notify_all();
}

void X11Clipboard::IncomingChunk() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!incoming_.active || !incoming_.incr || incoming_.finished) return;
  }
  Atom type = None;
  int format = 0;
  std::string bytes;
  std::vector<Atom> atoms;
  if (!TakeProperty(type, format, bytes, atoms)) return;  // our own deletion, seen late
  std::lock_guard<std::mutex> lock(mutex_);
  if (!incoming_.active || !incoming_.incr || incoming_.finished) return;
  incoming_.last = Clock::now();
  if (bytes.empty()) {  // the empty chunk: all there
    incoming_.finished = incoming_.answered = true;
    incoming_.type = type;
    incoming_.format = format;
  } else {
    incoming_.bytes += bytes;
  }
  answered_.notify_all();
}

X11Clipboard::Outcome X11Clipboard::Convert(Atom selection, Atom target, Incoming& result) {
  std::lock_guard<std::mutex> one(convertMutex_);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    incoming_ = Incoming{};
    incoming_.serial = ++nextSerial_;
    incoming_.active = true;
    incoming_.selection = selection;
    incoming_.target = target;
    incoming_.last = Clock::now();
  }
  XDeleteProperty(dpy_, window_, property_);
  XConvertSelection(dpy_, selection, target, property_, window_, CurrentTime);
  backend_.Flush();
  std::unique_lock<std::mutex> lock(mutex_);
  while (!incoming_.finished && Clock::now() - incoming_.last < kAnswerTimeout)
    answered_.wait_until(lock, incoming_.last + kAnswerTimeout);
  Outcome outcome = !incoming_.finished ? Outcome::TimedOut : incoming_.answered ? Outcome::Answered : Outcome::Refused;
  result = std::move(incoming_);
  incoming_ = Incoming{};
  return outcome;
}

bool X11Clipboard::Fetch(Selection which, std::u16string& text) {
  if (backend_.OnEventThread()) return false;  // it would wait for itself
  Atom selection = SelectionAtom(which);
  XWin owner = XGetSelectionOwner(dpy_, selection);
  if (owner == None) return false;
  if (owner == window_) {
    std::lock_guard<std::mutex> lock(mutex_);
    const Held& h = held_[static_cast<int>(which)];
    if (!h.utf8) return false;
    text = ToUtf16(*h.utf8);
    return true;
  }
  for (Atom target : {utf8_, XA_STRING, text_}) {
    Incoming answer;
    Outcome outcome = Convert(selection, target, answer);
    if (outcome == Outcome::TimedOut) return false;  // a dead owner gets no second wait
    if (outcome == Outcome::Refused || answer.format != 8) continue;
    if (answer.type == utf8_) {
      text = ToUtf16(answer.bytes);
      return true;
    }
    if (answer.type == XA_STRING) {
      text = FromLatin1(answer.bytes);
      return true;
    }
    if (answer.type == compound_) {
      XTextProperty prop{reinterpret_cast<unsigned char*>(&answer.bytes[0]), compound_, 8, answer.bytes.size()};
      char** list = nullptr;
      int count = 0;
      if (Xutf8TextPropertyToTextList(dpy_, &prop, &list, &count) >= Success && list) {
        std::string utf8;
        for (int i = 0; i < count; ++i) utf8 += list[i];
        XFreeStringList(list);
        text = ToUtf16(utf8);
        return true;
      }
    }
  }
  return false;
}

bool X11Clipboard::Offers(Selection which) {
  if (backend_.OnEventThread()) return false;
  Atom selection = SelectionAtom(which);
  XWin owner = XGetSelectionOwner(dpy_, selection);
  if (owner == None) return false;
  if (owner == window_) {
    std::lock_guard<std::mutex> lock(mutex_);
    return held_[static_cast<int>(which)].utf8 != nullptr;
  }
  Incoming answer;
  Outcome outcome = Convert(selection, targets_, answer);
  if (outcome == Outcome::TimedOut) return false;
  if (outcome == Outcome::Refused) return true;  // an owner without TARGETS: asking for text will tell
  for (Atom a : answer.atoms)
    if (a == utf8_ || a == XA_STRING || a == text_ || a == compound_) return true;
  return false;
}

}  // namespace qvp::x11
