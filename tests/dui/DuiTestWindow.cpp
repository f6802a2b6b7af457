#include "DuiTestWindow.h"

#include "platform/testing_gdi.h"
#include "support/WindowFixture.h"

namespace qvtest {

namespace {
// The fonts' aliases come from the source tree: the test binaries have no Skins folder beside them.
const bool g_fontsAliased = [] {
  qvplatform::testing::SetFontConfigFile(std::string(QV_SOURCE_DIR) + "/Skins/fonts.conf");
  return true;
}();
}  // namespace

std::string Utf8(const CDuiString& text) {
  int n = ::WideCharToMultiByte(CP_UTF8, 0, text.GetData(), text.GetLength(), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.GetData(), text.GetLength(), out.data(), n, nullptr, nullptr);
  return out;
}

DuiTestWindow::~DuiTestWindow() {
  if (m_hWnd) ::DestroyWindow(m_hWnd);
}

HWND DuiTestWindow::Open(int x, int y, int cx, int cy, DWORD style) {
  HWND hwnd = Create(nullptr, u"test", style, 0, x, y, cx, cy);
  if (!hwnd) return nullptr;
  ::ShowWindow(hwnd, SW_SHOW);
  ::UpdateWindow(hwnd);
  PumpPending();
  return hwnd;
}

POINT DuiTestWindow::ScreenPoint(CControlUI* control) const {
  RECT rc = control->GetPos();
  return ScreenPoint(control, (rc.right - rc.left) / 2, (rc.bottom - rc.top) / 2);
}

POINT DuiTestWindow::ScreenPoint(CControlUI* control, int dx, int dy) const {
  RECT rc = control->GetPos();
  POINT pt{rc.left + dx, rc.top + dy};
  ::ClientToScreen(m_hWnd, &pt);
  return pt;
}

LRESULT DuiTestWindow::HandleMessage(UINT uMsg, WPARAM wParam, LPARAM lParam) {
  if (uMsg == WM_CREATE) {
    m_pm.Init(m_hWnd);
    CDialogBuilder builder;
    CControlUI* root = builder.Create(m_layout.c_str(), nullptr, m_callback, &m_pm);
    built = root != nullptr;
    if (root) m_pm.AttachDialog(root);
    m_pm.AddNotifier(this);
    return 0;
  }
  LRESULT lRes = 0;
  if (m_pm.MessageHandler(uMsg, wParam, lParam, lRes)) return lRes;
  return CWindowWnd::HandleMessage(uMsg, wParam, lParam);
}

void DuiTestWindow::Notify(TNotifyUI& msg) {
  notes.push_back(Utf8(msg.sType) + " " + (msg.pSender ? Utf8(msg.pSender->GetName()) : std::string("-")));
}

}  // namespace qvtest
