// The real program over a game: a focused full-screen window of another program covers the screen
// while room messages arrive, on three desktops (openbox alone, openbox with xcompmgr, xfwm4 with
// its compositor). The bar and the messages stay above the game without taking its keyboard,
// clicks on the messages reach the game, and the messages' text is crisp without a compositor and
// truly translucent with one.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "e2e/support/XSession.h"
#include "support/Watchdog.h"
#include "tools/RoomSimProcess.h"

using qve2e::SessionOptions;
using qve2e::WindowPixels;
using qve2e::XSession;

namespace {

enum class Desktop { Openbox, OpenboxXcompmgr, Xfwm4 };

std::string NameOf(Desktop d) {
  switch (d) {
    case Desktop::Openbox: return "Openbox";
    case Desktop::OpenboxXcompmgr: return "OpenboxXcompmgr";
    default: return "Xfwm4";
  }
}

void PrintTo(Desktop d, std::ostream* os) { *os << NameOf(d); }

constexpr long kGame = 0x3060C0;  // the game's one colour
constexpr int kWidth = 1280, kHeight = 800;

void NoPump() { std::this_thread::sleep_for(std::chrono::milliseconds(20)); }

using Geometry = XSession::Geometry;

std::string FileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

int Channel(long rgb, int shift) { return static_cast<int>((rgb >> shift) & 0xFF); }

// The nickname colour of the default skin, RGB(255, 212, 82): warm and saturated, unlike the game,
// the mask and the white text.
bool Nickname(long rgb) {
  int r = Channel(rgb, 16), g = Channel(rgb, 8), b = Channel(rgb, 0);
  return r > 180 && g > 140 && b < 130 && r - b > 90;
}

// Chat lines `count` times, `gap` ms apart, the first `first` ms after the join.
std::string ChatLines(int first, int count, int gap) {
  std::string lines;
  for (int i = 0; i < count; ++i)
    lines += "{\"delay\":" + std::to_string(i == 0 ? first : gap) +
             ",\"frame\":{\"MsgTag\":10010209,\"sNickname\":\"玩家" + std::to_string(i) +
             "\",\"content\":\"主播好厉害 666\"}}\n";
  return lines;
}

class OverGame : public ::testing::TestWithParam<Desktop> {
 protected:
  void SetUp() override {
    qvtest::SetWatchdogLimit(std::chrono::seconds(120));
    SessionOptions options;
    options.compositor = GetParam() == Desktop::OpenboxXcompmgr;
    options.xfwm4 = GetParam() == Desktop::Xfwm4;
    session_ = std::make_unique<XSession>(options);
    ASSERT_TRUE(session_->ok()) << session_->error();
    config_ = session_->ProgramConfigHome();
  }
  void TearDown() override {
    for (pid_t pid : {program_, game_, other_})
      if (pid > 0) session_->Stop(pid);
  }
  bool Compositing() const { return GetParam() != Desktop::Openbox; }

  // The simulator playing `scenario`, room 888 connected at start; then the program.
  void StartProgram(const std::string& scenario) {
    std::string path = session_->folder() + "/scenario.jsonl";
    std::ofstream(path) << scenario;
    ASSERT_TRUE(sim_.Start({"--scenario", path})) << sim_.startError();
    std::ofstream(config_ + "/QvGameAssist/QvGameAssit.xml", std::ios::binary)
        << "<AutoConnect>1</AutoConnect>\r\n<RoomID0>888</RoomID0>\r\n";
    ::setenv("QV_API_ENDPOINT", ("127.0.0.1:" + std::to_string(sim_.apiPort())).c_str(), 1);
    ::setenv("QV_ROOM_ENDPOINT", ("127.0.0.1:" + std::to_string(sim_.roomPort())).c_str(), 1);
    program_ = session_->Spawn({QVGAMEASSIST_PATH}, session_->folder() + "/program.out");
    ASSERT_GT(program_, 0);
    ASSERT_TRUE(sim_.WaitForLog({"\"event\":\"join\""}, std::chrono::seconds(20))) << "no join reached the room";
    joined_ = std::chrono::steady_clock::now();
    ASSERT_TRUE(WaitForWindow("Qv直播助手消息窗体", overlay_, 30000)) << "the messages did not appear";
  }
  // The game: a window of one colour over the whole screen, holding the keyboard.
  void StartGame() {
    gameOut_ = session_->folder() + "/game.out";
    game_ = session_->Spawn({QV_FULLSCREEN, "3060C0"}, gameOut_);
    ASSERT_GT(game_, 0);
    ASSERT_TRUE(GameLogged("focus")) << "the game did not get the keyboard";
    Geometry game;
    ASSERT_TRUE(XSession::WaitFor([&] {
      game = Window("QvGame");
      return game.found && game.x == 0 && game.y == 0 && game.width == kWidth && game.height == kHeight;
    }, NoPump, 10000)) << "the game does not cover the screen";
  }

