// The windows' cost per room message, on the headless display: a chat line delivered to the
// message overlay under a live main bar (wake the bar, lay out, paint the bar, overlay and mask).
// Prints messages per second and CPU time per message; the display's own copy is not included.
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "dui/PaintManagerUI.h"
#include "messages/VirelWebsockMsg.h"
#include "net/SessionNotify.h"
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

int main() {
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
  for (int round = 0; round < 2; ++round) {
    const int count = round == 0 ? 200 : 3000;  // the first round warms fonts and caches up
    auto start = std::chrono::steady_clock::now();
    double cpu0 = CpuSeconds();
    for (int i = 0; i < count; ++i) {
      NotifySessionWindow<stVirelMsgChat>(overlay, WM_WEBSOCK_NOTIFY, WEBSOCK_NOTIFY_CHAT, g_SessionGuid,
                                          NotifyDelivery::Post, [&](stVirelMsgChat& r) {
                                            r.nickname = nicknames[i % 6];
                                            r.content = texts[(i / 6) % 6];
                                          });
      Pump();
    }
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    double cpu = CpuSeconds() - cpu0;
    if (round == 1)
      std::printf("room messages through the windows: %d in %.2f s: %.0f messages/s, %.0f us CPU per message, "
                  "%zu lines shown\n",
                  count, wall, count / wall, cpu / count * 1e6, bar.m_pWebMsgWnd->m_items.size());
  }
  DestroyWindow(bar.GetHWND());
  Pump();
  std::string cleanup = std::string("rm -rf ") + folder;
  return std::system(cleanup.c_str()) == 0 ? 0 : 1;
}
