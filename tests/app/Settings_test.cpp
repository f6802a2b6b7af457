// The settings files on disk, in a private application-data folder per test.
#include "app/Settings.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "support/TempFolder.h"

namespace fs = std::filesystem;

namespace {

class SettingsFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = appData_ / "QvGameAssist";
    setenv("XDG_CONFIG_HOME", appData_.c_str(), 1);
  }
  void TearDown() override {
    std::error_code ec;
    fs::permissions(folder_, fs::perms::owner_all, ec);  // a test may have made it read-only
    unsetenv("XDG_CONFIG_HOME");
  }

  void Put(const char* name, const std::string& bytes) {
    fs::create_directories(folder_);
    temp_.Put(fs::path("QvGameAssist") / name, bytes);
  }
  std::string Get(const char* name) const { return temp_.Get(fs::path("QvGameAssist") / name); }
  bool Exists(const char* name) const { return fs::exists(folder_ / name); }
  // Only the three settings files are ever left in the folder.
  void ExpectNoStrayFiles() const {
    for (const auto& entry : fs::directory_iterator(folder_)) {
      std::string name = entry.path().filename().string();
      EXPECT_TRUE(name == "QvGameAssit.xml" || name == "QvGameTips.xml" || name == "QvGameAssistSkin.xml") << name;
    }
  }

  qvtest::TempFolder temp_{"qv-settings"};
  const fs::path& appData_ = temp_.Path();
  fs::path folder_;
};

TEST_F(SettingsFiles, FolderIsTheApplicationDataFolderPlusQvGameAssist) {
  CDuiString folder = GetSettingsFolder();
  EXPECT_EQ(std::u16string(folder.GetData()), fs::path(appData_).u16string() + u"\\QvGameAssist");
}

TEST_F(SettingsFiles, MissingFolderGivesDefaultsAndTheFirstWriteCreatesIt) {
  EXPECT_EQ(ReadTipsIndex(), 0);
  EXPECT_EQ(ReadSkinOption(), 2);
  bool autoConnect = true;
  std::vector<CDuiString> rooms;
  ReadRoomHistory(autoConnect, rooms);
  EXPECT_TRUE(autoConnect);  // left as the caller set it
  EXPECT_TRUE(rooms.empty());
  EXPECT_FALSE(fs::exists(folder_));

  AdvanceTipsIndex();
  EXPECT_EQ(Get("QvGameTips.xml"), "<TipsIndex>1</TipsIndex>\r\n");
  ExpectNoStrayFiles();
}

TEST_F(SettingsFiles, AMissingApplicationDataFolderIsMadeWholeByTheFirstWrite) {
  const fs::path deep = appData_ / "home" / ".config";
  setenv("XDG_CONFIG_HOME", deep.c_str(), 1);
  WriteRoomHistory({CDuiString(u"888")}, false);
  bool autoConnect = true;
  std::vector<CDuiString> rooms;
  ReadRoomHistory(autoConnect, rooms);
  EXPECT_FALSE(autoConnect);
  EXPECT_EQ(rooms, std::vector<CDuiString>{CDuiString(u"888")});
  EXPECT_TRUE(fs::exists(deep / "QvGameAssist" / "QvGameAssit.xml"));
}

TEST_F(SettingsFiles, HistoryIsWrittenByteExactAndReadBack) {
  WriteRoomHistory({CDuiString(u"12345")}, true);
  EXPECT_EQ(Get("QvGameAssit.xml"), "<AutoConnect>1</AutoConnect>\r\n<RoomID0>12345</RoomID0>\r\n");

  WriteRoomHistory({CDuiString(u"1"), CDuiString(u"22"), CDuiString(u"333")}, false);
  EXPECT_EQ(Get("QvGameAssit.xml"),
            "<AutoConnect>0</AutoConnect>\r\n<RoomID0>1</RoomID0>\r\n<RoomID1>22</RoomID1>\r\n<RoomID2>333</RoomID2>\r\n");
  bool autoConnect = true;
  std::vector<CDuiString> rooms{CDuiString(u"kept")};
  ReadRoomHistory(autoConnect, rooms);
  EXPECT_FALSE(autoConnect);
  ASSERT_EQ(rooms.size(), 4u);
  EXPECT_TRUE(rooms[0] == u"kept");  // appended to
  EXPECT_TRUE(rooms[3] == u"333");

  WriteRoomHistory({}, true);
  EXPECT_EQ(Get("QvGameAssit.xml"), "<AutoConnect>1</AutoConnect>\r\n");
  ExpectNoStrayFiles();
}

