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

HttpAnswer Refused(int status, const std::string& why) {
  HttpAnswer a = JsonError(status, why);
  a.refused = why;
  return a;
}

// --strict: the parameter exactly as the program writes it, its quotes either all raw or all %22.
// Empty when acceptable, else why not.
std::string StrictParameterProblem(const std::string& target, const std::string& parameter) {
  size_t q = target.find('?');
  std::string query = q == std::string::npos ? "" : target.substr(q + 1);
  const std::string key = "parameter=";
  if (query.compare(0, key.size(), key) != 0 || query.find('&') != std::string::npos) {
    return "the query must be parameter=<JSON> alone";
  }
  std::string raw = query.substr(key.size());
  bool rawQuotes = raw.find('"') != std::string::npos;
  bool escapedQuotes = false;
  for (size_t at = raw.find('%'); at != std::string::npos; at = raw.find('%', at + 1)) {
    if (raw.compare(at, 3, "%22") != 0) return "only quotes may be percent-escaped (double-escaped?)";
    escapedQuotes = true;
  }
  if (rawQuotes && escapedQuotes) return "quotes both raw and %22-escaped";
  if (parameter.find('\'') != std::string::npos) return "single-quoted parameter";
  std::string error;
  JsonPtr request = ParseJson(parameter, &error);
  if (!request) return "parameter is not JSON: " + error;
  const json_value* func = Member(request.get(), "FuncTag");
  const char* key2 = IntOr(func, 0) == kFuncLuckyId ? "luckyId" : IntOr(func, 0) == kFuncNickname ? "userId" : nullptr;
  const json_value* id = key2 ? Member(request.get(), key2) : nullptr;
  if (!IsInteger(id)) return "unknown FuncTag or missing id";
  std::string exact = "{\"FuncTag\":" + std::to_string(func->u.integer) + ",\"" + key2 + "\":" +
                      std::to_string(id->u.integer) + "}";
  if (parameter != exact) return "parameter is not exactly " + exact;
  return "";
}

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
  if (PathOf(target) != "/neVask/entrance") {
    return faults.strict ? Refused(404, "wrong path") : JsonError(404, "no such path");
  }
  if (Empty(faults, "api")) return HttpAnswer{200, "application/json; charset=utf-8", "", ""};
  std::string parameter, error;
  if (!QueryValue(target, "parameter", &parameter)) {
    return faults.strict ? Refused(400, "missing parameter") : JsonError(400, "missing parameter");
  }
  if (faults.strict) {
    std::string problem = StrictParameterProblem(target, parameter);
    if (!problem.empty()) return Refused(400, problem);
  }
  JsonPtr request = ParseJson(parameter, &error);
  if (!request) return JsonError(400, "parameter is not JSON: " + error);
  const json_value* func = Member(request.get(), "FuncTag");

  HttpAnswer a;
  if (IntOr(func, 0) == kFuncLuckyId) {
    const json_value* lucky = Member(request.get(), "luckyId");
    if (!IsInteger(lucky)) return JsonError(400, "luckyId must be an integer");
    int number = static_cast<int>(lucky->u.integer);
    if (faults.strict && !rooms.Find(rooms.ResolveLuckyId(number))) {
      a.body = "{\"FuncTag\":10005047,\"code\":1,\"msg\":\"no such room\"}";
      a.refused = "unknown luckyId";
      return a;
    }
    a.body = "{\"FuncTag\":10005047,\"code\":0,\"userId\":" + std::to_string(rooms.ResolveLuckyId(number)) +
             ",\"luckyId\":" + std::to_string(number) + "}";
    return a;
  }
  if (IntOr(func, 0) == kFuncNickname) {
    const json_value* userId = Member(request.get(), "userId");
    if (!IsInteger(userId)) return JsonError(400, "userId must be an integer");
    const Room* room = rooms.Find(static_cast<int>(userId->u.integer));
    if (!room && faults.strict && !faults.nicknameBraces) {
      a.body = "{\"FuncTag\":10005001,\"code\":1,\"msg\":\"no such user\"}";
      a.refused = "unknown userId";
      return a;
    }
    if (!room || faults.nicknameBraces) {
      a.body = "{}";  // the server's answer for a user that does not exist
      return a;
    }
    a.body = "{\"FuncTag\":10005001,\"code\":0,\"nickname\":" + Quote(room->nickname) +
             ",\"userId\":" + std::to_string(room->userId) + "}";
    return a;
  }
  return faults.strict ? Refused(400, "unknown FuncTag") : JsonError(400, "unknown FuncTag");
}

HttpAnswer RoomPageAnswer(const Rooms& rooms, const Faults& faults, const std::string& target,
                          const std::string& wsUrl) {
  HttpAnswer a;
  a.contentType = "text/html; charset=utf-8";
  std::string roomId;
  const Room* room = nullptr;
  bool pathOk = PathOf(target) == "/" && QueryValue(target, "roomId", &roomId) && !roomId.empty();
  if (pathOk) {
    char* end = nullptr;
    long id = std::strtol(roomId.c_str(), &end, 10);
    if (!*end) room = rooms.Find(static_cast<int>(id));
  }
  // --strict: exactly the program's "/?roomId=<number>".
  if (faults.strict && target != "/?roomId=" + roomId) pathOk = false;
  if (!room || (faults.strict && !pathOk)) {
    if (faults.strict) a.refused = pathOk ? "unknown room" : "wrong path";
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
  if (!faults.noWsAddress) {
    std::string ws = Quote(wsUrl);
    if (faults.escapedSlashes) {
      for (size_t at = ws.find('/'); at != std::string::npos; at = ws.find('/', at + 2)) ws.replace(at, 1, "\\/");
    }
    config += ",\"ws\":" + ws;
  }
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
