// The station's books: shifts, the totaliser readings taken at their ends,
// and the report that sets what the meters say against the sales the
// journal recorded meanwhile, per pump and in total; the same report over a
// calendar day in the site's time zone; totals of sales grouped by pump,
// hour or day. Plain values and arithmetic: the journal stores, Books
// (books.hpp) reads the meters and assembles.
#pragma once

#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "forecourt/model.hpp"

namespace tarvenix::forecourt {

// A pump's totaliser counters read at one end of a shift. A pump that gave
// no reading (offline, refused, no answer in time) has none, with the
// reason: a missing reading is recorded as missing, never guessed.
struct MeterReading {
  std::string pumpId;
  std::int64_t takenMs = 0;
  std::optional<std::int64_t> volume;  // raw counters, both or neither
  std::optional<std::int64_t> money;
  double scale = 100;  // counter units per volume or money unit
  // The pump was authorised or delivering: a sale straddles the reading.
  bool busy = false;
  std::string missing;  // why there is no reading
  bool Present() const { return volume && money; }
};

struct Shift {
  std::int64_t id = 0;
  std::int64_t openedMs = 0;
  std::string openedBy;
  std::optional<std::int64_t> closedMs;
  std::string closedBy;
  std::vector<MeterReading> opening;
  std::vector<MeterReading> closing;
};

// What opening or closing a shift came to; `reason` is empty on success,
// else "shift-open", "no-shift" or "journal-error".
struct ShiftOutcome {
  std::string reason;
  std::string message;
  std::optional<Shift> shift;
  bool Ok() const { return reason.empty(); }
};

// The shift as JSON; its readings too when `readings`.
nlohmann::json ToJson(const Shift& shift, bool readings);

// Sales in the journal's own units.
struct SalesFigures {
  std::int64_t count = 0;
  std::int64_t volume = 0;  // hundredths
  std::int64_t money = 0;   // thousandths
  void Add(const SalesFigures& other);
};

// The report's columns of sales by state. "open" are sales still
// authorising, authorised or fuelling when the report was made;
// "recovered" are sales an earlier run left and this one settled, and
// "fallback" those the service authorised itself while no point of sale
// was heard; both are counted there besides their state.
inline constexpr std::string_view kReportStates[] = {"cleared", "payable", "locked",    "cancelled",
                                                     "failed",  "open",    "recovered", "fallback"};

struct PumpReport {
  std::string pumpId;
  std::string name;
  std::optional<MeterReading> opening;
  std::optional<MeterReading> closing;
  // The counters' difference, in hundredths and thousandths; empty when a
  // reading is missing or the counters went back.
  std::optional<std::int64_t> meterVolume;
  std::optional<std::int64_t> meterMoney;
  std::map<std::string, SalesFigures, std::less<>> byState;
  // Every sale the meters covered, whatever its state: cancelled and failed
  // ones add nothing, an open one its fuel so far.
  SalesFigures sales;
  // Meter difference minus sales: fuel that left without a sale (> 0) or
  // a sale without fuel (< 0). Empty with the meter difference.
  std::optional<std::int64_t> varianceVolume;
  std::optional<std::int64_t> varianceMoney;
  // What the counters' rounding alone may make of the variance: one counter
  // unit per sale, as a sale's reconciliation allows. Within it, the
  // variance is no fuel.
  std::optional<std::int64_t> roundingVolume;
  std::optional<std::int64_t> roundingMoney;
  std::int64_t alerts = 0;
  // "missing-opening", "missing-closing", "counters-went-back",
  // "busy-at-opening", "busy-at-closing"; the total: the pumps' flags.
  std::vector<std::string> flags;
};

// A report's input: the sales and alerts created in [fromMs, toMs), the
// readings at its ends and, per pump, the sales its meters covered (for a
// shift the same sales; for a day those between the pump's two readings).
struct ReportInput {
  std::int64_t fromMs = 0;
  std::int64_t toMs = 0;
  std::vector<std::pair<std::string, std::string>> pumps;  // id, name, in order
  std::vector<MeterReading> opening;
  std::vector<MeterReading> closing;
  std::vector<Transaction> sales;
  std::map<std::string, std::vector<Transaction>> meterSales;
  std::vector<Alert> alerts;
};

struct Report {
  std::int64_t fromMs = 0;
  std::int64_t toMs = 0;
  std::vector<PumpReport> pumps;
  PumpReport total;  // meters and variance over the pumps that have them
  std::vector<Alert> alerts;
};

Report BuildReport(const ReportInput& input);
nlohmann::json ToJson(const Report& report);
// One row per pump and a total row under a header row; RFC 4180 (CRLF,
// quoted where needed). Amounts as plain decimals a spreadsheet reads.
std::string ToCsv(const Report& report);

// "12.30" from 1230 hundredths, "-0.050" from -50 thousandths: exact, with
// the unit's decimals.
std::string Decimal(std::int64_t units, int decimals);
// A field quoted as RFC 4180 asks when it holds a comma, quote or line
// break; text that a spreadsheet would take for a formula gets a leading
// apostrophe.
std::string CsvField(std::string_view text);

// The site's time zone, an IANA name ("Europe/Berlin") from the system's
// time zone database (tzdata). glibc converts through the TZ variable, so
// each conversion sets TZ for the duration under one lock and puts it back:
// nothing else in the service uses local time (its times are UTC).
class SiteZone {
 public:
  // Raises std::invalid_argument for a name the database does not have.
  explicit SiteZone(std::string name);
  // Why `name` is not a zone of the database, or nothing when it is.
  static std::optional<std::string> Check(std::string_view name);
  const std::string& Name() const { return name_; }

  struct Local {
    int year = 0;
    int month = 0;  // 1..12
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
    long offsetS = 0;  // east of UTC
  };
  // The calendar day's bounds [start, end) as Unix ms: its first and the
  // next day's first instant (23 or 25 hours on a day the clocks change).
  std::pair<std::int64_t, std::int64_t> Day(int year, int month, int day) const;
  std::vector<Local> ToLocal(const std::vector<std::int64_t>& unixMs) const;

 private:
  std::string name_;
};

// "2026-12-08" as year, month, day, when it is a date of the calendar.
std::optional<std::tuple<int, int, int>> ParseDate(std::string_view text);
// RFC 3339 with the local offset: "2026-12-08T13:00:00+01:00".
std::string LocalRfc3339(const SiteZone::Local& local);

// Totals of delivered sales (payable, locked, cleared) by pump, local hour
// or local day.
enum class SalesGroup { kPump, kHour, kDay };
std::optional<SalesGroup> SalesGroupByName(std::string_view name);
// A delivered sale as the totals need it.
struct SaleFigure {
  std::string pumpId;
  std::int64_t createdMs = 0;
  std::int64_t volume = 0;  // hundredths
  std::int64_t money = 0;   // thousandths
};
struct SalesRow {
  std::string key;  // the pump, or the bucket's first instant (hour) or date (day)
  SalesFigures figures;
};
struct SalesSummary {
  std::vector<SalesRow> rows;
  SalesFigures total;
};
SalesSummary SummariseSales(const std::vector<SaleFigure>& sales, SalesGroup group,
                            const SiteZone& zone);
nlohmann::json ToJson(const SalesSummary& summary);
std::string ToCsv(const SalesSummary& summary, SalesGroup group);

}  // namespace tarvenix::forecourt
