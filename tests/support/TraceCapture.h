// Collects every debug trace line written while it lives.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "platform/testing.h"

namespace qvtest {

class TraceCapture {
 public:
  TraceCapture() {
    id_ = qvplatform::testing::AddTraceListener([this](const std::string& line) {
      std::lock_guard<std::mutex> lock(mutex_);
      lines_.push_back(line);
    });
  }
  ~TraceCapture() { qvplatform::testing::RemoveTraceListener(id_); }
  TraceCapture(const TraceCapture&) = delete;
  TraceCapture& operator=(const TraceCapture&) = delete;

  std::vector<std::string> Lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  bool Contains(const std::string& line) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& l : lines_)
      if (l == line) return true;
    return false;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
  int id_ = 0;
};

}  // namespace qvtest
