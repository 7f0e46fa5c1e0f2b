#include "forecourt/api/api.hpp"

#include <fmt/core.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <condition_variable>
#include <ctime>
#include <deque>
#include <map>
#include <mutex>

#include "forecourt/amounts.hpp"
#include "forecourt/json.hpp"

namespace tarvenix::forecourt::api {
namespace {

using nlohmann::json;

struct RouteEntry {
  std::string_view method;
  std::string_view pattern;
  Role needs;
  bool stream;
};

constexpr RouteEntry kRoutes[] = {
    {"GET", "/api/v1/pumps", Role::kMonitor, false},
    {"GET", "/api/v1/pumps/{id}", Role::kMonitor, false},
    {"POST", "/api/v1/pumps/{id}/authorize", Role::kControl, false},
    {"POST", "/api/v1/pumps/{id}/stop", Role::kControl, false},
    {"POST", "/api/v1/stop-all", Role::kControl, false},
    {"PUT", "/api/v1/pumps/{id}/price", Role::kControl, false},
    {"GET", "/api/v1/pumps/{id}/totals", Role::kMonitor, false},
    {"GET", "/api/v1/pumps/{id}/parameters/{n}", Role::kAdmin, false},
    {"PUT", "/api/v1/pumps/{id}/parameters/{n}", Role::kAdmin, false},
    {"GET", "/api/v1/transactions", Role::kMonitor, false},
    {"GET", "/api/v1/transactions/{id}", Role::kMonitor, false},
    {"POST", "/api/v1/transactions/{id}/lock", Role::kControl, false},
    {"POST", "/api/v1/transactions/{id}/unlock", Role::kControl, false},
    {"POST", "/api/v1/transactions/{id}/clear", Role::kControl, false},
    {"GET", "/api/v1/alerts", Role::kMonitor, false},
    {"POST", "/api/v1/alerts/{id}/ack", Role::kAdmin, false},
    {"GET", "/api/v1/prices", Role::kMonitor, false},
    {"POST", "/api/v1/prices", Role::kControl, false},
    {"DELETE", "/api/v1/prices/{id}", Role::kControl, false},
    {"GET", "/api/v1/prices/log", Role::kMonitor, false},
    {"GET", "/api/v1/audit", Role::kAdmin, false},
    {"GET", "/api/v1/lines", Role::kMonitor, false},
    {"GET", "/api/v1/uplink", Role::kMonitor, false},
    {"GET", "/api/v1/events", Role::kMonitor, true},
    {"GET", "/api/v1/lines/{n}/trace", Role::kMonitor, true},
    {"GET", "/api/v1/openapi.json", Role::kMonitor, false},
    {"GET", "/api/v1/session", Role::kMonitor, false},
    {"GET", "/metrics", Role::kMonitor, false},
    {"GET", "/healthz", Role::kMonitor, false},
    {"GET", "/api/v1/health", Role::kMonitor, false},
    {"GET", "/api/v1/shifts", Role::kMonitor, false},
    {"POST", "/api/v1/shifts", Role::kControl, false},
    {"POST", "/api/v1/shifts/current/close", Role::kControl, false},
    {"GET", "/api/v1/shifts/{id}/report", Role::kMonitor, false},
    {"GET", "/api/v1/reports/day", Role::kMonitor, false},
    {"GET", "/api/v1/reports/sales", Role::kMonitor, false},
};

// Upper bounds of the latency histogram, seconds.
constexpr double kLatencyBuckets[] = {0.001, 0.0025, 0.005, 0.01, 0.025, 0.1, 1, 10};

std::vector<std::string_view> Split(std::string_view path) {
  std::vector<std::string_view> parts;
  std::size_t start = 1;
  while (start <= path.size()) {
    const std::size_t slash = path.find('/', start);
    const std::size_t end = slash == std::string_view::npos ? path.size() : slash;
    parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

std::string_view PathOf(std::string_view target) {
  return target.substr(0, target.find('?'));
}

std::string_view QueryOf(std::string_view target) {
  const std::size_t q = target.find('?');
  return q == std::string_view::npos ? std::string_view{} : target.substr(q + 1);
}

// Messages may quote what a client sent, which need not be UTF-8: such
// bytes are replaced, never thrown about.
Reply Json(unsigned status, const json& value) {
  return {.status = status, .body = value.dump(-1, ' ', false, json::error_handler_t::replace)};
}

// The body as a JSON object, or the 400 that refuses it.
Parsed<json> ObjectBody(std::string_view body, std::initializer_list<std::string_view> known) {
  json value = json::parse(body, nullptr, false);
  if (value.is_discarded()) {
    return Error(400, "malformed-json", "the body is not valid JSON");
  }
  if (!value.is_object()) {
    return Error(400, "bad-body", "the body must be a JSON object");
  }
  for (const auto& [key, unused] : value.items()) {
    if (std::find(known.begin(), known.end(), key) == known.end()) {
      return Error(400, "unknown-field", "unknown field '" + key + "'");
    }
  }
  return value;
}

// A finite JSON number (not a boolean), or the 400 that refuses it.
std::optional<Reply> Number(const json& object, const char* key, double& out) {
  const json& value = object.at(key);
  if (!value.is_number() || !std::isfinite(value.get<double>())) {
    return Error(400, "bad-type", fmt::format("'{}' must be a number", key));
  }
  out = value.get<double>();
  return std::nullopt;
}

std::optional<Reply> Text(const json& object, const char* key, std::string& out,
                          std::string_view badValue = "bad-value") {
  const json& value = object.at(key);
  if (!value.is_string()) {
    return Error(400, "bad-type", fmt::format("'{}' must be a string", key));
  }
  out = value.get<std::string>();
  if (out.empty() || out.size() > 64) {
    return Error(400, badValue, fmt::format("'{}' must have 1 to 64 characters", key));
  }
  return std::nullopt;
}

// The HTTP status of a refusal by the service.
unsigned StatusOf(std::string_view reason) {
  if (reason == "unknown-pump" || reason == "not-found") {
    return 404;
  }
  if (reason == "bad-preset" || reason == "bad-price" || reason == "no-price" ||
      reason == "bad-parameter") {
    return 400;
  }
  if (reason == "dispenser-unreachable" || reason == "stopping" || reason == "line-timeout" ||
      reason == "journal-error" || reason == "expired" || reason == "line-busy") {
    return 503;
  }
  // pump-offline, pump-busy, too-many-unpaid, locked, not-payable,
  // not-locked, dispenser-refused (with the driver's message)
  return 409;
}

json ErrorJson(const Outcome& outcome) {
  json body = {{"error", outcome.reason}, {"message", outcome.message}};
  if (!outcome.dispenserMessage.empty()) {
    body["dispenser_message"] = outcome.dispenserMessage;
  }
  return body;
}

// The outcome of an operation whose client's wait ended first: it is
// withdrawn (never done), unless it was already taken, which then finishes
// and records it.
Outcome EndOfWait(Deadline& deadline, bool onLine) {
  if (deadline.Withdraw()) {
    return Outcome::Refused(
        "expired", onLine ? "the line could not take the command before the wait ended: it was "
                            "not sent"
                          : "the journal could not take the change before the wait ended: it was "
                            "not made");
  }
  if (!onLine) {
    return Outcome::Refused("journal-error",
                            "the change is being written: read the transaction to see it");
  }
  return Outcome::Refused("line-timeout",
                          "the command was sent and is being finished; its outcome is recorded "
                          "(an authorisation can be found by its reference)");
}

Reply Refusal(const Outcome& outcome) {
  return Json(StatusOf(outcome.reason), ErrorJson(outcome));
}

std::optional<std::int64_t> Id(std::string_view text) {
  std::int64_t id = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), id);
  if (ec != std::errc{} || end != text.data() + text.size() || id <= 0) {
    return std::nullopt;
  }
  return id;
}

std::string Decode(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      int value = 0;
      const auto [end, ec] = std::from_chars(text.data() + i + 1, text.data() + i + 3, value, 16);
      if (ec == std::errc{} && end == text.data() + i + 3) {
        out += static_cast<char>(value);
        i += 2;
        continue;
      }
    }
    out += text[i] == '+' ? ' ' : text[i];
  }
  return out;
}

