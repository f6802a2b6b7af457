#include "named_objects.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "testing.h"
#include "utf.h"
#include "win32/kernel.h"

namespace qvp {
namespace {

constexpr uint32_t kMagic = 0x51764F62;  // "QvOb"
constexpr size_t kMapSize = 4096;

struct SharedHeader {
  uint32_t magic;
  uint32_t type;
};
constexpr size_t kPayloadOffset = 64;
static_assert(kPayloadOffset + NamedObjectFile::kPayloadSize <= kMapSize, "payload must fit the mapping");

std::mutex g_namespaceMutex;
std::string g_namespaceOverride;

std::string NamespaceFolder() {
  std::lock_guard<std::mutex> lock(g_namespaceMutex);
  if (!g_namespaceOverride.empty()) return g_namespaceOverride;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  struct stat st{};
  if (runtime && *runtime && stat(runtime, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == getuid())
    return std::string(runtime) + "/qvplatform";
  return "/tmp/qvplatform-" + std::to_string(getuid());
}

// The folder must be ours and private: another user must not be able to plant or read objects.
bool EnsurePrivateFolder(const std::string& folder) {
  if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return false;
  struct stat st{};
  if (lstat(folder.c_str(), &st) != 0) return false;
  return S_ISDIR(st.st_mode) && st.st_uid == getuid() && (st.st_mode & 0077) == 0;
}

// Object names are case-sensitive and may hold any character but '\'; the file name keeps safe
// characters and percent-encodes the rest of the UTF-8 bytes.
std::string FileNameFor(const std::u16string& name) {
  std::string utf8 = ToUtf8(CanonicalObjectName(name));
  std::string out = "obj-";
  for (unsigned char c : utf8) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-' || c == '.') {
      out += static_cast<char>(c);
    } else {
      char buf[4];
      std::snprintf(buf, sizeof buf, "%%%02X", c);
      out += buf;
    }
  }
  if (out.size() > 200) {  // keep within NAME_MAX; the hash keeps long names apart
    uint64_t h = 1469598103934665603ull;
    for (unsigned char c : utf8) h = (h ^ c) * 1099511628211ull;
    char buf[20];
    std::snprintf(buf, sizeof buf, "~%016llx", static_cast<unsigned long long>(h));
    out = out.substr(0, 150) + buf;
  }
  return out;
}

bool OfdLock(int fd, short type, off_t start, bool wait) {
  struct flock fl{};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = start;
  fl.l_len = 1;
  for (;;) {
    if (fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &fl) == 0) return true;
    if (errno != EINTR) return false;
  }
}

// Serialises creation and opening across processes, so "is anybody holding it?" and "I hold it
// now" happen as one step.
class GuardLock {
 public:
  explicit GuardLock(const std::string& folder) {
    fd_ = open((folder + "/.guard").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd_ >= 0) {
      while (flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
      }
    }
  }
  ~GuardLock() {
    if (fd_ >= 0) close(fd_);  // closing drops the lock
  }
  bool Held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

SharedHeader* Header(void* map) { return static_cast<SharedHeader*>(map); }

NamedOpen Fail(DWORD error) {
  NamedOpen r;
  r.error = error;
  return r;
}

}  // namespace

NamedObjectFile::~NamedObjectFile() {
  if (map_) munmap(map_, kMapSize);
  if (fd_ < 0) return;
  if (holder_) {
    // The last holder removes the file; anyone else still holding it keeps it.
    std::string folder = path_.substr(0, path_.rfind('/'));
    GuardLock guard(folder);
    if (guard.Held() && OfdLock(fd_, F_WRLCK, 0, false)) unlink(path_.c_str());
  }
  close(fd_);
}

std::u16string CanonicalObjectName(const std::u16string& name) {
  for (const char16_t* prefix : {u"Local\\", u"Global\\", u"Session\\"}) {
    std::u16string p(prefix);
    if (name.compare(0, p.size(), p) == 0) return name.substr(p.size());
  }
  return name;
}

