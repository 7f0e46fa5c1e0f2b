#include "forecourt/json.hpp"

#include <fmt/format.h>

#include <cmath>
#include <ctime>
#include <iterator>

#include "forecourt/amounts.hpp"

namespace tarvenix::forecourt {
namespace {

template <typename T>
nlohmann::json Optional(const std::optional<T>& value) {
  return value ? nlohmann::json(*value) : nlohmann::json(nullptr);
}

// What the pump's commands carry, so that a client offers only amounts the
// dispenser takes as they are. The same for every pump.
const std::string& LimitsJson() {
  static const std::string text = [] {
    std::string out = "{";
    for (const auto& [name, limit] :
         {std::pair{"price", kPriceLimit}, std::pair{"volume", kVolumePresetLimit},
          std::pair{"money", kMoneyPresetLimit}}) {
      if (out.size() > 1) {
        out += ',';
      }
      fmt::format_to(std::back_inserter(out), "\"{}\":{{\"step\":{},\"min\":{},\"max\":{}}}", name,
                     Text(1, limit), Text(limit.min, limit), Text(limit.max, limit));
    }
    return out + "}";
  }();
  return text;
}

}  // namespace

std::string Rfc3339(std::int64_t unixMs) {
  const std::time_t seconds = static_cast<std::time_t>(unixMs / 1000);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[40];
  const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  std::snprintf(text + n, sizeof text - n, ".%03dZ", static_cast<int>(unixMs % 1000));
  return text;
}

double RoundVolume(double volume) {
  return std::round(volume * 100) / 100;
}

double RoundMoney(double money) {
  return std::round(money * 1000) / 1000;
}

nlohmann::json ToJson(const Transaction& txn) {
  nlohmann::json totals = {
      {"volume_before", Optional(txn.totalsVolumeBefore)},
      {"money_before", Optional(txn.totalsMoneyBefore)},
      {"volume_after", Optional(txn.totalsVolumeAfter)},
      {"money_after", Optional(txn.totalsMoneyAfter)},
  };
  return {
      {"id", txn.id},
      {"pump", txn.pumpId},
      {"client", txn.client},
      {"reference", Optional(txn.reference)},
      {"preset", {{Name(txn.presetKind), txn.preset}}},
      {"price", txn.price},
      {"state", Name(txn.state)},
      {"volume", RoundVolume(txn.volume)},
      {"money", RoundMoney(txn.money)},
      {"totals", totals},
      {"reconciliation", Name(txn.reconciliation)},
      {"recovered", txn.recovered},
      {"locked_by", Optional(txn.lockClient)},
      {"message", txn.message},
      {"created", Rfc3339(txn.createdMs)},
      {"updated", Rfc3339(txn.updatedMs)},
      {"price_set_id", Optional(txn.priceSetId)},
      {"fallback", txn.fallback},
  };
}

nlohmann::json ToJson(const Alert& alert) {
  return {
      {"id", alert.id},
      {"kind", alert.kind},
      {"pump", alert.pumpId},
      {"transaction", Optional(alert.transactionId)},
      {"message", alert.message},
      {"details", nlohmann::json::parse(alert.details.empty() ? "{}" : alert.details)},
      {"created", Rfc3339(alert.createdMs)},
      {"acknowledged",
       alert.acknowledgedMs ? nlohmann::json(Rfc3339(*alert.acknowledgedMs)) : nullptr},
  };
}

void AppendJson(std::string& out, const PumpSnapshot& pump) {
  auto text = [&out](std::string_view value) {
    // Names come from the configuration, which is UTF-8 already.
    out += '"';
    for (const char c : value) {
      if (c == '"' || c == '\\') {
        out += '\\';
        out += c;
      } else if (static_cast<unsigned char>(c) < 0x20) {
        fmt::format_to(std::back_inserter(out), "\\u{:04x}", static_cast<unsigned>(c));
      } else {
        out += c;
      }
    }
    out += '"';
  };
  // As the document writer prints numbers: shortest, and 10.0 not 10.
  auto number = [&out](double value) {
    const std::size_t from = out.size();
    fmt::format_to(std::back_inserter(out), "{}", value);
    if (out.find_first_of(".e", from) == std::string::npos) {
      out += ".0";
    }
  };
  out += "{\"id\":";
  text(pump.id);
  out += ",\"name\":";
  text(pump.name);
  fmt::format_to(std::back_inserter(out), ",\"line\":{},\"address\":{},\"state\":\"{}\",",
                 pump.line, pump.addr, Name(pump.state));
  fmt::format_to(std::back_inserter(out),
                 "\"state_code\":{},\"online\":{},\"price\":", pump.rawState, pump.online);
  if (pump.price) {
    number(*pump.price);
  } else {
    out += "null";
  }
  out += ",\"volume\":";
  number(RoundVolume(pump.liveVolume));
  out += ",\"money\":";
  number(RoundMoney(pump.liveMoney));
  out += ",\"transaction\":";
  out += pump.transactionId ? std::to_string(*pump.transactionId) : "null";
  fmt::format_to(std::back_inserter(out), ",\"unpaid\":{},\"state_age_ms\":", pump.unpaid);
  out += pump.stateAgeUs ? std::to_string(*pump.stateAgeUs / 1000) : "null";
  out += ",\"limits\":";
  out += LimitsJson();
  out += '}';
}

nlohmann::json ToJson(const PumpSnapshot& pump) {
  std::string text;
  AppendJson(text, pump);
  return nlohmann::json::parse(text);
}

nlohmann::json ToJson(const PriceChange& change) {
  return {
      {"id", change.id},
      {"pump", change.pumpId},
      {"old_price", change.oldPrice ? nlohmann::json(*change.oldPrice) : nlohmann::json(nullptr)},
      {"new_price", change.newPrice},
      {"price_set", change.setId ? nlohmann::json(*change.setId) : nlohmann::json(nullptr)},
      {"actor", change.actor},
      {"at", Rfc3339(change.atMs)}};
}

nlohmann::json ToJson(const AuditRecord& record) {
  return {{"id", record.id},
          {"at", Rfc3339(record.atMs)},
          {"actor", record.actor},
          {"kind", record.kind},
          {"request", {{"method", record.method}, {"path", record.path}, {"body", record.body}}},
          {"outcome", record.outcome}};
}

}  // namespace tarvenix::forecourt