json TotalsJson(const std::string& pumpId, const Totals& totals) {
  return {{"pump", pumpId},
          {"volume", RoundVolume(static_cast<double>(totals.volume) / totals.scale)},
          {"money", RoundMoney(static_cast<double>(totals.money) / totals.scale)},
          {"volume_counter", totals.volume},
          {"money_counter", totals.money}};
}

// A query's keys and values, each key at most once and every one known.
Parsed<std::map<std::string, std::string, std::less<>>> QueryValues(
    std::string_view query, std::initializer_list<std::string_view> known) {
  std::map<std::string, std::string, std::less<>> out;
  while (!query.empty()) {
    const std::size_t amp = query.find('&');
    const std::string_view pair = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view{} : query.substr(amp + 1);
    if (pair.empty()) {
      continue;
    }
    const std::size_t eq = pair.find('=');
    const std::string key = Decode(pair.substr(0, eq));
    if (std::find(known.begin(), known.end(), key) == known.end()) {
      return Error(400, "bad-query", "unknown parameter '" + key + "'");
    }
    if (!out.emplace(key, eq == std::string_view::npos ? "" : Decode(pair.substr(eq + 1))).second) {
      return Error(400, "bad-query", "'" + key + "' is given twice");
    }
  }
  return out;
}

// CSV when `format=csv` or when the client accepts text/csv; `format=json`
// for JSON whatever it accepts.
Parsed<bool> WantsCsv(const std::map<std::string, std::string, std::less<>>& query,
                      const Request& request) {
  if (const auto it = query.find("format"); it != query.end()) {
    if (it->second != "csv" && it->second != "json") {
      return Error(400, "bad-query", "'format' must be csv or json");
    }
    return it->second == "csv";
  }
  return request.accept.find("text/csv") != std::string::npos;
}

Reply Csv(std::string body, const std::string& filename) {
  Reply reply{.status = 200, .body = std::move(body), .contentType = "text/csv; charset=utf-8"};
  reply.headers.emplace_back("Content-Disposition", "attachment; filename=\"" + filename + "\"");
  return reply;
}

}  // namespace

Reply Error(unsigned status, std::string_view reason, std::string_view message) {
  return Json(status, {{"error", reason}, {"message", message}});
}

std::vector<std::pair<std::string, std::string>> QueryPairs(std::string_view query) {
  std::vector<std::pair<std::string, std::string>> out;
  while (!query.empty()) {
    const std::size_t amp = query.find('&');
    const std::string_view pair = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view{} : query.substr(amp + 1);
    const std::size_t eq = pair.find('=');
    if (!pair.empty()) {
      out.emplace_back(Decode(pair.substr(0, eq)),
                       eq == std::string_view::npos ? "" : Decode(pair.substr(eq + 1)));
    }
  }
  return out;
}

Parsed<AuthoriseBody> ParseAuthorise(std::string_view body) {
  auto parsed = ObjectBody(body, {"volume", "money", "price", "client", "reference"});
  if (auto* refused = std::get_if<Reply>(&parsed)) {
    return *refused;
  }
  const json& object = std::get<json>(parsed);
  AuthoriseBody out;
  if (object.contains("volume") == object.contains("money")) {
    return Error(400, "bad-preset", "give either 'volume' or 'money'");
  }
  out.kind = object.contains("volume") ? PresetKind::kVolume : PresetKind::kMoney;
  if (auto refused = Number(object, Name(out.kind).data(), out.preset)) {
    return *refused;
  }
  const Checked preset = OnStep(out.preset, PresetLimit(out.kind));
  if (!preset.steps) {
    return Error(400, "bad-preset", preset.message);
  }
  if (object.contains("price")) {
    double price = 0;
    if (auto refused = Number(object, "price", price)) {
      return *refused;
    }
    const Checked steps = OnStep(price, kPriceLimit);
    if (!steps.steps) {
      return Error(400, "bad-price", steps.message);
    }
    out.price = price;
  }
  out.client = "api";
  if (object.contains("client")) {
    if (auto refused = Text(object, "client", out.client, "bad-client")) {
      return *refused;
    }
  }
  if (object.contains("reference")) {
    std::string reference;
    if (auto refused = Text(object, "reference", reference)) {
      return *refused;
    }
    out.reference = std::move(reference);
  }
  return out;
}

Parsed<double> ParsePrice(std::string_view body) {
  auto parsed = ObjectBody(body, {"price"});
  if (auto* refused = std::get_if<Reply>(&parsed)) {
    return *refused;
  }
  const json& object = std::get<json>(parsed);
  if (!object.contains("price")) {
    return Error(400, "bad-price", "'price' is missing");
  }
  double price = 0;
  if (auto refused = Number(object, "price", price)) {
    return *refused;
  }
  const Checked steps = OnStep(price, kPriceLimit);
  if (!steps.steps) {
    return Error(400, "bad-price", steps.message);
  }
  return ValueOf(*steps.steps, kPriceLimit);
}

Parsed<std::int32_t> ParseParameterValue(std::string_view body) {
  auto parsed = ObjectBody(body, {"value"});
  if (auto* refused = std::get_if<Reply>(&parsed)) {
    return *refused;
  }
  const json& object = std::get<json>(parsed);
  if (!object.contains("value")) {
    return Error(400, "bad-parameter", "'value' is missing");
  }
  const json& value = object.at("value");
  if (!value.is_number_integer() ||
      (value.is_number_unsigned() && value.get<std::uint64_t>() > INT32_MAX) ||
      (!value.is_number_unsigned() &&
       (value.get<std::int64_t>() < INT32_MIN || value.get<std::int64_t>() > INT32_MAX))) {
    return Error(400, "bad-parameter", "'value' must be a 32-bit integer");
  }
  return static_cast<std::int32_t>(value.get<std::int64_t>());
}

Parsed<std::string> ParseClient(std::string_view body, const std::string& tokenName) {
  auto parsed = ObjectBody(body, {"client"});
  if (auto* refused = std::get_if<Reply>(&parsed)) {
    return *refused;
  }
  const json& object = std::get<json>(parsed);
  if (!object.contains("client")) {
    if (!tokenName.empty()) {
      return tokenName;
    }
    return Error(400, "bad-client", "'client' is missing");
  }
  std::string client;
  if (auto refused = Text(object, "client", client, "bad-client")) {
    return *refused;
  }
  if (!tokenName.empty() && client != tokenName) {
    return Error(403, "forbidden",
                 "this token acts as '" + tokenName + "': 'client' may not name another");
  }
  return client;
}

