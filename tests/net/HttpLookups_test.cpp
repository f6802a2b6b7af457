// The HTTP lookups against a local server whose answers each test chooses.
#include "net/HttpLookups.h"

#include <gtest/gtest.h>

#include "TestHttpServer.h"
#include "net/WebSockSession.h"

namespace {

using nettest::HttpAnswer;
using nettest::TestHttpServer;

class HttpLookups : public ::testing::Test {
 protected:
  // Both endpoints point at one server that answers every request with `answer`.
  void Serve(HttpAnswer answer) {
    answer_ = std::move(answer);
    server_.reset(new TestHttpServer([this](const std::string&) { return answer_; }));
    LookupEndpoints() = {"127.0.0.1", server_->port(), "127.0.0.1:" + std::to_string(server_->port())};
  }
  std::string Body(const std::string& text) { return std::string(text) + '\0'; }

  int LuckyId(const std::string& body) {
    Serve({200, body});
    return GetLuckyUserId(session_);
  }
  std::pair<CDuiString, CDuiString> Nickname(const HttpAnswer& answer) {
    Serve(answer);
    CDuiString nickname = u"old", error = u"old";
    GetUserNickName(session_, nickname, error);
    return {nickname, error};
  }
  std::string WsUrl(const std::string& body) {
    Serve({200, body});
    return GetRoomWsUrl(100001);
  }

