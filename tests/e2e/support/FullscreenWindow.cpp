// A game for the end-to-end tests: a plain Xlib window of one colour that asks the window manager
// for the whole screen (_NET_WM_STATE_FULLSCREEN) and reports on stdout what it receives: "focus"
// and "unfocus", "key <keysym>" for each key press and "click <x> <y>" (root coordinates) for each
// button press. With a geometry it is an ordinary window there instead (another program).
// Usage: qv_e2e_fullscreen RRGGBB [WxH+X+Y]
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <poll.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  unsigned long colour = argc > 1 ? std::strtoul(argv[1], nullptr, 16) : 0x2060C0;
  Display* dpy = XOpenDisplay(nullptr);
  if (!dpy) return 1;
  int screen = DefaultScreen(dpy);
  Window root = RootWindow(dpy, screen);
  int x = 0, y = 0;
  unsigned width = static_cast<unsigned>(DisplayWidth(dpy, screen));
  unsigned height = static_cast<unsigned>(DisplayHeight(dpy, screen));
  const bool fullscreen = argc <= 2;
  if (!fullscreen) XParseGeometry(argv[2], &x, &y, &width, &height);
  XSetWindowAttributes attrs{};
  attrs.background_pixel = colour;  // the default visual of Xvfb is 24-bit TrueColor
  attrs.event_mask = KeyPressMask | ButtonPressMask | FocusChangeMask | StructureNotifyMask;
  Window w = XCreateWindow(dpy, root, x, y, width, height, 0, CopyFromParent, InputOutput, CopyFromParent,
                           CWBackPixel | CWEventMask, &attrs);
  XStoreName(dpy, w, fullscreen ? "QvGame" : "QvOther");
  XSizeHints size{};
  size.flags = USPosition | USSize;
  size.x = x;
  size.y = y;
  size.width = static_cast<int>(width);
  size.height = static_cast<int>(height);
  XSetWMNormalHints(dpy, w, &size);
  XClassHint cls{const_cast<char*>("qvgame"), const_cast<char*>("QvGame")};
  XSetClassHint(dpy, w, &cls);
  XWMHints hints{};
  hints.flags = InputHint;
  hints.input = True;
  XSetWMHints(dpy, w, &hints);
  if (fullscreen) {
    Atom state = XInternAtom(dpy, "_NET_WM_STATE_FULLSCREEN", False);
    XChangeProperty(dpy, w, XInternAtom(dpy, "_NET_WM_STATE", False), XA_ATOM, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(&state), 1);
  }
  XMapWindow(dpy, w);
  XFlush(dpy);

  // Never outlives a test.
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  while (std::chrono::steady_clock::now() < end) {
    if (!XPending(dpy)) {
      pollfd p{ConnectionNumber(dpy), POLLIN, 0};
      poll(&p, 1, 200);
      continue;
    }
    XEvent ev;
    XNextEvent(dpy, &ev);
    switch (ev.type) {
      case FocusIn:
        if (ev.xfocus.detail != NotifyInferior && ev.xfocus.detail != NotifyPointer) std::printf("focus\n");
        break;
      case FocusOut:
        if (ev.xfocus.detail != NotifyInferior && ev.xfocus.detail != NotifyPointer) std::printf("unfocus\n");
        break;
      case KeyPress: {
        KeySym sym = XLookupKeysym(&ev.xkey, 0);
        const char* name = XKeysymToString(sym);
        std::printf("key %s\n", name ? name : "?");
        break;
      }
      case ButtonPress: std::printf("click %d %d\n", ev.xbutton.x_root, ev.xbutton.y_root); break;
      default: break;
    }
    std::fflush(stdout);
  }
  return 0;
}
