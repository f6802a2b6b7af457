#include "TestHttpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace nettest {

namespace {

int ListenOnLoopback(int* port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    if (fd >= 0) ::close(fd);
    return -1;
  }
  *port = ntohs(addr.sin_port);
  return fd;
}

}  // namespace

TestHttpServer::TestHttpServer(Handler handler) : handler_(std::move(handler)) {
  listenFd_ = ListenOnLoopback(&port_);
  if (listenFd_ >= 0 && ::listen(listenFd_, 16) == 0) thread_ = std::thread([this] { Serve(); });
}

TestHttpServer::~TestHttpServer() {
  stopping_ = true;
  if (thread_.joinable()) thread_.join();
  if (listenFd_ >= 0) ::close(listenFd_);
}

std::vector<std::string> TestHttpServer::Targets() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return targets_;
}

void TestHttpServer::Serve() {
  while (!stopping_) {
    pollfd p{listenFd_, POLLIN, 0};
    if (::poll(&p, 1, 20) <= 0) continue;
    int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    Answer(fd);
    ::close(fd);
  }
}

void TestHttpServer::Answer(int fd) {
  std::string request;
  char buf[4096];
  while (request.find("\r\n\r\n") == std::string::npos) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 5000) <= 0) return;
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) return;
    request.append(buf, static_cast<size_t>(n));
  }
  size_t start = request.find(' ') + 1;
  std::string target = request.substr(start, request.find(' ', start) - start);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    targets_.push_back(target);
  }
  HttpAnswer answer = handler_(target);
  std::string out = "HTTP/1.1 " + std::to_string(answer.status) + " X\r\nContent-Length: " +
                    std::to_string(answer.body.size()) + "\r\nConnection: close\r\n\r\n" + answer.body;
  for (size_t sent = 0; sent < out.size();) {
    ssize_t n = ::send(fd, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return;  // the client stopped reading
    sent += static_cast<size_t>(n);
  }
}

int UnusedPort() {
  int port = 0;
  int fd = ListenOnLoopback(&port);
  if (fd >= 0) ::close(fd);  // bound but never listening: connections are refused
  return port;
}

}  // namespace nettest
