#include "X11Tray.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <cairo-xlib.h>
#include <cairo.h>

#include <errno.h>

#include <algorithm>
#include <string>

#include "platform/utf.h"

namespace qvp::x11 {
namespace {

constexpr long kRequestDock = 0;  // SYSTEM_TRAY_REQUEST_DOCK
constexpr long kXEmbedMapped = 1;

}  // namespace

X11Tray::X11Tray(X11Backend& backend) : backend_(backend), dpy_(backend.display()) {
  std::string name = "_NET_SYSTEM_TRAY_S" + std::to_string(DefaultScreen(dpy_));
  selection_ = backend_.atom(name.c_str());
  manager_ = backend_.atom("MANAGER");
  opcode_ = backend_.atom("_NET_SYSTEM_TRAY_OPCODE");
  xembedInfo_ = backend_.atom("_XEMBED_INFO");
  {
    std::lock_guard<std::mutex> lock(mutex_);
    FindManager();
  }
  backend_.AddEventFilter([this](XEvent& ev) { return Filter(ev); });
}

void X11Tray::FindManager() {
  XGrabServer(dpy_);  // the owner must not vanish between the look-up and the selection of its events
  trayOwner_ = XGetSelectionOwner(dpy_, selection_);
  if (trayOwner_) XSelectInput(dpy_, trayOwner_, StructureNotifyMask);
  XUngrabServer(dpy_);
  backend_.Flush();
}

X11Tray::Icon* X11Tray::ByWindow(XWin xwin) {
  for (auto& [key, icon] : icons_)
    if (icon.xwin == xwin) return &icon;
  return nullptr;
}

void X11Tray::CreateWindowFor(Icon& icon) {
  XSetWindowAttributes attrs{};
  // Transparent parts show the tray's own background.
  attrs.background_pixmap = ParentRelative;
  attrs.override_redirect = True;  // never a window the window manager manages
  attrs.event_mask = ExposureMask | StructureNotifyMask | ButtonPressMask | ButtonReleaseMask | PointerMotionMask;
  icon.xwin = XCreateWindow(dpy_, backend_.root(), -kSize, -kSize, kSize, kSize, 0, CopyFromParent, InputOutput,
                            CopyFromParent, CWBackPixmap | CWOverrideRedirect | CWEventMask, &attrs);
  icon.width = icon.height = kSize;
  icon.docked = false;
  long info[2] = {0, kXEmbedMapped};  // XEmbed version 0; the embedder maps it
  XChangeProperty(dpy_, icon.xwin, xembedInfo_, xembedInfo_, 32, PropModeReplace, reinterpret_cast<unsigned char*>(info), 2);
  XSizeHints size{};
  size.flags = PMinSize | PBaseSize;
  size.min_width = size.min_height = 16;
  size.base_width = size.base_height = kSize;
  XSetWMNormalHints(dpy_, icon.xwin, &size);
  XClassHint cls{const_cast<char*>(program_invocation_short_name), const_cast<char*>("QvTrayIcon")};
  XSetClassHint(dpy_, icon.xwin, &cls);
  SetTip(icon);
}

// Trays show a window's name as the icon's title.
void X11Tray::SetTip(Icon& icon) {
  backend_.SetWindowName(icon.xwin, ToUtf8(icon.icon.tip));
}

void X11Tray::Dock(Icon& icon) {
  if (!trayOwner_ || icon.docked) return;
  XEvent ev{};
  ev.xclient.type = ClientMessage;
  ev.xclient.window = trayOwner_;
  ev.xclient.message_type = opcode_;
  ev.xclient.format = 32;
  ev.xclient.data.l[0] = CurrentTime;
  ev.xclient.data.l[1] = kRequestDock;
  ev.xclient.data.l[2] = static_cast<long>(icon.xwin);
  XSendEvent(dpy_, trayOwner_, False, NoEventMask, &ev);
  backend_.Flush();
}

// The icon scaled into the window, centred, over the tray's background.
void X11Tray::Draw(Icon& icon) {
  if (!icon.xwin) return;
  XClearWindow(dpy_, icon.xwin);
  const IconImage* img = icon.icon.image.get();
  if (img && img->width > 0 && img->height > 0) {
    cairo_surface_t* target = cairo_xlib_surface_create(dpy_, icon.xwin, DefaultVisual(dpy_, DefaultScreen(dpy_)),
                                                        icon.width, icon.height);
    cairo_surface_t* source = cairo_image_surface_create_for_data(
        reinterpret_cast<unsigned char*>(const_cast<uint32_t*>(img->argb.data())), CAIRO_FORMAT_ARGB32, img->width,
        img->height, img->width * 4);
    cairo_t* cr = cairo_create(target);
    double scale = std::min(static_cast<double>(icon.width) / img->width, static_cast<double>(icon.height) / img->height);
    cairo_translate(cr, (icon.width - img->width * scale) / 2, (icon.height - img->height * scale) / 2);
    cairo_scale(cr, scale, scale);
    cairo_set_source_surface(cr, source, 0, 0);
    cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_GOOD);
    cairo_paint(cr);
    cairo_destroy(cr);
    cairo_surface_destroy(source);
    cairo_surface_flush(target);
    cairo_surface_destroy(target);
  }
  backend_.Flush();
}

