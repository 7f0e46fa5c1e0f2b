#include "forecourt/uplink/site.hpp"

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

}  // namespace tarvenix::forecourt::uplink
