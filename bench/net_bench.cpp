// Room messages per second from qvroomsim's generator through the session's client and decoder
// to records handled by the windows, over loopback; with the client process's CPU time per
// 1 000 messages. Prints its figures; never fails.
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "net/HttpLookups.h"
#include "net/SessionNotify.h"
#include "net/WebSockSession.h"
#include "platform/win32.h"
#include "tools/RoomSimProcess.h"

namespace {

long g_records = 0;
FILE* g_out = stdout;  // the figures; the decoder's own prints go to /dev/null

LRESULT CALLBACK CountingProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
  if (uMsg != WM_WEBSOCK_NOTIFY) return DefWindowProcW(hWnd, uMsg, wParam, lParam);
  if (AcceptSessionRecord(lParam)) ++g_records;
  return 0;
}

HWND MakeWindow() {
  return CreateWindowExW(0, u"QvNetBenchWindow", u"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
}

double CpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

void Pump(std::chrono::steady_clock::duration length) {
  auto end = std::chrono::steady_clock::now() + length;
  MSG msg;
  while (std::chrono::steady_clock::now() < end) {
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
}

void RunAtRate(int rate) {
  simtest::RoomSimProcess sim;
  if (!sim.Start({"--rate", std::to_string(rate), "--seed", "7"})) {
    std::fprintf(g_out, "rate %6d: simulator did not start: %s\n", rate, sim.startError().c_str());
    return;
  }
  LookupEndpoints() = {"127.0.0.1", sim.apiPort(), "127.0.0.1:" + std::to_string(sim.roomPort())};
  HWND login = MakeWindow(), bar = MakeWindow(), overlay = MakeWindow();
  CWebSockSession session;
  CoCreateGuid(&g_SessionGuid);
  session.m_hWndProgress = login;
  session.m_hWndState = bar;
  session.m_hWndMsg = overlay;
  session.Start(888, g_SessionGuid);
  // Connecting takes about a second and a half; then the traffic settles.
  Pump(std::chrono::milliseconds(2500));
  g_records = 0;
  double cpu0 = CpuSeconds();
  auto t0 = std::chrono::steady_clock::now();
  Pump(std::chrono::seconds(3));
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  double cpu = CpuSeconds() - cpu0;
  long records = g_records;
  session.Stop();
  Pump(std::chrono::milliseconds(500));
  DestroyWindow(login);
  DestroyWindow(bar);
  DestroyWindow(overlay);
  std::fprintf(g_out, "generator %6d msg/s: %9.0f records/s handled, CPU %7.2f ms per 1000 messages\n", rate,
              records / seconds, records ? cpu * 1000.0 / (records / 1000.0) : 0.0);
}

}  // namespace

int main() {
  g_out = fdopen(dup(STDOUT_FILENO), "w");
  std::setvbuf(g_out, nullptr, _IOLBF, 0);
  if (!g_out || !std::freopen("/dev/null", "w", stdout)) return 1;
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = &CountingProc;
  wc.lpszClassName = u"QvNetBenchWindow";
  RegisterClassExW(&wc);
  std::fprintf(g_out, "room messages over loopback, qvroomsim generator -> session client -> windows\n");
  for (int rate : {1000, 5000, 20000, 100000}) RunAtRate(rate);
  return 0;
}
