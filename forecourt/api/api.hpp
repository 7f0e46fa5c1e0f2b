// The forecourt service's HTTP interface without the network: routes a
// request to the service and answers it in JSON. The server (server.hpp)
// carries requests here; tests and the fuzzer may call it directly.
//
// It never calls the driver: commands go through the service's queues and
// come back through completions, queries read snapshots and the journal.
// A request that waits (on a line, on the journal) holds no thread: its
// reply is built when the outcome comes back, on the requester's thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <variant>
#include <vector>

#include "forecourt/books.hpp"
#include "forecourt/config.hpp"
#include "forecourt/forecourt.hpp"

namespace tarvenix::forecourt::api {

inline constexpr std::size_t kBodyLimit = 64 * 1024;

struct Request {
  std::string method;
  std::string target;  // path and query
  std::string body;
  std::string authorization;  // the Authorization header
  std::string accept;         // the Accept header
};

struct Reply {
  unsigned status = 200;
  std::string body;
  std::string contentType = "application/json";
  std::vector<std::pair<std::string, std::string>> headers;  // beside Content-Type
};

// {"error": reason, "message": message}
Reply Error(unsigned status, std::string_view reason, std::string_view message);

// A request body checked and read, or the 400 that refuses it. Nothing
// reaches a dispenser before its body has passed here.
template <typename T>
using Parsed = std::variant<T, Reply>;

struct AuthoriseBody {
  PresetKind kind = PresetKind::kVolume;
  double preset = 0;
  std::optional<double> price;
  std::string client;
  std::optional<std::string> reference;
};
Parsed<AuthoriseBody> ParseAuthorise(std::string_view body);
Parsed<double> ParsePrice(std::string_view body);
Parsed<std::int32_t> ParseParameterValue(std::string_view body);
// The client of a lock, unlock or clear. A named token is its own client:
// the body may then leave it out, and may not name another.
Parsed<std::string> ParseClient(std::string_view body, const std::string& tokenName = {});
// Reads the query of GET /api/v1/transactions.
Parsed<TransactionFilter> ParseTransactionQuery(std::string_view query);
// "2026-12-08T13:00:00Z" or with fractions of a second, as Unix ms.
std::optional<std::int64_t> ParseRfc3339(std::string_view text);
// The body of POST /api/v1/prices: {"prices": {"<pump>": price, ...},
// "products": {"<product>": price, ...}, "effective": "now" | RFC 3339}.
Parsed<PriceSetRequest> ParsePriceSet(std::string_view body);
// A price set from beside HTTP (the head office): read, checked and
// committed with its audit record as POST /api/v1/prices does; a refusal
// is audited too. `command` may carry "id" and "kind" besides the set.
Outcome SchedulePriceSet(Forecourt& forecourt, const nlohmann::json& command, AuditRecord audit);
// The queries of GET /api/v1/prices/log and GET /api/v1/audit.
Parsed<PriceLogFilter> ParsePriceLogQuery(std::string_view query);
Parsed<AuditFilter> ParseAuditQuery(std::string_view query);
// A query's pairs, percent-decoded, in order.
std::vector<std::pair<std::string, std::string>> QueryPairs(std::string_view query);

// The audit record of a request to a route that changes something, until
// the service takes it over with the command (then `pending` is false);
// one still pending when the reply is made is committed with the reply.
struct RequestAudit {
  AuditRecord record;
  bool pending = false;
  // The record for the service, which commits it with the change.
  AuditRecord TakeOver() {
    pending = false;
    return std::move(record);
  }
};

// What a bearer token may do; no tokens configured means every role.
class Access {
 public:
  explicit Access(std::vector<Token> tokens) : tokens_(std::move(tokens)) {}
  bool Open() const { return tokens_.empty(); }
  // The token of an Authorization header, compared in constant time.
  const Token* Find(std::string_view authorization) const;
  std::optional<Role> RoleOf(std::string_view authorization) const {
    const Token* token = Find(authorization);
    return token ? std::optional(token->role) : std::nullopt;
  }
  // The name of the caller's token; empty when it has none or access is open.
  std::string NameOf(std::string_view authorization) const {
    const Token* token = Open() ? nullptr : Find(authorization);
    return token ? token->name : std::string();
  }

 private:
  std::vector<Token> tokens_;
};

// The route a request matches, for access and metrics.
struct Route {
  std::string name;  // "GET /api/v1/pumps/{id}", for metrics
  Role needs = Role::kMonitor;
  bool stream = false;  // an event stream, served by the server
};

// Whoever asked: the thread its reply is built and sent on (for the server,
// the connection's executor), never a line's or the journal's.
struct Requester {
  // Runs `work` on the requester's thread; called from any thread. It holds
  // nothing of the requester, and may drop `work` once it has gone.
  std::function<void(std::function<void()>)> post;
  // Runs `work` on the requester's thread once `wait` has passed, unless
  // the reply was sent first. One wait at a time.
  std::function<void(std::chrono::milliseconds wait, std::function<void()> work)> after;
  // Sends the reply, once, on the requester's thread.
  std::function<void(Reply)> respond;
};
std::optional<Route> Match(std::string_view method, std::string_view path);
// Every route as (method, path pattern), for the OpenAPI check.
std::vector<std::pair<std::string, std::string>> RouteList();

class Api {
 public:
  Api(Forecourt& forecourt, const Config& config);
  // Finishes the shifts already asked for, then joins the books' thread.
  ~Api();
  Api(const Api&) = delete;
  Api& operator=(const Api&) = delete;

