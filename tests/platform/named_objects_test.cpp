// Named kernel objects shared between processes: the instance mutex and the activation event as a
// first and a second start of the program see them, including after the first one was killed.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <thread>

#include "platform/testing.h"
#include "platform/win32.h"
#include "support/KernelHelpers.h"

extern char** environ;

namespace {

using Real = std::chrono::steady_clock;
constexpr auto kChildBound = std::chrono::seconds(10);  // only reached when something is broken

const char kMutexName[] = "MutexQvGameAssist2014917";
const char16_t kMutexNameW[] = u"MutexQvGameAssist2014917";
const char kEventName[] = "VirelGameAssist2014918";
const char16_t kEventNameW[] = u"VirelGameAssist2014918";

// A child process (qv_platform_child) that shares our private object namespace. It answers with
// one line of key=value pairs and, for the holding commands, keeps its objects until its standard
// input closes or it is killed.
class Child {
 public:
  Child(const std::string& ns, const std::string& command, const std::string& name) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0) return;
    if (pipe2(out, O_CLOEXEC) != 0) {
      close(in[0]);
      close(in[1]);
      return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    const char* argv[] = {QV_PLATFORM_CHILD, ns.c_str(), command.c_str(), name.c_str(), nullptr};
    int rc = posix_spawn(&pid_, QV_PLATFORM_CHILD, &actions, nullptr, const_cast<char* const*>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    stdin_ = in[1];
    stdout_ = out[0];
    if (rc != 0) pid_ = -1;
  }
  ~Child() {
    Release();
    if (pid_ > 0) {
      if (!Reap(std::chrono::seconds(5))) Kill();
    }
    if (stdout_ >= 0) close(stdout_);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool Started() const { return pid_ > 0; }
  pid_t Pid() const { return pid_; }

  // The child's answer as key=value pairs; empty if it gave none in time.
  std::map<std::string, unsigned long> Answer() {
    std::string line;
    auto until = Real::now() + kChildBound;
    while (line.find('\n') == std::string::npos && Real::now() < until) {
      pollfd p{stdout_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      char buf[256];
      ssize_t n = read(stdout_, buf, sizeof buf);
      if (n <= 0) break;
      line.append(buf, static_cast<size_t>(n));
    }
    std::map<std::string, unsigned long> fields;
    std::istringstream words(line);
    for (std::string w; words >> w;) {
      auto eq = w.find('=');
      if (eq != std::string::npos) fields[w.substr(0, eq)] = std::stoul(w.substr(eq + 1));
    }
    return fields;
  }

  // Lets a holding child end normally.
  void Release() {
    if (stdin_ >= 0) close(stdin_);
    stdin_ = -1;
  }

  // Waits for the child to end; true when it did (its status in `status`).
  bool Reap(std::chrono::milliseconds bound, int* status = nullptr) {
    auto until = Real::now() + bound;
    int st = 0;
    for (;;) {
      pid_t r = waitpid(pid_, &st, WNOHANG);
      if (r == pid_) {
        pid_ = -1;
        if (status) *status = st;
        return true;
      }
      if (r < 0 || Real::now() >= until) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }

  // SIGKILL, as a crash would end it: nothing of the child's own code runs.
  void Kill() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    int st = 0;
    waitpid(pid_, &st, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1;
  int stdout_ = -1;
};

class NamedObjectsTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(ns_.Ok()); }
  qvtest::PrivateNamespace ns_{"qvnamed"};
  const std::string& folder_ = ns_.Folder();
};

HANDLE Start(LPTHREAD_START_ROUTINE routine, void* parameter) {
  return CreateThread(nullptr, 0, routine, parameter, 0, nullptr);
}

TEST_F(NamedObjectsTest, SecondProcessFindsTheInstanceMutexAndAKilledFirstNeverLocksOutTheNext) {
  Child first(folder_, "create-mutex", kMutexName);
  ASSERT_TRUE(first.Started());
  auto a = first.Answer();
  ASSERT_EQ(1u, a["handle"]);
  EXPECT_EQ(static_cast<unsigned long>(ERROR_SUCCESS), a["create"]);
  EXPECT_EQ(WAIT_OBJECT_0, a["wait"]) << "the creator owns it";

  {
    Child second(folder_, "create-mutex", kMutexName);
    auto b = second.Answer();
    ASSERT_EQ(1u, b["handle"]);
    EXPECT_EQ(static_cast<unsigned long>(ERROR_ALREADY_EXISTS), b["create"]);
    EXPECT_EQ(WAIT_TIMEOUT, b["wait"]) << "the second process got ownership the first still holds";
  }

  first.Kill();

  Child next(folder_, "create-mutex", kMutexName);
  auto c = next.Answer();
  ASSERT_EQ(1u, c["handle"]);
  EXPECT_EQ(static_cast<unsigned long>(ERROR_SUCCESS), c["create"]) << "the killed instance still locks out the next";
  EXPECT_EQ(WAIT_OBJECT_0, c["wait"]);
}

TEST_F(NamedObjectsTest, ThisProcessIsTheSecondWhileAChildHoldsTheMutex) {
  Child first(folder_, "create-mutex", kMutexName);
  ASSERT_EQ(0ul, first.Answer()["create"]);

  HANDLE mutex = CreateMutexW(nullptr, TRUE, kMutexNameW);
  ASSERT_NE(nullptr, mutex);
  EXPECT_EQ(ERROR_ALREADY_EXISTS, GetLastError());
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(mutex, 0)) << "owned by two processes at once";
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(mutex, 20));
  SetLastError(0);
  EXPECT_FALSE(ReleaseMutex(mutex));
  EXPECT_EQ(ERROR_NOT_OWNER, GetLastError());

  // The owner dies; our handle keeps the object, and the ownership it held is free again.
  first.Kill();
  DWORD r = WaitForSingleObject(mutex, 5000);
  EXPECT_TRUE(r == WAIT_OBJECT_0 || r == WAIT_ABANDONED) << r;
  if (r == WAIT_OBJECT_0 || r == WAIT_ABANDONED) {
    Child third(folder_, "create-mutex", kMutexName);
    auto c = third.Answer();
    EXPECT_EQ(static_cast<unsigned long>(ERROR_ALREADY_EXISTS), c["create"]);
    EXPECT_EQ(WAIT_TIMEOUT, c["wait"]) << "we own it now";
    EXPECT_TRUE(ReleaseMutex(mutex));
  }
  CloseHandle(mutex);
}

TEST_F(NamedObjectsTest, MutexVanishesWhenTheLastHolderClosesIt) {
  HANDLE mutex = CreateMutexW(nullptr, TRUE, kMutexNameW);
  ASSERT_NE(nullptr, mutex);
  ASSERT_EQ(ERROR_SUCCESS, GetLastError());
  {
    Child second(folder_, "create-mutex", kMutexName);
    auto b = second.Answer();
    EXPECT_EQ(static_cast<unsigned long>(ERROR_ALREADY_EXISTS), b["create"]);
    EXPECT_EQ(WAIT_TIMEOUT, b["wait"]);
  }
  ASSERT_TRUE(CloseHandle(mutex));  // still owned: closing the last handle ends the object anyway
  Child again(folder_, "create-mutex", kMutexName);
  auto c = again.Answer();
  EXPECT_EQ(static_cast<unsigned long>(ERROR_SUCCESS), c["create"]);
  EXPECT_EQ(WAIT_OBJECT_0, c["wait"]);
}

TEST_F(NamedObjectsTest, SessionPrefixedNameIsTheSameMutexInAnotherProcess) {
  HANDLE mutex = CreateMutexW(nullptr, TRUE, kMutexNameW);
  ASSERT_NE(nullptr, mutex);
  Child second(folder_, "create-mutex", std::string("Local\\") + kMutexName);
  EXPECT_EQ(static_cast<unsigned long>(ERROR_ALREADY_EXISTS), second.Answer()["create"]);
  CloseHandle(mutex);
}

struct Waiter {
  HANDLE event;
  std::atomic<DWORD> result{0xFFFF};
};

TEST_F(NamedObjectsTest, SecondProcessSettingTheActivationEventWakesOurWaitingThread) {
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, kEventNameW);
  ASSERT_NE(nullptr, event);
  ASSERT_EQ(ERROR_SUCCESS, GetLastError());

