// The station's books on simulated dispensers and simulated time: a shift's
// report set against the dispensers' own counters, the day's bounds in the
// site's zone, and the queries the reports refuse.
#include <gtest/gtest.h>

#include <filesystem>
#include <future>
#include <limits>
#include <sstream>

#include "forecourt/api/api.hpp"
#include "forecourt/json.hpp"
#include "forecourt/shifts.hpp"
#include "support/simulated_api.hpp"

namespace tarvenix::forecourt {
namespace {

using nlohmann::json;

class BooksTest : public testing::SimulatedApiTest {
 protected:
  void SetUp() override {
    SimulatedApiTest::SetUp();
    maxSteps_ = 40'000;
    config_.timezone = "Europe/Berlin";
    for (std::uint8_t addr = 1; addr <= 3; ++addr) {
      peer_.AddDispenser(addr);
    }
    Start();
  }
  // Every request steps the lines while it is answered.
  bool StepsLines(const api::Route&) const override { return true; }

  json Get(const std::string& target) {
    const api::Reply reply = Call("GET", target);
    EXPECT_EQ(reply.status, 200u) << target << ": " << reply.body;
    return json::parse(reply.body);
  }
  // A delivered sale of `volume` on `pump`.
  std::int64_t Sell(const std::string& pump, double volume) {
    auto started = forecourt_->Authorise(
        {.pumpId = pump, .kind = PresetKind::kVolume, .preset = volume, .client = "pos1"});
    RunUntil(
        [&] { return started.wait_for(std::chrono::seconds(0)) == std::future_status::ready; });
    const Outcome outcome = started.get();
    EXPECT_TRUE(outcome.Ok()) << outcome.message;
    const std::int64_t id = outcome.transaction->id;
    RunUntil([&] {
      const auto t = forecourt_->GetJournal().Get(id);
      return IsUnpaid(t->state) && t->reconciliation != Reconciliation::kPending;
    });
    return id;
  }
  // The simulated dispenser's counters (hundredths).
  std::pair<std::int64_t, std::int64_t> Counters(std::uint8_t addr) {
    return {static_cast<std::int64_t>(peer_.At(addr)->TotalVolume()),
            static_cast<std::int64_t>(peer_.At(addr)->TotalMoney())};
  }
};

// A shift with sales in every paying state, fuel drawn without a sale and a
// pump offline at the close: per pump the meters' difference is the sales
// plus the variance, and the offline pump has no difference at all.
TEST_F(BooksTest, AShiftsReportSetsTheMetersAgainstTheSales) {
  const std::int64_t before = Sell("1", 5.0);
  ASSERT_TRUE(forecourt_->Lock(before, "pos1").Ok());
  ASSERT_TRUE(forecourt_->Clear(before, "pos1").Ok());
  EXPECT_EQ(Call("POST", "/api/v1/shifts/current/close").status, 409u);
  const auto opened = Call("POST", "/api/v1/shifts");
  ASSERT_EQ(opened.status, 201u) << opened.body;
  std::map<std::uint8_t, std::pair<std::int64_t, std::int64_t>> atOpen;
  for (std::uint8_t addr = 1; addr <= 3; ++addr) {
    atOpen[addr] = Counters(addr);
  }
  const auto again = Call("POST", "/api/v1/shifts");
  EXPECT_EQ(again.status, 409u);
  EXPECT_EQ(json::parse(again.body)["error"], "shift-open");
  EXPECT_EQ(json::parse(again.body)["shift"]["id"], json::parse(opened.body)["id"]);

  Journal& journal = forecourt_->GetJournal();
  const std::int64_t cleared = Sell("1", 10.0);
  ASSERT_TRUE(forecourt_->Lock(cleared, "pos1").Ok());
  ASSERT_TRUE(forecourt_->Clear(cleared, "pos1").Ok());
  Sell("1", 2.0);
  ASSERT_TRUE(forecourt_->Lock(Sell("2", 4.0), "pos2").Ok());
  Sell("3", 1.0);
  // Fuel drawn on pump 2 with no sale: found by the idle pump's counters.
  peer_.At(2)->SlipTotals(120, 222);
  RunUntil([&] {
    return std::ranges::any_of(journal.Alerts(false),
                               [](const Alert& a) { return a.kind == "unattended-delivery"; });
  });
  const auto atClose2 = Counters(2);
  peer_.SetFaults(3, sim::FaultPlan{}.With(sim::FaultKind::kNoReply, 1.0), 7);
  // Offline, and its alert raised (a step after), before the close; and a
  // millisecond on, so that the close's time is past the alert's whichever
  // thread reads the clock first (a shift holds [opened, closed)).
  RunUntil([&] {
    return !forecourt_->Pump("3")->online &&
           std::ranges::any_of(journal.Alerts(false),
                               [](const Alert& a) { return a.pumpId == "3"; });
  });
  clock_.AdvanceMs(1);
  const auto atClose1 = Counters(1);
  const auto closed = Call("POST", "/api/v1/shifts/current/close");
  ASSERT_EQ(closed.status, 200u) << closed.body;
  EXPECT_EQ(Call("POST", "/api/v1/shifts/current/close").status, 409u);
  const std::int64_t after = Sell("1", 1.0);

  const json shifts = Get("/api/v1/shifts");
  ASSERT_EQ(shifts.size(), 1u);
  const auto id = shifts[0]["id"].get<std::int64_t>();
  const json report = Get("/api/v1/shifts/" + std::to_string(id) + "/report");
  ASSERT_EQ(report["pumps"].size(), 3u);
  const json& p1 = report["pumps"][0];
  const json& p2 = report["pumps"][1];
  const json& p3 = report["pumps"][2];
  // The readings are the dispensers' own counters.
  EXPECT_EQ(p1["opening"]["volume_counter"], atOpen[1].first);
  EXPECT_EQ(p1["closing"]["volume_counter"], atClose1.first);
  EXPECT_EQ(p1["closing"]["money_counter"], atClose1.second);
  EXPECT_EQ(p2["closing"]["volume_counter"], atClose2.first);
  EXPECT_EQ(p3["opening"]["volume_counter"], atOpen[3].first);
  EXPECT_TRUE(p3["closing"]["missing"].get<std::string>().find("offline") != std::string::npos);
  for (const json& p : {p1, p2}) {
    SCOPED_TRACE(p["pump"].get<std::string>());
    EXPECT_NEAR(p["meter"]["volume"].get<double>(),
                p["sales"]["volume"].get<double>() + p["variance"]["volume"].get<double>(), 1e-9);
    EXPECT_NEAR(p["meter"]["money"].get<double>(),
                p["sales"]["money"].get<double>() + p["variance"]["money"].get<double>(), 1e-9);
  }
  EXPECT_DOUBLE_EQ(p1["meter"]["volume"],
                   static_cast<double>(atClose1.first - atOpen[1].first) / 100);
  EXPECT_DOUBLE_EQ(p1["variance"]["volume"], 0.0);
  EXPECT_DOUBLE_EQ(p2["variance"]["volume"], 1.2);
  EXPECT_DOUBLE_EQ(p2["variance"]["money"], 2.22);
  // The counters' rounding allows a hundredth per sale.
  EXPECT_DOUBLE_EQ(p1["variance"]["rounding"]["money"], 0.02);
  EXPECT_TRUE(p3["meter"].is_null());
  EXPECT_TRUE(p3["variance"].is_null());
  EXPECT_EQ(p3["flags"], json::array({"missing-closing"}));
  // The sales of the shift, by state; none from before or after it.
  EXPECT_EQ(p1["by_state"]["cleared"]["volume"], 10.0);
  EXPECT_EQ(p1["by_state"]["payable"]["count"], 1);
  EXPECT_EQ(p2["by_state"]["locked"]["volume"], 4.0);
  EXPECT_EQ(p3["by_state"]["payable"]["count"], 1);
  EXPECT_EQ(report["total"]["sales"]["count"], 4);
  EXPECT_DOUBLE_EQ(report["total"]["variance"]["volume"], 1.2);
  EXPECT_EQ(report["total"]["flags"], json::array({"3:missing-closing"}));
  EXPECT_GE(p2["alerts"].get<int>(), 1);
  EXPECT_GE(p3["alerts"].get<int>(), 1);

  // The same as CSV, asked either way: a header, a row per pump, a total.
  const std::string target = "/api/v1/shifts/" + std::to_string(id) + "/report";
  const api::Reply csv = Call("GET", target + "?format=csv");
  EXPECT_EQ(csv.contentType, "text/csv; charset=utf-8");
  EXPECT_EQ(Call({.method = "GET", .target = target, .accept = "text/csv"}).body, csv.body);
  std::vector<std::vector<std::string>> rows;
  std::istringstream lines(csv.body);
  for (std::string line; std::getline(lines, line);) {
    ASSERT_TRUE(line.ends_with('\r'));
    line.pop_back();
    std::vector<std::string> cells;
    std::istringstream fields(line);
    for (std::string cell; std::getline(fields, cell, ',');) {
      cells.push_back(cell);
    }
    if (line.ends_with(',')) {
      cells.emplace_back();
    }
    rows.push_back(cells);
  }
  ASSERT_EQ(rows.size(), 5u);
  const auto column = [&](std::string_view name) {
    return std::ranges::find(rows[0], name) - rows[0].begin();
  };
  for (const auto& row : rows) {
    ASSERT_EQ(row.size(), rows[0].size());
  }
  EXPECT_EQ(rows[1][column("meter_volume")], Decimal(atClose1.first - atOpen[1].first, 2));
  EXPECT_EQ(rows[2][column("variance_money")], "2.220");
  EXPECT_EQ(rows[3][column("meter_volume")], "");
  EXPECT_EQ(rows[3][column("flags")], "missing-closing");
  EXPECT_EQ(rows[4][0], "total");
  EXPECT_EQ(rows[4][column("sales_count")], "4");

  // The day holds every sale; delivered ones add up whatever the grouping.
  const std::string day = Rfc3339(kEpochMs).substr(0, 10);
  const json dayReport = Get("/api/v1/reports/day?date=" + day);
  EXPECT_EQ(dayReport["timezone"], "Europe/Berlin");
  EXPECT_EQ(dayReport["total"]["sales"]["count"], 0);  // no reading before the day began
  EXPECT_EQ(dayReport["pumps"][0]["by_state"]["payable"]["count"], 2);
  EXPECT_EQ(dayReport["pumps"][0]["by_state"]["cleared"]["count"], 2);
  EXPECT_LT(journal.Get(before)->createdMs, journal.Get(after)->createdMs);
  for (const char* group : {"pump", "hour", "day"}) {
    const json sales = Get(std::string("/api/v1/reports/sales?from=") + day +
                           "T00:00:00%2B01:00&to=" + day + "T23:59:59Z&group=" + group);
    EXPECT_EQ(sales["from"], Rfc3339(*api::ParseRfc3339(day + "T00:00:00Z") - 3'600'000));
    EXPECT_EQ(sales["total"]["count"], 6) << group;
    EXPECT_DOUBLE_EQ(sales["total"]["volume"], 23.0);
    int count = 0;
    for (const json& row : sales["groups"]) {
      count += row["count"].get<int>();
    }
    EXPECT_EQ(count, 6) << group;
  }
  EXPECT_EQ(Get("/api/v1/reports/sales?from=" + day + "T00:00:00Z&to=" + day +
                "T23:59:59Z&group=day")["groups"][0]["key"],
            day);
}

TEST_F(BooksTest, BadQueriesAreRefusedWithTheirReason) {
  const struct {
    const char* target;
    unsigned status;
  } cases[] = {
      {"/api/v1/reports/sales", 400},
      {"/api/v1/reports/sales?from=2026-12-08T00:00:00Z", 400},
      {"/api/v1/reports/sales?from=yesterday&to=2026-12-08T00:00:00Z", 400},
      {"/api/v1/reports/sales?from=2026-12-08T00:00:00&to=2026-12-09T00:00:00Z", 400},
      {"/api/v1/reports/sales?from=2026-12-08T00:00:00+25:00&to=2026-12-09T00:00:00Z", 400},
      {"/api/v1/reports/sales?from=2026-12-08T00:00:00Z&to=2026-12-08T00:00:00Z", 400},
      {"/api/v1/reports/sales?from=2026-12-09T00:00:00Z&to=2026-12-08T00:00:00Z", 400},
      {"/api/v1/reports/sales?from=2025-01-01T00:00:00Z&to=2026-12-08T00:00:00Z", 400},
      {"/api/v1/reports/sales?from=2026-12-08T00:00:00Z&to=2026-12-09T00:00:00Z&group=week", 400},
      {"/api/v1/reports/sales?from=2026-12-08T00:00:00Z&to=2026-12-09T00:00:00Z&format=xml", 400},
      {"/api/v1/reports/sales?from=2026-12-08T00:00:00Z&to=2026-12-09T00:00:00Z&pump=1", 400},
      {"/api/v1/reports/sales?from=2026-12-08T00:00:00Z&from=2026-12-07T00:00:00Z&to=x", 400},
      {"/api/v1/reports/day", 400},
      {"/api/v1/reports/day?date=2026-02-29", 400},
      {"/api/v1/reports/day?date=2026-13-01", 400},
      {"/api/v1/reports/day?date=2026-1-01", 400},
      {"/api/v1/reports/day?date=+026-01-01", 400},
      {"/api/v1/reports/day?date=2099-01-01", 400},
      {"/api/v1/shifts?limit=0", 400},
      {"/api/v1/shifts?offset=-1", 400},
      {"/api/v1/shifts/x/report", 404},
      {"/api/v1/shifts/7/report", 404},
      // The boundaries that pass.
      {"/api/v1/reports/day?date=2024-02-29", 200},
      {"/api/v1/reports/sales?from=2025-12-08T00:00:00Z&to=2026-12-09T00:00:00Z", 200},
      {"/api/v1/reports/sales?from=2026-12-08T00:00:00.5+01:00&to=2026-12-08T00:00:01Z&format=csv",
       200},
  };
  for (const auto& c : cases) {
    const api::Reply reply = Call("GET", c.target);
    EXPECT_EQ(reply.status, c.status) << c.target << ": " << reply.body;
    if (reply.status >= 400) {
      EXPECT_FALSE(json::parse(reply.body)["message"].get<std::string>().empty());
    }
  }
  // A shift still open has no report yet.
  ASSERT_EQ(Call("POST", "/api/v1/shifts").status, 201u);
  EXPECT_EQ(Call("GET", "/api/v1/shifts/1/report").status, 409u);
}

// Amounts are exact decimals; CSV fields are quoted only where RFC 4180
// asks, and never read as a formula.
TEST(ReportTextTest, DecimalsAndCsvFields) {
  EXPECT_EQ(Decimal(1230, 2), "12.30");
  EXPECT_EQ(Decimal(-50, 3), "-0.050");
  EXPECT_EQ(Decimal(std::numeric_limits<std::int64_t>::min(), 3), "-9223372036854775.808");
  EXPECT_EQ(CsvField("Pump 1"), "Pump 1");
  EXPECT_EQ(CsvField("Island \"A\", left"), "\"Island \"\"A\"\", left\"");
  EXPECT_EQ(CsvField("two\nlines"), "\"two\nlines\"");
  EXPECT_EQ(CsvField("=HYPERLINK(1)"), "'=HYPERLINK(1)");
}

// A day is 23 or 25 hours where the clocks change, and begins at the local
// midnight.
TEST(SiteZoneTest, DaysFollowTheLocalClock) {
  const SiteZone berlin("Europe/Berlin");
  const auto hours = [&](int y, int m, int d) {
    const auto [from, to] = berlin.Day(y, m, d);
    return (to - from) / 3'600'000;
  };
  EXPECT_EQ(hours(2026, 3, 29), 23);
  EXPECT_EQ(hours(2026, 10, 25), 25);
  EXPECT_EQ(hours(2026, 12, 8), 24);
  EXPECT_EQ(Rfc3339(berlin.Day(2026, 12, 31).second), "2026-12-31T23:00:00.000Z");
  EXPECT_EQ(LocalRfc3339(berlin.ToLocal({*api::ParseRfc3339("2026-07-01T12:00:00Z")})[0]),
            "2026-07-01T14:00:00+02:00");
  EXPECT_EQ(SiteZone("UTC").Day(2026, 12, 8).first, *api::ParseRfc3339("2026-12-08T00:00:00Z"));
  for (const char* bad :
       {"", "Mars/Olympus", "../etc/passwd", "/usr/share/zoneinfo/UTC", "Europe/Berlin;rm"}) {
    EXPECT_TRUE(SiteZone::Check(bad)) << bad;
  }
}

}  // namespace
}  // namespace tarvenix::forecourt
