#include "support/WindowFixture.h"

#include <algorithm>

namespace qvtest {
namespace {
RecordingWindows* g_current = nullptr;
constexpr const WCHAR* kClass = u"QvTestWindow";
}  // namespace

RecordingWindows::RecordingWindows() {
  g_current = this;
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.style = CS_DBLCLKS;
  wc.lpfnWndProc = &RecordingWindows::Proc;
  wc.lpszClassName = kClass;
  RegisterClassExW(&wc);  // may exist already from an earlier fixture
}

RecordingWindows::~RecordingWindows() { g_current = nullptr; }

HWND RecordingWindows::Create(DWORD style, DWORD exStyle, HWND parent, RECT r) {
  return CreateWindowExW(exStyle, kClass, u"test", style, r.left, r.top, r.right - r.left, r.bottom - r.top, parent,
                         nullptr, nullptr, nullptr);
}

void RecordingWindows::OnMessage(Handler handler) {
  std::lock_guard<std::mutex> lock(mutex_);
  handlers_.push_back(std::move(handler));
}

std::vector<Received> RecordingWindows::All() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

std::vector<UINT> RecordingWindows::MessagesOf(HWND hwnd, const std::vector<UINT>& interesting) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<UINT> out;
  for (const auto& r : received_)
    if (r.hwnd == hwnd && std::find(interesting.begin(), interesting.end(), r.message) != interesting.end())
      out.push_back(r.message);
  return out;
}

int RecordingWindows::Count(HWND hwnd, UINT message) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(std::count_if(received_.begin(), received_.end(),
                                        [&](const Received& r) { return r.hwnd == hwnd && r.message == message; }));
}

void RecordingWindows::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  received_.clear();
}

LRESULT CALLBACK RecordingWindows::Proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  RecordingWindows* self = g_current;
  if (!self) return DefWindowProcW(hwnd, msg, wp, lp);
  std::vector<Handler> handlers;
  {
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->received_.push_back(Received{hwnd, msg, wp, lp, GetCurrentThreadId()});
    handlers = self->handlers_;
  }
  for (auto& h : handlers) {
    bool handled = false;
    LRESULT r = h(hwnd, msg, wp, lp, handled);
    if (handled) return r;
  }
  return DefWindowProcW(hwnd, msg, wp, lp);
}

void PumpPending() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

bool PumpUntil(const std::function<bool()>& done, DWORD limitMs) {
  DWORD start = GetTickCount();
  while (!done()) {
    if (GetTickCount() - start > limitMs) return false;
    MSG msg;
    if (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    } else {
      Sleep(1);
    }
  }
  return true;
}

}  // namespace qvtest
