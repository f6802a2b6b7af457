// One connection attempt's WebSocket client: the endpoint, its network thread and one connection.
// The only header of the session that names no websocketpp type; the library stays in one
// translation unit.
#pragma once

#include <functional>
#include <memory>
#include <string>

struct stWebSockMainParam;
class CWebSockClient;

namespace qvnet::testing {
void ThrowOnNetworkThread(CWebSockClient& client);
}  // namespace qvnet::testing

class CWebSockClient {
 public:
  enum class State { Connecting, Open, Closing, Closed };

  CWebSockClient();  // constructs the endpoint
  ~CWebSockClient();  // releases the connection, the network thread and the endpoint, in that order
  CWebSockClient(const CWebSockClient&) = delete;
  CWebSockClient& operator=(const CWebSockClient&) = delete;

  // Set-up steps, in this order; each false on a library error.
  bool InitAsio();
  bool StartPerpetual();
  bool StartNetworkThread();
  // Every received message goes to pParam's session. Set before Connect. A message the session
  // fails on (an exception) loses the connection: the network thread ends.
  void SetMessageHandler(stWebSockMainParam* pParam);
  // Creates the connection for uri and starts connecting on the network thread; false when the
  // address is unusable (no connection exists then).
  bool Connect(const std::string& uri);

  // Closed also once the connection is lost: its network thread has ended, however it ended.
  State GetState() const;
  // One text frame; false when the connection did not take it or is lost.
  bool SendText(const std::string& text);
  // Waits while connecting (at most about a second; then the endpoint is stopped), then asks an
  // open connection to close. Returns at once when the connection is lost.
  void CloseConnection();
  void StopPerpetual();
  // Waits for the network thread; a connection whose close failed, or that is lost, is dropped
  // first so the wait ends.
  void JoinNetworkThread();

 private:
  friend void qvnet::testing::ThrowOnNetworkThread(CWebSockClient& client);

  struct Impl;
  std::unique_ptr<Impl> m_pImpl;
};

namespace qvnet::testing {
// Makes the text frames for which `fails` answers true fail as if the connection had closed under
// the send (a race tests cannot produce on demand). An empty function ends it.
void SetSendFault(std::function<bool(const std::string& text)> fails);
// Runs `fault` on every received payload just before it is decoded; what it throws counts as
// thrown by the decoder. An empty function ends it.
void SetMessageFault(std::function<void(const std::string& payload)> fault);
// Makes client's network thread throw std::bad_alloc out of the library's run loop, as any
// handler of the library could.
void ThrowOnNetworkThread(CWebSockClient& client);
}  // namespace qvnet::testing
