// Shell folders and file operations, written against the API alone.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "platform/win32.h"
#include "support/TempFolder.h"

namespace fs = std::filesystem;

namespace {

class ShellFiles : public ::testing::Test {
 protected:
  // A path in the Windows style, with backslashes after the folder.
  std::u16string Win(const char* name) const { return dir_.u16string() + u"\\" + fs::path(name).u16string(); }
  void Put(const char* name, const std::string& bytes) { temp_.Put(name, bytes); }
  std::string Get(const char* name) const { return temp_.Get(name); }
  void ExpectError(DWORD error) { EXPECT_EQ(GetLastError(), error); }

  qvtest::TempFolder temp_{"qv-shell"};
  const fs::path& dir_ = temp_.Path();
};

TEST_F(ShellFiles, AppDataFolderComesFromXdgConfigHomeOrHome) {
  WCHAR path[MAX_PATH];
  setenv("XDG_CONFIG_HOME", dir_.c_str(), 1);
  ASSERT_TRUE(SHGetSpecialFolderPathW(nullptr, path, CSIDL_APPDATA, FALSE));
  EXPECT_EQ(std::u16string(path), dir_.u16string());

  setenv("XDG_CONFIG_HOME", "relative/ignored", 1);
  std::string home = getenv("HOME") ? getenv("HOME") : "";
  setenv("HOME", dir_.c_str(), 1);
  ASSERT_TRUE(SHGetSpecialFolderPathW(nullptr, path, CSIDL_APPDATA, FALSE));
  EXPECT_EQ(std::u16string(path), dir_.u16string() + u"/.config");
  EXPECT_FALSE(fs::exists(dir_ / ".config"));
  ASSERT_TRUE(SHGetSpecialFolderPathW(nullptr, path, CSIDL_APPDATA, TRUE));
  EXPECT_TRUE(fs::is_directory(dir_ / ".config"));
  if (!home.empty()) setenv("HOME", home.c_str(), 1);
  unsetenv("XDG_CONFIG_HOME");

  EXPECT_FALSE(SHGetSpecialFolderPathW(nullptr, path, 0x0005, FALSE));  // other folders are not offered
  ExpectError(ERROR_INVALID_PARAMETER);
}

TEST_F(ShellFiles, ExistsAndDelete) {
  Put("a.xml", "x");
  EXPECT_TRUE(PathFileExistsW(Win("a.xml").c_str()));
  EXPECT_TRUE(PathFileExistsW(dir_.u16string().c_str()));
  EXPECT_TRUE(DeleteFileW(Win("a.xml").c_str()));
  EXPECT_FALSE(PathFileExistsW(Win("a.xml").c_str()));
  EXPECT_FALSE(DeleteFileW(Win("a.xml").c_str()));
  ExpectError(ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(DeleteFileW(Win("missing\\a.xml").c_str()));
  ExpectError(ERROR_PATH_NOT_FOUND);
  EXPECT_FALSE(DeleteFileW(dir_.u16string().c_str()));  // a folder
  ExpectError(ERROR_ACCESS_DENIED);
  EXPECT_FALSE(DeleteFileW(nullptr));
  ExpectError(ERROR_INVALID_PARAMETER);
}

TEST_F(ShellFiles, CreateDirectoryMakesTheLastLevelOnly) {
  EXPECT_TRUE(CreateDirectoryW(Win("sub").c_str(), nullptr));
  EXPECT_TRUE(fs::is_directory(dir_ / "sub"));
  EXPECT_FALSE(CreateDirectoryW(Win("sub").c_str(), nullptr));
  ExpectError(ERROR_ALREADY_EXISTS);
  EXPECT_FALSE(CreateDirectoryW(Win("x\\y").c_str(), nullptr));
  ExpectError(ERROR_PATH_NOT_FOUND);
  EXPECT_TRUE(RemoveDirectoryW(Win("sub").c_str()));
  EXPECT_FALSE(fs::exists(dir_ / "sub"));
}

TEST_F(ShellFiles, MoveReplacesOnlyWhenAsked) {
  Put("new", "NEW");
  Put("old", "OLD");
  EXPECT_FALSE(MoveFileExW(Win("new").c_str(), Win("old").c_str(), 0));
  ExpectError(ERROR_ALREADY_EXISTS);
  EXPECT_EQ(Get("old"), "OLD");
  EXPECT_TRUE(MoveFileExW(Win("new").c_str(), Win("old").c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH));
  EXPECT_EQ(Get("old"), "NEW");
  EXPECT_FALSE(fs::exists(dir_ / "new"));
  EXPECT_FALSE(MoveFileExW(Win("new").c_str(), Win("other").c_str(), 0));
  ExpectError(ERROR_FILE_NOT_FOUND);
  fs::create_directories(dir_ / "folder");
  EXPECT_FALSE(MoveFileExW(Win("old").c_str(), Win("folder").c_str(), MOVEFILE_REPLACE_EXISTING));
  ExpectError(ERROR_ACCESS_DENIED);
  EXPECT_EQ(Get("old"), "NEW");
}

TEST_F(ShellFiles, WideFopenTakesWindowsPathsAndRefusesFolders) {
  FILE* f = _wfopen(Win("\u4e2d.txt").c_str(), u"wb");
  ASSERT_NE(f, nullptr);
  fputs("hi", f);
  fclose(f);
  EXPECT_EQ(Get("\xE4\xB8\xAD.txt"), "hi");
  f = _wfopen(Win("\u4e2d.txt").c_str(), u"rt");
  ASSERT_NE(f, nullptr);
  fclose(f);
  EXPECT_EQ(_wfopen(dir_.u16string().c_str(), u"rb"), nullptr);
  ExpectError(ERROR_ACCESS_DENIED);
  EXPECT_EQ(_wfopen(Win("nope").c_str(), u"rb"), nullptr);
  ExpectError(ERROR_FILE_NOT_FOUND);
}

TEST(ShellMessages, SystemTextsOfFileErrors) {
  WCHAR text[256];
  DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, ERROR_FILE_NOT_FOUND,
                           0, text, 256, nullptr);
  EXPECT_EQ(std::u16string(text, n), u"The system cannot find the file specified.\r\n");
  EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_ACCESS_DENIED, 0, text, 5, nullptr), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 999999, 0, text, 256, nullptr), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND));
}

}  // namespace
