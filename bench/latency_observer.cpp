// The measuring half of bench/latency_bench.sh: a separate X client that times room chat lines from
// the simulator's send to their pixels in the overlay window. Prints one line of figures; never
// judges them.
//
// The simulator runs with --stamp: line N has the nickname "#N" and the content N's low 12 bits as
// "|" (1) and "." (0), and its log gives N's CLOCK_MONOTONIC send time. The overlay lays lines out
// top to bottom, the newest last, in the skin's nickname and text colours, with crisp (unsmoothed)
// text over the colour key, so every ink pixel is exactly one of the two colours.
//
// At each damage of the window (XDamageReportNonEmpty, subtracted before reading) the observer
// reads the window's bottom rows and decodes the bottom line: the last band of ink rows, whose
// last 12 runs of text-coloured columns after the nickname are the bits, a run as tall as half the
// band or more a 1, one of a quarter or less a 0, all marks of a kind alike. Anything else is not
// (or not yet wholly) a stamped line and is skipped.
//
// Pairing: a decoded value v at time t stands for the newest line sent before t whose number is v
// modulo 4096 (the code repeats every 4 s at 1 000 msg/s, far longer than any lag measured). The
// overlay shows lines in order, so once line N is at the bottom every earlier line has been laid
// out too: each line not yet counted up to N gets latency t - its send time. At 1 000 msg/s many
// lines share one frame (one layout per 10 ms), and a line may be pushed out by newer ones in the
// frame that shows it; it counts as shown by that frame. A bottom line older than one already seen
// (stale pixels around a resize) changes nothing. Lines never reached are reported as such.
//
// The time of a damage is when its event reached the observer. When a later damage arrived
// before the pixels were read, the pixels may be that later one's, so the time is taken when they
// were read: a time is never earlier than the true one. Without a compositor that is the common
// case: the program puts the pixels, then sets the window's shape to its text (a second damage);
// the line shows whole only after both, and the X server answers the read after the shape.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xfixes.h>
#include <poll.h>
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr int kBits = 12;
constexpr int64_t kCycle = int64_t{1} << kBits;
constexpr int kStripRows = 64;  // the bottom line and the gap above it fit well within this

int64_t NowUs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

struct Settings {
  std::string title;
  std::string stampsFile;
  uint32_t nickname = 0, text = 0;  // 0xRRGGBB
  std::string label = "latency";
  double targetMs = 0;
  double timeoutS = 120;
  int settleMs = 1000;
  std::string dumpFile;  // one line per line counted, for a closer look
};

bool ParseColour(const char* text, uint32_t* out) {
  char* end = nullptr;
  unsigned long v = std::strtoul(text, &end, 16);
  if (std::strlen(text) != 6 || *end || v > 0xFFFFFF) return false;
  *out = static_cast<uint32_t>(v);
  return true;
}

bool ParseArgs(int argc, char** argv, Settings* s, std::string* error) {
  bool nickname = false, text = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") return false;  // no error: the usage alone
    if (i + 1 >= argc) {
      *error = arg + " needs a value";
      return false;
    }
    const char* value = argv[++i];
    char* end = nullptr;
    if (arg == "--title") {
      s->title = value;
    } else if (arg == "--stamps") {
      s->stampsFile = value;
    } else if (arg == "--nickname-colour") {
      nickname = ParseColour(value, &s->nickname);
      if (!nickname) *error = arg + ": expected RRGGBB, got \"" + value + "\"";
    } else if (arg == "--text-colour") {
      text = ParseColour(value, &s->text);
      if (!text) *error = arg + ": expected RRGGBB, got \"" + value + "\"";
    } else if (arg == "--label") {
      s->label = value;
    } else if (arg == "--target-ms") {
      s->targetMs = std::strtod(value, &end);
      if (*end || s->targetMs <= 0) *error = arg + ": expected milliseconds, got \"" + value + "\"";
    } else if (arg == "--timeout") {
      s->timeoutS = std::strtod(value, &end);
      if (*end || s->timeoutS <= 0) *error = arg + ": expected seconds, got \"" + value + "\"";
    } else if (arg == "--dump") {
      s->dumpFile = value;
    } else if (arg == "--settle") {
      s->settleMs = static_cast<int>(std::strtol(value, &end, 10));
      if (*end || s->settleMs < 0) *error = arg + ": expected milliseconds, got \"" + value + "\"";
    } else {
      *error = "unknown option \"" + arg + "\"";
    }
    if (!error->empty()) return false;
  }
  if (s->title.empty() || s->stampsFile.empty() || !nickname || !text) {
    *error = "--title, --stamps, --nickname-colour and --text-colour are needed";
    return false;
  }
  return true;
}

