#include "forecourt/shifts.hpp"

#include <fmt/core.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <mutex>
#include <stdexcept>

#include "forecourt/amounts.hpp"
#include "forecourt/json.hpp"

namespace tarvenix::forecourt {
namespace {

using nlohmann::json;

SalesFigures FiguresOf(const Transaction& txn) {
  return {.count = 1, .volume = VolumeHundredths(txn.volume), .money = MoneyThousandths(txn.money)};
}

std::string_view ReportState(TxnState state) {
  return IsOpen(state) ? std::string_view("open") : Name(state);
}

std::optional<MeterReading> ReadingOf(const std::vector<MeterReading>& readings,
                                      const std::string& pumpId) {
  const auto it = std::ranges::find(readings, pumpId, &MeterReading::pumpId);
  return it == readings.end() ? std::nullopt : std::optional(*it);
}

// Counter units in the journal's units: hundredths of volume, thousandths of
// money.
std::int64_t CounterUnits(std::int64_t counter, double scale, int perUnit) {
  return std::llround(static_cast<double>(counter) * perUnit / scale);
}

json FiguresJson(const SalesFigures& f) {
  return {{"count", f.count},
          {"volume", FromHundredths(f.volume)},
          {"money", FromThousandths(f.money)}};
}

json ReadingJson(const std::optional<MeterReading>& reading) {
  if (!reading) {
    return nullptr;
  }
  json out = {{"taken_at", Rfc3339(reading->takenMs)}, {"busy", reading->busy}};
  if (!reading->Present()) {
    out["missing"] = reading->missing.empty() ? "no reading" : reading->missing;
    return out;
  }
  out["volume_counter"] = *reading->volume;
  out["money_counter"] = *reading->money;
  out["volume"] = FromHundredths(CounterUnits(*reading->volume, reading->scale, 100));
  out["money"] = FromThousandths(CounterUnits(*reading->money, reading->scale, 1000));
  return out;
}

json PairJson(const std::optional<std::int64_t>& volume, const std::optional<std::int64_t>& money) {
  if (!volume || !money) {
    return nullptr;
  }
  return {{"volume", FromHundredths(*volume)}, {"money", FromThousandths(*money)}};
}

json PumpJson(const PumpReport& p, bool total) {
  json out = {{"pump", p.pumpId}};
  if (!total) {
    out["name"] = p.name;
    out["opening"] = ReadingJson(p.opening);
    out["closing"] = ReadingJson(p.closing);
  }
  out["meter"] = PairJson(p.meterVolume, p.meterMoney);
  out["sales"] = FiguresJson(p.sales);
  json states = json::object();
  for (const auto& [state, figures] : p.byState) {
    states[state] = FiguresJson(figures);
  }
  out["by_state"] = std::move(states);
  out["variance"] = PairJson(p.varianceVolume, p.varianceMoney);
  if (p.varianceVolume) {
    out["variance"]["rounding"] = PairJson(p.roundingVolume, p.roundingMoney);
  }
  out["alerts"] = p.alerts;
  out["flags"] = p.flags;
  return out;
}

std::string Optional(const std::optional<std::int64_t>& units, int decimals) {
  return units ? Decimal(*units, decimals) : std::string();
}

std::mutex& ZoneMutex() {
  static std::mutex mutex;
  return mutex;
}

// TZ set to the zone while alive, then put back as it was.
class ZoneScope {
 public:
  explicit ZoneScope(const std::string& name) : lock_(ZoneMutex()) {
    if (const char* old = std::getenv("TZ")) {
      saved_ = old;
    }
    // UTC needs no database: a machine without tzdata still runs.
    ::setenv("TZ", name == "UTC" ? "UTC0" : (":" + name).c_str(), 1);
    ::tzset();
  }
  ~ZoneScope() {
    if (saved_) {
      ::setenv("TZ", saved_->c_str(), 1);
    } else {
      ::unsetenv("TZ");
    }
    ::tzset();
  }
  ZoneScope(const ZoneScope&) = delete;
  ZoneScope& operator=(const ZoneScope&) = delete;

