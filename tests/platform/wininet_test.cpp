// WinINet subset against a small scripted HTTP server on 127.0.0.1.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/testing.h"
#include "platform/win32.h"

namespace {

bool SendAll(int fd, const std::string& data) {
  size_t sent = 0;
  while (sent < data.size()) {
    ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

std::string Response(int status, const std::string& reason, const std::string& body,
                     const std::string& extraHeaders = "") {
  return "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\nConnection: close\r\n" + extraHeaders + "\r\n" + body;
}

// One connection per request; a route writes the whole answer to the socket itself.
class TestServer {
 public:
  using Route = std::function<void(int fd)>;

  TestServer() {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::listen(listenFd_, 16);
    socklen_t len = sizeof addr;
    ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    acceptor_ = std::thread([this] { AcceptLoop(); });
  }

  ~TestServer() {
    Release();
    ::shutdown(listenFd_, SHUT_RDWR);
    ::close(listenFd_);
    acceptor_.join();
    for (auto& t : workers_) t.join();
  }

  void On(const std::string& path, Route route) {
    std::lock_guard<std::mutex> lock(mutex_);
    routes_[path] = std::move(route);
  }

  std::string Url(const std::string& pathAndQuery) const {
    return "http://127.0.0.1:" + std::to_string(port_) + pathAndQuery;
  }

  std::vector<std::string> Requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }

  // Routes that hold their connection open wait here until the test lets them go.
  void WaitForRelease() {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [this] { return released_; });
  }
  void Release() {
    std::lock_guard<std::mutex> lock(mutex_);
    released_ = true;
    cv_.notify_all();
  }

 private:
  void AcceptLoop() {
    for (;;) {
      int fd = ::accept(listenFd_, nullptr, nullptr);
      if (fd < 0) return;
      workers_.emplace_back([this, fd] { Serve(fd); });
    }
  }

  void Serve(int fd) {
    std::string request;
    char buf[4096];
    while (request.find("\r\n\r\n") == std::string::npos) {
      ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      request.append(buf, static_cast<size_t>(n));
    }
    size_t sp1 = request.find(' ');
    size_t sp2 = request.find(' ', sp1 + 1);
    std::string target = sp1 == std::string::npos ? "" : request.substr(sp1 + 1, sp2 - sp1 - 1);
    std::string path = target.substr(0, target.find('?'));
    Route route;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      requests_.push_back(request);
      auto it = routes_.find(path);
      if (it != routes_.end()) route = it->second;
    }
    if (route) {
      route(fd);
    } else {
      SendAll(fd, Response(404, "Not Found", "no route"));
    }
    ::shutdown(fd, SHUT_WR);
    ::close(fd);
  }

  int listenFd_ = -1;
  int port_ = 0;
  std::thread acceptor_;
  std::vector<std::thread> workers_;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool released_ = false;
  std::map<std::string, Route> routes_;
  std::vector<std::string> requests_;
};

struct Fetched {
  bool opened = false;
  DWORD openError = 0;
  std::string body;
  bool readFailed = false;
  DWORD readError = 0;
};

Fetched Fetch(const std::string& url, const char* agent = "Mozilla/5.0", const char* headers = nullptr) {
  Fetched f;
  HINTERNET net = InternetOpenA(agent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  if (!net) return f;
  HINTERNET file = InternetOpenUrlA(net, url.c_str(), headers, headers ? static_cast<DWORD>(-1) : 0, 0, 0);
  if (!file) {
    f.openError = GetLastError();
    InternetCloseHandle(net);
    return f;
  }
  f.opened = true;
  char buf[8192];
  for (;;) {
    DWORD got = 0;
    if (!InternetReadFile(file, buf, sizeof buf, &got)) {
      f.readFailed = true;
      f.readError = GetLastError();
      break;
    }
    if (got == 0) break;
    f.body.append(buf, got);
  }
  InternetCloseHandle(file);
  InternetCloseHandle(net);
  return f;
}

// Whether libcurl is mapped into this process right now.
bool CurlMapped() {
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line)) {
    if (line.find("libcurl.so") != std::string::npos) return true;
  }
  return false;
}

// Speeds the layer's clock up for one test; later tests in the same process run on real time.
class FastClock {
 public:
  explicit FastClock(double factor) { qvplatform::testing::SetClockSpeed(factor); }
  ~FastClock() { qvplatform::testing::SetClockSpeed(1); }
};

int ClosedPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(fd);  // bound, never listened: connecting is refused
  return ntohs(addr.sin_port);
}

