// Shell_NotifyIconW: the icons of the notification area, the clicks they turn into callback
// messages, balloons, and the icon objects they show.
#include <algorithm>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>

#include "clock.h"
#include "gdi_internal.h"
#include "program_files.h"
#include "testing_tray.h"
#include "tray_internal.h"
#include "user_internal.h"
#include "utf.h"
#include "win32.h"
#include "win32/shell.h"
#include "x11/X11Backend.h"

#ifndef ERROR_INVALID_ICON_HANDLE
#define ERROR_INVALID_ICON_HANDLE 1402L
#endif

namespace qvp {
namespace {

// ---- icons ----

struct IconTable {
  std::mutex mutex;
  std::map<uintptr_t, std::shared_ptr<const IconImage>> icons;
  uintptr_t next = 0x1C00010;  // never reused, so a destroyed icon stays invalid
};

IconTable& Icons() {
  static IconTable* t = new IconTable;  // icons may be destroyed during exit
  return *t;
}

// ---- the icons of the notification area ----

struct Press {
  MouseButton button = MouseButton::Left;
  uint64_t timeMs = 0;
  POINT pt{0, 0};
  bool valid = false;
};

struct Entry {
  TrayIcon icon;
  bool hasCallback = false;
  UINT callback = 0;
  bool hidden = false;
  Press lastPress;
};

struct TrayState {
  std::mutex mutex;
  std::vector<Entry> entries;  // in the order they were added
  bool destroyHook = false;
};

TrayState& T() {
  static TrayState* t = new TrayState;
  return *t;
}

Entry* Find(HWND owner, UINT id) {
  for (Entry& e : T().entries)
    if (e.icon.owner == owner && e.icon.id == id) return &e;
  return nullptr;
}

std::u16string FixedText(const WCHAR* text, size_t capacity) {
  size_t n = 0;
  while (n + 1 < capacity && text[n]) ++n;
  return std::u16string(text, n);
}

// The headless desktop's notification area: it records what it shows.
class HeadlessTray : public TrayHost {
 public:
  bool Show(const TrayIcon&) override { return present; }
  void Remove(HWND, UINT) override {}
  void Balloon(HWND owner, UINT id, const TrayBalloon& b) override {
    balloons.push_back(qvplatform::testing::TrayBalloonRecord{owner, id, b.title, b.text, b.infoFlags});
  }
  bool present = true;
  std::vector<qvplatform::testing::TrayBalloonRecord> balloons;
};

HeadlessTray& Headless() {
  static HeadlessTray* h = new HeadlessTray;
  return *h;
}

// The owner went away: so does its icon, rather than a dead icon staying in the tray.
void ForgetOwner(HWND hwnd) {
  std::lock_guard<std::mutex> lock(T().mutex);
  auto& entries = T().entries;
  for (auto it = entries.begin(); it != entries.end();) {
    if (it->icon.owner == hwnd) {
      TheTrayHost().Remove(hwnd, it->icon.id);
      it = entries.erase(it);
    } else {
      ++it;
    }
  }
}

void PostCallback(HWND owner, UINT callback, UINT id, UINT message) {
  PostMessageW(owner, callback, static_cast<WPARAM>(id), static_cast<LPARAM>(message));
}

}  // namespace

std::shared_ptr<const IconImage> IconImageOf(HICON icon) {
  std::lock_guard<std::mutex> lock(Icons().mutex);
  auto it = Icons().icons.find(reinterpret_cast<uintptr_t>(icon));
  return it == Icons().icons.end() ? nullptr : it->second;
}

TrayHost& TheTrayHost() {
  Backend& backend = TheBackend();
  if (std::string(backend.Name()) == "x11") {
    // A StatusNotifierWatcher on the session bus when there is one, else the XEmbed tray.
    static TrayHost* host = MakeStatusNotifierHost(static_cast<x11::X11Backend&>(backend).Tray()).release();
    return *host;
  }
  return Headless();
}

namespace {

// Down, up and double-click messages of each button.
const UINT* ButtonMessages(MouseButton button) {
  static const UINT kMessages[3][3] = {{WM_LBUTTONDOWN, WM_LBUTTONUP, WM_LBUTTONDBLCLK},
                                       {WM_RBUTTONDOWN, WM_RBUTTONUP, WM_RBUTTONDBLCLK},
                                       {WM_MBUTTONDOWN, WM_MBUTTONUP, WM_MBUTTONDBLCLK}};
  return kMessages[button == MouseButton::Left ? 0 : button == MouseButton::Right ? 1 : 2];
}

}  // namespace

void TrayMouseButton(HWND owner, UINT id, MouseButton button, bool down, POINT screen) {
  UINT callback, message;
  {
    std::lock_guard<std::mutex> lock(T().mutex);
    Entry* e = Find(owner, id);
    if (!e || !e->hasCallback || e->hidden) return;
    callback = e->callback;
    const UINT* m = ButtonMessages(button);
    if (!down) {
      message = m[1];
    } else {
      uint64_t now = NowMs();
      Press& last = e->lastPress;
      bool second = last.valid && last.button == button && now - last.timeMs <= GetDoubleClickTime() &&
                    std::abs(screen.x - last.pt.x) <= 2 && std::abs(screen.y - last.pt.y) <= 2;
      message = second ? m[2] : m[0];
      // A third press starts a new pair.
      last = second ? Press{} : Press{button, now, screen, true};
    }
  }
  PostCallback(owner, callback, id, message);
}

void TrayClick(HWND owner, UINT id, MouseButton button, bool doubleClick) {
  UINT callback;
  {
    std::lock_guard<std::mutex> lock(T().mutex);
    Entry* e = Find(owner, id);
    if (!e || !e->hasCallback || e->hidden) return;
    callback = e->callback;
    e->lastPress = Press{};  // a press before it pairs with nothing after it
  }
  const UINT* m = ButtonMessages(button);
  PostCallback(owner, callback, id, m[0]);
  PostCallback(owner, callback, id, m[1]);
  if (!doubleClick) return;
  PostCallback(owner, callback, id, m[2]);
  PostCallback(owner, callback, id, m[1]);
}

void TrayMouseMove(HWND owner, UINT id, POINT) {
  UINT callback;
  {
    std::lock_guard<std::mutex> lock(T().mutex);
    Entry* e = Find(owner, id);
    if (!e || !e->hasCallback || e->hidden) return;
    callback = e->callback;
  }
  PostCallback(owner, callback, id, WM_MOUSEMOVE);
}

}  // namespace qvp

