// Shell folders and file operations on the POSIX file system.
#include "win32/shell.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "utf.h"
#include "win32/kernel.h"

namespace {

DWORD ErrorFromErrno(int err) {
  switch (err) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EBUSY:
    case ETXTBSY: return ERROR_ACCESS_DENIED;
    case EROFS: return ERROR_WRITE_PROTECT;
    case EEXIST: return ERROR_ALREADY_EXISTS;
    case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case ENOSPC:
    case EDQUOT: return ERROR_DISK_FULL;
    case EXDEV: return ERROR_NOT_SAME_DEVICE;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case EIO: return ERROR_WRITE_FAULT;
    default: return ERROR_ACCESS_DENIED;
  }
}

// Windows tells a missing file from a missing folder on the way to it.
DWORD MissingError(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos || slash == 0) return ERROR_FILE_NOT_FOUND;
  struct stat st;
  std::string folder = path.substr(0, slash);
  return stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
}

BOOL FailErrno(const std::string& path) {
  int err = errno;
  SetLastError(err == ENOENT ? MissingError(path) : ErrorFromErrno(err));
  return FALSE;
}

// A path for the file system: UTF-8 with '/' separators. False for a null or empty path.
bool NativePath(LPCWSTR path, std::string& out) {
  if (!path) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  if (!*path) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return false;
  }
  out = qvp::ToUtf8(path);
  for (char& c : out)
    if (c == '\\') c = '/';
  return true;
}

bool CreateFolders(const std::string& path) {
  for (size_t at = 1; at <= path.size(); ++at) {
    if (at < path.size() && path[at] != '/') continue;
    std::string part = path.substr(0, at);
    if (mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) return false;
  }
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool SyncPath(const std::string& path, bool folder) {
  int fd = open(path.c_str(), (folder ? O_DIRECTORY : 0) | O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = fsync(fd) == 0;
  close(fd);
  return ok;
}

std::string FolderOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

BOOL SHGetSpecialFolderPathW(HWND, LPWSTR lpszPath, int csidl, BOOL fCreate) {
  if (!lpszPath || (csidl & ~CSIDL_FLAG_CREATE) != CSIDL_APPDATA) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::string folder;
  const char* config = getenv("XDG_CONFIG_HOME");
  if (config && config[0] == '/') {
    folder = config;
  } else {
    const char* home = getenv("HOME");
    if (!home || home[0] != '/') {
      struct passwd* pw = getpwuid(getuid());
      home = pw ? pw->pw_dir : nullptr;
    }
    if (!home || !*home) {
      SetLastError(ERROR_PATH_NOT_FOUND);
      return FALSE;
    }
    folder = std::string(home) + "/.config";
  }
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  std::u16string wide = qvp::ToUtf16(folder);
  if (wide.size() >= MAX_PATH) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return FALSE;
  }
  if ((fCreate || (csidl & CSIDL_FLAG_CREATE)) && !CreateFolders(folder)) return FailErrno(folder);
  std::memcpy(lpszPath, wide.c_str(), (wide.size() + 1) * sizeof(WCHAR));
  return TRUE;
}

BOOL PathFileExistsW(LPCWSTR pszPath) {
  std::string path;
  if (!NativePath(pszPath, path)) return FALSE;
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return FailErrno(path);
  return TRUE;
}

BOOL DeleteFileW(LPCWSTR lpFileName) {
  std::string path;
  if (!NativePath(lpFileName, path)) return FALSE;
  if (unlink(path.c_str()) != 0) return FailErrno(path);
  return TRUE;
}

BOOL CreateDirectoryW(LPCWSTR lpPathName, LPSECURITY_ATTRIBUTES) {
  std::string path;
  if (!NativePath(lpPathName, path)) return FALSE;
  if (mkdir(path.c_str(), 0777) != 0) {
    if (errno == ENOENT) {
      SetLastError(ERROR_PATH_NOT_FOUND);
      return FALSE;
    }
    return FailErrno(path);
  }
  return TRUE;
}

BOOL RemoveDirectoryW(LPCWSTR lpPathName) {
  std::string path;
  if (!NativePath(lpPathName, path)) return FALSE;
  if (rmdir(path.c_str()) != 0) {
    if (errno == ENOTDIR) {
      SetLastError(ERROR_DIRECTORY);
      return FALSE;
    }
    return FailErrno(path);
  }
  return TRUE;
}

BOOL MoveFileExW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName, DWORD dwFlags) {
  std::string from, to;
  if (!NativePath(lpExistingFileName, from) || !NativePath(lpNewFileName, to)) return FALSE;
  if (dwFlags & ~(MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  struct stat source;
  if (lstat(from.c_str(), &source) != 0) return FailErrno(from);
  if (dwFlags & MOVEFILE_WRITE_THROUGH) SyncPath(from, S_ISDIR(source.st_mode));
  if (dwFlags & MOVEFILE_REPLACE_EXISTING) {
    struct stat target;
    // Replacing a folder is refused, as on Windows.
    if (lstat(to.c_str(), &target) == 0 && S_ISDIR(target.st_mode)) {
      SetLastError(ERROR_ACCESS_DENIED);
      return FALSE;
    }
    if (rename(from.c_str(), to.c_str()) != 0) return FailErrno(to);
  } else if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) != 0) {
    return FailErrno(to);
  }
  if (dwFlags & MOVEFILE_WRITE_THROUGH) SyncPath(FolderOf(to), true);
  return TRUE;
}