bool X11Tray::Show(const TrayIcon& shown) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (shown.hidden) {
    // Out of the tray; its balloon, if any, stays.
    Drop(Key(shown.owner, shown.id));
    return false;
  }
  Icon& icon = icons_[Key(shown.owner, shown.id)];
  bool tipChanged = icon.icon.tip != shown.tip;
  icon.icon = shown;
  if (!icon.xwin) CreateWindowFor(icon);
  else if (tipChanged) SetTip(icon);
  if (!trayOwner_) FindManager();
  Dock(icon);
  Draw(icon);
  return trayOwner_ != 0;
}

void X11Tray::Remove(HWND owner, UINT id) {
  ForgetDesktopBalloon(owner, id);
  std::lock_guard<std::mutex> lock(mutex_);
  Drop(Key(owner, id));
}

void X11Tray::Drop(const Key& key) {
  auto it = icons_.find(key);
  if (it == icons_.end()) return;
  XWin xwin = it->second.xwin;
  icons_.erase(it);
  // Destroying the window takes it out of the tray (XEmbed).
  if (xwin) XDestroyWindow(dpy_, xwin);
  backend_.Flush();
}

void X11Tray::Balloon(HWND owner, UINT id, const TrayBalloon& balloon) { QueueDesktopBalloon(owner, id, balloon); }

bool X11Tray::Filter(XEvent& ev) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (ev.type == ClientMessage && ev.xclient.window == backend_.root() && ev.xclient.message_type == manager_ &&
      static_cast<Atom>(ev.xclient.data.l[1]) == selection_) {
    // A tray started: every icon docks there.
    trayOwner_ = static_cast<XWin>(ev.xclient.data.l[2]);
    XSelectInput(dpy_, trayOwner_, StructureNotifyMask);
    for (auto& [key, icon] : icons_) {
      icon.docked = false;
      Dock(icon);
    }
    return true;
  }
  if (ev.type == DestroyNotify && trayOwner_ && ev.xdestroywindow.window == trayOwner_) {
    trayOwner_ = 0;
    FindManager();  // another tray may own the selection already
    for (auto& [key, icon] : icons_) icon.docked = false;
    return true;
  }
  Icon* icon = ByWindow(ev.xany.window);
  if (!icon) return false;
  switch (ev.type) {
    case ReparentNotify:
      if (ev.xreparent.window != icon->xwin) break;
      icon->docked = ev.xreparent.parent != backend_.root();
      if (!icon->docked) {
        // The tray went away and the server gave the window back: out of sight until one returns.
        XUnmapWindow(dpy_, icon->xwin);
        if (trayOwner_) Dock(*icon);
      }
      backend_.Flush();
      break;
    case ConfigureNotify:
      if (ev.xconfigure.window != icon->xwin) break;
      if (ev.xconfigure.width != icon->width || ev.xconfigure.height != icon->height) {
        icon->width = ev.xconfigure.width;
        icon->height = ev.xconfigure.height;
        Draw(*icon);
      }
      break;
    case DestroyNotify:
      if (ev.xdestroywindow.window != icon->xwin) break;
      // Destroyed under us (a tray that took it along): a new window docks in its place.
      CreateWindowFor(*icon);
      Dock(*icon);
      break;
    case Expose:
      if (ev.xexpose.count == 0) Draw(*icon);
      break;
    case ButtonPress:
    case ButtonRelease: {
      HWND owner = icon->icon.owner;
      UINT id = icon->icon.id;
      POINT pt = LogicalPoint(ev.xbutton.x_root, ev.xbutton.y_root, backend_.Scale());
      bool down = ev.type == ButtonPress;
      unsigned button = ev.xbutton.button;
      lock.unlock();
      if (button < Button1 || button > Button3) break;
      // The pointer position the owner reads (GetCursorPos) is where the click happened.
      InputMouseMove(pt, nullptr);
      TrayMouseButton(owner, id, button == Button1 ? MouseButton::Left : button == Button3 ? MouseButton::Right : MouseButton::Middle,
                      down, pt);
      break;
    }
    case MotionNotify: {
      HWND owner = icon->icon.owner;
      UINT id = icon->icon.id;
      XEvent next;
      while (XCheckTypedWindowEvent(dpy_, ev.xany.window, MotionNotify, &next)) ev = next;
      POINT pt = LogicalPoint(ev.xmotion.x_root, ev.xmotion.y_root, backend_.Scale());
      lock.unlock();
      TrayMouseMove(owner, id, pt);
      break;
    }
    default: break;
  }
  return true;
}

}  // namespace qvp::x11
