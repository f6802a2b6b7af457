#include "net/HttpLookups.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "messages/Utf8ToDuiString.h"
#include "net/WebSockSession.h"
#include "platform/win32.h"

namespace {

constexpr size_t kUrlSize = 1024;
constexpr size_t kFirstBufferSize = 8192;

// Text after the first `marker` up to the first `terminator` that follows it; false when either
// is missing. The body is searched as bytes up to its terminating NUL.
bool CutBetween(const std::string& body, const char* marker, const char* terminator, std::string* out) {
  const char* text = body.c_str();
  const char* start = std::strstr(text, marker);
  if (!start) return false;
  start += std::strlen(marker);
  const char* end = std::strstr(start, terminator);
  if (!end) return false;
  out->assign(start, end);
  return true;
}

}  // namespace

HttpEndpoints& LookupEndpoints() {
  static HttpEndpoints endpoints{QV_API_HOST, 8080, QV_ROOM_HOST};
  return endpoints;
}

void LookupAbort::Abort() {
  m_bAborted = true;
  if (HINTERNET hInternet = m_hInFlight.exchange(nullptr)) InternetCloseHandle(hInternet);
}

// Either Abort's exchange sees the published handle or Enter sees the mark (both are sequentially
// consistent), and only the side whose exchange returns the handle closes it.
bool LookupAbort::Enter(HINTERNET hInternet) {
  m_hInFlight = hInternet;
  if (!m_bAborted) return true;
  if (Leave(hInternet)) InternetCloseHandle(hInternet);
  return false;
}

bool LookupAbort::Leave(HINTERNET hInternet) {
  HINTERNET expected = hInternet;
  return m_hInFlight.compare_exchange_strong(expected, nullptr);
}

std::string HttpGet(const std::string& url, LookupAbort* abort) {
  if (abort && abort->Aborted()) return std::string();
  HINTERNET hInternet = InternetOpenA("Mozilla/5.0", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  if (!hInternet) return std::string();
  if (abort && !abort->Enter(hInternet)) return std::string();
  // Closes what is still ours: closing the internet handle closes the URL handle opened through
  // it, so after an abort nothing is left to close.
  auto release = [&](HINTERNET hUrl) {
    if (abort && !abort->Leave(hInternet)) return;
    if (hUrl) InternetCloseHandle(hUrl);
    InternetCloseHandle(hInternet);
  };
  HINTERNET hUrl = InternetOpenUrlA(hInternet, url.c_str(), nullptr, 0, 0, 0);
  if (!hUrl) {
    release(nullptr);
    return std::string();
  }
  // One byte always stays free for the terminating NUL.
  std::string buffer(kFirstBufferSize, '\0');
  size_t used = 0;
  while (used < kHttpBodyLimit) {
    if (buffer.size() - used < 2) buffer.resize(std::min(buffer.size() * 2, kHttpBodyLimit + 1));
    DWORD room = static_cast<DWORD>(std::min(buffer.size() - 1, kHttpBodyLimit) - used);
    DWORD read = 0;
    if (!InternetReadFile(hUrl, &buffer[used], room, &read) || read == 0) break;
    used += read;
  }
  release(hUrl);
  // Part of a body is no answer to hand on.
  if (abort && abort->Aborted()) return std::string();
  buffer.resize(used + 1);
  buffer[used] = '\0';
  return buffer;
}

int GetLuckyUserId(const CWebSockSession& session, LookupAbort* abort) {
  const HttpEndpoints& ep = LookupEndpoints();
  char url[kUrlSize];
  std::snprintf(url, sizeof url, "http://%s:%d/neVask/entrance?parameter={\"FuncTag\":10005047,\"luckyId\":%d}",
                ep.apiHost.c_str(), ep.apiPort, static_cast<int>(session.m_nRoomId));
  std::string value;
  if (!CutBetween(HttpGet(url, abort), "\"userId\":", ",\"", &value)) return -1;
  return std::atoi(value.c_str());
}

void GetUserNickName(const CWebSockSession& session, CDuiString& nickname, CDuiString& errorText,
                     LookupAbort* abort) {
  nickname.Empty();
  errorText.Empty();
  const HttpEndpoints& ep = LookupEndpoints();
  char url[kUrlSize];
  std::snprintf(url, sizeof url,
                "http://%s:%d/neVask/entrance?parameter={%%22FuncTag%%22:10005001,%%22userId%%22:%d}",
                ep.apiHost.c_str(), ep.apiPort, static_cast<int>(session.m_nRoomId));
  std::string body = HttpGet(url, abort);
  if (body.empty()) {
    errorText = u"请检查网络状况";
    return;
  }
  if (body.size() >= 2 && body[0] == '{' && body[1] == '}') {
    errorText = u"该房间号不存在";
    return;
  }
  if (!std::strstr(body.c_str(), "\"nickname\":\"")) {
    errorText = u"服务器返回错误，代码100";
    return;
  }
  std::string value;
  if (!CutBetween(body, "\"nickname\":\"", "\",\"", &value)) {
    errorText = u"服务器返回错误，代码101";
    return;
  }
  nickname = Utf8ToDuiString(value.c_str());
}

std::string GetRoomWsUrl(int userId, LookupAbort* abort) {
  char url[kUrlSize];
  std::snprintf(url, sizeof url, "http://%s/?roomId=%d", LookupEndpoints().roomHost.c_str(), userId);
  std::string address;
  if (!CutBetween(HttpGet(url, abort), ",\"ws\":\"", "\",\"", &address)) return std::string();
  // The address is a JSON string: a page may escape its slashes ("ws:\/\/host\/chat\/").
  for (size_t at = 0; (at = address.find("\\/", at)) != std::string::npos; ++at) address.erase(at, 1);
  if (address.size() >= 2 && address.back() == '/') address.pop_back();
  return address;
}