std::optional<std::int64_t> ParseRfc3339(std::string_view text) {
  // The zone: Z, or the offset from UTC (a '+' that a query decoded to a
  // space is taken for one).
  std::int64_t offsetS = 0;
  if (!text.empty() && (text.back() == 'Z' || text.back() == 'z')) {
    text.remove_suffix(1);
  } else if (const std::size_t n = text.size();
             n >= 6 && text[n - 3] == ':' &&
             std::string_view("+- ").find(text[n - 6]) != std::string_view::npos) {
    int hours = 0;
    int minutes = 0;
    const char* at = text.data() + n - 5;
    const auto h = std::from_chars(at, at + 2, hours);
    const auto m = std::from_chars(at + 3, at + 5, minutes);
    if (h.ec != std::errc{} || h.ptr != at + 2 || m.ec != std::errc{} || m.ptr != at + 5 ||
        hours > 23 || minutes > 59) {
      return std::nullopt;
    }
    offsetS = (text[n - 6] == '-' ? -1 : 1) * (hours * 3600 + minutes * 60);
    text.remove_suffix(6);
  } else {
    return std::nullopt;
  }
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  if (text.size() < 19 ||
      std::sscanf(std::string(text).c_str(), "%4d-%2d-%2dT%2d:%2d:%2d", &year, &month, &day, &hour,
                  &minute, &second) != 6 ||
      month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60 ||
      year < 1970 || text[4] != '-' || text[10] != 'T') {
    return std::nullopt;
  }
  std::int64_t ms = 0;
  const std::string_view rest = text.substr(19);
  if (!rest.empty()) {
    if (rest[0] != '.' || rest.size() < 2 ||
        rest.find_first_not_of("0123456789", 1) != std::string_view::npos) {
      return std::nullopt;
    }
    std::string digits(rest.substr(1, 3));
    digits.resize(3, '0');
    ms = std::stoi(digits);
  }
  std::tm utc{};
  utc.tm_year = year - 1900;
  utc.tm_mon = month - 1;
  utc.tm_mday = day;
  utc.tm_hour = hour;
  utc.tm_min = minute;
  utc.tm_sec = second;
  return (static_cast<std::int64_t>(timegm(&utc)) - offsetS) * 1000 + ms;
}

Parsed<TransactionFilter> ParseTransactionQuery(std::string_view query) {
  TransactionFilter filter;
  while (!query.empty()) {
    const std::size_t amp = query.find('&');
    const std::string_view pair = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view{} : query.substr(amp + 1);
    const std::size_t eq = pair.find('=');
    const std::string_view key = pair.substr(0, eq);
    const std::string value = eq == std::string_view::npos ? "" : Decode(pair.substr(eq + 1));
    if (key == "state") {
      filter.state = TxnStateByName(value);
      if (!filter.state) {
        return Error(400, "bad-query", "no transaction state '" + value + "'");
      }
    } else if (key == "pump") {
      filter.pumpId = value;
    } else if (key == "since") {
      filter.sinceMs = ParseRfc3339(value);
      if (!filter.sinceMs) {
        return Error(400, "bad-query", "'since' must be an RFC 3339 time in UTC");
      }
    } else if (key == "limit") {
      const auto limit = Id(value);
      if (!limit || *limit > 1000) {
        return Error(400, "bad-query", "'limit' must lie in 1..1000");
      }
      filter.limit = static_cast<std::size_t>(*limit);
    } else if (key == "recovered") {
      if (value != "true") {
        return Error(400, "bad-query", "'recovered' may only be true");
      }
      filter.recoveredOnly = true;
    } else if (key == "offset") {
      std::size_t offset = 0;
      const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), offset);
      if (ec != std::errc{} || end != value.data() + value.size() || value.empty()) {
        return Error(400, "bad-query", "'offset' must be an integer of 0 or more");
      }
      filter.offset = offset;
    } else if (!key.empty()) {
      return Error(400, "bad-query", "unknown filter '" + std::string(key) + "'");
    }
  }
  return filter;
}

const Token* Access::Find(std::string_view authorization) const {
  constexpr std::string_view kBearer = "Bearer ";
  if (!authorization.starts_with(kBearer)) {
    return nullptr;
  }
  const std::string_view given = authorization.substr(kBearer.size());
  const Token* found = nullptr;
  // Every token is compared whole, whatever matched before, so that the time
  // taken tells nothing of a token's characters.
  for (const Token& token : tokens_) {
    unsigned diff = given.size() == token.value.size() ? 0U : 1U;
    for (std::size_t i = 0; i < token.value.size(); ++i) {
      const char g = i < given.size() ? given[i] : '\0';
      diff |= static_cast<unsigned char>(g ^ token.value[i]);
    }
    if (diff == 0) {
      found = &token;
    }
  }
  return found;
}

std::optional<Route> Match(std::string_view method, std::string_view path) {
  const auto parts = Split(path);
  bool pathKnown = false;
  for (const RouteEntry& entry : kRoutes) {
    const auto pattern = Split(entry.pattern);
    if (pattern.size() != parts.size()) {
      continue;
    }
    bool same = true;
    for (std::size_t i = 0; i < parts.size() && same; ++i) {
      same = pattern[i].starts_with('{') ? !parts[i].empty() : pattern[i] == parts[i];
    }
    if (!same) {
      continue;
    }
    pathKnown = true;
    if (entry.method == method) {
      return Route{.name = std::string(entry.method) + " " + std::string(entry.pattern),
                   .needs = entry.needs,
                   .stream = entry.stream};
    }
  }
  if (pathKnown) {
    return Route{.name = "method-not-allowed"};
  }
  return std::nullopt;
}

std::vector<std::pair<std::string, std::string>> RouteList() {
  std::vector<std::pair<std::string, std::string>> out;
  for (const RouteEntry& entry : kRoutes) {
    out.emplace_back(entry.method, entry.pattern);
  }
  return out;
}

Api::Api(Forecourt& forecourt, const Config& config)
    : forecourt_(forecourt),
      books_(forecourt),
      uplink_(config.uplink),
      access_(config.tokens),
      web_(config.web) {
  books_.ReportClosedShifts();  // a close whose report a crash left out
  booksThread_ = std::thread([this] { RunBooks(); });
}

Api::~Api() {
  {
    std::lock_guard lock(booksMutex_);
    booksStopping_ = true;
  }
  booksWake_.notify_one();
  booksThread_.join();
}

void Api::PostBooks(std::function<void()> work) {
  {
    std::lock_guard lock(booksMutex_);
    booksWork_.push_back(std::move(work));
  }
  booksWake_.notify_one();
}

void Api::RunBooks() {
  for (;;) {
    std::function<void()> work;
    {
      std::unique_lock lock(booksMutex_);
      booksWake_.wait(lock, [this] { return booksStopping_ || !booksWork_.empty(); });
      if (booksWork_.empty()) {
        return;  // stopping, with nothing left
      }
      work = std::move(booksWork_.front());
      booksWork_.pop_front();
    }
    work();
  }
}

