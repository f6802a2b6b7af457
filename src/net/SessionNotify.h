// The window messages that carry the session's news to the windows, and the two halves of the
// hand-over every producer and every receiving window go through.
#pragma once

#include <memory>
#include <utility>

#include "messages/VirelWebsockMsg.h"
#include "platform/win32.h"

// Private window messages.
#define WM_WEBSOCK_NOTIFY (WM_USER + 100)    // 1124: wParam kind, lParam record
#define WM_ASSIST_SHOWHIDE (WM_USER + 1005)  // 2029: wParam 1 bring up, 0 toggle
#define WM_WEBMSG_TIMEOUT (WM_USER + 1006)   // 2030: wParam the overlay entry
#define WM_TRAY_NOTIFY (WM_USER + 1008)      // 2032: the tray icon's callback message
#define WM_MENU_COMMAND 0xAA21               // 43553: wParam menu root, lParam item id

// Notification kinds (wParam of WM_WEBSOCK_NOTIFY).
enum {
  WEBSOCK_NOTIFY_CONNECTED = 0,    // stVirelWebsockMsg
  WEBSOCK_NOTIFY_CONNECTERR = 1,   // stWebsockConnectErr
  WEBSOCK_NOTIFY_CHAT = 2,         // stVirelMsgChat
  WEBSOCK_NOTIFY_GIFT = 3,         // stVirelMsgGift
  WEBSOCK_NOTIFY_PROGRESS = 4,     // stWebsockMainProgress
  WEBSOCK_NOTIFY_USERCOUNT = 5,    // stWebsockMsgUsercount
  WEBSOCK_NOTIFY_USERINFO = 6,     // stVirelUserInfo
  WEBSOCK_NOTIFY_ONLINESTATE = 7,  // stWebsockMsgOnlineState
  WEBSOCK_NOTIFY_ENTER = 8,        // stVirelMsgEnter
};

// The current session. Read and written on the UI thread only; workers carry their own copy.
extern GUID g_SessionGuid;

bool IsSameGuid(const GUID& a, const GUID& b);

enum class NotifyDelivery { Post, Send };

// Hands a filled record to hWnd. A post that fails and a send to a window that is gone free the
// record. Returns whether the window got it. The caller must not touch the record afterwards.
bool DeliverSessionRecord(HWND hWnd, UINT uMsg, WPARAM kind, stVirelWebsockMsg* pRecord,
                          NotifyDelivery delivery);

// The producer's side: no record is made when hWnd is null; otherwise a TRecord stamped with
// guid is filled by fill(TRecord&) and delivered.
template <class TRecord, class Fill>
bool NotifySessionWindow(HWND hWnd, UINT uMsg, WPARAM kind, const GUID& guid, NotifyDelivery delivery,
                         Fill&& fill) {
  if (!hWnd) return false;
  TRecord* pRecord = new TRecord;
  pRecord->connectGuid = guid;
  std::forward<Fill>(fill)(*pRecord);
  return DeliverSessionRecord(hWnd, uMsg, kind, pRecord, delivery);
}

// The receiver's side, for WM_WEBSOCK_NOTIFY's lParam: takes ownership of the record and returns
// it when it belongs to the current session (g_SessionGuid); a stale record is deleted and null
// returned, as is lParam 0. The window acts on what it gets back, then lets it go (or keeps it).
std::unique_ptr<stVirelWebsockMsg> AcceptSessionRecord(LPARAM lParam);

// For a receiving window's WM_DESTROY: frees the records still queued for it, which nobody else
// owns (a post to it from now on fails and frees its record).
void DiscardSessionRecords(HWND hWnd);