// The simulator's log, read as it grows: the stamps of the first connection and the burst's end.
class StampLog {
 public:
  explicit StampLog(const std::string& path) : path_(path) {}

  // Reads what was appended since the last call; false (with `error`) on a line that breaks the run.
  bool Poll(std::string* error) {
    std::ifstream in(path_, std::ios::binary);
    if (!in) return true;  // not there yet
    in.seekg(static_cast<std::streamoff>(offset_));
    std::string line;
    while (std::getline(in, line)) {
      if (in.eof()) break;  // a line still being written
      offset_ += line.size() + 1;
      if (line.find("\"event\":\"burst-end\"") != std::string::npos && !burstEndUs_) burstEndUs_ = NowUs();
      if (line.find("\"event\":\"stamp\"") == std::string::npos) continue;
      int64_t conn = Field(line, "conn"), seq = Field(line, "seq"), us = Field(line, "mono_us");
      if (conn < 0 || seq < 0 || us < 0) {
        *error = "unreadable stamp in the simulator's log: " + line;
        return false;
      }
      if (conn_ < 0) conn_ = conn;
      if (conn != conn_) {
        *error = "the program joined the room a second time (connection " + std::to_string(conn) +
                 "); its lines would mix with the first session's";
        return false;
      }
      if (seq != static_cast<int64_t>(sentUs_.size()) + 1) {
        *error = "stamp " + std::to_string(seq) + " out of order in the simulator's log";
        return false;
      }
      sentUs_.push_back(us);
    }
    return true;
  }

  const std::vector<int64_t>& sentUs() const { return sentUs_; }  // by line number - 1
  int64_t burstEndUs() const { return burstEndUs_; }                // 0 until seen

 private:
  static int64_t Field(const std::string& line, const char* name) {
    std::string key = std::string("\"") + name + "\":";
    size_t at = line.find(key);
    if (at == std::string::npos) return -1;
    char* end = nullptr;
    long long v = std::strtoll(line.c_str() + at + key.size(), &end, 10);
    return end == line.c_str() + at + key.size() ? -1 : v;
  }

  std::string path_;
  size_t offset_ = 0;
  int64_t conn_ = -1;
  std::vector<int64_t> sentUs_;
  int64_t burstEndUs_ = 0;
};

int g_xError = 0;
int OnXError(Display*, XErrorEvent* e) {
  g_xError = e->error_code;
  return 0;
}

std::string WindowName(Display* dpy, Window w, Atom netWmName, Atom utf8) {
  for (Atom property : {netWmName, static_cast<Atom>(XA_WM_NAME)}) {
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(dpy, w, property, 0, 1024, False, property == netWmName ? utf8 : AnyPropertyType, &type,
                           &format, &count, &after, &data) == Success &&
        data) {
      std::string name(reinterpret_cast<char*>(data), count);
      XFree(data);
      if (format == 8 && !name.empty()) return name;
    }
  }
  return "";
}

Window FindWindow(Display* dpy, Window root, const std::string& title) {
  Atom netWmName = XInternAtom(dpy, "_NET_WM_NAME", False), utf8 = XInternAtom(dpy, "UTF8_STRING", False);
  std::vector<Window> pending = {root};
  while (!pending.empty()) {
    Window w = pending.back();
    pending.pop_back();
    g_xError = 0;
    if (w != root && WindowName(dpy, w, netWmName, utf8) == title && !g_xError) return w;
    Window rootReturn = None, parent = None, *children = nullptr;
    unsigned count = 0;
    if (XQueryTree(dpy, w, &rootReturn, &parent, &children, &count) && children) {
      pending.insert(pending.end(), children, children + count);
      XFree(children);
    }
  }
  return None;
}

