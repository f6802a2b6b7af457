#include "e2e/support/XSession.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace qve2e {
namespace {

using Clock = std::chrono::steady_clock;

bool Exited(pid_t pid) {
  int status;
  return waitpid(pid, &status, WNOHANG) == pid;
}

}  // namespace

XSession::XSession(const SessionOptions& options) : options_(options) {
  char tmpl[] = "/tmp/qv-e2e-XXXXXX";
  if (!mkdtemp(tmpl)) {
    error_ = "no temporary folder";
    return;
  }
  folder_ = tmpl;
  StartReaper();
  for (const char* sub : {"/cache", "/config", "/runtime"}) std::filesystem::create_directories(folder_ + sub);
  std::filesystem::permissions(folder_ + "/runtime", std::filesystem::perms::owner_all);
  if (!(options_.monitors.empty() ? StartXvfb() : StartXorg())) return;
  if (options_.dpi) {
    Display* dpy = Helper();
    if (!dpy) {
      error_ = "cannot open the session's display";
      return;
    }
    const std::string resources = "Xft.dpi:\t" + std::to_string(options_.dpi) + "\n";
    XChangeProperty(dpy, DefaultRootWindow(dpy), XA_RESOURCE_MANAGER, XA_STRING, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(resources.data()), static_cast<int>(resources.size()));
    XSync(dpy, False);
  }
  setenv("DISPLAY", display_.c_str(), 1);
  setenv("XDG_CACHE_HOME", (folder_ + "/cache").c_str(), 1);
  setenv("XDG_CONFIG_HOME", (folder_ + "/config").c_str(), 1);
  setenv("XDG_RUNTIME_DIR", (folder_ + "/runtime").c_str(), 1);
  const bool xfwm4 = options_.windowManager && options_.xfwm4;
  if ((options_.notifications || xfwm4) && !StartBus() && xfwm4) {
    error_ = "the session bus did not start";
    return;
  }
  if (options_.notifications) notifier_ = Spawn({"/usr/lib/notification-daemon/notification-daemon", "--replace"});
  if (options_.windowManager) {
    const char* name = options_.xfwm4 ? "xfwm4" : "openbox";
    wm_ = options_.xfwm4 ? Spawn({"xfwm4", "--compositor=on", "--vblank=off", "--sm-client-disable"})
                         : Spawn({"openbox", "--sm-disable"});
    if (!WaitForWindowManager()) {
      error_ = std::string(name) + " did not start";
      return;
    }
    if (options_.xfwm4 && !WaitFor([&] { return CompositorRuns(); }, [] {}, 10000)) {
      error_ = "xfwm4's compositor did not start";
      return;
    }
  }
  if (options_.compositor && !StartCompositor()) return;
  if (options_.tray && !StartTray()) return;
  ok_ = true;
}

// The X server outlives the test's own connection to it: the reaper stops it, and whatever else
// is left, by PID when this process ends (also when it crashes), then removes the folder.
void XSession::StartReaper() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return;
  const char* script =
      "pids=''; while read p; do case $p in -*) pids=$(echo \" $pids \" | sed \"s/ ${p#-} / /\");; "
      "*) pids=\"$p $pids\";; esac; done; for p in $pids; do kill $p 2>/dev/null; done; sleep 0.5; "
      "for p in $pids; do kill -9 $p 2>/dev/null; done; rm -rf \"$0\"";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[0], 0);
  std::vector<std::string> argv{"sh", "-c", script, folder_};
  std::vector<char*> args;
  for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid;
  if (posix_spawnp(&pid, "sh", &actions, nullptr, args.data(), environ) == 0) reaper_ = fds[1];
  else close(fds[1]);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[0]);
}

void XSession::Remember(pid_t pid, bool forget) {
  if (reaper_ < 0 || pid <= 0) return;
  std::string line = (forget ? "-" : "") + std::to_string(pid) + "\n";
  (void)!write(reaper_, line.data(), line.size());
}