TEST(WinInetTest, ReadsBodyAndSendsAgentAndHeadersAndRawQuery) {
  TestServer server;
  server.On("/neVask/entrance", [](int fd) { SendAll(fd, Response(200, "OK", "{\"userId\":42,\"x\":1}")); });
  const std::string query = "/neVask/entrance?parameter={\"FuncTag\":10005047,\"luckyId\":7}";
  Fetched f = Fetch(server.Url(query), "Mozilla/5.0", "X-Probe: yes\r\n");
  ASSERT_TRUE(f.opened) << f.openError;
  EXPECT_FALSE(f.readFailed);
  EXPECT_EQ("{\"userId\":42,\"x\":1}", f.body);
  auto requests = server.Requests();
  ASSERT_EQ(1u, requests.size());
  EXPECT_EQ(0u, requests[0].find("GET " + query + " HTTP/1.1\r\n")) << requests[0];
  EXPECT_NE(std::string::npos, requests[0].find("\r\nUser-Agent: Mozilla/5.0\r\n"));
  EXPECT_NE(std::string::npos, requests[0].find("\r\nX-Probe: yes\r\n"));
}

TEST(WinInetTest, ErrorStatusBodyIsReturnedLikeAnyOther) {
  TestServer server;
  server.On("/gone", [](int fd) { SendAll(fd, Response(404, "Not Found", "<html>missing</html>")); });
  server.On("/empty", [](int fd) { SendAll(fd, Response(500, "Server Error", "")); });
  Fetched missing = Fetch(server.Url("/gone"));
  ASSERT_TRUE(missing.opened);
  EXPECT_EQ("<html>missing</html>", missing.body);
  Fetched empty = Fetch(server.Url("/empty"));
  ASSERT_TRUE(empty.opened);
  EXPECT_FALSE(empty.readFailed);
  EXPECT_EQ("", empty.body);
}

TEST(WinInetTest, FollowsRedirectsButNotToOtherSchemes) {
  TestServer server;
  server.On("/old", [](int fd) { SendAll(fd, Response(302, "Found", "moved", "Location: /new\r\n")); });
  server.On("/new", [](int fd) { SendAll(fd, Response(200, "OK", "landed")); });
  server.On("/tofile", [](int fd) {
    SendAll(fd, Response(302, "Found", "moved", "Location: file:///etc/hostname\r\n"));
  });
  Fetched f = Fetch(server.Url("/old"));
  ASSERT_TRUE(f.opened);
  EXPECT_EQ("landed", f.body);

  Fetched file = Fetch(server.Url("/tofile"));
  EXPECT_FALSE(file.opened);
  EXPECT_EQ(ERROR_INTERNET_UNRECOGNIZED_SCHEME, static_cast<long>(file.openError));
}

