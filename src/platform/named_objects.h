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

// The name two spellings share: Windows' session prefixes ("Local\\"...) name the same objects
// here, as there is one session per user.
std::u16string CanonicalObjectName(const std::u16string& name);

class NamedObjectFile {
 public:
  ~NamedObjectFile();
  // The object's own state, shared by every process that holds it (up to kPayloadSize bytes).
  void* Payload();
  static constexpr size_t kPayloadSize = 1024;
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
  bool owned = false;  // the creator took ownership (named mutexes created initially owned)
  DWORD error = 0;     // set when `file` is null
};

// Fills a new object's payload; runs while no other process can open the object yet.
using PayloadInit = void (*)(void* payload, const void* context);

struct NamedObjects {
  // Creates the object, or opens it when another process holds it (existed = true). A name that
  // belongs to an object of another type fails with ERROR_INVALID_HANDLE.
  // A new object is initialised by `init` and, with `takeOwnership`, owned (byte 1 locked) before
  // anybody else can reach it.
  static NamedOpen Create(const std::u16string& name, ObjectType type, PayloadInit init, const void* context,
                          bool takeOwnership);
  // Opens an object some process holds; ERROR_FILE_NOT_FOUND when there is none.
  static NamedOpen Open(const std::u16string& name, ObjectType type);

 private:
  static NamedOpen OpenOrCreate(const std::u16string& name, ObjectType type, bool create, PayloadInit init,
                                const void* context, bool takeOwnership);
};

}  // namespace qvp
