// The environment may point the program at other servers; malformed values are refused, not used.
#include "app/EndpointOverride.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

struct Env {
  Env(const char* name, const char* value) : name_(name) { ::setenv(name, value, 1); }
  ~Env() { ::unsetenv(name_); }
  const char* name_;
};

}  // namespace

TEST(EndpointOverride, WellFormedValuesReplaceTheCompiledInServers) {
  HttpEndpoints endpoints{"10.0.0.1", 8080, "10.0.0.1:8081"};
  EXPECT_EQ(ApplyEndpointOverrides(endpoints), "");
  EXPECT_EQ(endpoints.apiHost, "10.0.0.1") << "nothing set, nothing changes";
  Env api("QV_API_ENDPOINT", "127.0.0.1:41000");
  Env room("QV_ROOM_ENDPOINT", "127.0.0.1:41001");
  EXPECT_EQ(ApplyEndpointOverrides(endpoints), "");
  EXPECT_EQ(endpoints.apiHost, "127.0.0.1");
  EXPECT_EQ(endpoints.apiPort, 41000);
  EXPECT_EQ(endpoints.roomHost, "127.0.0.1:41001");
}

TEST(EndpointOverride, MalformedValuesAreReportedAndIgnored) {
  HttpEndpoints endpoints{"10.0.0.1", 8080, "10.0.0.1:8081"};
  for (const char* bad : {"127.0.0.1", "127.0.0.1:", ":80", "127.0.0.1:0", "127.0.0.1:65536", "127.0.0.1:8x",
                          "127.0.0.1:99999999999999999999", "http://x:80"}) {
    Env api("QV_API_ENDPOINT", bad);
    std::string problems = ApplyEndpointOverrides(endpoints);
    EXPECT_NE(problems.find("QV_API_ENDPOINT"), std::string::npos) << bad;
    EXPECT_EQ(endpoints.apiHost, "10.0.0.1") << bad;
    EXPECT_EQ(endpoints.apiPort, 8080) << bad;
  }
  Env room("QV_ROOM_ENDPOINT", "a b:80");
  EXPECT_NE(ApplyEndpointOverrides(endpoints).find("QV_ROOM_ENDPOINT"), std::string::npos);
  EXPECT_EQ(endpoints.roomHost, "10.0.0.1:8081");
}