using namespace qvp;

HICON CreateIconIndirect(PICONINFO info) {
  std::shared_ptr<Bitmap> color = info ? LookupAs<Bitmap>(info->hbmColor, GdiType::Bitmap) : nullptr;
  if (!color || !color->surface) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::shared_ptr<Bitmap> mask = LookupAs<Bitmap>(info->hbmMask, GdiType::Bitmap);
  auto image = std::make_shared<IconImage>();
  cairo_surface_t* s = color->surface;
  cairo_surface_flush(s);
  int w = cairo_image_surface_get_width(s), h = cairo_image_surface_get_height(s);
  int stride = cairo_image_surface_get_stride(s);
  const unsigned char* data = cairo_image_surface_get_data(s);
  image->width = w;
  image->height = h;
  image->argb.resize(static_cast<size_t>(w) * h);
  bool hasAlpha = false;
  for (int y = 0; y < h; ++y) {
    const uint32_t* row = reinterpret_cast<const uint32_t*>(data + static_cast<size_t>(y) * stride);
    for (int x = 0; x < w; ++x) {
      image->argb[static_cast<size_t>(y) * w + x] = row[x];
      if (row[x] >> 24) hasAlpha = true;
    }
  }
  if (cairo_image_surface_get_format(s) != CAIRO_FORMAT_ARGB32) hasAlpha = false;
  if (!hasAlpha) {
    // No alpha of its own: opaque, except where the mask is set.
    const unsigned char* mdata = nullptr;
    int mw = 0, mh = 0, mstride = 0;
    if (mask && mask->surface) {
      cairo_surface_flush(mask->surface);
      mdata = cairo_image_surface_get_data(mask->surface);
      mw = cairo_image_surface_get_width(mask->surface);
      mh = cairo_image_surface_get_height(mask->surface);
      mstride = cairo_image_surface_get_stride(mask->surface);
    }
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        uint32_t& px = image->argb[static_cast<size_t>(y) * w + x];
        bool transparent = false;
        if (mdata && x < mw && y < mh) {
          uint32_t m = reinterpret_cast<const uint32_t*>(mdata + static_cast<size_t>(y) * mstride)[x];
          transparent = (m & 0xFFFFFF) != 0;
        }
        px = transparent ? 0 : (px | 0xFF000000u);
      }
  }
  std::lock_guard<std::mutex> lock(Icons().mutex);
  uintptr_t handle = Icons().next;
  Icons().next += 4;
  Icons().icons[handle] = std::move(image);
  return reinterpret_cast<HICON>(handle);
}

