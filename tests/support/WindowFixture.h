// Helpers for tests that create windows: a window class whose procedure records every message
// and can be given per-message answers, and a message pump with a bound.
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <vector>

#include "platform/win32.h"

namespace qvtest {

struct Received {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  DWORD threadId;
};

// Windows of class u"QvTestWindow": every message is recorded; handlers may answer it.
class RecordingWindows {
 public:
  using Handler = std::function<LRESULT(HWND, UINT, WPARAM, LPARAM, bool& handled)>;

  RecordingWindows();
  ~RecordingWindows();

  HWND Create(DWORD style = WS_POPUP, DWORD exStyle = 0, HWND parent = nullptr, RECT rect = {10, 20, 110, 70});
  void OnMessage(Handler handler);

  std::vector<Received> All() const;
  std::vector<UINT> MessagesOf(HWND hwnd, const std::vector<UINT>& interesting) const;
  int Count(HWND hwnd, UINT message) const;
  void Clear();

 private:
  static LRESULT CALLBACK Proc(HWND, UINT, WPARAM, LPARAM);
  mutable std::mutex mutex_;
  std::vector<Received> received_;
  std::vector<Handler> handlers_;
};

// Dispatches everything queued for the calling thread, without waiting.
void PumpPending();

// Pumps (GetMessageW) until `done()` holds; false if the virtual time limit passed first.
bool PumpUntil(const std::function<bool()>& done, DWORD limitMs = 5000);

}  // namespace qvtest
