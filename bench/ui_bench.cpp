// The windows' cost per room message, on the headless display: a chat line delivered to the
// message overlay under a live main bar (wake the bar, lay out, paint the bar, overlay and mask).
// Prints CPU time per message for lines of several lengths arriving a frame apart, and the rate
// of a flood (messages back to back, laid out and painted once a frame). The display's own copy
// is not included.
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "dui/PaintManagerUI.h"
#include "messages/VirelWebsockMsg.h"
#include "net/SessionNotify.h"
#include "platform/testing.h"
#include "platform/testing_gdi.h"
#include "ui/MainWnd.h"
#include "ui/WebMsgWnd.h"

namespace {

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

void Pump() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
}

}  // namespace

// Arguments, when given, are the line lengths to measure (to profile one of them).
int main(int argc, char** argv) {
  // The bar writes its skin file: into a folder of its own, not the user's settings.
  char folder[] = "/tmp/qv-bench-ui-XXXXXX";
  if (!mkdtemp(folder)) return 1;
  setenv("XDG_CONFIG_HOME", folder, 1);
  qvplatform::testing::SetFontConfigFile(std::string(QV_SOURCE_DIR) + "/Skins/fonts.conf");
  CPaintManagerUI::SetResourcePath(u"" QV_SOURCE_DIR_U16 u"/Skins");
  CoCreateGuid(&g_SessionGuid);
  CQvGameMainWnd& bar = CQvGameMainWnd::Instance();
  bar.m_bSettingsFileExisted = true;
  if (!bar.Create(nullptr, u"Qv直播助手", WS_POPUP | WS_VISIBLE, WS_EX_LAYERED)) {
    std::fprintf(stderr, "the main bar could not be created\n");
    return 1;
  }
  Pump();
  HWND overlay = bar.m_pWebMsgWnd->GetHWND();
  const char16_t* nicknames[] = {u"小明", u"阿狸喵", u"Ann", u"夜空中最亮的星", u"player_2048", u"老王"};
  const char16_t* texts[] = {u"主播好厉害", u"哈哈哈哈哈哈哈哈，这波操作太秀了吧！", u"hello everyone", u"下次见",
                             u"666666", u"请问主播玩的是什么游戏？配置怎么样？"};
  auto post = [&](const CDuiString& nickname, const CDuiString& content) {
    NotifySessionWindow<stVirelMsgChat>(overlay, WM_WEBSOCK_NOTIFY, WEBSOCK_NOTIFY_CHAT, g_SessionGuid,
                                        NotifyDelivery::Post, [&](stVirelMsgChat& r) {
                                          r.nickname = nickname;
                                          r.content = content;
                                        });
  };

  // One message a frame: each is laid out and painted on its own.
  std::vector<int> lengths{20, 200, 4000, 1000000};
  if (argc > 1) lengths.clear();
  for (int i = 1; i < argc; ++i) lengths.push_back(std::atoi(argv[i]));
  qvplatform::testing::FreezeClock();
  for (int length : lengths) {
    std::u16string line;
    for (int i = 0; i < length; ++i) line.push_back(i % 9 == 8 ? u' ' : static_cast<char16_t>(u'a' + i % 26));
    const CDuiString content(line.c_str());
    const int count = length >= 100000 ? 20 : 300;
    for (int round = 0; round < 2; ++round) {  // the first round warms fonts and caches up
      double cpu = 0;  // the UI thread's share: the record is the decoder's work
      for (int i = 0; i < count; ++i) {
        post(nicknames[i % 6], content);
        qvplatform::testing::AdvanceClock(17);
        double cpu0 = CpuSeconds();
        Pump();
        cpu += CpuSeconds() - cpu0;
      }
      if (round == 1)
        std::printf("a %7d-character line a frame: %8.0f us CPU per message\n", length, cpu / count * 1e6);
    }
  }
  qvplatform::testing::SetClockSpeed(1);

  // A flood: messages back to back in real time.
  for (int round = 0; round < 2; ++round) {
    const int count = round == 0 ? 200 : 20000;
    auto start = std::chrono::steady_clock::now();
    double cpu0 = CpuSeconds();
    for (int i = 0; i < count; ++i) {
      post(nicknames[i % 6], texts[(i / 6) % 6]);
      Pump();
    }
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    double cpu = CpuSeconds() - cpu0;
    if (round == 1)
      std::printf("a flood of room messages: %d in %.2f s: %.0f messages/s, %.1f us CPU per message, "
                  "%zu lines shown\n",
                  count, wall, count / wall, cpu / count * 1e6, bar.m_pWebMsgWnd->m_items.size());
  }
  DestroyWindow(bar.GetHWND());
  Pump();
  std::string cleanup = std::string("rm -rf ") + folder;
  return std::system(cleanup.c_str()) == 0 ? 0 : 1;
}
