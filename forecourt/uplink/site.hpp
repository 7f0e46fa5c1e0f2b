// What the uplink needs of the running forecourt: the site's summary for
// its status.
#pragma once

#include "forecourt/forecourt.hpp"
#include "forecourt/uplink/uplink.hpp"

namespace tarvenix::forecourt::uplink {

// {"lines","lines_open","pumps","pumps_online","open_sales"}
Summary SiteSummary(Forecourt& forecourt);

}  // namespace tarvenix::forecourt::uplink
