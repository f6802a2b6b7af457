// The notification-area icons between Shell_NotifyIconW (tray.cpp) and the display that shows them
// (the X tray, or the headless desktop's record for tests).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "backend.h"
#include "win32/types.h"

namespace qvp {

// An icon's pixels: premultiplied ARGB32, rows top-down.
struct IconImage {
  int width = 0;
  int height = 0;
  std::vector<uint32_t> argb;
};
// The pixels of a live icon, or null.
std::shared_ptr<const IconImage> IconImageOf(HICON icon);

struct TrayIcon {
  HWND owner = nullptr;
  UINT id = 0;
  std::shared_ptr<const IconImage> image;  // null: an empty icon
  std::u16string tip;
};

struct TrayBalloon {
  std::u16string title;
  std::u16string text;  // empty: take the icon's balloon away
  std::u16string tip;   // the icon's tip, a heading when the balloon has no title
  DWORD infoFlags = 0;  // NIIF_
  UINT timeoutMs = 0;
};

// A notification area. Called with the tray's lock held: a host never calls back into tray.cpp
// from inside these.
class TrayHost {
 public:
  virtual ~TrayHost() = default;
  // Shows the icon or updates it; true when a notification area shows it now. An icon a host
  // cannot show yet, it shows once a notification area appears.
  virtual bool Show(const TrayIcon& icon) = 0;
  virtual void Remove(HWND owner, UINT id) = 0;
  virtual void Balloon(HWND owner, UINT id, const TrayBalloon& balloon) = 0;
};

// The host for the backend in use (tray.cpp for the headless desktop, the X backend's own).
TrayHost& TheTrayHost();

// Pointer input on an icon, from a host's thread: becomes the owner's callback message.
void TrayMouseButton(HWND owner, UINT id, MouseButton button, bool down, POINT screen);
void TrayMouseMove(HWND owner, UINT id, POINT screen);

// Balloons as desktop notifications (org.freedesktop.Notifications over the session bus). Quietly
// nothing without a bus or a notification service.
// One notification, synchronously: its id, or 0. `replaces` is an earlier id it takes the place
// of; `busAddress` is a D-Bus address list ("unix:path=...;unix:abstract=...").
uint32_t NotifyDesktop(const std::string& busAddress, const std::string& appName, const TrayBalloon& balloon,
                       uint32_t replaces, int timeoutMs = 2000);
bool CloseDesktopNotification(const std::string& busAddress, uint32_t id, int timeoutMs = 2000);
// The icon's balloon on a worker thread, at $DBUS_SESSION_BUS_ADDRESS: a new balloon of an icon
// replaces its last one; an empty text, or ForgetDesktopBalloon, closes it.
void QueueDesktopBalloon(HWND owner, UINT id, const TrayBalloon& balloon);
void ForgetDesktopBalloon(HWND owner, UINT id);

}  // namespace qvp
