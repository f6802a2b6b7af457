// The click-through panel below the main bar that shows the room's latest chat lines, gifts and
// entries, each for 30 s (the last one stays), at most 15, growing and shrinking with its text.
#pragma once

#include <list>
#include <vector>

#include "dui/PaintManagerUI.h"
#include "dui/WindowWnd.h"

struct stVirelMsg;
class CQvGameMainWnd;
class CQvGameWebMsgWnd;

constexpr int MAX_WEBMSG_COUNT = 15;
constexpr UINT WEBMSG_LIFETIME_MS = 30000;

// A line's text as laid out for one usable width and row budget: the nickname's lines, then the
// text's lines (the first continues the nickname's last row). Made once, not at every paint.
struct stWebMsgLines {
  std::vector<CDuiString> nick, text;
  int lineHeight = 0;
  int nickLastWidth = 0;
  int usableWidth = -1;  // -1: not laid out yet
  int budget = 0;        // the rows it was allowed
  bool cut = false;      // cut short (ending in "…") to stay within its budget
  int Rows() const {
    int a = static_cast<int>(nick.size()), b = static_cast<int>(text.size());
    return a > 0 && b > 0 ? a + b - 1 : a + b;
  }
};

struct stWebMsgItem {
  stVirelMsg* pRecord = nullptr;  // owned
  CQvGameWebMsgWnd* pWnd = nullptr;
  UINT uTimerId = 0;  // 0: no expiry running
  // The expiry names the item by the serial of its current arming, never by its address: an item
  // pushed out and freed while its expiry is queued cannot be taken for a later item that gets the
  // same address. The timer thread reads these two; they are set before the timer starts.
  HWND hWndTarget = nullptr;
  WPARAM uSerial = 0;
  // The record's texts, fetched once and kept to what an overlay could ever show.
  CDuiString sNickName, sMsgText;
  stWebMsgLines lines;
  int nShownRows = 0;  // rows it has in the overlay now; 0 when newer lines take all the room
};

class CQvGameWebMsgWnd : public CWindowWnd, public INotifyUI {
 public:
  CQvGameWebMsgWnd(HWND hWndMainBar, HWND hWndMask, CQvGameMainWnd* pMainWnd);
  ~CQvGameWebMsgWnd() override;

  CPaintManagerUI m_pm;
  COLORREF m_crNickname = RGB(213, 120, 177);  // the main bar sets both with its skin
  COLORREF m_crText = RGB(134, 241, 116);
  // Everything below is the window's own; public for the tests that look at it.
  std::list<stWebMsgItem*> m_items;
  HFONT m_hFont = nullptr;
  HBRUSH m_hBkBrush = nullptr;
  HWND m_hWndMask = nullptr;
  CQvGameMainWnd* m_pMainWnd = nullptr;
  // Layout waits for the next frame; many records in one frame are laid out and painted once.
  bool m_bLayoutPending = false;
  bool m_bLayoutTimed = false;  // the pending layout waits for its timer
  bool m_bLayoutBelowBar = false;  // the pending layout hangs the overlay below the bar again
  DWORD m_dwLastLayout = 0;
  DWORD m_dwLayoutCredit = 0;  // ms of layout pacing credit left at the last layout

 protected:
  LPCWSTR GetWindowClassName() const override { return u"UIGameWebMsgFrame"; }
  UINT GetClassStyle() const override { return CS_VREDRAW | CS_HREDRAW | CS_DBLCLKS | CS_SAVEBITS; }
  LRESULT HandleMessage(UINT uMsg, WPARAM wParam, LPARAM lParam) override;
  void Notify(TNotifyUI& msg) override { (void)msg; }
};