 private:
  std::lock_guard<std::mutex> lock_;
  std::optional<std::string> saved_;
};

std::int64_t LocalMidnight(int year, int month, int day) {
  std::tm local{};
  local.tm_year = year - 1900;
  local.tm_mon = month - 1;
  local.tm_mday = day;
  local.tm_isdst = -1;  // whichever applies then
  return static_cast<std::int64_t>(std::mktime(&local)) * 1000;
}

bool Leap(int year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

}  // namespace

void SalesFigures::Add(const SalesFigures& other) {
  count += other.count;
  volume += other.volume;
  money += other.money;
}

json ToJson(const Shift& shift, bool readings) {
  json out = {{"id", shift.id},
              {"opened_at", Rfc3339(shift.openedMs)},
              {"opened_by", shift.openedBy},
              {"closed_at", shift.closedMs ? json(Rfc3339(*shift.closedMs)) : json(nullptr)},
              {"closed_by", shift.closedMs ? json(shift.closedBy) : json(nullptr)}};
  if (readings) {
    for (const auto& [key, list] :
         {std::pair("opening", &shift.opening), std::pair("closing", &shift.closing)}) {
      json items = json::array();
      for (const MeterReading& r : *list) {
        json item = ReadingJson(r);
        item["pump"] = r.pumpId;
        items.push_back(std::move(item));
      }
      out[key] = std::move(items);
    }
  }
  return out;
}

Report BuildReport(const ReportInput& input) {
  Report report{.fromMs = input.fromMs, .toMs = input.toMs, .alerts = input.alerts};
  // The configured pumps, then any other that left a trace (since removed).
  auto pumps = input.pumps;
  auto note = [&](const std::string& id) {
    if (std::ranges::find(pumps, id, &std::pair<std::string, std::string>::first) == pumps.end()) {
      pumps.emplace_back(id, std::string());
    }
  };
  for (const auto& r : input.opening) {
    note(r.pumpId);
  }
  for (const auto& r : input.closing) {
    note(r.pumpId);
  }
  for (const auto& t : input.sales) {
    note(t.pumpId);
  }

  PumpReport& total = report.total;
  total.pumpId = "total";
  for (std::string_view state : kReportStates) {
    total.byState[std::string(state)] = {};
  }
  for (const auto& [id, name] : pumps) {
    PumpReport p{.pumpId = id,
                 .name = name,
                 .opening = ReadingOf(input.opening, id),
                 .closing = ReadingOf(input.closing, id)};
    for (std::string_view state : kReportStates) {
      p.byState[std::string(state)] = {};
    }
    for (const Transaction& txn : input.sales) {
      if (txn.pumpId == id) {
        p.byState[std::string(ReportState(txn.state))].Add(FiguresOf(txn));
        if (txn.recovered) {
          p.byState["recovered"].Add(FiguresOf(txn));
        }
        if (txn.fallback) {
          p.byState["fallback"].Add(FiguresOf(txn));
        }
      }
    }
    if (const auto it = input.meterSales.find(id); it != input.meterSales.end()) {
      for (const Transaction& txn : it->second) {
        p.sales.Add(FiguresOf(txn));
      }
    }
    const bool opened = p.opening && p.opening->Present();
    const bool closed = p.closing && p.closing->Present();
    if (!opened) {
      p.flags.emplace_back("missing-opening");
    }
    if (!closed) {
      p.flags.emplace_back("missing-closing");
    }
    if (p.opening && p.opening->busy) {
      p.flags.emplace_back("busy-at-opening");
    }
    if (p.closing && p.closing->busy) {
      p.flags.emplace_back("busy-at-closing");
    }
    if (opened && closed) {
      const std::int64_t volume = *p.closing->volume - *p.opening->volume;
      const std::int64_t money = *p.closing->money - *p.opening->money;
      if (volume < 0 || money < 0) {
        // A reset register: the difference means nothing.
        p.flags.emplace_back("counters-went-back");
      } else {
        p.meterVolume = CounterUnits(volume, p.closing->scale, 100);
        p.meterMoney = CounterUnits(money, p.closing->scale, 1000);
        p.varianceVolume = *p.meterVolume - p.sales.volume;
        p.varianceMoney = *p.meterMoney - p.sales.money;
        p.roundingVolume = p.sales.count * CounterUnits(1, p.closing->scale, 100);
        p.roundingMoney = p.sales.count * CounterUnits(1, p.closing->scale, 1000);
      }
    }
    p.alerts = std::ranges::count(input.alerts, id, &Alert::pumpId);

    for (const auto& [state, figures] : p.byState) {
      total.byState[state].Add(figures);
    }
    total.sales.Add(p.sales);
    if (p.meterVolume) {
      total.meterVolume = total.meterVolume.value_or(0) + *p.meterVolume;
      total.meterMoney = total.meterMoney.value_or(0) + *p.meterMoney;
      total.varianceVolume = total.varianceVolume.value_or(0) + *p.varianceVolume;
      total.varianceMoney = total.varianceMoney.value_or(0) + *p.varianceMoney;
      total.roundingVolume = total.roundingVolume.value_or(0) + *p.roundingVolume;
      total.roundingMoney = total.roundingMoney.value_or(0) + *p.roundingMoney;
    }
    for (const std::string& flag : p.flags) {
      total.flags.push_back(id + ":" + flag);
    }
    report.pumps.push_back(std::move(p));
  }
  total.alerts = static_cast<std::int64_t>(input.alerts.size());
  return report;
}

json ToJson(const Report& report) {
  json pumps = json::array();
  for (const PumpReport& p : report.pumps) {
    pumps.push_back(PumpJson(p, false));
  }
  json alerts = json::array();
  for (const Alert& a : report.alerts) {
    alerts.push_back(ToJson(a));
  }
  return {{"from", Rfc3339(report.fromMs)},
          {"to", Rfc3339(report.toMs)},
          {"pumps", std::move(pumps)},
          {"total", PumpJson(report.total, true)},
          {"alerts", std::move(alerts)}};
}

std::string Decimal(std::int64_t units, int decimals) {
  std::int64_t scale = 1;
  for (int i = 0; i < decimals; ++i) {
    scale *= 10;
  }
  const std::uint64_t magnitude =
      units < 0 ? static_cast<std::uint64_t>(-(units + 1)) + 1 : static_cast<std::uint64_t>(units);
  const auto whole = magnitude / static_cast<std::uint64_t>(scale);
  const auto fraction = magnitude % static_cast<std::uint64_t>(scale);
  return fmt::format("{}{}.{:0{}}", units < 0 ? "-" : "", whole, fraction, decimals);
}

std::string CsvField(std::string_view text) {
  std::string value(text);
  if (!value.empty() && std::string_view("=+-@").find(value.front()) != std::string_view::npos) {
    value.insert(value.begin(), '\'');
  }
  if (value.find_first_of(",\"\r\n") == std::string::npos) {
    return value;
  }
  std::string quoted = "\"";
  for (char c : value) {
    quoted += c;
    if (c == '"') {
      quoted += '"';
    }
  }
  return quoted + '"';
}

std::string ToCsv(const Report& report) {
  std::string out =
      "pump,name,opening_taken_at,opening_volume,opening_money,closing_taken_at,closing_volume,"
      "closing_money,meter_volume,meter_money,sales_count,sales_volume,sales_money";
  for (std::string_view state : kReportStates) {
    out += fmt::format(",{0}_count,{0}_volume,{0}_money", state);
  }
  out += ",variance_volume,variance_money,rounding_volume,rounding_money,alerts,flags\r\n";
  auto reading = [](const std::optional<MeterReading>& r) {
    if (!r) {
      return std::string(",,");
    }
    const std::string at = Rfc3339(r->takenMs);
    if (!r->Present()) {
      return at + ",,";
    }
    return at + "," + Decimal(CounterUnits(*r->volume, r->scale, 100), 2) + "," +
           Decimal(CounterUnits(*r->money, r->scale, 1000), 3);
  };
  auto row = [&](const PumpReport& p, bool total) {
    std::string flags;
    for (const std::string& flag : p.flags) {
      flags += (flags.empty() ? "" : " ") + flag;
    }
    out += CsvField(p.pumpId) + "," + CsvField(p.name) + "," +
           (total ? std::string(",,") : reading(p.opening)) + "," +
           (total ? std::string(",,") : reading(p.closing)) + "," + Optional(p.meterVolume, 2) +
           "," + Optional(p.meterMoney, 3) + "," +
           fmt::format("{},{},{}", p.sales.count, Decimal(p.sales.volume, 2),
                       Decimal(p.sales.money, 3));
    for (std::string_view state : kReportStates) {
      const SalesFigures& f = p.byState.find(state)->second;
      out += fmt::format(",{},{},{}", f.count, Decimal(f.volume, 2), Decimal(f.money, 3));
    }
    out += "," + Optional(p.varianceVolume, 2) + "," + Optional(p.varianceMoney, 3) + "," +
           Optional(p.roundingVolume, 2) + "," + Optional(p.roundingMoney, 3) + "," +
           std::to_string(p.alerts) + "," + CsvField(flags) + "\r\n";
  };
  for (const PumpReport& p : report.pumps) {
    row(p, false);
  }
  row(report.total, true);
  return out;
}

// --- The site's time zone

std::optional<std::string> SiteZone::Check(std::string_view name) {
  const bool plain =
      !name.empty() && name.size() <= 64 && name.front() != '/' &&
      name.find("..") == std::string_view::npos && std::ranges::all_of(name, [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '/' || c == '_' || c == '-' || c == '+';
      });
  if (!plain) {
    return "'" + std::string(name) + "' is not a time zone name such as \"Europe/Berlin\"";
  }
  if (name == "UTC") {
    return std::nullopt;
  }
  const char* dir = std::getenv("TZDIR");
  const std::string path =
      std::string(dir != nullptr && *dir != '\0' ? dir : "/usr/share/zoneinfo") + "/" +
      std::string(name);
  std::ifstream file(path, std::ios::binary);
  char magic[4] = {};
  if (!file.read(magic, sizeof magic) || std::string_view(magic, 4) != "TZif") {
    return "no time zone '" + std::string(name) + "' in the time zone database (" + path + ")";
  }
  return std::nullopt;
}

SiteZone::SiteZone(std::string name) : name_(std::move(name)) {
  if (auto why = Check(name_)) {
    throw std::invalid_argument(*why);
  }
}

std::pair<std::int64_t, std::int64_t> SiteZone::Day(int year, int month, int day) const {
  const ZoneScope zone(name_);
  return {LocalMidnight(year, month, day), LocalMidnight(year, month, day + 1)};
}

std::vector<SiteZone::Local> SiteZone::ToLocal(const std::vector<std::int64_t>& unixMs) const {
  std::vector<Local> out;
  out.reserve(unixMs.size());
  const ZoneScope zone(name_);
  for (std::int64_t ms : unixMs) {
    const auto seconds = static_cast<std::time_t>(ms >= 0 ? ms / 1000 : (ms - 999) / 1000);
    std::tm local{};
    localtime_r(&seconds, &local);
    out.push_back({.year = local.tm_year + 1900,
                   .month = local.tm_mon + 1,
                   .day = local.tm_mday,
                   .hour = local.tm_hour,
                   .minute = local.tm_min,
                   .second = local.tm_sec,
                   .offsetS = local.tm_gmtoff});
  }
  return out;
}

std::optional<std::tuple<int, int, int>> ParseDate(std::string_view text) {
  if (text.size() != 10 || text[4] != '-' || text[7] != '-') {
    return std::nullopt;
  }
  auto number = [&](std::size_t at, std::size_t length) -> std::optional<int> {
    int value = 0;
    const char* first = text.data() + at;
    const auto [end, ec] = std::from_chars(first, first + length, value);
    if (ec != std::errc{} || end != first + length || *first == '-' || *first == '+') {
      return std::nullopt;
    }
    return value;
  };
  const auto year = number(0, 4);
  const auto month = number(5, 2);
  const auto day = number(8, 2);
  if (!year || !month || !day || *year < 1970 || *month < 1 || *month > 12 || *day < 1) {
    return std::nullopt;
  }
  constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const int last = kDays[*month - 1] + (*month == 2 && Leap(*year) ? 1 : 0);
  if (*day > last) {
    return std::nullopt;
  }
  return std::tuple(*year, *month, *day);
}

std::string LocalRfc3339(const SiteZone::Local& local) {
  const long offset = local.offsetS < 0 ? -local.offsetS : local.offsetS;
  return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}{}{:02}:{:02}", local.year, local.month,
                     local.day, local.hour, local.minute, local.second,
                     local.offsetS < 0 ? '-' : '+', offset / 3600, offset % 3600 / 60);
}

