#include "forecourt/json.hpp"

#include <cmath>
#include <ctime>

namespace tarvenix::forecourt {
namespace {

template <typename T>
nlohmann::json Optional(const std::optional<T>& value) {
  return value ? nlohmann::json(*value) : nlohmann::json(nullptr);
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

nlohmann::json ToJson(const PumpSnapshot& pump) {
  return {
      {"id", pump.id},
      {"name", pump.name},
      {"line", pump.line},
      {"address", pump.addr},
      {"state", Name(pump.state)},
      {"state_code", pump.rawState},
      {"online", pump.online},
      {"price", Optional(pump.price)},
      {"volume", RoundVolume(pump.liveVolume)},
      {"money", RoundMoney(pump.liveMoney)},
      {"transaction", Optional(pump.transactionId)},
      {"unpaid", pump.unpaid},
      {"state_age_ms",
       pump.stateAgeUs ? nlohmann::json(*pump.stateAgeUs / 1000) : nlohmann::json(nullptr)},
  };
}

}  // namespace tarvenix::forecourt
