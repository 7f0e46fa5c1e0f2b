// What the uplink needs of the running forecourt: the site's summary for
// its status, and a price set applied through the pumps' own path.
#pragma once

#include <chrono>

#include "forecourt/forecourt.hpp"
#include "forecourt/uplink/uplink.hpp"

namespace tarvenix::forecourt::uplink {

// {"lines","lines_open","pumps","pumps_online","open_sales"}
Summary SiteSummary(Forecourt& forecourt);

// Applies {"prices": {pump id: price}} now, each through the pump's line
// (as the HTTP interface's price change), waiting at most `wait` per set.
// The whole set is checked first: an unknown pump or a price the
// dispenser cannot take refuses it, applying nothing.
ApplyPrices ApplyPricesNow(Forecourt& forecourt, std::chrono::milliseconds wait);

}  // namespace tarvenix::forecourt::uplink