// The pixels of a strip as 0xRRGGBB.
class Pixels {
 public:
  explicit Pixels(XImage* image) : image_(image) {
    fast_ = image->bits_per_pixel == 32 && image->red_mask == 0xFF0000 && image->green_mask == 0xFF00 &&
            image->blue_mask == 0xFF && image->byte_order == LSBFirst;
  }
  uint32_t At(int x, int y) const {
    if (fast_) {
      const char* row = image_->data + static_cast<size_t>(y) * static_cast<size_t>(image_->bytes_per_line);
      uint32_t v = 0;
      std::memcpy(&v, row + static_cast<size_t>(x) * 4, 4);
      return v & 0xFFFFFF;
    }
    unsigned long p = XGetPixel(image_, x, y);
    return static_cast<uint32_t>((Channel(p, image_->red_mask) << 16) | (Channel(p, image_->green_mask) << 8) |
                                 Channel(p, image_->blue_mask));
  }

 private:
  static unsigned long Channel(unsigned long pixel, unsigned long mask) {
    if (!mask) return 0;
    int shift = 0;
    while (!((mask >> shift) & 1)) ++shift;
    unsigned long v = (pixel & mask) >> shift, max = mask >> shift;
    return max == 255 ? v : v * 255 / max;
  }
  XImage* image_;
  bool fast_ = false;
};

// The number on the bottom line of the strip, or -1 when that line is no stamped line.
int64_t DecodeBottomLine(const Pixels& px, int width, int height, uint32_t nickname, uint32_t text) {
  auto ink = [&](int x, int y) {
    uint32_t c = px.At(x, y);
    return c == nickname ? 1 : c == text ? 2 : 0;
  };
  auto rowHasInk = [&](int y) {
    for (int x = 0; x < width; ++x)
      if (ink(x, y)) return true;
    return false;
  };
  int bottom = height - 1;
  while (bottom >= 0 && !rowHasInk(bottom)) --bottom;
  if (bottom < 0) return -1;
  int top = bottom, blank = 0;
  for (int y = bottom - 1; y >= 0 && blank < 3; --y) {
    if (rowHasInk(y)) {
      top = y;
      blank = 0;
    } else {
      ++blank;
    }
  }
  if (top == 0 && height == kStripRows) return -1;  // the strip may cut the line: read more next time
  const int bandHeight = bottom - top + 1;
  // Per column: nickname ink, and the rows text ink spans.
  int lastNickname = -1;
  std::vector<int> textTop(static_cast<size_t>(width), -1), textBottom(static_cast<size_t>(width), -1);
  for (int x = 0; x < width; ++x) {
    for (int y = top; y <= bottom; ++y) {
      int k = ink(x, y);
      if (k == 1) lastNickname = x;
      if (k == 2) {
        if (textTop[static_cast<size_t>(x)] < 0) textTop[static_cast<size_t>(x)] = y;
        textBottom[static_cast<size_t>(x)] = y;
      }
    }
  }
  if (lastNickname < 0) return -1;
  struct Run {
    int top, bottom, width;
  };
  std::vector<Run> runs;
  bool inRun = false;
  for (int x = lastNickname + 1; x < width; ++x) {
    int t = textTop[static_cast<size_t>(x)], b = textBottom[static_cast<size_t>(x)];
    if (t < 0) {
      inRun = false;
      continue;
    }
    if (!inRun) runs.push_back(Run{t, b, 0});
    runs.back().top = std::min(runs.back().top, t);
    runs.back().bottom = std::max(runs.back().bottom, b);
    ++runs.back().width;
    inRun = true;
  }
  // The text's own words come first ("说:"), so there are more runs than bits.
  if (runs.size() <= static_cast<size_t>(kBits)) return -1;
  // Every mark of a kind looks the same. Without a compositor the window's shape follows its text
  // a moment after its pixels: in between only the new pixels inside the old shape show, and marks
  // cut by it differ from whole ones.
  int64_t value = 0;
  const Run* seen[2] = {nullptr, nullptr};
  for (size_t i = runs.size() - kBits; i < runs.size(); ++i) {
    const Run& r = runs[i];
    int h = r.bottom - r.top + 1;
    int bit = 0;
    if (2 * h >= bandHeight)
      bit = 1;
    else if (4 * h > bandHeight)
      return -1;
    const Run*& first = seen[bit];
    if (!first) first = &r;
    if (r.top != first->top || r.bottom != first->bottom || r.width != first->width) return -1;
    value = value * 2 + bit;
  }
  return value;
}

