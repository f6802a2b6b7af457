#include "app/Activation.h"

#include <atomic>

#include "net/SessionNotify.h"

namespace {

HANDLE g_hActivationEvent = nullptr;
// Written on the UI thread, read by the activation thread; one word, so no lock.
std::atomic<HWND> g_hActivationTarget{nullptr};

DWORD WINAPI ActivationThreadProc(LPVOID) {
  for (;;) {
    if (::WaitForSingleObject(g_hActivationEvent, INFINITE) != WAIT_OBJECT_0) break;
    HWND target = g_hActivationTarget.load();
    ::PostMessageW(target, WM_ASSIST_SHOWHIDE, 1, 0);
    ::SetForegroundWindow(target);
  }
  return 0;
}

}  // namespace

void StartActivationWatch(HWND hWnd) {
  if (!g_hActivationEvent) g_hActivationEvent = ::CreateEventW(nullptr, FALSE, FALSE, kActivationEventName);
  HWND previous = g_hActivationTarget.exchange(hWnd);
  if (previous) return;
  // The thread lives as long as the process; nobody joins it.
  if (HANDLE thread = ::CreateThread(nullptr, 0, ActivationThreadProc, nullptr, 0, nullptr)) ::CloseHandle(thread);
}

HWND ActivationTarget() { return g_hActivationTarget.load(); }
