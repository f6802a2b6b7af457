// The only translation unit that includes websocketpp.
#include "Server.h"

#include <websocketpp/config/asio_no_tls.hpp>
#include <websocketpp/server.hpp>

#include <array>
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
  bool malformed = false;  // --malformed applies to this connection
  std::unique_ptr<Timer> traffic;
  std::unique_ptr<Timer> scenario;
  std::unique_ptr<Timer> closer;
  std::unique_ptr<Timer> dropper;
  size_t scenarioStep = 0;
  std::chrono::steady_clock::time_point trafficStart;
  int64_t generated = 0;  // generated frames sent so far
  int sinceMalformed = 0;
};

// The header of an unmasked, unfragmented frame of `length` bytes.
std::string FrameHeader(websocketpp::frame::opcode::value op, size_t length) {
  std::string header(1, static_cast<char>(0x80 | op));
  if (length < 126) {
    header += static_cast<char>(length);
  } else if (length < 65536) {
    header += static_cast<char>(126);
    header += static_cast<char>(length >> 8);
    header += static_cast<char>(length & 0xff);
  } else {
    header += static_cast<char>(127);
    for (int i = 7; i >= 0; --i) header += static_cast<char>((static_cast<uint64_t>(length) >> (8 * i)) & 0xff);
  }
  return header;
}

