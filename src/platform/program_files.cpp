#include "program_files.h"

#include <sys/stat.h>
#include <unistd.h>

namespace qvp {
namespace {

bool IsFolder(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The folder of the running executable, ending in '/'.
std::string ExecutableFolder() {
  char exe[4096];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0) return "./";
  std::string dir(exe, static_cast<size_t>(n));
  return dir.substr(0, dir.find_last_of('/') + 1);
}

}  // namespace

std::string ProgramDataFolder(const std::string& name) {
  std::string exe = ExecutableFolder();
  std::string beside = exe + name + "/";
  if (IsFolder(beside)) return beside;
  std::string prefix = exe.substr(0, exe.find_last_of('/', exe.size() - 2) + 1);  // the folder above bin/
  std::string installed = prefix + "share/qvgameassist/" + name + "/";
  return IsFolder(installed) ? installed : beside;
}

}  // namespace qvp