XSession::~XSession() {
  if (helper_) XCloseDisplay(helper_);
  // Our windows stay on the X server until the process ends; everything else stops now.
  for (pid_t* pid : {&tray_, &compositor_, &wm_, &notifier_, &bus_}) {
    Stop(*pid);
    *pid = -1;
  }
}

std::string XSession::ProgramConfigHome() {
  std::string home = folder_ + "/config";
  std::filesystem::create_directories(home + "/QvGameAssist");
  setenv("XDG_CONFIG_HOME", home.c_str(), 1);
  return home;
}

bool XSession::StartXvfb() {
  std::string screen = std::to_string(options_.width) + "x" + std::to_string(options_.height) + "x24";
  return StartServer({"Xvfb", "-screen", "0", screen, "-nolisten", "tcp", "+extension", "RANDR", "-ac"}, "Xvfb");
}

// Xorg on the dummy driver needs no device: no input (devices are not added), no console of its
// own (it shares the VT and never switches), its log and configuration in the session's folder.
// Then xrandr lights one output per monitor, side by side.
bool XSession::StartXorg() {
  int width = 0, height = 0;
  for (const auto& [w, h] : options_.monitors) {
    width += w;
    height = std::max(height, h);
  }
  const std::string conf = folder_ + "/xorg.conf";
  {
    std::ofstream out(conf);
    out << "Section \"ServerFlags\"\n  Option \"AutoAddDevices\" \"false\"\n  Option \"AutoEnableDevices\" \"false\"\n"
           "  Option \"DontVTSwitch\" \"true\"\nEndSection\n"
           "Section \"Device\"\n  Identifier \"dummy\"\n  Driver \"dummy\"\n  VideoRam 256000\nEndSection\n"
           "Section \"Monitor\"\n  Identifier \"monitor\"\n  HorizSync 5.0 - 1000.0\n  VertRefresh 5.0 - 200.0\nEndSection\n"
           "Section \"Screen\"\n  Identifier \"screen\"\n  Device \"dummy\"\n  Monitor \"monitor\"\n  DefaultDepth 24\n"
           "  SubSection \"Display\"\n    Depth 24\n    Virtual "
        << std::max(width, 2048) << " " << std::max(height, 1536) << "\n  EndSubSection\nEndSection\n";
  }
  std::filesystem::create_directories(folder_ + "/xorg.conf.d");
  if (!StartServer({"Xorg", "-config", conf, "-configdir", folder_ + "/xorg.conf.d", "-logfile", folder_ + "/Xorg.log",
                    "-noreset", "-nolisten", "tcp", "-novtswitch", "-sharevts", "-ac"},
                   "Xorg"))
    return false;
  setenv("DISPLAY", display_.c_str(), 1);
  auto xrandr = [&](std::vector<std::string> args) {
    args.insert(args.begin(), "xrandr");
    return Run(args, [] {});
  };
  int x = 0;
  std::vector<std::string> layout;
  for (size_t i = 0; i < options_.monitors.size(); ++i) {
    const auto [w, h] = options_.monitors[i];
    // A mode of that size (blanking is irrelevant to a dummy output), offered to its output.
    std::string mode = std::to_string(w) + "x" + std::to_string(h) + "_qv";
    std::string output = "DUMMY" + std::to_string(i);
    std::string clock = std::to_string(w * h * 60 / 1000000 + 1);
    xrandr({"--newmode", mode, clock, std::to_string(w), std::to_string(w + 1), std::to_string(w + 2),
            std::to_string(w + 3), std::to_string(h), std::to_string(h + 1), std::to_string(h + 2),
            std::to_string(h + 3)});  // already there from another monitor of that size: fine
    if (!xrandr({"--addmode", output, mode})) {
      error_ = "xrandr cannot offer " + mode + " to " + output;
      return false;
    }
    layout.insert(layout.end(), {"--output", output, "--mode", mode, "--pos", std::to_string(x) + "x0"});
    if (static_cast<int>(i) == options_.primary) layout.push_back("--primary");
    x += w;
  }
  if (!xrandr(layout)) {
    error_ = "xrandr cannot lay out the monitors";
    return false;
  }
  return true;
}

