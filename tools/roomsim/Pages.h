// HTTP answers of the API server and the room-page server, apart from the transport.
#pragma once

#include <string>

#include "Options.h"
#include "Rooms.h"

namespace roomsim {

struct HttpAnswer {
  int status = 200;
  std::string contentType = "application/json; charset=utf-8";
  std::string body;
  std::string refused;  // with --strict: why the request was refused (logged as a "refused" event)
};

// `target` is the request target as received ("/neVask/entrance?parameter=...").
HttpAnswer ApiAnswer(const Rooms& rooms, const Faults& faults, const std::string& target);
// `wsUrl` is the chat address written into the page.
HttpAnswer RoomPageAnswer(const Rooms& rooms, const Faults& faults, const std::string& target,
                          const std::string& wsUrl);

// Value of query parameter `name`, percent-decoded; false when absent.
bool QueryValue(const std::string& target, const std::string& name, std::string* value);

}  // namespace roomsim
