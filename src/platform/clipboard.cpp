// The clipboard: moveable global memory in a handle table of its own, one opener at a time, the
// owner and its WM_DESTROYCLIPBOARD, text formats made from each other, and the display's
// selections behind it (clipboard_internal.h). The PRIMARY selection is a second slot that only
// CF_QV_PRIMARY reaches.
#include <algorithm>
#include <climits>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "backend.h"
#include "clipboard_internal.h"
#include "testing_clipboard.h"
#include "user_internal.h"
#include "user_model.h"
#include "win32.h"
#include "x11/X11Backend.h"

namespace qvp {
namespace {

// ---- global memory ----

struct Block {
  std::unique_ptr<unsigned char[]> bytes;  // null for a zero-byte block (Windows' discarded one)
  SIZE_T size = 0;
  unsigned locks = 0;
  bool system = false;  // the clipboard owns it: GlobalFree refuses it
};

struct MemorySlot {
  uint32_t generation = 0;
  std::unique_ptr<Block> block;
};

struct MemoryTable {
  std::mutex mutex;
  std::vector<MemorySlot> slots;
  std::vector<uint32_t> freeSlots;
};

MemoryTable& Memory() {
  static MemoryTable* t = new MemoryTable;  // blocks may be freed by threads during exit
  return *t;
}

// Slot index and generation like kernel handles, but with a low-bit tag kernel handles (multiples
// of 4) never have: CloseHandle of an HGLOBAL, or GlobalFree of an event, fails cleanly.
constexpr uint32_t kMemoryTag = 2;

HGLOBAL EncodeMemory(uint32_t index, uint32_t generation) {
  uint64_t v = (static_cast<uint64_t>(generation) << 32) | (static_cast<uint64_t>(index + 1) << 2) | kMemoryTag;
  return reinterpret_cast<HGLOBAL>(static_cast<uintptr_t>(v));
}

// With the table's mutex held.
Block* FindBlockLocked(HGLOBAL handle, uint32_t* slotIndex = nullptr) {
  uint64_t v = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(handle));
  uint32_t low = static_cast<uint32_t>(v);
  if ((low & 3) != kMemoryTag || (low >> 2) == 0) return nullptr;
  uint32_t index = (low >> 2) - 1;
  MemoryTable& t = Memory();
  if (index >= t.slots.size()) return nullptr;
  MemorySlot& slot = t.slots[index];
  if (slot.generation != static_cast<uint32_t>(v >> 32) || !slot.block) return nullptr;
  if (slotIndex) *slotIndex = index;
  return slot.block.get();
}

HGLOBAL AllocBlock(SIZE_T size, bool system) {
  auto block = std::make_unique<Block>();
  if (size) {
    block->bytes.reset(new (std::nothrow) unsigned char[size]());
    if (!block->bytes) return nullptr;
  }
  block->size = size;
  block->system = system;
  MemoryTable& t = Memory();
  std::lock_guard<std::mutex> lock(t.mutex);
  uint32_t index;
  if (!t.freeSlots.empty()) {
    index = t.freeSlots.back();
    t.freeSlots.pop_back();
  } else {
    index = static_cast<uint32_t>(t.slots.size());
    t.slots.emplace_back();
  }
  MemorySlot& slot = t.slots[index];
  slot.generation = slot.generation + 1 == 0 ? 1 : slot.generation + 1;
  slot.block = std::move(block);
  return EncodeMemory(index, slot.generation);
}

// Frees a block whoever owns it; false for a stale handle. `refuseSystem` keeps clipboard blocks.
DWORD FreeBlock(HGLOBAL handle, bool refuseSystem) {
  std::unique_ptr<Block> doomed;
  MemoryTable& t = Memory();
  std::lock_guard<std::mutex> lock(t.mutex);
  uint32_t index;
  Block* b = FindBlockLocked(handle, &index);
  if (!b) return ERROR_INVALID_HANDLE;
  if (refuseSystem && b->system) return ERROR_ACCESS_DENIED;
  doomed = std::move(t.slots[index].block);
  t.freeSlots.push_back(index);
  return ERROR_SUCCESS;
}

HGLOBAL SystemBlock(const void* data, size_t size) {
  HGLOBAL h = AllocBlock(size, true);
  if (!h || !size) return h;
  std::lock_guard<std::mutex> lock(Memory().mutex);
  std::memcpy(FindBlockLocked(h)->bytes.get(), data, size);
  return h;
}

// ---- text in blocks ----

bool IsTextFormat(UINT format) { return format == CF_TEXT || format == CF_UNICODETEXT || format == CF_QV_PRIMARY; }

// UTF-16 text of a block, up to its first NUL or its end.
std::u16string ReadWide(HGLOBAL h) {
  std::lock_guard<std::mutex> lock(Memory().mutex);
  Block* b = FindBlockLocked(h);
  if (!b || !b->bytes) return std::u16string();
  size_t units = b->size / sizeof(char16_t);
  std::u16string text(units, u'\0');
  std::memcpy(&text[0], b->bytes.get(), units * sizeof(char16_t));
  text.resize(std::char_traits<char16_t>::length(text.c_str()));
  return text;
}

std::string ReadNarrow(HGLOBAL h) {
  std::lock_guard<std::mutex> lock(Memory().mutex);
  Block* b = FindBlockLocked(h);
  if (!b || !b->bytes) return std::string();
  const char* p = reinterpret_cast<const char*>(b->bytes.get());
  return std::string(p, strnlen(p, b->size));
}

std::u16string FromAnsi(const std::string& s) {
  int len = static_cast<int>(std::min<size_t>(s.size(), INT_MAX));
  if (!len) return std::u16string();
  int n = MultiByteToWideChar(CP_ACP, 0, s.data(), len, nullptr, 0);
  std::u16string out(static_cast<size_t>(n > 0 ? n : 0), u'\0');
  if (n > 0) MultiByteToWideChar(CP_ACP, 0, s.data(), len, &out[0], n);
  return out;
}

std::string ToAnsi(const std::u16string& s) {
  int len = static_cast<int>(std::min<size_t>(s.size(), INT_MAX));
  if (!len) return std::string();
  int n = WideCharToMultiByte(CP_ACP, 0, s.data(), len, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
  if (n > 0) WideCharToMultiByte(CP_ACP, 0, s.data(), len, &out[0], n, nullptr, nullptr);
  return out;
}

HGLOBAL WideBlock(const std::u16string& text) { return SystemBlock(text.c_str(), (text.size() + 1) * sizeof(char16_t)); }
HGLOBAL NarrowBlock(const std::string& text) { return SystemBlock(text.c_str(), text.size() + 1); }

// ---- the clipboard ----

struct Slot {
  bool ours = false;  // this program holds it: `data` is all there is
  HWND owner = nullptr;
  std::map<UINT, HGLOBAL> data;     // SetClipboardData
  std::map<UINT, HGLOBAL> made;     // formats made from `data`, until it changes
  std::map<UINT, HGLOBAL> fetched;  // another program's text (null: it had none), until closed
  bool changed = false;             // since it was last claimed
  bool taken = false;               // another program took it while the clipboard was open
  uint64_t claim = 0;               // the last claim given to the host
};

struct Clipboard {
  std::mutex mutex;
  DWORD openThread = 0;
  std::weak_ptr<ThreadQueue> openQueue;
  HWND openWindow = nullptr;
  Slot slots[2];
  uint64_t lastClaim = 0;
};

Clipboard& C() {
  static Clipboard* c = new Clipboard;
  return *c;
}

Slot& SlotOf(Clipboard& c, UINT format) { return c.slots[format == CF_QV_PRIMARY ? 1 : 0]; }
Selection SelectionOf(UINT format) { return format == CF_QV_PRIMARY ? Selection::Primary : Selection::Clipboard; }

struct PendingClaim {
  Selection which;
  uint64_t serial;
  std::shared_ptr<const std::u16string> text;
};

// What a call does once the clipboard's lock is let go: claims for the host and owners to tell.
struct After {
  std::vector<PendingClaim> claims;
  HWND destroySent = nullptr;    // WM_DESTROYCLIPBOARD sent now (the caller empties)
  HWND destroyPosted = nullptr;  // WM_DESTROYCLIPBOARD on the owner's thread (another program took it)

  void Run() {
    for (PendingClaim& c : claims) TheClipboardHost().Claim(c.which, c.serial, std::move(c.text));
    if (destroySent) SendMessageW(destroySent, WM_DESTROYCLIPBOARD, 0, 0);
    if (destroyPosted) {
      std::shared_ptr<Window> w = FindWindowShared(destroyPosted);
      HWND hwnd = destroyPosted;
      if (w) RunOnThread(w->queue, [hwnd] {
        if (IsWindow(hwnd)) SendMessageW(hwnd, WM_DESTROYCLIPBOARD, 0, 0);
      });
    }
  }
};

void FreeAll(std::map<UINT, HGLOBAL>& blocks) {
  for (auto& [format, h] : blocks)
    if (h) FreeBlock(h, false);
  blocks.clear();
}

// The slot's data goes (another program holds the selection now).
void DropLocked(Slot& s, Selection which, After& after) {
  FreeAll(s.data);
  FreeAll(s.made);
  if (which == Selection::Clipboard && s.owner) after.destroyPosted = s.owner;
  s.ours = false;
  s.owner = nullptr;
  s.changed = s.taken = false;
}

std::shared_ptr<const std::u16string> TextOfLocked(const Slot& s, Selection which) {
  auto find = [&](UINT f) {
    auto it = s.data.find(f);
    return it == s.data.end() ? nullptr : it->second;
  };
  if (which == Selection::Primary) {
    HGLOBAL h = find(CF_QV_PRIMARY);
    return h ? std::make_shared<const std::u16string>(ReadWide(h)) : nullptr;
  }
  if (HGLOBAL h = find(CF_UNICODETEXT)) return std::make_shared<const std::u16string>(ReadWide(h));
  if (HGLOBAL h = find(CF_TEXT)) return std::make_shared<const std::u16string>(FromAnsi(ReadNarrow(h)));
  return nullptr;
}

// Ends the open session: another program's text goes, changes reach the display.
void CloseLocked(Clipboard& c, After& after) {
  for (int i = 0; i < 2; ++i) {
    Slot& s = c.slots[i];
    Selection which = static_cast<Selection>(i);
    FreeAll(s.fetched);
    if (s.changed && s.ours) {
      s.claim = ++c.lastClaim;
      after.claims.push_back(PendingClaim{which, s.claim, TextOfLocked(s, which)});
      s.changed = s.taken = false;
    } else if (s.taken) {
      DropLocked(s, which, after);
    }
  }
  c.openThread = 0;
  c.openQueue.reset();
  c.openWindow = nullptr;
}

// Whether a live thread has the clipboard open; the open session of a thread that ended is closed.
bool IsOpenLocked(Clipboard& c, After& after) {
  if (!c.openThread) return false;
  std::shared_ptr<ThreadQueue> q = c.openQueue.lock();
  bool alive = false;
  if (q) {
    std::lock_guard<std::mutex> lock(q->mutex);
    alive = q->alive;
  }
  if (alive) return true;
  CloseLocked(c, after);
  return false;
}

bool OpenByCallerLocked(Clipboard& c, After& after) {
  return IsOpenLocked(c, after) && c.openThread == GetCurrentThreadId();
}

void ForgetWindow(HWND hwnd) {
  Clipboard& c = C();
  std::lock_guard<std::mutex> lock(c.mutex);
  for (Slot& s : c.slots)
    if (s.owner == hwnd) s.owner = nullptr;
  if (c.openWindow == hwnd) c.openWindow = nullptr;
}

// Our own data in a format, or one made from the other text format.
HGLOBAL FromOursLocked(Slot& s, UINT format) {
  auto it = s.data.find(format);
  if (it != s.data.end()) return it->second;
  it = s.made.find(format);
  if (it != s.made.end()) return it->second;
  HGLOBAL made = nullptr;
  if (format == CF_TEXT) {
    auto w = s.data.find(CF_UNICODETEXT);
    if (w != s.data.end()) made = NarrowBlock(ToAnsi(ReadWide(w->second)));
  } else if (format == CF_UNICODETEXT) {
    auto n = s.data.find(CF_TEXT);
    if (n != s.data.end()) made = WideBlock(FromAnsi(ReadNarrow(n->second)));
  }
  if (made) s.made[format] = made;
  return made;
}

// ---- the headless desktop's clipboard ----

class HeadlessClipboard : public ClipboardHost {
 public:
  void Claim(Selection which, uint64_t serial, std::shared_ptr<const std::u16string> text) override {
    std::lock_guard<std::mutex> lock(mutex_);
    Held& h = held_[static_cast<int>(which)];
    if (serial < h.latest) return;
    h.latest = h.claim = serial;
    h.text = std::move(text);
  }
  bool Fetch(Selection which, std::u16string& text) override {
    std::lock_guard<std::mutex> lock(mutex_);
    const Held& h = held_[static_cast<int>(which)];
    if (!h.text) return false;
    text = *h.text;
    return true;
  }
  bool Offers(Selection which) override {
    std::lock_guard<std::mutex> lock(mutex_);
    return held_[static_cast<int>(which)].text != nullptr;
  }
  void CopyFromOthers(Selection which, const std::u16string& text) {
    uint64_t taken;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      Held& h = held_[static_cast<int>(which)];
      taken = h.claim;
      h.claim = 0;
      h.text = std::make_shared<const std::u16string>(text);
    }
    if (taken) SelectionTakenByOthers(which, taken);
  }

 private:
  struct Held {
    std::shared_ptr<const std::u16string> text;  // whoever holds it; null: no text
    uint64_t claim = 0;                          // this program's claim while it holds it
    uint64_t latest = 0;
  };
  std::mutex mutex_;
  Held held_[2];
};

HeadlessClipboard& Headless() {
  static HeadlessClipboard* h = new HeadlessClipboard;
  return *h;
}

}  // namespace

