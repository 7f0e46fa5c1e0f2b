// The routes of price sets, the price log and the audit trail, and the
// audit record every changing request leaves.
#include <fmt/core.h>

#include <charconv>
#include <cmath>

#include "forecourt/amounts.hpp"
#include "forecourt/api/api.hpp"
#include "forecourt/json.hpp"

namespace tarvenix::forecourt::api {
namespace {

using nlohmann::json;

Reply JsonReply(unsigned status, const json& value) {
  return {.status = status, .body = value.dump(-1, ' ', false, json::error_handler_t::replace)};
}

std::string_view QueryOf(std::string_view target) {
  const std::size_t q = target.find('?');
  return q == std::string_view::npos ? std::string_view{} : target.substr(q + 1);
}

// The kind of audit record of each route that changes something.
std::string_view AuditKind(std::string_view routeName, std::string_view path) {
  static constexpr std::pair<std::string_view, std::string_view> kKinds[] = {
      {"POST /api/v1/pumps/{id}/authorize", "authorise"},
      {"POST /api/v1/pumps/{id}/stop", "stop"},
      {"POST /api/v1/stop-all", "stop-all"},
      {"PUT /api/v1/pumps/{id}/price", "price"},
      {"PUT /api/v1/pumps/{id}/parameters/{n}", "parameter"},
      {"POST /api/v1/alerts/{id}/ack", "acknowledge"},
      {"POST /api/v1/prices", "price-set"},
      {"DELETE /api/v1/prices/{id}", "price-set-cancel"},
      {"POST /api/v1/shifts", "shift-open"},
      {"POST /api/v1/shifts/current/close", "shift-close"},
  };
  for (const auto& [route, kind] : kKinds) {
    if (route == routeName) {
      return kind;
    }
  }
  if (routeName.starts_with("POST /api/v1/transactions/{id}/")) {
    return path.substr(path.rfind('/') + 1);  // lock, unlock, clear
  }
  return {};
}

std::optional<Reply> Prices(const json& object, const char* key,
                            std::map<std::string, double>& out) {
  if (!object.contains(key)) {
    return std::nullopt;
  }
  const json& map = object.at(key);
  if (!map.is_object()) {
    return Error(400, "bad-type", fmt::format("'{}' must be an object of prices", key));
  }
  for (const auto& [name, value] : map.items()) {
    if (name.empty() || name.size() > 64) {
      return Error(400, "bad-body",
                   fmt::format("a name in '{}' must have 1 to 64 characters", key));
    }
    if (!value.is_number() || !std::isfinite(value.get<double>())) {
      return Error(400, "bad-price", fmt::format("'{}' of '{}' must be a number", name, key));
    }
    const Checked steps = OnStep(value.get<double>(), kPriceLimit);
    if (!steps.steps) {
      return Error(400, "bad-price", fmt::format("'{}': {}", name, steps.message));
    }
    out[name] = ValueOf(*steps.steps, kPriceLimit);
  }
  return std::nullopt;
}

std::optional<Reply> Time(const std::string& key, const std::string& value,
                          std::optional<std::int64_t>& out) {
  out = ParseRfc3339(value);
  if (!out) {
    return Error(400, "bad-query", "'" + key + "' must be an RFC 3339 time in UTC");
  }
  return std::nullopt;
}

json ToJson(const PriceSet& set) {
  json pumps = json::array();
  for (const PriceSetPump& pump : set.pumps) {
    pumps.push_back({{"pump", pump.pumpId},
                     {"price", pump.price},
                     {"applied", pump.appliedMs ? json(Rfc3339(*pump.appliedMs)) : json(nullptr)}});
  }
  return {{"id", set.id},
          {"effective", Rfc3339(set.effectiveMs)},
          {"state", Name(set.state)},
          {"actor", set.actor},
          {"created", Rfc3339(set.createdMs)},
          {"changed", Rfc3339(set.changedMs)},
          {"pumps", pumps}};
}

}  // namespace

Parsed<PriceSetRequest> ParsePriceSet(std::string_view body) {
  const json object = json::parse(body, nullptr, false);
  if (object.is_discarded()) {
    return Error(400, "malformed-json", "the body is not valid JSON");
  }
  if (!object.is_object()) {
    return Error(400, "bad-body", "the body must be a JSON object");
  }
  for (const auto& [key, unused] : object.items()) {
    if (key != "prices" && key != "products" && key != "effective") {
      return Error(400, "unknown-field", "unknown field '" + key + "'");
    }
  }
  PriceSetRequest out;
  if (auto refused = Prices(object, "prices", out.pumps)) {
    return *refused;
  }
  if (auto refused = Prices(object, "products", out.products)) {
    return *refused;
  }
  if (out.pumps.empty() && out.products.empty()) {
    return Error(400, "bad-body", "give at least one price in 'prices' or 'products'");
  }
  if (!object.contains("effective") || !object.at("effective").is_string()) {
    return Error(400, "bad-effective", "'effective' must be \"now\" or an RFC 3339 time in UTC");
  }
  const std::string effective = object.at("effective").get<std::string>();
  if (effective != "now") {
    out.effectiveMs = ParseRfc3339(effective);
    if (!out.effectiveMs) {
      return Error(
          400, "bad-effective",
          "'effective' must be \"now\" or an RFC 3339 time in UTC, not '" + effective + "'");
    }
  }
  return out;
}

Outcome SchedulePriceSet(Forecourt& forecourt, const json& command, AuditRecord audit) {
  Journal& journal = forecourt.GetJournal();
  audit.body = command;
  const auto refuse = [&](std::string reason, std::string message) {
    audit.outcome = {{"error", reason}, {"message", message}};
    journal.Audit(audit);
    return Outcome::Refused(std::move(reason), std::move(message));
  };
  json body = command.is_object() ? command : json::object();
  body.erase("id");
  body.erase("kind");
  if (!body.contains("effective")) {
    body["effective"] = "now";
  }
  auto parsed = ParsePriceSet(body.dump());
  if (const auto* refused = std::get_if<Reply>(&parsed)) {
    const json error = json::parse(refused->body, nullptr, false);
    return refuse(error.value("error", "bad-body"), error.value("message", ""));
  }
  std::vector<PumpConfig> pumps;
  for (const LineConfig& line : forecourt.GetConfig().lines) {
    pumps.insert(pumps.end(), line.pumps.begin(), line.pumps.end());
  }
  auto resolved = ResolvePriceSet(std::get<PriceSetRequest>(parsed), pumps, journal.NowMsValue());
  if (const auto* refused = std::get_if<PriceRefusal>(&resolved)) {
    return refuse(refused->reason, refused->message);
  }
  PriceSet& set = std::get<PriceSet>(resolved);
  set.actor = audit.actor;
  if (const auto id = command.find("id"); id != command.end() && id->is_string()) {
    set.commandId = id->get<std::string>();
  }
  journal.CreatePriceSet(set, audit);
  return {};
}

Parsed<PriceLogFilter> ParsePriceLogQuery(std::string_view query) {
  PriceLogFilter filter;
  for (const auto& [key, value] : QueryPairs(query)) {
    if (key == "pump") {
      filter.pumpId = value;
    } else if (key == "from" || key == "to") {
      if (auto refused = Time(key, value, key == "from" ? filter.fromMs : filter.toMs)) {
        return *refused;
      }
    } else {
      return Error(400, "bad-query", "unknown filter '" + key + "'");
    }
  }
  return filter;
}

Parsed<AuditFilter> ParseAuditQuery(std::string_view query) {
  AuditFilter filter;
  for (const auto& [key, value] : QueryPairs(query)) {
    if (key == "from" || key == "to") {
      if (auto refused = Time(key, value, key == "from" ? filter.fromMs : filter.toMs)) {
        return *refused;
      }
    } else if (key == "actor") {
      filter.actor = value;
    } else if (key == "kind") {
      filter.kind = value;
    } else if (key == "limit") {
      std::size_t limit = 0;
      const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), limit);
      if (ec != std::errc{} || end != value.data() + value.size() || limit < 1 || limit > 1000) {
        return Error(400, "bad-query", "'limit' must lie in 1..1000");
      }
      filter.limit = limit;
    } else {
      return Error(400, "bad-query", "unknown filter '" + key + "'");
    }
  }
  return filter;
}