struct Observation {
  int64_t us;
  int64_t code;
};

struct DamagePeek {
  int damageEvent;
  bool found;
};

// Notes whether a damage event waits in the queue, taking none.
Bool PeekDamage(Display*, XEvent* e, XPointer arg) {
  auto* peek = reinterpret_cast<DamagePeek*>(arg);
  if (e->type == peek->damageEvent + XDamageNotify) peek->found = true;
  return False;
}

class Observer {
 public:
  explicit Observer(const Settings& s) : s_(s), log_(s.stampsFile) {}

  int Run() {
    dpy_ = XOpenDisplay(nullptr);
    if (!dpy_) return Fail("cannot open the X display");
    XSetErrorHandler(OnXError);
    int fixesEvent = 0, fixesError = 0, major = 0, minor = 0;
    if (!XFixesQueryExtension(dpy_, &fixesEvent, &fixesError) || !XFixesQueryVersion(dpy_, &major, &minor))
      return Fail("the X server has no XFixes");
    if (!XDamageQueryExtension(dpy_, &damageEvent_, &damageError_) || !XDamageQueryVersion(dpy_, &major, &minor))
      return Fail("the X server has no DAMAGE");
    const int64_t deadline = NowUs() + static_cast<int64_t>(s_.timeoutS * 1e6);
    std::string error;
    while (NowUs() < deadline) {
      if (!log_.Poll(&error)) return Fail(error);
      if (!win_ && !Attach()) {
        Sleep(100);
        continue;
      }
      if (log_.burstEndUs() && NowUs() >= log_.burstEndUs() + s_.settleMs * 1000) return Report();
      pollfd fd{ConnectionNumber(dpy_), POLLIN, 0};
      if (!XPending(dpy_)) poll(&fd, 1, 20);
      while (win_ && XPending(dpy_)) Handle();
    }
    return Fail(win_ ? "no burst-end in the simulator's log before the time-out"
                     : "no window \"" + s_.title + "\" before the time-out");
  }

 private:
  int Fail(const std::string& why) {
    std::fprintf(stderr, "bench_latency: %s\n", why.c_str());
    return 1;
  }

  static void Sleep(int ms) { poll(nullptr, 0, ms); }

  bool Attach() {
    Window w = FindWindow(dpy_, DefaultRootWindow(dpy_), s_.title);
    if (!w) return false;
    g_xError = 0;
    XSelectInput(dpy_, w, StructureNotifyMask);
    damage_ = XDamageCreate(dpy_, w, XDamageReportNonEmpty);
    XSync(dpy_, False);
    if (g_xError) return false;  // gone already
    win_ = w;
    return true;
  }

  void Handle() {
    XEvent e;
    XNextEvent(dpy_, &e);
    int64_t at = NowUs();
    if (e.type == DestroyNotify && e.xdestroywindow.window == win_) {
      win_ = None;  // a new window under the same title is looked for
      return;
    }
    if (e.type != damageEvent_ + XDamageNotify) return;
    const auto& d = reinterpret_cast<const XDamageNotifyEvent&>(e);
    if (d.drawable != win_) return;
    XDamageSubtract(dpy_, damage_, None, None);
    Read(at);
  }