// --- Totals of sales

std::optional<SalesGroup> SalesGroupByName(std::string_view name) {
  if (name == "pump") {
    return SalesGroup::kPump;
  }
  if (name == "hour") {
    return SalesGroup::kHour;
  }
  if (name == "day") {
    return SalesGroup::kDay;
  }
  return std::nullopt;
}

SalesSummary SummariseSales(const std::vector<SaleFigure>& sales, SalesGroup group,
                            const SiteZone& zone) {
  std::vector<std::int64_t> times;
  if (group != SalesGroup::kPump) {
    times.reserve(sales.size());
    for (const SaleFigure& sale : sales) {
      times.push_back(sale.createdMs);
    }
  }
  const auto locals = times.empty() ? std::vector<SiteZone::Local>() : zone.ToLocal(times);
  // Ordered by the bucket's first instant (hours), else by the key.
  std::map<std::pair<std::int64_t, std::string>, SalesFigures> buckets;
  SalesSummary summary;
  for (std::size_t i = 0; i < sales.size(); ++i) {
    const SaleFigure& sale = sales[i];
    std::pair<std::int64_t, std::string> key{0, sale.pumpId};
    if (group == SalesGroup::kHour) {
      SiteZone::Local start = locals[i];
      const std::int64_t intoHour =
          (static_cast<std::int64_t>(start.minute) * 60 + start.second) * 1000 +
          sale.createdMs % 1000;
      start.minute = start.second = 0;
      key = {sale.createdMs - intoHour, LocalRfc3339(start)};
    } else if (group == SalesGroup::kDay) {
      key.second = fmt::format("{:04}-{:02}-{:02}", locals[i].year, locals[i].month, locals[i].day);
    }
    const SalesFigures figures{.count = 1, .volume = sale.volume, .money = sale.money};
    buckets[key].Add(figures);
    summary.total.Add(figures);
  }
  for (const auto& [key, figures] : buckets) {
    summary.rows.push_back({.key = key.second, .figures = figures});
  }
  return summary;
}

json ToJson(const SalesSummary& summary) {
  json rows = json::array();
  for (const SalesRow& row : summary.rows) {
    json r = FiguresJson(row.figures);
    r["key"] = row.key;
    rows.push_back(std::move(r));
  }
  return {{"groups", std::move(rows)}, {"total", FiguresJson(summary.total)}};
}

std::string ToCsv(const SalesSummary& summary, SalesGroup group) {
  constexpr std::string_view kKeys[] = {"pump", "hour", "day"};
  std::string out =
      fmt::format("{},count,volume,money\r\n", kKeys[static_cast<std::size_t>(group)]);
  auto row = [&](std::string_view key, const SalesFigures& f) {
    out += fmt::format("{},{},{},{}\r\n", CsvField(key), f.count, Decimal(f.volume, 2),
                       Decimal(f.money, 3));
  };
  for (const SalesRow& r : summary.rows) {
    row(r.key, r.figures);
  }
  row("total", summary.total);
  return out;
}

}  // namespace tarvenix::forecourt