std::optional<Reply> Api::Admit(const Request& request, Route& route) const {
  const auto matched = Match(request.method, PathOf(request.target));
  if (!matched) {
    return Error(404, "not-found", "no route " + std::string(PathOf(request.target)));
  }
  if (matched->name == "method-not-allowed") {
    return Error(405, "method-not-allowed", request.method + " is not allowed here");
  }
  route = *matched;
  if (access_.Open()) {
    forecourt_.Fallback().Beat();
    return std::nullopt;
  }
  if (route.name == "GET /api/v1/session" && request.authorization.empty()) {
    return std::nullopt;  // a page asking whether it needs a token: it does
  }
  const auto role = access_.RoleOf(request.authorization);
  if (!role) {
    return Error(401, "unauthorized", "give a valid bearer token");
  }
  forecourt_.Fallback().Beat();  // any authenticated request is a heartbeat
  if (*role < route.needs) {
    Reply refused = Error(403, "forbidden", "the token's role may not do this");
    // A known token trying what it may not is for the auditor; a request
    // without one is not recorded (anyone could fill the journal so).
    RequestAudit audit = AuditOf(request, route);
    AuditReply(audit, refused);
    return refused;
  }
  return std::nullopt;
}

// A request's operations in flight, on the requester's thread. Only the
// wait's timer holds it; completions reach it through a weak pointer, so
// that nothing of a requester stays with a line or the journal.
struct Api::Waiting {
  Waits waits;
  std::function<void(Reply)> respond;
  Build build;
  std::vector<Deadline> deadlines;
  std::vector<std::optional<Outcome>> outcomes;
  std::size_t left = 0;
  bool answered = false;

  void Finish() {
    answered = true;
    std::vector<Outcome> all;
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
      all.push_back(outcomes[i] ? std::move(*outcomes[i])
                                : EndOfWait(deadlines[i], waits == Waits::kLine));
    }
    Reply reply;
    try {
      reply = build(all);
    } catch (const std::exception& e) {
      reply = Error(500, "internal", e.what());
    }
    respond(std::move(reply));
  }
};

std::optional<Reply> Api::Await(const Requester& requester, Waits waits, std::vector<Start> starts,
                                Build build) {
  if (starts.empty()) {
    std::vector<Outcome> none;
    return build(none);
  }
  auto waiting = std::make_shared<Waiting>();
  waiting->waits = waits;
  waiting->respond = requester.respond;
  waiting->build = std::move(build);
  waiting->outcomes.resize(starts.size());
  waiting->left = starts.size();
  for (std::size_t i = 0; i < starts.size(); ++i) {
    waiting->deadlines.push_back(forecourt_.DeadlineIn(commandTimeout_));
  }
  requester.after(commandTimeout_, [waiting] {
    if (!waiting->answered) {
      waiting->Finish();
    }
  });
  const std::weak_ptr<Waiting> weak = waiting;
  for (std::size_t i = 0; i < starts.size(); ++i) {
    starts[i](waiting->deadlines[i], [post = requester.post, weak, i](Outcome outcome) {
      post([weak, i, outcome = std::move(outcome)]() mutable {
        const auto w = weak.lock();
        if (!w || w->answered) {
          return;
        }
        w->outcomes[i] = std::move(outcome);
        if (--w->left == 0) {
          w->Finish();
        }
      });
    });
  }
  return std::nullopt;
}

void Api::Handle(const Request& request, const Route& route, Requester requester) {
  // The request's audit record: taken over by the change it asks for, or
  // committed with the reply when nothing took it (a refusal, a stop-all).
  auto audit = std::make_shared<RequestAudit>(AuditOf(request, route));
  requester.respond = [this, audit, respond = std::move(requester.respond)](Reply reply) {
    AuditReply(*audit, reply);
    respond(std::move(reply));
  };
  std::optional<Reply> reply;
  try {
    reply = Dispatch(request, route, requester, *audit);
  } catch (const std::exception& e) {
    reply = Error(500, "internal", e.what());
  }
  if (reply) {
    requester.respond(std::move(*reply));
  }
}

Reply Api::Handle(const Request& request, const Route& route) {
  // The caller's thread is the requester: it runs what completions post
  // and the end of the wait until the reply is there.
  struct Inbox {
    std::mutex mutex;
    std::condition_variable posted;
    std::deque<std::function<void()>> work;
  };
  auto inbox = std::make_shared<Inbox>();
  std::optional<Reply> reply;
  std::optional<std::pair<std::chrono::steady_clock::time_point, std::function<void()>>> timer;
  Handle(request, route,
         {.post =
              [inbox](std::function<void()> work) {
                {
                  std::lock_guard lock(inbox->mutex);
                  inbox->work.push_back(std::move(work));
                }
                inbox->posted.notify_one();
              },
          .after =
              [&timer](std::chrono::milliseconds wait, std::function<void()> work) {
                timer.emplace(std::chrono::steady_clock::now() + wait, std::move(work));
              },
          .respond = [&reply](Reply r) { reply = std::move(r); }});
  while (!reply) {
    std::function<void()> next;
    {
      std::unique_lock lock(inbox->mutex);
      const auto due = timer ? timer->first : std::chrono::steady_clock::time_point::max();
      if (inbox->posted.wait_until(lock, due, [&] { return !inbox->work.empty(); })) {
        next = std::move(inbox->work.front());
        inbox->work.pop_front();
      } else {
        next = std::move(timer->second);
        timer.reset();
      }
    }
    next();
  }
  return std::move(*reply);
}

std::optional<Reply> Api::Dispatch(const Request& request, const Route& route,
                                   const Requester& requester, RequestAudit& audit) {
  const std::string_view path = PathOf(request.target);
  const auto parts = Split(path);
  {
    if (parts.size() >= 3 && parts[2] == "pumps") {
      return Pumps(parts, request, requester, audit);
    }
    if (parts.size() >= 3 && parts[2] == "transactions") {
      return Transactions(parts, request, requester, audit);
    }
    if (parts.size() >= 3 && parts[2] == "alerts") {
      return Alerts(parts, request, requester, audit);
    }
    if (parts.size() >= 3 && parts[2] == "prices") {
      return Prices(parts, request, requester, audit);
    }
    if (route.name == "GET /api/v1/audit") {
      return AuditTrail(request);
    }
    if (parts.size() >= 3 && parts[2] == "shifts") {
      return Shifts(parts, request, requester, audit);
    }
    if (parts.size() >= 3 && parts[2] == "reports") {
      return Reports(parts, request);
    }
    if (route.name == "POST /api/v1/stop-all") {
      return StopAll(requester);
    }
    if (route.name == "GET /api/v1/lines") {
      return Lines();
    }
    if (route.name == "GET /api/v1/uplink") {
      return Uplink();
    }
    if (route.name == "GET /api/v1/openapi.json") {
      return Json(200, OpenApi());
    }
    if (route.name == "GET /api/v1/session") {
      // The web page shows only the controls the token may use.
      static constexpr std::string_view kRoles[] = {"monitor", "control", "admin"};
      const std::optional<Role> found =
          access_.Open() ? Role::kAdmin : access_.RoleOf(request.authorization);
      if (!found) {
        return Json(200, {{"role", nullptr}, {"open", false}, {"name", nullptr}});
      }
      const Role role = *found;
      const std::string name = access_.NameOf(request.authorization);
      return Json(200,
                  {{"role", kRoles[static_cast<std::size_t>(role)]},
                   {"open", access_.Open()},
                   {"name", name.empty() ? json(nullptr) : json(name)},
                   {"currency", web_.currency.empty() ? json(nullptr) : json(web_.currency)},
                   {"presets", {{"volume", web_.volumePresets}, {"money", web_.moneyPresets}}}});
    }
    if (route.name == "GET /healthz") {
      return Health();
    }
    if (route.name == "GET /api/v1/health") {
      // The same reasons, always 200: for the page, which would otherwise
      // log every unhealthy answer as a failed request.
      Reply reply = Health();
      reply.status = 200;
      return reply;
    }
    if (route.name == "GET /metrics") {
      return Metrics();
    }
  }
  return Error(404, "not-found", "no route " + std::string(path));
}

