// The head-office uplink against a real broker: Debian's mosquitto on a free
// loopback port, tarvenixd on simulated dispensers with the demo attendant,
// and tarvenix-hq storing what arrives. Invariants, not timings: every
// record the journal numbered reaches the head office once by (site, seq),
// in order and without a gap, after a broker outage and after kill -9 at
// random moments; a command is applied and reported once; what is
// published has every field the AsyncAPI document requires.
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <thread>

#include "forecourt/database.hpp"
#include "support/child_process.hpp"

namespace tarvenix::forecourt {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using namespace std::chrono_literals;

using testing::FreeLoopbackPort;
using testing::Process;
using testing::ReadFile;
using testing::Reap;
using testing::Spawn;
using testing::WaitFor;

std::int64_t Query(const fs::path& db, const std::string& sql) {
  try {
    Database d(db.string(), Database::Mode::kReadOnly);
    return d.QueryInt(sql);
  } catch (const DatabaseError&) {
    return -1;  // not there yet
  }
}

// What curl says of a URL (curl is one of the project's packages).
std::string Get(const std::string& arguments) {
  std::string out;
  if (FILE* pipe = ::popen(("curl -s " + arguments).c_str(), "r")) {
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
      out.append(buffer, n);
    }
    ::pclose(pipe);
  }
  return out;
}

// A broker, tarvenixd and tarvenix-hq in a folder of their own.
class Site {
 public:
  explicit Site(const std::string& name, bool tls = false)
      : dir_(fs::temp_directory_path() /
             ("tarvenix-uplink-" + name + "-" + std::to_string(getpid()))),
        port_(FreeLoopbackPort()),
        tls_(tls) {
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    if (tls_) {
      MakeCertificates();
    }
    std::ofstream(dir_ / "mosquitto.conf")
        << "listener " << port_
        << " 127.0.0.1\nallow_anonymous true\npersistence true\n"
        // Run as root, mosquitto would drop to its own user, who cannot
        // write here.
        << "user " << getpwuid(getuid())->pw_name << "\n"
        << "persistence_location " << dir_.string() << "/\n"
        << (tls_ ? "cafile " + (dir_ / "ca.pem").string() + "\ncertfile " +
                       (dir_ / "server.pem").string() + "\nkeyfile " +
                       (dir_ / "server.key").string() +
                       "\nrequire_certificate true\nuse_identity_as_username true\n"
                 : "");
  }
  ~Site() {
    service_.End();
    hq_.End();
    broker_.End();
    if (!::testing::Test::HasFailure()) {
      fs::remove_all(dir_);
    }
  }

  const fs::path& Dir() const { return dir_; }
  fs::path Journal() const { return dir_ / "journal.db"; }
  fs::path Hq() const { return dir_ / "hq.db"; }

  void StartBroker() {
    broker_ = Process({"/usr/sbin/mosquitto", "-c", (dir_ / "mosquitto.conf").string()},
                      dir_ / "mosquitto.log");
  }
  void StopBroker() { broker_.End(); }

  void StartHq() {
    std::vector<std::string> args = {TARVENIX_HQ, "--port", std::to_string(port_), "--host",
                                     "127.0.0.1", "--db",   Hq().string(),         "--client-id",
                                     "hq-test",   "--jsonl"};
    if (tls_) {
      args.insert(args.end(),
                  {"--ca-file", (dir_ / "ca.pem").string(), "--cert-file",
                   (dir_ / "hq.pem").string(), "--key-file", (dir_ / "hq.key").string()});
    }
    // Its JSON lines and its complaints in one file; the lines are told
    // apart by their first character.
    hq_ = Process(args, dir_ / "hq.jsonl");
    ASSERT_TRUE(WaitFor(
        [&] { return ReadFile(dir_ / "hq.jsonl").find("subscribed") != std::string::npos; }, 10s))
        << ReadFile(dir_ / "hq.jsonl");
  }

  void WriteConfig(const std::string& extraUplink = "") {
    std::ofstream(dir_ / "forecourt.toml")
        << "database = \"" << Journal().string() << "\"\nlisten = \"127.0.0.1:0\"\n"
        << "[[line]]\nsimulate = 2\nflow = 3000\n"
        << "[[line.pump]]\nid = \"1\"\naddress = 1\nprice = 1.85\n"
        << "[[line.pump]]\nid = \"2\"\naddress = 2\nprice = 2.37\n"
        << "[uplink]\nenabled = true\nsite = \"s1\"\nhost = \"127.0.0.1\"\nport = " << port_
        << "\nreconnect_max_ms = 500\n"
        << (tls_ ? "ca_file = \"" + (dir_ / "ca.pem").string() + "\"\ncert_file = \"" +
                       (dir_ / "site.pem").string() + "\"\nkey_file = \"" +
                       (dir_ / "site.key").string() + "\"\n"
                 : "")
        << extraUplink;
  }