TEST(WinInetTest, StreamsLargeBodyBeforeItHasAllArrived) {
  TestServer server;
  const std::string head(64 * 1024, 'a');
  const std::string tail(4 * 1024 * 1024, 'b');
  server.On("/big", [&](int fd) {
    std::string headers = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(head.size() + tail.size()) +
                          "\r\nConnection: close\r\n\r\n";
    SendAll(fd, headers + head);
    server.WaitForRelease();  // the rest only once the client has read the start
    SendAll(fd, tail);
  });
  HINTERNET net = InternetOpenA("Mozilla/5.0", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  ASSERT_NE(nullptr, net);
  HINTERNET file = InternetOpenUrlA(net, server.Url("/big").c_str(), nullptr, 0, 0, 0);
  ASSERT_NE(nullptr, file);
  std::vector<char> buf(head.size());
  DWORD got = 0;
  ASSERT_TRUE(InternetReadFile(file, buf.data(), static_cast<DWORD>(buf.size()), &got));
  EXPECT_EQ(head.size(), got);
  EXPECT_EQ(head, std::string(buf.data(), got));
  server.Release();

  size_t total = 0;
  bool allB = true;
  std::vector<char> chunk(100000);
  for (;;) {
    ASSERT_TRUE(InternetReadFile(file, chunk.data(), static_cast<DWORD>(chunk.size()), &got));
    if (got == 0) break;
    for (DWORD i = 0; i < got; ++i) allB = allB && chunk[i] == 'b';
    total += got;
  }
  EXPECT_EQ(tail.size(), total);
  EXPECT_TRUE(allB);
  EXPECT_TRUE(InternetCloseHandle(file));
  EXPECT_TRUE(InternetCloseHandle(net));
}

TEST(WinInetTest, BodyCutShortKeepsWhatArrivedThenFails) {
  TestServer server;
  server.On("/short", [](int fd) {
    SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\nConnection: close\r\n\r\npartial");
  });
  Fetched f = Fetch(server.Url("/short"));
  ASSERT_TRUE(f.opened);
  EXPECT_EQ("partial", f.body);
  EXPECT_TRUE(f.readFailed);
  EXPECT_EQ(ERROR_INTERNET_CONNECTION_ABORTED, static_cast<long>(f.readError));
}

TEST(WinInetTest, StalledReceiveTimesOutOnTheLayerClock) {
  FastClock clock(1000);  // 30 s of silence pass in 30 ms
  TestServer server;
  server.On("/silent", [&](int) { server.WaitForRelease(); });
  server.On("/midbody", [&](int fd) {
    SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nfirst");
    server.WaitForRelease();
  });
  Fetched silent = Fetch(server.Url("/silent"));
  EXPECT_FALSE(silent.opened);
  EXPECT_EQ(ERROR_INTERNET_TIMEOUT, static_cast<long>(silent.openError));

  Fetched midBody = Fetch(server.Url("/midbody"));
  ASSERT_TRUE(midBody.opened);
  EXPECT_EQ("first", midBody.body);
  EXPECT_TRUE(midBody.readFailed);
  EXPECT_EQ(ERROR_INTERNET_TIMEOUT, static_cast<long>(midBody.readError));
}

TEST(WinInetTest, SlowButSteadyBodyDoesNotTimeOut) {
  FastClock clock(1000);
  TestServer server;
  server.On("/drip", [](int fd) {
    SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n");
    for (char c : std::string("drips")) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));  // 20 s on the sped-up clock
      SendAll(fd, std::string(1, c));
    }
  });
  Fetched f = Fetch(server.Url("/drip"));
  ASSERT_TRUE(f.opened);
  EXPECT_FALSE(f.readFailed);
  EXPECT_EQ("drips", f.body);
}

TEST(WinInetTest, ConnectionFailuresGiveWinInetCodes) {
  Fetched refused = Fetch("http://127.0.0.1:" + std::to_string(ClosedPort()) + "/");
  EXPECT_FALSE(refused.opened);
  EXPECT_EQ(ERROR_INTERNET_CANNOT_CONNECT, static_cast<long>(refused.openError));

  Fetched otherScheme = Fetch("ftp://127.0.0.1/");
  EXPECT_EQ(ERROR_INTERNET_UNRECOGNIZED_SCHEME, static_cast<long>(otherScheme.openError));
  Fetched badUrl = Fetch("http://");
  EXPECT_EQ(ERROR_INTERNET_INVALID_URL, static_cast<long>(badUrl.openError));
}

TEST(WinInetTest, StaleAndWrongHandlesFailCleanly) {
  TestServer server;
  server.On("/a", [](int fd) { SendAll(fd, Response(200, "OK", "abc")); });
  HINTERNET net = InternetOpenA("Mozilla/5.0", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  ASSERT_NE(nullptr, net);
  HINTERNET file = InternetOpenUrlA(net, server.Url("/a").c_str(), nullptr, 0, 0, 0);
  ASSERT_NE(nullptr, file);

  char buf[16];
  DWORD got = 0;
  EXPECT_FALSE(InternetReadFile(net, buf, sizeof buf, &got));
  EXPECT_EQ(ERROR_INTERNET_INCORRECT_HANDLE_TYPE, static_cast<long>(GetLastError()));
  EXPECT_EQ(nullptr, InternetOpenUrlA(file, server.Url("/a").c_str(), nullptr, 0, 0, 0));
  EXPECT_EQ(ERROR_INTERNET_INCORRECT_HANDLE_TYPE, static_cast<long>(GetLastError()));

  // Closing the internet handle closes the URL handle opened through it.
  EXPECT_TRUE(InternetCloseHandle(net));
  EXPECT_FALSE(InternetReadFile(file, buf, sizeof buf, &got));
  EXPECT_EQ(ERROR_INVALID_HANDLE, static_cast<long>(GetLastError()));
  EXPECT_FALSE(InternetCloseHandle(file));
  EXPECT_EQ(ERROR_INVALID_HANDLE, static_cast<long>(GetLastError()));
  EXPECT_FALSE(InternetCloseHandle(net));
  EXPECT_EQ(nullptr, InternetOpenUrlA(net, server.Url("/a").c_str(), nullptr, 0, 0, 0));
  EXPECT_EQ(ERROR_INVALID_HANDLE, static_cast<long>(GetLastError()));
  EXPECT_FALSE(InternetCloseHandle(nullptr));

  EXPECT_EQ(nullptr, InternetOpenA("x", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, INTERNET_FLAG_ASYNC));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, static_cast<long>(GetLastError()));
}