std::optional<Reply> Api::Shifts(const std::vector<std::string_view>& parts, const Request& request,
                                 const Requester& requester, RequestAudit& audit) {
  if (parts.size() == 3 && request.method == "GET") {
    auto query = QueryValues(QueryOf(request.target), {"limit", "offset"});
    if (auto* refused = std::get_if<Reply>(&query)) {
      return *refused;
    }
    const auto& values = std::get<0>(query);
    std::size_t limit = 50;
    std::size_t offset = 0;
    if (const auto it = values.find("limit"); it != values.end()) {
      const auto n = Id(it->second);
      if (!n || *n > 1000) {
        return Error(400, "bad-query", "'limit' must lie in 1..1000");
      }
      limit = static_cast<std::size_t>(*n);
    }
    if (const auto it = values.find("offset"); it != values.end()) {
      const auto [end, ec] =
          std::from_chars(it->second.data(), it->second.data() + it->second.size(), offset);
      if (ec != std::errc{} || end != it->second.data() + it->second.size()) {
        return Error(400, "bad-query", "'offset' must be an integer of 0 or more");
      }
    }
    json list = json::array();
    for (const Shift& shift : forecourt_.GetJournal().Shifts(limit, offset)) {
      list.push_back(ToJson(shift, false));
    }
    return Json(200, list);
  }
  if (request.method == "POST") {
    if (!request.body.empty()) {
      auto body = ObjectBody(request.body, {});
      if (auto* refused = std::get_if<Reply>(&body)) {
        return *refused;
      }
    }
    const std::string name = access_.NameOf(request.authorization);
    const std::string by = name.empty() ? "local" : name;
    const bool opening = parts.size() == 3;
    // The meters are read on the books' thread. The record goes into the
    // shift's own commit, or is committed alone with a refusal.
    auto result = std::make_shared<ShiftOutcome>();
    Start start = [this, by, opening, result, record = audit.TakeOver()](Deadline,
                                                                         Completion done) mutable {
      PostBooks([this, by, opening, result, record = std::move(record),
                 done = std::move(done)]() mutable {
        *result = opening ? books_.OpenShift(by, &record) : books_.CloseShift(by, &record);
        if (!result->Ok()) {
          record.outcome = {{"error", result->reason}, {"message", result->message}};
          try {
            forecourt_.GetJournal().Audit(record);
          } catch (const DatabaseError&) {
            // The refusal stands; the failing journal is in the health reasons.
          }
        }
        done(Outcome{});
      });
    };
    return Await(requester, Waits::kJournal, {std::move(start)},
                 [opening, result](std::vector<Outcome>& outcomes) {
                   if (!outcomes[0].Ok()) {
                     return Refusal(outcomes[0]);  // the wait ended first
                   }
                   const ShiftOutcome& outcome = *result;
                   if (!outcome.Ok()) {
                     json body = {{"error", outcome.reason}, {"message", outcome.message}};
                     if (outcome.shift) {
                       // A client that retries after a lost reply finds its shift here.
                       body["shift"] = ToJson(*outcome.shift, false);
                     }
                     return Json(outcome.reason == "journal-error" ? 503 : 409, body);
                   }
                   return Json(opening ? 201 : 200, ToJson(*outcome.shift, true));
                 });
  }
  // GET /api/v1/shifts/{id}/report
  const auto id = Id(parts[3]);
  if (!id) {
    return Error(404, "not-found", "no shift '" + std::string(parts[3]) + "'");
  }
  auto query = QueryValues(QueryOf(request.target), {"format"});
  if (auto* refused = std::get_if<Reply>(&query)) {
    return *refused;
  }
  const auto csv = WantsCsv(std::get<0>(query), request);
  if (auto* refused = std::get_if<Reply>(&csv)) {
    return *refused;
  }
  const ReportOutcome outcome = books_.ShiftReport(*id);
  if (!outcome.Ok()) {
    return Json(outcome.reason == "not-found" ? 404 : 409,
                {{"error", outcome.reason}, {"message", outcome.message}});
  }
  if (std::get<bool>(csv)) {
    return Csv(ToCsv(outcome.report), fmt::format("shift-{}.csv", *id));
  }
  return Json(200, books_.ShiftReportJson(outcome));
}

Reply Api::Reports(const std::vector<std::string_view>& parts, const Request& request) {
  const bool day = parts[3] == "day";
  auto query =
      QueryValues(QueryOf(request.target),
                  day ? std::initializer_list<std::string_view>{"date", "format"}
                      : std::initializer_list<std::string_view>{"from", "to", "group", "format"});
  if (auto* refused = std::get_if<Reply>(&query)) {
    return *refused;
  }
  const auto& values = std::get<0>(query);
  const auto csv = WantsCsv(values, request);
  if (auto* refused = std::get_if<Reply>(&csv)) {
    return *refused;
  }
  if (day) {
    const auto it = values.find("date");
    const auto date = it == values.end() ? std::nullopt : ParseDate(it->second);
    if (!date) {
      return Error(400, "bad-query", "'date' must be a day of the calendar as YYYY-MM-DD");
    }
    const auto [year, month, dayOfMonth] = *date;
    const ReportOutcome outcome = books_.DayReport(year, month, dayOfMonth);
    if (!outcome.Ok()) {
      return Error(400, "bad-query", it->second + ": " + outcome.message);
    }
    if (std::get<bool>(csv)) {
      return Csv(ToCsv(outcome.report), "day-" + it->second + ".csv");
    }
    json report = ToJson(outcome.report);
    report["kind"] = "day";
    report["date"] = it->second;
    report["timezone"] = books_.Zone().Name();
    return Json(200, report);
  }
  std::optional<std::int64_t> bounds[2];
  for (int i = 0; i < 2; ++i) {
    const char* key = i == 0 ? "from" : "to";
    const auto it = values.find(key);
    if (it == values.end()) {
      return Error(400, "bad-query", fmt::format("'{}' is missing: an RFC 3339 time", key));
    }
    bounds[i] = ParseRfc3339(it->second);
    if (!bounds[i]) {
      return Error(400, "bad-query",
                   fmt::format("'{}' must be an RFC 3339 time such as 2026-12-08T00:00:00Z or "
                               "2026-12-08T00:00:00%2B01:00",
                               key));
    }
  }
  constexpr std::int64_t kMostMs = 366LL * 24 * 3600 * 1000;
  if (*bounds[1] <= *bounds[0] || *bounds[1] - *bounds[0] > kMostMs) {
    return Error(400, "bad-query", "'to' must come after 'from', by 366 days at most");
  }
  const auto groupIt = values.find("group");
  const auto group =
      SalesGroupByName(groupIt == values.end() ? std::string_view("pump") : groupIt->second);
  if (!group) {
    return Error(400, "bad-query", "'group' must be pump, hour or day");
  }
  const SalesSummary summary = books_.Sales(*bounds[0], *bounds[1], *group);
  if (std::get<bool>(csv)) {
    return Csv(ToCsv(summary, *group), "sales.csv");
  }
  json report = ToJson(summary);
  report["from"] = Rfc3339(*bounds[0]);
  report["to"] = Rfc3339(*bounds[1]);
  report["group"] = groupIt == values.end() ? "pump" : groupIt->second;
  report["timezone"] = books_.Zone().Name();
  return Json(200, report);
}

