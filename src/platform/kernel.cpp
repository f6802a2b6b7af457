// Kernel objects: events, mutexes and threads, and waiting on them.
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>

#include "clock.h"
#include "handles.h"
#include "kernel_internal.h"
#include "named_objects.h"
#include "utf.h"
#include "win32/kernel.h"


namespace qvp {
namespace {

class Event final : public KernelObject {
 public:
  Event(bool manualReset, bool initialState, std::unique_ptr<NamedObjectFile> file)
      : KernelObject(ObjectType::Event), manual_(manualReset), file_(std::move(file)), local_(initialState ? 1 : 0) {
    if (file_) manual_ = file_->ManualReset();  // an opened object keeps its creator's choice
  }
  std::atomic<uint32_t>& Word() override { return file_ ? file_->State() : local_; }
  bool TryAcquire(uint32_t& observed, bool&) override {
    std::atomic<uint32_t>& w = Word();
    observed = 0;
    if (manual_) return w.load(std::memory_order_acquire) == 1;
    uint32_t one = 1;
    return w.compare_exchange_strong(one, 0, std::memory_order_acq_rel);
  }
  void Set() {
    std::atomic<uint32_t>& w = Word();
    if (w.exchange(1, std::memory_order_acq_rel) == 0) FutexWake(w, INT_MAX);
  }
  void Reset() { Word().store(0, std::memory_order_release); }

 private:
  bool manual_;
  std::unique_ptr<NamedObjectFile> file_;
  std::atomic<uint32_t> local_;
};

class Mutex final : public KernelObject {
 public:
  explicit Mutex(std::unique_ptr<NamedObjectFile> file) : KernelObject(ObjectType::Mutex), file_(std::move(file)) {}
  ~Mutex() override {
    if (file_ && owner_.load() != 0) file_->UnlockOwnership();
  }
  std::atomic<uint32_t>& Word() override { return taken_; }
  bool TryAcquire(uint32_t& observed, bool& poll) override {
    DWORD self = GetCurrentThreadId();
    if (owner_.load(std::memory_order_acquire) == self) {
      ++recursion_;
      return true;
    }
    uint32_t free = 0;
    if (!taken_.compare_exchange_strong(free, 1, std::memory_order_acq_rel)) {
      observed = 1;
      poll = file_ != nullptr;
      return false;
    }
    if (file_ && !file_->TryLockOwnership()) {  // owned by another process
      taken_.store(0, std::memory_order_release);
      FutexWake(taken_, 1);
      observed = 0;
      poll = true;
      return false;
    }
    owner_.store(self, std::memory_order_release);
    recursion_ = 1;
    return true;
  }
  bool Release() {
    if (owner_.load(std::memory_order_acquire) != GetCurrentThreadId()) return false;
    if (--recursion_ == 0) {
      owner_.store(0, std::memory_order_release);
      if (file_) file_->UnlockOwnership();
      taken_.store(0, std::memory_order_release);
      FutexWake(taken_, 1);
    }
    return true;
  }

 private:
  std::unique_ptr<NamedObjectFile> file_;
  std::atomic<uint32_t> taken_{0};  // 1 while a thread of this process owns it
  std::atomic<DWORD> owner_{0};
  uint32_t recursion_ = 0;  // touched by the owner only
};

class Thread final : public KernelObject {
 public:
  Thread() : KernelObject(ObjectType::Thread) {}
  std::atomic<uint32_t>& Word() override { return exited_; }
  bool TryAcquire(uint32_t& observed, bool&) override {
    observed = 0;
    return exited_.load(std::memory_order_acquire) == 1;
  }

