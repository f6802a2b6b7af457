// The tray icon's menu of the real program on a private X desktop with a tray host, while another
// program has the keyboard: the menu reads dark on light, a click anywhere else closes it, and its
// items hide and show the messages and end the program.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "e2e/support/XSession.h"
#include "support/Watchdog.h"
#include "tools/RoomSimProcess.h"

using qve2e::SessionOptions;
using qve2e::XSession;

namespace {

void NoPump() { std::this_thread::sleep_for(std::chrono::milliseconds(20)); }

struct Point {
  int x = 0, y = 0;
};

using Geometry = XSession::Geometry;

std::string FileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool Light(const unsigned char* p) { return p[0] >= 190 && p[1] >= 190 && p[2] >= 190; }
bool Dark(const unsigned char* p) { return p[0] <= 110 && p[1] <= 110 && p[2] <= 110; }

class TrayMenu : public ::testing::Test {
 protected:
  void SetUp() override {
    qvtest::SetWatchdogLimit(std::chrono::seconds(150));
    SessionOptions options;
    options.tray = true;
    session_ = std::make_unique<XSession>(options);
    ASSERT_TRUE(session_->ok()) << session_->error();
    config_ = session_->ProgramConfigHome();
  }
  void TearDown() override {
    if (program_ > 0 && ::waitpid(program_, nullptr, WNOHANG) == 0) session_->Stop(program_);
    if (game_ > 0) session_->Stop(game_);
  }

  // The room simulator with one chat line after the join, then quiet (every room message would
  // bring the messages back), and room 888 in the history, connected at once.
  void StartQuietRoom() {
    std::string scenario = session_->folder() + "/scenario.jsonl";
    std::ofstream(scenario)
        << "{\"delay\":3000,\"frame\":{\"MsgTag\":10010209,\"sNickname\":\"Ann\",\"content\":\"hi\"}}\n";
    ASSERT_TRUE(sim_.Start({"--scenario", scenario})) << sim_.startError();
    std::ofstream(config_ + "/QvGameAssist/QvGameAssit.xml", std::ios::binary)
        << "<AutoConnect>1</AutoConnect>\r\n<RoomID0>888</RoomID0>\r\n";
    ::setenv("QV_API_ENDPOINT", ("127.0.0.1:" + std::to_string(sim_.apiPort())).c_str(), 1);
    ::setenv("QV_ROOM_ENDPOINT", ("127.0.0.1:" + std::to_string(sim_.roomPort())).c_str(), 1);
  }

  Geometry GeometryOf(const std::string& id) { return session_->GeometryOf(id); }
  // The largest visible window whose title matches `pattern`.
  Geometry Window(const std::string& pattern) { return session_->LargestWindow(pattern); }
  bool Shown(const std::string& title) { return Window("^" + title + "$").found; }
  // The menu: a viewable window without a name, as wide as the layout makes it (120) and taller
  // than the tray host's strip. Its frame from the window manager has the same place and size.
  Geometry Menu() {
    std::string tree;
    if (!session_->Run({"xwininfo", "-root", "-tree"}, NoPump, &tree)) return Geometry{};
    std::istringstream lines(tree);
    std::string line;
    while (std::getline(lines, line)) {
      // "     0x600026 (has no name): ()  120x88+0+0  +1151+16"
      size_t id = line.find("0x"), size = line.find(": ()  120x");
      if (id == std::string::npos || size == std::string::npos || line.find("(has no name)") == std::string::npos)
        continue;
      Geometry g;
      if (std::sscanf(line.c_str() + size + 6, "%dx%d%*d%*d +%d+%d", &g.width, &g.height, &g.x, &g.y) != 4 ||
          g.height < 60)
        continue;
      std::string info;
      if (!session_->Run({"xwininfo", "-id", line.substr(id, line.find(' ', id) - id)}, NoPump, &info) ||
          info.find("IsViewable") == std::string::npos)
        continue;
      g.found = true;
      return g;
    }
    return Geometry{};
  }

