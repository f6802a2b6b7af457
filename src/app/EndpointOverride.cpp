#include "app/EndpointOverride.h"

#include <cstdlib>

#include "platform/win32.h"

namespace {

bool ReadVariable(const WCHAR* name, std::string& out) {
  WCHAR buffer[512];
  DWORD n = ::GetEnvironmentVariableW(name, buffer, 512);
  if (n == 0 || n >= 512) return false;
  int bytes = ::WideCharToMultiByte(CP_UTF8, 0, buffer, static_cast<int>(n), nullptr, 0, nullptr, nullptr);
  out.assign(static_cast<size_t>(bytes), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, buffer, static_cast<int>(n), out.data(), bytes, nullptr, nullptr);
  return true;
}

// "host:port" with a port of 1 to 65535 and a host without spaces or slashes.
bool SplitHostPort(const std::string& text, std::string& host, int& port) {
  size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 >= text.size()) return false;
  host = text.substr(0, colon);
  if (host.find_first_of(" /?#") != std::string::npos) return false;
  port = 0;
  for (size_t i = colon + 1; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9' || port > 65535) return false;
    port = port * 10 + (text[i] - '0');
  }
  return port >= 1 && port <= 65535;
}

}  // namespace

std::string ApplyEndpointOverrides(HttpEndpoints& endpoints) {
  std::string problems, value, host;
  int port = 0;
  if (ReadVariable(u"QV_API_ENDPOINT", value)) {
    if (SplitHostPort(value, host, port)) {
      endpoints.apiHost = host;
      endpoints.apiPort = port;
    } else {
      problems += "QV_API_ENDPOINT=\"" + value + "\" is not host:port; the compiled-in API server is used\n";
    }
  }
  if (ReadVariable(u"QV_ROOM_ENDPOINT", value)) {
    bool hasPort = value.find(':') != std::string::npos;
    if (!value.empty() && value.find_first_of(" /?#") == std::string::npos &&
        (!hasPort || SplitHostPort(value, host, port))) {
      endpoints.roomHost = value;
    } else {
      problems += "QV_ROOM_ENDPOINT=\"" + value + "\" is not host[:port]; the compiled-in room server is used\n";
    }
  }
  return problems;
}