  // The largest visible window with exactly this title (the tray icon's window shares the bar's).
  Geometry Window(const std::string& title) { return session_->LargestWindow("^" + title + "$"); }
  bool WaitForWindow(const std::string& title, Geometry& g, int ms = 20000) {
    return XSession::WaitFor([&] { return (g = Window(title)).found; }, NoPump, ms);
  }
  bool Xdotool(std::vector<std::string> args) {
    args.insert(args.begin(), "xdotool");
    return session_->Run(args, NoPump);
  }
  bool Click(int x, int y) { return Xdotool({"mousemove", std::to_string(x), std::to_string(y), "click", "1"}); }
  bool Logged(const std::string& file, const std::string& line, int ms = 5000) {
    return XSession::WaitFor([&] { return FileText(file).find(line + "\n") != std::string::npos; }, NoPump, ms);
  }
  bool GameLogged(const std::string& line, int ms = 5000) { return Logged(gameOut_, line, ms); }
  // A key typed now reaches the game.
  bool GameGetsKey(const std::string& key) { return Xdotool({"key", key}) && GameLogged("key " + key); }

  // The screen, three bytes a pixel; saved as a PNG too when QV_E2E_SHOTS names a folder.
  std::string Screen(const std::string& name) {
    std::string raw = session_->folder() + "/screen.rgb";
    if (!session_->Run({"import", "-silent", "-window", "root", "-depth", "8", "rgb:" + raw}, NoPump)) return "";
    if (const char* shots = std::getenv("QV_E2E_SHOTS"))
      session_->Run({"convert", "-size", std::to_string(kWidth) + "x" + std::to_string(kHeight), "-depth", "8",
                     "rgb:" + raw, std::string(shots) + "/overgame-" + NameOf(GetParam()) + "-" + name + ".png"},
                    NoPump);
    std::string pixels = FileText(raw);
    return pixels.size() == static_cast<size_t>(kWidth * kHeight * 3) ? pixels : "";
  }
  static long At(const std::string& screen, int x, int y) {
    const auto* p = reinterpret_cast<const unsigned char*>(screen.data() + (static_cast<size_t>(y) * kWidth + x) * 3);
    return (p[0] << 16) | (p[1] << 8) | p[2];
  }
  // Pixels of a rectangle on the screen that are not the game's colour, and nickname pixels.
  static void Count(const std::string& screen, const Geometry& g, int& notGame, int& nickname) {
    notGame = nickname = 0;
    for (int y = std::max(0, g.y); y < std::min(kHeight, g.y + g.height); ++y)
      for (int x = std::max(0, g.x); x < std::min(kWidth, g.x + g.width); ++x) {
        long px = At(screen, x, y);
        notGame += px != kGame;
        nickname += Nickname(px);
      }
  }
  // The bar and the messages are drawn over the game: the bar's rectangle is not the game's
  // colour, and the messages show nicknames.
  void ExpectOverTheGame(const std::string& shot) {
    std::string screen = Screen(shot);
    ASSERT_FALSE(screen.empty());
    Geometry bar = Window("Qv直播助手"), messages = Window("Qv直播助手消息窗体");
    ASSERT_TRUE(bar.found && messages.found);
    int notGame = 0, nickname = 0;
    Count(screen, bar, notGame, nickname);
    EXPECT_GT(notGame, bar.width * bar.height * 9 / 10) << shot << ": the bar is not over the game";
    Count(screen, messages, notGame, nickname);
    EXPECT_GT(nickname, 30) << shot << ": no message line over the game";
  }

  std::unique_ptr<XSession> session_;
  simtest::RoomSimProcess sim_;
  std::string config_, gameOut_;
  pid_t program_ = -1, game_ = -1, other_ = -1;
  Geometry overlay_;
  std::chrono::steady_clock::time_point joined_;
};

// The messages' height for `lines` one-line messages (12 pixels of margin above and below, 23 a
// line with its gap).
int HeightFor(int lines) { return 23 * lines + 10; }

}  // namespace

