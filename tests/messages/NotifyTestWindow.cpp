#include "NotifyTestWindow.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>

#include "net/SessionNotify.h"

namespace qvtest {
namespace {

const WCHAR kClassName[] = u"QvNotifyTestWnd";
const UINT kWorkerDone = WM_APP + 77;

void RegisterOnce(WNDPROC proc) {
  static bool registered = [proc] {
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = proc;
    wc.lpszClassName = kClassName;
    return RegisterClassExW(&wc) != 0;
  }();
  (void)registered;
}

}  // namespace

std::string QuoteBytes(const std::string& bytes) {
  std::string out = "\"";
  for (unsigned char c : bytes) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof(buf), "\\x%02X", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

namespace {

std::string Quote(const CDuiString& text) { return QuoteBytes(ToUtf8(text)); }

std::string Display(const stVirelMsg& msg) { return " text=" + Quote(msg.GetNickName() + msg.GetMsgText()); }

}  // namespace

std::string ToUtf8(const CDuiString& text) {
  int n = WideCharToMultiByte(CP_UTF8, 0, text.GetData(), text.GetLength(), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
  if (n > 0) WideCharToMultiByte(CP_UTF8, 0, text.GetData(), text.GetLength(), &out[0], n, nullptr, nullptr);
  return out;
}

std::string RenderRecord(const char* role, WPARAM kind, const stVirelWebsockMsg& record, const GUID& expected) {
  std::string line = role;
  const stVirelWebsockMsg* rec = &record;
  if (auto* chat = dynamic_cast<const stVirelMsgChat*>(rec); chat && kind == WEBSOCK_NOTIFY_CHAT) {
    line += " CHAT nickname=" + Quote(chat->nickname) + " content=" + Quote(chat->content) + Display(*chat);
  } else if (auto* gift = dynamic_cast<const stVirelMsgGift*>(rec); gift && kind == WEBSOCK_NOTIFY_GIFT) {
    line += " GIFT nickname=" + Quote(gift->nickname) + " giftCount=" + std::to_string(gift->giftCount) +
            " giftName=" + Quote(gift->giftName) + " sendPrice=" + std::to_string(gift->sendPrice) +
            " rsvPrice=" + std::to_string(gift->rsvPrice) + " unit=" + Quote(gift->unit) + Display(*gift);
  } else if (auto* enter = dynamic_cast<const stVirelMsgEnter*>(rec); enter && kind == WEBSOCK_NOTIFY_ENTER) {
    line += " ENTER nickname=" + Quote(enter->nickname) + Display(*enter);
  } else if (auto* count = dynamic_cast<const stWebsockMsgUsercount*>(rec);
             count && kind == WEBSOCK_NOTIFY_USERCOUNT) {
    line += " USERCOUNT userCount=" + std::to_string(count->userCount);
  } else if (auto* online = dynamic_cast<const stWebsockMsgOnlineState*>(rec);
             online && kind == WEBSOCK_NOTIFY_ONLINESTATE) {
    line += " ONLINESTATE online=" + std::to_string(online->online);
  } else {
    line += " UNEXPECTED kind=" + std::to_string(kind);
  }
  if (std::memcmp(&record.connectGuid, &expected, sizeof(GUID)) != 0) line += " guid=OTHER";
  return line;
}

NotifyTestWindow::NotifyTestWindow(const char* role, const GUID& expectedGuid, Mode mode)
    : m_role(role), m_expected(expectedGuid), m_mode(mode) {
  RegisterOnce(&NotifyTestWindow::Proc);
  m_hWnd = CreateWindowExW(0, kClassName, u"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
  if (m_hWnd) SetWindowLongPtrW(m_hWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
}

NotifyTestWindow::~NotifyTestWindow() { Destroy(); }

void NotifyTestWindow::Destroy() {
  if (m_hWnd) DestroyWindow(m_hWnd);
  m_hWnd = nullptr;
}

LRESULT CALLBACK NotifyTestWindow::Proc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
  auto* self = reinterpret_cast<NotifyTestWindow*>(GetWindowLongPtrW(hWnd, GWLP_USERDATA));
  if (!self || uMsg != WM_WEBSOCK_NOTIFY) return DefWindowProcW(hWnd, uMsg, wParam, lParam);
  self->m_lastThread = GetCurrentThreadId();
  std::unique_ptr<stVirelWebsockMsg> record;
  if (self->m_mode == kCurrentSessionOnly)
    record = AcceptSessionRecord(lParam);
  else
    record.reset(reinterpret_cast<stVirelWebsockMsg*>(lParam));
  if (!record) {
    ++self->m_dropped;
    return 0;
  }
  self->m_lines.push_back(RenderRecord(self->m_role.c_str(), wParam, *record, self->m_expected));
  return 0;
}

void RunOnWorkerWhilePumping(const std::function<void()>& fn) {
  DWORD uiThread = GetCurrentThreadId();
  MSG msg;
  PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);  // make sure this thread has a queue
  std::thread worker([&] {
    fn();
    PostThreadMessageW(uiThread, kWorkerDone, 0, 0);
  });
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    if (!msg.hwnd && msg.message == kWorkerDone) break;
    DispatchMessageW(&msg);
  }
  worker.join();
  PumpPending();
}

void PumpPending() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
}

GUID MakeGuid(uint8_t seed) {
  GUID g;
  auto* bytes = reinterpret_cast<uint8_t*>(&g);
  for (size_t i = 0; i < sizeof(GUID); ++i) bytes[i] = static_cast<uint8_t>(seed + i * 7);
  return g;
}

}  // namespace qvtest