TEST_F(SettingsFiles, HistoryReadingRules) {
  struct Case {
    const char* file;
    bool autoConnect;
    std::vector<std::u16string> rooms;
  } cases[] = {
      {"<AutoConnect>true</AutoConnect>", false, {}},
      {"<AutoConnect>01</AutoConnect>", false, {}},
      {"<AutoConnect>1</AutoConnect>", true, {}},
      {"<RoomID0>1</RoomID0><RoomID1>2</RoomID1><RoomID3>4</RoomID3>", false, {u"1", u"2"}},
      {"<RoomID1>2</RoomID1>\n<RoomID0>1</RoomID0>", false, {u"1"}},
      // The search only moves forward: after AutoConnect, RoomID0 before it is not found.
      {"  <RoomID0>7</RoomID0>\n\n\t<AutoConnect>1</AutoConnect>", true, {}},
      {"<AutoConnect>1</AutoConnect><RoomID0>5</RoomID0", true, {u""}},  // unended: no content
      {"not xml at all", false, {}},
  };
  for (const Case& c : cases) {
    Put("QvGameAssit.xml", c.file);
    bool autoConnect = false;
    std::vector<CDuiString> rooms;
    ReadRoomHistory(autoConnect, rooms);
    EXPECT_EQ(autoConnect, c.autoConnect) << c.file;
    ASSERT_EQ(rooms.size(), c.rooms.size()) << c.file;
    for (size_t i = 0; i < rooms.size(); ++i) EXPECT_EQ(std::u16string(rooms[i].GetData()), c.rooms[i]) << c.file;
  }
}

TEST_F(SettingsFiles, TipsRotateThroughSix) {
  for (int expected : {1, 2, 3, 4, 5, 0, 1}) {
    AdvanceTipsIndex();
    EXPECT_EQ(ReadTipsIndex(), expected);
  }
  struct Case {
    const char* stored;
    const char* rewritten;
  } cases[] = {{"5", "0"}, {"9", "0"}, {"-3", "-2"}, {"abc", "1"}, {"99999999999", "0"}};
  for (const Case& c : cases) {
    Put("QvGameTips.xml", std::string("<TipsIndex>") + c.stored + "</TipsIndex>\r\n");
    AdvanceTipsIndex();
    EXPECT_EQ(Get("QvGameTips.xml"), std::string("<TipsIndex>") + c.rewritten + "</TipsIndex>\r\n") << c.stored;
  }
  // A file that does not load counts as 0.
  Put("QvGameTips.xml", "<TipsIndex>3</TipsIndex><Other/>");
  EXPECT_EQ(ReadTipsIndex(), 0);
}

TEST_F(SettingsFiles, SkinOptionDefaultsAndRange) {
  struct Case {
    const char* stored;
    int skin;
  } cases[] = {{"7", 2}, {"abc", 0}, {"3", 3}, {"0", 0}, {" 1x", 1}, {"-1", 2}};
  for (const Case& c : cases) {
    Put("QvGameAssistSkin.xml", std::string("<SkinOpt>") + c.stored + "</SkinOpt>");
    EXPECT_EQ(ReadSkinOption(), c.skin) << c.stored;
  }
  Put("QvGameAssistSkin.xml", "<SkinOpt>1</SkinOpt><x/>");
  EXPECT_EQ(ReadSkinOption(), 2);  // malformed
  SaveSkinOption(1);
  EXPECT_EQ(Get("QvGameAssistSkin.xml"), "<SkinOpt>1</SkinOpt>\r\n");
  EXPECT_EQ(ReadSkinOption(), 1);
}

TEST_F(SettingsFiles, FailedSaveLeavesThePreviousFileByteForByte) {
  WriteRoomHistory({CDuiString(u"12345")}, true);
  std::string before = Get("QvGameAssit.xml");
  // Something that cannot be written where the new file is first saved.
  fs::create_directories(folder_ / "QvGameAssit.xml.tmp");
  WriteRoomHistory({CDuiString(u"999")}, false);
  EXPECT_EQ(Get("QvGameAssit.xml"), before);
  fs::remove(folder_ / "QvGameAssit.xml.tmp");
  WriteRoomHistory({CDuiString(u"999")}, false);
  EXPECT_EQ(Get("QvGameAssit.xml"), "<AutoConnect>0</AutoConnect>\r\n<RoomID0>999</RoomID0>\r\n");
}

TEST_F(SettingsFiles, SaveIntoReadOnlyFolderLeavesThePreviousFile) {
  SaveSkinOption(3);
  fs::permissions(folder_, fs::perms::owner_read | fs::perms::owner_exec);
  {
    std::ofstream probe(folder_ / "probe", std::ios::binary);
    if (probe.is_open()) {
      probe.close();
      fs::remove(folder_ / "probe");
      GTEST_SKIP() << "this user writes into read-only folders (root)";
    }
  }
  SaveSkinOption(0);
  EXPECT_EQ(Get("QvGameAssistSkin.xml"), "<SkinOpt>3</SkinOpt>\r\n");
  EXPECT_EQ(ReadSkinOption(), 3);
}

TEST_F(SettingsFiles, HomeConfigIsTheFallback) {
  unsetenv("XDG_CONFIG_HOME");
  std::string home = getenv("HOME") ? getenv("HOME") : "";
  setenv("HOME", appData_.c_str(), 1);
  CDuiString folder = GetSettingsFolder();
  if (!home.empty()) setenv("HOME", home.c_str(), 1);
  EXPECT_EQ(std::u16string(folder.GetData()), appData_.u16string() + u"/.config\\QvGameAssist");
}

}  // namespace
