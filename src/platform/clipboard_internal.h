// The clipboard between the Win32 calls (clipboard.cpp) and the display that shares it with other
// programs: the X selections, or the headless desktop's own slots for tests.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace qvp {

enum class Selection { Clipboard = 0, Primary = 1 };

class ClipboardHost {
 public:
  virtual ~ClipboardHost() = default;
  // This program holds the selection from now on, with `text` (null: it holds no text, which
  // empties it for the others). Claims are numbered: one older than the last is ignored.
  virtual void Claim(Selection which, uint64_t serial, std::shared_ptr<const std::u16string> text) = 0;
  // The text of the selection another program holds: false when nobody does, it offers no text or
  // it does not answer in time. Never called on the display's own event thread.
  virtual bool Fetch(Selection which, std::u16string& text) = 0;
  // Whether another program holds the selection with text.
  virtual bool Offers(Selection which) = 0;
};

// The host for the backend in use.
ClipboardHost& TheClipboardHost();

// From the host, on any thread: another program took the selection this program held since the
// claim `serial`. The data goes; the clipboard's owner hears WM_DESTROYCLIPBOARD.
void SelectionTakenByOthers(Selection which, uint64_t serial);

}  // namespace qvp
