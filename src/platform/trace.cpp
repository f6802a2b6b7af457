// OutputDebugStringA/W: one process-wide sink. With nobody listening a trace costs one atomic load.
// QV_TRACE_FILE names a file to append every trace to ("-" for stderr), for watching the real
// program at work.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "testing.h"
#include "win32/kernel.h"
#include "win32/text.h"

namespace {

struct Sink {
  std::mutex mutex;  // also keeps lines in one order for every listener
  std::map<int, qvplatform::testing::TraceListener> listeners;
  int nextId = 1;
  FILE* file = nullptr;
};

Sink& TheSink() {
  static Sink* sink = [] {
    auto* s = new Sink;
    if (const char* path = std::getenv("QV_TRACE_FILE")) {
      s->file = std::strcmp(path, "-") == 0 ? stderr : std::fopen(path, "ab");
    }
    return s;
  }();
  return *sink;
}

std::atomic<int> g_listenerCount{-1};  // -1: not looked at yet (the trace file may be set)

bool AnyoneListening() {
  int n = g_listenerCount.load(std::memory_order_acquire);
  if (n >= 0) return n > 0;
  Sink& s = TheSink();
  std::lock_guard<std::mutex> lock(s.mutex);
  int count = static_cast<int>(s.listeners.size()) + (s.file ? 1 : 0);
  g_listenerCount.store(count, std::memory_order_release);
  return count > 0;
}

void Deliver(const std::string& line) {
  Sink& s = TheSink();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (s.file) {
    std::fwrite(line.data(), 1, line.size(), s.file);
    std::fflush(s.file);
  }
  for (auto& entry : s.listeners) entry.second(line);
}

}  // namespace

// Someone receives the debug traces (a listener or the trace file), as a debugger would on Windows.
BOOL IsDebuggerPresent() { return AnyoneListening() ? TRUE : FALSE; }

void OutputDebugStringA(LPCSTR lpOutputString) {
  if (!lpOutputString || !AnyoneListening()) return;
  Deliver(std::string(lpOutputString));
}

void OutputDebugStringW(LPCWSTR lpOutputString) {
  if (!lpOutputString || !AnyoneListening()) return;
  // Windows hands wide traces on in the ANSI code page.
  int n = WideCharToMultiByte(CP_ACP, 0, lpOutputString, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return;
  std::string bytes(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, 0, lpOutputString, -1, bytes.data(), n, nullptr, nullptr);
  bytes.resize(static_cast<size_t>(n) - 1);  // drop the terminator
  Deliver(bytes);
}

namespace qvplatform::testing {

int AddTraceListener(TraceListener listener) {
  Sink& s = TheSink();
  std::lock_guard<std::mutex> lock(s.mutex);
  int id = s.nextId++;
  s.listeners[id] = std::move(listener);
  g_listenerCount.store(static_cast<int>(s.listeners.size()) + (s.file ? 1 : 0), std::memory_order_release);
  return id;
}

void RemoveTraceListener(int id) {
  Sink& s = TheSink();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.listeners.erase(id);
  g_listenerCount.store(static_cast<int>(s.listeners.size()) + (s.file ? 1 : 0), std::memory_order_release);
}

}  // namespace qvplatform::testing