FILE* _wfopen(const WCHAR* filename, const WCHAR* mode) {
  std::string path;
  if (!NativePath(filename, path) || !mode || !*mode) {
    if (!mode || !*mode) SetLastError(ERROR_INVALID_PARAMETER);
    errno = EINVAL;
    return nullptr;
  }
  std::string narrow;
  for (const WCHAR* m = mode; *m; ++m) {
    if (*m == u',') break;  // ", ccs=..." encodings are not supported
    if (*m == u't') continue;
    if (*m > 0x7F) {
      SetLastError(ERROR_INVALID_PARAMETER);
      errno = EINVAL;
      return nullptr;
    }
    narrow += static_cast<char>(*m);
  }
  narrow += 'e';  // close on exec
  FILE* file = fopen(path.c_str(), narrow.c_str());
  if (!file) {
    FailErrno(path);
    return nullptr;
  }
  struct stat st;
  if (fstat(fileno(file), &st) == 0 && S_ISDIR(st.st_mode)) {
    fclose(file);
    errno = EACCES;
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  return file;
}

DWORD FormatMessageW(DWORD dwFlags, LPCVOID, DWORD dwMessageId, DWORD, LPWSTR lpBuffer, DWORD nSize, va_list*) {
  if (!(dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) || (dwFlags & ~(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS)) ||
      !lpBuffer) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  static const struct {
    DWORD code;
    const char16_t* text;
  } kTexts[] = {
      {ERROR_SUCCESS, u"The operation completed successfully."},
      {ERROR_FILE_NOT_FOUND, u"The system cannot find the file specified."},
      {ERROR_PATH_NOT_FOUND, u"The system cannot find the path specified."},
      {ERROR_ACCESS_DENIED, u"Access is denied."},
      {ERROR_INVALID_HANDLE, u"The handle is invalid."},
      {ERROR_NOT_ENOUGH_MEMORY, u"Not enough memory resources are available to process this command."},
      {ERROR_NOT_SAME_DEVICE, u"The system cannot move the file to a different disk drive."},
      {ERROR_WRITE_PROTECT, u"The media is write protected."},
      {ERROR_WRITE_FAULT, u"The system cannot write to the specified device."},
      {ERROR_READ_FAULT, u"The system cannot read from the specified device."},
      {ERROR_SHARING_VIOLATION, u"The process cannot access the file because it is being used by another process."},
      {ERROR_HANDLE_DISK_FULL, u"The disk is full."},
      {ERROR_FILE_EXISTS, u"The file exists."},
      {ERROR_INVALID_PARAMETER, u"The parameter is incorrect."},
      {ERROR_DISK_FULL, u"There is not enough space on the disk."},
      {ERROR_INVALID_NAME, u"The filename, directory name, or volume label syntax is incorrect."},
      {ERROR_DIR_NOT_EMPTY, u"The directory is not empty."},
      {ERROR_ALREADY_EXISTS, u"Cannot create a file when that file already exists."},
      {ERROR_FILENAME_EXCED_RANGE, u"The filename or extension is too long."},
      {ERROR_DIRECTORY, u"The directory name is invalid."},
      {ERROR_NO_UNICODE_TRANSLATION, u"No mapping for the Unicode character exists in the target multi-byte code page."},
  };
  for (const auto& entry : kTexts) {
    if (entry.code != dwMessageId) continue;
    std::u16string text = std::u16string(entry.text) + u"\r\n";
    if (text.size() + 1 > nSize) {
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return 0;
    }
    std::memcpy(lpBuffer, text.c_str(), (text.size() + 1) * sizeof(WCHAR));
    return static_cast<DWORD>(text.size());
  }
  SetLastError(ERROR_MR_MID_NOT_FOUND);
  return 0;
}

namespace {
// A handle value that names the executable's module; never dereferenced.
HMODULE const kMainModule = reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x400000));

