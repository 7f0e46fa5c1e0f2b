// Price sets, the price log and the audit trail with its hash chain, on
// simulated dispensers and simulated time: one scenario each, and a table
// of bad price bodies.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <future>
#include <nlohmann/json.hpp>
#include <thread>

#include "forecourt/api/api.hpp"
#include "forecourt/audit.hpp"
#include "forecourt/json.hpp"
#include "support/simulated_api.hpp"

namespace tarvenix::forecourt {
namespace {

using nlohmann::json;

class TrailTest : public testing::SimulatedApiTest {
 protected:
  void SetUp() override {
    SimulatedApiTest::SetUp();
    config_.settings.maxUnpaid = 5;
    config_.lines[0].pumps[0].product = "diesel";
    config_.lines[0].pumps[1].product = "diesel";
    config_.lines[0].pumps[2].product = "petrol";
    // Pump 3 falls back to authorising itself; its nozzle is the test's.
    config_.settings.fallbackAfterS = 60;
    config_.lines[0].pumps[2].fallback = FallbackMode::kAuto;
    config_.lines[0].pumps[2].fallbackKind = PresetKind::kVolume;
    config_.lines[0].pumps[2].fallbackPreset = 5;
    peer_.AddDispenser(1);
    peer_.AddDispenser(2);
    peer_.AddDispenser(3, {.autoNozzle = false});
    Start();
  }

