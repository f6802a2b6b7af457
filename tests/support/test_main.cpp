// Shared main() of the test executables: GoogleTest plus the watchdog.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include "support/Watchdog.h"

namespace qvtest {
namespace {

// Real time, not the layer's clock: tests speed that clock up or freeze it.
class Reaper {
 public:
  void Arm(std::string name, std::chrono::seconds limit) {
    std::lock_guard<std::mutex> lock(mutex_);
    name_ = std::move(name);
    deadline_ = std::chrono::steady_clock::now() + limit;
    armed_ = true;
    cv_.notify_all();
  }
  void Extend(std::chrono::seconds limit) {
    std::lock_guard<std::mutex> lock(mutex_);
    deadline_ = std::chrono::steady_clock::now() + limit;
    cv_.notify_all();
  }
  void Disarm() {
    std::lock_guard<std::mutex> lock(mutex_);
    armed_ = false;
    cv_.notify_all();
  }
  void Start() {
    std::thread([this] { Run(); }).detach();
  }

 private:
  void Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      if (!armed_) {
        cv_.wait(lock);
        continue;
      }
      if (cv_.wait_until(lock, deadline_) == std::cv_status::timeout && armed_ &&
          std::chrono::steady_clock::now() >= deadline_) {
        std::fprintf(stderr, "\nWATCHDOG: test %s did not finish in time; it hangs.\n", name_.c_str());
        std::fflush(stderr);
        std::_Exit(3);
      }
    }
  }

  std::mutex mutex_;
  std::condition_variable cv_;
  std::string name_;
  std::chrono::steady_clock::time_point deadline_;
  bool armed_ = false;
};

Reaper& TheReaper() {
  static Reaper* reaper = new Reaper;
  return *reaper;
}

std::chrono::seconds DefaultLimit() {
  if (const char* env = std::getenv("QV_TEST_WATCHDOG_SECONDS")) {
    int v = std::atoi(env);
    if (v > 0) return std::chrono::seconds(v);
  }
  return std::chrono::seconds(60);
}

class WatchdogListener : public ::testing::EmptyTestEventListener {
  void OnTestStart(const ::testing::TestInfo& info) override {
    TheReaper().Arm(std::string(info.test_suite_name()) + "." + info.name(), DefaultLimit());
  }
  void OnTestEnd(const ::testing::TestInfo&) override { TheReaper().Disarm(); }
};

}  // namespace

void SetWatchdogLimit(std::chrono::seconds limit) { TheReaper().Extend(limit); }

}  // namespace qvtest

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  qvtest::TheReaper().Start();
  ::testing::UnitTest::GetInstance()->listeners().Append(new qvtest::WatchdogListener);
  return RUN_ALL_TESTS();
}
