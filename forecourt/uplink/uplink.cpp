#include "forecourt/uplink/uplink.hpp"

#include <fmt/core.h>
#include <mosquitto.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <map>
#include <set>
#include <vector>

#include "forecourt/database.hpp"
#include "forecourt/json.hpp"
#include "forecourt/thread_name.hpp"

namespace tarvenix::forecourt::uplink {
namespace {

using json = nlohmann::json;

// Records handed to the broker and not yet acknowledged: enough to keep a
// slow link busy, few enough to resend cheaply after a reconnection.
constexpr std::size_t kWindow = 100;
constexpr std::int64_t kFirstBackoffMs = 500;
// How often the summary is looked at; published when it changed.
constexpr std::int64_t kStatusCheckMs = 1000;
// A connection (TCP, TLS, CONNACK) that takes longer is given up and retried.
constexpr std::int64_t kConnectTimeoutMs = 15'000;

// Kinds that move fuel or stop it are never taken from afar, whatever the
// configuration says.
constexpr std::array<std::string_view, 4> kNeverRemote = {"authorize", "authorise", "stop",
                                                          "stop-all"};
constexpr std::array<std::string_view, 1> kKnownKinds = {"prices"};

std::int64_t WallMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

void InitLibrary() {
  struct Library {
    Library() { mosquitto_lib_init(); }
    ~Library() { mosquitto_lib_cleanup(); }
  };
  static const Library library;
}

}  // namespace

std::string Topic(const std::string& site, std::string_view kind) {
  return "tarvenix/" + site + "/" + std::string(kind);
}

std::string Envelope(const std::string& site, std::int64_t seq, std::string_view kind,
                     std::int64_t createdMs, std::string_view record) {
  // The record is the journal's JSON text, put in as it is.
  std::string out = R"({"site":)" + json(site).dump() + R"(,"seq":)" + std::to_string(seq) +
                    R"(,"kind":)" + json(std::string(kind)).dump() + R"(,"time":)" +
                    json(Rfc3339(createdMs)).dump() + R"(,"record":)";
  out += record;
  out += '}';
  return out;
}

CommandCheck CheckCommand(std::string_view payload, const std::vector<std::string>& allowed) {
  CommandCheck check;
  check.body = json::parse(payload, nullptr, false);
  if (check.body.is_discarded() || !check.body.is_object()) {
    check.error = "bad-json";
    check.message = "a command is a JSON object";
    check.body = json::object();
    return check;
  }
  const auto id = check.body.find("id");
  if (id != check.body.end() && id->is_string() && !id->get<std::string>().empty() &&
      id->get<std::string>().size() <= 128) {
    check.id = id->get<std::string>();
  } else {
    check.error = "bad-command";
    check.message = "a command needs an 'id': a string of 1..128 characters";
    return check;
  }
  const auto kind = check.body.find("kind");
  if (kind == check.body.end() || !kind->is_string()) {
    check.error = "bad-command";
    check.message = "a command needs a 'kind' string";
    return check;
  }
  check.kind = kind->get<std::string>();
  if (std::find(kNeverRemote.begin(), kNeverRemote.end(), check.kind) != kNeverRemote.end()) {
    check.error = "not-allowed";
    check.message = "'" + check.kind + "' is never taken from the head office";
  } else if (std::find(kKnownKinds.begin(), kKnownKinds.end(), check.kind) == kKnownKinds.end()) {
    check.error = "unknown-kind";
    check.message = "no command kind '" + check.kind + "'";
  } else if (std::find(allowed.begin(), allowed.end(), check.kind) == allowed.end()) {
    check.error = "not-allowed";
    check.message = "this site does not take '" + check.kind + "' commands";
  }
  return check;
}

// One connection to the broker: a fresh client each time, so that nothing
// the library queued for an earlier connection is sent twice beside the
// outbox, which is what is resent.
struct Uplink::Session {
  Uplink& up;
  mosquitto* mosq = nullptr;
  bool connacked = false;
  bool lost = false;
  std::string lostWhy;
  std::map<int, std::int64_t> inflight;  // message id -> seq
  std::int64_t cursor = 0;               // the last seq handed over on this connection
  std::vector<std::int64_t>* acked = nullptr;
  std::int64_t lastStatusMs = 0;
  std::int64_t nextStatusCheckMs = 0;
  std::string lastStatus;  // without its time
  int offlineMid = -1;
  bool offlineAcked = false;
  std::int64_t startedMs = 0;

