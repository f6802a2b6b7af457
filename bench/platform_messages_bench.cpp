// Cross-thread message throughput and send latency of the window model.
// Prints messages per second for PostMessageW -> GetMessageW and the round-trip time of
// SendMessageW to a window of another thread.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "platform/win32.h"

namespace {

constexpr UINT kWork = WM_USER + 1;
constexpr UINT kStop = WM_USER + 2;
using Clock = std::chrono::steady_clock;

LRESULT CALLBACK Proc(HWND h, UINT m, WPARAM wp, LPARAM lp) {
  if (m == kWork) return static_cast<LRESULT>(wp + 1);
  return DefWindowProcW(h, m, wp, lp);
}

HWND MakeWindow() {
  static bool registered = [] {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = Proc;
    wc.lpszClassName = u"QvBenchWindow";
    return RegisterClassExW(&wc) != 0;
  }();
  (void)registered;
  return CreateWindowExW(0, u"QvBenchWindow", u"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
}

void PostThroughput(int producers, int perProducer) {
  HWND w = MakeWindow();
  auto start = Clock::now();
  std::vector<std::thread> threads;
  for (int p = 0; p < producers; ++p)
    threads.emplace_back([=] {
      for (int i = 0; i < perProducer; ++i) PostMessageW(w, kWork, static_cast<WPARAM>(i), 0);
    });
  long received = 0;
  long total = static_cast<long>(producers) * perProducer;
  MSG msg;
  while (received < total && GetMessageW(&msg, nullptr, 0, 0)) {
    if (msg.message == kWork) ++received;
    DispatchMessageW(&msg);
  }
  auto seconds = std::chrono::duration<double>(Clock::now() - start).count();
  for (auto& t : threads) t.join();
  std::printf("post+get   %d producer(s): %ld messages in %.3f s = %.0f messages/s\n", producers, received, seconds,
              received / seconds);
  DestroyWindow(w);
}

void SendLatency(int rounds) {
  std::atomic<HWND> target{nullptr};
  std::atomic<bool> stop{false};
  std::thread owner([&] {
    target = MakeWindow();
    MSG msg;
    while (!stop && GetMessageW(&msg, nullptr, 0, 0)) DispatchMessageW(&msg);
    DestroyWindow(target.load());
  });
  while (!target.load()) std::this_thread::yield();
  std::vector<double> us;
  us.reserve(static_cast<size_t>(rounds));
  for (int i = 0; i < rounds; ++i) {
    auto t0 = Clock::now();
    SendMessageW(target.load(), kWork, static_cast<WPARAM>(i), 0);
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  stop = true;
  PostMessageW(target.load(), kStop, 0, 0);
  owner.join();
  std::sort(us.begin(), us.end());
  double sum = 0;
  for (double v : us) sum += v;
  std::printf("send round trip (%d): mean %.1f us, median %.1f us, p99 %.1f us\n", rounds, sum / rounds,
              us[us.size() / 2], us[us.size() * 99 / 100]);
}

}  // namespace

int main() {
  PostThroughput(1, 200000);
  PostThroughput(4, 50000);
  SendLatency(20000);
  return 0;
}