  void Read(int64_t at) {
    XWindowAttributes attrs;
    g_xError = 0;
    if (!XGetWindowAttributes(dpy_, win_, &attrs) || g_xError || attrs.map_state != IsViewable) return;
    int rows = std::min(attrs.height, kStripRows);
    XImage* image = XGetImage(dpy_, win_, 0, attrs.height - rows, static_cast<unsigned>(attrs.width),
                              static_cast<unsigned>(rows), AllPlanes, ZPixmap);
    if (!image || g_xError) {  // resized or unmapped meanwhile: the next damage comes
      if (image) XDestroyImage(image);
      return;
    }
    DamagePeek peek{damageEvent_, false};
    XEvent ignored;
    XCheckIfEvent(dpy_, &ignored, PeekDamage, reinterpret_cast<XPointer>(&peek));
    if (peek.found) at = NowUs();
    int64_t code = DecodeBottomLine(Pixels(image), attrs.width, rows, s_.nickname, s_.text);
    if (code < 0 && rows < attrs.height) {  // the line did not fit the strip: read it all
      XDestroyImage(image);
      image = XGetImage(dpy_, win_, 0, 0, static_cast<unsigned>(attrs.width), static_cast<unsigned>(attrs.height),
                        AllPlanes, ZPixmap);
      if (!image || g_xError) {
        if (image) XDestroyImage(image);
        return;
      }
      at = NowUs();
      code = DecodeBottomLine(Pixels(image), attrs.width, attrs.height, s_.nickname, s_.text);
    }
    XDestroyImage(image);
    ++frames_;
    if (code >= 0) observations_.push_back(Observation{at, code});
  }

  int Report() {
    const std::vector<int64_t>& sent = log_.sentUs();
    if (sent.empty()) return Fail("the simulator sent no stamped line");
    std::vector<double> latencies;
    std::FILE* dump = nullptr;
    if (!s_.dumpFile.empty() && !(dump = std::fopen(s_.dumpFile.c_str(), "w")))
      return Fail("cannot write " + s_.dumpFile);
    if (dump) std::fputs("# line sent_us shown_us latency_ms\n", dump);
    int64_t newest = 0;  // lines up to here are counted
    for (const Observation& o : observations_) {
      // The newest line sent before the damage whose number matches the code.
      int64_t lastSent = std::upper_bound(sent.begin(), sent.end(), o.us) - sent.begin();
      int64_t line = lastSent - ((lastSent - o.code) % kCycle + kCycle) % kCycle;
      if (line < 1 || line <= newest) continue;
      for (int64_t n = newest + 1; n <= line; ++n) {
        int64_t sentUs = sent[static_cast<size_t>(n - 1)];
        latencies.push_back(static_cast<double>(o.us - sentUs) / 1000.0);
        if (dump)
          std::fprintf(dump, "%lld %lld %lld %.3f\n", static_cast<long long>(n), static_cast<long long>(sentUs),
                       static_cast<long long>(o.us), latencies.back());
      }
      newest = line;
    }
    if (dump) std::fclose(dump);
    if (latencies.empty())
      return Fail("no stamped line was seen in the window (" + std::to_string(frames_) + " frames read)");
    std::sort(latencies.begin(), latencies.end());
    auto rank = [&](double p) {
      size_t i = static_cast<size_t>(std::ceil(p * static_cast<double>(latencies.size())));
      return latencies[std::min(latencies.size(), std::max<size_t>(i, 1)) - 1];
    };
    std::string unseen;
    if (static_cast<size_t>(newest) < sent.size())
      unseen = ", " + std::to_string(sent.size() - static_cast<size_t>(newest)) + " never shown";
    std::printf("%s: p50 %.1f ms, p99 %.1f ms, max %.1f ms (%zu lines%s; target p99 \xE2\x89\xA4 %g ms)\n",
                s_.label.c_str(), rank(0.50), rank(0.99), latencies.back(), latencies.size(), unseen.c_str(),
                s_.targetMs);
    return 0;
  }

  const Settings& s_;
  StampLog log_;
  Display* dpy_ = nullptr;
  int damageEvent_ = 0, damageError_ = 0;
  Window win_ = None;
  Damage damage_ = None;
  std::vector<Observation> observations_;
  long frames_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  Settings settings;
  std::string error;
  if (!ParseArgs(argc, argv, &settings, &error)) {
    if (!error.empty()) std::fprintf(stderr, "bench_latency: %s\n", error.c_str());
    std::fputs(
        "Usage: bench_latency --title TITLE --stamps SIMLOG --nickname-colour RRGGBB --text-colour RRGGBB\n"
        "                     [--label TEXT] [--target-ms MS] [--timeout S] [--settle MS] [--dump FILE]\n"
        "Times the stamped lines of a qvroomsim --stamp log into the window titled TITLE until the\n"
        "log's burst-end (plus MS to settle); --dump writes each line's times. Run through\n"
        "bench/latency_bench.sh.\n",
        stderr);
    return 2;
  }
  return Observer(settings).Run();
}
