#include "handles.h"

#include "clock.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <mutex>
#include <vector>

namespace qvp {
namespace {

struct Slot {
  uint32_t generation = 0;
  DWORD access = 0;
  std::shared_ptr<KernelObject> object;
};

struct HandleTable {
  std::mutex mutex;
  std::vector<Slot> slots;
  std::vector<uint32_t> freeSlots;
};

HandleTable& Table() {
  static HandleTable* table = new HandleTable;  // handles may be used by threads during exit
  return *table;
}

// Like Windows' handles, values are multiples of 4; the generation sits in the high half.
HANDLE Encode(uint32_t index, uint32_t generation) {
  uint64_t v = (static_cast<uint64_t>(generation) << 32) | (static_cast<uint64_t>(index + 1) << 2);
  return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(v));
}

bool Decode(HANDLE handle, uint32_t& index, uint32_t& generation) {
  uint64_t v = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(handle));
  uint32_t low = static_cast<uint32_t>(v);
  if (low == 0 || (low & 3) != 0) return false;
  index = (low >> 2) - 1;
  generation = static_cast<uint32_t>(v >> 32);
  return true;
}

}  // namespace

HANDLE InsertHandle(std::shared_ptr<KernelObject> object, DWORD access) {
  HandleTable& t = Table();
  std::lock_guard<std::mutex> lock(t.mutex);
  uint32_t index;
  if (!t.freeSlots.empty()) {
    index = t.freeSlots.back();
    t.freeSlots.pop_back();
  } else {
    index = static_cast<uint32_t>(t.slots.size());
    t.slots.emplace_back();
  }
  Slot& slot = t.slots[index];
  slot.generation = (slot.generation + 1) == 0 ? 1 : slot.generation + 1;
  slot.access = access;
  slot.object = std::move(object);
  return Encode(index, slot.generation);
}

std::shared_ptr<KernelObject> LookupHandle(HANDLE handle, DWORD* access) {
  uint32_t index, generation;
  if (!Decode(handle, index, generation)) return nullptr;
  HandleTable& t = Table();
  std::lock_guard<std::mutex> lock(t.mutex);
  if (index >= t.slots.size()) return nullptr;
  Slot& slot = t.slots[index];
  if (slot.generation != generation || !slot.object) return nullptr;
  if (access) *access = slot.access;
  return slot.object;
}

bool RemoveHandle(HANDLE handle) {
  uint32_t index, generation;
  if (!Decode(handle, index, generation)) return false;
  std::shared_ptr<KernelObject> doomed;  // released outside the lock: its destructor may block
  {
    HandleTable& t = Table();
    std::lock_guard<std::mutex> lock(t.mutex);
    if (index >= t.slots.size()) return false;
    Slot& slot = t.slots[index];
    if (slot.generation != generation || !slot.object) return false;
    doomed = std::move(slot.object);
    slot.access = 0;
    t.freeSlots.push_back(index);
  }
  return true;
}

void FutexWait(std::atomic<uint32_t>& word, uint32_t expected, int64_t timeoutNs) {
  timespec ts{};
  timespec* tsp = nullptr;
  if (timeoutNs >= 0) {
    ts.tv_sec = static_cast<time_t>(timeoutNs / 1000000000);
    ts.tv_nsec = static_cast<long>(timeoutNs % 1000000000);
    tsp = &ts;
  }
  // Not FUTEX_PRIVATE: the word may live in a mapping shared with another process.
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAIT, expected, tsp, nullptr, 0);
}

void FutexWake(std::atomic<uint32_t>& word, int count) {
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAKE, count, nullptr, nullptr, 0);
}

void FutexWaitTowards(std::atomic<uint32_t>& word, uint32_t expected, uint64_t deadlineUs, int64_t maxSliceNs) {
  // Taken before the clock is read: a change after it makes the wait below return at once.
  const uint32_t generation = ClockGeneration().load(std::memory_order_acquire);
  auto slice = RealSliceUntil(deadlineUs);
  int64_t ns = slice == std::chrono::nanoseconds::max() ? -1 : static_cast<int64_t>(slice.count());
  if (maxSliceNs >= 0 && (ns < 0 || ns > maxSliceNs)) ns = maxSliceNs;
  if (!ClockChangesWakeFutexWaits()) {
    FutexWait(word, expected, ns);
    return;
  }
  // The object's word and the clock's generation, so that a test moving the clock wakes it.
  struct futex_waitv waiters[2] = {};
  waiters[0].val = expected;
  waiters[0].uaddr = reinterpret_cast<uintptr_t>(&word);
  waiters[0].flags = FUTEX_32;  // shared: the word may live in a mapping of another process
  waiters[1].val = generation;
  waiters[1].uaddr = reinterpret_cast<uintptr_t>(&ClockGeneration());
  waiters[1].flags = FUTEX_32;
  timespec until{};
  timespec* untilp = nullptr;
  if (ns >= 0) {
    clock_gettime(CLOCK_MONOTONIC, &until);
    int64_t total = static_cast<int64_t>(until.tv_nsec) + ns % 1000000000;
    until.tv_sec += static_cast<time_t>(ns / 1000000000 + total / 1000000000);
    until.tv_nsec = static_cast<long>(total % 1000000000);
    untilp = &until;
  }
  syscall(SYS_futex_waitv, waiters, 2, 0, untilp, CLOCK_MONOTONIC);
}

}  // namespace qvp
