// Command line of qvroomsim.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace roomsim {

struct Faults {
  bool refuseUpgrade = false;  // answer the WebSocket handshake with 403
  bool refuseJoins = false;    // close a connection as soon as its join arrives
  double closeAfterS = 0;      // close each connection this long after it opened (0 = never)
  bool stall = false;          // after the join: push nothing and stop reading
  bool malformed = false;      // mix malformed frames into the traffic
  size_t oversizedBytes = 0;   // push one chat frame this large after the join
  int httpDelayMs = 0;         // answer every HTTP request this late
  std::string emptyHttp;       // "api", "room" or "all": 200 with an empty body
  bool nicknameBraces = false; // nickname lookups answer {}
  bool noWsAddress = false;    // the room page carries no "ws" member
  // Hostile rooms.
  size_t longChatChars = 0;    // push one chat line of this many characters after the join
  size_t deepJsonLevels = 0;   // push one frame nesting this many arrays and objects
  bool invalidFrames = false;  // push binary frames and text frames with invalid UTF-8
  double dropAfterS = -1;      // drop the TCP connection (no close frame) this long after the join (<0 = never)
  bool dropRst = false;        // drop with a reset (SO_LINGER 0) instead of a FIN
  bool hangHandshake = false;  // accept the TCP connection but never answer the upgrade
  int64_t fromJoin = 1;        // the faults apply from this join (or upgrade, or connection) on
  bool escapedSlashes = false; // the room page writes the ws address as ws:\/\/host\/chat\/
  bool strict = false;         // refuse unknown rooms, wrong paths and wrong quoting
};

struct Options {
  std::string apiHost;   // listening address of the API server
  int apiPort = 8080;
  std::string roomHost;  // listening address of the room page and chat server
  int roomPort = 8081;
  std::string roomsFile;
  std::string logFile;
  std::string scenarioFile;
  std::string wsUrl;  // address written in the room page; default: our own chat server
  double rate = 2;    // generated messages per second per joined connection
  bool rateGiven = false;
  double burstS = 0;       // generated traffic stops this long after it started (0 = never)
  int burstDelayMs = 0;    // generated traffic starts this long after the join
  uint32_t seed = 0;  // 0: from the time
  bool stamp = false;  // generate only stamped chat lines and log each one's send time
  Faults faults;
  bool help = false;
};

// The compiled-in endpoints as defaults.
Options DefaultOptions();
bool ParseOptions(int argc, char** argv, Options* options, std::string* error);
std::string Usage();

}  // namespace roomsim