  Waiter waiter{event};
  HANDLE thread = Start(
      [](LPVOID p) -> DWORD {
        auto* w = static_cast<Waiter*>(p);
        w->result = WaitForSingleObject(w->event, INFINITE);
        return 0;
      },
      &waiter);
  ASSERT_NE(nullptr, thread);
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(thread, 20));

  Child second(folder_, "set-event", kEventName);
  auto b = second.Answer();
  ASSERT_EQ(1u, b["handle"]) << "the second process could not open the event";
  EXPECT_EQ(WAIT_FAILED, b["wait"]) << "EVENT_MODIFY_STATE alone does not allow waiting";
  EXPECT_EQ(static_cast<unsigned long>(ERROR_ACCESS_DENIED), b["waiterr"]);
  EXPECT_EQ(1u, b["set"]);

  DWORD r = WaitForSingleObject(thread, 5000);
  if (r != WAIT_OBJECT_0) SetEvent(event);  // free the thread before failing
  EXPECT_EQ(WAIT_OBJECT_0, r) << "the waiting thread was not woken by the other process";
  WaitForSingleObject(thread, INFINITE);
  EXPECT_EQ(WAIT_OBJECT_0, waiter.result.load());
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event, 0)) << "the event did not reset itself";

  // Set with nobody waiting, it stays set for exactly one wait.
  Child third(folder_, "set-event", kEventName);
  EXPECT_EQ(1u, third.Answer()["set"]);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, 0));
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event, 0));
  CloseHandle(thread);
  CloseHandle(event);
}

