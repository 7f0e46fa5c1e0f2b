// Scheduled prices and the price log. A price set gives pumps new unit
// prices from an effective time on; products from the configuration are
// expanded to their pumps when the set is made, so a set names every pump
// it changes. Each line's worker applies a due set to each of its pumps
// that is online and not in a sale (a pump in a sale takes it right after
// the sale, an offline one when it answers again); each application is one
// commit with its entry in the price log.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "forecourt/model.hpp"

namespace tarvenix::forecourt {

enum class PriceSetState : std::uint8_t { kScheduled, kApplied, kCancelled };
std::string_view Name(PriceSetState state);

struct PriceSetPump {
  std::string pumpId;
  double price = 0;
  std::optional<std::int64_t> appliedMs;  // when the pump took it
};

struct PriceSet {
  std::int64_t id = 0;
  std::int64_t effectiveMs = 0;
  // Scheduled until the first pump takes it; a set whose time has come
  // and that no pump could take yet is still scheduled, and cancellable.
  PriceSetState state = PriceSetState::kScheduled;
  std::string actor;
  std::int64_t createdMs = 0;
  std::int64_t changedMs = 0;
  std::vector<PriceSetPump> pumps;
  // The head office's command id it came with: a set is made once per id.
  std::string commandId;
};

// A pump's price that is due and not yet taken.
struct DuePrice {
  std::int64_t setId = 0;
  std::string pumpId;
  double price = 0;
  std::string actor;  // who made the set
};

// One change of one pump's price.
struct PriceChange {
  std::int64_t id = 0;
  std::string pumpId;
  std::optional<double> oldPrice;
  double newPrice = 0;
  std::optional<std::int64_t> setId;  // empty: the pump's own price route
  std::string actor;
  std::int64_t atMs = 0;
};

struct PriceLogFilter {
  std::optional<std::string> pumpId;
  std::optional<std::int64_t> fromMs;
  std::optional<std::int64_t> toMs;
  std::size_t limit = 1000;
};

// What a client asked for, before it is checked against the pumps.
struct PriceSetRequest {
  std::map<std::string, double> pumps;      // pump id -> price
  std::map<std::string, double> products;   // product -> price
  std::optional<std::int64_t> effectiveMs;  // empty: now
};

// A refusal: its reason (bad-price, unknown-pump, unknown-product,
// bad-effective, ...) and message.
struct PriceRefusal {
  std::string reason;
  std::string message;
};

// The pumps' prices of a request: an explicit pump price over its
// product's; refused when a pump or product is unknown or the time past.
std::variant<PriceSet, PriceRefusal> ResolvePriceSet(const PriceSetRequest& request,
                                                     const std::vector<PumpConfig>& pumps,
                                                     std::int64_t nowMs);

}  // namespace tarvenix::forecourt
