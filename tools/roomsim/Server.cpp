// The only translation unit that includes websocketpp.
#include "Server.h"

#include <websocketpp/config/asio_no_tls.hpp>
#include <websocketpp/server.hpp>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <functional>
#include <map>
#include <memory>

#include "Json.h"
#include "Pages.h"
#include "Traffic.h"

namespace roomsim {

namespace {

namespace asio = websocketpp::lib::asio;
using WsServer = websocketpp::server<websocketpp::config::asio>;
using Hdl = websocketpp::connection_hdl;
using Timer = asio::steady_timer;

constexpr int kJoinTag = 10010201;
constexpr int kHeartbeatTag = 10010299;

struct Connection {
  int id = 0;
  bool joined = false;
  int roomId = 0;
  std::unique_ptr<Timer> traffic;
  std::unique_ptr<Timer> scenario;
  std::unique_ptr<Timer> closer;
  size_t scenarioStep = 0;
  double owed = 0;  // generated frames due but not yet sent
  int sinceMalformed = 0;
};

class Simulator {
 public:
  Simulator(const Options& o, const Rooms& rooms, const std::vector<ScenarioStep>& scenario, EventLog& log)
      : options_(o), rooms_(rooms), scenario_(scenario), log_(log),
        traffic_(o.seed ? o.seed : static_cast<uint32_t>(std::time(nullptr))), signals_(ios_, SIGINT, SIGTERM) {
    for (const Room& r : rooms.All()) states_[r.userId] = RoomState{r.userId, r.live, r.userCount};
    generate_ = options_.rate > 0 && (scenario_.empty() || options_.rateGiven);
  }

  int Run() {
    for (WsServer* s : {&api_, &room_}) {
      s->clear_access_channels(websocketpp::log::alevel::all);
      s->clear_error_channels(websocketpp::log::elevel::all);
      s->init_asio(&ios_);
      s->set_reuse_addr(true);
    }
    api_.set_http_handler([this](Hdl h) { OnHttp(api_, "api", h); });
    room_.set_http_handler([this](Hdl h) { OnHttp(room_, "room", h); });
    room_.set_validate_handler([this](Hdl h) { return OnValidate(h); });
    room_.set_open_handler([this](Hdl h) { OnOpen(h); });
    room_.set_message_handler([this](Hdl h, WsServer::message_ptr m) { OnMessage(h, m); });
    room_.set_close_handler([this](Hdl h) { OnClosed(h, "close"); });
    room_.set_fail_handler([this](Hdl h) { OnClosed(h, "fail"); });

    int apiPort = 0, roomPort = 0;
    if (!Listen(api_, "API server", options_.apiHost, options_.apiPort, &apiPort)) return 2;
    if (!Listen(room_, "room server", options_.roomHost, options_.roomPort, &roomPort)) return 2;
    wsUrl_ = options_.wsUrl.empty() ? "ws://" + HostForUrl(options_.roomHost) + ":" + std::to_string(roomPort) + "/chat/"
                                    : options_.wsUrl;
    std::printf("qvroomsim listening api=%s:%d room=%s:%d\n", HostForUrl(options_.apiHost).c_str(), apiPort,
                HostForUrl(options_.roomHost).c_str(), roomPort);
    std::fflush(stdout);
    log_.Write("listening", "\"api\":" + std::to_string(apiPort) + ",\"room\":" + std::to_string(roomPort) +
                                ",\"ws\":" + Quote(wsUrl_));

    signals_.async_wait([this](const asio::error_code& ec, int) {
      if (!ec) Shutdown();
    });
    api_.start_accept();
    room_.start_accept();
    try {
      ios_.run();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "qvroomsim: %s\n", e.what());
      return 1;
    }
    log_.Write("stopped");
    return 0;
  }

 private:
  static std::string HostForUrl(const std::string& host) {
    return host.find(':') != std::string::npos ? "[" + host + "]" : host;
  }

  // websocketpp reports a failed bind only as a transport error; bind once ourselves for the reason.
  bool Listen(WsServer& server, const char* what, const std::string& host, int port, int* actual) {
    asio::error_code ec;
    asio::ip::address address = asio::ip::make_address(host, ec);
    if (ec) {
      std::fprintf(stderr, "qvroomsim: cannot listen for the %s: \"%s\" is not a numeric address\n", what,
                   host.c_str());
      return false;
    }
    asio::ip::tcp::endpoint endpoint(address, static_cast<unsigned short>(port));
    {
      asio::ip::tcp::acceptor probe(ios_);
      probe.open(endpoint.protocol(), ec);
      if (!ec) probe.set_option(asio::socket_base::reuse_address(true), ec);
      if (!ec) probe.bind(endpoint, ec);
      if (ec) {
        std::fprintf(stderr, "qvroomsim: cannot listen on %s:%d for the %s: %s\n", HostForUrl(host).c_str(), port,
                     what, ec.message().c_str());
        return false;
      }
    }
    websocketpp::lib::error_code wec;
    server.listen(endpoint, wec);
    if (!wec) {
      *actual = server.get_local_endpoint(ec).port();
      if (!ec) return true;
    }
    std::fprintf(stderr, "qvroomsim: cannot listen on %s:%d for the %s: %s\n", HostForUrl(host).c_str(), port, what,
                 wec ? wec.message().c_str() : ec.message().c_str());
    return false;
  }

