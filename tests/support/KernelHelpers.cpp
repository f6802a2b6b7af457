#include "support/KernelHelpers.h"

#include <dirent.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>

#include "platform/testing.h"

namespace qvtest {

PrivateNamespace::PrivateNamespace(const char* prefix) {
  std::string tmpl = std::string("/tmp/") + prefix + "-XXXXXX";
  if (char* dir = mkdtemp(tmpl.data())) folder_ = dir;
  qvplatform::testing::SetObjectNamespace(folder_);
}

PrivateNamespace::~PrivateNamespace() {
  if (folder_.empty()) return;
  if (DIR* d = opendir(folder_.c_str())) {
    while (dirent* e = readdir(d)) {
      std::string n = e->d_name;
      if (n != "." && n != "..") unlink((folder_ + "/" + n).c_str());
    }
    closedir(d);
  }
  rmdir(folder_.c_str());
}

HANDLE StartThread(std::function<DWORD()> body, DWORD flags, DWORD* id) {
  auto* heap = new std::function<DWORD()>(std::move(body));
  HANDLE h = CreateThread(
      nullptr, 0,
      [](LPVOID p) -> DWORD {
        std::unique_ptr<std::function<DWORD()>> f(static_cast<std::function<DWORD()>*>(p));
        return (*f)();
      },
      heap, flags, id);
  if (!h) delete heap;
  return h;
}

DWORD JoinThread(HANDLE thread) {
  if (WaitForSingleObject(thread, 5000) != WAIT_OBJECT_0) return 0xDEAD;
  DWORD code = 0;
  GetExitCodeThread(thread, &code);
  CloseHandle(thread);
  return code;
}

pid_t Tid() { return static_cast<pid_t>(syscall(SYS_gettid)); }

bool BlockedInWait(const std::atomic<pid_t>& tid) {
  using Clock = std::chrono::steady_clock;  // real time: the layer's clock may be frozen
  auto until = Clock::now() + std::chrono::seconds(5);
  while (Clock::now() < until) {
    if (pid_t t = tid.load()) {
      std::string path = "/proc/self/task/" + std::to_string(t) + "/syscall";
      if (FILE* f = std::fopen(path.c_str(), "r")) {
        long nr = -1;
        int got = std::fscanf(f, "%ld", &nr);
        std::fclose(f);
        if (got == 1 && (nr == SYS_futex || nr == SYS_futex_waitv)) return true;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

}  // namespace qvtest