HICON LoadIconW(HINSTANCE hInstance, LPCWSTR lpIconName) {
  uintptr_t id = reinterpret_cast<uintptr_t>(lpIconName);
  if (!lpIconName || id > 0xFFFF || (hInstance && hInstance != GetModuleHandleW(nullptr))) {
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return nullptr;
  }
  static std::mutex mutex;
  static std::map<uintptr_t, HICON> loaded;
  std::lock_guard<std::mutex> lock(mutex);
  auto it = loaded.find(id);
  if (it != loaded.end()) return it->second;
  std::u16string path = ToUtf16(ProgramDataFolder("res") + "icon" + std::to_string(id) + ".png");
  auto bitmap = static_cast<HBITMAP>(LoadImageW(nullptr, path.c_str(), IMAGE_BITMAP, 0, 0, LR_LOADFROMFILE));
  if (!bitmap) {
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return nullptr;
  }
  ICONINFO info{TRUE, 0, 0, nullptr, bitmap};
  HICON icon = CreateIconIndirect(&info);
  DeleteObject(bitmap);
  if (icon) loaded[id] = icon;
  return icon;
}

BOOL DestroyIcon(HICON hIcon) {
  std::lock_guard<std::mutex> lock(Icons().mutex);
  if (!Icons().icons.erase(reinterpret_cast<uintptr_t>(hIcon))) {
    SetLastError(ERROR_INVALID_ICON_HANDLE);
    return FALSE;
  }
  return TRUE;
}

