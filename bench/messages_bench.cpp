// Decoding throughput: room payloads of a realistic mix, from the received bytes to the record
// in the overlay's queue (counts and online states are sent, so they are handled in the call).
// Prints messages per second on one core; the target is at least 200 000.
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <json.h>

#include "net/SessionNotify.h"
#include "net/WebSockSession.h"

namespace {

LRESULT CALLBACK FreeRecordProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
  if (uMsg != WM_WEBSOCK_NOTIFY) return DefWindowProcW(hWnd, uMsg, wParam, lParam);
  std::unique_ptr<stVirelWebsockMsg> record(reinterpret_cast<stVirelWebsockMsg*>(lParam));
  return 0;
}

HWND MakeWindow(const WCHAR* className) {
  WNDCLASSEXW wc = {};
  wc.cbSize = sizeof(wc);
  wc.lpfnWndProc = FreeRecordProc;
  wc.lpszClassName = className;
  RegisterClassExW(&wc);
  return CreateWindowExW(0, className, u"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
}

// Chat 45%, gifts 20%, entries 20% (some not shown), counts 10%, live state 5%.
std::vector<std::string> MakeMix(int count) {
  const char* nicknames[] = {"小明", "阿狸喵", "Ann", "夜空中最亮的星", "player_2048", "老王"};
  const char* contents[] = {"主播好厉害[x_01good][x_01good]", "哈哈哈[x_14laughing]", "这波操作[x_22awesome]！",
                            "hello everyone", "[x_19bye] 下次见", "666666"};
  std::vector<std::string> mix;
  for (int i = 0; i < count; ++i) {
    std::string nick = nicknames[i % 6];
    int slot = i % 20;
    if (slot < 9) {
      mix.push_back(R"({"MsgTag":10010209,"sNickname":")" + nick + R"(","content":")" + contents[i % 6] +
                    R"(","userId":)" + std::to_string(100000 + i) + "}");
    } else if (slot < 13) {
      mix.push_back(R"({"MsgTag":10010208,"sNickname":")" + nick + R"(","giftCount":)" + std::to_string(1 + i % 99) +
                    R"(,"giftName":"玫瑰","sendPrice":100,"rsvPrice":50,"unit":"个","giftId":12})");
    } else if (slot < 17) {
      mix.push_back(R"({"MsgTag":10010206,"userCount":)" + std::to_string(1000 + i) +
                    R"(,"userInfo":{"nickname":")" + nick + R"(","richLevel":)" + std::to_string(i % 3) +
                    R"(,"propList":[)" + (i % 2 ? "100001" : "5") + "]}}");
    } else if (slot < 19) {
      mix.push_back(R"({"MsgTag":20020113,"userCount":)" + std::to_string(2000 + i) + "}");
    } else {
      mix.push_back(R"({"MsgTag":10010210,"mediaAddress":"rtmp://127.0.0.1/live/room"})");
    }
  }
  return mix;
}

}  // namespace

int main() {
  // The decoder prints a line per chat message to standard output; keep the figures readable.
  if (!std::freopen("/dev/null", "w", stdout)) return 1;

  CWebSockSession session;
  session.m_hWndMsg = MakeWindow(u"QvBenchOverlay");
  session.m_hWndState = MakeWindow(u"QvBenchState");
  session.m_uNotifyMsg = WM_WEBSOCK_NOTIFY;
  stWebSockMainParam param;
  param.pSession = &session;
  param.connectGuid = GUID{1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
  if (!session.m_hWndMsg || !session.m_hWndState) {
    std::fprintf(stderr, "messages_bench: could not create the windows\n");
    return 1;
  }

  const std::vector<std::string> mix = MakeMix(1000);
  const int kBatch = 10000;  // decoded, then the queue is drained (not timed)
  const int kBatches = 40;
  size_t bytes = 0;
  std::chrono::duration<double> decoding{0}, draining{0};
  for (int b = 0; b < kBatches; ++b) {
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < kBatch; ++i) {
      const std::string& payload = mix[static_cast<size_t>(i) % mix.size()];
      session.OnWebsockMessage(&param, payload.data(), payload.size());
      bytes += payload.size();
    }
    auto t1 = std::chrono::steady_clock::now();
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    draining += std::chrono::steady_clock::now() - t1;
    decoding += t1 - t0;
  }
  // json-parser alone on the same payloads: what the decoder adds on top of parsing.
  std::chrono::duration<double> parsing{0};
  for (int b = 0; b < kBatches; ++b) {
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < kBatch; ++i) {
      const std::string& payload = mix[static_cast<size_t>(i) % mix.size()];
      json_settings settings = {};
      char error[json_error_max];
      json_value* root = json_parse_ex(&settings, payload.data(), payload.size(), error);
      if (root) json_value_free(root);
    }
    parsing += std::chrono::steady_clock::now() - t0;
  }
  const double messages = static_cast<double>(kBatch) * kBatches;
  std::fprintf(stderr, "messages_bench: %.0f messages, %.1f MB of payload\n", messages, bytes / 1e6);
  std::fprintf(stderr, "  payload -> record in the queue: %.3f s, %.0f messages/s (target 1000000)\n",
               decoding.count(), messages / decoding.count());
  std::fprintf(stderr, "  dispatching and freeing the records: %.3f s\n", draining.count());
  std::fprintf(stderr, "  json-parser alone, parse and free: %.3f s, %.0f messages/s\n", parsing.count(),
               messages / parsing.count());
  std::fprintf(stderr, "  decoder / parser speed: %.2f (target 0.5)\n", parsing.count() / decoding.count());
  return 0;
}