// Every pump is sent its stop, idle ones too: each one's outcome is told,
// and 503 only when some line could not carry a stop.
std::optional<Reply> Api::StopAll(const Requester& requester) {
  std::vector<std::string> ids;
  std::vector<Start> starts;
  for (const PumpSnapshot& pump : forecourt_.Pumps()) {
    ids.push_back(pump.id);
    starts.push_back([this, id = pump.id](Deadline deadline, Completion done) {
      forecourt_.Submit({.kind = Command::Kind::kStop, .pumpId = id, .deadline = deadline},
                        std::move(done));
    });
  }
  return Await(requester, Waits::kLine, std::move(starts),
               [ids = std::move(ids)](std::vector<Outcome>& outcomes) {
                 json results = json::array();
                 bool failed = false;
                 for (std::size_t i = 0; i < outcomes.size(); ++i) {
                   const Outcome& outcome = outcomes[i];
                   json result = {{"id", ids[i]}};
                   if (outcome.Ok()) {
                     result["outcome"] = outcome.delivering ? "stopped" : "not-delivering";
                   } else {
                     failed = true;
                     result["outcome"] = "failed";
                     result.update(ErrorJson(outcome));
                   }
                   results.push_back(std::move(result));
                 }
                 return Json(failed ? 503 : 200, {{"pumps", results}});
               });
}

std::optional<Reply> Api::Pumps(const std::vector<std::string_view>& parts, const Request& request,
                                const Requester& requester, RequestAudit& audit) {
  if (parts.size() == 3) {
    std::string list = "[";
    for (const PumpSnapshot& pump : forecourt_.Pumps()) {
      if (list.size() > 1) {
        list += ',';
      }
      AppendJson(list, pump);
    }
    list += ']';
    return Reply{.status = 200, .body = std::move(list)};
  }
  const std::string id = Decode(parts[3]);
  const auto pump = forecourt_.Pump(id);
  if (!pump) {
    return Error(404, "unknown-pump", "no pump '" + id + "'");
  }
  if (parts.size() == 4) {
    return Json(200, ToJson(*pump));
  }
  const std::string_view action = parts[4];
  // The command, sent to the pump's line; its outcome becomes the reply.
  auto send = [&](Command command, std::function<Reply(const Outcome&)> build) {
    return Await(requester, Waits::kLine,
                 {[this, command = std::move(command)](Deadline deadline, Completion done) mutable {
                   command.deadline = std::move(deadline);
                   forecourt_.Submit(std::move(command), std::move(done));
                 }},
                 [build = std::move(build)](std::vector<Outcome>& outcomes) {
                   return outcomes[0].Ok() ? build(outcomes[0]) : Refusal(outcomes[0]);
                 });
  };
  if (action == "authorize") {
    auto parsed = ParseAuthorise(request.body);
    if (auto* refused = std::get_if<Reply>(&parsed)) {
      return *refused;
    }
    auto& body = std::get<AuthoriseBody>(parsed);
    if (const std::string name = access_.NameOf(request.authorization);
        !name.empty() && !json::parse(request.body, nullptr, false).contains("client")) {
      body.client = name;  // a named till's sales carry its name
    }
    Command command{.kind = Command::Kind::kAuthorise, .audit = audit.TakeOver()};
    command.authorise = {.pumpId = id,
                         .kind = body.kind,
                         .preset = body.preset,
                         .price = body.price,
                         .client = body.client,
                         .reference = body.reference};
    return send(std::move(command), [](const Outcome& outcome) {
      json txn = ToJson(*outcome.transaction);
      txn["existing"] = outcome.existing;
      return Json(outcome.existing ? 200 : 201, txn);
    });
  }
  if (action == "stop") {
    return send({.kind = Command::Kind::kStop, .pumpId = id, .audit = audit.TakeOver()},
                [id](const Outcome& outcome) {
                  json reply = {{"pump", id}, {"stopped", true}};
                  reply["transaction"] =
                      outcome.transaction ? ToJson(*outcome.transaction) : json(nullptr);
                  return Json(200, reply);
                });
  }
  if (action == "price") {
    auto parsed = ParsePrice(request.body);
    if (auto* refused = std::get_if<Reply>(&parsed)) {
      return *refused;
    }
    const double price = std::get<double>(parsed);
    const std::string actor = audit.record.actor;
    return send({.kind = Command::Kind::kSetPrice,
                 .pumpId = id,
                 .price = price,
                 .actor = actor,
                 .audit = audit.TakeOver()},
                [id, price](const Outcome&) {
                  return Json(200, {{"pump", id}, {"price", price}});
                });
  }
  if (action == "totals") {
    return send({.kind = Command::Kind::kReadTotals, .pumpId = id}, [id](const Outcome& outcome) {
      if (!outcome.totals) {
        return Refusal(Outcome::Refused("dispenser-unreachable", "no counters"));
      }
      return Json(200, TotalsJson(id, *outcome.totals));
    });
  }
  if (action == "parameters" && parts.size() == 6) {
    std::int32_t n = 0;
    const auto [end, ec] = std::from_chars(parts[5].data(), parts[5].data() + parts[5].size(), n);
    if (ec != std::errc{} || end != parts[5].data() + parts[5].size() || n < 0) {
      return Error(400, "bad-parameter", "the parameter number must be an integer of 0 or more");
    }
    Command command{.kind = Command::Kind::kReadParam, .pumpId = id, .param = n};
    if (request.method == "PUT") {
      auto parsed = ParseParameterValue(request.body);
      if (auto* refused = std::get_if<Reply>(&parsed)) {
        return *refused;
      }
      command.kind = Command::Kind::kWriteParam;
      command.value = std::get<std::int32_t>(parsed);
      command.audit = audit.TakeOver();
    }
    return send(std::move(command), [id, n](const Outcome& outcome) {
      return Json(200, {{"pump", id},
                        {"parameter", n},
                        {"value", outcome.parameter ? json(*outcome.parameter) : json(nullptr)}});
    });
  }
  return Error(404, "not-found", "no route " + std::string(PathOf(request.target)));
}

