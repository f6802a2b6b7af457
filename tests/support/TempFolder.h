// A fresh folder under the system's temporary directory, removed with everything in it when the
// object goes; with helpers to write and read whole files in it.
#pragma once

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

namespace qvtest {

class TempFolder {
 public:
  explicit TempFolder(const std::string& prefix) {
    std::random_device rd;
    path_ = std::filesystem::temp_directory_path() / (prefix + "-" + std::to_string(rd()) + std::to_string(rd()));
    std::filesystem::create_directories(path_);
  }
  ~TempFolder() {
    std::error_code ec;
    // A test may have taken the rights away to make writes fail.
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ec);
    std::filesystem::remove_all(path_, ec);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::filesystem::path& Path() const { return path_; }
  void Put(const std::filesystem::path& name, const std::string& bytes) const {
    std::ofstream(path_ / name, std::ios::binary) << bytes;
  }
  std::string Get(const std::filesystem::path& name) const {
    std::ifstream in(path_ / name, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
  }

 private:
  std::filesystem::path path_;
};

}  // namespace qvtest