  // tarvenixd with the demo attendant making `sales` sales (0: none).
  Process Service(int sales, const std::string& log = "tarvenixd.log") {
    std::vector<std::string> args = {TARVENIXD, "--config", (dir_ / "forecourt.toml").string()};
    if (sales > 0) {
      args.insert(args.end(), {"--demo", "--demo-sales", std::to_string(sales)});
    }
    return Process(args, dir_ / log);
  }
  void StartService(int sales) { service_ = Service(sales); }
  void StopService() { ASSERT_EQ(service_.End(), 0) << ReadFile(dir_ / "tarvenixd.log"); }

  void Publish(const std::string& topic, const std::string& payload) {
    std::vector<std::string> args = {"/usr/bin/mosquitto_pub",
                                     "-h",
                                     "127.0.0.1",
                                     "-p",
                                     std::to_string(port_),
                                     "-q",
                                     "1",
                                     "-t",
                                     topic,
                                     "-m",
                                     payload};
    if (tls_) {
      args.insert(args.end(), {"--cafile", (dir_ / "ca.pem").string(), "--cert",
                               (dir_ / "hq.pem").string(), "--key", (dir_ / "hq.key").string()});
    }
    const pid_t pid = Spawn(args, dir_ / "pub.log");
    ASSERT_GT(pid, 0);
    const int status = Reap(pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << ReadFile(dir_ / "pub.log");
  }

  // Every record the journal numbered is at the head office, and the
  // journal's outbox is empty.
  bool AllDelivered() const {
    const std::int64_t numbered =
        Query(Journal(), "SELECT coalesce(max(seq), 0) FROM sqlite_sequence WHERE name = 'outbox'");
    return numbered > 0 && Query(Journal(), "SELECT count(*) FROM outbox") == 0 &&
           Query(Hq(), "SELECT count(*) FROM records WHERE site = 's1'") == numbered;
  }

  // The published messages, as tarvenix-hq printed them.
  std::vector<json> Printed() const {
    std::vector<json> out;
    std::istringstream lines(ReadFile(dir_ / "hq.jsonl"));
    for (std::string line; std::getline(lines, line);) {
      if (!line.empty() && line[0] == '{') {
        out.push_back(json::parse(line));
      }
    }
    return out;
  }

 private:
  void MakeCertificates() {
    const std::string d = dir_.string();
    std::string script =
        "cd " + d +
        " && ( openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=test-ca "
        "-keyout ca.key -out ca.pem";
    for (const char* name : {"server", "site", "hq"}) {
      const std::string cn = std::string(name) == "server" ? "localhost" : name;
      script += std::string(" && openssl req -newkey rsa:2048 -nodes -subj /CN=") + cn +
                " -keyout " + name + ".key -out " + name + ".csr" + " && openssl x509 -req -in " +
                name + ".csr -CA ca.pem -CAkey ca.key " + "-CAcreateserial -days 2 -out " + name +
                ".pem" +
                (std::string(name) == "server"
                     ? " -extfile <(printf 'subjectAltName=IP:127.0.0.1,DNS:localhost')"
                     : "");
    }
    script += " ) > openssl.log 2>&1";
    ASSERT_EQ(std::system(("bash -c \"" + script + "\"").c_str()), 0)
        << ReadFile(dir_ / "openssl.log");
  }

  fs::path dir_;
  std::uint16_t port_;
  bool tls_;
  Process broker_;
  Process hq_;
  Process service_;
};

// What was published has the fields the AsyncAPI document requires: the
// envelope and the record of each kind, and the status, online or not.
void ExpectDescribed(const std::vector<json>& messages) {
  std::ifstream in(TARVENIX_ASYNCAPI);
  const json doc = json::parse(in);
  const json& schemas = doc.at("components").at("schemas");
  auto expectFields = [](const json& value, const json& schema, const std::string& what) {
    for (const auto& field : schema.at("required")) {
      EXPECT_TRUE(value.contains(field.get<std::string>())) << what << " lacks " << field;
    }
  };
  const std::map<std::string, std::string> recordSchema = {
      {"sales", "transaction"}, {"alerts", "alert"},          {"results", "result"},
      {"audit", "audit"},       {"price-log", "priceChange"}, {"shifts", "shiftReport"}};
  int statuses = 0;
  for (const json& message : messages) {
    if (!message.contains("seq")) {
      ++statuses;
      expectFields(message, schemas.at("status"), message.dump());
      if (message.value("online", false)) {
        expectFields(message.at("backlog"), schemas.at("status").at("properties").at("backlog"),
                     message.dump());
      }
      continue;
    }
    expectFields(message, schemas.at("envelope"), message.dump());
    const std::string kind = message.value("kind", "");
    ASSERT_TRUE(recordSchema.count(kind)) << "undescribed kind " << kind;
    expectFields(message.at("record"), schemas.at(recordSchema.at(kind)), message.dump());
    EXPECT_TRUE(doc.at("channels").contains("tarvenix/{site}/" + kind)) << kind;
  }
  EXPECT_GT(statuses, 0);
}

// Records in the order they reached the head office: rising seqs, from 1,
// without a gap.
void ExpectInOrderWithoutGap(const fs::path& hq) {
  Database db(hq.string(), Database::Mode::kReadOnly);
  Statement s = db.Prepare("SELECT seq FROM records WHERE site = 's1' ORDER BY received_ms, rowid");
  std::int64_t expected = 1;
  while (s.Step()) {
    EXPECT_EQ(s.Int(0), expected);
    expected = s.Int(0) + 1;
  }
}

TEST(UplinkTest, SalesDuringABrokerOutageArriveAfterItInOrderOnce) {
  Site site("outage");
  site.StartBroker();
  site.StartHq();
  site.WriteConfig("backlog_degraded_s = 1\n");
  Process run = site.Service(8, "sales.log");
  ASSERT_TRUE(WaitFor(
      [&] {
        return ReadFile(site.Dir() / "sales.log").find("uplink: connected") != std::string::npos;
      },
      10s));
  // The broker goes; the sales go on, into the outbox.
  site.StopBroker();
  ASSERT_TRUE(WaitFor(
      [&] { return ReadFile(site.Dir() / "sales.log").find("sales made") != std::string::npos; },
      60s))
      << ReadFile(site.Dir() / "sales.log");
  const std::int64_t waiting = Query(site.Journal(), "SELECT count(*) FROM outbox");
  EXPECT_GT(waiting, 0);
  EXPECT_EQ(Query(site.Hq(), "SELECT count(*) FROM records") + waiting,
            Query(site.Journal(), "SELECT seq FROM sqlite_sequence WHERE name = 'outbox'"));
  // The backlog is seen: past its age the service is degraded.
  const std::string log = ReadFile(site.Dir() / "sales.log");
  const auto at = log.find("http://");
  ASSERT_NE(at, std::string::npos);
  const std::string url = log.substr(at, log.find('\n', at) - at);
  std::string health;
  EXPECT_TRUE(WaitFor(
      [&] {
        health = Get("-w '%{http_code}' " + url + "/healthz");
        return health.find("the uplink is") != std::string::npos && health.ends_with("503");
      },
      10s))
      << health;
  const json uplink = json::parse(Get(url + "/api/v1/uplink"));
  EXPECT_FALSE(uplink["connected"].get<bool>());
  EXPECT_EQ(uplink["backlog"]["records"], waiting);
  site.StartBroker();
  ASSERT_TRUE(WaitFor([&] { return site.AllDelivered(); }, 30s))
      << ReadFile(site.Dir() / "sales.log");
  EXPECT_EQ(run.End(), 0);
  ExpectInOrderWithoutGap(site.Hq());
  // Each sale twice: payable, then cleared.
  EXPECT_EQ(Query(site.Hq(), "SELECT count(*) FROM records WHERE kind = 'sales'"),
            2 * Query(site.Journal(), "SELECT count(*) FROM transactions WHERE state = 'cleared'"));
  ExpectDescribed(site.Printed());
}

TEST(UplinkTest, KilledWhilePublishingEveryCommittedRecordArrivesOnce) {
  const char* env = std::getenv("TARVENIX_KILLS");
  const int kills = env != nullptr ? std::atoi(env) : 10;
  Site site("kills");
  site.StartBroker();
  site.StartHq();
  site.WriteConfig();
  auto numbered = [&] {
    return std::max<std::int64_t>(
        0, Query(site.Journal(),
                 "SELECT coalesce(max(seq), 0) FROM sqlite_sequence WHERE name = 'outbox'"));
  };
  // Each run is killed while it publishes: once it has committed a record
  // (a sale became payable or was cleared), at a random moment after.
  std::mt19937 random(20261209);
  std::uniform_int_distribution<int> moment(0, 400);
  for (int kill = 0; kill < kills; ++kill) {
    const std::int64_t before = numbered();
    Process run = site.Service(kills + 4, "kills.log");
    ASSERT_TRUE(WaitFor([&] { return numbered() > before; }, 60s))
        << ReadFile(site.Dir() / "kills.log");
    std::this_thread::sleep_for(std::chrono::milliseconds(moment(random)));
    run.Kill();
  }
  // The last run sends what the others left; the in-process dispensers
  // start afresh at each run, so it is not asked to finish the sales.
  Process last = site.Service(0, "last.log");
  ASSERT_TRUE(WaitFor(
      [&] {
        return ReadFile(site.Dir() / "last.log").find("uplink: connected") != std::string::npos;
      },
      10s));
  ASSERT_TRUE(WaitFor([&] { return site.AllDelivered(); }, 30s))
      << ReadFile(site.Dir() / "last.log");
  EXPECT_EQ(last.End(), 0);
  ExpectInOrderWithoutGap(site.Hq());
  std::cout << Query(site.Hq(), "SELECT count(*) FROM records") << " records once each after "
            << kills << " kills\n";
  EXPECT_EQ(Query(site.Hq(),
                  "SELECT count(*) FROM records WHERE kind = 'sales' AND "
                  "json_extract(record, '$.state') = 'cleared'"),
            Query(site.Journal(), "SELECT count(*) FROM transactions WHERE state = 'cleared'"));
  EXPECT_EQ(
      Query(site.Hq(),
            "SELECT count(*) FROM records WHERE kind = 'sales' AND "
            "json_extract(record, '$.state') = 'payable'"),
      Query(site.Journal(),
            "SELECT count(*) FROM transactions WHERE state IN ('payable', 'locked', 'cleared')"));
}

// Over TLS with certificates made here: the site and the head office each
// with a client certificate of the test's CA.
TEST(UplinkTest, CommandsAreAppliedAndReportedOnceOverTls) {
  Site site("commands", true);
  site.StartBroker();
  site.StartHq();
  site.WriteConfig();
  site.StartService(0);
  ASSERT_TRUE(WaitFor(
      [&] {
        return ReadFile(site.Dir() / "tarvenixd.log").find("uplink: connected") !=
               std::string::npos;
      },
      10s))
      << ReadFile(site.Dir() / "tarvenixd.log");
  const std::string prices = R"({"id": "p-1", "kind": "prices", "prices": {"1": 1.89, "2": 2.41}})";
  site.Publish("tarvenix/s1/commands", prices);
  site.Publish("tarvenix/s1/commands", prices);
  site.Publish("tarvenix/all/commands", prices);
  // Refused, each with a result, nothing applied.
  const std::vector<std::pair<std::string, std::string>> refused = {
      {R"({"id": "a-1", "kind": "authorize", "pump": "1"})", "not-allowed"},
      {R"({"id": "u-1", "kind": "reboot"})", "unknown-kind"},
      {R"({"id": "p-2", "kind": "prices", "prices": {"9": 1.5}})", "bad-prices"},
      {R"({"id": "p-3", "kind": "prices", "prices": {"1": 1.234}})", "bad-prices"},
      {R"({"kind": "prices", "prices": {"1": 1.5}})", "bad-command"},
      {"not json {", "bad-json"},
  };
  for (const auto& [payload, error] : refused) {
    site.Publish("tarvenix/s1/commands", payload);
  }
  // The last is the marker: commands are taken in order.
  ASSERT_TRUE(WaitFor(
      [&] {
        return Query(site.Hq(),
                     "SELECT count(*) FROM records WHERE kind = 'results' AND json_extract(record, "
                     "'$.error') = 'bad-json'") == 1;
      },
      30s))
      << ReadFile(site.Dir() / "tarvenixd.log");
  EXPECT_EQ(Query(site.Hq(),
                  "SELECT count(*) FROM records WHERE kind = 'results' AND "
                  "json_extract(record, '$.id') = 'p-1' AND json_extract(record, '$.ok')"),
            1);
  for (const auto& [payload, error] : refused) {
    EXPECT_EQ(Query(site.Hq(),
                    "SELECT count(*) FROM records WHERE kind = 'results' AND "
                    "json_extract(record, '$.error') = '" +
                        error + "' AND NOT json_extract(record, '$.ok')"),
              error == "bad-prices" ? 2 : 1)
        << payload;
  }
  // One price set, which the pumps take on their line's next turn.
  EXPECT_TRUE(WaitFor(
      [&] {
        return Query(site.Journal(), "SELECT price_hundredths FROM pumps WHERE id = '1'") == 189 &&
               Query(site.Journal(), "SELECT price_hundredths FROM pumps WHERE id = '2'") == 241;
      },
      10s));
  EXPECT_EQ(Query(site.Journal(), "SELECT count(*) FROM price_sets WHERE actor = 'head-office'"),
            1);
  site.StopService();
  ASSERT_TRUE(site.AllDelivered());
  EXPECT_EQ(Query(site.Hq(), "SELECT count(*) FROM records WHERE kind = 'price-log'"), 2);
  // The goodbye's status, as the will would have it: offline.
  EXPECT_TRUE(WaitFor(
      [&] {
        return Query(site.Hq(),
                     "SELECT count(*) FROM sites WHERE site = 's1' AND NOT json_extract(status, "
                     "'$.online')") == 1;
      },
      10s));
  ExpectDescribed(site.Printed());
}

}  // namespace
}  // namespace tarvenix::forecourt