TEST(WinInetTest, ClosingFromAnotherThreadCancelsABlockedRead) {
  TestServer server;
  server.On("/hold", [&](int fd) {
    SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n");
    server.WaitForRelease();
  });
  HINTERNET net = InternetOpenA("Mozilla/5.0", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  HINTERNET file = InternetOpenUrlA(net, server.Url("/hold").c_str(), nullptr, 0, 0, 0);
  ASSERT_NE(nullptr, file);
  std::atomic<bool> readReturned{false};
  DWORD readError = 0;
  std::thread reader([&] {
    char buf[100];
    DWORD got = 0;
    if (!InternetReadFile(file, buf, sizeof buf, &got)) readError = GetLastError();
    readReturned = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(readReturned);
  EXPECT_TRUE(InternetCloseHandle(net));
  reader.join();
  EXPECT_EQ(ERROR_INTERNET_OPERATION_CANCELLED, static_cast<long>(readError));
  EXPECT_FALSE(CurlMapped());  // the reader held the last use of the library
}

TEST(WinInetTest, ClosingFromAnotherThreadCancelsAnOpenWaitingForAnAnswer) {
  TestServer server;
  server.On("/never", [&](int) { server.WaitForRelease(); });
  HINTERNET net = InternetOpenA("Mozilla/5.0", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  ASSERT_NE(nullptr, net);
  HINTERNET file = nullptr;
  DWORD openError = 0;
  std::thread opener([&] {
    file = InternetOpenUrlA(net, server.Url("/never").c_str(), nullptr, 0, 0, 0);
    openError = GetLastError();
  });
  for (int i = 0; i < 3000 && server.Requests().empty(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(1u, server.Requests().size());
  auto closed = std::chrono::steady_clock::now();
  EXPECT_TRUE(InternetCloseHandle(net));
  opener.join();
  EXPECT_LT(std::chrono::steady_clock::now() - closed, std::chrono::seconds(3));
  EXPECT_EQ(nullptr, file);
  EXPECT_EQ(ERROR_INTERNET_OPERATION_CANCELLED, static_cast<long>(openError));
}

TEST(WinInetTest, LibcurlIsLoadedOnlyWhileAHandleUsesIt) {
  TestServer server;
  server.On("/a", [](int fd) { SendAll(fd, Response(200, "OK", "abc")); });
  EXPECT_FALSE(CurlMapped());
  HINTERNET first = InternetOpenA("Mozilla/5.0", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  ASSERT_NE(nullptr, first);
  EXPECT_TRUE(CurlMapped());
  HINTERNET second = InternetOpenA("Mozilla/5.0", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  ASSERT_NE(nullptr, second);
  HINTERNET file = InternetOpenUrlA(second, server.Url("/a").c_str(), nullptr, 0, 0, 0);
  ASSERT_NE(nullptr, file);
  EXPECT_TRUE(InternetCloseHandle(first));
  char buf[16];
  DWORD got = 0;
  ASSERT_TRUE(InternetReadFile(file, buf, sizeof buf, &got));
  EXPECT_EQ("abc", std::string(buf, got));
  EXPECT_TRUE(InternetCloseHandle(file));
  EXPECT_TRUE(CurlMapped());
  EXPECT_TRUE(InternetCloseHandle(second));
  EXPECT_FALSE(CurlMapped());

  // Loaded anew for the next lookup, and let go again after it.
  Fetched again = Fetch(server.Url("/a"));
  ASSERT_TRUE(again.opened) << again.openError;
  EXPECT_EQ("abc", again.body);
  EXPECT_FALSE(CurlMapped());
  Fetched badUrl = Fetch("http://");
  EXPECT_EQ(ERROR_INTERNET_INVALID_URL, static_cast<long>(badUrl.openError));
  EXPECT_FALSE(CurlMapped());
}

// Handles opening and closing on several threads at once keep loading and unloading the library.
TEST(WinInetTest, LookupsOnSeveralThreadsRaceLoadsAndUnloadsSafely) {
  TestServer server;
  server.On("/a", [](int fd) { SendAll(fd, Response(200, "OK", "abc")); });
  std::atomic<int> good{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 10; ++i) {
        Fetched f = Fetch(server.Url("/a"));
        if (f.opened && f.body == "abc") ++good;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(40, good.load());
  EXPECT_FALSE(CurlMapped());
}

}  // namespace
