// The one translation unit that includes websocketpp (it is heavy to compile).
#include "net/WebSockClient.h"

#include <boost/thread/thread.hpp>
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

std::function<bool(const std::string&)> g_sendFault;  // tests only; set while no session runs

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

void WebSockMessageHandler(stWebSockMainParam* pParam, websocketpp::connection_hdl, MessagePtr msg) {
  if (!pParam || !pParam->pSession || !msg) return;
  const std::string& payload = msg->get_payload();
  pParam->pSession->OnWebsockMessage(pParam, payload.data(), payload.size());
}

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

  Impl() {
    endpoint.get_alog().set_ostream(&accessLog);
    endpoint.get_elog().set_ostream(&errorLog);
  }
  // Release order: connection, thread, endpoint.
  ~Impl() {
    con.reset();
    thread.reset();
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
    Endpoint* endpoint = &m_pImpl->endpoint;
    m_pImpl->thread.reset(new boost::thread([endpoint] {
      try {
        endpoint->run();
      } catch (const std::exception& e) {
        OutputDebugStringA((std::string("websocket thread: ") + e.what() + "\r\n").c_str());
      }
    }));
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

void CWebSockClient::SetMessageHandler(stWebSockMainParam* pParam) {
  using websocketpp::lib::placeholders::_1;
  using websocketpp::lib::placeholders::_2;
  m_pImpl->endpoint.set_message_handler(websocketpp::lib::bind(&WebSockMessageHandler, pParam, _1, _2));
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
  if (!m_pImpl->con) return State::Closed;
  switch (m_pImpl->con->get_state()) {
    case websocketpp::session::state::connecting: return State::Connecting;
    case websocketpp::session::state::open: return State::Open;
    case websocketpp::session::state::closing: return State::Closing;
    default: return State::Closed;
  }
}

bool CWebSockClient::SendText(const std::string& text) {
  if (!m_pImpl->con) return false;
  if (g_sendFault && g_sendFault(text)) return false;
  // A std::string picks the text overload; the error_code form never throws.
  websocketpp::lib::error_code ec = m_pImpl->con->send(text, websocketpp::frame::opcode::text);
  return !ec;
}

void CWebSockClient::CloseConnection() {
  if (!m_pImpl->con) return;
  // The library ends a connect that fails, so this wait ends.
  while (GetState() == State::Connecting) Sleep(20);
  if (GetState() != State::Open) return;
  websocketpp::lib::error_code ec;
  m_pImpl->con->close(websocketpp::close::status::blank, "close", ec);
  if (ec) m_pImpl->closeFailed = true;
}

void CWebSockClient::StopPerpetual() { m_pImpl->endpoint.stop_perpetual(); }

void CWebSockClient::JoinNetworkThread() {
  if (!m_pImpl->thread) return;
  // A connection left open would keep run() going for ever.
  if (m_pImpl->closeFailed) m_pImpl->endpoint.stop();
  try {
    m_pImpl->thread->join();
  } catch (const std::exception&) {
    m_pImpl->endpoint.stop();  // the thread is left to end; the destructor waits no more
  }
}

namespace qvnet::testing {
void SetSendFault(std::function<bool(const std::string& text)> fails) { g_sendFault = std::move(fails); }
}  // namespace qvnet::testing