// Copies text with its terminator into a caller's buffer of nSize characters.
DWORD CopyOut(const std::u16string& text, LPWSTR buffer, DWORD nSize, bool truncate) {
  if (text.size() < nSize) {
    std::copy(text.begin(), text.end(), buffer);
    buffer[text.size()] = 0;
    return static_cast<DWORD>(text.size());
  }
  SetLastError(ERROR_INSUFFICIENT_BUFFER);
  if (!truncate) return static_cast<DWORD>(text.size() + 1);
  if (nSize > 0) {
    std::copy(text.begin(), text.begin() + (nSize - 1), buffer);
    buffer[nSize - 1] = 0;
  }
  return nSize;
}
}  // namespace

HMODULE GetModuleHandleW(LPCWSTR lpModuleName) {
  if (lpModuleName) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  return kMainModule;
}

DWORD GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) {
  if (hModule && hModule != kMainModule) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return 0;
  }
  if (!lpFilename && nSize > 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  char path[4096];
  ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) {
    SetLastError(ErrorFromErrno(errno));
    return 0;
  }
  return CopyOut(qvp::ToUtf16(std::string_view(path, static_cast<size_t>(n))), lpFilename, nSize, true);
}

BOOL SetCurrentDirectoryW(LPCWSTR lpPathName) {
  std::string path;
  if (!NativePath(lpPathName, path)) return FALSE;
  if (::chdir(path.c_str()) != 0) return FailErrno(path);
  return TRUE;
}

DWORD GetCurrentDirectoryW(DWORD nBufferLength, LPWSTR lpBuffer) {
  char path[4096];
  if (!::getcwd(path, sizeof path)) {
    SetLastError(ErrorFromErrno(errno));
    return 0;
  }
  if (!lpBuffer) nBufferLength = 0;
  return CopyOut(qvp::ToUtf16(path), lpBuffer, nBufferLength, false);
}

DWORD GetEnvironmentVariableW(LPCWSTR lpName, LPWSTR lpBuffer, DWORD nSize) {
  if (!lpName || !*lpName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const char* value = std::getenv(qvp::ToUtf8(lpName).c_str());
  if (!value) {
    SetLastError(ERROR_ENVVAR_NOT_FOUND);
    return 0;
  }
  if (!lpBuffer) nSize = 0;
  return CopyOut(qvp::ToUtf16(value), lpBuffer, nSize, false);
}