TEST_F(NamedObjectsTest, ChildSetsTheEventRepeatedlyAndEverySetWakesOneWait) {
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, kEventNameW);
  ASSERT_NE(nullptr, event);
  for (int i = 0; i < 5; ++i) {
    Child second(folder_, "set-event", kEventName);
    ASSERT_EQ(1u, second.Answer()["set"]);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, 5000)) << "round " << i;
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event, 0)) << "round " << i;
  }
  CloseHandle(event);
}

TEST_F(NamedObjectsTest, SecondProcessFindsNoEventBeforeTheFirstMadeIt) {
  Child second(folder_, "set-event", kEventName);
  auto b = second.Answer();
  EXPECT_EQ(0u, b["handle"]);
  EXPECT_EQ(static_cast<unsigned long>(ERROR_FILE_NOT_FOUND), b["open"]);
}

TEST_F(NamedObjectsTest, EventOfAKilledProcessIsGone) {
  Child first(folder_, "create-event", kEventName);
  ASSERT_EQ(0ul, first.Answer()["create"]);
  HANDLE opened = OpenEventW(EVENT_MODIFY_STATE, FALSE, kEventNameW);
  EXPECT_NE(nullptr, opened) << "the event a live process holds could not be opened";
  if (opened) CloseHandle(opened);

  first.Kill();
  SetLastError(0);
  EXPECT_EQ(nullptr, OpenEventW(EVENT_MODIFY_STATE, FALSE, kEventNameW));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, GetLastError());
  HANDLE fresh = CreateEventW(nullptr, FALSE, FALSE, kEventNameW);
  ASSERT_NE(nullptr, fresh);
  EXPECT_EQ(ERROR_SUCCESS, GetLastError());
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(fresh, 0));
  CloseHandle(fresh);
}

TEST_F(NamedObjectsTest, NameHeldAsAMutexInAnotherProcessIsNoEvent) {
  Child first(folder_, "create-mutex", kEventName);
  ASSERT_EQ(0ul, first.Answer()["create"]);
  SetLastError(0);
  EXPECT_EQ(nullptr, CreateEventW(nullptr, FALSE, FALSE, kEventNameW));
  EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
  SetLastError(0);
  EXPECT_EQ(nullptr, OpenEventW(EVENT_MODIFY_STATE, FALSE, kEventNameW));
  EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());

  Child second(folder_, "set-event", kEventName);
  auto b = second.Answer();
  EXPECT_EQ(0u, b["handle"]);
  EXPECT_EQ(static_cast<unsigned long>(ERROR_INVALID_HANDLE), b["open"]);
}

// True once process `pid` (single-threaded) sleeps in a futex wait.
bool ProcessBlockedInWait(pid_t pid) {
  auto until = Real::now() + kChildBound;
  while (Real::now() < until) {
    if (FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/syscall").c_str(), "r")) {
      long nr = -1;
      int got = std::fscanf(f, "%ld", &nr);
      std::fclose(f);
      if (got == 1 && (nr == SYS_futex || nr == SYS_futex_waitv)) return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

TEST_F(NamedObjectsTest, AWaiterKilledInItsWaitDoesNotSwallowLaterSignals) {
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, kEventNameW);
  ASSERT_NE(nullptr, event);
  {
    Child waiter(folder_, "wait-event", kEventName);
    ASSERT_EQ(1ul, waiter.Answer()["handle"]);
    ASSERT_TRUE(ProcessBlockedInWait(waiter.Pid()));
    waiter.Kill();
  }
  // Nobody is left waiting: the set keeps the event signalled for the next wait.
  ASSERT_TRUE(SetEvent(event));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, 0));
  EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(event, 0)) << "auto reset";
  CloseHandle(event);
}

TEST_F(NamedObjectsTest, ChildExitsCleanlyAfterHoldingObjects) {
  int status = -1;
  Child first(folder_, "create-mutex", kMutexName);
  ASSERT_EQ(0ul, first.Answer()["create"]);
  first.Release();
  ASSERT_TRUE(first.Reap(std::chrono::seconds(5), &status));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  // It ended owning the mutex without releasing it: the name is free for the next start.
  HANDLE mutex = CreateMutexW(nullptr, TRUE, kMutexNameW);
  EXPECT_EQ(ERROR_SUCCESS, GetLastError());
  CloseHandle(mutex);
}

}  // namespace
