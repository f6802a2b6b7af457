#include "RoomSimProcess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>

#include "platform/win32.h"

namespace simtest {

namespace {

std::vector<char*> Argv(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(QVROOMSIM_PATH));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  return argv;
}

// Reads what is available on `fd` until `done(text)` or `limit` passes.
template <class Done>
std::string ReadUntil(int fd, std::chrono::milliseconds limit, Done done) {
  std::string text;
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done(text)) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    char buf[4096];
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) break;
    text.append(buf, static_cast<size_t>(n));
  }
  return text;
}

}  // namespace

RoomSimProcess::~RoomSimProcess() { Stop(); }

bool RoomSimProcess::Start(const std::vector<std::string>& args) {
  char tmpl[] = "/tmp/qvroomsim-test-XXXXXX";
  if (!::mkdtemp(tmpl)) return false;
  dir_ = tmpl;
  logPath_ = dir_ + "/events.jsonl";
  std::vector<std::string> all = {"--port-api", "0", "--port-room", "0", "--log", logPath_};
  all.insert(all.end(), args.begin(), args.end());
  int out[2];
  if (::pipe(out) != 0) return false;
  std::vector<char*> argv = Argv(all);
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(out[1], STDOUT_FILENO);
    ::close(out[0]);
    ::close(out[1]);
    ::execv(argv[0], argv.data());
    std::_Exit(127);
  }
  ::close(out[1]);
  std::string line = ReadUntil(out[0], std::chrono::seconds(10),
                               [](const std::string& t) { return t.find('\n') != std::string::npos; });
  ::close(out[0]);
  const char* at = std::strstr(line.c_str(), "api=127.0.0.1:");
  const char* room = std::strstr(line.c_str(), "room=127.0.0.1:");
  if (pid_ < 0 || !at || !room) {
    startError_ = "no listening line, got \"" + line + "\"";
    Stop();
    return false;
  }
  apiPort_ = std::atoi(at + std::strlen("api=127.0.0.1:"));
  roomPort_ = std::atoi(room + std::strlen("room=127.0.0.1:"));
  return true;
}

