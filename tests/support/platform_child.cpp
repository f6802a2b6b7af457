// The second process of the cross-process kernel tests. Built only as its own program; the test
// support library compiles this file too (it globs the folder), so main() is behind a macro.
//
//   qv_platform_child <namespace folder> <command> <object name>
//   commands: create-mutex, create-event, set-event, wait-event
//
// It points the layer's object namespace at the folder, does what the command says, prints one
// line of key=value results and, for the commands that hold an object, keeps holding it until its
// standard input closes (the test closes it, or kills the child).
#ifdef QV_PLATFORM_CHILD_MAIN

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/testing.h"
#include "platform/win32.h"

namespace {

std::u16string Widen(const char* utf8) {
  int n = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
  if (n <= 0) return std::u16string();
  std::u16string out(static_cast<size_t>(n), u'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8, -1, out.data(), n);
  out.resize(static_cast<size_t>(n) - 1);
  return out;
}

void Report(const std::string& line) {
  std::fputs((line + "\n").c_str(), stdout);
  std::fflush(stdout);
}

// Blocks until the test closes our standard input.
void HoldUntilReleased() {
  char buf[64];
  while (read(0, buf, sizeof buf) > 0) {
  }
}

std::string N(unsigned long v) { return std::to_string(v); }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s <namespace folder> <command> <name>\n", argv[0]);
    return 2;
  }
  qvplatform::testing::SetObjectNamespace(argv[1]);
  const std::string command = argv[2];
  const std::u16string name = Widen(argv[3]);

  if (command == "create-mutex") {
    // As the program's start-up does: create initially owned, then see whether it is ours.
    HANDLE h = CreateMutexW(nullptr, TRUE, name.c_str());
    DWORD created = h ? GetLastError() : 0;
    DWORD error = h ? 0 : GetLastError();
    DWORD wait = h ? WaitForSingleObject(h, 0) : WAIT_FAILED;
    Report("handle=" + N(h ? 1 : 0) + " create=" + N(created) + " error=" + N(error) + " wait=" + N(wait));
    HoldUntilReleased();
    return 0;
  }
  if (command == "create-event") {
    HANDLE h = CreateEventW(nullptr, FALSE, FALSE, name.c_str());
    DWORD created = h ? GetLastError() : 0;
    DWORD error = h ? 0 : GetLastError();
    Report("handle=" + N(h ? 1 : 0) + " create=" + N(created) + " error=" + N(error));
    HoldUntilReleased();
    return 0;
  }
  if (command == "set-event") {
    // As a second start does: open with the right to set it, and set it.
    HANDLE h = OpenEventW(EVENT_MODIFY_STATE, FALSE, name.c_str());
    DWORD openError = h ? 0 : GetLastError();
    DWORD wait = WAIT_FAILED, waitError = 0, set = 0, setError = 0;
    if (h) {
      SetLastError(0);
      wait = WaitForSingleObject(h, 0);  // not allowed with this access
      waitError = GetLastError();
      set = SetEvent(h) ? 1 : 0;
      setError = set ? 0 : GetLastError();
    }
    Report("handle=" + N(h ? 1 : 0) + " open=" + N(openError) + " wait=" + N(wait) + " waiterr=" + N(waitError) +
           " set=" + N(set) + " seterr=" + N(setError));
    return 0;
  }
  if (command == "wait-event") {
    // Sleeps on the event until killed (or until it is set).
    HANDLE h = OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, name.c_str());
    Report("handle=" + N(h ? 1 : 0));
    DWORD wait = h ? WaitForSingleObject(h, INFINITE) : WAIT_FAILED;
    Report("wait=" + N(wait));
    return 0;
  }
  std::fprintf(stderr, "unknown command %s\n", command.c_str());
  return 2;
}

#endif  // QV_PLATFORM_CHILD_MAIN
