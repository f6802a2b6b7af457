#include "net/SessionNotify.h"

#include <cstring>

GUID g_SessionGuid = {};

bool IsSameGuid(const GUID& a, const GUID& b) {
  static_assert(sizeof(GUID) == 16, "a GUID is 16 bytes");
  return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

bool DeliverSessionRecord(HWND hWnd, UINT uMsg, WPARAM kind, stVirelWebsockMsg* pRecord,
                          NotifyDelivery delivery) {
  LPARAM lParam = reinterpret_cast<LPARAM>(pRecord);
  if (delivery == NotifyDelivery::Post) {
    if (PostMessageW(hWnd, uMsg, kind, lParam)) return true;
    delete pRecord;  // the window is gone; nobody else will free it
    return false;
  }
  // A send to a destroyed window returns without running its procedure, leaving the record ours.
  // (A window destroyed between this check and the send still loses it: rare, and only a leak.)
  if (!IsWindow(hWnd)) {
    delete pRecord;
    return false;
  }
  SendMessageW(hWnd, uMsg, kind, lParam);
  return true;
}

void DiscardSessionRecords(HWND hWnd) {
  MSG msg;
  while (::PeekMessageW(&msg, hWnd, WM_WEBSOCK_NOTIFY, WM_WEBSOCK_NOTIFY, PM_REMOVE))
    delete reinterpret_cast<stVirelWebsockMsg*>(msg.lParam);
}

std::unique_ptr<stVirelWebsockMsg> AcceptSessionRecord(LPARAM lParam) {
  std::unique_ptr<stVirelWebsockMsg> record(reinterpret_cast<stVirelWebsockMsg*>(lParam));
  if (record && !IsSameGuid(record->connectGuid, g_SessionGuid)) record.reset();
  return record;
}