  // The tray icon's middle, once it is docked in the tray host's strip (top right).
  bool TrayIcon(Point& middle, std::string& id) {
    std::string out;
    if (!session_->Run({"xdotool", "search", "--class", "QvTrayIcon"}, NoPump, &out) || out.empty()) return false;
    id = out.substr(0, out.find('\n'));
    if (!session_->Run({"xwininfo", "-id", id}, NoPump, &out) || out.find("IsViewable") == std::string::npos)
      return false;
    auto value = [&](const char* key) {
      size_t at = out.find(key);
      return at == std::string::npos ? -1 : std::atoi(out.c_str() + at + std::strlen(key));
    };
    int x = value("Absolute upper-left X:"), y = value("Absolute upper-left Y:");
    int w = value("Width:"), h = value("Height:");
    middle = Point{x + w / 2, y + h / 2};
    return x >= 1280 - 120 && y >= 0 && y < 32 && w >= 16 && h >= 16;
  }
  // A right click on the tray icon, once the server has the pointer over it; then the menu.
  Geometry OpenMenu() {
    Point icon{0, 0};
    std::string id;
    if (!XSession::WaitFor([&] { return TrayIcon(icon, id); }, NoPump, 10000)) return Geometry{};
    if (!session_->Run({"xdotool", "mousemove", std::to_string(icon.x), std::to_string(icon.y)}, NoPump))
      return Geometry{};
    XSession::WaitFor([&] {
      std::string out;
      return session_->Run({"xdotool", "getmouselocation", "--shell"}, NoPump, &out) &&
             out.find("WINDOW=" + id + "\n") != std::string::npos;
    }, NoPump, 5000);
    if (!session_->Run({"xdotool", "click", "3"}, NoPump)) return Geometry{};
    Geometry menu;
    XSession::WaitFor([&] { return (menu = Menu()).found; }, NoPump, 10000);  // a loaded machine is slow
    return menu;
  }
  // Screen pixels of a rectangle, three bytes each.
  std::string Pixels(const Geometry& g) {
    std::string shot = session_->folder() + "/menu.rgb";
    std::string crop = std::to_string(g.width) + "x" + std::to_string(g.height) + "+" + std::to_string(g.x) + "+" +
                       std::to_string(g.y);
    if (!session_->Run({"import", "-silent", "-window", "root", "-crop", crop, "-depth", "8", "rgb:" + shot}, NoPump))
      return std::string();
    return FileText(shot);
  }
  // The middle of the menu's item `index` (three items, 2 pixels inset, 7 pixels left below).
  Point Item(const Geometry& menu, int index) {
    int row = (menu.height - 7) / 3;
    return Point{menu.x + menu.width / 2, menu.y + 2 + index * row + row / 2};
  }
  bool Click(Point pt) {
    return session_->Run({"xdotool", "mousemove", std::to_string(pt.x), std::to_string(pt.y), "click", "1"}, NoPump);
  }
  bool GameGotKey(const std::string& line) {
    return XSession::WaitFor([&] { return FileText(gameOut_).find(line) != std::string::npos; }, NoPump, 5000);
  }

  std::unique_ptr<XSession> session_;
  simtest::RoomSimProcess sim_;
  std::string config_;
  std::string gameOut_;
  pid_t program_ = -1;
  pid_t game_ = -1;
};

}  // namespace