  DWORD id = 0;
  LPTHREAD_START_ROUTINE start = nullptr;
  LPVOID parameter = nullptr;
  std::atomic<uint32_t> suspendCount{0};
  std::atomic<DWORD> exitCode{STILL_ACTIVE};
  std::atomic<uint32_t> exited_{0};
};

// Named objects of this process, so a second create or open in the same process finds the
// same object without touching the shared namespace.
std::mutex g_namesMutex;
std::map<std::u16string, std::weak_ptr<KernelObject>>& Names() {
  static auto* names = new std::map<std::u16string, std::weak_ptr<KernelObject>>;
  return *names;
}

std::atomic<void (*)()> g_threadExitHook{nullptr};
std::atomic<DWORD> g_nextThreadId{4};
thread_local DWORD t_threadId = 0;

DWORD NewThreadId() { return g_nextThreadId.fetch_add(4, std::memory_order_relaxed); }

template <class T>
std::shared_ptr<T> LookupAs(HANDLE h, ObjectType type, DWORD need) {
  DWORD access = 0;
  std::shared_ptr<KernelObject> obj = LookupHandle(h, &access);
  if (!obj || obj->Type() != type) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if ((access & need) != need) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  return std::static_pointer_cast<T>(obj);
}

// Creates or opens a named object. `make` builds the process's object around the shared file.
template <class Make>
HANDLE CreateNamed(LPCWSTR lpName, ObjectType type, DWORD access, bool manual, uint32_t initialState, bool create,
                   Make make, std::shared_ptr<KernelObject>* created) {
  std::u16string name(lpName, WideLength(lpName));
  std::lock_guard<std::mutex> lock(g_namesMutex);
  auto it = Names().find(name);
  if (it != Names().end()) {
    if (auto existing = it->second.lock()) {
      if (existing->Type() != type) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
      }
      HANDLE h = InsertHandle(existing, access);
      SetLastError(create ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
      return h;
    }
  }
  NamedOpen opened = create ? NamedObjects::Create(name, type, manual, initialState) : NamedObjects::Open(name, type);
  if (!opened.file) {
    SetLastError(opened.error);
    return nullptr;
  }
  bool existed = opened.existed;
  std::shared_ptr<KernelObject> obj = make(std::move(opened.file), existed);
  Names()[name] = obj;
  if (created) *created = obj;
  HANDLE h = InsertHandle(obj, access);
  SetLastError(existed && create ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return h;
}

void* ThreadStart(void* arg) {
  // The thread keeps its own object alive until it has signalled its end.
  std::unique_ptr<std::shared_ptr<Thread>> holder(static_cast<std::shared_ptr<Thread>*>(arg));
  std::shared_ptr<Thread> self = *holder;
  holder.reset();
  t_threadId = self->id;
  for (uint32_t n; (n = self->suspendCount.load(std::memory_order_acquire)) != 0;)
    FutexWait(self->suspendCount, n, -1);
  DWORD code = self->start(self->parameter);
  if (auto hook = g_threadExitHook.load()) hook();
  self->exitCode.store(code, std::memory_order_release);
  self->exited_.store(1, std::memory_order_release);
  FutexWake(self->exited_, INT_MAX);
  return nullptr;
}

}  // namespace

void SetThreadExitHook(void (*hook)()) { g_threadExitHook.store(hook); }

}  // namespace qvp

using namespace qvp;

BOOL CloseHandle(HANDLE hObject) {
  if (!RemoveHandle(hObject)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

DWORD GetCurrentThreadId() {
  if (t_threadId == 0) t_threadId = NewThreadId();
  return t_threadId;
}

DWORD GetCurrentProcessId() { return static_cast<DWORD>(getpid()); }

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T dwStackSize, LPTHREAD_START_ROUTINE lpStartAddress,
                    LPVOID lpParameter, DWORD dwCreationFlags, LPDWORD lpThreadId) {
  if (!lpStartAddress) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto thread = std::make_shared<Thread>();
  thread->id = NewThreadId();
  thread->start = lpStartAddress;
  thread->parameter = lpParameter;
  thread->suspendCount.store((dwCreationFlags & CREATE_SUSPENDED) ? 1 : 0);
  HANDLE handle = InsertHandle(thread, THREAD_ALL_ACCESS);

  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  if (dwStackSize > 0) {
    size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    size_t size = std::max<size_t>(dwStackSize, 64 * 1024);
    pthread_attr_setstacksize(&attr, (size + page - 1) / page * page);
  }
  auto* arg = new std::shared_ptr<Thread>(thread);
  pthread_t tid;
  int rc = pthread_create(&tid, &attr, ThreadStart, arg);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    delete arg;
    RemoveHandle(handle);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  if (lpThreadId) *lpThreadId = thread->id;
  return handle;
}

DWORD ResumeThread(HANDLE hThread) {
  auto t = LookupAs<Thread>(hThread, ObjectType::Thread, 0);
  if (!t) return static_cast<DWORD>(-1);
  uint32_t previous = t->suspendCount.load();
  while (previous > 0 && !t->suspendCount.compare_exchange_weak(previous, previous - 1)) {
  }
  if (previous == 1) FutexWake(t->suspendCount, INT_MAX);
  return previous;
}

BOOL GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
  auto t = LookupAs<Thread>(hThread, ObjectType::Thread, 0);
  if (!t) return FALSE;
  if (!lpExitCode) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *lpExitCode = t->exitCode.load(std::memory_order_acquire);
  return TRUE;
}

DWORD GetThreadId(HANDLE hThread) {
  auto t = LookupAs<Thread>(hThread, ObjectType::Thread, 0);
  return t ? t->id : 0;
}

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCWSTR lpName) {
  if (!lpName || !*lpName) {
    SetLastError(ERROR_SUCCESS);
    return InsertHandle(std::make_shared<Event>(bManualReset != 0, bInitialState != 0, nullptr), EVENT_ALL_ACCESS);
  }
  return CreateNamed(
      lpName, ObjectType::Event, EVENT_ALL_ACCESS, bManualReset != 0, bInitialState ? 1 : 0, true,
      [&](std::unique_ptr<NamedObjectFile> file, bool) {
        return std::make_shared<Event>(bManualReset != 0, bInitialState != 0, std::move(file));
      },
      nullptr);
}