TEST_P(OverGame, BarAndMessagesStayAboveAFocusedFullScreenGameThatKeepsItsKeyboardAndClicks) {
  // Thirty lines 400 ms apart, from 6 s after the join (the bar is up by then), then quiet.
  constexpr int kFirst = 6000, kLines = 30, kGap = 400;
  StartProgram(ChatLines(kFirst, kLines, kGap));
  StartGame();

  // Room messages arrive: the bar and the messages are drawn over the game, which keeps the
  // keyboard after ten of them have woken the bar.
  ASSERT_TRUE(XSession::WaitFor([&] { return Window("Qv直播助手消息窗体").height >= HeightFor(10); }, NoPump,
                                 20000)) << "ten messages did not show";
  ExpectOverTheGame("messages");
  EXPECT_TRUE(GameGetsKey("a")) << "the game lost the keyboard to the room messages";

  // A click on the messages goes through to the game.
  Geometry messages = Window("Qv直播助手消息窗体");
  int cx = messages.x + 30, cy = messages.y + 20;
  ASSERT_TRUE(Click(cx, cy));
  EXPECT_TRUE(GameLogged("click " + std::to_string(cx) + " " + std::to_string(cy)))
      << "the click did not reach the game";

  // The bar is dragged by its caption while messages still arrive; the messages follow it, and the
  // game keeps the keyboard.
  Geometry bar = Window("Qv直播助手");
  int fromX = bar.x + 30, fromY = bar.y + bar.height / 2;
  ASSERT_TRUE(Xdotool({"mousemove", std::to_string(fromX), std::to_string(fromY), "mousedown", "1"}));
  for (int step = 1; step <= 6; ++step)
    ASSERT_TRUE(Xdotool({"mousemove", std::to_string(fromX - 50 * step), std::to_string(fromY + 20 * step)}));
  ASSERT_TRUE(Xdotool({"mouseup", "1"}));
  Geometry moved;
  EXPECT_TRUE(XSession::WaitFor([&] {
    moved = Window("Qv直播助手");
    return moved.x == bar.x - 300 && moved.y == bar.y + 120;
  }, NoPump, 5000)) << "the bar is at " << moved.x << "," << moved.y << ", was at " << bar.x << "," << bar.y;
  EXPECT_TRUE(XSession::WaitFor([&] {
    messages = Window("Qv直播助手消息窗体");
    return messages.x == moved.x && messages.y == moved.y + moved.height;
  }, NoPump, 5000)) << "the messages did not follow the bar";
  EXPECT_TRUE(GameGetsKey("b")) << "dragging the bar took the game's keyboard";

  EXPECT_EQ(FileText(gameOut_).find("unfocus"), std::string::npos) << "the game lost the keyboard:\n"
                                                                    << FileText(gameOut_);

  // Another program takes the keyboard; a click into the game gives it back, and the bar stays
  // above the game.
  std::string otherOut = session_->folder() + "/other.out";
  other_ = session_->Spawn({QV_FULLSCREEN, "C04020", "300x200+100+450"}, otherOut);
  ASSERT_GT(other_, 0);
  ASSERT_TRUE(Logged(otherOut, "focus", 10000)) << "the other program did not get the keyboard";
  ASSERT_TRUE(Xdotool({"key", "d"}));
  EXPECT_TRUE(Logged(otherOut, "key d")) << "the other program did not get its key";
  ASSERT_TRUE(Click(640, 100));
  EXPECT_TRUE(GameLogged("click 640 100"));
  EXPECT_TRUE(GameGetsKey("e")) << "a click into the game did not give it the keyboard";
  EXPECT_TRUE(XSession::WaitFor([&] {
    std::string s = Screen("back");
    return !s.empty() && At(s, 640, 100) == kGame && At(s, moved.x + moved.width / 2, moved.y + 1) != kGame;
  }, NoPump, 5000)) << "the bar is not over the game once it is back in front";

  // The room goes quiet: Shift+Tab folds the messages away from over the game and brings them back.
  std::this_thread::sleep_until(joined_ + std::chrono::milliseconds(kFirst + kLines * kGap + 1000));
  ASSERT_TRUE(Xdotool({"key", "shift+Tab"}));
  EXPECT_TRUE(XSession::WaitFor([&] { return !Window("Qv直播助手消息窗体").found; }, NoPump, 5000))
      << "Shift+Tab did not fold the messages";
  std::string screen = Screen("folded");
  EXPECT_EQ(At(screen, messages.x + 30, messages.y + 20), kGame) << "the messages still show over the game";
  ASSERT_TRUE(Xdotool({"key", "shift+Tab"}));
  EXPECT_TRUE(XSession::WaitFor([&] { return Window("Qv直播助手消息窗体").found; }, NoPump, 5000))
      << "Shift+Tab did not bring the messages back";
  ExpectOverTheGame("unfolded");
  EXPECT_TRUE(GameLogged("key Tab")) << "the game did not get its Tab";
  EXPECT_EQ(::waitpid(program_, nullptr, WNOHANG), 0) << "the program ended";
}

