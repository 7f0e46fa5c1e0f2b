// Sessions recorded from the simulator (tests/data/sessions, made by
// record.sh there) played back to a new driver: it must send the recorded
// requests byte for byte and end with the values the recorded run printed.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <tarvenix/tvm30.hpp>

#include "driver/state.hpp"
#include "sim/replay_link.hpp"
#include "support/no_pause.hpp"

namespace tarvenix::sim {
namespace {

struct SessionReplay : ::testing::Test {
  void Load(const std::string& name) {
    file.open(std::string(TARVENIX_SESSIONS) + "/" + name);
    ASSERT_TRUE(file.is_open()) << name;
    link = std::make_unique<ReplayLink>(file);
    driver = std::make_unique<TVM30>(*link, 0, tarvenix::testing::NoPause());
  }
  void ExpectPlayedThrough() const {
    EXPECT_EQ(link->Mismatch(), "");
    EXPECT_TRUE(link->Finished());
  }

  std::ifstream file;
  std::unique_ptr<ReplayLink> link;
  std::unique_ptr<TVM30> driver;
  double volume = 0;
  double money = 0;
};

TEST_F(SessionReplay, VolumeDelivery) {
  Load("volume_delivery.tsv");
  driver->InitLine(1);
  driver->SetUnitPrice(1, 1, 52.9);
  driver->SetDoseVolume(1, 1, 2);
  driver->StartPump(1, 1, 1);
  EXPECT_NEAR(driver->ReadLive(1, 1, money), 0.67, 1e-9);
  EXPECT_NEAR(money, 35.44, 1e-9);
  EXPECT_DOUBLE_EQ(driver->ReadLive(1, 1, money), 2.0);
  EXPECT_NEAR(money, 105.80, 1e-9);
  driver->ReadTotals(1, 1, 1, volume, money);
  EXPECT_EQ(volume, 200);
  EXPECT_EQ(money, 10580);
  driver->WriteParam(1, 1, 20, 7);
  EXPECT_EQ(driver->ReadParam(1, 1, 20), 7);
  ExpectPlayedThrough();
}

TEST_F(SessionReplay, MoneyDeliveryAcrossAThousandOnAFaultyLine) {
  Load("money_delivery_faults.tsv");
  driver->InitLine(1);
  driver->SetUnitPrice(1, 1, 52.9);
  driver->SetDoseMoney(1, 1, 1500);
  driver->StartPump(1, 1, 1);
  EXPECT_DOUBLE_EQ(driver->ReadLive(1, 1, money), 28.35);
  EXPECT_NEAR(money, 1499.715, 1e-9);  // 499.715 on the wire, the thousand restored
  driver->ReadTotals(1, 1, 1, volume, money);
  EXPECT_EQ(volume, 2835);
  EXPECT_EQ(money, 149971);
  ExpectPlayedThrough();
}

TEST_F(SessionReplay, DeliveryStoppedMidway) {
  Load("stopped_delivery.tsv");
  driver->InitLine(1);
  EXPECT_EQ(driver->PollState(1, 3), 192);
  driver->SetUnitPrice(1, 3, 45.3);
  driver->SetDoseVolume(1, 3, 20);
  driver->StartPump(1, 3, 1);
  EXPECT_NEAR(driver->ReadLive(1, 3, money), 4.01, 1e-9);
  driver->StopPump(1, 3);
  EXPECT_NEAR(driver->ReadLive(1, 3, money), 4.04, 1e-9);
  EXPECT_NEAR(money, 183.012, 1e-9);
  EXPECT_EQ(driver->PollState(1, 3), 192);
  driver->ReadTotals(1, 3, 1, volume, money);
  EXPECT_EQ(volume, 404);
  EXPECT_EQ(driver->Inspect().dispensers.At(1, 3).pumpState, 192);
  ExpectPlayedThrough();
}

}  // namespace
}  // namespace tarvenix::sim
