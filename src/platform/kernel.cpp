// Kernel objects: events, mutexes and threads, and waiting on them.
#include <pthread.h>
#include <signal.h>
#include <cerrno>
#include <new>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "clock.h"
#include "handles.h"
#include "kernel_internal.h"
#include "named_objects.h"
#include "utf.h"
#include "win32/kernel.h"


namespace qvp {
namespace {

// An event's state lives in one block, in the process or in a named object's shared mapping.
// A lock keeps its fields consistent (robust: a holder that dies does not block the others);
// `seq` changes on every set and is the futex word waiters sleep on.
struct EventCore {
  pthread_mutex_t lock;
  uint32_t manualReset;
  uint32_t signalled;
  uint32_t tokens;   // signals handed to auto-reset waiters asleep, not yet taken
  std::atomic<uint32_t> seq;
  // Auto-reset waiters asleep, counted per process, so that the count of a process that died
  // while waiting (kill -9) can be dropped instead of swallowing later signals.
  struct WaiterCount {
    int32_t pid;
    uint32_t count;
  } waiters[32];
};
static_assert(sizeof(EventCore) <= NamedObjectFile::kPayloadSize, "event state must fit the payload");

struct EventInit {
  bool manualReset;
  bool initialState;
};

void InitEventCore(void* payload, const void* context) {
  auto* core = new (payload) EventCore;
  const auto* init = static_cast<const EventInit*>(context);
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
  pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
  pthread_mutex_init(&core->lock, &attr);
  pthread_mutexattr_destroy(&attr);
  core->manualReset = init->manualReset ? 1 : 0;
  core->signalled = init->initialState ? 1 : 0;
  core->tokens = 0;
  for (auto& w : core->waiters) w = {0, 0};
  core->seq.store(0);
}

class CoreLock {
 public:
  explicit CoreLock(EventCore& core) : core_(core) { Lock(); }
  ~CoreLock() {
    if (held_) pthread_mutex_unlock(&core_.lock);
  }
  void Lock() {
    if (pthread_mutex_lock(&core_.lock) == EOWNERDEAD) pthread_mutex_consistent(&core_.lock);
    held_ = true;
  }
  void Unlock() {
    pthread_mutex_unlock(&core_.lock);
    held_ = false;
  }

 private:
  EventCore& core_;
  bool held_ = false;
};

// Waiter bookkeeping; called with the core locked.
void AddWaiter(EventCore& c, int delta) {
  const int32_t self = static_cast<int32_t>(getpid());
  EventCore::WaiterCount* free = nullptr;
  for (auto& w : c.waiters) {
    if (w.pid == self) {
      w.count = static_cast<uint32_t>(static_cast<int64_t>(w.count) + delta);
      if (w.count == 0) w.pid = 0;
      return;
    }
    if (w.pid == 0 && !free) free = &w;
  }
  // With every slot taken (32 processes waiting at once) the count goes to the last slot, which
  // is then never dropped.
  if (!free) free = &c.waiters[31];
  if (free->pid == 0) free->pid = self;
  free->count = static_cast<uint32_t>(static_cast<int64_t>(free->count) + delta);
}

// Waiters of processes still alive; the others are forgotten, and a signal that was handed to
// them goes back to the event.
uint32_t LiveWaiters(EventCore& c) {
  const int32_t self = static_cast<int32_t>(getpid());
  uint32_t total = 0;
  for (auto& w : c.waiters) {
    if (w.pid == 0) continue;
    if (w.pid != self && kill(w.pid, 0) != 0 && errno == ESRCH) {
      w = {0, 0};
      continue;
    }
    total += w.count;
  }
  if (c.tokens > total) {
    c.tokens = total;
    c.signalled = 1;
  }
  return total;
}

class Event final : public KernelObject {
 public:
  // Unnamed: the state lives here.
  Event(bool manualReset, bool initialState) : KernelObject(ObjectType::Event) {
    EventInit init{manualReset, initialState};
    InitEventCore(&local_, &init);
    core_ = reinterpret_cast<EventCore*>(&local_);
  }
  // Named: the state lives in the shared mapping, initialised by its creator.
  explicit Event(std::unique_ptr<NamedObjectFile> file)
      : KernelObject(ObjectType::Event), file_(std::move(file)), core_(static_cast<EventCore*>(file_->Payload())) {}
  ~Event() override {
    if (!file_) pthread_mutex_destroy(&core_->lock);
  }