RequestAudit Api::AuditOf(const Request& request, const Route& route) const {
  RequestAudit audit;
  const std::string path = request.target.substr(0, request.target.find('?'));
  const std::string_view kind = AuditKind(route.name, path);
  if (kind.empty()) {
    return audit;
  }
  audit.pending = true;
  const std::string name = access_.NameOf(request.authorization);
  audit.record.actor = name.empty() ? "local" : name;
  audit.record.kind = kind;
  audit.record.method = request.method;
  audit.record.path = path;
  if (!request.body.empty()) {
    json body = json::parse(request.body, nullptr, false);
    audit.record.body = body.is_discarded() ? json(request.body) : std::move(body);
  }
  return audit;
}

void Api::AuditReply(RequestAudit& audit, const Reply& reply) const {
  if (!audit.pending) {
    return;
  }
  audit.pending = false;
  json body = json::parse(reply.body, nullptr, false);
  audit.record.outcome = {{"status", reply.status},
                          {"reply", body.is_discarded() ? json(nullptr) : std::move(body)}};
  // On the journal's thread: the caller may be an I/O thread.
  forecourt_.Change(
      [this, record = std::move(audit.record)]() mutable {
        try {
          forecourt_.GetJournal().Audit(record);
        } catch (const DatabaseError&) {
          // The reply stands; the failing journal shows in the health reasons.
        }
        return Outcome{};
      },
      Deadline{}, [](const Outcome&) {});
}

