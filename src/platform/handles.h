// The kernel handle table. A handle names a slot and the slot's generation, so a closed or stale
// handle fails with ERROR_INVALID_HANDLE and never reaches an object that replaced it.
#pragma once

#include <atomic>
#include <memory>

#include "win32/types.h"

namespace qvp {

enum class ObjectType { Event, Mutex, Thread };

class KernelObject {
 public:
  explicit KernelObject(ObjectType type) : type_(type) {}
  virtual ~KernelObject() = default;
  ObjectType Type() const { return type_; }

  // Waits until the object is signalled and takes it (consuming an auto-reset event, owning a
  // mutex): WAIT_OBJECT_0, or WAIT_TIMEOUT once the virtual deadline has passed.
  virtual DWORD Wait(uint64_t deadlineUs) = 0;

 private:
  ObjectType type_;
};

HANDLE InsertHandle(std::shared_ptr<KernelObject> object, DWORD access);
// The object and the access the handle was opened with, or null (the caller reports
// ERROR_INVALID_HANDLE).
std::shared_ptr<KernelObject> LookupHandle(HANDLE handle, DWORD* access = nullptr);
bool RemoveHandle(HANDLE handle);

// Futex operations on a 32-bit word, which may live in memory shared with other processes.
// `timeoutNs` < 0 waits without a time-out.
void FutexWait(std::atomic<uint32_t>& word, uint32_t expected, int64_t timeoutNs);
void FutexWake(std::atomic<uint32_t>& word, int count);

// Sleeps on `word` while it holds `expected`, for at most one slice of the layer clock towards
// `deadlineUs` (at most `maxSliceNs` when that is not negative).
void FutexWaitTowards(std::atomic<uint32_t>& word, uint32_t expected, uint64_t deadlineUs, int64_t maxSliceNs = -1);

}  // namespace qvp