  DWORD Wait(uint64_t deadline) override {
    EventCore& c = *core_;
    CoreLock lock(c);
    if (!c.manualReset) LiveWaiters(c);
    if (c.signalled) {
      if (!c.manualReset) c.signalled = 0;
      return WAIT_OBJECT_0;
    }
    // Every set from now on releases this waiter, even if the event is reset again at once.
    const uint32_t startSeq = c.seq.load();
    if (!c.manualReset) AddWaiter(c, +1);
    for (;;) {
      if (deadline != kForever && NowUs() >= deadline) {
        if (!c.manualReset) {
          AddWaiter(c, -1);
          LiveWaiters(c);  // a signal handed to us just now goes back to the event
        }
        return WAIT_TIMEOUT;
      }
      uint32_t seq = c.seq.load();
      lock.Unlock();
      FutexWaitTowards(c.seq, seq, deadline);
      lock.Lock();
      if (c.manualReset) {
        if (c.signalled || c.seq.load() != startSeq) return WAIT_OBJECT_0;
        continue;
      }
      if (c.tokens > 0) {
        --c.tokens;
        AddWaiter(c, -1);
        return WAIT_OBJECT_0;
      }
      if (c.signalled) {  // set while nobody was asleep yet
        c.signalled = 0;
        AddWaiter(c, -1);
        return WAIT_OBJECT_0;
      }
    }
  }

  void Set() { Signal(true); }
  void Pulse() { Signal(false); }
  void Reset() {
    CoreLock lock(*core_);
    core_->signalled = 0;
  }

 private:
  // Releases the waiters asleep now: all of them (manual reset) or one (auto reset, by handing it
  // a token). `stay` leaves the event signalled afterwards where Windows does.
  void Signal(bool stay) {
    EventCore& c = *core_;
    {
      CoreLock lock(c);
      if (c.manualReset) {
        if (stay) c.signalled = 1;
      } else if (LiveWaiters(c) > c.tokens) {
        ++c.tokens;
      } else if (stay) {
        c.signalled = 1;
      }
      c.seq.fetch_add(1);
    }
    FutexWake(c.seq, INT_MAX);
  }

  std::unique_ptr<NamedObjectFile> file_;
  alignas(EventCore) unsigned char local_[sizeof(EventCore)];
  EventCore* core_;
};

class Mutex;
void NoteOwned(const std::shared_ptr<Mutex>& mutex);
void NoteReleased(const Mutex* mutex);

class Mutex final : public KernelObject, public std::enable_shared_from_this<Mutex> {
 public:
  Mutex(std::unique_ptr<NamedObjectFile> file, bool ownedByCaller)
      : KernelObject(ObjectType::Mutex), file_(std::move(file)) {
    if (ownedByCaller) {
      taken_.store(1);
      owner_.store(GetCurrentThreadId());
      recursion_ = 1;
    }
  }
  ~Mutex() override {
    if (file_ && owner_.load() != 0) file_->UnlockOwnership();
  }
  DWORD Wait(uint64_t deadline) override {
    for (;;) {
      uint32_t observed = 0;
      bool poll = false;
      if (TryAcquire(observed, poll)) {
        // The first owner after a thread that ended while owning it learns so, as on Windows.
        return abandoned_.exchange(false) ? WAIT_ABANDONED : WAIT_OBJECT_0;
      }
      if (deadline != kForever && NowUs() >= deadline) return WAIT_TIMEOUT;
      // Ownership held by another process cannot wake us through the word: look again soon.
      FutexWaitTowards(taken_, observed, deadline, poll ? 1000000 : -1);
    }
  }
  bool Release() {
    if (owner_.load(std::memory_order_acquire) != GetCurrentThreadId()) return false;
    if (--recursion_ == 0) {
      NoteReleased(this);
      Free();
    }
    return true;
  }
  // The owning thread ends without releasing: the next owner gets WAIT_ABANDONED.
  void Abandon() {
    if (owner_.load(std::memory_order_acquire) != GetCurrentThreadId()) return;
    recursion_ = 0;
    abandoned_.store(true);
    Free();
  }

 private:
  bool TryAcquire(uint32_t& observed, bool& poll) {
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
    if (file_ && !file_->TryLockOwnership()) {
      taken_.store(0, std::memory_order_release);
      FutexWake(taken_, 1);
      observed = 0;
      poll = true;
      return false;
    }
    owner_.store(self, std::memory_order_release);
    recursion_ = 1;
    NoteOwned(shared_from_this());
    return true;
  }
  void Free() {
    owner_.store(0, std::memory_order_release);
    if (file_) file_->UnlockOwnership();
    taken_.store(0, std::memory_order_release);
    FutexWake(taken_, 1);
  }

  std::unique_ptr<NamedObjectFile> file_;
  std::atomic<uint32_t> taken_{0};  // 1 while a thread of this process owns it
  std::atomic<DWORD> owner_{0};
  std::atomic<bool> abandoned_{false};
  uint32_t recursion_ = 0;  // touched by the owner only
};

// The mutexes the calling thread owns, abandoned when it ends.
struct OwnedMutexes {
  std::vector<std::weak_ptr<Mutex>> list;
  void AbandonAll() {
    std::vector<std::weak_ptr<Mutex>> owned;
    owned.swap(list);
    for (auto& weak : owned)
      if (auto m = weak.lock()) m->Abandon();
  }
  ~OwnedMutexes() { AbandonAll(); }
};
thread_local OwnedMutexes t_ownedMutexes;

void NoteOwned(const std::shared_ptr<Mutex>& mutex) { t_ownedMutexes.list.push_back(mutex); }

void NoteReleased(const Mutex* mutex) {
  auto& list = t_ownedMutexes.list;
  for (auto it = list.begin(); it != list.end(); ++it) {
    auto m = it->lock();
    if (!m || m.get() == mutex) {
      list.erase(it);
      return;
    }
  }
}

class Thread final : public KernelObject {
 public:
  Thread() : KernelObject(ObjectType::Thread) {}
  DWORD Wait(uint64_t deadline) override {
    while (exited.load(std::memory_order_acquire) == 0) {
      if (deadline != kForever && NowUs() >= deadline) return WAIT_TIMEOUT;
      FutexWaitTowards(exited, 0, deadline);
    }
    return WAIT_OBJECT_0;
  }

