#include "forecourt/books.hpp"

#include <algorithm>
#include <future>

#include "forecourt/database.hpp"

namespace tarvenix::forecourt {
namespace {

MeterReading Missing(std::string pumpId, std::int64_t atMs, std::string why) {
  return {.pumpId = std::move(pumpId), .takenMs = atMs, .missing = std::move(why)};
}

}  // namespace

Books::Books(Forecourt& forecourt, std::chrono::milliseconds wait)
    : forecourt_(forecourt),
      wait_(wait),
      zone_(forecourt.GetConfig().timezone.empty() ? "UTC" : forecourt.GetConfig().timezone) {}

std::vector<std::pair<std::string, std::string>> Books::PumpNames() const {
  std::vector<std::pair<std::string, std::string>> out;
  for (const LineConfig& line : forecourt_.GetConfig().lines) {
    for (const PumpConfig& pump : line.pumps) {
      out.emplace_back(pump.id, pump.name);
    }
  }
  return out;
}

// Every pump's counters at once: each line reads its own pumps in turn,
// the lines in parallel.
std::vector<MeterReading> Books::ReadMeters() {
  Journal& journal = forecourt_.GetJournal();
  struct Pending {
    MeterReading reading;
    Deadline deadline;
    std::future<Outcome> future;
  };
  std::vector<Pending> pending;
  for (const PumpSnapshot& pump : forecourt_.Pumps()) {
    Pending p{.reading = {.pumpId = pump.id,
                          .busy = pump.state == PumpState::kAuthorised ||
                                  pump.state == PumpState::kFuelling}};
    if (!pump.online) {
      p.reading.takenMs = journal.NowMsValue();
      p.reading.missing = pump.state == PumpState::kConnecting ? "the pump has not answered yet"
                                                               : "the pump is offline";
    } else {
      p.deadline = forecourt_.DeadlineIn(wait_);
      p.future = forecourt_.ReadTotals(pump.id, p.deadline);
    }
    pending.push_back(std::move(p));
  }
  const auto until = std::chrono::steady_clock::now() + wait_;
  std::vector<MeterReading> out;
  for (Pending& p : pending) {
    if (p.future.valid()) {
      if (p.future.wait_until(until) == std::future_status::ready) {
        const Outcome outcome = p.future.get();
        p.reading.takenMs = journal.NowMsValue();
        if (outcome.Ok() && outcome.totals) {
          p.reading.volume = outcome.totals->volume;
          p.reading.money = outcome.totals->money;
          p.reading.scale = outcome.totals->scale;
        } else {
          p.reading.missing = outcome.reason + ": " + outcome.message;
        }
      } else {
        p.reading.takenMs = journal.NowMsValue();
        // A reading sent but not yet answered is not waited for: it is
        // missing here whatever it comes to.
        p.reading.missing =
            p.deadline.Withdraw() ? "the line could not read it in time" : "no answer in time";
      }
    }
    out.push_back(std::move(p.reading));
  }
  return out;
}

ShiftOutcome Books::OpenShift(const std::string& by, AuditRecord* audit) {
  Journal& journal = forecourt_.GetJournal();
  if (auto open = journal.CurrentShift()) {
    return {.reason = "shift-open",
            .message = "shift " + std::to_string(open->id) + " is open: close it first",
            .shift = std::move(open)};
  }
  const std::int64_t startedMs = journal.NowMsValue();
  const auto readings = ReadMeters();
  try {
    return journal.OpenShift(by, startedMs, readings, audit);
  } catch (const DatabaseError& e) {
    return {.reason = "journal-error", .message = e.what()};
  }
}

ShiftOutcome Books::CloseShift(const std::string& by, AuditRecord* audit) {
  Journal& journal = forecourt_.GetJournal();
  if (!journal.CurrentShift()) {
    return {.reason = "no-shift", .message = "no shift is open"};
  }
  const std::int64_t startedMs = journal.NowMsValue();
  const auto readings = ReadMeters();
  try {
    ShiftOutcome outcome = journal.CloseShift(by, startedMs, readings, audit);
    if (outcome.Ok()) {
      ReportClosedShifts();
    }
    return outcome;
  } catch (const DatabaseError& e) {
    return {.reason = "journal-error", .message = e.what()};
  }
}

nlohmann::json Books::ShiftReportJson(const ReportOutcome& outcome) const {
  nlohmann::json report = ToJson(outcome.report);
  report["kind"] = "shift";
  report["shift"] = ToJson(*outcome.shift, false);
  return report;
}

void Books::ReportClosedShifts() {
  try {
    forecourt_.GetJournal().EnqueueShiftReports([this](std::int64_t id) {
      const ReportOutcome outcome = ShiftReport(id);
      return outcome.Ok() ? ShiftReportJson(outcome)
                          : nlohmann::json{{"shift", id}, {"error", outcome.reason}};
    });
  } catch (const DatabaseError&) {
    // Kept for the next close or start; the failing journal is reported.
  }
}

ReportOutcome Books::ShiftReport(std::int64_t id) {
  Journal& journal = forecourt_.GetJournal();
  auto shift = journal.GetShift(id);
  if (!shift) {
    return {.reason = "not-found", .message = "no shift " + std::to_string(id)};
  }
  if (!shift->closedMs) {
    return {.reason = "shift-open",
            .message = "shift " + std::to_string(id) +
                       " is still open: its report comes when it "
                       "closes",
            .shift = std::move(shift)};
  }
  ReportInput input{.fromMs = shift->openedMs,
                    .toMs = *shift->closedMs,
                    .pumps = PumpNames(),
                    .opening = shift->opening,
                    .closing = shift->closing,
                    .sales = journal.CreatedBetween(shift->openedMs, *shift->closedMs),
                    .alerts = journal.AlertsBetween(shift->openedMs, *shift->closedMs)};
  for (const Transaction& txn : input.sales) {
    input.meterSales[txn.pumpId].push_back(txn);
  }
  ReportOutcome outcome{.shift = std::move(shift)};
  outcome.report = BuildReport(input);
  return outcome;
}

ReportOutcome Books::DayReport(int year, int month, int day) {
  Journal& journal = forecourt_.GetJournal();
  const auto [fromMs, toMs] = zone_.Day(year, month, day);
  if (fromMs > journal.NowMsValue()) {
    return {.reason = "future-day", .message = "the day has not begun in " + zone_.Name()};
  }
  ReportInput input{.fromMs = fromMs,
                    .toMs = toMs,
                    .pumps = PumpNames(),
                    .opening = journal.ReadingsAtOrBefore(fromMs),
                    .closing = journal.ReadingsAtOrBefore(toMs - 1),
                    .sales = journal.CreatedBetween(fromMs, toMs),
                    .alerts = journal.AlertsBetween(fromMs, toMs)};
  // The same reading at both ends is no reading in the day.
  for (MeterReading& closing : input.closing) {
    const auto opening = std::ranges::find(input.opening, closing.pumpId, &MeterReading::pumpId);
    if (opening != input.opening.end() && opening->takenMs == closing.takenMs) {
      closing = Missing(closing.pumpId, closing.takenMs, "no reading during the day");
    }
  }
  for (const auto& [id, name] : input.pumps) {
    if (std::ranges::find(input.opening, id, &MeterReading::pumpId) == input.opening.end()) {
      input.opening.push_back(Missing(id, fromMs, "no reading at or before the day's start"));
    }
    if (std::ranges::find(input.closing, id, &MeterReading::pumpId) == input.closing.end()) {
      input.closing.push_back(Missing(id, toMs, "no reading at or before the day's end"));
    }
  }
  // Each pump's meters cover the sales between its two readings.
  std::int64_t earliest = fromMs;
  std::int64_t latest = fromMs;
  for (const MeterReading& r : input.opening) {
    earliest = std::min(earliest, r.takenMs);
  }
  for (const MeterReading& r : input.closing) {
    latest = std::max(latest, r.takenMs);
  }
  const auto covered = journal.CreatedBetween(earliest, latest);
  for (const MeterReading& opening : input.opening) {
    const auto closing = std::ranges::find(input.closing, opening.pumpId, &MeterReading::pumpId);
    if (!opening.Present() || closing == input.closing.end() || !closing->Present()) {
      continue;
    }
    auto& sales = input.meterSales[opening.pumpId];
    for (const Transaction& txn : covered) {
      if (txn.pumpId == opening.pumpId && txn.createdMs >= opening.takenMs &&
          txn.createdMs < closing->takenMs) {
        sales.push_back(txn);
      }
    }
  }
  ReportOutcome outcome;
  outcome.report = BuildReport(input);
  return outcome;
}

SalesSummary Books::Sales(std::int64_t fromMs, std::int64_t toMs, SalesGroup group) {
  return SummariseSales(forecourt_.GetJournal().DeliveredBetween(fromMs, toMs), group, zone_);
}

}  // namespace tarvenix::forecourt