  explicit Session(Uplink& u) : up(u) {}
  ~Session() {
    if (mosq != nullptr) {
      mosquitto_destroy(mosq);
    }
  }

  static void OnConnect(mosquitto* m, void* self, int rc) {
    auto& s = *static_cast<Session*>(self);
    if (rc != 0) {
      s.lost = true;
      s.lostWhy = std::string("the broker refused: ") + mosquitto_connack_string(rc);
      return;
    }
    s.connacked = true;
    const std::string own = Topic(s.up.config_.site, "commands");
    mosquitto_subscribe(m, nullptr, own.c_str(), 1);
    mosquitto_subscribe(m, nullptr, "tarvenix/all/commands", 1);
  }
  static void OnDisconnect(mosquitto*, void* self, int rc) {
    auto& s = *static_cast<Session*>(self);
    s.lost = true;
    if (s.lostWhy.empty()) {
      s.lostWhy = rc == 0 ? "disconnected" : std::string(mosquitto_strerror(rc));
    }
  }
  static void OnPublish(mosquitto*, void* self, int mid) {
    auto& s = *static_cast<Session*>(self);
    if (const auto it = s.inflight.find(mid); it != s.inflight.end()) {
      s.acked->push_back(it->second);
      s.inflight.erase(it);
    }
    if (mid == s.offlineMid) {
      s.offlineAcked = true;
    }
  }
  static void OnMessage(mosquitto*, void* self, const mosquitto_message* message) {
    auto& s = *static_cast<Session*>(self);
    s.up.commands_.fetch_add(1);
    s.up.HandleCommand(
        std::string_view(static_cast<const char*>(message->payload),
                         static_cast<std::size_t>(std::max(message->payloadlen, 0))));
  }
};

Uplink::Uplink(const UplinkConfig& config, Journal& journal, std::string journalPath, Log& log,
               Summary summary, ApplyPrices applyPrices)
    : config_(config),
      journal_(journal),
      journalPath_(std::move(journalPath)),
      log_(log),
      summary_(std::move(summary)),
      applyPrices_(std::move(applyPrices)) {
  if (config_.clientId.empty()) {
    config_.clientId = "tarvenix-" + config_.site;
  }
  wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wakeFd_ < 0) {
    throw std::runtime_error("uplink: cannot make an eventfd");
  }
}

Uplink::~Uplink() {
  Stop();
  ::close(wakeFd_);
}

void Uplink::Start() {
  InitLibrary();
  journal_.SetOutboxListener([this] { Wake(); });
  thread_ = std::thread([this] { Run(); });
}

void Uplink::Stop() {
  if (!thread_.joinable()) {
    return;
  }
  journal_.SetOutboxListener({});
  stopping_.store(true);
  Wake();
  thread_.join();
}

void Uplink::Wake() {
  const std::uint64_t one = 1;
  // A full counter already wakes the thread: nothing to do on failure.
  [[maybe_unused]] const auto written = ::write(wakeFd_, &one, sizeof one);
}

json Uplink::Status() const {
  json out = {{"enabled", true},
              {"site", config_.site},
              {"broker", config_.host + ":" + std::to_string(config_.port)},
              {"connected", connected_.load()},
              {"sent", sent_.load()},
              {"commands", commands_.load()}};
  std::lock_guard lock(errorMutex_);
  out["last_error"] = lastError_.empty() ? json(nullptr) : json(lastError_);
  return out;
}

void Uplink::Note(const std::string& error) {
  {
    std::lock_guard lock(errorMutex_);
    if (lastError_ == error) {
      return;  // logged once per change, not at every retry
    }
    lastError_ = error;
  }
  log_.Info("uplink: {}", error);
}

