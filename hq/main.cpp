// tarvenix-hq: the head office's end of the uplink, as a reference to copy.
// Subscribes tarvenix/+/+ with a persistent session and keeps every site's
// records in a SQLite file keyed by (site, seq): a record that comes twice
// is stored once, and a seq beyond the highest one plus one is a gap,
// reported as it is seen (it may be filled later, by a record sent again).
// With --jsonl, prints each new record and each status as a JSON line; --report prints, per
// site, the records held, the highest seq and the seqs missing below it.
//
// Deliberately apart from the service: it links neither tarvenixd's
// libraries nor the simulator, only libmosquitto, SQLite and JSON.
#include <fmt/core.h>
#include <mosquitto.h>
#include <sqlite3.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

namespace {

using json = nlohmann::json;

std::atomic<bool> stopping{false};

void Stop(int) {
  stopping.store(true);
}

class Store {
 public:
  explicit Store(const std::string& path) {
    if (sqlite3_open(path.c_str(), &db_) != SQLITE_OK) {
      throw std::runtime_error("cannot open " + path + ": " + sqlite3_errmsg(db_));
    }
    sqlite3_busy_timeout(db_, 5000);
    Exec(
        "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;"
        "CREATE TABLE IF NOT EXISTS records(site TEXT NOT NULL, seq INTEGER NOT NULL, "
        "  kind TEXT NOT NULL, time TEXT NOT NULL, record TEXT NOT NULL, "
        "  received_ms INTEGER NOT NULL, PRIMARY KEY(site, seq));"
        "CREATE TABLE IF NOT EXISTS sites(site TEXT PRIMARY KEY, highest_seq INTEGER NOT NULL "
        "  DEFAULT 0, status TEXT);");
    insert_ = Prepare(
        "INSERT OR IGNORE INTO records(site, seq, kind, time, record, received_ms) "
        "VALUES(?1, ?2, ?3, ?4, ?5, ?6)");
    highest_ = Prepare(
        "INSERT INTO sites(site, highest_seq) VALUES(?1, ?2) ON CONFLICT(site) DO UPDATE SET "
        "highest_seq = max(highest_seq, excluded.highest_seq) RETURNING highest_seq");
    status_ = Prepare(
        "INSERT INTO sites(site, status) VALUES(?1, ?2) ON CONFLICT(site) DO UPDATE SET "
        "status = excluded.status");
  }
  ~Store() {
    for (sqlite3_stmt* s : {insert_, highest_, status_}) {
      sqlite3_finalize(s);
    }
    sqlite3_close(db_);
  }
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  // Stores a record; the highest seq of its site before it, or nothing
  // when it was there already.
  std::optional<std::int64_t> Add(const std::string& site, std::int64_t seq,
                                  const std::string& kind, const std::string& time,
                                  const std::string& record) {
    Exec("BEGIN IMMEDIATE");
    sqlite3_bind_text(insert_, 1, site.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(insert_, 2, seq);
    sqlite3_bind_text(insert_, 3, kind.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(insert_, 4, time.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(insert_, 5, record.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(insert_, 6,
                       std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::system_clock::now().time_since_epoch())
                           .count());
    Step(insert_);
    if (sqlite3_changes(db_) == 0) {
      Exec("ROLLBACK");
      return std::nullopt;
    }
    const std::int64_t before = Highest(site);
    sqlite3_bind_text(highest_, 1, site.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(highest_, 2, seq);
    Step(highest_);
    Exec("COMMIT");
    return before;
  }

  void Status(const std::string& site, const std::string& status) {
    sqlite3_bind_text(status_, 1, site.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(status_, 2, status.c_str(), -1, SQLITE_TRANSIENT);
    Step(status_);
  }

  // Per site: records held, the highest seq, and the runs of seqs missing
  // below it.
  void Report() {
    sqlite3_stmt* sites = Prepare(
        "SELECT s.site, s.highest_seq, (SELECT count(*) FROM records r WHERE r.site = s.site) "
        "FROM sites s ORDER BY s.site");
    sqlite3_stmt* gaps = Prepare(
        "SELECT seq + 1, next - 1 FROM (SELECT seq, lead(seq) OVER (ORDER BY seq) AS next "
        "FROM (SELECT 0 AS seq UNION ALL SELECT seq FROM records WHERE site = ?1)) "
        "WHERE next > seq + 1");
    while (sqlite3_step(sites) == SQLITE_ROW) {
      const std::string site = reinterpret_cast<const char*>(sqlite3_column_text(sites, 0));
      json missing = json::array();
      sqlite3_bind_text(gaps, 1, site.c_str(), -1, SQLITE_TRANSIENT);
      while (sqlite3_step(gaps) == SQLITE_ROW) {
        missing.push_back({sqlite3_column_int64(gaps, 0), sqlite3_column_int64(gaps, 1)});
      }
      sqlite3_reset(gaps);
      fmt::print("{}\n", json{{"site", site},
                              {"highest_seq", sqlite3_column_int64(sites, 1)},
                              {"records", sqlite3_column_int64(sites, 2)},
                              {"missing", missing}}
                             .dump());
    }
    sqlite3_finalize(gaps);
    sqlite3_finalize(sites);
  }

 private:
  void Exec(const char* sql) {
    char* error = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &error) != SQLITE_OK) {
      std::string message = error != nullptr ? error : "?";
      sqlite3_free(error);
      throw std::runtime_error(message);
    }
  }
  sqlite3_stmt* Prepare(const char* sql) {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db_, sql, -1, &s, nullptr) != SQLITE_OK) {
      throw std::runtime_error(sqlite3_errmsg(db_));
    }
    return s;
  }
  void Step(sqlite3_stmt* s) {
    int rc = sqlite3_step(s);
    while (rc == SQLITE_ROW) {
      rc = sqlite3_step(s);
    }
    sqlite3_reset(s);
    sqlite3_clear_bindings(s);
    if (rc != SQLITE_DONE) {
      throw std::runtime_error(sqlite3_errmsg(db_));
    }
  }
  std::int64_t Highest(const std::string& site) {
    sqlite3_stmt* s = Prepare("SELECT highest_seq FROM sites WHERE site = ?1");
    sqlite3_bind_text(s, 1, site.c_str(), -1, SQLITE_TRANSIENT);
    const std::int64_t highest = sqlite3_step(s) == SQLITE_ROW ? sqlite3_column_int64(s, 0) : 0;
    sqlite3_finalize(s);
    return highest;
  }

  sqlite3* db_ = nullptr;
  sqlite3_stmt* insert_ = nullptr;
  sqlite3_stmt* highest_ = nullptr;
  sqlite3_stmt* status_ = nullptr;
};

struct Subscriber {
  Store& store;
  bool jsonl = false;
  bool failed = false;
};

void OnConnect(mosquitto* mosq, void*, int rc) {
  if (rc != 0) {
    fmt::print(stderr, "tarvenix-hq: the broker refused: {}\n", mosquitto_connack_string(rc));
    return;
  }
  mosquitto_subscribe(mosq, nullptr, "tarvenix/+/+", 1);
  fmt::print(stderr, "tarvenix-hq: subscribed\n");
}

void OnMessage(mosquitto*, void* self, const mosquitto_message* message) {
  auto& sub = *static_cast<Subscriber*>(self);
  const std::string topic = message->topic;
  const std::string payload(static_cast<const char*>(message->payload),
                            static_cast<std::size_t>(std::max(message->payloadlen, 0)));
  const auto first = topic.find('/');
  const auto second = topic.find('/', first + 1);
  const std::string topicSite = topic.substr(first + 1, second - first - 1);
  const std::string topicKind = topic.substr(second + 1);
  if (topicKind == "commands" || topicSite == "all") {
    return;  // the head office's own messages
  }
  try {
    if (topicKind == "status") {
      if (!payload.empty()) {
        sub.store.Status(topicSite, payload);
        if (sub.jsonl) {
          fmt::print("{}\n", payload);
          std::fflush(stdout);
        }
      }
      return;
    }
    const json record = json::parse(payload, nullptr, false);
    auto text = [&record](const char* key) {
      const auto it = record.find(key);
      return it != record.end() && it->is_string() ? it->get<std::string>() : std::string();
    };
    if (!record.is_object() || !record.contains("seq") || !record["seq"].is_number_integer() ||
        text("site") != topicSite || text("kind") != topicKind || !record.contains("record")) {
      fmt::print(stderr, "tarvenix-hq: {}: not a record, dropped: {:.200}\n", topic, payload);
      return;
    }
    const std::int64_t seq = record["seq"].get<std::int64_t>();
    const auto before =
        sub.store.Add(topicSite, seq, topicKind, record.value("time", ""), record["record"].dump());
    if (!before) {
      return;  // a repeat
    }
    if (seq > *before + 1) {
      fmt::print(stderr, "tarvenix-hq: site {}: seq {}..{} missing so far\n", topicSite,
                 *before + 1, seq - 1);
    }
    if (sub.jsonl) {
      fmt::print("{}\n", payload);
      std::fflush(stdout);
    }
  } catch (const std::exception& e) {
    // The broker resends what was not acknowledged; this process stops so
    // that nothing is acknowledged that was not stored.
    fmt::print(stderr, "tarvenix-hq: cannot store {}: {}\n", topic, e.what());
    sub.failed = true;
    stopping.store(true);
  }
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"tarvenix-hq: every site's records from the broker into SQLite, once each"};
  std::string host = "localhost";
  int port = 1883;
  std::string clientId = "tarvenix-hq";
  std::string database = "tarvenix-hq.db";
  std::string caFile;
  std::string certFile;
  std::string keyFile;
  std::string username;
  std::string password;
  bool jsonl = false;
  bool report = false;
  app.add_option("--host", host, "The broker's host");
  app.add_option("--port", port, "The broker's port")->check(CLI::Range(1, 65535));
  app.add_option("--client-id", clientId, "A fixed client id: the broker keeps its session");
  app.add_option("--db", database, "The SQLite file of the records");
  app.add_option("--ca-file", caFile, "TLS: the broker's CA (PEM)");
  app.add_option("--cert-file", certFile, "TLS: a client certificate (PEM)");
  app.add_option("--key-file", keyFile, "TLS: its key (PEM)");
  app.add_option("--username", username, "A user name for the broker");
  app.add_option("--password", password, "Its password");
  app.add_flag("--jsonl", jsonl, "Print every new record as a JSON line");
  app.add_flag("--report", report, "Print each site's records, highest seq and gaps, and exit");
  CLI11_PARSE(app, argc, argv);