  HttpAnswer answer_;
  std::unique_ptr<TestHttpServer> server_;
  CWebSockSession session_;
};

TEST_F(HttpLookups, HttpGetReturnsAnyBodyWithOneTerminatingNul) {
  Serve({200, "hello"});
  EXPECT_EQ(HttpGet("http://127.0.0.1:" + std::to_string(server_->port()) + "/x"), Body("hello"));
  // An error page is a body like any other; an empty body still opened.
  Serve({404, "{\"error\":\"no\"}"});
  EXPECT_EQ(HttpGet("http://127.0.0.1:" + std::to_string(server_->port()) + "/x"), Body("{\"error\":\"no\"}"));
  Serve({200, ""});
  EXPECT_EQ(HttpGet("http://127.0.0.1:" + std::to_string(server_->port()) + "/x"), std::string(1, '\0'));
  // Nobody listening: the request did not open.
  EXPECT_EQ(HttpGet("http://127.0.0.1:" + std::to_string(nettest::UnusedPort()) + "/x"), "");
}

TEST_F(HttpLookups, HttpGetKeepsBodiesPastTheFirstBufferAndStopsAtTheBound) {
  std::string large(100000, 'a');
  large[99999] = 'z';
  Serve({200, large});
  EXPECT_EQ(HttpGet("http://127.0.0.1:" + std::to_string(server_->port()) + "/"), Body(large));

  Serve({200, std::string(kHttpBodyLimit + 1024 * 1024, 'b')});
  std::string capped = HttpGet("http://127.0.0.1:" + std::to_string(server_->port()) + "/");
  ASSERT_EQ(capped.size(), kHttpBodyLimit + 1);
  EXPECT_EQ(capped.back(), '\0');
  EXPECT_EQ(capped[kHttpBodyLimit - 1], 'b');
}

TEST_F(HttpLookups, AnAbortedLookupSendsNoRequest) {
  Serve({200, "hello"});
  const std::string url = "http://127.0.0.1:" + std::to_string(server_->port()) + "/x";
  LookupAbort abort;
  EXPECT_EQ(HttpGet(url, &abort), Body("hello"));
  abort.Abort();
  EXPECT_EQ(HttpGet(url, &abort), "");
  EXPECT_EQ(server_->Targets().size(), 1u);
}

TEST_F(HttpLookups, UrlsCarryTheSessionsRoomAndTheirOwnQuoting) {
  Serve({200, "{}"});
  session_.m_nRoomId = 888;
  GetLuckyUserId(session_);
  session_.m_nRoomId = 100001;
  CDuiString nickname, error;
  GetUserNickName(session_, nickname, error);
  GetRoomWsUrl(100002);
  EXPECT_EQ(server_->Targets(),
            (std::vector<std::string>{"/neVask/entrance?parameter={\"FuncTag\":10005047,\"luckyId\":888}",
                                      "/neVask/entrance?parameter={%22FuncTag%22:10005001,%22userId%22:100001}",
                                      "/?roomId=100002"}));
}

TEST_F(HttpLookups, LuckyIdIsTheTextUpToTheTerminatorAsAtoiReadsIt) {
  EXPECT_EQ(LuckyId("{\"code\":0,\"userId\":100001,\"luckyId\":888}"), 100001);
  EXPECT_EQ(LuckyId("{\"userId\": -42,\"x\":1}"), -42);
  EXPECT_EQ(LuckyId("{\"userId\":\"100001\",\"x\":1}"), 0);  // quoted: a valid 0
  EXPECT_EQ(LuckyId("{\"userId\":7,\"a\":1,\"userId\":9,\"b\":2}"), 7);
  EXPECT_EQ(LuckyId("{\"userId\":100001}"), -1);       // no terminator
  EXPECT_EQ(LuckyId("{\"userid\":100001,\"x\":1}"), -1);  // markers are case-sensitive
  EXPECT_EQ(LuckyId(""), -1);
  LookupEndpoints().apiPort = nettest::UnusedPort();
  EXPECT_EQ(GetLuckyUserId(session_), -1);
}

TEST_F(HttpLookups, NicknameFailuresHaveTheirOwnTexts) {
  EXPECT_EQ(Nickname({200, "{}"}), std::make_pair(CDuiString(), CDuiString(u"该房间号不存在")));
  EXPECT_EQ(Nickname({200, "{}garbage\"nickname\":\"a\",\""}).second, CDuiString(u"该房间号不存在"));
  EXPECT_EQ(Nickname({200, ""}).second, CDuiString(u"服务器返回错误，代码100"));
  EXPECT_EQ(Nickname({404, "not found"}).second, CDuiString(u"服务器返回错误，代码100"));
  EXPECT_EQ(Nickname({200, "{\"nickname\":\"abc\"}"}), std::make_pair(CDuiString(), CDuiString(u"服务器返回错误，代码101")));
  LookupEndpoints().apiPort = nettest::UnusedPort();
  CDuiString nickname = u"old", error;
  GetUserNickName(session_, nickname, error);
  EXPECT_EQ(error, CDuiString(u"请检查网络状况"));
  EXPECT_TRUE(nickname.IsEmpty());
}

TEST_F(HttpLookups, NicknameIsCutAtTheFirstTerminatorAndConvertedFromUtf8) {
  EXPECT_EQ(Nickname({200, "{\"code\":0,\"nickname\":\"主播小七\",\"userId\":1}"}),
            std::make_pair(CDuiString(u"主播小七"), CDuiString()));
  EXPECT_EQ(Nickname({200, "{\"nickname\":\"a\",\"b\",\"userId\":1}"}).first, CDuiString(u"a"));
  // JSON escapes are not decoded.
  EXPECT_EQ(Nickname({200, "{\"nickname\":\"a\\\"b\\u0041\",\"x\":1}"}).first, CDuiString(u"a\\\"b\\u0041"));
}

TEST_F(HttpLookups, WsAddressLosesItsEscapesAndOneTrailingSlash) {
  EXPECT_EQ(WsUrl("x = {\"roomId\":1,\"ws\":\"ws://127.0.0.1:81/chat/\",\"live\":1}"), "ws://127.0.0.1:81/chat");
  EXPECT_EQ(WsUrl(",\"ws\":\"ws://h/chat//\",\""), "ws://h/chat/");
  EXPECT_EQ(WsUrl(",\"ws\":\"/\",\""), "/");
  EXPECT_EQ(WsUrl(",\"ws\":\"ws:\\/\\/h\\/c\\/\",\""), "ws://h/c");  // JSON's escaped slashes
  EXPECT_EQ(WsUrl(",\"ws\":\"first\",\" ,\"ws\":\"second\",\""), "first");
  EXPECT_EQ(WsUrl("{\"ws\":\"ws://h/\",\"x\":1}"), "");  // the marker starts with a comma
  EXPECT_EQ(WsUrl(",\"ws\":\"ws://h/\"}"), "");
  EXPECT_EQ(WsUrl(""), "");
}

}  // namespace
