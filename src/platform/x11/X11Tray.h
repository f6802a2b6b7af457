// Notification-area icons on X: XEmbed tray icons docked with the owner of _NET_SYSTEM_TRAY_S<n>,
// docked again whenever a tray announces itself (MANAGER on the root window).
#pragma once

#include <X11/Xlib.h>

#include <map>
#include <mutex>
#include <utility>

#include "X11Backend.h"
#include "platform/tray_internal.h"

namespace qvp::x11 {

class X11Tray : public TrayHost {
 public:
  explicit X11Tray(X11Backend& backend);

  bool Show(const TrayIcon& icon) override;
  void Remove(HWND owner, UINT id) override;
  void Balloon(HWND owner, UINT id, const TrayBalloon& balloon) override;

 private:
  struct Icon {
    TrayIcon icon;
    XWin xwin = 0;
    bool docked = false;  // a tray is its parent
    int width = kSize, height = kSize;
  };
  using Key = std::pair<HWND, UINT>;
  static constexpr int kSize = 24;

  bool Filter(XEvent& ev);
  void CreateWindowFor(Icon& icon);  // with mutex_ held
  void Dock(Icon& icon);             // with mutex_ held
  void Draw(Icon& icon);             // with mutex_ held
  void SetTip(Icon& icon);           // with mutex_ held
  void FindManager();                // with mutex_ held
  void Drop(const Key& key);         // with mutex_ held
  Icon* ByWindow(XWin xwin);         // with mutex_ held

  X11Backend& backend_;
  Display* dpy_;
  Atom selection_, manager_, opcode_, xembedInfo_;
  std::mutex mutex_;
  XWin trayOwner_ = 0;
  std::map<Key, Icon> icons_;
};

}  // namespace qvp::x11
