// Shell and file subset: the user's folders, file and folder operations, the runtime's wide
// fopen, and the texts of the error codes these set. Paths may use '\' or '/' as separator.
#pragma once

#include <cstdarg>
#include <cstdio>

#include "types.h"

#define CSIDL_APPDATA 0x001a
#define CSIDL_FLAG_CREATE 0x8000

#define MOVEFILE_REPLACE_EXISTING 0x00000001u
#define MOVEFILE_WRITE_THROUGH 0x00000008u

#define ERROR_NOT_SAME_DEVICE 17L
#define ERROR_SHARING_VIOLATION 32L
#define ERROR_HANDLE_DISK_FULL 39L
#define ERROR_DISK_FULL 112L
#define ERROR_DIR_NOT_EMPTY 145L
#define ERROR_FILENAME_EXCED_RANGE 206L
#define ERROR_DIRECTORY 267L
#define ERROR_MR_MID_NOT_FOUND 317L
#define ERROR_WRITE_PROTECT 19L
#define ERROR_MOD_NOT_FOUND 126L
#define ERROR_ENVVAR_NOT_FOUND 203L

#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200u
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000u

// The roaming application-data folder is $XDG_CONFIG_HOME, else ~/.config. lpszPath holds at
// least MAX_PATH characters; with fCreate the folder is created when missing.
BOOL SHGetSpecialFolderPathW(HWND hwndOwner, LPWSTR lpszPath, int csidl, BOOL fCreate);

// TRUE when a file or folder exists at the path.
BOOL PathFileExistsW(LPCWSTR pszPath);
BOOL DeleteFileW(LPCWSTR lpFileName);
// Creates the last level of the path only.
BOOL CreateDirectoryW(LPCWSTR lpPathName, LPSECURITY_ATTRIBUTES lpSecurityAttributes);
BOOL RemoveDirectoryW(LPCWSTR lpPathName);
// Renames within one file system. Without MOVEFILE_REPLACE_EXISTING an existing target fails with
// ERROR_ALREADY_EXISTS; with MOVEFILE_WRITE_THROUGH the data and the rename are on disk on return.
BOOL MoveFileExW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName, DWORD dwFlags);

// The runtime's fopen with a wide path and mode ("rb", "wb", "ab"...). A folder never opens.
// On failure errno and the last error are set.
FILE* _wfopen(const WCHAR* filename, const WCHAR* mode);

// The system text of an error code (FORMAT_MESSAGE_FROM_SYSTEM with FORMAT_MESSAGE_IGNORE_INSERTS),
// ending in CR LF. Returns its length, 0 when the code has no text or the buffer is too small.
DWORD FormatMessageW(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId, LPWSTR lpBuffer,
                     DWORD nSize, va_list* Arguments);

// The program's module: GetModuleHandleW(nullptr) is the one module there is. Its file name is the
// running executable's full path; a buffer too small gets a truncated, terminated name, the result
// nSize and ERROR_INSUFFICIENT_BUFFER.
HMODULE GetModuleHandleW(LPCWSTR lpModuleName);
DWORD GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize);
BOOL SetCurrentDirectoryW(LPCWSTR lpPathName);
// Returns the length without the terminator, or the size needed (with it) when nBufferLength is too small.
DWORD GetCurrentDirectoryW(DWORD nBufferLength, LPWSTR lpBuffer);
// The process environment. Returns the value's length, or the size needed (with the terminator)
// when nSize is too small; 0 with ERROR_ENVVAR_NOT_FOUND when the variable is not set.
DWORD GetEnvironmentVariableW(LPCWSTR lpName, LPWSTR lpBuffer, DWORD nSize);