TEST_F(TrayMenu, ReadsDarkOnLightClosesOnAClickElsewhereAndItsItemsWork) {
  StartQuietRoom();
  program_ = session_->Spawn({QVGAMEASSIST_PATH}, session_->folder() + "/program.out");
  ASSERT_GT(program_, 0);
  ASSERT_TRUE(sim_.WaitForLog({"\"event\":\"join\""}, std::chrono::seconds(20))) << "no join reached the room";
  ASSERT_TRUE(XSession::WaitFor([&] { return Shown("Qv直播助手消息窗体"); }, NoPump, 30000))
      << "the message window did not appear";
  // The room goes quiet: 10 s after its last message the bar hides itself and the messages with
  // it, so the menu offers 显示消息 and greys 隐藏消息 (it stays so until the next message).
  ASSERT_TRUE(XSession::WaitFor([&] { return !Shown("Qv直播助手消息窗体"); }, NoPump, 30000))
      << "the messages did not hide in a quiet room";
  // Another program (the game) takes the keyboard.
  gameOut_ = session_->folder() + "/game.out";
  game_ = session_->Spawn({QV_KEYWINDOW}, gameOut_);
  ASSERT_GT(game_, 0);
  ASSERT_TRUE(GameGotKey("focus")) << "the other program did not get the focus";

  Geometry menu = OpenMenu();
  ASSERT_TRUE(menu.found) << "no menu after a right click on the tray icon";
  // Every item a light background, the enabled ones with dark text.
  std::string pixels = Pixels(menu);
  ASSERT_EQ(pixels.size(), static_cast<size_t>(menu.width * menu.height * 3));
  int row = (menu.height - 7) / 3;
  for (int i = 0; i < 3; ++i) {
    int light = 0, dark = 0, total = 0;
    for (int y = 2 + i * row; y < 2 + (i + 1) * row; ++y)
      for (int x = 2; x < menu.width - 2; ++x) {
        const auto* p = reinterpret_cast<const unsigned char*>(pixels.data() + (y * menu.width + x) * 3);
        light += Light(p);
        dark += Dark(p);
        ++total;
      }
    EXPECT_GT(light, total * 7 / 10) << "item " << i << ": " << light << " light pixels of " << total;
    if (i != 1) {
      EXPECT_GT(dark, 20) << "item " << i << " has no dark text";
    }
  }
  // A click on the bare desktop, where the focus goes nowhere, closes the menu.
  ASSERT_TRUE(Click(Point{700, 650}));
  EXPECT_TRUE(XSession::WaitFor([&] { return !Menu().found; }, NoPump, 5000)) << "the menu stayed open";

  // So does a click on the other program's window, and the keyboard is the other program's after.
  menu = OpenMenu();
  ASSERT_TRUE(menu.found) << "no menu after the second right click";
  ASSERT_TRUE(Click(Point{140, 560}));
  EXPECT_TRUE(XSession::WaitFor([&] { return !Menu().found; }, NoPump, 5000)) << "the menu stayed open";
  ASSERT_TRUE(session_->Run({"xdotool", "key", "a"}, NoPump));
  EXPECT_TRUE(GameGotKey("down 65")) << "the other program does not have the keyboard";

  // 显示消息 brings the bar and the messages back.
  menu = OpenMenu();
  ASSERT_TRUE(menu.found);
  ASSERT_TRUE(Click(Item(menu, 0)));
  EXPECT_TRUE(XSession::WaitFor([&] { return Shown("Qv直播助手消息窗体"); }, NoPump, 5000))
      << "显示消息 did not show the messages";
  EXPECT_TRUE(XSession::WaitFor([&] { return !Menu().found; }, NoPump, 5000));
  // 隐藏消息 folds them away again, the bar staying.
  menu = OpenMenu();
  ASSERT_TRUE(menu.found);
  ASSERT_TRUE(Click(Item(menu, 1)));
  EXPECT_TRUE(XSession::WaitFor([&] { return !Shown("Qv直播助手消息窗体"); }, NoPump, 5000))
      << "隐藏消息 left the messages shown";
  EXPECT_TRUE(Shown("Qv直播助手"));
  EXPECT_TRUE(XSession::WaitFor([&] { return !Menu().found; }, NoPump, 5000));
  // 退出 ends the program.
  menu = OpenMenu();
  ASSERT_TRUE(menu.found);
  ASSERT_TRUE(Click(Item(menu, 2)));
  int status = -1;
  EXPECT_TRUE(XSession::WaitFor([&] { return ::waitpid(program_, &status, WNOHANG) == program_; }, NoPump, 10000))
      << "退出 did not end the program";
  program_ = -1;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
      << "status " << status << "; the program wrote: " << FileText(session_->folder() + "/helpers.log");
}
