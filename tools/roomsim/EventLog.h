// What the simulator received and did, one JSON object per line, flushed at once so a test
// can read it while the simulator runs.
#pragma once

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>

namespace roomsim {

class EventLog {
 public:
  EventLog() = default;
  ~EventLog();
  EventLog(const EventLog&) = delete;
  EventLog& operator=(const EventLog&) = delete;

  // Appends to `path`; without a file the log is off.
  bool Open(const std::string& path, std::string* error);
  // `fields` are JSON members without braces: "\"conn\":1,\"roomId\":5".
  void Write(const std::string& event, const std::string& fields = "");

 private:
  std::mutex mutex_;
  std::FILE* file_ = nullptr;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

}  // namespace roomsim