void* NamedObjectFile::Payload() { return static_cast<char*>(map_) + kPayloadOffset; }
bool NamedObjectFile::TryLockOwnership() { return OfdLock(fd_, F_WRLCK, 1, false); }
void NamedObjectFile::UnlockOwnership() { OfdLock(fd_, F_UNLCK, 1, false); }

NamedOpen NamedObjects::OpenOrCreate(const std::u16string& name, ObjectType type, bool create, PayloadInit init,
                                     const void* context, bool takeOwnership) {
  if (name.empty() || name.size() > MAX_PATH) return Fail(ERROR_INVALID_NAME);
  if (CanonicalObjectName(name).find(u'\\') != std::u16string::npos) return Fail(ERROR_PATH_NOT_FOUND);
  std::string folder = NamespaceFolder();
  if (!EnsurePrivateFolder(folder)) return Fail(ERROR_ACCESS_DENIED);

  GuardLock guard(folder);
  if (!guard.Held()) return Fail(ERROR_ACCESS_DENIED);

  std::unique_ptr<NamedObjectFile> file(new NamedObjectFile);
  file->path_ = folder + "/" + FileNameFor(name);
  int flags = O_RDWR | O_CLOEXEC | O_NOFOLLOW | (create ? O_CREAT : 0);
  file->fd_ = open(file->path_.c_str(), flags, 0600);
  if (file->fd_ < 0) return Fail(errno == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED);

  // Nobody holds a shared lock on byte 0: the object does not exist (a file may linger after a
  // crash); create it afresh or report it missing.
  bool existed = !OfdLock(file->fd_, F_WRLCK, 0, false);
  if (!existed) {
    if (!create) {
      OfdLock(file->fd_, F_UNLCK, 0, false);
      return Fail(ERROR_FILE_NOT_FOUND);
    }
    if (ftruncate(file->fd_, 0) != 0 || ftruncate(file->fd_, kMapSize) != 0) return Fail(ERROR_ACCESS_DENIED);
  }
  file->map_ = mmap(nullptr, kMapSize, PROT_READ | PROT_WRITE, MAP_SHARED, file->fd_, 0);
  if (file->map_ == MAP_FAILED) {
    file->map_ = nullptr;
    return Fail(ERROR_NOT_ENOUGH_MEMORY);
  }
  SharedHeader* h = Header(file->map_);
  bool owned = false;
  if (!existed) {
    h->type = static_cast<uint32_t>(type);
    if (init) init(file->Payload(), context);
    if (takeOwnership) owned = file->TryLockOwnership();
    h->magic = kMagic;
  } else if (h->magic != kMagic || h->type != static_cast<uint32_t>(type)) {
    return Fail(ERROR_INVALID_HANDLE);
  }
  // Now one of the holders: shared lock on byte 0 (converting our exclusive one when we created).
  if (!OfdLock(file->fd_, F_RDLCK, 0, true)) return Fail(ERROR_ACCESS_DENIED);
  file->holder_ = true;

  NamedOpen r;
  r.file = std::move(file);
  r.existed = existed;
  r.owned = owned;
  return r;
}

NamedOpen NamedObjects::Create(const std::u16string& name, ObjectType type, PayloadInit init, const void* context,
                               bool takeOwnership) {
  return OpenOrCreate(name, type, true, init, context, takeOwnership);
}

NamedOpen NamedObjects::Open(const std::u16string& name, ObjectType type) {
  return OpenOrCreate(name, type, false, nullptr, nullptr, false);
}

}  // namespace qvp

namespace qvplatform::testing {

void SetObjectNamespace(const std::string& folder) {
  std::lock_guard<std::mutex> lock(qvp::g_namespaceMutex);
  qvp::g_namespaceOverride = folder;
}

}  // namespace qvplatform::testing