ClipboardHost& TheClipboardHost() {
  Backend& backend = TheBackend();
  if (std::string(backend.Name()) == "x11") return static_cast<x11::X11Backend&>(backend).Clipboard();
  return Headless();
}

void SelectionTakenByOthers(Selection which, uint64_t serial) {
  After after;
  {
    Clipboard& c = C();
    std::lock_guard<std::mutex> lock(c.mutex);
    Slot& s = c.slots[static_cast<int>(which)];
    if (!s.ours || s.claim != serial) return;  // a newer claim of ours stands
    // Handles given out while the clipboard is open stay valid until it is closed.
    if (IsOpenLocked(c, after)) s.taken = true;
    else DropLocked(s, which, after);
  }
  after.Run();
}

}  // namespace qvp

using namespace qvp;

// ---- global memory ----

HGLOBAL GlobalAlloc(UINT uFlags, SIZE_T dwBytes) {
  constexpr UINT kKnown = GMEM_MOVEABLE | GMEM_ZEROINIT | GMEM_SHARE | 0x0010 /*NOCOMPACT*/ | 0x0020 /*NODISCARD*/;
  if (!(uFlags & GMEM_MOVEABLE) || (uFlags & ~kKnown)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  HGLOBAL h = AllocBlock(dwBytes, false);
  if (!h) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return h;
}

LPVOID GlobalLock(HGLOBAL hMem) {
  std::lock_guard<std::mutex> lock(Memory().mutex);
  Block* b = FindBlockLocked(hMem);
  if (!b) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (!b->bytes) {
    SetLastError(157);  // ERROR_DISCARDED: a zero-byte block has no memory
    return nullptr;
  }
  ++b->locks;
  return b->bytes.get();
}

BOOL GlobalUnlock(HGLOBAL hMem) {
  std::lock_guard<std::mutex> lock(Memory().mutex);
  Block* b = FindBlockLocked(hMem);
  if (!b) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!b->locks) {
    SetLastError(ERROR_NOT_LOCKED);
    return FALSE;
  }
  if (--b->locks) return TRUE;
  SetLastError(NO_ERROR);
  return FALSE;
}