BOOL Shell_NotifyIconW(DWORD dwMessage, PNOTIFYICONDATAW data) {
  if (!data || data->cbSize < NOTIFYICONDATAW_V1_SIZE) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // The first version of the record ends after a 64-character tip.
  bool v1 = data->cbSize < NOTIFYICONDATAW_V2_SIZE;
  UINT flags = data->uFlags;
  if (v1) flags &= NIF_MESSAGE | NIF_ICON | NIF_TIP;
  {
    std::lock_guard<std::mutex> lock(T().mutex);
    if (!T().destroyHook) {
      T().destroyHook = true;
      AddWindowDestroyHook(&ForgetOwner);
    }
  }
  std::lock_guard<std::mutex> lock(T().mutex);
  TrayHost& host = TheTrayHost();
  Entry* e = Find(data->hWnd, data->uID);
  switch (dwMessage) {
    case NIM_ADD:
      if (!IsWindow(data->hWnd)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
      }
      if (e && !e->hidden && host.Show(e->icon)) return FALSE;  // already there
      if (!e) {
        T().entries.push_back(Entry{});
        e = &T().entries.back();
        e->icon.owner = data->hWnd;
        e->icon.id = data->uID;
      }
      break;
    case NIM_MODIFY:
      if (!e) return FALSE;
      break;
    case NIM_DELETE: {
      if (!e) return FALSE;
      host.Remove(data->hWnd, data->uID);
      auto& entries = T().entries;
      entries.erase(entries.begin() + (e - entries.data()));
      return TRUE;
    }
    case NIM_SETFOCUS: return e ? TRUE : FALSE;
    case NIM_SETVERSION:
      // Clicks always follow the first version's callback convention.
      if (!e || data->uVersion != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
      }
      return TRUE;
    default: SetLastError(ERROR_INVALID_PARAMETER); return FALSE;
  }
  if (flags & NIF_MESSAGE) {
    e->hasCallback = true;
    e->callback = data->uCallbackMessage;
  }
  if (flags & NIF_ICON) e->icon.image = IconImageOf(data->hIcon);
  if (flags & NIF_TIP) e->icon.tip = FixedText(data->szTip, v1 ? 64 : 128);
  if ((flags & NIF_STATE) && (data->dwStateMask & NIS_HIDDEN)) e->hidden = (data->dwState & NIS_HIDDEN) != 0;
  e->icon.hidden = e->hidden;
  bool shown = host.Show(e->icon) && !e->hidden;
  if (flags & NIF_INFO) {
    TrayBalloon b;
    b.title = FixedText(data->szInfoTitle, 64);
    b.text = FixedText(data->szInfo, 256);
    b.tip = e->icon.tip;
    b.infoFlags = data->dwInfoFlags;
    b.timeoutMs = data->uTimeout;
    host.Balloon(e->icon.owner, e->icon.id, b);
  }
  return shown ? TRUE : FALSE;
}

namespace qvplatform::testing {

std::vector<TrayIconRecord> TrayIcons() {
  std::vector<TrayIconRecord> out;
  std::lock_guard<std::mutex> lock(T().mutex);
  for (const Entry& e : T().entries) {
    TrayIconRecord r;
    r.owner = e.icon.owner;
    r.id = e.icon.id;
    r.tip = e.icon.tip;
    r.shown = !e.hidden && (&TheTrayHost() != &Headless() || Headless().present);
    if (const IconImage* img = e.icon.image.get()) {
      r.image.width = img->width;
      r.image.height = img->height;
      for (uint32_t px : img->argb) {
        r.image.pixels.push_back(px & 0xFFFFFF);
        r.alpha.push_back(static_cast<uint8_t>(px >> 24));
      }
    }
    out.push_back(std::move(r));
  }
  return out;
}

std::vector<TrayBalloonRecord> TrayBalloons() {
  std::lock_guard<std::mutex> lock(T().mutex);
  return Headless().balloons;
}

void ClearTrayBalloons() {
  std::lock_guard<std::mutex> lock(T().mutex);
  Headless().balloons.clear();
}

void SetHeadlessTrayPresent(bool present) {
  std::lock_guard<std::mutex> lock(T().mutex);
  Headless().present = present;
}

namespace {
bool Shown(HWND owner, unsigned id) {
  std::lock_guard<std::mutex> lock(T().mutex);
  Entry* e = Find(owner, id);
  return e && !e->hidden && Headless().present;
}
}  // namespace

bool InjectTrayButton(HWND owner, unsigned id, Button button, bool down, int x, int y) {
  if (!Shown(owner, id)) return false;
  MouseButton b = button == Button::Left ? MouseButton::Left : button == Button::Right ? MouseButton::Right : MouseButton::Middle;
  TrayMouseButton(owner, id, b, down, POINT{x, y});
  return true;
}

bool InjectTrayMouseMove(HWND owner, unsigned id, int x, int y) {
  if (!Shown(owner, id)) return false;
  TrayMouseMove(owner, id, POINT{x, y});
  return true;
}

}  // namespace qvplatform::testing
