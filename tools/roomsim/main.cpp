// qvroomsim: the room simulator the program, its demo and its tests connect to.
#include <csignal>
#include <cstdio>

#include "EventLog.h"
#include "Options.h"
#include "Rooms.h"
#include "Scenario.h"
#include "Server.h"

int main(int argc, char** argv) {
  using namespace roomsim;
  Options options = DefaultOptions();
  std::string error;
  if (!ParseOptions(argc, argv, &options, &error)) {
    std::fprintf(stderr, "qvroomsim: %s\n", error.c_str());
    return 2;
  }
  if (options.help) {
    std::fputs(Usage().c_str(), stdout);
    return 0;
  }
  Rooms rooms = Rooms::Default();
  if (!options.roomsFile.empty() && !Rooms::Load(options.roomsFile, &rooms, &error)) {
    std::fprintf(stderr, "qvroomsim: %s\n", error.c_str());
    return 2;
  }
  std::vector<ScenarioStep> scenario;
  if (!options.scenarioFile.empty() && !LoadScenario(options.scenarioFile, &scenario, &error)) {
    std::fprintf(stderr, "qvroomsim: %s\n", error.c_str());
    return 2;
  }
  EventLog log;
  if (!options.logFile.empty() && !log.Open(options.logFile, &error)) {
    std::fprintf(stderr, "qvroomsim: %s\n", error.c_str());
    return 2;
  }
  std::signal(SIGPIPE, SIG_IGN);
  return RunServers(options, rooms, scenario, log);
}