int RoomSimProcess::RunToEnd(const std::vector<std::string>& args, std::string* errors) {
  int err[2];
  if (::pipe(err) != 0) return -1;
  std::vector<char*> argv = Argv(args);
  pid_t pid = ::fork();
  if (pid == 0) {
    int devnull = ::open("/dev/null", O_WRONLY);
    ::dup2(devnull, STDOUT_FILENO);
    ::dup2(err[1], STDERR_FILENO);
    ::close(err[0]);
    ::close(err[1]);
    ::execv(argv[0], argv.data());
    std::_Exit(127);
  }
  ::close(err[1]);
  *errors = ReadUntil(err[0], std::chrono::seconds(10), [](const std::string&) { return false; });
  ::close(err[0]);
  // Its stderr closes just before it exits; still running after that means it is serving.
  int status = 0;
  bool ended = false;
  for (int i = 0; i < 200 && !(ended = ::waitpid(pid, &status, WNOHANG) == pid); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (!ended) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void RoomSimProcess::Stop() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    int status = 0;
    for (int i = 0; i < 200 && ::waitpid(pid_, &status, WNOHANG) == 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (::waitpid(pid_, &status, WNOHANG) == 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
    }
    pid_ = -1;
  }
  if (!dir_.empty()) {
    ::unlink(logPath_.c_str());
    ::rmdir(dir_.c_str());
    dir_.clear();
  }
}

std::string RoomSimProcess::ApiUrl(const std::string& pathAndQuery) const {
  return "http://127.0.0.1:" + std::to_string(apiPort_) + pathAndQuery;
}

std::string RoomSimProcess::RoomUrl(const std::string& pathAndQuery) const {
  return "http://127.0.0.1:" + std::to_string(roomPort_) + pathAndQuery;
}

std::vector<std::string> RoomSimProcess::LogLines() const {
  std::vector<std::string> lines;
  std::ifstream in(logPath_);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool RoomSimProcess::WaitForLog(const std::vector<std::string>& parts, std::chrono::milliseconds limit) const {
  auto deadline = std::chrono::steady_clock::now() + limit;
  do {
    for (const std::string& line : LogLines()) {
      bool all = true;
      for (const std::string& p : parts) all = all && line.find(p) != std::string::npos;
      if (all) return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  } while (std::chrono::steady_clock::now() < deadline);
  return false;
}

WsClient::~WsClient() {
  if (fd_ >= 0) ::close(fd_);
}

bool WsClient::Connect(int port, const std::string& path, std::string* response, std::chrono::milliseconds limit) {
  fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return false;
  std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                        "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                        "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n"
                        "User-Agent: WebSocket++/0.3.0\r\n\r\n";
  if (::send(fd_, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) return false;
  auto deadline = std::chrono::steady_clock::now() + limit;
  size_t end;
  while ((end = buffer_.find("\r\n\r\n")) == std::string::npos) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !Fill(buffer_.size() + 1, left)) {
      if (response) *response = buffer_;
      return false;
    }
  }
  std::string head = buffer_.substr(0, end + 4);
  buffer_.erase(0, end + 4);
  if (response) *response = head;
  return head.compare(0, 12, "HTTP/1.1 101") == 0;
}

bool WsClient::SendText(const std::string& payload) {
  std::string frame;
  frame += static_cast<char>(0x81);
  const unsigned char mask[4] = {0x12, 0x34, 0x56, 0x78};
  size_t n = payload.size();
  if (n < 126) {
    frame += static_cast<char>(0x80 | n);
  } else if (n < 65536) {
    frame += static_cast<char>(0x80 | 126);
    frame += static_cast<char>(n >> 8);
    frame += static_cast<char>(n & 0xff);
  } else {
    frame += static_cast<char>(0x80 | 127);
    for (int i = 7; i >= 0; --i) frame += static_cast<char>((static_cast<uint64_t>(n) >> (8 * i)) & 0xff);
  }
  frame.append(reinterpret_cast<const char*>(mask), 4);
  for (size_t i = 0; i < n; ++i) frame += static_cast<char>(payload[i] ^ mask[i % 4]);
  return ::send(fd_, frame.data(), frame.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(frame.size());
}

// Until `n` unread bytes are buffered.
bool WsClient::Fill(size_t n, std::chrono::milliseconds limit) {
  if (pos_ > 0 && pos_ >= buffer_.size() / 2) {  // drop what was read, now and then
    buffer_.erase(0, pos_);
    pos_ = 0;
  }
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (buffer_.size() - pos_ < n) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
    char buf[65536];
    ssize_t got = ::recv(fd_, buf, sizeof buf, 0);
    if (got <= 0) {
      ended_ = true;
      return false;
    }
    buffer_.append(buf, static_cast<size_t>(got));
  }
  return true;
}

bool WsClient::Read(int* opcode, std::string* payload, std::chrono::milliseconds limit) {
  if (!Fill(2, limit)) return false;
  auto b = [this](size_t i) { return static_cast<unsigned char>(buffer_[pos_ + i]); };
  size_t header = 2;
  uint64_t len = b(1) & 0x7f;
  if (len == 126) {
    if (!Fill(4, limit)) return false;
    len = (b(2) << 8) | b(3);
    header = 4;
  } else if (len == 127) {
    if (!Fill(10, limit)) return false;
    len = 0;
    for (int i = 2; i < 10; ++i) len = (len << 8) | b(static_cast<size_t>(i));
    header = 10;
  }
  if (!Fill(header + len, limit)) return false;
  *opcode = b(0) & 0x0f;
  payload->assign(buffer_, pos_ + header, len);
  pos_ += header + len;
  return true;
}

std::string HttpGet(const std::string& url) {
  std::string body;
  HINTERNET net = InternetOpenA("Mozilla/5.0", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  if (!net) return body;
  if (HINTERNET file = InternetOpenUrlA(net, url.c_str(), nullptr, 0, 0, 0)) {
    char buf[8192];
    DWORD got = 0;
    while (InternetReadFile(file, buf, sizeof buf, &got) && got > 0) body.append(buf, got);
    InternetCloseHandle(file);
  }
  InternetCloseHandle(net);
  return body;
}

}  // namespace simtest
