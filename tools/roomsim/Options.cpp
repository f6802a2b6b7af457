#include "Options.h"

#include <cstdlib>
#include <cstring>

#ifndef QVSIM_API_HOST
#define QVSIM_API_HOST "127.0.0.1"
#endif
#ifndef QVSIM_ROOM_HOST
#define QVSIM_ROOM_HOST "127.0.0.1:8081"
#endif

namespace roomsim {

namespace {

bool ParseNumber(const char* text, double min, double max, double* out) {
  char* end = nullptr;
  double v = std::strtod(text, &end);
  if (!*text || *end || v < min || v > max) return false;
  *out = v;
  return true;
}

}  // namespace

Options DefaultOptions() {
  Options o;
  o.apiHost = QVSIM_API_HOST;
  std::string room = QVSIM_ROOM_HOST;
  size_t colon = room.rfind(':');
  if (colon != std::string::npos) {
    o.roomHost = room.substr(0, colon);
    o.roomPort = std::atoi(room.c_str() + colon + 1);
  } else {
    o.roomHost = room;
    o.roomPort = 80;
  }
  return o;
}

bool ParseOptions(int argc, char** argv, Options* o, std::string* error) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    const char* value = nullptr;
    auto needValue = [&]() {
      if (i + 1 >= argc) {
        *error = arg + " needs a value";
        return false;
      }
      value = argv[++i];
      return true;
    };
    auto number = [&](double min, double max, double* out) {
      if (!needValue()) return false;
      if (!ParseNumber(value, min, max, out)) {
        *error = arg + ": expected a number from " + std::to_string(static_cast<long long>(min)) + " to " +
                 std::to_string(static_cast<long long>(max)) + ", got \"" + value + "\"";
        return false;
      }
      return true;
    };
    // A count: a whole number in range.
    auto whole = [&](double min, double max, double* out) {
      if (!number(min, max, out)) return false;
      if (*out != static_cast<double>(static_cast<int64_t>(*out))) {
        *error = arg + ": expected a whole number, got \"" + value + "\"";
        return false;
      }
      return true;
    };
    double n = 0;
    Faults& f = o->faults;
    if (arg == "--help" || arg == "-h") {
      o->help = true;
    } else if (arg == "--host") {
      if (!needValue()) return false;
      o->apiHost = o->roomHost = value;
    } else if (arg == "--port-api") {
      if (!number(0, 65535, &n)) return false;
      o->apiPort = static_cast<int>(n);
    } else if (arg == "--port-room") {
      if (!number(0, 65535, &n)) return false;
      o->roomPort = static_cast<int>(n);
    } else if (arg == "--rooms") {
      if (!needValue()) return false;
      o->roomsFile = value;
    } else if (arg == "--log") {
      if (!needValue()) return false;
      o->logFile = value;
    } else if (arg == "--scenario") {
      if (!needValue()) return false;
      o->scenarioFile = value;
    } else if (arg == "--ws-url") {
      if (!needValue()) return false;
      o->wsUrl = value;
    } else if (arg == "--rate") {
      if (!number(0, 100000, &o->rate)) return false;
      o->rateGiven = true;
    } else if (arg == "--burst") {
      if (!number(0.001, 86400, &o->burstS)) return false;
    } else if (arg == "--burst-delay") {
      if (!whole(0, 86400000, &n)) return false;
      o->burstDelayMs = static_cast<int>(n);
    } else if (arg == "--seed") {
      if (!number(0, 4294967295.0, &n)) return false;
      o->seed = static_cast<uint32_t>(n);
    } else if (arg == "--stamp") {
      o->stamp = true;
    } else if (arg == "--refuse-upgrade") {
      f.refuseUpgrade = true;
    } else if (arg == "--refuse-joins") {
      f.refuseJoins = true;
    } else if (arg == "--close-after") {
      if (!number(0, 86400, &f.closeAfterS)) return false;
    } else if (arg == "--stall") {
      f.stall = true;
    } else if (arg == "--malformed") {
      f.malformed = true;
    } else if (arg == "--oversized") {
      if (!number(1, 64.0 * 1024 * 1024, &n)) return false;
      f.oversizedBytes = static_cast<size_t>(n);
    } else if (arg == "--long-chat") {
      if (!whole(1, 64.0 * 1024 * 1024, &n)) return false;
      f.longChatChars = static_cast<size_t>(n);
    } else if (arg == "--deep-json") {
      if (!whole(1, 10000000, &n)) return false;
      f.deepJsonLevels = static_cast<size_t>(n);
    } else if (arg == "--invalid-frames") {
      f.invalidFrames = true;
    } else if (arg == "--drop-after") {
      if (!number(0, 86400, &f.dropAfterS)) return false;
    } else if (arg == "--drop-rst") {
      f.dropRst = true;
    } else if (arg == "--hang-handshake") {
      f.hangHandshake = true;
    } else if (arg == "--faults-from-join") {
      if (!whole(1, 1e9, &n)) return false;
      f.fromJoin = static_cast<int64_t>(n);
    } else if (arg == "--escaped-slashes") {
      f.escapedSlashes = true;
    } else if (arg == "--strict") {
      f.strict = true;
    } else if (arg == "--http-delay") {
      if (!number(0, 600000, &n)) return false;
      f.httpDelayMs = static_cast<int>(n);
    } else if (arg == "--http-empty") {
      if (!needValue()) return false;
      f.emptyHttp = value;
      if (f.emptyHttp != "api" && f.emptyHttp != "room" && f.emptyHttp != "all") {
        *error = "--http-empty: expected api, room or all, got \"" + f.emptyHttp + "\"";
        return false;
      }
    } else if (arg == "--nickname-braces") {
      f.nicknameBraces = true;
    } else if (arg == "--no-ws") {
      f.noWsAddress = true;
    } else {
      *error = "unknown option \"" + arg + "\" (see --help)";
      return false;
    }
  }
  // The same rule as the server's: a scenario alone turns the generator off.
  if (o->stamp && !(o->rate > 0 && (o->scenarioFile.empty() || o->rateGiven))) {
    *error = "--stamp: stamps generated lines, but nothing is generated (give --rate above 0)";
    return false;
  }
  if (o->faults.dropRst && o->faults.dropAfterS < 0) {
    *error = "--drop-rst: needs --drop-after S";
    return false;
  }
  return true;
}

