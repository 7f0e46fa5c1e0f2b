// The station's books over the service: opens and closes shifts with every
// pump's totaliser reading, and assembles the shift, day and sales reports
// from the journal. The readings go through the line workers' queues like
// any command; a pump that gives none has a missing reading.
//
// Blocking: OpenShift and CloseShift wait for the readings (at most `wait`
// of the line's clock and of the caller's), so they run off the server's
// I/O threads; the reports only read the journal.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "forecourt/forecourt.hpp"
#include "forecourt/shifts.hpp"

namespace tarvenix::forecourt {

struct ReportOutcome {
  std::string reason;  // empty, "not-found", "shift-open" or "future-day"
  std::string message;
  std::optional<Shift> shift;
  Report report;
  bool Ok() const { return reason.empty(); }
};

class Books {
 public:
  // Raises std::invalid_argument when the configured time zone is unknown
  // (the configuration's check refuses it first).
  explicit Books(Forecourt& forecourt,
                 std::chrono::milliseconds wait = std::chrono::milliseconds(30'000));

  // Refused with "shift-open" / "no-shift" before any reading when the
  // journal already says so, and at the commit when another request got
  // there first; "journal-error" when the commit fails (nothing recorded).
  // `audit`, when given, is committed with the shift.
  ShiftOutcome OpenShift(const std::string& by, AuditRecord* audit = nullptr);
  ShiftOutcome CloseShift(const std::string& by, AuditRecord* audit = nullptr);

  // A closed shift's report.
  ReportOutcome ShiftReport(std::int64_t id);
  // The report as the HTTP interface and the head office see it.
  nlohmann::json ShiftReportJson(const ReportOutcome& outcome) const;
  // Puts every closed shift's report not yet there in the outbox: after a
  // close, and at start for a close whose report a crash left out.
  void ReportClosedShifts();
  // The calendar day in the site's zone. Its meters are, per pump, the last
  // sound shift readings at or before the day's start and its end, each
  // with its time: the variance sets them against the sales between those
  // two readings, while the sales by state are the day's own.
  ReportOutcome DayReport(int year, int month, int day);
  // Delivered sales created in [fromMs, toMs).
  SalesSummary Sales(std::int64_t fromMs, std::int64_t toMs, SalesGroup group);

  const SiteZone& Zone() const { return zone_; }

 private:
  std::vector<MeterReading> ReadMeters();
  std::vector<std::pair<std::string, std::string>> PumpNames() const;

  Forecourt& forecourt_;
  std::chrono::milliseconds wait_;
  SiteZone zone_;
};

}  // namespace tarvenix::forecourt