HANDLE OpenEventW(DWORD dwDesiredAccess, BOOL, LPCWSTR lpName) {
  if (!lpName || !*lpName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return CreateNamed(
      lpName, ObjectType::Event, dwDesiredAccess, false, 0, false,
      [](std::unique_ptr<NamedObjectFile> file, bool) { return std::make_shared<Event>(false, false, std::move(file)); },
      nullptr);
}

BOOL SetEvent(HANDLE hEvent) {
  auto e = LookupAs<Event>(hEvent, ObjectType::Event, EVENT_MODIFY_STATE);
  if (!e) return FALSE;
  e->Set();
  return TRUE;
}

BOOL ResetEvent(HANDLE hEvent) {
  auto e = LookupAs<Event>(hEvent, ObjectType::Event, EVENT_MODIFY_STATE);
  if (!e) return FALSE;
  e->Reset();
  return TRUE;
}

HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES, BOOL bInitialOwner, LPCWSTR lpName) {
  std::shared_ptr<KernelObject> created;
  HANDLE h;
  if (!lpName || !*lpName) {
    created = std::make_shared<Mutex>(nullptr);
    h = InsertHandle(created, MUTEX_ALL_ACCESS);
    SetLastError(ERROR_SUCCESS);
  } else {
    h = CreateNamed(
        lpName, ObjectType::Mutex, MUTEX_ALL_ACCESS, false, 0, true,
        [](std::unique_ptr<NamedObjectFile> file, bool) { return std::make_shared<Mutex>(std::move(file)); },
        &created);
  }
  // Only the creator of a new mutex takes it; an existing one is opened without ownership.
  if (h && created && bInitialOwner && GetLastError() != ERROR_ALREADY_EXISTS) {
    DWORD saved = GetLastError();
    uint32_t observed;
    bool poll;
    created->TryAcquire(observed, poll);
    SetLastError(saved);
  }
  return h;
}

HANDLE OpenMutexW(DWORD dwDesiredAccess, BOOL, LPCWSTR lpName) {
  if (!lpName || !*lpName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return CreateNamed(
      lpName, ObjectType::Mutex, dwDesiredAccess, false, 0, false,
      [](std::unique_ptr<NamedObjectFile> file, bool) { return std::make_shared<Mutex>(std::move(file)); }, nullptr);
}

BOOL ReleaseMutex(HANDLE hMutex) {
  auto m = LookupAs<Mutex>(hMutex, ObjectType::Mutex, 0);
  if (!m) return FALSE;
  if (!m->Release()) {
    SetLastError(ERROR_NOT_OWNER);
    return FALSE;
  }
  return TRUE;
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  DWORD access = 0;
  std::shared_ptr<KernelObject> obj = LookupHandle(hHandle, &access);
  if (!obj) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  if (!(access & SYNCHRONIZE)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return WAIT_FAILED;
  }
  const uint64_t deadline = DeadlineAfterMs(dwMilliseconds);
  for (;;) {
    uint32_t observed = 0;
    bool poll = false;
    if (obj->TryAcquire(observed, poll)) return WAIT_OBJECT_0;
    if (deadline != kForever && NowUs() >= deadline) return WAIT_TIMEOUT;
    auto slice = RealSliceUntil(deadline);
    int64_t ns = slice == std::chrono::nanoseconds::max() ? -1 : static_cast<int64_t>(slice.count());
    if (poll && (ns < 0 || ns > 1000000)) ns = 1000000;
    FutexWait(obj->Word(), observed, ns);
  }
}

void Sleep(DWORD dwMilliseconds) {
  if (dwMilliseconds == 0) {
    sched_yield();
    return;
  }
  std::mutex m;
  std::condition_variable cv;
  std::unique_lock<std::mutex> lock(m);
  WaitUntil(lock, cv, DeadlineAfterMs(dwMilliseconds), [] { return false; });
}

DWORD GetTickCount() { return static_cast<DWORD>(NowMs()); }
ULONGLONG GetTickCount64() { return NowMs(); }
