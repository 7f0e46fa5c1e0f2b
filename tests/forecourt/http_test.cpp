// tarvenixd's HTTP interface over real HTTP on loopback: the service runs in
// a process of its own on simulated dispensers, as a point of sale meets it.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

#include "forecourt/api/api.hpp"
#include "forecourt/api/server.hpp"
#include "forecourt/http_client.hpp"
#include "forecourt/simulated_lines.hpp"

extern char** environ;

namespace tarvenix::forecourt {
namespace {

using testing::Call;
using testing::EventStream;
using testing::StreamEvent;

constexpr const char* kMonitor = "monitor-0123456789abcdef";
constexpr const char* kControl = "control-0123456789abcdef";
constexpr const char* kAdmin = "admin-0123456789abcdef";

// tarvenixd in a child process; its URL is the first line it prints.
class Service {
 public:
  Service(const std::filesystem::path& dir, const std::string& extraConfig) {
    const auto config = dir / "tarvenixd.toml";
    std::ofstream(config) << "database = \"" << (dir / "journal.db").string() << "\"\n"
                          << extraConfig << R"(
[[token]]
value = ")" << kMonitor << R"("
role = "monitor"
[[token]]
value = ")" << kControl << R"("
role = "control"
[[token]]
value = ")" << kAdmin << R"("
role = "admin"

[[line]]
simulate = 4
flow = 600
)";
    int out[2];
    EXPECT_EQ(pipe(out), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, (dir / "log").c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0644);
    std::string configPath = config.string();
    std::vector<char*> argv = {
        const_cast<char*>(TARVENIXD),  const_cast<char*>("--config"),    configPath.data(),
        const_cast<char*>("--listen"), const_cast<char*>("127.0.0.1:0"), nullptr};
    EXPECT_EQ(posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    // The first line, or nothing when the service fails to start.
    pollfd fd{.fd = out[0], .events = POLLIN, .revents = 0};
    char c = 0;
    while (poll(&fd, 1, 20'000) == 1 && read(out[0], &c, 1) == 1 && c != '\n') {
      url_ += c;
    }
    close(out[0]);
  }
  ~Service() {
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  const std::string& Url() const { return url_; }

 private:
  pid_t pid_ = 0;
  std::string url_;
};

class HttpTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = std::filesystem::temp_directory_path() / ("tarvenixd-http-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir_);
    service_ = new Service(dir_, "");
    ASSERT_TRUE(service_->Url().starts_with("http://127.0.0.1:")) << service_->Url();
    // Every pump online before a test starts. The stream's keep-alive
    // comments would let a pump that never comes online hold the suite up
    // for ever, so the wait has a limit of its own.
    EventStream events(Url(), kMonitor, 0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (;;) {
      const auto pumps = Get("/api/v1/pumps").Json();
      if (std::all_of(pumps.begin(), pumps.end(), [](const auto& p) { return p["online"]; })) {
        break;
      }
      ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "pumps still offline: " << pumps;
      events.Next();
    }
  }
  static void TearDownTestSuite() {
    delete service_;
    std::filesystem::remove_all(dir_);
  }
  static const std::string& Url() { return service_->Url(); }
  static testing::HttpReply Get(const std::string& target, const std::string& token = kMonitor) {
    return Call(Url(), "GET", target, {}, token);
  }
  static testing::HttpReply Post(const std::string& target, const std::string& body,
                                 const std::string& token = kControl) {
    return Call(Url(), "POST", target, body, token);
  }
  static StreamEvent TransactionIn(EventStream& events, std::int64_t id, std::string_view state) {
    return events.Until([&](const StreamEvent& e) {
      return e.type == "transaction" && e.data["id"] == id && e.data["state"] == state;
    });
  }

  static inline std::filesystem::path dir_;
  static inline Service* service_ = nullptr;
};

TEST_F(HttpTest, AWholeSaleThroughTheRoutesAndTheEventStream) {
  EventStream events(Url(), kMonitor);
  ASSERT_EQ(events.Status(), 200u);
  const std::string body =
      R"({"volume": 2.5, "price": 1.85, "client": "pos1", "reference": "sale-1"})";
  const auto first = Post("/api/v1/pumps/1-1/authorize", body);
  ASSERT_EQ(first.status, 201u) << first.body;
  const std::int64_t id = first.Json()["id"];
  // A retried request with the same reference is the same sale.
  const auto again = Post("/api/v1/pumps/1-1/authorize", body);
  EXPECT_EQ(again.status, 200u);
  EXPECT_EQ(again.Json()["id"], id);
  EXPECT_TRUE(again.Json()["existing"]);
  // The same reference with another pump or another preset is no retry.
  for (const auto& [pump, preset] : {std::pair{"1-2", "2.5"}, std::pair{"1-1", "3"}}) {
    const auto conflict =
        Post(std::string("/api/v1/pumps/") + pump + "/authorize",
             std::string(R"({"client": "pos1", "reference": "sale-1", "volume": )") + preset + "}");
    EXPECT_EQ(conflict.status, 409u) << conflict.body;
    EXPECT_EQ(conflict.Json()["error"], "reference-conflict");
  }

  const StreamEvent live = events.Until(
      [](const StreamEvent& e) { return e.type == "live" && e.data["pump"] == "1-1"; });
  EXPECT_GT(live.data["volume"].get<double>(), 0);
  const StreamEvent payable = TransactionIn(events, id, "payable");
  EXPECT_EQ(payable.data["volume"], 2.5);  // the dispenser's precision, no binary noise
  EXPECT_EQ(payable.data["money"], 4.625);

  const auto sale = Get("/api/v1/transactions/" + std::to_string(id)).Json();
  EXPECT_EQ(sale["state"], "payable");
  EXPECT_EQ(sale["preset"]["volume"], 2.5);
  EXPECT_TRUE(std::string(sale["created"]).ends_with("Z"));
  const auto listed = Get("/api/v1/transactions?state=payable&pump=1-1&limit=5").Json();
  ASSERT_FALSE(listed.empty());
  EXPECT_EQ(listed[0]["id"], id);

  const std::string path = "/api/v1/transactions/" + std::to_string(id);
  EXPECT_EQ(Post(path + "/lock", R"({"client": "pos1"})").status, 200u);
  const auto stolen = Post(path + "/clear", R"({"client": "pos2"})");
  EXPECT_EQ(stolen.status, 409u);
  EXPECT_EQ(stolen.Json()["error"], "locked");
  const auto cleared = Post(path + "/clear", R"({"client": "pos1"})");
  EXPECT_EQ(cleared.status, 200u) << cleared.body;
  EXPECT_EQ(cleared.Json()["state"], "cleared");
  const StreamEvent clearedEvent = TransactionIn(events, id, "cleared");

  // A client that comes back resumes after the last event it saw, and one
  // asking for an id the service never gave is told to resync.
  EventStream resumed(Url(), kMonitor, clearedEvent.id - 1);
  EXPECT_EQ(resumed.Next().id, clearedEvent.id);
  EventStream lost(Url(), kMonitor, clearedEvent.id + 1'000'000);
  EXPECT_EQ(lost.Next().type, "resync");
}

TEST_F(HttpTest, StopAndStopAll) {
  EventStream events(Url(), kMonitor);
  const auto started = Post("/api/v1/pumps/1-2/authorize", R"({"money": 500, "price": 1.85})");
  ASSERT_EQ(started.status, 201u) << started.body;
  const std::int64_t id = started.Json()["id"];
  TransactionIn(events, id, "fuelling");
  const auto stopped = Post("/api/v1/pumps/1-2/stop", "");
  EXPECT_EQ(stopped.status, 200u) << stopped.body;
  const StreamEvent payable = TransactionIn(events, id, "payable");
  EXPECT_LT(payable.data["money"].get<double>(), 500);

  ASSERT_EQ(Post("/api/v1/pumps/1-3/authorize", R"({"volume": 100, "price": 1.85})").status, 201u);
  const auto all = Post("/api/v1/stop-all", "");
  EXPECT_EQ(all.status, 200u) << all.body;
  const nlohmann::json allJson = all.Json();  // the loop below must not outlive it
  ASSERT_EQ(allJson["pumps"].size(), 4u);
  for (const auto& pump : allJson["pumps"]) {
    EXPECT_EQ(pump["outcome"], pump["id"] == "1-3" ? "stopped" : "not-delivering") << pump;
  }
  events.Until([](const StreamEvent& e) {
    return e.type == "transaction" && e.data["pump"] == "1-3" &&
           (e.data["state"] == "payable" || e.data["state"] == "cancelled");
  });
}

TEST_F(HttpTest, EveryRoleAgainstEveryRoute) {
  const std::map<Role, std::string> tokens = {
      {Role::kMonitor, kMonitor}, {Role::kControl, kControl}, {Role::kAdmin, kAdmin}};
  for (const auto& [method, pattern] : api::RouteList()) {
    std::string target = pattern;
    for (const auto& [from, to] : {std::pair{std::string("{id}"), std::string("1-4")},
                                   std::pair{std::string("{n}"), std::string("1")}}) {
      if (const auto at = target.find(from); at != std::string::npos) {
        target.replace(at, from.size(), target.starts_with("/api/v1/pumps") ? to : "1");
      }
    }
    const auto route = api::Match(method, target);
    ASSERT_TRUE(route) << method << " " << target;
    SCOPED_TRACE(method + " " + target);
    if (target == "/api/v1/session") {
      // The page asks without a token whether it needs one.
      const auto nobody = Call(Url(), method, target, "{}");
      EXPECT_EQ(nobody.status, 200u);
      EXPECT_TRUE(nobody.Json()["role"].is_null()) << nobody.body;
    } else {
      EXPECT_EQ(Call(Url(), method, target, "{}").status, 401u);
    }
    EXPECT_EQ(Call(Url(), method, target, "{}", "wrong-0123456789abcdef").status, 401u);
    for (const auto& [role, token] : tokens) {
      // An empty object is a bad body where one is needed: nothing starts.
      const unsigned status = Call(Url(), method, target, "{}", token).status;
      if (role < route->needs) {
        EXPECT_EQ(status, 403u) << static_cast<int>(role);
      } else {
        EXPECT_NE(status, 401u);
        EXPECT_NE(status, 403u);
      }
    }
  }
}

TEST_F(HttpTest, BadRequestsAreRefusedAndTouchNothing) {
  struct Case {
    std::string method, target, body;
    unsigned status;
    std::string reason;
  };
  const std::string authorise = "/api/v1/pumps/1-4/authorize";
  const std::vector<Case> cases = {
      {"POST", authorise, "{\"volume\": 2", 400, "malformed-json"},
      {"POST", authorise, "[1, 2]", 400, "bad-body"},
      {"POST", authorise, R"({"volume": "2"})", 400, "bad-type"},
      {"POST", authorise, R"({"volume": true})", 400, "bad-type"},
      {"POST", authorise, R"({"volume": -1})", 400, "bad-preset"},
      {"POST", authorise, R"({"volume": 0})", 400, "bad-preset"},
      {"POST", authorise, R"({"volume": 1e300})", 400, "bad-preset"},
      {"POST", authorise, R"({"money": 100000})", 400, "bad-preset"},
      {"POST", authorise, R"({"volume": 1, "money": 1})", 400, "bad-preset"},
      {"POST", authorise, R"({"volume": 1, "price": 1000})", 400, "bad-price"},
      // Between the dispenser's steps: it would get another amount.
      {"POST", authorise, R"({"volume": 1.55})", 400, "bad-preset"},
      {"POST", authorise, R"({"money": 1.5})", 400, "bad-preset"},
      {"POST", authorise, R"({"volume": 1, "price": 1.859})", 400, "bad-price"},
      {"PUT", "/api/v1/pumps/1-4/price", R"({"price": 0.004})", 400, "bad-price"},
      {"POST", authorise, R"({"volume": 1, "client": ""})", 400, "bad-client"},
      {"POST", "/api/v1/transactions/1/lock", R"({"client": ""})", 400, "bad-client"},
      {"POST", authorise, R"({"volume": 1, "client": 7})", 400, "bad-type"},
      {"POST", authorise, R"({"volume": 1, "colour": "red"})", 400, "unknown-field"},
      {"POST", authorise, "{\"volume\": 1, \"client\": \"" + std::string(100'000, 'x') + "\"}", 413,
       "too-large"},
      {"POST", "/api/v1/pumps/9-9/authorize", R"({"volume": 1})", 404, "unknown-pump"},
      {"GET", "/api/v1/pumps/%FF%FE", "", 404, "unknown-pump"},  // not UTF-8, quoted back
      {"GET", "/api/v1/transactions?%FF=1", "", 400, "bad-query"},
      {"PUT", "/api/v1/pumps/1-4/price", R"({"price": -3})", 400, "bad-price"},
      {"PUT", "/api/v1/pumps/1-4/price", R"({"cost": 3})", 400, "unknown-field"},
      {"PUT", "/api/v1/pumps/1-4/parameters/1", R"({"value": 1.5})", 400, "bad-parameter"},
      {"PUT", "/api/v1/pumps/1-4/parameters/x", R"({"value": 1})", 400, "bad-parameter"},
      {"GET", "/api/v1/transactions/999999", "", 404, "not-found"},
      {"GET", "/api/v1/transactions/abc", "", 404, "not-found"},
      {"GET", "/api/v1/transactions?state=happy", "", 400, "bad-query"},
      {"GET", "/api/v1/transactions?limit=0", "", 400, "bad-query"},
      {"GET", "/api/v1/transactions?since=yesterday", "", 400, "bad-query"},
      {"POST", "/api/v1/transactions/999999/lock", R"({"client": "pos1"})", 404, "not-found"},
      {"POST", "/api/v1/transactions/1/lock", R"({})", 400, "bad-client"},
      {"POST", "/api/v1/alerts/999999/ack", "", 404, "not-found"},
      {"GET", "/api/v2/pumps", "", 404, "not-found"},
      {"DELETE", "/api/v1/pumps", "", 405, "method-not-allowed"},
  };
  ASSERT_EQ(Call(Url(), "PUT", "/api/v1/pumps/1-4/price", R"({"price": 1.85})", kControl).status,
            200u);
  const auto before = Get("/api/v1/transactions?pump=1-4").Json();
  for (const Case& c : cases) {
    const auto reply = Call(Url(), c.method, c.target, c.body, kAdmin);
    SCOPED_TRACE(c.method + " " + c.target + " " + c.body.substr(0, 60));
    EXPECT_EQ(reply.status, c.status) << reply.body;
    EXPECT_EQ(reply.Json()["error"], c.reason) << reply.body;
    EXPECT_TRUE(reply.Json()["message"].is_string());
  }
  EXPECT_EQ(Get("/api/v1/transactions?pump=1-4").Json(), before);
  const auto pump = Get("/api/v1/pumps/1-4").Json();
  EXPECT_EQ(pump["state"], "idle");
  EXPECT_EQ(pump["price"], 1.85);  // no refused price reached the pump
  EXPECT_EQ(pump["limits"]["money"], (nlohmann::json{{"step", 1}, {"min", 1}, {"max", 9999}}));
  EXPECT_EQ(pump["limits"]["price"]["step"], 0.01);

  // Requests as they come on one keep-alive connection: a HEAD answer has
  // no body, or the next answer would be read from the middle of it. The
  // last, refused for its Host, closes the connection.
  struct Raw {
    std::string request;
    unsigned status;
    bool body;
  };
  const std::string auth = std::string("Authorization: Bearer ") + kMonitor + "\r\n";
  const std::string pumps = "GET /api/v1/pumps HTTP/1.1\r\n";
  for (const Raw& closing :
       {Raw{pumps + auth, 400, true}, Raw{pumps + "Host: a\r\nHost: b\r\n" + auth, 400, true}}) {
    const std::vector<Raw> raw = {
        {"HEAD /api/v1/pumps HTTP/1.1\r\nHost: a\r\n" + auth, 200, false},
        {"HEAD /api/v1/nowhere HTTP/1.1\r\nHost: a\r\n" + auth, 404, false},
        {"HEAD /api/v1/pumps HTTP/1.1\r\nHost: a\r\n", 401, false},
        {pumps + "Host: a\r\n" + auth, 200, true},
        {"GET /api/v1/pumps HTTP/1.0\r\nConnection: keep-alive\r\n" + auth, 200, true},
        closing,
    };
    namespace net = testing::net;
    namespace http = testing::http;
    net::io_context io;
    const auto [host, port] = testing::HostPort(Url());
    testing::beast::tcp_stream stream(io);
    stream.expires_after(testing::kHttpTimeout);
    stream.connect(net::ip::tcp::resolver(io).resolve(host, port));
    testing::beast::flat_buffer buffer;
    for (const Raw& r : raw) {
      SCOPED_TRACE(r.request);
      net::write(stream, net::buffer(r.request + "\r\n"));
      http::response_parser<http::string_body> parser;
      parser.skip(!r.body);
      http::read(stream, buffer, parser);
      EXPECT_EQ(parser.get().result_int(), r.status);
      EXPECT_EQ(parser.get().body().empty(), !r.body);
    }
  }
}

TEST_F(HttpTest, AHundredClientsAtOnce) {
  std::atomic<int> good{0};
  std::vector<std::thread> clients;
  for (int i = 0; i < 100; ++i) {
    clients.emplace_back([&good, i] {
      const auto reply = i % 10 == 0 ? Get("/api/v1/transactions?limit=10") : Get("/api/v1/pumps");
      good += reply.status == 200 ? 1 : 0;
    });
  }
  for (std::thread& t : clients) {
    t.join();
  }
  EXPECT_EQ(good.load(), 100);
}

TEST_F(HttpTest, ServiceRoutesAndTheOpenApiDocumentMatch) {
  const auto health = Get("/healthz");
  EXPECT_EQ(health.status, 200u) << health.body;
  const auto metrics = Get("/metrics");
  EXPECT_NE(
      metrics.body.find("tarvenix_exchanges_total{line=\"1\",result=\"rejected\",code=\"222\"}"),
      std::string::npos);
  EXPECT_NE(metrics.body.find("# TYPE tarvenix_sales_total counter"), std::string::npos);
  const auto lines = Get("/api/v1/lines").Json();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(lines[0]["open"]);
  EXPECT_GT(lines[0]["exchanges"].get<int>(), 0);

  // The line's exchanges, decoded as the trace tool shows them.
  EventStream trace(Url(), kMonitor, std::nullopt, "/api/v1/lines/1/trace");
  const StreamEvent exchange = trace.Next();
  EXPECT_EQ(exchange.type, "exchange");
  EXPECT_NE(std::string(exchange.data).find(" L1 "), std::string::npos) << exchange.data;
  EXPECT_EQ(Get("/api/v1/lines/2/trace").status, 404u);

  const auto document = Get("/api/v1/openapi.json").Json();
  std::set<std::pair<std::string, std::string>> documented;
  for (const auto& [path, methods] : document["paths"].items()) {
    for (const auto& [method, unused] : methods.items()) {
      std::string upper = method;
      std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
      documented.emplace(upper, path);
    }
  }
  const auto routes = api::RouteList();
  EXPECT_EQ(documented, std::set(routes.begin(), routes.end()));
}

// A line whose device is missing cannot carry a stop: its pump fails, the
// others are stopped all the same, and the answer lists each.
TEST(HttpStopAllTest, ADeadLineFailsOnlyItsPumps) {
  const auto dir =
      std::filesystem::temp_directory_path() / ("tarvenixd-dead-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  {
    Service service(dir, "[[line]]\ndevice = \"" + (dir / "no-such-device").string() +
                             "\"\n[[line.pump]]\nid = \"dead\"\naddress = 1\n");
    ASSERT_FALSE(service.Url().empty());
    const auto all = Call(service.Url(), "POST", "/api/v1/stop-all", "", kControl);
    EXPECT_EQ(all.status, 503u) << all.body;
    const nlohmann::json allJson = all.Json();  // the loop below must not outlive it
    ASSERT_EQ(allJson["pumps"].size(), 5u) << all.body;
    for (const auto& pump : allJson["pumps"]) {
      if (pump["id"] == "dead") {
        EXPECT_EQ(pump["outcome"], "failed");
        EXPECT_EQ(pump["error"], "dispenser-unreachable");
        EXPECT_EQ(pump["dispenser_message"], "Can't STOP POMP");
      } else {
        EXPECT_EQ(pump["outcome"], "not-delivering") << pump;
      }
    }
    const auto one = Call(service.Url(), "POST", "/api/v1/pumps/dead/stop", "", kControl);
    EXPECT_EQ(one.status, 503u) << one.body;
  }
  std::filesystem::remove_all(dir);
}

TEST(HttpTlsTest, ServesOverTlsWithItsCertificate) {
  const auto dir =
      std::filesystem::temp_directory_path() / ("tarvenixd-tls-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const std::string cert = (dir / "cert.pem").string();
  const std::string key = (dir / "key.pem").string();
  const std::string command =
      "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj "
      "/CN=127.0.0.1 -keyout " +
      key + " -out " + cert + " 2>/dev/null";
  ASSERT_EQ(std::system(command.c_str()), 0);
  {
    Service service(dir, "tls_certificate = \"" + cert + "\"\ntls_key = \"" + key + "\"\n");
    ASSERT_TRUE(service.Url().starts_with("https://127.0.0.1:")) << service.Url();
    const auto reply = testing::CallTls(service.Url(), "/api/v1/openapi.json");
    EXPECT_EQ(reply.status, 401u);  // tokens hold over TLS too
    EXPECT_EQ(nlohmann::json::parse(reply.body)["error"], "unauthorized");
  }
  std::filesystem::remove_all(dir);
}

// One line held inside a step (its final commit waits on the test) with its
// queue full of requests: the other line is answered meanwhile and none of
// the held line's requests is. Then a shutdown while it is held answers
// every request ("stopping"), lets the line finish its step and commits the
// final reading. Everything is shown by the order of events.
TEST(HttpHeldLineTest, OtherLinesAreAnsweredAndShutdownCommitsTheFinalReading) {
  const auto dir =
      std::filesystem::temp_directory_path() / ("tarvenixd-held-" + std::to_string(getpid()));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  Config config;
  config.database = (dir / "journal.db").string();
  for (const char* id : {"a", "b"}) {
    LineConfig line{.simulate = 1, .flowPerMinute = 600};
    line.pumps.push_back({.id = id, .name = id, .addr = 1, .price = 1.85});
    config.lines.push_back(std::move(line));
  }
  std::mutex mutex;
  std::condition_variable changed;
  bool held = false;
  bool released = false;
  config.settings.beforeFinalCommit = [&](const std::string& pump) {
    if (pump == "b") {
      std::unique_lock lock(mutex);
      held = true;
      changed.notify_all();
      changed.wait(lock, [&] { return released; });
    }
  };
  std::FILE* sink = std::fopen("/dev/null", "w");
  {
    Log log(sink);
    SimulatedLines simulated;
    Forecourt forecourt(config, log, nullptr, {}, simulated.Factory());
    api::Api http(forecourt, config);
    api::Server server(http, log, {.listen = "127.0.0.1:0"});
    server.Start();
    forecourt.Start();
    const std::string url = server.Url();
    auto online = [&](const char* id) { return forecourt.Pump(id)->online; };
    for (int i = 0; i < 2000 && !(online("a") && online("b")); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(online("a") && online("b"));
    auto sale = forecourt.Authorise({.pumpId = "b", .preset = 1, .client = "pos"});
    {
      std::unique_lock lock(mutex);
      changed.wait(lock, [&] { return held; });
    }
    const std::int64_t id = sale.get().transaction->id;

    // One request more than the line holds: that one is refused at once,
    // so every other one is in the line's queue.
    std::atomic<int> answered{0};
    std::atomic<int> busy{0};
    std::atomic<int> stopping{0};
    std::vector<std::thread> clients;
    for (std::size_t i = 0; i <= kMaxQueuedCommands; ++i) {
      clients.emplace_back([&] {
        try {
          const auto reply = Call(url, "GET", "/api/v1/pumps/b/totals");
          if (reply.body.find("line-busy") != std::string::npos) {
            ++busy;
            return;
          }
          stopping += reply.body.find("stopping") != std::string::npos ? 1 : 0;
        } catch (const std::exception&) {
        }
        ++answered;
      });
    }
    for (int i = 0; i < 2000 && busy.load() == 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(busy.load(), 1) << "the held line's requests never filled its queue";
    const auto other = Call(url, "GET", "/api/v1/pumps/a/totals");
    EXPECT_EQ(other.status, 200u) << other.body;
    EXPECT_EQ(answered.load(), 0);

    server.StopAccepting();
    std::vector<std::uint32_t> running{0};
    std::thread stopper([&] {
      running = forecourt.StopBefore(std::chrono::steady_clock::now() + std::chrono::seconds(10));
    });
    {
      std::lock_guard lock(mutex);
      released = true;
    }
    changed.notify_all();
    stopper.join();
    for (std::thread& client : clients) {
      client.join();
    }
    EXPECT_TRUE(running.empty());
    EXPECT_EQ(answered.load(), static_cast<int>(kMaxQueuedCommands));
    EXPECT_EQ(stopping.load(), static_cast<int>(kMaxQueuedCommands));
    const auto txn = forecourt.GetJournal().Get(id);
    ASSERT_TRUE(txn);
    EXPECT_EQ(txn->state, TxnState::kPayable);
    EXPECT_DOUBLE_EQ(txn->volume, 1.0);
    server.Stop();
  }
  std::fclose(sink);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace tarvenix::forecourt