// The path of a ws:// address ("/" when it has none).
std::string UrlPath(const std::string& url) {
  size_t scheme = url.find("://");
  size_t slash = url.find('/', scheme == std::string::npos ? 0 : scheme + 3);
  return slash == std::string::npos ? "/" : url.substr(slash);
}

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
    room_.set_fail_handler([this](Hdl h) {
      upgradeOf_.erase(h);
      OnClosed(h, "fail");
    });

    int apiPort = 0, roomPort = 0;
    if (!Listen(api_, "API server", options_.apiHost, options_.apiPort, &apiPort)) return 2;
    if (!Listen(room_, "room server", options_.roomHost, options_.roomPort, &roomPort)) return 2;
    wsUrl_ = options_.wsUrl.empty() ? "ws://" + HostForUrl(options_.roomHost) + ":" + std::to_string(roomPort) + "/chat/"
                                    : options_.wsUrl;
    wsPath_ = UrlPath(wsUrl_);
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
    if (!answer.refused.empty()) {
      log_.Write("refused", "\"server\":\"" + std::string(which) + "\",\"target\":" + Quote(target) +
                                ",\"why\":" + Quote(answer.refused));
    }
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

  // Every WebSocket upgrade request on the room port passes here, numbered from 1.
  bool OnValidate(Hdl h) {
    const Faults& f = options_.faults;
    int64_t upgrade = ++upgrades_;
    WsServer::connection_ptr con = room_.get_con_from_hdl(h);
    std::string target = con->get_resource();
    std::string fields = "\"upgrade\":" + std::to_string(upgrade) + ",\"target\":" + Quote(target);
    std::string path = wsPath_.size() > 1 && wsPath_.back() == '/' ? wsPath_.substr(0, wsPath_.size() - 1) : wsPath_;
    if (f.strict && target != path && target != path + "/") {
      con->set_status(websocketpp::http::status_code::not_found);
      log_.Write("refused", fields + ",\"why\":\"wrong chat path\"");
      return false;
    }
    bool faulty = upgrade >= f.fromJoin;
    if (faulty && f.refuseUpgrade) {
      con->set_status(websocketpp::http::status_code::forbidden);
      log_.Write("refused", fields + ",\"why\":\"--refuse-upgrade\"");
      return false;
    }
    if (faulty && f.hangHandshake) {
      Hang(con, upgrade);
      log_.Write("hung", fields);
      return false;  // websocketpp's answer goes to a socket it no longer has
    }
    upgradeOf_[h] = upgrade;
    return true;
  }

  // Takes the TCP connection away from websocketpp and keeps it open, unanswered, until the peer
  // closes it (logged as "hang-end") or the simulator stops.
  void Hang(const WsServer::connection_ptr& con, int64_t upgrade) {
    asio::ip::tcp::socket& raw = con->get_raw_socket();
    asio::error_code ec;
    asio::ip::tcp::endpoint local = raw.local_endpoint(ec);
    if (ec) return;
    auto fd = raw.release(ec);
    if (ec) return;
    auto socket = std::make_shared<asio::ip::tcp::socket>(ios_);
    socket->assign(local.protocol(), fd, ec);
    if (ec) return;
    hung_[upgrade] = socket;
    WatchHung(upgrade, socket, std::make_shared<std::array<char, 1024>>());
  }

  void WatchHung(int64_t upgrade, const std::shared_ptr<asio::ip::tcp::socket>& socket,
                 const std::shared_ptr<std::array<char, 1024>>& buffer) {
    socket->async_read_some(asio::buffer(*buffer), [this, upgrade, socket, buffer](const asio::error_code& ec,
                                                                                 size_t) {
      if (!ec) {
        WatchHung(upgrade, socket, buffer);  // whatever more the peer sends is ignored
        return;
      }
      if (ec != asio::error::operation_aborted) log_.Write("hang-end", "\"upgrade\":" + std::to_string(upgrade));
      asio::error_code ignored;
      socket->close(ignored);
      hung_.erase(upgrade);
    });
  }

  Connection* Find(Hdl h) {
    auto it = connections_.find(h);
    return it == connections_.end() ? nullptr : &it->second;
  }

  std::string ConnField(const Connection& c) { return "\"conn\":" + std::to_string(c.id); }

  void OnOpen(Hdl h) {
    Connection& c = connections_[h];
    c.id = ++lastId_;
    int64_t upgrade = upgradeOf_[h];
    upgradeOf_.erase(h);
    WsServer::connection_ptr con = room_.get_con_from_hdl(h);
    log_.Write("open", ConnField(c) + ",\"upgrade\":" + std::to_string(upgrade) + ",\"target\":" +
                           Quote(con->get_resource()) + ",\"agent\":" + Quote(con->get_request_header("User-Agent")));
    if (options_.faults.closeAfterS > 0 && c.id >= options_.faults.fromJoin) {
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

  // Joins are numbered from 1 over the simulator's life; the join faults apply from --faults-from-join on.
  void OnJoin(Hdl h, Connection& c, const json_value* join, const std::string& payload) {
    const Faults& f = options_.faults;
    int64_t n = ++joins_;
    int roomId = static_cast<int>(IntOr(Member(join, "roomId"), -1));
    log_.Write("join", ConnField(c) + ",\"n\":" + std::to_string(n) + ",\"roomId\":" + std::to_string(roomId) +
                           ",\"keepalive\":" + std::to_string(IntOr(Member(join, "keepalive"), -1)) +
                           ",\"known\":" + (rooms_.Find(roomId) ? "true" : "false") + ",\"raw\":" + Quote(payload));
    std::string refusal;
    if (f.strict && !rooms_.Find(roomId)) {
      refusal = rooms_.ResolveLuckyId(roomId) != roomId ? "vanity number, not the resolved userId" : "unknown room";
    }
    bool faulty = n >= f.fromJoin;
    if (refusal.empty() && faulty && f.refuseJoins) refusal = "--refuse-joins";
    if (!refusal.empty()) {
      log_.Write("refused", ConnField(c) + ",\"why\":" + Quote(refusal));
      Close(h, websocketpp::close::status::policy_violation, "join refused");
      return;
    }
    if (c.joined) return;  // a second join changes nothing
    c.joined = true;
    c.roomId = static_cast<int>(IntOr(Member(join, "roomId"), 0));
    if (!states_.count(c.roomId)) states_[c.roomId] = RoomState{c.roomId, true, 1};
    if (faulty && f.stall) {
      websocketpp::lib::error_code ec;
      room_.pause_reading(h, ec);
      log_.Write("stalled", ConnField(c));
      return;
    }
    for (const Frame& frame : traffic_.Greeting(states_[c.roomId])) Send(h, frame);
    if (faulty) {
      c.malformed = f.malformed;
      if (f.malformed) {
        for (int i = 0; i < 10; ++i) Send(h, traffic_.Malformed());
      }
      if (f.oversizedBytes) Send(h, traffic_.Oversized(f.oversizedBytes));
      if (f.longChatChars) {
        Send(h, Traffic::LongChat(f.longChatChars));
        Send(h, Traffic::ShortLine("long line"));
      }
      if (f.deepJsonLevels) {
        Send(h, Traffic::DeepJson(f.deepJsonLevels));
        Send(h, Traffic::ShortLine("deep frame"));
      }
      if (f.invalidFrames) {
        for (const Frame& frame : Traffic::InvalidUtf8()) Send(h, frame);
        Send(h, Traffic::ShortLine("invalid frames"));
      }
      if (f.dropAfterS >= 0) {
        c.dropper = std::make_unique<Timer>(ios_, std::chrono::microseconds(static_cast<int64_t>(f.dropAfterS * 1e6)));
        c.dropper->async_wait([this, h](const asio::error_code& ec) {
          if (!ec) Drop(h);
        });
      }
    }
    if (!scenario_.empty()) {
      c.scenario = std::make_unique<Timer>(ios_);
      ScheduleScenario(h, c);
    }
    if (generate_) {
      c.trafficStart = std::chrono::steady_clock::now() + std::chrono::milliseconds(options_.burstDelayMs);
      c.traffic = std::make_unique<Timer>(ios_, c.trafficStart);
      ScheduleTraffic(h, c);
    }
  }

  // The abrupt end: no close frame, the TCP connection just ends (FIN, or a reset with --drop-rst).
  void Drop(Hdl h) {
    Connection* c = Find(h);
    websocketpp::lib::error_code wec;
    WsServer::connection_ptr con = room_.get_con_from_hdl(h, wec);
    if (!c || wec || !con) return;
    log_.Write("dropping", ConnField(*c) + ",\"how\":\"" + (options_.faults.dropRst ? "rst" : "fin") + "\"");
    for (Timer* t : {c->traffic.get(), c->scenario.get(), c->closer.get()}) {
      if (t) t->cancel();
    }
    asio::ip::tcp::socket& raw = con->get_raw_socket();
    asio::error_code ec;
    if (options_.faults.dropRst) {
      raw.set_option(asio::socket_base::linger(true, 0), ec);
      raw.close(ec);
    } else {
      raw.shutdown(asio::ip::tcp::socket::shutdown_both, ec);  // websocketpp then reads the end
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

  // Small rates send one frame per tick; large ones a batch every 10 ms. The frames due are counted
  // from the generator's start, so a late tick catches up and a burst sends exactly rate x seconds.
  void ScheduleTraffic(Hdl h, Connection& c) {
    double rate = options_.rate;
    auto tick = rate >= 100 ? std::chrono::microseconds(10000)
                            : std::chrono::microseconds(static_cast<int64_t>(1e6 / rate));
    c.traffic->expires_at(c.traffic->expiry() + tick);
    c.traffic->async_wait([this, h, rate](const asio::error_code& ec) {
      Connection* c = Find(h);
      if (ec || !c) return;
      double elapsedS = std::chrono::duration<double>(c->traffic->expiry() - c->trafficStart).count();
      bool last = options_.burstS > 0 && elapsedS >= options_.burstS;
      if (last) elapsedS = options_.burstS;
      auto due = static_cast<int64_t>(rate * elapsedS + 1e-3);
      for (; c->generated < due; ++c->generated) {
        if (c->malformed && ++c->sinceMalformed >= 5) {
          c->sinceMalformed = 0;
          Send(h, traffic_.Malformed());
        }
        if (options_.stamp)
          SendStamped(h, *c, static_cast<uint64_t>(c->generated) + 1);
        else
          Send(h, traffic_.Next(states_[c->roomId]));
      }
      if (last) {
        log_.Write("burst-end", ConnField(*c) + ",\"sent\":" + std::to_string(c->generated));
        return;
      }
      ScheduleTraffic(h, *c);
    });
  }

  // The send time is read just before the frame is queued, on the clock a local observer of the
  // program's windows reads too.
  void SendStamped(Hdl h, const Connection& c, uint64_t seq) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    int64_t us = static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
    Send(h, Traffic::StampedLine(seq));
    log_.Write("stamp", ConnField(c) + ",\"seq\":" + std::to_string(seq) + ",\"token\":" +
                            Quote(Traffic::StampToken(seq)) + ",\"mono_us\":" + std::to_string(us));
  }

  // Frames go out prepared by hand: websocketpp would refuse a text frame that is not UTF-8, and
  // needs no second copy of a large one.
  void Send(Hdl h, const Frame& f) {
    websocketpp::lib::error_code ec;
    WsServer::connection_ptr con = room_.get_con_from_hdl(h, ec);
    if (ec || !con) return;
    auto op = f.binary ? websocketpp::frame::opcode::binary : websocketpp::frame::opcode::text;
    WsServer::message_ptr message = con->get_message(op, 0);
    if (!message) return;
    message->set_header(FrameHeader(op, f.payload.size()));
    message->get_raw_payload() = f.payload;
    message->set_prepared(true);
    if (!con->send(message)) ++sent_;
  }

  void Close(Hdl h, websocketpp::close::status::value code, const std::string& reason) {
    Connection* c = Find(h);
    if (c) {
      log_.Write("closing", ConnField(*c) + ",\"code\":" + std::to_string(code) + ",\"reason\":" + Quote(reason));
      if (c->traffic) c->traffic->cancel();
      if (c->scenario) c->scenario->cancel();
      if (c->dropper) c->dropper->cancel();
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
    for (auto& entry : hung_) {
      asio::error_code ignored;
      entry.second->close(ignored);  // its watcher then forgets it
    }
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
  std::map<Hdl, int64_t, std::owner_less<Hdl>> upgradeOf_;  // accepted upgrades not yet open
  std::map<int64_t, std::shared_ptr<asio::ip::tcp::socket>> hung_;  // by upgrade number
  std::map<int, RoomState> states_;
  std::string wsUrl_;
  std::string wsPath_;  // the path of wsUrl_, the only chat path --strict accepts (with or without the last /)
  bool generate_ = false;
  int lastId_ = 0;
  int64_t upgrades_ = 0;  // WebSocket upgrade requests so far
  int64_t joins_ = 0;     // join frames so far
  uint64_t sent_ = 0;
};

}  // namespace

int RunServers(const Options& options, const Rooms& rooms, const std::vector<ScenarioStep>& scenario,
               EventLog& log) {
  Simulator simulator(options, rooms, scenario, log);
  return simulator.Run();
}

}  // namespace roomsim
