// The program as `cmake --install` lays it out in a temporary prefix: run from <prefix>/bin, it
// finds its skins, icons and font aliases in <prefix>/share/qvgameassist and draws its login
// window; the desktop entry and the metainfo it installs pass their validators.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "e2e/support/XSession.h"
#include "support/TempFolder.h"
#include "support/Watchdog.h"

using qve2e::XSession;

namespace {

void NoPump() { std::this_thread::sleep_for(std::chrono::milliseconds(20)); }

using Geometry = XSession::Geometry;

Geometry WindowNamed(XSession& session, const std::string& title) {
  return session.LargestWindow("^" + title + "$");
}

std::string FileText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

TEST(Installed, ProgramRunsFromItsPrefixWithItsSkinIconsAndFontsAndItsDesktopFilesAreValid) {
  qvtest::SetWatchdogLimit(std::chrono::seconds(150));
  XSession session;
  ASSERT_TRUE(session.ok()) << session.error();
  qvtest::TempFolder prefix("qv-install");
  const std::filesystem::path root = prefix.Path();
  std::string out;
  ASSERT_TRUE(session.Run({"cmake", "--install", QV_BUILD_DIR, "--prefix", root.string()}, NoPump, &out)) << out;
  ASSERT_TRUE(std::filesystem::exists(root / "bin/qvgameassist"));
  ASSERT_FALSE(std::filesystem::exists(root / "bin/Skins"));  // nothing to find beside the program

  const std::string id = "net.qvgameassist.QvGameAssist";
  EXPECT_TRUE(session.Run({"desktop-file-validate", (root / "share/applications" / (id + ".desktop")).string()}, NoPump,
                          &out))
      << out;
  EXPECT_TRUE(session.Run({"appstreamcli", "validate", "--no-net",
                           (root / "share/metainfo" / (id + ".metainfo.xml")).string()},
                          NoPump, &out))
      << out;
  for (const char* size : {"16x16", "32x32", "48x48", "128x128", "256x256"})
    EXPECT_TRUE(std::filesystem::exists(root / "share/icons/hicolor" / size / "apps" / (id + ".png"))) << size;

  const std::string trace = session.folder() + "/trace.txt";
  ::setenv("QV_TRACE_FILE", trace.c_str(), 1);
  pid_t program = session.Spawn({(root / "bin/qvgameassist").string()}, session.folder() + "/program.out");
  ASSERT_GT(program, 0);
  Geometry login;
  ASSERT_TRUE(XSession::WaitFor([&] { return (login = WindowNamed(session, "Qv直播助手")).found; }, NoPump, 30000))
      << "no login window; the program wrote: " << FileText(session.folder() + "/program.out");
  // The skin's size, frame and background.
  EXPECT_EQ(272, login.width);
  EXPECT_EQ(200, login.height);
  EXPECT_TRUE(XSession::WaitFor([&] {
    return session.Pixel(login.x, login.y + 100, NoPump) == 0xC9D3E0 &&
           session.Pixel(login.x + 10, login.y + 100, NoPump) == 0xF4F6FA;
  }, NoPump, 10000)) << std::hex << session.Pixel(login.x, login.y + 100, NoPump) << " "
                     << session.Pixel(login.x + 10, login.y + 100, NoPump);
  // Its icons (res/) reach the window manager; the font aliases (Skins/fonts.conf) loaded.
  std::string ids, icon;
  ASSERT_TRUE(session.Run({"xdotool", "search", "--onlyvisible", "--name", "^Qv直播助手$"}, NoPump, &ids));
  EXPECT_TRUE(XSession::WaitFor([&] {
    return session.Run({"xprop", "-id", ids.substr(0, ids.find('\n')), "_NET_WM_ICON"}, NoPump, &icon) &&
           icon.find("Icon (32 x 32)") != std::string::npos;
  }, NoPump, 5000)) << icon.substr(0, 200);
  EXPECT_EQ(std::string::npos, FileText(trace).find("font aliases not loaded")) << FileText(trace).substr(0, 2000);
  session.Stop(program);
}

}  // namespace
