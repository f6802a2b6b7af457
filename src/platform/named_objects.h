// Named kernel objects shared between processes of one user. Each name is a small file in the
// user's private namespace folder, mapped into every process that holds it:
//  - the object's state word lives in the mapping, so a futex on it wakes waiters in any process;
//  - every holder keeps a shared lock on byte 0, so the object exists exactly while some process
//    holds it: the kernel drops the locks of a process that dies, even by SIGKILL, and the next
//    creator finds no holder and starts afresh;
//  - a named mutex's owner holds an exclusive lock on byte 1.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "handles.h"

namespace qvp {

class NamedObjectFile {
 public:
  ~NamedObjectFile();
  std::atomic<uint32_t>& State();
  bool ManualReset() const;
  bool TryLockOwnership();
  void UnlockOwnership();

 private:
  friend struct NamedObjects;
  NamedObjectFile() = default;
  int fd_ = -1;
  void* map_ = nullptr;
  std::string path_;
  bool holder_ = false;  // holds the shared lock; set only once fully opened
};

struct NamedOpen {
  std::unique_ptr<NamedObjectFile> file;
  bool existed = false;
  DWORD error = 0;  // set when `file` is null
};

struct NamedObjects {
  // Creates the object, or opens it when another process holds it (existed = true). A name that
  // belongs to an object of another type fails with ERROR_INVALID_HANDLE.
  static NamedOpen Create(const std::u16string& name, ObjectType type, bool manualReset, uint32_t initialState);
  // Opens an object some process holds; ERROR_FILE_NOT_FOUND when there is none.
  static NamedOpen Open(const std::u16string& name, ObjectType type);

 private:
  static NamedOpen OpenOrCreate(const std::u16string& name, ObjectType type, bool create, bool manualReset,
                                uint32_t initialState);
};

}  // namespace qvp