std::optional<Reply> Api::Prices(const std::vector<std::string_view>& parts, const Request& request,
                                 const Requester& requester, RequestAudit& audit) {
  Journal& journal = forecourt_.GetJournal();
  if (parts.size() == 4 && parts[3] == "log" && request.method == "GET") {
    auto parsed = ParsePriceLogQuery(QueryOf(request.target));
    if (auto* refused = std::get_if<Reply>(&parsed)) {
      return *refused;
    }
    json list = json::array();
    for (const PriceChange& change : journal.PriceLog(std::get<PriceLogFilter>(parsed))) {
      list.push_back(ToJson(change));
    }
    return JsonReply(200, list);
  }
  if (parts.size() == 4) {  // DELETE /api/v1/prices/{id}
    std::int64_t id = 0;
    const auto [end, ec] = std::from_chars(parts[3].data(), parts[3].data() + parts[3].size(), id);
    if (ec != std::errc{} || end != parts[3].data() + parts[3].size() || id <= 0) {
      return Error(404, "not-found", "no price set '" + std::string(parts[3]) + "'");
    }
    Start start = [this, id, record = audit.TakeOver()](Deadline deadline,
                                                        Completion done) mutable {
      forecourt_.Change(
          [this, id, record]() mutable {
            return forecourt_.GetJournal().CancelPriceSet(id, record);
          },
          std::move(deadline), std::move(done));
    };
    return Await(requester, Waits::kJournal, {std::move(start)},
                 [id](std::vector<Outcome>& outcomes) {
                   const Outcome& outcome = outcomes[0];
                   if (!outcome.Ok()) {
                     const unsigned status = outcome.reason == "not-found"       ? 404
                                             : outcome.reason == "journal-error" ? 503
                                                                                 : 409;
                     return Error(status, outcome.reason, outcome.message);
                   }
                   return JsonReply(200, {{"id", id}, {"state", "cancelled"}});
                 });
  }
  if (request.method == "GET") {
    json list = json::array();
    for (const PriceSet& set : journal.PriceSets()) {
      list.push_back(ToJson(set));
    }
    return JsonReply(200, list);
  }
  auto parsed = ParsePriceSet(request.body);
  if (auto* refused = std::get_if<Reply>(&parsed)) {
    return *refused;
  }
  std::vector<PumpConfig> pumps;
  for (const LineConfig& line : forecourt_.GetConfig().lines) {
    pumps.insert(pumps.end(), line.pumps.begin(), line.pumps.end());
  }
  auto resolved = ResolvePriceSet(std::get<PriceSetRequest>(parsed), pumps, journal.NowMsValue());
  if (const auto* refused = std::get_if<PriceRefusal>(&resolved)) {
    const bool unknown = refused->reason == "unknown-pump" || refused->reason == "unknown-product";
    return Error(unknown ? 404 : 400, refused->reason, refused->message);
  }
  auto set = std::make_shared<PriceSet>(std::move(std::get<PriceSet>(resolved)));
  set->actor = audit.record.actor;
  Start start = [this, set, record = audit.TakeOver()](Deadline deadline, Completion done) mutable {
    forecourt_.Change(
        [this, set, record]() mutable {
          forecourt_.GetJournal().CreatePriceSet(*set, record);
          return Outcome{};
        },
        std::move(deadline), std::move(done));
  };
  return Await(requester, Waits::kJournal, {std::move(start)},
               [set](std::vector<Outcome>& outcomes) {
                 if (!outcomes[0].Ok()) {  // the journal failed, or the service stops
                   return Error(503, outcomes[0].reason, outcomes[0].message);
                 }
                 return JsonReply(201, ToJson(*set));
               });
}

Reply Api::AuditTrail(const Request& request) {
  auto parsed = ParseAuditQuery(QueryOf(request.target));
  if (auto* refused = std::get_if<Reply>(&parsed)) {
    return *refused;
  }
  json list = json::array();
  for (const AuditRecord& record :
       forecourt_.GetJournal().AuditRecords(std::get<AuditFilter>(parsed))) {
    list.push_back(ToJson(record));
  }
  return JsonReply(200, list);
}

}  // namespace tarvenix::forecourt::api
