#include "EventLog.h"

#include <cerrno>
#include <cstring>

namespace roomsim {

EventLog::~EventLog() {
  if (file_) std::fclose(file_);
}

bool EventLog::Open(const std::string& path, std::string* error) {
  file_ = std::fopen(path.c_str(), "a");
  if (!file_) {
    *error = "cannot open log file " + path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

void EventLog::Write(const std::string& event, const std::string& fields) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!file_) return;
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start_);
  std::string line = "{\"t\":" + std::to_string(ms.count()) + ",\"event\":\"" + event + "\"";
  if (!fields.empty()) line += "," + fields;
  line += "}\n";
  std::fwrite(line.data(), 1, line.size(), file_);
  std::fflush(file_);
}

}  // namespace roomsim
