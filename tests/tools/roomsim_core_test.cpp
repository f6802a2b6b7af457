// The simulator's pieces without a server: rooms files, scenarios and the API answers.
#include <gtest/gtest.h>

#include "Json.h"
#include "Pages.h"
#include "Rooms.h"
#include "Scenario.h"
#include "Traffic.h"

namespace {

using namespace roomsim;

TEST(RoomSimCoreTest, RoomsFileIsCheckedAndVanityNumbersResolve) {
  Rooms rooms;
  std::string error;
  ASSERT_TRUE(Rooms::Parse(R"({"rooms":[{"userId":7,"luckyIds":[77],"nickname":"a\"b","live":false}]})", &rooms,
                           &error))
      << error;
  EXPECT_EQ(7, rooms.ResolveLuckyId(77));
  EXPECT_EQ(8, rooms.ResolveLuckyId(8));
  ASSERT_NE(nullptr, rooms.Find(7));
  EXPECT_FALSE(rooms.Find(7)->live);

  EXPECT_FALSE(Rooms::Parse("{\"rooms\":[{\"userId\":\"7\",\"nickname\":\"x\"}]}", &rooms, &error));
  EXPECT_NE(std::string::npos, error.find("room 1: \"userId\"")) << error;
  EXPECT_FALSE(Rooms::Parse("{\"rooms\":[{\"userId\":7,\"nickname\":\"x\"},{\"userId\":8,\"luckyIds\":[7],"
                            "\"nickname\":\"y\"}]}",
                            &rooms, &error));
  EXPECT_NE(std::string::npos, error.find("used twice")) << error;
  EXPECT_FALSE(Rooms::Parse("[1", &rooms, &error));
  EXPECT_EQ(7, rooms.ResolveLuckyId(77)) << "a failed parse keeps the rooms";

  // The built-in rooms are valid and resolve the documented vanity number.
  EXPECT_EQ(100001, Rooms::Default().ResolveLuckyId(888));
}

TEST(RoomSimCoreTest, NicknameAnswerEscapesQuotesAndUnknownRequestsAreErrors) {
  Rooms rooms;
  std::string error;
  ASSERT_TRUE(Rooms::Parse(R"({"rooms":[{"userId":7,"nickname":"a\"b"}]})", &rooms, &error));
  HttpAnswer a = ApiAnswer(rooms, Faults{}, "/neVask/entrance?parameter={%22FuncTag%22:10005001,%22userId%22:7}");
  EXPECT_EQ(200, a.status);
  EXPECT_NE(std::string::npos, a.body.find("\"nickname\":\"a\\\"b\",\"")) << a.body;
  EXPECT_EQ(400, ApiAnswer(rooms, Faults{}, "/neVask/entrance?parameter={\"FuncTag\":1}").status);
  EXPECT_EQ(400, ApiAnswer(rooms, Faults{}, "/neVask/entrance?parameter={broken").status);
  EXPECT_EQ(404, ApiAnswer(rooms, Faults{}, "/other").status);
  EXPECT_EQ(404, RoomPageAnswer(rooms, Faults{}, "/?roomId=7x", "ws://127.0.0.1:1/chat/").status);
}

TEST(RoomSimCoreTest, ScenarioKeepsFrameTextAndRejectsBadLines) {
  std::vector<ScenarioStep> steps;
  std::string error;
  ASSERT_TRUE(ParseScenario("# c\n\n{\"frame\": {\"MsgTag\": 1.0, \"a\":[1,{\"b\":\"}\"}]} ,\"delay\":5}\r\n"
                            "{\"delay\":1,\"close\":1001}\n",
                            &steps, &error))
      << error;
  ASSERT_EQ(2u, steps.size());
  EXPECT_EQ("{\"MsgTag\": 1.0, \"a\":[1,{\"b\":\"}\"}]}", steps[0].frame.payload);
  EXPECT_EQ(5, steps[0].delayMs);
  EXPECT_TRUE(steps[1].close);
  EXPECT_EQ(1001, steps[1].closeCode);

  EXPECT_FALSE(ParseScenario("{\"delay\":1}\n", &steps, &error));
  EXPECT_NE(std::string::npos, error.find("line 1")) << error;
  EXPECT_FALSE(ParseScenario("{\"frame\":{}}\n{\"delay\":-1,\"frame\":{}}\n", &steps, &error));
  EXPECT_NE(std::string::npos, error.find("line 2")) << error;
  EXPECT_FALSE(ParseScenario("{\"frame\":{}\n", &steps, &error));
}

TEST(RoomSimCoreTest, MalformedAndOversizedFramesAreWhatTheyClaim) {
  Traffic traffic(1);
  int unparsable = 0, binary = 0;
  for (int i = 0; i < 10; ++i) {
    Frame f = traffic.Malformed();
    binary += f.binary;
    JsonPtr root = ParseJson(f.payload, nullptr);
    const json_value* tag = root ? Member(root.get(), "MsgTag") : nullptr;
    if (!root) ++unparsable;
    // None is a valid frame the decoder would turn into a record of its kind.
    bool validChat = IsInteger(tag) && tag->u.integer == 10010209 && IsString(Member(root.get(), "sNickname")) &&
                     IsString(Member(root.get(), "content"));
    EXPECT_FALSE(validChat) << f.payload;
  }
  EXPECT_GE(unparsable, 2);
  EXPECT_EQ(1, binary);
  Frame big = traffic.Oversized(1 << 20);
  EXPECT_GE(big.payload.size(), 1u << 20);
  EXPECT_TRUE(ParseJson(big.payload, nullptr));
}

TEST(RoomSimCoreTest, StrictApiTakesExactlyTheProgramsParameterInEitherQuoting) {
  Faults strict;
  strict.strict = true;
  Rooms rooms = Rooms::Default();
  auto status = [&](const std::string& parameter) {
    return ApiAnswer(rooms, strict, "/neVask/entrance?parameter=" + parameter).status;
  };
  EXPECT_EQ(200, status("{\"FuncTag\":10005047,\"luckyId\":888}"));  // as the program sends it
  EXPECT_EQ(200, status("{%22FuncTag%22:10005001,%22userId%22:100001}"));
  EXPECT_EQ(200, status("{\"FuncTag\":10005001,\"userId\":100001}"));
  EXPECT_EQ(200, status("{%22FuncTag%22:10005047,%22luckyId%22:888}"));
  for (const char* bad : {"{%2522FuncTag%2522:10005047,%2522luckyId%2522:888}",  // double-escaped
                          "{%22FuncTag%22:10005047,\"luckyId\":888}",              // mixed
                          "{'FuncTag':10005047,'luckyId':888}", "{%27FuncTag%27:10005047,%27luckyId%27:888}",
                          "{\"FuncTag\": 10005047, \"luckyId\": 888}", "{\"FuncTag\":10005047,\"luckyId\":888,\"x\":1}",
                          "{FuncTag:10005047}", "{\"FuncTag\":10005047,\"luckyId\":888}&x=1"}) {
    HttpAnswer a = ApiAnswer(rooms, strict, std::string("/neVask/entrance?parameter=") + bad);
    EXPECT_EQ(400, a.status) << bad;
    EXPECT_FALSE(a.refused.empty()) << bad;
  }
  EXPECT_EQ("wrong path", RoomPageAnswer(rooms, strict, "/?roomId=100001&x=1", "ws://h/chat/").refused);
  EXPECT_EQ("unknown room", RoomPageAnswer(rooms, strict, "/?roomId=888", "ws://h/chat/").refused);
}

}  // namespace