  // Checks access and the route: a reply refusing the request, or nothing
  // when it may go on.
  std::optional<Reply> Admit(const Request& request, Route& route) const;
  // Answers a request that Admit let through (not a stream): at once, or
  // when the command or change it waits for comes back, or at the end of
  // the wait, whichever is first.
  void Handle(const Request& request, const Route& route, Requester requester);
  // The same on the caller's thread, which waits (tests, the fuzzer).
  Reply Handle(const Request& request, const Route& route);

  Forecourt& Service() { return forecourt_; }
  // Whether an event stream with this Authorization keeps the point of
  // sale's heartbeat while open: a control token's, or any without tokens.
  bool HeartbeatStream(std::string_view authorization) const;
  // The uplink's own state (connected, sent, last error) for
  // /api/v1/uplink; unset while the uplink is off.
  void SetUplinkStatus(std::function<nlohmann::json()> status) {
    uplinkStatus_ = std::move(status);
  }

  // Counters for /metrics, kept by the server.
  void CountRequest(const std::string& route, unsigned status, std::chrono::microseconds took);
  std::atomic<std::int64_t> streamClients{0};

 private:
  // What each operation a request waits for is, and how its outcomes
  // become the reply.
  struct Waiting;
  enum class Waits { kLine, kJournal };
  using Start = std::function<void(Deadline, Completion)>;
  using Build = std::function<Reply(std::vector<Outcome>&)>;
  // Starts the operations, each with the client's deadline; the reply is
  // built when all have come back or the wait ends. Returns nothing: the
  // reply comes later.
  std::optional<Reply> Await(const Requester& requester, Waits waits, std::vector<Start> starts,
                             Build build);
  std::optional<Reply> Dispatch(const Request& request, const Route& route,
                                const Requester& requester, RequestAudit& audit);
  std::optional<Reply> Pumps(const std::vector<std::string_view>& parts, const Request& request,
                             const Requester& requester, RequestAudit& audit);
  std::optional<Reply> Transactions(const std::vector<std::string_view>& parts,
                                    const Request& request, const Requester& requester,
                                    RequestAudit& audit);
  std::optional<Reply> Alerts(const std::vector<std::string_view>& parts, const Request& request,
                              const Requester& requester, RequestAudit& audit);
  // Shifts read every pump's meters, on the books' own thread.
  std::optional<Reply> Shifts(const std::vector<std::string_view>& parts, const Request& request,
                              const Requester& requester, RequestAudit& audit);
  Reply Reports(const std::vector<std::string_view>& parts, const Request& request);
  // Price sets, the price log and the audit trail (trail_routes.cpp); sets
  // are written on the journal's thread.
  std::optional<Reply> Prices(const std::vector<std::string_view>& parts, const Request& request,
                              const Requester& requester, RequestAudit& audit);
  Reply AuditTrail(const Request& request);
  // The audit record a request starts, pending when its route changes
  // something; `actor` is the token's name or "local".
  RequestAudit AuditOf(const Request& request, const Route& route) const;
  // Commits a record still pending with the reply made to its request, on
  // the journal's thread.
  void AuditReply(RequestAudit& audit, const Reply& reply) const;
  void PostBooks(std::function<void()> work);
  void RunBooks();
  std::optional<Reply> StopAll(const Requester& requester);
  Reply Lines();
  Reply Health();
  Reply Metrics();
  Reply Uplink();

  Forecourt& forecourt_;
  Books books_;
  UplinkConfig uplink_;
  std::function<nlohmann::json()> uplinkStatus_;
  Access access_;
  WebConfig web_;
  std::chrono::milliseconds commandTimeout_{30'000};

  // The books' thread: a shift's open or close waits on every line's
  // reading of its meters, which no I/O thread may do.
  std::mutex booksMutex_;
  std::condition_variable booksWake_;
  std::deque<std::function<void()>> booksWork_;
  bool booksStopping_ = false;
  std::thread booksThread_;

  struct Latency {
    std::uint64_t count = 0;
    double sumSeconds = 0;
    std::vector<std::uint64_t> buckets;  // cumulative, per kLatencyBuckets
  };
  std::mutex metricsMutex_;
  std::map<std::pair<std::string, unsigned>, std::uint64_t> requests_;
  std::map<std::string, Latency> latency_;
};

// The OpenAPI 3 document of every route.
const nlohmann::json& OpenApi();

}  // namespace tarvenix::forecourt::api