  DWORD id = 0;
  LPTHREAD_START_ROUTINE start = nullptr;
  LPVOID parameter = nullptr;
  std::atomic<uint32_t> suspendCount{0};
  std::atomic<DWORD> exitCode{STILL_ACTIVE};
  std::atomic<uint32_t> exited{0};
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
HANDLE CreateNamed(LPCWSTR lpName, ObjectType type, DWORD access, bool create, PayloadInit init, const void* context,
                   bool takeOwnership, Make make) {
  std::u16string name = CanonicalObjectName(std::u16string(lpName, WideLength(lpName)));
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
  NamedOpen opened = create ? NamedObjects::Create(name, type, init, context, takeOwnership)
                            : NamedObjects::Open(name, type);
  if (!opened.file) {
    SetLastError(opened.error);
    return nullptr;
  }
  bool existed = opened.existed;
  std::shared_ptr<KernelObject> obj = make(std::move(opened.file), opened.owned);
  Names()[name] = obj;
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
  t_ownedMutexes.AbandonAll();
  self->exitCode.store(code, std::memory_order_release);
  self->exited.store(1, std::memory_order_release);
  FutexWake(self->exited, INT_MAX);
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
    return InsertHandle(std::make_shared<Event>(bManualReset != 0, bInitialState != 0), EVENT_ALL_ACCESS);
  }
  EventInit init{bManualReset != 0, bInitialState != 0};
  return CreateNamed(lpName, ObjectType::Event, EVENT_ALL_ACCESS, true, &InitEventCore, &init, false,
                     [](std::unique_ptr<NamedObjectFile> file, bool) { return std::make_shared<Event>(std::move(file)); });
}

HANDLE OpenEventW(DWORD dwDesiredAccess, BOOL, LPCWSTR lpName) {
  if (!lpName || !*lpName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return CreateNamed(lpName, ObjectType::Event, dwDesiredAccess, false, nullptr, nullptr, false,
                     [](std::unique_ptr<NamedObjectFile> file, bool) { return std::make_shared<Event>(std::move(file)); });
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

BOOL PulseEvent(HANDLE hEvent) {
  auto e = LookupAs<Event>(hEvent, ObjectType::Event, EVENT_MODIFY_STATE);
  if (!e) return FALSE;
  e->Pulse();
  return TRUE;
}

HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES, BOOL bInitialOwner, LPCWSTR lpName) {
  if (!lpName || !*lpName) {
    auto mutex = std::make_shared<Mutex>(nullptr, bInitialOwner != 0);
    if (bInitialOwner) NoteOwned(mutex);
    SetLastError(ERROR_SUCCESS);
    return InsertHandle(mutex, MUTEX_ALL_ACCESS);
  }
  // Only the creator of a new mutex takes it, before any other thread or process can reach it;
  // an existing one is opened without ownership.
  return CreateNamed(lpName, ObjectType::Mutex, MUTEX_ALL_ACCESS, true, nullptr, nullptr, bInitialOwner != 0,
                     [](std::unique_ptr<NamedObjectFile> file, bool owned) {
                       auto mutex = std::make_shared<Mutex>(std::move(file), owned);
                       if (owned) NoteOwned(mutex);
                       return mutex;
                     });
}

HANDLE OpenMutexW(DWORD dwDesiredAccess, BOOL, LPCWSTR lpName) {
  if (!lpName || !*lpName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return CreateNamed(lpName, ObjectType::Mutex, dwDesiredAccess, false, nullptr, nullptr, false,
                     [](std::unique_ptr<NamedObjectFile> file, bool) {
                       return std::make_shared<Mutex>(std::move(file), false);
                     });
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
  return obj->Wait(DeadlineAfterMs(dwMilliseconds));
}

void Sleep(DWORD dwMilliseconds) {
  if (dwMilliseconds == 0) {
    sched_yield();
    return;
  }
  // A word nobody wakes: the wait ends at the deadline, or looks again when a test moves the clock.
  std::atomic<uint32_t> word{0};
  const uint64_t deadline = DeadlineAfterMs(dwMilliseconds);
  while (deadline == kForever || NowUs() < deadline) FutexWaitTowards(word, 0, deadline);
}

DWORD GetTickCount() { return static_cast<DWORD>(NowMs()); }
ULONGLONG GetTickCount64() { return NowMs(); }
