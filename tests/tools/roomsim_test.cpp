// The room simulator as a separate process: lookups, room page, chat session and faults.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <set>

#include "Json.h"
#include "RoomSimProcess.h"

namespace {

using simtest::HttpGet;
using simtest::RoomSimProcess;
using simtest::WsClient;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The MsgTags the program's decoder acts on.
const std::set<int64_t> kKnownTags = {10010206, 10010208, 10010209, 10010210,
                                      10010211, 10010300, 20020113, 20020123};

// Cuts a value out of a body the way the program's lookups do: marker, then terminator.
std::string Cut(const std::string& body, const std::string& marker, const std::string& terminator) {
  size_t at = body.find(marker);
  if (at == std::string::npos) return "<no marker>";
  at += marker.size();
  size_t end = body.find(terminator, at);
  return end == std::string::npos ? "<no terminator>" : body.substr(at, end - at);
}

std::string LuckyUrl(int number) {
  return "/neVask/entrance?parameter={\"FuncTag\":10005047,\"luckyId\":" + std::to_string(number) + "}";
}
std::string NicknameUrl(int userId) {
  return "/neVask/entrance?parameter={%22FuncTag%22:10005001,%22userId%22:" + std::to_string(userId) + "}";
}

std::string JoinFrame(int roomId) {
  return "{\"MsgTag\":10010201,\"roomId\":" + std::to_string(roomId) + ",\"keepalive\":1}";
}

int CloseCode(const std::string& payload) {
  return payload.size() >= 2 ? (static_cast<unsigned char>(payload[0]) << 8) | static_cast<unsigned char>(payload[1])
                             : -1;
}

// Connects, joins `roomId` and reads the greeting (live state and count).
void Join(const RoomSimProcess& sim, WsClient& client, int roomId = 100001, const std::string& path = "/chat") {
  ASSERT_TRUE(client.Connect(sim.roomPort(), path));
  ASSERT_TRUE(client.SendText(JoinFrame(roomId)));
  int opcode = 0;
  std::string payload;
  for (int i = 0; i < 2; ++i) ASSERT_TRUE(client.Read(&opcode, &payload)) << "greeting frame " << i;
}

// The next frame is a close with `code`.
void ExpectClose(WsClient& client, int code) {
  int opcode = 0;
  std::string payload;
  ASSERT_TRUE(client.Read(&opcode, &payload));
  EXPECT_EQ(8, opcode);
  EXPECT_EQ(code, CloseCode(payload));
}

std::string ContentOf(const std::string& frame) {
  roomsim::JsonPtr root = roomsim::ParseJson(frame, nullptr);
  return root ? roomsim::StringOr(roomsim::Member(root.get(), "content"), "<no content>") : "<not JSON>";
}

TEST(RoomSimTest, AnswersLookupsInBothQueryFormsAndServesTheRoomPage) {
  RoomSimProcess sim;
  ASSERT_TRUE(sim.Start({"--rate", "0"})) << sim.startError();

  EXPECT_EQ("100001", Cut(HttpGet(sim.ApiUrl(LuckyUrl(888))), "\"userId\":", ",\""));
  // A number that is not a vanity number stands for itself, as on a reconnection.
  EXPECT_EQ("100001", Cut(HttpGet(sim.ApiUrl(LuckyUrl(100001))), "\"userId\":", ",\""));
  EXPECT_EQ("主播小七", Cut(HttpGet(sim.ApiUrl(NicknameUrl(100001))), "\"nickname\":\"", "\",\""));
  EXPECT_EQ("{}", HttpGet(sim.ApiUrl(NicknameUrl(424242))));

  std::string ws = Cut(HttpGet(sim.RoomUrl("/?roomId=100001")), ",\"ws\":\"", "\",\"");
  EXPECT_EQ("ws://127.0.0.1:" + std::to_string(sim.roomPort()) + "/chat/", ws);
  EXPECT_EQ("<no marker>", Cut(HttpGet(sim.RoomUrl("/?roomId=424242")), ",\"ws\":\"", "\",\""));

  EXPECT_TRUE(sim.WaitForLog({"\"event\":\"http\"", "\"server\":\"api\"", "luckyId\\\":888"},
                             std::chrono::seconds(2)));
}

TEST(RoomSimTest, ChatSessionLogsJoinAndHeartbeatsAndPushesFramesTheProgramDecodes) {
  RoomSimProcess sim;
  ASSERT_TRUE(sim.Start({"--rate", "200", "--seed", "7"})) << sim.startError();
  WsClient client;
  ASSERT_TRUE(client.Connect(sim.roomPort(), "/chat"));
  ASSERT_TRUE(client.SendText(JoinFrame(100001)));
  ASSERT_TRUE(client.SendText("{\"MsgTag\":10010299}"));
  EXPECT_TRUE(sim.WaitForLog({"\"event\":\"join\"", "\"roomId\":100001", "\"keepalive\":1", "\"known\":true"},
                             std::chrono::seconds(2)));
  EXPECT_TRUE(sim.WaitForLog({"\"event\":\"heartbeat\""}, std::chrono::seconds(2)));

  std::set<int64_t> seen;
  std::vector<int64_t> order;
  for (int i = 0; i < 200; ++i) {
    int opcode = 0;
    std::string payload;
    ASSERT_TRUE(client.Read(&opcode, &payload)) << "frame " << i;
    ASSERT_EQ(1, opcode) << payload;
    std::string error;
    roomsim::JsonPtr root = roomsim::ParseJson(payload, &error);
    ASSERT_TRUE(root) << payload << ": " << error;
    const json_value* tag = roomsim::Member(root.get(), "MsgTag");
    ASSERT_TRUE(roomsim::IsInteger(tag)) << payload;
    EXPECT_EQ(1u, kKnownTags.count(tag->u.integer)) << payload;
    seen.insert(tag->u.integer);
    order.push_back(tag->u.integer);
  }
  // The greeting first: live state, then the count.
  EXPECT_EQ(10010210, order[0]);
  EXPECT_EQ(20020113, order[1]);
  for (int64_t tag : {10010206, 10010208, 10010209, 20020113}) EXPECT_EQ(1u, seen.count(tag)) << tag;
}

TEST(RoomSimTest, ScenarioFramesArriveExactlyAsWrittenThenTheServerCloses) {
  char path[] = "/tmp/qvroomsim-scenario-XXXXXX";
  int fd = ::mkstemp(path);
  ASSERT_GE(fd, 0);
  std::string script =
      "# two frames and a close\n"
      "{\"delay\":0,\"frame\":{\"MsgTag\":10010209.0, \"sNickname\":\"A\",\"content\":\"x\"}}\n"
      "{\"delay\":50,\"frame\":\"{broken\"}\n"
      "{\"delay\":50,\"close\":4001,\"reason\":\"scripted\"}\n";
  ASSERT_EQ(static_cast<ssize_t>(script.size()), ::write(fd, script.data(), script.size()));
  ::close(fd);

  RoomSimProcess sim;
  bool started = sim.Start({"--scenario", path});
  ::unlink(path);
  ASSERT_TRUE(started) << sim.startError();
  WsClient client;
  ASSERT_TRUE(client.Connect(sim.roomPort(), "/chat"));
  ASSERT_TRUE(client.SendText(JoinFrame(100002)));
  int opcode = 0;
  std::string payload;
  ASSERT_TRUE(client.Read(&opcode, &payload));  // greeting: live state
  ASSERT_TRUE(client.Read(&opcode, &payload));  // greeting: count
  ASSERT_TRUE(client.Read(&opcode, &payload));
  EXPECT_EQ("{\"MsgTag\":10010209.0, \"sNickname\":\"A\",\"content\":\"x\"}", payload);
  ASSERT_TRUE(client.Read(&opcode, &payload));
  EXPECT_EQ("{broken", payload);
  ASSERT_TRUE(client.Read(&opcode, &payload));
  EXPECT_EQ(8, opcode);
  EXPECT_EQ(4001, CloseCode(payload));
}

TEST(RoomSimTest, RefusedJoinAndTimedCloseEndTheSession) {
  {
    RoomSimProcess sim;
    ASSERT_TRUE(sim.Start({"--refuse-joins"})) << sim.startError();
    WsClient client;
    ASSERT_TRUE(client.Connect(sim.roomPort(), "/chat"));
    ASSERT_TRUE(client.SendText(JoinFrame(100001)));
    int opcode = 0;
    std::string payload;
    ASSERT_TRUE(client.Read(&opcode, &payload));
    EXPECT_EQ(8, opcode);
    EXPECT_EQ(1008, CloseCode(payload));
  }
  {
    RoomSimProcess sim;
    ASSERT_TRUE(sim.Start({"--close-after", "0.2", "--rate", "0"})) << sim.startError();
    WsClient client;
    ASSERT_TRUE(client.Connect(sim.roomPort(), "/chat"));
    int opcode = 0;
    std::string payload;
    ASSERT_TRUE(client.Read(&opcode, &payload));
    EXPECT_EQ(8, opcode);
    EXPECT_EQ(1001, CloseCode(payload));
  }
  {
    RoomSimProcess sim;
    ASSERT_TRUE(sim.Start({"--refuse-upgrade"})) << sim.startError();
    WsClient client;
    std::string response;
    EXPECT_FALSE(client.Connect(sim.roomPort(), "/chat", &response));
    EXPECT_EQ(0u, response.find("HTTP/1.1 403")) << response;
  }
}

TEST(RoomSimTest, StallAndMalformedFaultsShapeTheTraffic) {
  {
    RoomSimProcess sim;
    ASSERT_TRUE(sim.Start({"--stall", "--rate", "100"})) << sim.startError();
    WsClient client;
    ASSERT_TRUE(client.Connect(sim.roomPort(), "/chat"));
    ASSERT_TRUE(client.SendText(JoinFrame(100001)));
    EXPECT_TRUE(sim.WaitForLog({"\"event\":\"stalled\""}, std::chrono::seconds(2)));
    int opcode = 0;
    std::string payload;
    EXPECT_FALSE(client.Read(&opcode, &payload, std::chrono::milliseconds(300))) << payload;
  }
  {
    RoomSimProcess sim;
    ASSERT_TRUE(sim.Start({"--malformed", "--oversized", "200000", "--rate", "0"})) << sim.startError();
    WsClient client;
    ASSERT_TRUE(client.Connect(sim.roomPort(), "/chat"));
    ASSERT_TRUE(client.SendText(JoinFrame(100001)));
    int binary = 0, unparsable = 0;
    std::string payload;
    for (int i = 0; i < 12; ++i) {  // greeting, ten malformed frames
      int opcode = 0;
      ASSERT_TRUE(client.Read(&opcode, &payload));
      binary += opcode == 2;
      unparsable += !roomsim::ParseJson(payload, nullptr);
    }
    EXPECT_EQ(1, binary);
    EXPECT_GE(unparsable, 2);
    int opcode = 0;
    ASSERT_TRUE(client.Read(&opcode, &payload));
    EXPECT_GE(payload.size(), 200000u);
    EXPECT_NE(std::string::npos, payload.find("\"MsgTag\":10010209"));
  }
}

TEST(RoomSimTest, HttpFaultsGiveBracesEmptyBodiesAndPagesWithoutAddress) {
  RoomSimProcess sim;
  ASSERT_TRUE(sim.Start({"--nickname-braces", "--http-empty", "room"})) << sim.startError();
  EXPECT_EQ("{}", HttpGet(sim.ApiUrl(NicknameUrl(100001))));
  EXPECT_EQ("", HttpGet(sim.RoomUrl("/?roomId=100001")));

  RoomSimProcess noWs;
  ASSERT_TRUE(noWs.Start({"--no-ws", "--http-delay", "100"})) << noWs.startError();
  std::string page = HttpGet(noWs.RoomUrl("/?roomId=100001"));
  EXPECT_NE(std::string::npos, page.find("window.roomConfig")) << page;
  EXPECT_EQ(std::string::npos, page.find("\"ws\""));
}

TEST(RoomSimTest, BurstGoesOutAtTenThousandFramesASecondThenStops) {
  RoomSimProcess sim;
  ASSERT_TRUE(sim.Start({"--rate", "10000", "--burst", "2", "--burst-delay", "300", "--seed", "3"}))
      << sim.startError();
  WsClient client;
  Clock::time_point joined = Clock::now();
  Join(sim, client);
  int count = 0;
  Clock::time_point first, last;
  int opcode = 0;
  std::string payload;
  while (client.Read(&opcode, &payload, milliseconds(1000))) {
    last = Clock::now();
    if (count++ == 0) first = last;
  }
  EXPECT_FALSE(client.ended());
  EXPECT_EQ(20000, count) << "exactly rate x burst, then nothing";
  EXPECT_GE(first - joined, milliseconds(300));
  double seconds = std::chrono::duration<double>(last - first).count();
  EXPECT_GT(seconds, 1.5) << "spread over the burst";
  EXPECT_LT(seconds, 4.0) << "at least 5 000 frames/s achieved";
  EXPECT_TRUE(sim.WaitForLog({"\"event\":\"burst-end\"", "\"sent\":20000"}, milliseconds(1000)));
}

TEST(RoomSimTest, LongDeepAndInvalidFramesArriveEachFollowedByAShortLine) {
  RoomSimProcess sim;
  ASSERT_TRUE(sim.Start({"--rate", "0", "--long-chat", "16777216", "--deep-json", "100000", "--invalid-frames"}))
      << sim.startError();
  WsClient client;
  Join(sim, client);
  int opcode = 0;
  std::string payload;
  ASSERT_TRUE(client.Read(&opcode, &payload, milliseconds(20000)));
  EXPECT_EQ(0u, payload.find("{\"MsgTag\":10010209,\"sNickname\":\"大话痨\",\"content\":\""));
  std::string content = ContentOf(payload);
  EXPECT_EQ(16777216u, content.size());
  EXPECT_NE(std::string::npos, content.find("fox jumps"));
  ASSERT_TRUE(client.Read(&opcode, &payload));
  EXPECT_EQ("still here after the long line", ContentOf(payload));

  ASSERT_TRUE(client.Read(&opcode, &payload));
  int depth = 0, deepest = 0;
  for (char c : payload) {
    depth += (c == '[' || c == '{') - (c == ']' || c == '}');
    deepest = std::max(deepest, depth);
  }
  EXPECT_EQ(100001, deepest) << "the frame's object and 100 000 levels in it";
  EXPECT_EQ(0, depth);
  EXPECT_TRUE(roomsim::ParseJson(payload, nullptr)) << "valid JSON";
  ASSERT_TRUE(client.Read(&opcode, &payload));
  EXPECT_EQ("still here after the deep frame", ContentOf(payload));

  ASSERT_TRUE(client.Read(&opcode, &payload));
  EXPECT_EQ(2, opcode);
  EXPECT_NE(std::string::npos, payload.find("\"MsgTag\":10010209"));
  // Overlong, surrogate, truncated, 0xFF, past U+10FFFF, in the nickname: all sent as text.
  for (const char* bad : {"\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xE4\xB8 ", "\xFF\xFE", "\xF4\x90", "\xFF\xC0"}) {
    ASSERT_TRUE(client.Read(&opcode, &payload));
    EXPECT_EQ(1, opcode);
    EXPECT_NE(std::string::npos, payload.find(bad)) << payload;
  }
  ASSERT_TRUE(client.Read(&opcode, &payload));
  EXPECT_EQ("still here after the invalid frames", ContentOf(payload));
}

TEST(RoomSimTest, DropEndsTheTcpConnectionWithoutACloseFrameAndReconnectionsWork) {
  for (const char* how : {"fin", "rst"}) {
    RoomSimProcess sim;
    std::vector<std::string> args = {"--rate", "0", "--drop-after", "0.2"};
    if (how == std::string("rst")) args.push_back("--drop-rst");
    ASSERT_TRUE(sim.Start(args)) << sim.startError();
    for (int round = 0; round < 2; ++round) {  // the second connection is a reconnection
      WsClient client;
      Clock::time_point joined = Clock::now();
      Join(sim, client);
      int opcode = 0;
      std::string payload;
      EXPECT_FALSE(client.Read(&opcode, &payload, milliseconds(3000))) << "opcode " << opcode;
      EXPECT_TRUE(client.ended()) << how;
      EXPECT_LT(Clock::now() - joined, milliseconds(2000));
    }
    EXPECT_TRUE(sim.WaitForLog({"\"event\":\"dropping\"", "\"conn\":2", std::string("\"how\":\"") + how},
                               milliseconds(1000)));
  }
}

TEST(RoomSimTest, HangAndRefusalStartAtTheNthUpgradeOrJoin) {
  {
    RoomSimProcess sim;
    ASSERT_TRUE(sim.Start({"--rate", "0", "--hang-handshake", "--faults-from-join", "2"})) << sim.startError();
    WsClient first;
    ASSERT_TRUE(first.Connect(sim.roomPort(), "/chat"));
    {
      WsClient second;
      std::string response;
      EXPECT_FALSE(second.Connect(sim.roomPort(), "/chat", &response, milliseconds(1000)));
      EXPECT_EQ("", response);
      EXPECT_FALSE(second.ended()) << "accepted and held open";
      EXPECT_TRUE(sim.WaitForLog({"\"event\":\"hung\"", "\"upgrade\":2"}, milliseconds(1000)));
    }
    EXPECT_TRUE(sim.WaitForLog({"\"event\":\"hang-end\"", "\"upgrade\":2"}, milliseconds(2000)));
  }
  {
    RoomSimProcess sim;
    ASSERT_TRUE(sim.Start({"--rate", "0", "--refuse-joins", "--faults-from-join", "2"})) << sim.startError();
    WsClient first, second;
    Join(sim, first);
    ASSERT_TRUE(second.Connect(sim.roomPort(), "/chat"));
    ASSERT_TRUE(second.SendText(JoinFrame(100001)));
    ExpectClose(second, 1008);
    int opcode = 0;
    std::string payload;
    EXPECT_FALSE(first.Read(&opcode, &payload, milliseconds(200))) << "the first join stays served";
    EXPECT_TRUE(sim.WaitForLog({"\"event\":\"refused\"", "\"conn\":2", "--refuse-joins"}, milliseconds(1000)));
  }
}

TEST(RoomSimTest, StrictRefusesUnknownRoomsWrongPathsAndVanityJoins) {
  RoomSimProcess sim;
  ASSERT_TRUE(sim.Start({"--rate", "0", "--strict", "--escaped-slashes"})) << sim.startError();
  std::string port = std::to_string(sim.roomPort());
  EXPECT_NE(std::string::npos,
            HttpGet(sim.RoomUrl("/?roomId=100001")).find("\"ws\":\"ws:\\/\\/127.0.0.1:" + port + "\\/chat\\/\""));
  EXPECT_EQ("<no marker>", Cut(HttpGet(sim.RoomUrl("/?roomId=888")), ",\"ws\":\"", "\",\""));
  // What the program sends passes; an unknown number is an error, not an echo.
  EXPECT_EQ("100001", Cut(HttpGet(sim.ApiUrl(LuckyUrl(888))), "\"userId\":", ",\""));
  EXPECT_EQ("主播小七", Cut(HttpGet(sim.ApiUrl(NicknameUrl(100001))), "\"nickname\":\"", "\",\""));
  EXPECT_EQ("<no marker>", Cut(HttpGet(sim.ApiUrl(LuckyUrl(424242))), "\"userId\":", ",\""));
  EXPECT_TRUE(sim.WaitForLog({"\"event\":\"refused\"", "\"server\":\"api\"", "unknown luckyId"}, milliseconds(1000)));

  WsClient wrongPath;
  std::string response;
  EXPECT_FALSE(wrongPath.Connect(sim.roomPort(), "/other", &response));
  EXPECT_EQ(0u, response.find("HTTP/1.1 404")) << response;
  for (int roomId : {888, 424242}) {
    WsClient client;
    ASSERT_TRUE(client.Connect(sim.roomPort(), "/chat"));
    ASSERT_TRUE(client.SendText(JoinFrame(roomId)));
    ExpectClose(client, 1008);
  }
  EXPECT_TRUE(sim.WaitForLog({"\"event\":\"refused\"", "vanity number"}, milliseconds(1000)));
  WsClient client;  // the page's own path, with its last slash, is served too
  Join(sim, client, 100001, "/chat/");
}

int64_t MonotonicUs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

TEST(RoomSimTest, StampNumbersEveryGeneratedChatLineAndLogsItsMonotonicSendTime) {
  RoomSimProcess sim;
  ASSERT_TRUE(sim.Start({"--stamp", "--rate", "100", "--burst", "0.05"})) << sim.startError();
  int64_t before = MonotonicUs();
  WsClient client;
  Join(sim, client);
  const std::vector<std::string> bars = {"...........|", "..........|.", "..........||", ".........|..",
                                         ".........|.|"};
  for (size_t i = 0; i < bars.size(); ++i) {
    int opcode = 0;
    std::string payload;
    ASSERT_TRUE(client.Read(&opcode, &payload)) << "line " << i + 1;
    roomsim::JsonPtr root = roomsim::ParseJson(payload, nullptr);
    ASSERT_TRUE(root) << payload;
    EXPECT_EQ(10010209, roomsim::IntOr(roomsim::Member(root.get(), "MsgTag"), 0)) << payload;
    EXPECT_EQ("#" + std::to_string(i + 1), roomsim::StringOr(roomsim::Member(root.get(), "sNickname"), ""));
    EXPECT_EQ(bars[i], ContentOf(payload));
  }
  ASSERT_TRUE(sim.WaitForLog({"\"event\":\"burst-end\"", "\"sent\":5"}, milliseconds(2000)));
  int64_t after = MonotonicUs();
  int64_t seq = 0, last = 0;
  for (const std::string& line : sim.LogLines()) {
    if (line.find("\"event\":\"stamp\"") == std::string::npos) continue;
    roomsim::JsonPtr root = roomsim::ParseJson(line, nullptr);
    ASSERT_TRUE(root) << line;
    EXPECT_EQ(++seq, roomsim::IntOr(roomsim::Member(root.get(), "seq"), 0)) << line;
    EXPECT_EQ("#" + std::to_string(seq), roomsim::StringOr(roomsim::Member(root.get(), "token"), "")) << line;
    int64_t us = roomsim::IntOr(roomsim::Member(root.get(), "mono_us"), 0);
    EXPECT_GE(us, std::max(before, last)) << line;
    EXPECT_LE(us, after) << line;
    last = us;
  }
  EXPECT_EQ(5, seq);

  std::string errors;
  EXPECT_EQ(2, RoomSimProcess::RunToEnd({"--stamp", "--rate", "0"}, &errors));
  EXPECT_EQ(0u, errors.find("qvroomsim: --stamp")) << errors;
}

TEST(RoomSimTest, PortInUseAndBadArgumentsExitWithAMessage) {
  RoomSimProcess first;
  ASSERT_TRUE(first.Start({"--rate", "0"})) << first.startError();
  std::string errors;
  int code = RoomSimProcess::RunToEnd({"--port-api", std::to_string(first.apiPort()), "--port-room", "0"}, &errors);
  EXPECT_EQ(2, code);
  EXPECT_NE(std::string::npos, errors.find("cannot listen on 127.0.0.1:" + std::to_string(first.apiPort())))
      << errors;
  EXPECT_NE(std::string::npos, errors.find("in use")) << errors;

  EXPECT_EQ(2, RoomSimProcess::RunToEnd({"--rate", "fast"}, &errors));
  EXPECT_NE(std::string::npos, errors.find("--rate")) << errors;
  EXPECT_EQ(2, RoomSimProcess::RunToEnd({"--rooms", "/nonexistent/rooms.json"}, &errors));
  EXPECT_NE(std::string::npos, errors.find("cannot read rooms file")) << errors;
  for (std::vector<std::string> bad : {std::vector<std::string>{"--burst", "0"}, {"--burst-delay", "1.5"},
                                       {"--long-chat", "big"}, {"--deep-json"}, {"--faults-from-join", "0"},
                                       {"--drop-rst"}}) {
    EXPECT_EQ(2, RoomSimProcess::RunToEnd(bad, &errors));
    EXPECT_EQ(0u, errors.find("qvroomsim: " + bad[0])) << errors;
  }
}

}  // namespace