std::optional<Reply> Api::Transactions(const std::vector<std::string_view>& parts,
                                       const Request& request, const Requester& requester,
                                       RequestAudit& audit) {
  Journal& journal = forecourt_.GetJournal();
  if (parts.size() == 3) {
    auto parsed = ParseTransactionQuery(QueryOf(request.target));
    if (auto* refused = std::get_if<Reply>(&parsed)) {
      return *refused;
    }
    const auto& filter = std::get<TransactionFilter>(parsed);
    json list = json::array();
    for (const Transaction& txn : journal.List(filter)) {
      list.push_back(ToJson(txn));
    }
    Reply reply = Json(200, list);
    // The page says "20 of 345" and pages with offset.
    reply.headers.emplace_back("X-Total-Count", std::to_string(journal.Count(filter)));
    return reply;
  }
  const auto id = Id(parts[3]);
  if (!id) {
    return Error(404, "not-found", "no transaction '" + std::string(parts[3]) + "'");
  }
  if (parts.size() == 4) {
    const auto txn = journal.Get(*id);
    if (!txn) {
      return Error(404, "not-found", fmt::format("no transaction {}", *id));
    }
    return Json(200, ToJson(*txn));
  }
  auto parsed = ParseClient(request.body, access_.NameOf(request.authorization));
  if (auto* refused = std::get_if<Reply>(&parsed)) {
    return *refused;
  }
  const std::string client = std::get<std::string>(parsed);
  const std::string change(parts[4]);
  // On the journal's thread: the I/O thread never waits on the disk.
  // The audit record goes into the change's own commit.
  Start start = [this, id = *id, client, change, record = audit.TakeOver()](Deadline deadline,
                                                                            Completion done) {
    forecourt_.Change(
        [this, id, client, change, record]() mutable {
          Journal& sales = forecourt_.GetJournal();
          return change == "lock"     ? sales.Lock(id, client, &record)
                 : change == "unlock" ? sales.Unlock(id, client, &record)
                                      : sales.Clear(id, client, &record);
        },
        std::move(deadline), std::move(done));
  };
  return Await(requester, Waits::kJournal, {std::move(start)},
               [this, id = *id](std::vector<Outcome>& outcomes) {
                 const Outcome& outcome = outcomes[0];
                 if (!outcome.Ok()) {
                   return Refusal(outcome);
                 }
                 const auto txn =
                     outcome.transaction ? outcome.transaction : forecourt_.GetJournal().Get(id);
                 return Json(200, txn ? ToJson(*txn) : json{{"id", id}});
               });
}

std::optional<Reply> Api::Alerts(const std::vector<std::string_view>& parts, const Request& request,
                                 const Requester& requester, RequestAudit& audit) {
  Journal& journal = forecourt_.GetJournal();
  if (parts.size() == 3) {
    const std::string_view query = QueryOf(request.target);
    const bool open = query.find("unacknowledged=true") != std::string_view::npos;
    json list = json::array();
    for (const Alert& alert : journal.Alerts(open)) {
      list.push_back(ToJson(alert));
    }
    return Json(200, list);
  }
  const auto id = Id(parts[3]);
  if (!id) {
    return Error(404, "not-found", "no alert '" + std::string(parts[3]) + "'");
  }
  return Await(requester, Waits::kJournal,
               {[this, id = *id, record = audit.TakeOver()](Deadline deadline, Completion done) {
                 forecourt_.Change(
                     [this, id, record]() mutable {
                       return forecourt_.GetJournal().Acknowledge(id, &record);
                     },
                     std::move(deadline), std::move(done));
               }},
               [id = *id](std::vector<Outcome>& outcomes) {
                 if (!outcomes[0].Ok()) {
                   return Refusal(outcomes[0]);
                 }
                 return Json(200, {{"id", id}, {"acknowledged", true}});
               });
}

Reply Api::Lines() {
  json list = json::array();
  for (const LineInfo& line : forecourt_.Lines()) {
    const lines::LinkStats& s = line.stats;
    list.push_back({{"line", line.number},
                    {"port", line.port},
                    {"open", line.open},
                    {"reason", line.open ? json(nullptr) : json(line.reason)},
                    {"exchanges", s.exchanges},
                    {"not_ready", s.notReady},
                    {"accepted", s.accepted},
                    {"rejected",
                     {{"209", s.rejected209},
                      {"219", s.rejected219},
                      {"222", s.rejected222},
                      {"223", s.rejected223}}},
                    {"timeouts", s.timeouts},
                    {"refused", s.refused},
                    {"retries", s.retries},
                    {"reinitialisations", s.reinitialisations},
                    {"stale", s.stale},
                    {"stale_bytes", s.staleBytes},
                    {"settles", s.settles},
                    {"settle_ms", s.settleUs / 1000}});
  }
  return Json(200, list);
}

Reply Api::Health() {
  json reasons = json::array();
  if (const auto failure = forecourt_.GetJournal().Failure()) {
    reasons.push_back("the journal takes no writes: " + *failure);
  }
  for (const LineInfo& line : forecourt_.Lines()) {
    if (!line.open) {
      reasons.push_back(
          fmt::format("line {} ({}) is down: {}", line.number, line.port, line.reason));
    }
  }
  for (const PumpSnapshot& pump : forecourt_.Pumps()) {
    if (!pump.online) {
      reasons.push_back(fmt::format("pump {} is {}", pump.id, Name(pump.state)));
    }
  }
  if (uplink_.enabled) {
    // Records wait for the broker; past the configured age the head office
    // is too far behind to call the site healthy.
    const Journal::Backlog backlog = forecourt_.GetJournal().OutboxBacklog();
    const std::int64_t now = forecourt_.GetJournal().NowMsValue();
    if (backlog.oldestMs &&
        now - *backlog.oldestMs > static_cast<std::int64_t>(uplink_.backlogDegradedS) * 1000) {
      reasons.push_back(fmt::format("the uplink is {} s behind: {} records wait for the broker",
                                    (now - *backlog.oldestMs) / 1000, backlog.records));
    }
  }
  const bool ok = reasons.empty();
  return Json(ok ? 200 : 503, {{"status", ok ? "ok" : "degraded"}, {"reasons", reasons}});
}

Reply Api::Uplink() {
  const Journal::Backlog backlog = forecourt_.GetJournal().OutboxBacklog();
  const std::int64_t now = forecourt_.GetJournal().NowMsValue();
  json out = uplinkStatus_ ? uplinkStatus_() : json{{"enabled", false}};
  out["backlog"] = {{"records", backlog.records},
                    {"oldest", backlog.oldestMs ? json(Rfc3339(*backlog.oldestMs)) : json(nullptr)},
                    {"oldest_age_s", backlog.oldestMs ? (now - *backlog.oldestMs) / 1000 : 0},
                    {"degraded_after_s", uplink_.backlogDegradedS}};
  return Json(200, out);
}

void Api::CountRequest(const std::string& route, unsigned status, std::chrono::microseconds took) {
  const double seconds = static_cast<double>(took.count()) / 1e6;
  std::lock_guard lock(metricsMutex_);
  ++requests_[{route, status}];
  Latency& latency = latency_[route];
  latency.buckets.resize(std::size(kLatencyBuckets));
  ++latency.count;
  latency.sumSeconds += seconds;
  for (std::size_t i = 0; i < std::size(kLatencyBuckets); ++i) {
    if (seconds <= kLatencyBuckets[i]) {
      ++latency.buckets[i];
    }
  }
}

