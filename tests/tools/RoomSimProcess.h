// Runs qvroomsim as a child process on free ports and talks to it over loopback.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace simtest {

class RoomSimProcess {
 public:
  ~RoomSimProcess();
  // Starts the simulator with `args` plus free ports and a log file; false if it did not come up.
  bool Start(const std::vector<std::string>& args);
  // Runs it to its end (for start-up failures); returns the exit code, stderr in `errors`.
  static int RunToEnd(const std::vector<std::string>& args, std::string* errors);
  void Stop();

  int apiPort() const { return apiPort_; }
  int roomPort() const { return roomPort_; }
  std::string ApiUrl(const std::string& pathAndQuery) const;
  std::string RoomUrl(const std::string& pathAndQuery) const;
  // The log's lines so far.
  std::vector<std::string> LogLines() const;
  // Waits (real time) until a log line contains every one of `parts`.
  bool WaitForLog(const std::vector<std::string>& parts, std::chrono::milliseconds limit) const;
  const std::string& startError() const { return startError_; }

 private:
  pid_t pid_ = -1;
  int apiPort_ = 0;
  int roomPort_ = 0;
  std::string dir_;
  std::string logPath_;
  std::string startError_;
};

// A minimal WebSocket client over a blocking socket, enough to act as the program's client.
class WsClient {
 public:
  ~WsClient();
  // False when no 101 answer came within `limit` (the answer so far in `response`).
  bool Connect(int port, const std::string& path, std::string* response = nullptr,
               std::chrono::milliseconds limit = std::chrono::seconds(5));
  bool SendText(const std::string& payload);
  // Next frame; false on time-out or a broken connection. Close frames come back with opcode 8.
  bool Read(int* opcode, std::string* payload, std::chrono::milliseconds limit = std::chrono::seconds(5));
  // The peer ended the TCP connection (end of stream or reset), as opposed to a time-out.
  bool ended() const { return ended_; }

 private:
  bool Fill(size_t n, std::chrono::milliseconds limit);
  int fd_ = -1;
  std::string buffer_;
  size_t pos_ = 0;  // start of the unread bytes in buffer_
  bool ended_ = false;
};

// Body of a GET through the platform's WinINet, as the program fetches it.
std::string HttpGet(const std::string& url);

}  // namespace simtest
