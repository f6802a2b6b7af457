// The simulator's servers: the API, the room page and the chat server on one event loop.
#pragma once

#include <vector>

#include "EventLog.h"
#include "Options.h"
#include "Rooms.h"
#include "Scenario.h"

namespace roomsim {

// Listens, prints the listening line and serves until SIGINT or SIGTERM. Returns the exit code:
// 0 after a signal, 2 when a port cannot be had (with a message on stderr).
int RunServers(const Options& options, const Rooms& rooms, const std::vector<ScenarioStep>& scenario,
               EventLog& log);

}  // namespace roomsim