void Uplink::HandleCommand(std::string_view payload) {
  CommandCheck check = CheckCommand(payload, config_.allowedCommands);
  try {
    if (!check.id.empty() && journal_.CommandTaken(check.id)) {
      return;  // applied and reported when it first came
    }
    json result = {{"id", check.id.empty() ? json(nullptr) : json(check.id)},
                   {"kind", check.kind.empty() ? json(nullptr) : json(check.kind)}};
    if (check.error.empty()) {
      const Outcome outcome = applyPrices_ ? applyPrices_(check.body)
                                           : Outcome::Refused("not-allowed", "no price handler");
      result["ok"] = outcome.Ok();
      if (!outcome.Ok()) {
        result["error"] = outcome.reason;
        result["message"] = outcome.message;
      }
    } else {
      result["ok"] = false;
      result["error"] = check.error;
      result["message"] = check.message;
    }
    // A price set applied and then lost with a crash before this commit
    // is applied again when it comes again: setting a price twice is
    // harmless, reporting it twice is not, and this commit is what decides.
    journal_.TakeCommand(check.id, result);
    log_.Info("uplink: command {} ({}): {}", check.id.empty() ? "?" : check.id,
              check.kind.empty() ? "?" : check.kind,
              result["ok"].get<bool>() ? "applied" : "refused: " + check.message);
  } catch (const DatabaseError& e) {
    Note("command " + check.id + " not recorded, the journal failed: " + e.what());
  }
}