HGLOBAL GlobalFree(HGLOBAL hMem) {
  if (!hMem) return nullptr;
  DWORD error = FreeBlock(hMem, true);
  if (error == ERROR_SUCCESS) return nullptr;
  SetLastError(error);
  return hMem;
}

SIZE_T GlobalSize(HGLOBAL hMem) {
  std::lock_guard<std::mutex> lock(Memory().mutex);
  Block* b = FindBlockLocked(hMem);
  if (!b) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  return b->size;
}

// ---- clipboard ----

BOOL OpenClipboard(HWND hWndNewOwner) {
  static std::once_flag once;
  std::call_once(once, [] { AddWindowDestroyHook(&ForgetWindow); });
  if (hWndNewOwner && !IsWindow(hWndNewOwner)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  std::shared_ptr<ThreadQueue> self = CurrentQueue();
  After after;
  BOOL ok = TRUE;
  {
    Clipboard& c = C();
    std::lock_guard<std::mutex> lock(c.mutex);
    if (IsOpenLocked(c, after)) {
      // Opening again is fine for the window (or thread) that has it open, nobody else.
      ok = c.openThread == self->threadId && c.openWindow == hWndNewOwner;
    } else {
      c.openThread = self->threadId;
      c.openQueue = self;
      c.openWindow = hWndNewOwner;
    }
  }
  after.Run();
  if (!ok) SetLastError(ERROR_ACCESS_DENIED);
  return ok;
}

BOOL CloseClipboard() {
  After after;
  BOOL ok = TRUE;
  {
    Clipboard& c = C();
    std::lock_guard<std::mutex> lock(c.mutex);
    if (OpenByCallerLocked(c, after)) CloseLocked(c, after);
    else ok = FALSE;
  }
  after.Run();
  if (!ok) SetLastError(ERROR_CLIPBOARD_NOT_OPEN);
  return ok;
}

BOOL EmptyClipboard() {
  After after;
  {
    Clipboard& c = C();
    std::lock_guard<std::mutex> lock(c.mutex);
    if (!OpenByCallerLocked(c, after)) {
      after.Run();
      SetLastError(ERROR_CLIPBOARD_NOT_OPEN);
      return FALSE;
    }
    Slot& s = c.slots[0];
    if (s.ours && s.owner) after.destroySent = s.owner;
    FreeAll(s.data);
    FreeAll(s.made);
    s.ours = true;
    s.owner = c.openWindow;
    s.changed = true;
    s.taken = false;
  }
  after.Run();
  return TRUE;
}

HANDLE SetClipboardData(UINT uFormat, HANDLE hMem) {
  After after;
  DWORD error = ERROR_SUCCESS;
  {
    Clipboard& c = C();
    std::lock_guard<std::mutex> lock(c.mutex);
    Slot& s = SlotOf(c, uFormat);
    bool primary = uFormat == CF_QV_PRIMARY;
    if (!OpenByCallerLocked(c, after) || (!primary && (!s.ours || !s.owner || s.owner != c.openWindow))) {
      error = ERROR_CLIPBOARD_NOT_OPEN;
    } else if (!uFormat || !hMem) {
      error = ERROR_INVALID_PARAMETER;  // no delayed rendering
    } else {
      std::lock_guard<std::mutex> memoryLock(Memory().mutex);
      Block* b = FindBlockLocked(hMem);
      auto current = s.data.find(uFormat);
      bool again = current != s.data.end() && current->second == hMem;
      if (!b) error = ERROR_INVALID_HANDLE;
      else if (b->system && !again) error = ERROR_ACCESS_DENIED;  // another format's, or one we made
      else b->system = true;
    }
    if (error == ERROR_SUCCESS) {
      HGLOBAL& slot = s.data[uFormat];
      if (slot && slot != hMem) FreeBlock(slot, false);
      slot = hMem;
      FreeAll(s.made);
      if (primary) {
        s.ours = true;
        s.owner = c.openWindow;
        s.taken = false;
      }
      s.changed = true;
    }
  }
  after.Run();
  if (error != ERROR_SUCCESS) {
    SetLastError(error);
    return nullptr;
  }
  return hMem;
}

HANDLE GetClipboardData(UINT uFormat) {
  Clipboard& c = C();
  After after;
  std::unique_lock<std::mutex> lock(c.mutex);
  if (!OpenByCallerLocked(c, after)) {
    lock.unlock();
    after.Run();
    SetLastError(ERROR_CLIPBOARD_NOT_OPEN);
    return nullptr;
  }
  Slot& s = SlotOf(c, uFormat);
  if (s.ours) return FromOursLocked(s, uFormat);
  if (!IsTextFormat(uFormat)) return nullptr;
  auto it = s.fetched.find(uFormat);
  if (it != s.fetched.end()) return it->second;
  // Another program's text, fetched once per open session. The lock is let go meanwhile: the
  // display's thread may need it to report the selection taken.
  UINT wide = uFormat == CF_QV_PRIMARY ? CF_QV_PRIMARY : CF_UNICODETEXT;
  auto w = s.fetched.find(wide);
  bool have = w != s.fetched.end();
  std::u16string text;
  if (have) {
    if (!w->second) return nullptr;
    text = ReadWide(w->second);
  } else {
    // Only the calling thread, which has the clipboard open, could make the slot ours meanwhile.
    lock.unlock();
    bool got = TheClipboardHost().Fetch(SelectionOf(uFormat), text);
    lock.lock();
    HGLOBAL& slot = s.fetched[wide];
    if (slot) FreeBlock(slot, false);
    slot = got ? WideBlock(text) : nullptr;
    if (!got || uFormat == wide) return slot;
  }
  HGLOBAL narrow = NarrowBlock(ToAnsi(text));
  s.fetched[uFormat] = narrow;
  return narrow;
}

BOOL IsClipboardFormatAvailable(UINT format) {
  Selection which = SelectionOf(format);
  {
    Clipboard& c = C();
    std::lock_guard<std::mutex> lock(c.mutex);
    Slot& s = SlotOf(c, format);
    if (s.ours) {
      if (s.data.count(format)) return TRUE;
      return (format == CF_TEXT && s.data.count(CF_UNICODETEXT)) || (format == CF_UNICODETEXT && s.data.count(CF_TEXT));
    }
    if (!IsTextFormat(format)) return FALSE;
    UINT wide = format == CF_QV_PRIMARY ? CF_QV_PRIMARY : CF_UNICODETEXT;
    auto it = s.fetched.find(wide);
    if (it != s.fetched.end()) return it->second != nullptr;
  }
  return TheClipboardHost().Offers(which);
}

HWND GetClipboardOwner() {
  Clipboard& c = C();
  std::lock_guard<std::mutex> lock(c.mutex);
  return c.slots[0].ours ? c.slots[0].owner : nullptr;
}

HWND GetOpenClipboardWindow() {
  Clipboard& c = C();
  After after;
  HWND open;
  {
    std::lock_guard<std::mutex> lock(c.mutex);
    open = IsOpenLocked(c, after) ? c.openWindow : nullptr;
  }
  after.Run();
  return open;
}

// ---- test hooks ----

namespace qvplatform::testing {

bool CopyFromAnotherProgram(const std::u16string& text, bool primary) {
  if (std::string(TheBackend().Name()) != "headless") return false;
  Headless().CopyFromOthers(primary ? Selection::Primary : Selection::Clipboard, text);
  return true;
}

bool PasteInAnotherProgram(std::u16string& text, bool primary) {
  if (std::string(TheBackend().Name()) != "headless") return false;
  return Headless().Fetch(primary ? Selection::Primary : Selection::Clipboard, text);
}

}  // namespace qvplatform::testing