  void OnHttp(WsServer& server, const char* which, Hdl h) {
    WsServer::connection_ptr con = server.get_con_from_hdl(h);
    std::string target = con->get_resource();
    log_.Write("http", "\"server\":\"" + std::string(which) + "\",\"target\":" + Quote(target));
    HttpAnswer answer = which == std::string("api") ? ApiAnswer(rooms_, options_.faults, target)
                                                    : RoomPageAnswer(rooms_, options_.faults, target, wsUrl_);
    if (options_.faults.httpDelayMs <= 0) {
      Answer(con, answer);
      return;
    }
    con->defer_http_response();
    auto timer = std::make_shared<Timer>(ios_, std::chrono::milliseconds(options_.faults.httpDelayMs));
    timer->async_wait([con, answer, timer](const asio::error_code&) {
      Answer(con, answer);
      websocketpp::lib::error_code ec;
      con->send_http_response(ec);
    });
  }

  static void Answer(const WsServer::connection_ptr& con, const HttpAnswer& answer) {
    con->set_status(static_cast<websocketpp::http::status_code::value>(answer.status));
    con->replace_header("Content-Type", answer.contentType);
    con->set_body(answer.body);
  }

  bool OnValidate(Hdl h) {
    if (!options_.faults.refuseUpgrade) return true;
    WsServer::connection_ptr con = room_.get_con_from_hdl(h);
    con->set_status(websocketpp::http::status_code::forbidden);
    log_.Write("refused", "\"target\":" + Quote(con->get_resource()));
    return false;
  }

  Connection* Find(Hdl h) {
    auto it = connections_.find(h);
    return it == connections_.end() ? nullptr : &it->second;
  }

  std::string ConnField(const Connection& c) { return "\"conn\":" + std::to_string(c.id); }

  void OnOpen(Hdl h) {
    Connection& c = connections_[h];
    c.id = ++lastId_;
    WsServer::connection_ptr con = room_.get_con_from_hdl(h);
    log_.Write("open", ConnField(c) + ",\"target\":" + Quote(con->get_resource()) + ",\"agent\":" +
                           Quote(con->get_request_header("User-Agent")));
    if (options_.faults.closeAfterS > 0) {
      c.closer = std::make_unique<Timer>(ios_, std::chrono::milliseconds(
                                                   static_cast<int64_t>(options_.faults.closeAfterS * 1000)));
      c.closer->async_wait([this, h](const asio::error_code& ec) {
        if (!ec) Close(h, websocketpp::close::status::going_away, "closing on request");
      });
    }
  }

  void OnClosed(Hdl h, const char* how) {
    Connection* c = Find(h);
    if (!c) return;
    WsServer::connection_ptr con = room_.get_con_from_hdl(h);
    log_.Write(how, ConnField(*c) + ",\"code\":" + std::to_string(con->get_remote_close_code()) +
                        ",\"reason\":" + Quote(con->get_remote_close_reason()));
    connections_.erase(h);  // the timers' handlers see operation_aborted or find no connection
  }

  void OnMessage(Hdl h, WsServer::message_ptr message) {
    Connection* c = Find(h);
    if (!c) return;
    const std::string& payload = message->get_payload();
    bool text = message->get_opcode() == websocketpp::frame::opcode::text;
    JsonPtr root = text ? ParseJson(payload, nullptr) : nullptr;
    const json_value* tag = root ? Member(root.get(), "MsgTag") : nullptr;
    if (IsInteger(tag) && tag->u.integer == kJoinTag) {
      OnJoin(h, *c, root.get(), payload);
    } else if (IsInteger(tag) && tag->u.integer == kHeartbeatTag) {
      log_.Write("heartbeat", ConnField(*c) + ",\"raw\":" + Quote(payload));
    } else {
      log_.Write("message", ConnField(*c) + ",\"binary\":" + (text ? "false" : "true") + ",\"raw\":" +
                                Quote(payload));
    }
  }