std::string Usage() {
  Options d = DefaultOptions();
  return "Usage: qvroomsim [options]\n"
         "The room simulator: API server, room page and WebSocket chat server for QvGameAssist.\n"
         "\n"
         "Servers:\n"
         "  --host ADDR           listen on ADDR for both servers\n"
         "  --port-api N          API server port (default " + d.apiHost + ":" + std::to_string(d.apiPort) +
         "; 0 picks a free port)\n"
         "  --port-room N         room page and chat server port (default " + d.roomHost + ":" +
         std::to_string(d.roomPort) + "; 0 picks a free port)\n"
         "  --rooms FILE          rooms and vanity numbers (JSON; default: built-in rooms)\n"
         "  --ws-url URL          chat address written in the room page (default: this server)\n"
         "  --log FILE            append one JSON line per event (joins, heartbeats, requests...)\n"
         "\n"
         "Traffic:\n"
         "  --rate N              generated messages per second per joined connection (default 2,\n"
         "                        at most 100000; above 100 in batches every 10 ms)\n"
         "  --burst S             generate only for S seconds (then log burst-end and stop)\n"
         "  --burst-delay MS      start generating MS milliseconds after the join (default 0)\n"
         "  --seed N              random seed of the generator (default: from the time)\n"
         "  --scenario FILE       play a JSON-lines script to each connection after its join;\n"
         "                        the generator then runs only if --rate is given\n"
         "  --stamp               generate only chat lines stamped with their number N (from 1 on\n"
         "                        each connection): nickname \"#N\", content N's low 12 bits as\n"
         "                        \"|\" (1) and \".\" (0), most significant first;\n"
         "                        logs \"stamp\" with N, the token and the CLOCK_MONOTONIC send time\n"
         "                        in microseconds\n"
         "\n"
         "Faults:\n"
         "  --refuse-upgrade      answer the WebSocket handshake with 403\n"
         "  --refuse-joins        close a connection (1008) as soon as its join arrives\n"
         "  --close-after S       close each connection S seconds after it opened\n"
         "  --stall               after the join push nothing and stop reading\n"
         "  --malformed           mix malformed frames into the traffic\n"
         "  --oversized BYTES     push one chat frame of about BYTES bytes after the join\n"
         "  --long-chat CHARS     push one chat line of CHARS ASCII characters, then a short one\n"
         "  --deep-json N         push one chat frame nesting N arrays/objects, then a short line\n"
         "  --invalid-frames      push binary frames and text frames with invalid UTF-8, then a\n"
         "                        valid chat line\n"
         "  --drop-after S        S seconds after the join drop the TCP connection without a close\n"
         "                        frame (a FIN)\n"
         "  --drop-rst            with --drop-after: end with a reset (SO_LINGER 0) instead\n"
         "  --hang-handshake      accept WebSocket upgrades but never answer them\n"
         "  --faults-from-join N  the connection faults apply from the N-th join on (upgrade faults:\n"
         "                        from the N-th upgrade request, --close-after: the N-th connection)\n"
         "  --strict              refuse unknown rooms, wrong paths and wrong parameter quoting\n"
         "  --escaped-slashes     the room page writes the ws address as \"ws:\\/\\/...\\/chat\\/\"\n"
         "  --http-delay MS       answer every HTTP request MS milliseconds late\n"
         "  --http-empty WHICH    api, room or all: answer 200 with an empty body\n"
         "  --nickname-braces     nickname lookups answer {}\n"
         "  --no-ws               the room page has no \"ws\" address\n"
         "\n"
         "On start it prints \"qvroomsim listening api=HOST:PORT room=HOST:PORT\". SIGINT/SIGTERM stop it.\n";
}

}  // namespace roomsim
