#include "forecourt/prices.hpp"

#include <fmt/core.h>

#include <algorithm>

#include "forecourt/amounts.hpp"

namespace tarvenix::forecourt {

std::string_view Name(PriceSetState state) {
  switch (state) {
    case PriceSetState::kScheduled:
      return "scheduled";
    case PriceSetState::kApplied:
      return "applied";
    case PriceSetState::kCancelled:
      return "cancelled";
  }
  return "scheduled";
}

std::variant<PriceSet, PriceRefusal> ResolvePriceSet(const PriceSetRequest& request,
                                                     const std::vector<PumpConfig>& pumps,
                                                     std::int64_t nowMs) {
  if (request.pumps.empty() && request.products.empty()) {
    return PriceRefusal{"bad-body", "give 'prices' for pumps or 'products', or both"};
  }
  if (request.effectiveMs && *request.effectiveMs < nowMs) {
    return PriceRefusal{"bad-effective", "'effective' is past: give \"now\" or a later time"};
  }
  PriceSet set;
  set.effectiveMs = request.effectiveMs.value_or(nowMs);
  std::map<std::string, double> prices;
  for (const auto& [product, price] : request.products) {
    bool any = false;
    for (const PumpConfig& pump : pumps) {
      if (pump.product == product) {
        prices[pump.id] = price;
        any = true;
      }
    }
    if (!any) {
      return PriceRefusal{"unknown-product", "no pump sells product '" + product + "'"};
    }
  }
  for (const auto& [pumpId, price] : request.pumps) {
    const bool known =
        std::ranges::any_of(pumps, [&id = pumpId](const PumpConfig& p) { return p.id == id; });
    if (!known) {
      return PriceRefusal{"unknown-pump", "no pump '" + pumpId + "'"};
    }
    prices[pumpId] = price;  // a pump's own price over its product's
  }
  for (const auto& [pumpId, price] : prices) {
    const Checked steps = OnStep(price, kPriceLimit);
    if (!steps.steps) {
      return PriceRefusal{"bad-price", fmt::format("pump {}: {}", pumpId, steps.message)};
    }
    set.pumps.push_back({.pumpId = pumpId, .price = ValueOf(*steps.steps, kPriceLimit)});
  }
  return set;
}

}  // namespace tarvenix::forecourt