  void OnJoin(Hdl h, Connection& c, const json_value* join, const std::string& payload) {
    const json_value* roomId = Member(join, "roomId");
    log_.Write("join", ConnField(c) + ",\"roomId\":" + std::to_string(IntOr(roomId, -1)) + ",\"keepalive\":" +
                           std::to_string(IntOr(Member(join, "keepalive"), -1)) + ",\"known\":" +
                           (rooms_.Find(static_cast<int>(IntOr(roomId, -1))) ? "true" : "false") +
                           ",\"raw\":" + Quote(payload));
    if (options_.faults.refuseJoins) {
      Close(h, websocketpp::close::status::policy_violation, "join refused");
      return;
    }
    if (c.joined) return;  // a second join changes nothing
    c.joined = true;
    c.roomId = static_cast<int>(IntOr(roomId, 0));
    if (!states_.count(c.roomId)) states_[c.roomId] = RoomState{c.roomId, true, 1};
    if (options_.faults.stall) {
      websocketpp::lib::error_code ec;
      room_.pause_reading(h, ec);
      log_.Write("stalled", ConnField(c));
      return;
    }
    for (const Frame& f : traffic_.Greeting(states_[c.roomId])) Send(h, f);
    if (options_.faults.malformed) {
      for (int i = 0; i < 10; ++i) Send(h, traffic_.Malformed());
    }
    if (options_.faults.oversizedBytes) Send(h, traffic_.Oversized(options_.faults.oversizedBytes));
    if (!scenario_.empty()) {
      c.scenario = std::make_unique<Timer>(ios_);
      ScheduleScenario(h, c);
    }
    if (generate_) {
      c.traffic = std::make_unique<Timer>(ios_, std::chrono::steady_clock::now());
      ScheduleTraffic(h, c);
    }
  }

  void ScheduleScenario(Hdl h, Connection& c) {
    if (c.scenarioStep >= scenario_.size()) return;
    c.scenario->expires_after(std::chrono::milliseconds(scenario_[c.scenarioStep].delayMs));
    c.scenario->async_wait([this, h](const asio::error_code& ec) {
      Connection* c = Find(h);
      if (ec || !c) return;
      const ScenarioStep& step = scenario_[c->scenarioStep++];
      if (step.close) {
        Close(h, static_cast<websocketpp::close::status::value>(step.closeCode), step.closeReason);
        return;
      }
      Send(h, step.frame);
      ScheduleScenario(h, *c);
    });
  }

  // Small rates send one frame per tick; large ones a batch every 10 ms.
  void ScheduleTraffic(Hdl h, Connection& c) {
    double rate = options_.rate;
    auto tick = rate >= 100 ? std::chrono::microseconds(10000)
                            : std::chrono::microseconds(static_cast<int64_t>(1e6 / rate));
    c.traffic->expires_at(c.traffic->expiry() + tick);
    c.traffic->async_wait([this, h, rate, tick](const asio::error_code& ec) {
      Connection* c = Find(h);
      if (ec || !c) return;
      c->owed += rate * static_cast<double>(tick.count()) / 1e6;
      for (; c->owed >= 1; c->owed -= 1) {
        if (options_.faults.malformed && ++c->sinceMalformed >= 5) {
          c->sinceMalformed = 0;
          Send(h, traffic_.Malformed());
        }
        Send(h, traffic_.Next(states_[c->roomId]));
      }
      ScheduleTraffic(h, *c);
    });
  }

  void Send(Hdl h, const Frame& f) {
    websocketpp::lib::error_code ec;
    room_.send(h, f.payload, f.binary ? websocketpp::frame::opcode::binary : websocketpp::frame::opcode::text, ec);
    ++sent_;
  }

  void Close(Hdl h, websocketpp::close::status::value code, const std::string& reason) {
    Connection* c = Find(h);
    if (c) {
      log_.Write("closing", ConnField(*c) + ",\"code\":" + std::to_string(code) + ",\"reason\":" + Quote(reason));
      if (c->traffic) c->traffic->cancel();
      if (c->scenario) c->scenario->cancel();
    }
    websocketpp::lib::error_code ec;
    room_.close(h, code, reason, ec);
  }

  void Shutdown() {
    websocketpp::lib::error_code ec;
    api_.stop_listening(ec);
    room_.stop_listening(ec);
    std::vector<Hdl> open;
    for (auto& entry : connections_) open.push_back(entry.first);
    for (Hdl h : open) Close(h, websocketpp::close::status::going_away, "simulator stopping");
    log_.Write("stopping", "\"sent\":" + std::to_string(sent_));
    // Give the closes a moment to go out, then end the loop whatever is still open.
    stopTimer_ = std::make_unique<Timer>(ios_, std::chrono::milliseconds(200));
    stopTimer_->async_wait([this](const asio::error_code&) { ios_.stop(); });
  }

  const Options& options_;
  const Rooms& rooms_;
  const std::vector<ScenarioStep>& scenario_;
  EventLog& log_;
  asio::io_service ios_;
  WsServer api_;
  WsServer room_;
  Traffic traffic_;
  asio::signal_set signals_;
  std::unique_ptr<Timer> stopTimer_;
  std::map<Hdl, Connection, std::owner_less<Hdl>> connections_;
  std::map<int, RoomState> states_;
  std::string wsUrl_;
  bool generate_ = false;
  int lastId_ = 0;
  uint64_t sent_ = 0;
};

}  // namespace

int RunServers(const Options& options, const Rooms& rooms, const std::vector<ScenarioStep>& scenario,
               EventLog& log) {
  Simulator simulator(options, rooms, scenario, log);
  return simulator.Run();
}

}  // namespace roomsim