TEST_P(OverGame, MessagesAreCrispWithoutACompositorAndTranslucentWithOneAndTheMaskBlendsTheGame) {
  StartProgram(ChatLines(6000, 4, 300));
  StartGame();
  ASSERT_TRUE(XSession::WaitFor([&] { return Window("Qv直播助手消息窗体").height >= HeightFor(4); }, NoPump,
                                 20000)) << "four messages did not show";
  Geometry messages = Window("Qv直播助手消息窗体");
  WindowPixels image;
  ASSERT_TRUE(session_->ReadWindow(std::strtoul(messages.id.c_str(), nullptr, 10), image));
  // Text pixels are the text's colours (the white text, the nicknames' RGB(255, 212, 82)): each
  // has a channel at full strength. A pixel blended into the black key has none.
  auto dim = [](unsigned rgb) { return std::max({(rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF}) < 0xC0; };
  int ink = 0, dimInk = 0, transparent = 0, keyOpaque = 0, partial = 0;
  for (unsigned px : image.argb) {
    unsigned alpha = px >> 24, rgb = px & 0xFFFFFF;
    if (alpha == 0 || (image.depth != 32 && rgb == 0)) {
      ++transparent;
      continue;
    }
    if (rgb == 0) {
      ++keyOpaque;
      continue;
    }
    ++ink;
    if (alpha < 255) ++partial;
    // Premultiplied: the colour itself is the pixel over its alpha.
    unsigned r = ((rgb >> 16) & 0xFF) * 255 / alpha, g = ((rgb >> 8) & 0xFF) * 255 / alpha;
    unsigned b = (rgb & 0xFF) * 255 / alpha;
    dimInk += dim((std::min(r, 255u) << 16) | (std::min(g, 255u) << 8) | std::min(b, 255u));
  }
  std::printf("%s: depth %d, %d ink pixels (%d partly transparent, %d dim), %d transparent\n",
              NameOf(GetParam()).c_str(), image.depth, ink, partial, dimInk, transparent);
  EXPECT_GT(ink, 300) << "no text in the messages' image";
  EXPECT_LT(dimInk * 50, ink) << "text blends into the key: " << dimInk << " dim pixels of " << ink;
  EXPECT_GT(transparent, image.width * image.height / 2) << "the key does not cover the background";
  if (Compositing()) {
    EXPECT_EQ(image.depth, 32) << "the messages' window has no alpha of its own";
    EXPECT_EQ(keyOpaque, 0) << "key pixels that are not transparent";
    EXPECT_GT(partial * 10, ink) << "the text lost its anti-aliasing";
  } else {
    EXPECT_EQ(image.depth, 24);
    EXPECT_EQ(partial, 0);
  }

  // The mask under the messages: at 100/255 over the game where a compositor runs, an opaque block
  // of its own colour (RGB(119, 121, 125)) where none does. Its right margin has no text.
  std::string screen = Screen("mask");
  ASSERT_FALSE(screen.empty());
  long shown = At(screen, messages.x + messages.width - 6, messages.y + messages.height / 2);
  const long mask = (119 << 16) | (121 << 8) | 125;
  for (int shift : {16, 8, 0}) {
    int want = Compositing() ? (Channel(mask, shift) * 100 + Channel(kGame, shift) * 155 + 127) / 255
                             : Channel(mask, shift);
    EXPECT_NEAR(Channel(shown, shift), want, 3) << std::hex << "mask pixel " << shown;
  }
}

INSTANTIATE_TEST_SUITE_P(Desktops, OverGame,
                         ::testing::Values(Desktop::Openbox, Desktop::OpenboxXcompmgr, Desktop::Xfwm4),
                         [](const ::testing::TestParamInfo<Desktop>& info) { return NameOf(info.param); });
