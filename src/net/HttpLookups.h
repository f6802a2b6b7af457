// The three HTTP lookups a connection attempt makes before it opens its WebSocket: the user ID
// behind a typed (possibly vanity) number, the streamer's nickname and the chat server's address.
// All block on the calling thread (the session thread).
#pragma once

#include <string>

#include "dui/DuiString.h"

class CWebSockSession;

// Where the lookups go. The defaults are the compiled-in endpoints; tests point it at their own
// servers before any session starts.
struct HttpEndpoints {
  std::string apiHost;   // API server, without port
  int apiPort = 8080;
  std::string roomHost;  // room-page server, host[:port]
};
HttpEndpoints& LookupEndpoints();

// Largest body HttpGet keeps; reading stops there and keeps what it has.
constexpr size_t kHttpBodyLimit = 16u * 1024 * 1024;

// The response body followed by one NUL byte, whatever the status; empty only when the request
// could not be opened.
std::string HttpGet(const std::string& url);

// The user ID behind the session's m_nRoomId, or -1.
int GetLuckyUserId(const CWebSockSession& session);
// The nickname of the session's m_nRoomId; on failure errorText says why and nickname is empty.
void GetUserNickName(const CWebSockSession& session, CDuiString& nickname, CDuiString& errorText);
// The chat server's WebSocket address from the room page of userId, or an empty string.
std::string GetRoomWsUrl(int userId);
