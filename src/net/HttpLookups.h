// The three HTTP lookups a connection attempt makes before it opens its WebSocket: the user ID
// behind a typed (possibly vanity) number, the streamer's nickname and the chat server's address.
// All block on the calling thread (the session thread).
#pragma once

#include <atomic>
#include <string>

#include "dui/DuiString.h"
#include "platform/win32.h"

class CWebSockSession;

// Where the lookups go. The defaults are the compiled-in endpoints; tests point it at their own
// servers before any session starts.
struct HttpEndpoints {
  std::string apiHost;   // API server, without port
  int apiPort = 8080;
  std::string roomHost;  // room-page server, host[:port]
};
HttpEndpoints& LookupEndpoints();

// Lets another thread abort one session thread's lookups, as WinINet lets a blocked call be
// cancelled: Abort closes the internet handle of the lookup in flight, so its blocked
// InternetOpenUrlA or InternetReadFile fails at once, and every later lookup through it fails
// without a request. Exactly one side closes a handle: whoever takes it out of m_hInFlight.
class LookupAbort {
 public:
  void Abort();  // any thread; returns at once
  bool Aborted() const { return m_bAborted.load(); }

  // For HttpGet: Enter publishes the lookup's handle (false when aborted: the handle is closed
  // then); Leave takes it back (false when Abort took and closed it).
  bool Enter(HINTERNET hInternet);
  bool Leave(HINTERNET hInternet);

 private:
  std::atomic<bool> m_bAborted{false};
  std::atomic<HINTERNET> m_hInFlight{nullptr};
};

// Largest body HttpGet keeps; reading stops there and keeps what it has.
constexpr size_t kHttpBodyLimit = 16u * 1024 * 1024;

// The response body followed by one NUL byte, whatever the status; empty when the request could
// not be opened or `abort` aborted it.
std::string HttpGet(const std::string& url, LookupAbort* abort = nullptr);

// The user ID behind the session's m_nRoomId, or -1.
int GetLuckyUserId(const CWebSockSession& session, LookupAbort* abort = nullptr);
// The nickname of the session's m_nRoomId; on failure errorText says why and nickname is empty.
void GetUserNickName(const CWebSockSession& session, CDuiString& nickname, CDuiString& errorText,
                     LookupAbort* abort = nullptr);
// The chat server's WebSocket address from the room page of userId, or an empty string.
std::string GetRoomWsUrl(int userId, LookupAbort* abort = nullptr);