// Starts an X server on a free display (it names the display on a pipe: -displayfd).
bool XSession::StartServer(const std::vector<std::string>& command, const char* name) {
  int fds[2];
  if (pipe(fds) != 0) return false;
  std::vector<std::string> argv{command.front(), "-displayfd", std::to_string(fds[1])};
  argv.insert(argv.end(), command.begin() + 1, command.end());
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addclose(&actions, fds[0]);
  if (std::string(name) == "Xorg") {
    // Its start-up chatter goes to its log.
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  }
  std::vector<char*> args;
  for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  int rc = posix_spawnp(&server_, argv[0].c_str(), &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc == 0) Remember(server_, false);
  close(fds[1]);
  if (rc != 0) {
    close(fds[0]);
    error_ = std::string("cannot start ") + name;
    server_ = -1;
    return false;
  }
  std::string number;
  auto deadline = Clock::now() + std::chrono::seconds(20);
  while (Clock::now() < deadline) {
    pollfd p{fds[0], POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char c;
    if (read(fds[0], &c, 1) != 1) break;
    if (c == '\n') break;
    number += c;
  }
  close(fds[0]);
  if (number.empty()) {
    error_ = std::string(name) + " did not report a display";
    return false;
  }
  display_ = ":" + number;
  return true;
}

pid_t XSession::Spawn(const std::vector<std::string>& argv, const std::string& stdoutFile) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  std::string out = stdoutFile.empty() ? "/dev/null" : stdoutFile;
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, (folder_ + "/helpers.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  std::vector<char*> args;
  for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, argv[0].c_str(), &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return -1;
  Remember(pid, false);
  return pid;
}

void XSession::Stop(pid_t pid) {
  if (pid <= 0) return;
  Remember(pid, true);
  kill(pid, SIGTERM);
  for (int i = 0; i < 100; ++i) {
    if (Exited(pid)) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

bool XSession::StartTray() {
  tray_ = Spawn({"trayer", "--edge", "top", "--align", "right", "--widthtype", "pixel", "--width", "120", "--height",
                 "32", "--SetDockType", "true", "--expand", "false", "--transparent", "false"});
  if (tray_ < 0) error_ = "cannot start trayer";
  return tray_ >= 0;
}

void XSession::StopTray() {
  Stop(tray_);
  tray_ = -1;
}

// A private session bus: its address comes back on a pipe.
bool XSession::StartBus() {
  std::string addressFile = folder_ + "/bus-address";
  bus_ = Spawn({"dbus-daemon", "--session", "--nofork", "--nopidfile", "--print-address=1"}, addressFile);
  return bus_ > 0 && WaitFor([&] {
    FILE* f = fopen(addressFile.c_str(), "r");
    if (!f) return false;
    char line[512] = {};
    bool got = fgets(line, sizeof line, f) != nullptr && strchr(line, '\n');
    fclose(f);
    if (got) {
      busAddress_ = std::string(line, strcspn(line, "\n"));
      setenv("DBUS_SESSION_BUS_ADDRESS", busAddress_.c_str(), 1);
    }
    return got;
  }, [] {}, 5000);
}

bool XSession::StartCompositor() {
  compositor_ = Spawn({"xcompmgr"});
  if (compositor_ < 0 || !WaitFor([&] { return CompositorRuns(); }, [] {}, 10000)) {
    error_ = "xcompmgr did not start";
    return false;
  }
  return true;
}

void XSession::StopCompositor() {
  Stop(compositor_);
  compositor_ = -1;
}

bool XSession::CompositorRuns() {
  Display* dpy = Helper();
  return dpy && XGetSelectionOwner(dpy, XInternAtom(dpy, "_NET_WM_CM_S0", False)) != None;
}

bool XSession::ReadWindow(unsigned long id, WindowPixels& out) {
  Display* dpy = Helper();
  if (!dpy) return false;
  XWindowAttributes a;
  if (!XGetWindowAttributes(dpy, id, &a) || a.map_state != IsViewable) return false;
  XImage* image = XGetImage(dpy, id, 0, 0, static_cast<unsigned>(a.width), static_cast<unsigned>(a.height), AllPlanes,
                            ZPixmap);
  if (!image) return false;
  out.width = a.width;
  out.height = a.height;
  out.depth = a.depth;
  out.argb.resize(static_cast<size_t>(a.width) * static_cast<size_t>(a.height));
  for (int y = 0; y < a.height; ++y)
    for (int x = 0; x < a.width; ++x) {
      unsigned long px = XGetPixel(image, x, y);
      out.argb[static_cast<size_t>(y) * a.width + x] =
          a.depth == 32 ? static_cast<unsigned>(px) : 0xFF000000u | static_cast<unsigned>(px & 0xFFFFFF);
    }
  XDestroyImage(image);
  return true;
}

// openbox names itself (_NET_SUPPORTING_WM_CHECK) before its event loop runs; a map request that
// reaches it meanwhile can stay unanswered for good. Ready means it answered a request of ours.
bool XSession::WaitForWindowManager() { return SyncWindowManager(10000); }

// The window manager answers _NET_REQUEST_FRAME_EXTENTS for a probe window by setting
// _NET_FRAME_EXTENTS on it; it handles events in order, so by then it handled every earlier one.
// Asked again every 200 ms, since a request that comes before its event loop runs goes unanswered.
bool XSession::SyncWindowManager(int ms) {
  Display* dpy = XOpenDisplay(display_.c_str());
  if (!dpy) return false;
  ::Window root = DefaultRootWindow(dpy);
  ::Window probe = XCreateSimpleWindow(dpy, root, -10, -10, 1, 1, 0, 0, 0);
  XSelectInput(dpy, probe, PropertyChangeMask);
  Atom request = XInternAtom(dpy, "_NET_REQUEST_FRAME_EXTENTS", False);
  Atom extents = XInternAtom(dpy, "_NET_FRAME_EXTENTS", False);
  bool answered = false;
  auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  while (!answered && Clock::now() < deadline) {
    XEvent ask{};
    ask.xclient.type = ClientMessage;
    ask.xclient.window = probe;
    ask.xclient.message_type = request;
    ask.xclient.format = 32;
    XSendEvent(dpy, root, False, SubstructureRedirectMask | SubstructureNotifyMask, &ask);
    XFlush(dpy);
    auto retry = Clock::now() + std::chrono::milliseconds(200);
    while (!answered && Clock::now() < retry) {
      while (!answered && XPending(dpy)) {
        XEvent ev;
        XNextEvent(dpy, &ev);
        answered = ev.type == PropertyNotify && ev.xproperty.atom == extents && ev.xproperty.state == PropertyNewValue;
      }
      pollfd p{ConnectionNumber(dpy), POLLIN, 0};
      if (!answered) poll(&p, 1, 20);
    }
  }
  XDestroyWindow(dpy, probe);
  XCloseDisplay(dpy);
  return answered;
}

Display* XSession::Helper() {
  if (!helper_) helper_ = XOpenDisplay(display_.c_str());
  return helper_;
}

bool XSession::ResizeScreen(int width, int height) {
  Display* dpy = Helper();
  if (!dpy) return false;
  ::Window root = DefaultRootWindow(dpy);
  XRRScreenResources* res = XRRGetScreenResources(dpy, root);
  if (!res || res->noutput < 1 || res->ncrtc < 1) {
    if (res) XRRFreeScreenResources(res);
    return false;
  }
  RROutput output = res->outputs[0];
  RRCrtc crtc = res->crtcs[0];
  RRMode mode = None;
  for (int i = 0; i < res->nmode; ++i)
    if (static_cast<int>(res->modes[i].width) == width && static_cast<int>(res->modes[i].height) == height)
      mode = res->modes[i].id;
  if (mode == None) {
    std::string name = std::to_string(width) + "x" + std::to_string(height);
    XRRModeInfo* info = XRRAllocModeInfo(name.c_str(), static_cast<int>(name.size()));
    info->width = width;
    info->height = height;
    info->hTotal = width;
    info->vTotal = height;
    info->dotClock = 60ul * width * height;
    mode = XRRCreateMode(dpy, root, info);
    XRRFreeModeInfo(info);
  }
  XRRAddOutputMode(dpy, output, mode);  // already there: the server ignores it
  XWindowAttributes ra;
  XGetWindowAttributes(dpy, root, &ra);
  // The output must fit the screen at every step: a smaller screen comes after the smaller mode.
  auto setCrtc = [&] { return XRRSetCrtcConfig(dpy, res, crtc, CurrentTime, 0, 0, mode, RR_Rotate_0, &output, 1) == Success; };
  auto setSize = [&] { XRRSetScreenSize(dpy, root, width, height, width * 254 / 960, height * 254 / 960); };
  bool ok;
  XGrabServer(dpy);
  if (width <= ra.width && height <= ra.height) {
    ok = setCrtc();
    setSize();
  } else {
    setSize();
    ok = setCrtc();
  }
  XUngrabServer(dpy);
  XRRFreeScreenResources(res);
  XSync(dpy, False);
  XGetWindowAttributes(dpy, root, &ra);
  return ok && ra.width == width && ra.height == height;
}

bool XSession::Dock(int height, int left, int right) {
  Display* dpy = Helper();
  if (!dpy) return false;
  ::Window root = DefaultRootWindow(dpy);
  if (right < 0) right = DisplayWidth(dpy, DefaultScreen(dpy));
  int width = right - left;
  ::Window dock = XCreateSimpleWindow(dpy, root, left, 0, width, height, 0, 0, 0x808080);
  Atom type = XInternAtom(dpy, "_NET_WM_WINDOW_TYPE_DOCK", False);
  XChangeProperty(dpy, dock, XInternAtom(dpy, "_NET_WM_WINDOW_TYPE", False), XA_ATOM, 32, PropModeReplace,
                  reinterpret_cast<unsigned char*>(&type), 1);
  // left, right, top, bottom, then the start and end of each edge's extent
  long strut[12] = {0, 0, height, 0, 0, 0, 0, 0, left, right - 1, 0, 0};
  XChangeProperty(dpy, dock, XInternAtom(dpy, "_NET_WM_STRUT_PARTIAL", False), XA_CARDINAL, 32, PropModeReplace,
                  reinterpret_cast<unsigned char*>(strut), 12);
  XChangeProperty(dpy, dock, XInternAtom(dpy, "_NET_WM_STRUT", False), XA_CARDINAL, 32, PropModeReplace,
                  reinterpret_cast<unsigned char*>(strut), 4);
  XMapWindow(dpy, dock);
  XSync(dpy, False);
  return true;
}

bool XSession::SetRootProperty(const std::string& name, const std::string& type, const std::vector<long>& values) {
  Display* dpy = Helper();
  if (!dpy) return false;
  XChangeProperty(dpy, DefaultRootWindow(dpy), XInternAtom(dpy, name.c_str(), False), XInternAtom(dpy, type.c_str(), False),
                  32, PropModeReplace, reinterpret_cast<const unsigned char*>(values.data()),
                  static_cast<int>(values.size()));
  XSync(dpy, False);
  return true;
}

std::vector<long> XSession::RootProperty(const std::string& name) {
  std::vector<long> out;
  Display* dpy = Helper();
  if (!dpy) return out;
  Atom actual;
  int format;
  unsigned long n, after;
  unsigned char* data = nullptr;
  if (XGetWindowProperty(dpy, DefaultRootWindow(dpy), XInternAtom(dpy, name.c_str(), False), 0, 1024, False,
                         AnyPropertyType, &actual, &format, &n, &after, &data) == Success &&
      data && format == 32) {
    const long* values = reinterpret_cast<const long*>(data);
    out.assign(values, values + n);
  }
  if (data) XFree(data);
  return out;
}

unsigned long XSession::DeadWindow() {
  Display* dpy = Helper();
  if (!dpy) return 0;
  ::Window w = XCreateSimpleWindow(dpy, DefaultRootWindow(dpy), 0, 0, 1, 1, 0, 0, 0);
  XDestroyWindow(dpy, w);
  XSync(dpy, False);
  return w;
}

unsigned long XSession::Cover(int x, int y, int width, int height, unsigned long rgb) {
  Display* dpy = Helper();
  if (!dpy) return 0;
  XSetWindowAttributes attrs{};
  attrs.override_redirect = True;
  attrs.background_pixel = rgb;
  ::Window w = XCreateWindow(dpy, DefaultRootWindow(dpy), x, y, static_cast<unsigned>(width),
                             static_cast<unsigned>(height), 0, CopyFromParent, InputOutput, CopyFromParent,
                             CWOverrideRedirect | CWBackPixel, &attrs);
  XMapRaised(dpy, w);
  XSync(dpy, False);
  return w;
}

bool XSession::Run(const std::vector<std::string>& argv, const std::function<void()>& pump, std::string* output) {
  std::string file = folder_ + "/run-output";
  pid_t pid = Spawn(argv, output ? file : std::string());
  if (pid < 0) return false;
  int status = 0;
  auto deadline = Clock::now() + std::chrono::seconds(30);
  for (;;) {
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) break;
    if (Clock::now() > deadline) {
      Stop(pid);
      return false;
    }
    pump();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  if (output) {
    output->clear();
    if (FILE* f = fopen(file.c_str(), "r")) {
      char buf[4096];
      size_t n;
      while ((n = fread(buf, 1, sizeof buf, f)) > 0) output->append(buf, n);
      fclose(f);
    }
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

long XSession::Pixel(int x, int y, const std::function<void()>& pump) {
  std::string out;
  std::string crop = "1x1+" + std::to_string(x) + "+" + std::to_string(y);
  if (!Run({"import", "-silent", "-window", "root", "-crop", crop, "-depth", "8", "txt:-"}, pump, &out)) return -1;
  size_t hash = out.find('#', out.find('\n'));
  if (hash == std::string::npos) return -1;
  return strtol(out.substr(hash + 1, 6).c_str(), nullptr, 16);
}

XSession::Geometry XSession::GeometryOf(const std::string& id) {
  Geometry g;
  std::string out;
  auto idle = [] { std::this_thread::sleep_for(std::chrono::milliseconds(20)); };
  if (id.empty() || !Run({"xdotool", "getwindowgeometry", "--shell", id}, idle, &out)) return g;
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    auto value = [&](const char* key, int& v) {
      if (line.rfind(key, 0) == 0) v = std::atoi(line.c_str() + std::strlen(key));
    };
    value("X=", g.x);
    value("Y=", g.y);
    value("WIDTH=", g.width);
    value("HEIGHT=", g.height);
  }
  g.found = g.width > 0;
  g.id = id;
  return g;
}

XSession::Geometry XSession::LargestWindow(const std::string& pattern) {
  Geometry best;
  std::string ids;
  auto idle = [] { std::this_thread::sleep_for(std::chrono::milliseconds(20)); };
  if (!Run({"xdotool", "search", "--onlyvisible", "--name", pattern}, idle, &ids)) return best;
  std::istringstream idLines(ids);
  std::string id;
  while (std::getline(idLines, id)) {
    Geometry g = GeometryOf(id);
    if (g.found && g.width * g.height > best.width * best.height) best = g;
  }
  return best;
}

bool XSession::PointerGrabbed() {
  Display* dpy = XOpenDisplay(display_.c_str());
  if (!dpy) return false;
  int result = XGrabPointer(dpy, DefaultRootWindow(dpy), False, ButtonPressMask, GrabModeAsync, GrabModeAsync, None,
                            None, CurrentTime);
  if (result == GrabSuccess) XUngrabPointer(dpy, CurrentTime);
  XCloseDisplay(dpy);
  return result == AlreadyGrabbed;
}

bool XSession::WaitFor(const std::function<bool()>& done, const std::function<void()>& pump, int ms) {
  auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (Clock::now() > deadline) return false;
    pump();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace qve2e
