// The service's values as JSON, the same for events, the journal's details
// and (later) the HTTP interface. Volumes and money keep the dispenser's own
// precision; times are RFC 3339 in UTC.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

#include "forecourt/audit.hpp"
#include "forecourt/model.hpp"
#include "forecourt/prices.hpp"

namespace tarvenix::forecourt {

std::string Rfc3339(std::int64_t unixMs);
// Rounds to the dispenser's precision, so that 25.450000001 reads 25.45.
double RoundVolume(double volume);  // hundredths
double RoundMoney(double money);    // thousandths

nlohmann::json ToJson(const Transaction& txn);
nlohmann::json ToJson(const Alert& alert);
nlohmann::json ToJson(const PumpSnapshot& pump);
// The same pump appended as JSON text without building a document: the
// list of pumps is the most frequent request.
void AppendJson(std::string& out, const PumpSnapshot& pump);
nlohmann::json ToJson(const PriceChange& change);
nlohmann::json ToJson(const AuditRecord& record);

}  // namespace tarvenix::forecourt
