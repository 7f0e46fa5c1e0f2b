#include "forecourt/uplink/site.hpp"

#include <fmt/core.h>

#include <future>
#include <vector>

#include "forecourt/amounts.hpp"

namespace tarvenix::forecourt::uplink {

using json = nlohmann::json;

Summary SiteSummary(Forecourt& forecourt) {
  return [&forecourt] {
    std::int64_t linesOpen = 0;
    const auto lines = forecourt.Lines();
    for (const LineInfo& line : lines) {
      linesOpen += line.open ? 1 : 0;
    }
    std::int64_t online = 0;
    std::int64_t open = 0;
    const auto pumps = forecourt.Pumps();
    for (const PumpSnapshot& pump : pumps) {
      online += pump.online ? 1 : 0;
      open += (pump.transactionId ? 1 : 0) + pump.unpaid;
    }
    return json{{"lines", lines.size()},
                {"lines_open", linesOpen},
                {"pumps", pumps.size()},
                {"pumps_online", online},
                {"open_sales", open}};
  };
}

ApplyPrices ApplyPricesNow(Forecourt& forecourt, std::chrono::milliseconds wait) {
  return [&forecourt, wait](const json& priceSet) -> Outcome {
    const auto prices = priceSet.find("prices");
    if (prices == priceSet.end() || !prices->is_object() || prices->empty()) {
      return Outcome::Refused("bad-prices", "a price set needs 'prices': {pump id: price}");
    }
    std::vector<std::pair<std::string, double>> set;
    for (const auto& [pumpId, price] : prices->items()) {
      if (!forecourt.Pump(pumpId)) {
        return Outcome::Refused("bad-prices", "no pump '" + pumpId + "' at this site");
      }
      if (!price.is_number() || !(price.get<double>() > 0) || price.get<double>() > 99.99) {
        return Outcome::Refused("bad-prices",
                                "the price of pump '" + pumpId + "' must lie in (0, 99.99]");
      }
      if (const Checked steps = OnStep(price.get<double>(), kPriceLimit); !steps.steps) {
        return Outcome::Refused("bad-prices", "pump '" + pumpId + "': " + steps.message);
      }
      set.emplace_back(pumpId, price.get<double>());
    }
    std::vector<std::future<Outcome>> futures;
    for (const auto& [pumpId, price] : set) {
      futures.push_back(forecourt.SetPrice(pumpId, price, forecourt.DeadlineIn(wait)));
    }
    std::string failed;
    for (std::size_t i = 0; i < futures.size(); ++i) {
      // The deadline ends the command; the margin lets its answer come.
      if (futures[i].wait_for(wait + std::chrono::seconds(1)) != std::future_status::ready) {
        failed += fmt::format("{}{}: no answer", failed.empty() ? "" : "; ", set[i].first);
        continue;
      }
      const Outcome outcome = futures[i].get();
      if (!outcome.Ok()) {
        failed += fmt::format("{}{}: {}", failed.empty() ? "" : "; ", set[i].first,
                              outcome.message.empty() ? outcome.reason : outcome.message);
      }
    }
    if (!failed.empty()) {
      return Outcome::Refused("not-applied", failed);
    }
    return {};
  };
}

}  // namespace tarvenix::forecourt::uplink
