// Another program for the end-to-end tests: a window that takes the focus and reports on stdout
// every key-down it receives ("focus", then "down <vk>" lines).
#include <cstdio>

#include "platform/win32.h"

static LRESULT CALLBACK Proc(HWND h, UINT m, WPARAM w, LPARAM l) {
  switch (m) {
    case WM_SETFOCUS: printf("focus\n"); fflush(stdout); return 0;
    case WM_KEYDOWN:
    case WM_SYSKEYDOWN: printf("down %u\n", static_cast<unsigned>(w)); fflush(stdout); return 0;
    case WM_TIMER:
    case WM_DESTROY: PostQuitMessage(0); return 0;
    default: return DefWindowProcW(h, m, w, l);
  }
}

int main() {
  if (!QvStartDisplay()) return 1;
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = Proc;
  wc.lpszClassName = u"QvKeyTarget";
  RegisterClassExW(&wc);
  HWND w = CreateWindowExW(0, u"QvKeyTarget", u"QvKeyTarget", WS_POPUP | WS_VISIBLE, 40, 500, 200, 120, nullptr,
                           nullptr, nullptr, nullptr);
  SetForegroundWindow(w);
  SetTimer(w, 1, 60000, nullptr);  // never outlives a test
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return 0;
}