void Uplink::Run() {
  NameThisThread("uplink");
  std::unique_ptr<Database> reader;
  std::unique_ptr<Session> session;
  std::vector<std::int64_t> acked;   // acknowledged, to delete
  std::set<std::int64_t> unremoved;  // acknowledged, not deleted yet: not to resend
  std::int64_t backoffMs = kFirstBackoffMs;
  std::int64_t nextConnectMs = 0;
  std::int64_t journalRetryMs = 0;
  std::int64_t journalBackoffMs = kFirstBackoffMs;
  const std::string statusTopic = Topic(config_.site, "status");
  const std::string offline =
      json{{"site", config_.site}, {"online", false}, {"time", nullptr}}.dump();

  auto journalFailed = [&](const std::string& what) {
    Note(what);
    journalRetryMs = WallMs() + journalBackoffMs;
    journalBackoffMs = std::min<std::int64_t>(journalBackoffMs * 2, config_.reconnectMaxMs);
    reader.reset();
  };

  // Hands the broker the next records in order, up to the window.
  auto fill = [&](Session& s) {
    if (!reader) {
      reader = std::make_unique<Database>(journalPath_, Database::Mode::kReadOnly);
    }
    while (s.inflight.size() < kWindow && !s.lost) {
      auto rows = reader->Cached(
          "SELECT seq, kind, record, created_ms FROM outbox WHERE seq > ?1 ORDER BY seq "
          "LIMIT ?2");
      rows->Bind(1, s.cursor).Bind(2, static_cast<std::int64_t>(kWindow - s.inflight.size()));
      bool any = false;
      while (rows->Step()) {
        any = true;
        const std::int64_t seq = rows->Int(0);
        s.cursor = seq;
        if (unremoved.count(seq) != 0 ||
            std::find(acked.begin(), acked.end(), seq) != acked.end()) {
          continue;
        }
        const std::string kind = rows->Text(1);
        const std::string payload = Envelope(config_.site, seq, kind, rows->Int(3), rows->Text(2));
        int mid = 0;
        const int rc =
            mosquitto_publish(s.mosq, &mid, Topic(config_.site, kind).c_str(),
                              static_cast<int>(payload.size()), payload.data(), 1, false);
        if (rc != MOSQ_ERR_SUCCESS) {
          s.lost = true;
          s.lostWhy = std::string("publish: ") + mosquitto_strerror(rc);
          return;
        }
        s.inflight[mid] = seq;
      }
      if (!any) {
        return;
      }
    }
  };

  auto status = [&](Session& s, std::int64_t now) {
    if (now < s.nextStatusCheckMs) {
      return;
    }
    s.nextStatusCheckMs = now + kStatusCheckMs;
    json body = summary_ ? summary_() : json::object();
    body["site"] = config_.site;
    body["online"] = true;
    const Journal::Backlog backlog = journal_.OutboxBacklog();
    body["backlog"] = {{"records", backlog.records},
                       {"oldest_age_s", backlog.oldestMs ? (now - *backlog.oldestMs) / 1000 : 0}};
    std::string text = body.dump();
    if (text == s.lastStatus && now - s.lastStatusMs < config_.statusIntervalS * 1000LL) {
      return;
    }
    s.lastStatus = std::move(text);
    s.lastStatusMs = now;
    body["time"] = Rfc3339(now);
    const std::string payload = body.dump();
    mosquitto_publish(s.mosq, nullptr, statusTopic.c_str(), static_cast<int>(payload.size()),
                      payload.data(), 1, true);
  };

  auto connect = [&]() -> std::unique_ptr<Session> {
    auto s = std::make_unique<Session>(*this);
    s->acked = &acked;
    s->mosq = mosquitto_new(config_.clientId.c_str(), false, s.get());
    if (s->mosq == nullptr) {
      Note("cannot make an MQTT client");
      return nullptr;
    }
    mosquitto_int_option(s->mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_max_inflight_messages_set(s->mosq, kWindow);
    mosquitto_will_set(s->mosq, statusTopic.c_str(), static_cast<int>(offline.size()),
                       offline.data(), 1, true);
    if (!config_.caFile.empty()) {
      const int rc =
          mosquitto_tls_set(s->mosq, config_.caFile.c_str(), nullptr,
                            config_.certFile.empty() ? nullptr : config_.certFile.c_str(),
                            config_.keyFile.empty() ? nullptr : config_.keyFile.c_str(), nullptr);
      if (rc != MOSQ_ERR_SUCCESS) {
        Note(std::string("TLS: ") + mosquitto_strerror(rc));
        return nullptr;
      }
    }
    if (!config_.username.empty()) {
      mosquitto_username_pw_set(s->mosq, config_.username.c_str(),
                                config_.password.empty() ? nullptr : config_.password.c_str());
    }
    mosquitto_connect_callback_set(s->mosq, &Session::OnConnect);
    mosquitto_disconnect_callback_set(s->mosq, &Session::OnDisconnect);
    mosquitto_publish_callback_set(s->mosq, &Session::OnPublish);
    mosquitto_message_callback_set(s->mosq, &Session::OnMessage);
    // Without waiting for the TCP connection: a broker that drops packets
    // would otherwise hold this thread, and Stop, for minutes.
    const int rc = mosquitto_connect_async(s->mosq, config_.host.c_str(), config_.port,
                                           static_cast<int>(config_.keepaliveS));
    if (rc != MOSQ_ERR_SUCCESS) {
      Note(fmt::format("cannot reach the broker {}:{}: {}", config_.host, config_.port,
                       rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc)));
      return nullptr;
    }
    s->startedMs = WallMs();
    return s;
  };

  // One turn of the client's network loop: waits for the socket or a
  // wake-up, at most `waitMs`.
  auto turn = [&](Session& s, int waitMs) {
    std::array<pollfd, 2> fds{};
    fds[0] = {.fd = mosquitto_socket(s.mosq), .events = POLLIN, .revents = 0};
    if (mosquitto_want_write(s.mosq)) {
      fds[0].events |= POLLOUT;
    }
    fds[1] = {.fd = wakeFd_, .events = POLLIN, .revents = 0};
    if (::poll(fds.data(), fds.size(), waitMs) > 0) {
      if ((fds[1].revents & POLLIN) != 0) {
        std::uint64_t count = 0;
        [[maybe_unused]] const auto got = ::read(wakeFd_, &count, sizeof count);
      }
      if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
        if (const int rc = mosquitto_loop_read(s.mosq, 1); rc != MOSQ_ERR_SUCCESS) {
          s.lost = true;
          if (s.lostWhy.empty()) {
            s.lostWhy = rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc);
          }
        }
      }
    }
    if (!s.lost && mosquitto_want_write(s.mosq)) {
      if (const int rc = mosquitto_loop_write(s.mosq, 1); rc != MOSQ_ERR_SUCCESS) {
        s.lost = true;
        s.lostWhy = mosquitto_strerror(rc);
      }
    }
    if (!s.lost) {
      mosquitto_loop_misc(s.mosq);
    }
  };

  auto waitForWake = [&](std::int64_t ms) {
    pollfd fd{.fd = wakeFd_, .events = POLLIN, .revents = 0};
    if (::poll(&fd, 1, static_cast<int>(std::clamp<std::int64_t>(ms, 0, 1000))) > 0) {
      std::uint64_t count = 0;
      [[maybe_unused]] const auto got = ::read(wakeFd_, &count, sizeof count);
    }
  };

  while (!stopping_.load()) {
    const std::int64_t now = WallMs();
    // Acknowledged records leave the outbox in one commit per turn.
    if (!acked.empty() && now >= journalRetryMs) {
      try {
        journal_.RemoveSent(acked);
        sent_.fetch_add(static_cast<std::int64_t>(acked.size()));
        for (const std::int64_t seq : acked) {
          unremoved.erase(seq);
        }
        acked.clear();
        journalBackoffMs = kFirstBackoffMs;
      } catch (const DatabaseError& e) {
        unremoved.insert(acked.begin(), acked.end());
        journalFailed(std::string("cannot remove sent records: ") + e.what());
      }
    }
    if (!session) {
      if (now < nextConnectMs) {
        waitForWake(nextConnectMs - now);
        continue;
      }
      session = connect();
      if (!session) {
        connected_.store(false);
        nextConnectMs = now + backoffMs;
        backoffMs = std::min<std::int64_t>(backoffMs * 2, config_.reconnectMaxMs);
        continue;
      }
    }
    Session& s = *session;
    if (s.connacked && !connected_.load()) {
      connected_.store(true);
      backoffMs = kFirstBackoffMs;
      log_.Info("uplink: connected to {}:{} as {}", config_.host, config_.port, config_.clientId);
      std::lock_guard lock(errorMutex_);
      lastError_.clear();
    }
    if (s.connacked && now >= journalRetryMs) {
      try {
        fill(s);
        status(s, now);
      } catch (const DatabaseError& e) {
        journalFailed(std::string("cannot read the outbox: ") + e.what());
      }
    }
    const bool canSend = s.connacked && now >= journalRetryMs && s.inflight.size() < kWindow;
    turn(s, canSend || !acked.empty() ? 200 : 1000);
    if (!s.connacked && !s.lost && WallMs() - s.startedMs > kConnectTimeoutMs) {
      s.lost = true;
      s.lostWhy = fmt::format("no answer from the broker {}:{} within {} s", config_.host,
                              config_.port, kConnectTimeoutMs / 1000);
    }
    if (s.lost) {
      Note(s.connacked ? "lost the broker: " + s.lostWhy
                       : fmt::format("cannot reach the broker {}:{}: {}", config_.host,
                                     config_.port, s.lostWhy));
      session.reset();
      connected_.store(false);
      nextConnectMs = WallMs() + backoffMs;
      backoffMs = std::min<std::int64_t>(backoffMs * 2, config_.reconnectMaxMs);
    }
  }
  if (session && session->connacked && !session->lost) {
    // Offline, as the will would say; then a clean goodbye, which the will
    // does not follow.
    Session& s = *session;
    mosquitto_publish(s.mosq, &s.offlineMid, statusTopic.c_str(), static_cast<int>(offline.size()),
                      offline.data(), 1, true);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (!s.offlineAcked && !s.lost && std::chrono::steady_clock::now() < until) {
      turn(s, 100);
    }
    mosquitto_disconnect(s.mosq);
  }
  if (!acked.empty()) {
    try {
      journal_.RemoveSent(acked);
    } catch (const DatabaseError&) {
      // Sent again at the next start: the head office drops the repeat.
    }
  }
}

}  // namespace tarvenix::forecourt::uplink
