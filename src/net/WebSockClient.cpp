// The one translation unit that includes websocketpp (it is heavy to compile).
#include "net/WebSockClient.h"

#include <boost/thread/thread.hpp>
#include <atomic>
#include <new>
#include <streambuf>
#include <websocketpp/client.hpp>
#include <websocketpp/config/asio_no_tls_client.hpp>

#include "net/WebSockSession.h"
#include "platform/win32.h"

namespace {

using Endpoint = websocketpp::client<websocketpp::config::asio_client>;
using MessagePtr = websocketpp::config::asio_client::message_type::ptr;

// A vanished peer (network gone, NAT time-out) shows up as a failed send within about 20 s:
// unacknowledged data or unanswered keep-alive probes end the connection.
constexpr int kTcpUserTimeoutMs = 20000;
constexpr int kKeepAliveIdleS = 5;
constexpr int kKeepAliveIntervalS = 5;
constexpr int kKeepAliveProbes = 3;

// A connection still connecting when it is asked to close gets this long (layer time) to open or
// fail; then the endpoint is stopped. Short enough for the exit's wait for the session thread.
constexpr DWORD kConnectingWaitMs = 1000;
constexpr DWORD kConnectingPollMs = 20;

// Tests only; set while no session runs.
std::function<bool(const std::string&)> g_sendFault;
std::function<void(const std::string&)> g_messageFault;

// Hands the library's log lines to the debug trace sink, one trace per line.
class TraceStreamBuf : public std::streambuf {
 protected:
  int overflow(int c) override {
    if (c != traits_type::eof()) m_text.push_back(static_cast<char>(c));
    return traits_type::not_eof(c);
  }
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    m_text.append(s, static_cast<size_t>(n));
    return n;
  }
  int sync() override {
    size_t start = 0;
    for (size_t end; (end = m_text.find('\n', start)) != std::string::npos; start = end + 1) {
      std::string line = m_text.substr(start, end - start) + "\r\n";
      OutputDebugStringA(line.c_str());
    }
    m_text.erase(0, start);
    return 0;
  }

 private:
  std::string m_text;
};

template <int Level, int Name>
using IntOption = boost::asio::detail::socket_option::integer<Level, Name>;

void TuneSocket(boost::asio::ip::tcp::socket& socket) {
  boost::system::error_code ec;  // an option the system refuses just stays at its default
  socket.set_option(boost::asio::socket_base::keep_alive(true), ec);
#if defined(TCP_USER_TIMEOUT) && defined(TCP_KEEPIDLE)
  socket.set_option(IntOption<IPPROTO_TCP, TCP_USER_TIMEOUT>(kTcpUserTimeoutMs), ec);
  socket.set_option(IntOption<IPPROTO_TCP, TCP_KEEPIDLE>(kKeepAliveIdleS), ec);
  socket.set_option(IntOption<IPPROTO_TCP, TCP_KEEPINTVL>(kKeepAliveIntervalS), ec);
  socket.set_option(IntOption<IPPROTO_TCP, TCP_KEEPCNT>(kKeepAliveProbes), ec);
#endif
}

}  // namespace

struct CWebSockClient::Impl {
  // The log streams outlive the endpoint that writes to them.
  TraceStreamBuf accessBuf, errorBuf;
  std::ostream accessLog{&accessBuf}, errorLog{&errorBuf};
  Endpoint endpoint;
  std::unique_ptr<boost::thread> thread;
  Endpoint::connection_ptr con;
  bool closeFailed = false;
  // Set once nothing serves the connection any more: the network thread ended (run() returned or
  // threw) or a handler failed and stopped it. Sends and states report the loss from then on.
  std::atomic<bool> lost{false};

  Impl() {
    endpoint.get_alog().set_ostream(&accessLog);
    endpoint.get_elog().set_ostream(&errorLog);
  }
  // Release order: connection, thread, endpoint.
  ~Impl() {
    con.reset();
    thread.reset();
  }

  // Traces why when `what` says (the trace may fail when memory ran out; the mark never does).
  void MarkLost(const char* where, const char* what) noexcept {
    lost = true;
    if (!what) return;
    try {
      OutputDebugStringA((std::string(where) + ": " + what + "\r\n").c_str());
    } catch (...) {
    }
  }
  // A handler that throws could leave the library half way through a step, and whether the
  // library lets the exception out of run() differs between its paths. So the message handler
  // keeps every exception in and ends the network thread itself: either way the connection is
  // lost and the thread ends, and the session's next heartbeat fails.
  void OnMessage(stWebSockMainParam* pParam, MessagePtr msg) {
    try {
      // The rest of a read that held a failed message is not decoded.
      if (!msg || lost) return;
      const std::string& payload = msg->get_payload();
      if (g_messageFault) g_messageFault(payload);
      if (!pParam || !pParam->pSession) return;
      pParam->pSession->OnWebsockMessage(pParam, payload.data(), payload.size());
    } catch (const std::exception& e) {
      MarkLost("websocket message handler", e.what());
      endpoint.stop();
    } catch (...) {
      MarkLost("websocket message handler", "unknown exception");
      endpoint.stop();
    }
  }
};

