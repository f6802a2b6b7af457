// Helpers for tests of threads, waits and named objects.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <functional>
#include <string>

#include "platform/win32.h"

namespace qvtest {

// Named objects of a test live in a folder of their own, so parallel test processes never meet
// each other's objects. The folder and what is left in it go with the object.
class PrivateNamespace {
 public:
  explicit PrivateNamespace(const char* prefix = "qvkernel");
  ~PrivateNamespace();
  PrivateNamespace(const PrivateNamespace&) = delete;
  PrivateNamespace& operator=(const PrivateNamespace&) = delete;
  bool Ok() const { return !folder_.empty(); }
  const std::string& Folder() const { return folder_; }

 private:
  std::string folder_;
};

// Runs `body` on a thread of the layer; the handle is the thread's.
HANDLE StartThread(std::function<DWORD()> body, DWORD flags = 0, DWORD* id = nullptr);

// Waits (5 s at most) for a thread to end, closes its handle and returns its exit code, or 0xDEAD
// when it did not end.
DWORD JoinThread(HANDLE thread);

// The kernel's id of the calling thread.
pid_t Tid();

// True once thread `tid` of this process is seen asleep in a futex wait: it has reached the
// blocking call under test, not merely been started.
bool BlockedInWait(const std::atomic<pid_t>& tid);

}  // namespace qvtest
