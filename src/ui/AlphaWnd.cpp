#include "ui/AlphaWnd.h"

#include "dui/DialogBuilder.h"
#include "platform/win32.h"

namespace {

constexpr BYTE kMaskAlpha = 100;

void OnCreate(CQvGameAlphaWnd& w, HWND hWnd) {
  w.m_pm.Init(hWnd);
  CDialogBuilder builder;
  CControlUI* pRoot = builder.Create(u"AlphaWnd.xml", nullptr, nullptr, &w.m_pm);
  if (pRoot) w.m_pm.AttachDialog(pRoot);
  w.m_pm.AddNotifier(&w);
  ::SetLayeredWindowAttributes(hWnd, 0, kMaskAlpha, LWA_ALPHA);
  ::SetWindowPos(hWnd, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_SHOWWINDOW);
  // Right edge of the screen, 30 % down; the main bar places it for real right afterwards.
  RECT rcDesktop{0, 0, 0, 0};
  ::GetWindowRect(::GetDesktopWindow(), &rcDesktop);
  RECT rc{0, 0, 0, 0};
  ::GetWindowRect(hWnd, &rc);
  const int left = rcDesktop.right - (rc.right - rc.left);
  const int top = rcDesktop.top + static_cast<int>((rcDesktop.bottom - rcDesktop.top) * 0.3);
  ::SetWindowPos(hWnd, nullptr, left, top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void OnPaint(const CQvGameAlphaWnd& w, HWND hWnd) {
  PAINTSTRUCT ps;
  HDC hdc = ::BeginPaint(hWnd, &ps);
  if (!hdc) return;
  RECT rcClient{0, 0, 0, 0};
  ::GetClientRect(hWnd, &rcClient);
  HBRUSH hBrush = ::CreateSolidBrush(w.m_crFill);
  ::FillRect(hdc, &rcClient, hBrush);
  ::DeleteObject(hBrush);
  ::EndPaint(hWnd, &ps);
}

}  // namespace

LRESULT CQvGameAlphaWnd::HandleMessage(UINT uMsg, WPARAM wParam, LPARAM lParam) {
  switch (uMsg) {
    case WM_CREATE:
      OnCreate(*this, m_hWnd);
      return 0;
    case WM_DESTROY:
      ::PostQuitMessage(0);
      break;
    case WM_PAINT:
      OnPaint(*this, m_hWnd);
      return 0;
    case WM_NCCALCSIZE:
    case WM_NCPAINT:
    case WM_NCLBUTTONDBLCLK:
      return 0;
    case WM_NCHITTEST:
      return HTCAPTION;
    case WM_NCACTIVATE:
      if (!::IsIconic(m_hWnd)) return wParam == 0 ? 1 : 0;
      break;
    default:
      break;
  }
  LRESULT lRes = 0;
  if (m_pm.MessageHandler(uMsg, wParam, lParam, lRes)) return lRes;
  return CWindowWnd::HandleMessage(uMsg, wParam, lParam);
}