  json Body(const api::Reply& reply) { return json::parse(reply.body); }
  // The audit records of `filter` once `count` of them are committed.
  std::vector<AuditRecord> AuditedWhenCommitted(const AuditFilter& filter, std::size_t count) {
    std::vector<AuditRecord> records;
    for (int i = 0; i < 1000; ++i) {
      records = forecourt_->GetJournal().AuditRecords(filter);
      if (records.size() >= count) {
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return records;
  }
  Transaction Sale(std::int64_t id) { return *forecourt_->GetJournal().Get(id); }
  Transaction RunToEnd(std::int64_t id) {
    RunUntil([&] {
      const Transaction t = Sale(id);
      return !IsOpen(t.state) && t.reconciliation != Reconciliation::kPending;
    });
    return Sale(id);
  }
  std::int64_t Authorise(const std::string& pump, double volume) {
    const api::Reply reply = Call("POST", "/api/v1/pumps/" + pump + "/authorize",
                                  json{{"volume", volume}, {"client", "pos1"}}.dump());
    EXPECT_EQ(reply.status, 201u) << reply.body;
    return Body(reply).value("id", 0);
  }
};

TEST_F(TrailTest, PriceSetDuringADeliveryWaitsForTheSaleToEnd) {
  const std::int64_t first = Authorise("1", 10.0);
  RunUntil([&] { return forecourt_->Pump("1")->state == PumpState::kFuelling; });
  // Diesel from a second on: pump 2 is idle, pump 1 delivers for 15 s.
  const api::Reply created =
      Call("POST", "/api/v1/prices",
           json{{"products", {{"diesel", 1.95}}}, {"effective", Rfc3339(NowMs() + 1000)}}.dump());
  ASSERT_EQ(created.status, 201u) << created.body;
  const std::int64_t setId = Body(created)["id"];
  EXPECT_EQ(Body(created)["pumps"].size(), 2u);
  EXPECT_EQ(Body(created)["state"], "scheduled");

  RunUntil([&] { return forecourt_->Pump("2")->price == 1.95; });
  EXPECT_EQ(forecourt_->Pump("1")->price, 1.85) << "a pump in a sale keeps its price";
  EXPECT_EQ(forecourt_->Pump("3")->price, 1.85) << "petrol is not in the set";
  EXPECT_EQ(Call("DELETE", "/api/v1/prices/" + std::to_string(setId)).status, 409u);

  const Transaction sale = RunToEnd(first);
  EXPECT_EQ(sale.price, 1.85);
  EXPECT_DOUBLE_EQ(sale.money, 18.5);
  EXPECT_FALSE(sale.priceSetId);
  RunUntil([&] { return forecourt_->Pump("1")->price == 1.95; });
  const Transaction next = RunToEnd(Authorise("1", 2.0));
  EXPECT_EQ(next.price, 1.95);
  EXPECT_EQ(next.priceSetId, setId);
  EXPECT_DOUBLE_EQ(next.money, 3.9);

  const json log = Body(Call("GET", "/api/v1/prices/log?pump=1"));
  ASSERT_EQ(log.size(), 1u) << log;
  EXPECT_EQ(log[0]["old_price"], 1.85);
  EXPECT_EQ(log[0]["new_price"], 1.95);
  EXPECT_EQ(log[0]["price_set"], setId);
  EXPECT_EQ(log[0]["actor"], "local");

  // A later set, cancelled before its time, never applies; the pump's own
  // price route logs with no set, and a sale after it has none.
  const api::Reply later =
      Call("POST", "/api/v1/prices",
           json{{"prices", {{"1", 2.05}}}, {"effective", Rfc3339(NowMs() + 5000)}}.dump());
  ASSERT_EQ(later.status, 201u);
  const std::string laterPath = "/api/v1/prices/" + std::to_string(Body(later)["id"].get<int>());
  EXPECT_EQ(Call("DELETE", laterPath).status, 200u);
  EXPECT_EQ(Call("DELETE", laterPath).status, 409u);
  EXPECT_EQ(Call("PUT", "/api/v1/pumps/1/price", R"({"price": 1.99})").status, 200u);
  clock_.Advance(10'000'000);
  forecourt_->Step();
  EXPECT_EQ(forecourt_->Pump("1")->price, 1.99);
  EXPECT_FALSE(RunToEnd(Authorise("1", 1.0)).priceSetId);
  const json sets = Body(Call("GET", "/api/v1/prices"));
  ASSERT_EQ(sets.size(), 2u);
  EXPECT_EQ(sets[0]["state"], "cancelled");
  EXPECT_EQ(sets[1]["state"], "applied");
  const json all = Body(Call("GET", "/api/v1/prices/log?pump=1"));
  ASSERT_EQ(all.size(), 2u);
  EXPECT_TRUE(all[1]["price_set"].is_null());
}

TEST_F(TrailTest, BadPriceBodiesAreRefusedAndAudited) {
  const std::string past = Rfc3339(NowMs() - 60'000);
  const std::string future = Rfc3339(NowMs() + 60'000);
  const struct {
    std::string body;
    unsigned status;
    std::string reason;
  } cases[] = {
      {"{", 400, "malformed-json"},
      {"[]", 400, "bad-body"},
      {R"({"effective": "now"})", 400, "bad-body"},
      {R"({"prices": {}, "effective": "now"})", 400, "bad-body"},
      {R"({"prices": {"1": 1.9}, "when": "now", "effective": "now"})", 400, "unknown-field"},
      {R"({"prices": {"1": "1.9"}, "effective": "now"})", 400, "bad-price"},
      {R"({"prices": {"1": -1}, "effective": "now"})", 400, "bad-price"},
      {R"({"prices": {"1": 1.855}, "effective": "now"})", 400, "bad-price"},
      {R"({"prices": {"1": 100}, "effective": "now"})", 400, "bad-price"},
      {R"({"prices": [1.9], "effective": "now"})", 400, "bad-type"},
      {R"({"prices": {"1": 1.9}})", 400, "bad-effective"},
      {R"({"prices": {"1": 1.9}, "effective": "tomorrow"})", 400, "bad-effective"},
      {R"({"prices": {"1": 1.9}, "effective": ")" + past + R"("})", 400, "bad-effective"},
      {R"({"prices": {"9": 1.9}, "effective": ")" + future + R"("})", 404, "unknown-pump"},
      {R"({"products": {"lpg": 0.9}, "effective": "now"})", 404, "unknown-product"},
  };
  for (const auto& c : cases) {
    const api::Reply reply = Call("POST", "/api/v1/prices", c.body);
    EXPECT_EQ(reply.status, c.status) << c.body;
    EXPECT_EQ(Body(reply)["error"], c.reason) << c.body;
  }
  EXPECT_TRUE(forecourt_->GetJournal().PriceSets().empty());
  // A refusal's record is committed after its reply, on the journal's thread.
  const auto refused = AuditedWhenCommitted({.kind = "price-set"}, std::size(cases));
  EXPECT_EQ(refused.size(), std::size(cases));
  EXPECT_EQ(refused.front().outcome["status"], 404);
}

TEST_F(TrailTest, AuditChainVerifiesUntilOneByteOfAnOldSaleChanges) {
  const std::int64_t first = RunToEnd(Authorise("1", 2.0)).id;
  const std::string sale = "/api/v1/transactions/" + std::to_string(first);
  EXPECT_EQ(Call("POST", sale + "/lock", R"({"client": "pos1"})").status, 200u);
  EXPECT_EQ(Call("POST", sale + "/clear", R"({"client": "pos2"})").status, 409u);
  EXPECT_EQ(Call("POST", sale + "/clear", R"({"client": "pos1"})").status, 200u);
  EXPECT_EQ(Call("POST", "/api/v1/pumps/2/stop").status, 200u);
  EXPECT_EQ(Call("PUT", "/api/v1/pumps/2/price", R"({"price": "x"})").status, 400u);
  RunToEnd(Authorise("2", 1.0));

  // Newest first: each command with its outcome, the start's configuration last.
  std::vector<std::string> kinds;
  for (const AuditRecord& r : AuditedWhenCommitted({}, 8)) {
    kinds.push_back(r.kind);
  }
  EXPECT_EQ(kinds, (std::vector<std::string>{"authorise", "price", "stop", "clear", "clear", "lock",
                                             "authorise", "configuration"}));
  const auto refusedClear = forecourt_->GetJournal().AuditRecords({.kind = "clear"}).back();
  EXPECT_EQ(refusedClear.outcome["error"], "locked");
  EXPECT_EQ(refusedClear.body["client"], "pos2");
  const auto authorised = forecourt_->GetJournal().AuditRecords({.kind = "authorise"}).back();
  EXPECT_EQ(authorised.outcome["transaction"], first);
  EXPECT_EQ(authorised.actor, "local");
  EXPECT_EQ(authorised.path, "/api/v1/pumps/1/authorize");

  const std::string path = config_.database;
  ChainReport report = VerifyChain(path);
  EXPECT_TRUE(report.sound) << report.reason;
  EXPECT_GT(report.entries, 10);
  const std::string verify = std::string(TARVENIXD) + " --verify-journal " + path + " >/dev/null";
  EXPECT_EQ(WEXITSTATUS(std::system(verify.c_str())), 0);

  // One byte of the first sale, behind the service's back.
  forecourt_.reset();
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  const std::string edit =
      "UPDATE transactions SET client = 'pos2' WHERE id = " + std::to_string(first);
  EXPECT_EQ(sqlite3_exec(db, edit.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  report = VerifyChain(path);
  EXPECT_FALSE(report.sound);
  EXPECT_EQ(report.kind, "sale");
  EXPECT_EQ(report.refId, first);
  EXPECT_EQ(WEXITSTATUS(std::system(verify.c_str())), 1);
  EXPECT_EQ(WEXITSTATUS(std::system(
                (std::string(TARVENIXD) + " --verify-journal /nonexistent 2>/dev/null").c_str())),
            2);
}

TEST_F(TrailTest, FallbackAuthorisesALiftedNozzleUntilAPointOfSaleIsBack) {
  const std::uint64_t firstEvent = forecourt_->Events().LastSeq();
  const std::int64_t lifted = NowMs();
  peer_.At(3)->LiftNozzle(clock_.NowUs());
  RunUntil([&] { return forecourt_->Pump("3")->transactionId.has_value(); });
  EXPECT_GE(NowMs() - lifted, 55'000) << "no point of sale heard for a minute";
  const Transaction sale = RunToEnd(*forecourt_->Pump("3")->transactionId);
  EXPECT_TRUE(sale.fallback);
  EXPECT_EQ(sale.client, "fallback");
  EXPECT_EQ(sale.state, TxnState::kPayable);
  EXPECT_DOUBLE_EQ(sale.volume, 5.0);
  peer_.At(3)->HangNozzle(clock_.NowUs());

  // A point of sale's first request ends it; the sale waits to be paid.
  const json listed = Body(Call("GET", "/api/v1/transactions?pump=3"));
  EXPECT_EQ(listed[0]["fallback"], true);
  peer_.At(3)->LiftNozzle(clock_.NowUs());
  const std::uint64_t until = clock_.NowUs() + 20'000'000;
  while (clock_.NowUs() < until) {
    forecourt_->Step();
  }
  EXPECT_EQ(forecourt_->Pump("3")->state, PumpState::kCalling);
  EXPECT_FALSE(forecourt_->Pump("3")->transactionId);
  const std::string path = "/api/v1/transactions/" + std::to_string(sale.id);
  EXPECT_EQ(Call("POST", path + "/lock", R"({"client": "pos1"})").status, 200u);
  EXPECT_EQ(Call("POST", path + "/clear", R"({"client": "pos1"})").status, 200u);

  std::vector<bool> transitions;
  for (const Event& event : forecourt_->Events().Since(firstEvent).events) {
    if (event.kind == EventKind::kFallback) {
      transitions.push_back(json::parse(event.data)["active"]);
    }
  }
  EXPECT_EQ(transitions, (std::vector<bool>{true, false}));
  std::vector<std::string> alerts;
  for (const Alert& alert : forecourt_->GetJournal().Alerts(false)) {
    alerts.push_back(alert.kind);
  }
  EXPECT_EQ(alerts, (std::vector<std::string>{"fallback-left", "fallback-entered"}));
  const auto records = forecourt_->GetJournal().AuditRecords({.actor = "fallback"});
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].path, "leave");
  EXPECT_EQ(records[1].kind, "authorise");
  EXPECT_EQ(records[1].outcome["transaction"], sale.id);
  EXPECT_EQ(records[2].path, "enter");

  // The day's report shows the fallback sale apart, besides its state.
  const json day =
      Body(Call("GET", "/api/v1/reports/day?date=" + Rfc3339(sale.createdMs).substr(0, 10)));
  ASSERT_FALSE(day["pumps"].empty()) << day;
  for (const json& pump : day["pumps"]) {
    EXPECT_EQ(pump["by_state"]["fallback"]["count"], pump["pump"] == "3" ? 1 : 0) << pump;
  }
}

}  // namespace
}  // namespace tarvenix::forecourt
