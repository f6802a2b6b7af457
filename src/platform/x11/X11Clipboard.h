// The clipboard on X: the CLIPBOARD and PRIMARY selections as UTF8_STRING (STRING and TEXT too).
// Held: a window of ours owns the selection and answers SelectionRequest, in INCR chunks when the
// text is larger than a request may be. Fetched: ConvertSelection to that window; the backend's
// event thread reads the answer (INCR included) and hands it to the caller waiting for it, so the
// event thread never waits on anybody.
#pragma once

#include <X11/Xlib.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "X11Backend.h"
#include "platform/clipboard_internal.h"

namespace qvp::x11 {

class X11Clipboard : public ClipboardHost {
 public:
  explicit X11Clipboard(X11Backend& backend);

  void Claim(Selection which, uint64_t serial, std::shared_ptr<const std::u16string> text) override;
  bool Fetch(Selection which, std::u16string& text) override;
  bool Offers(Selection which) override;

 private:
  using Clock = std::chrono::steady_clock;
  enum class Outcome { Answered, Refused, TimedOut };

  struct Held {
    bool owned = false;
    uint64_t claim = 0, latest = 0;
    std::shared_ptr<const std::string> utf8;  // null: held without text
  };
  // An answer going out in INCR chunks, one per deletion of the requestor's property.
  struct Outgoing {
    Atom type = None;
    std::shared_ptr<const std::string> bytes;
    size_t offset = 0;
    Clock::time_point last;
  };
  // The conversion a caller waits for; filled by the event thread.
  struct Incoming {
    uint64_t serial = 0;
    bool active = false, incr = false, finished = false, answered = false;
    Atom selection = None, target = None, type = None;
    int format = 0;
    std::string bytes;        // format 8
    std::vector<Atom> atoms;  // format 32
    Clock::time_point last;
  };

  bool Filter(XEvent& ev);
  void Answer(const XSelectionRequestEvent& req);
  void Cleared(const XSelectionClearEvent& ev);
  void Notified(const XSelectionEvent& ev);
  void IncomingChunk();
  void SendChunk(XWin requestor, Atom property);
  // Reads and deletes our property: false when it is gone.
  bool TakeProperty(Atom& type, int& format, std::string& bytes, std::vector<Atom>& atoms);
  Outcome Convert(Atom selection, Atom target, Incoming& result);
  Atom SelectionAtom(Selection which) const { return which == Selection::Primary ? primary_ : clipboard_; }
  Held* HeldFor(Atom selection);  // with mutex_ held

  X11Backend& backend_;
  Display* dpy_;
  XWin window_ = 0;
  Atom clipboard_, primary_, property_, targets_, utf8_, text_, compound_, incr_;
  size_t chunk_;
  std::mutex mutex_;
  std::condition_variable answered_;
  Held held_[2];
  std::map<std::pair<XWin, Atom>, Outgoing> outgoing_;
  Incoming incoming_;
  uint64_t nextSerial_ = 0;
  std::mutex convertMutex_;  // one conversion at a time: they share our property
};

}  // namespace qvp::x11
