// A small HTTP server on 127.0.0.1 for lookup tests: every request is answered by a handler with
// a status and a body, and its target is written down.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace nettest {

struct HttpAnswer {
  int status = 200;
  std::string body;
};

class TestHttpServer {
 public:
  using Handler = std::function<HttpAnswer(const std::string& target)>;

  explicit TestHttpServer(Handler handler);
  ~TestHttpServer();
  TestHttpServer(const TestHttpServer&) = delete;
  TestHttpServer& operator=(const TestHttpServer&) = delete;

  int port() const { return port_; }
  std::vector<std::string> Targets() const;

 private:
  void Serve();
  void Answer(int fd);

  Handler handler_;
  int listenFd_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  mutable std::mutex mutex_;
  std::vector<std::string> targets_;
  std::thread thread_;
};

// A loopback port that nothing listens on.
int UnusedPort();

}  // namespace nettest