CWebSockClient::CWebSockClient() : m_pImpl(new Impl) {}

CWebSockClient::~CWebSockClient() {
  if (m_pImpl->thread && m_pImpl->thread->joinable()) {
    m_pImpl->endpoint.stop();
    try {
      m_pImpl->thread->join();
    } catch (const std::exception&) {
      m_pImpl->thread->detach();
    }
  }
}

bool CWebSockClient::InitAsio() {
  try {
    m_pImpl->endpoint.init_asio();
    m_pImpl->endpoint.set_tcp_post_init_handler([impl = m_pImpl.get()](websocketpp::connection_hdl hdl) {
      websocketpp::lib::error_code ec;
      Endpoint::connection_ptr con = impl->endpoint.get_con_from_hdl(hdl, ec);
      if (!ec && con) TuneSocket(con->get_raw_socket());
    });
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

bool CWebSockClient::StartPerpetual() {
  try {
    m_pImpl->endpoint.start_perpetual();
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

bool CWebSockClient::StartNetworkThread() {
  try {
    Impl* impl = m_pImpl.get();
    m_pImpl->thread.reset(new boost::thread([impl] {
      // However run() ends, nothing serves the connection afterwards.
      try {
        impl->endpoint.run();
        impl->MarkLost("websocket thread", nullptr);
      } catch (const std::exception& e) {
        impl->MarkLost("websocket thread", e.what());
      } catch (...) {
        impl->MarkLost("websocket thread", "unknown exception");
      }
    }));
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

void CWebSockClient::SetMessageHandler(stWebSockMainParam* pParam) {
  m_pImpl->endpoint.set_message_handler(
      [impl = m_pImpl.get(), pParam](websocketpp::connection_hdl, MessagePtr msg) { impl->OnMessage(pParam, msg); });
}

bool CWebSockClient::Connect(const std::string& uri) {
  try {
    websocketpp::lib::error_code ec;
    Endpoint::connection_ptr con = m_pImpl->endpoint.get_connection(uri, ec);
    if (ec || !con) return false;
    m_pImpl->con = con;
    m_pImpl->endpoint.connect(con);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

CWebSockClient::State CWebSockClient::GetState() const {
  if (!m_pImpl->con || m_pImpl->lost) return State::Closed;
  switch (m_pImpl->con->get_state()) {
    case websocketpp::session::state::connecting: return State::Connecting;
    case websocketpp::session::state::open: return State::Open;
    case websocketpp::session::state::closing: return State::Closing;
    default: return State::Closed;
  }
}

bool CWebSockClient::SendText(const std::string& text) {
  // A connection nobody serves would take the frame into its queue and report success.
  if (!m_pImpl->con || m_pImpl->lost) return false;
  if (g_sendFault && g_sendFault(text)) return false;
  // A std::string picks the text overload; the error_code form never throws.
  websocketpp::lib::error_code ec = m_pImpl->con->send(text, websocketpp::frame::opcode::text);
  return !ec && !m_pImpl->lost;
}

void CWebSockClient::CloseConnection() {
  if (!m_pImpl->con) return;
  // The library ends a connect that fails, but only while its thread runs (a lost connection
  // reports Closed) and after its own time-outs; past a short wait the endpoint is stopped.
  for (DWORD start = GetTickCount(); GetState() == State::Connecting; Sleep(kConnectingPollMs)) {
    if (GetTickCount() - start >= kConnectingWaitMs) {
      m_pImpl->endpoint.stop();
      return;
    }
  }
  if (GetState() != State::Open) return;
  websocketpp::lib::error_code ec;
  m_pImpl->con->close(websocketpp::close::status::blank, "close", ec);
  if (ec) m_pImpl->closeFailed = true;
}

void CWebSockClient::StopPerpetual() { m_pImpl->endpoint.stop_perpetual(); }

void CWebSockClient::JoinNetworkThread() {
  if (!m_pImpl->thread) return;
  // A connection left open or still connecting would keep run() going for ever; a lost one may
  // have ended in a handler that left its thread running.
  if (m_pImpl->closeFailed || m_pImpl->lost) m_pImpl->endpoint.stop();
  try {
    m_pImpl->thread->join();
  } catch (const std::exception&) {
    m_pImpl->endpoint.stop();  // the thread is left to end; the destructor waits no more
  }
}

namespace qvnet::testing {
void SetSendFault(std::function<bool(const std::string& text)> fails) { g_sendFault = std::move(fails); }
void SetMessageFault(std::function<void(const std::string& payload)> fault) { g_messageFault = std::move(fault); }
void ThrowOnNetworkThread(CWebSockClient& client) {
  boost::asio::post(client.m_pImpl->endpoint.get_io_service(), [] { throw std::bad_alloc(); });
}
}  // namespace qvnet::testing