  try {
    Store store(database);
    if (report) {
      store.Report();
      return 0;
    }
    std::signal(SIGTERM, Stop);
    std::signal(SIGINT, Stop);
    mosquitto_lib_init();
    Subscriber subscriber{.store = store, .jsonl = jsonl};
    mosquitto* mosq = mosquitto_new(clientId.c_str(), false, &subscriber);
    mosquitto_int_option(mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    if (!caFile.empty()) {
      mosquitto_tls_set(mosq, caFile.c_str(), nullptr,
                        certFile.empty() ? nullptr : certFile.c_str(),
                        keyFile.empty() ? nullptr : keyFile.c_str(), nullptr);
    }
    if (!username.empty()) {
      mosquitto_username_pw_set(mosq, username.c_str(),
                                password.empty() ? nullptr : password.c_str());
    }
    mosquitto_connect_callback_set(mosq, OnConnect);
    mosquitto_message_callback_set(mosq, OnMessage);
    int rc = mosquitto_connect(mosq, host.c_str(), port, 30);
    auto backoff = std::chrono::milliseconds(250);
    while (!stopping.load()) {
      if (rc == MOSQ_ERR_SUCCESS) {
        rc = mosquitto_loop(mosq, 500, 1);
        backoff = std::chrono::milliseconds(250);
        continue;
      }
      std::this_thread::sleep_for(backoff);
      backoff = std::min(backoff * 2, std::chrono::milliseconds(5000));
      rc = mosquitto_reconnect(mosq);
    }
    mosquitto_disconnect(mosq);
    mosquitto_destroy(mosq);
    mosquitto_lib_cleanup();
    return subscriber.failed ? 1 : 0;
  } catch (const std::exception& e) {
    fmt::print(stderr, "tarvenix-hq: {}\n", e.what());
    return 1;
  }
}