Reply Api::Metrics() {
  std::string out;
  auto line = [&out](std::string_view text) {
    out += text;
    out += '\n';
  };
  line("# HELP tarvenix_exchanges_total Exchanges on each line by result (rejections by code).");
  line("# TYPE tarvenix_exchanges_total counter");
  for (const LineInfo& info : forecourt_.Lines()) {
    const lines::LinkStats& s = info.stats;
    const auto n = info.number;
    line(
        fmt::format("tarvenix_exchanges_total{{line=\"{}\",result=\"asked\"}} {}", n, s.exchanges));
    line(fmt::format("tarvenix_exchanges_total{{line=\"{}\",result=\"accepted\"}} {}", n,
                     s.accepted));
    for (const auto& [code, count] :
         {std::pair{209, s.rejected209}, std::pair{219, s.rejected219},
          std::pair{222, s.rejected222}, std::pair{223, s.rejected223}}) {
      line(fmt::format("tarvenix_exchanges_total{{line=\"{}\",result=\"rejected\",code=\"{}\"}} {}",
                       n, code, count));
    }
    line(fmt::format("tarvenix_exchanges_total{{line=\"{}\",result=\"timeout\"}} {}", n,
                     s.timeouts));
    line(fmt::format("tarvenix_exchanges_total{{line=\"{}\",result=\"retry\"}} {}", n, s.retries));
    line(fmt::format("tarvenix_exchanges_total{{line=\"{}\",result=\"not_ready\"}} {}", n,
                     s.notReady));
  }
  line("# HELP tarvenix_line_stale_total Stale replies and runs of bytes dropped on each line.");
  line("# TYPE tarvenix_line_stale_total counter");
  for (const LineInfo& info : forecourt_.Lines()) {
    line(fmt::format("tarvenix_line_stale_total{{line=\"{}\"}} {}", info.number, info.stats.stale));
  }
  line("# TYPE tarvenix_line_stale_bytes_total counter");
  for (const LineInfo& info : forecourt_.Lines()) {
    line(fmt::format("tarvenix_line_stale_bytes_total{{line=\"{}\"}} {}", info.number,
                     info.stats.staleBytes));
  }
  line("# HELP tarvenix_line_settle_seconds_total Time spent waiting for a quiet line.");
  line("# TYPE tarvenix_line_settle_seconds_total counter");
  for (const LineInfo& info : forecourt_.Lines()) {
    line(fmt::format("tarvenix_line_settle_seconds_total{{line=\"{}\"}} {}", info.number,
                     static_cast<double>(info.stats.settleUs) / 1e6));
  }
  line("# TYPE tarvenix_line_open gauge");
  for (const LineInfo& info : forecourt_.Lines()) {
    line(fmt::format("tarvenix_line_open{{line=\"{}\"}} {}", info.number, info.open ? 1 : 0));
  }
  line("# HELP tarvenix_pump_state The state of each pump (1 for the state it is in).");
  line("# TYPE tarvenix_pump_state gauge");
  const auto pumps = forecourt_.Pumps();
  for (const PumpSnapshot& pump : pumps) {
    for (PumpState state : {PumpState::kConnecting, PumpState::kOffline, PumpState::kIdle,
                            PumpState::kCalling, PumpState::kAuthorised, PumpState::kFuelling}) {
      line(fmt::format("tarvenix_pump_state{{pump=\"{}\",state=\"{}\"}} {}", pump.id, Name(state),
                       pump.state == state ? 1 : 0));
    }
  }
  line("# TYPE tarvenix_unpaid_sales gauge");
  for (const PumpSnapshot& pump : pumps) {
    line(fmt::format("tarvenix_unpaid_sales{{pump=\"{}\"}} {}", pump.id, pump.unpaid));
  }
  line("# TYPE tarvenix_open_transactions gauge");
  std::size_t open = 0;
  for (const PumpSnapshot& pump : pumps) {
    open += pump.transactionId ? 1 : 0;
  }
  line(fmt::format("tarvenix_open_transactions {}", open));
  line("# HELP tarvenix_sales_total Sales that delivered fuel, with their volume and money.");
  line("# TYPE tarvenix_sales_total counter");
  const auto sales = forecourt_.GetJournal().SalesByPump();
  for (const auto& pump : sales) {
    line(fmt::format("tarvenix_sales_total{{pump=\"{}\"}} {}", pump.pumpId, pump.sales));
  }
  line("# TYPE tarvenix_sales_volume_total counter");
  for (const auto& pump : sales) {
    line(fmt::format("tarvenix_sales_volume_total{{pump=\"{}\"}} {}", pump.pumpId,
                     RoundVolume(pump.volume)));
  }
  line("# TYPE tarvenix_sales_money_total counter");
  for (const auto& pump : sales) {
    line(fmt::format("tarvenix_sales_money_total{{pump=\"{}\"}} {}", pump.pumpId,
                     RoundMoney(pump.money)));
  }
  {
    const Journal::Backlog backlog = forecourt_.GetJournal().OutboxBacklog();
    line(
        "# HELP tarvenix_uplink_backlog_records Records in the outbox, not yet acknowledged by "
        "the broker.");
    line("# TYPE tarvenix_uplink_backlog_records gauge");
    line(fmt::format("tarvenix_uplink_backlog_records {}", backlog.records));
    line("# HELP tarvenix_uplink_backlog_oldest_seconds Age of the oldest record in the outbox.");
    line("# TYPE tarvenix_uplink_backlog_oldest_seconds gauge");
    line(fmt::format(
        "tarvenix_uplink_backlog_oldest_seconds {}",
        backlog.oldestMs
            ? static_cast<double>(forecourt_.GetJournal().NowMsValue() - *backlog.oldestMs) / 1e3
            : 0.0));
    if (uplinkStatus_) {
      const json status = uplinkStatus_();
      line("# TYPE tarvenix_uplink_connected gauge");
      line(fmt::format("tarvenix_uplink_connected {}", status.value("connected", false) ? 1 : 0));
      line("# TYPE tarvenix_uplink_sent_total counter");
      line(fmt::format("tarvenix_uplink_sent_total {}", status.value("sent", std::int64_t{0})));
    }
  }
  line("# TYPE tarvenix_event_stream_clients gauge");
  line(fmt::format("tarvenix_event_stream_clients {}", streamClients.load()));
  line("# TYPE tarvenix_http_requests_total counter");
  std::lock_guard lock(metricsMutex_);
  for (const auto& [key, count] : requests_) {
    line(fmt::format("tarvenix_http_requests_total{{route=\"{}\",status=\"{}\"}} {}", key.first,
                     key.second, count));
  }
  line("# TYPE tarvenix_http_request_seconds histogram");
  for (const auto& [route, latency] : latency_) {
    for (std::size_t i = 0; i < std::size(kLatencyBuckets); ++i) {
      line(fmt::format("tarvenix_http_request_seconds_bucket{{route=\"{}\",le=\"{}\"}} {}", route,
                       kLatencyBuckets[i], latency.buckets[i]));
    }
    line(fmt::format("tarvenix_http_request_seconds_bucket{{route=\"{}\",le=\"+Inf\"}} {}", route,
                     latency.count));
    line(fmt::format("tarvenix_http_request_seconds_sum{{route=\"{}\"}} {}", route,
                     latency.sumSeconds));
    line(fmt::format("tarvenix_http_request_seconds_count{{route=\"{}\"}} {}", route,
                     latency.count));
  }
  return {.status = 200, .body = std::move(out), .contentType = "text/plain; version=0.0.4"};
}

bool Api::HeartbeatStream(std::string_view authorization) const {
  if (access_.Open()) {
    return true;
  }
  const auto role = access_.RoleOf(authorization);
  return role && *role >= Role::kControl;
}

}  // namespace tarvenix::forecourt::api
