#include "Pages.h"

#include <cstdlib>

#include "Json.h"

namespace roomsim {

namespace {

constexpr int kFuncLuckyId = 10005047;
constexpr int kFuncNickname = 10005001;

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string PercentDecode(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    int hi = 0, lo = 0;
    if (s[i] == '%' && i + 2 < s.size() && (hi = HexDigit(s[i + 1])) >= 0 && (lo = HexDigit(s[i + 2])) >= 0) {
      out += static_cast<char>(hi * 16 + lo);
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

std::string PathOf(const std::string& target) { return target.substr(0, target.find('?')); }

HttpAnswer JsonError(int status, const std::string& message) {
  HttpAnswer a;
  a.status = status;
  a.body = "{\"code\":" + std::to_string(status) + ",\"msg\":" + Quote(message) + "}";
  return a;
}

std::string HtmlEscape(const std::string& s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '&': out += "&amp;"; break;
      default: out += c;
    }
  }
  return out;
}

bool Empty(const Faults& f, const char* which) { return f.emptyHttp == "all" || f.emptyHttp == which; }

}  // namespace

bool QueryValue(const std::string& target, const std::string& name, std::string* value) {
  size_t q = target.find('?');
  if (q == std::string::npos) return false;
  std::string query = target.substr(q + 1);
  size_t start = 0;
  while (start <= query.size()) {
    size_t end = query.find('&', start);
    if (end == std::string::npos) end = query.size();
    std::string pair = query.substr(start, end - start);
    size_t eq = pair.find('=');
    if (PercentDecode(pair.substr(0, eq)) == name) {
      *value = eq == std::string::npos ? "" : PercentDecode(pair.substr(eq + 1));
      return true;
    }
    start = end + 1;
  }
  return false;
}

HttpAnswer ApiAnswer(const Rooms& rooms, const Faults& faults, const std::string& target) {
  if (PathOf(target) != "/neVask/entrance") return JsonError(404, "no such path");
  if (Empty(faults, "api")) return HttpAnswer{200, "application/json; charset=utf-8", ""};
  std::string parameter, error;
  if (!QueryValue(target, "parameter", &parameter)) return JsonError(400, "missing parameter");
  JsonPtr request = ParseJson(parameter, &error);
  if (!request) return JsonError(400, "parameter is not JSON: " + error);
  const json_value* func = Member(request.get(), "FuncTag");

  HttpAnswer a;
  if (IntOr(func, 0) == kFuncLuckyId) {
    const json_value* lucky = Member(request.get(), "luckyId");
    if (!IsInteger(lucky)) return JsonError(400, "luckyId must be an integer");
    int number = static_cast<int>(lucky->u.integer);
    a.body = "{\"FuncTag\":10005047,\"code\":0,\"userId\":" + std::to_string(rooms.ResolveLuckyId(number)) +
             ",\"luckyId\":" + std::to_string(number) + "}";
    return a;
  }
  if (IntOr(func, 0) == kFuncNickname) {
    const json_value* userId = Member(request.get(), "userId");
    if (!IsInteger(userId)) return JsonError(400, "userId must be an integer");
    const Room* room = rooms.Find(static_cast<int>(userId->u.integer));
    if (!room || faults.nicknameBraces) {
      a.body = "{}";  // the server's answer for a user that does not exist
      return a;
    }
    a.body = "{\"FuncTag\":10005001,\"code\":0,\"nickname\":" + Quote(room->nickname) +
             ",\"userId\":" + std::to_string(room->userId) + "}";
    return a;
  }
  return JsonError(400, "unknown FuncTag");
}

HttpAnswer RoomPageAnswer(const Rooms& rooms, const Faults& faults, const std::string& target,
                          const std::string& wsUrl) {
  HttpAnswer a;
  a.contentType = "text/html; charset=utf-8";
  std::string roomId;
  const Room* room = nullptr;
  if (PathOf(target) == "/" && QueryValue(target, "roomId", &roomId) && !roomId.empty()) {
    char* end = nullptr;
    long id = std::strtol(roomId.c_str(), &end, 10);
    if (!*end) room = rooms.Find(static_cast<int>(id));
  }
  if (!room) {
    a.status = 404;
    a.body = "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>房间不存在</title></head>"
             "<body><p>房间不存在</p></body></html>\n";
    return a;
  }
  if (Empty(faults, "room")) {
    a.body.clear();
    return a;
  }
  std::string config = "{\"roomId\":" + std::to_string(room->userId);
  if (!faults.noWsAddress) config += ",\"ws\":" + Quote(wsUrl);
  config += ",\"nickname\":" + Quote(room->nickname) + ",\"live\":" + (room->live ? "1" : "0") + "}";
  for (size_t at = config.find("</"); at != std::string::npos; at = config.find("</", at)) {
    config.replace(at, 2, "<\\/");  // a nickname must not end the script element
  }
  a.body = "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>" + HtmlEscape(room->nickname) +
           "的直播间</title></head>\n<body>\n<div id=\"player\"></div>\n<script>window.roomConfig = " + config +
           ";</script>\n</body></html>\n";
  return a;
}

}  // namespace roomsim
