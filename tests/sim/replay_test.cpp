// A session recorded with the command is played back to a new driver: the
// driver must send the same bytes and arrive at the same values.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <tarvenix/tvm30.hpp>

#include "sim/replay_link.hpp"
#include "support/no_pause.hpp"

namespace tarvenix::sim {
namespace {

std::string Record(const std::string& args) {
  const std::string path =
      ::testing::TempDir() + "tarvenix_replay_" + std::to_string(getpid()) + ".tsv";
  const std::string command =
      std::string(TARVENIX_CLI) + " --sim-time --record " + path + " " + args + " >/dev/null";
  EXPECT_EQ(std::system(command.c_str()), 0) << command;
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  std::remove(path.c_str());
  return text.str();
}

TEST(Replay, RecordedSessionPlaysBackToTheDriver) {
  // Faults on the line put repetitions, rejections and a NAK in the record.
  const std::string record = Record(
      "--seed 4 --fault badbcc:0.3 --fault noreply:0.2 poll then price 50 then preset --volume 2 "
      "then start then wait 5 then live then totals then param get 0");
  ASSERT_NE(record.find("\trepeat"), std::string::npos) << record;

  std::istringstream in(record);
  ReplayLink link(in);
  TVM30 driver(link, 0, tarvenix::testing::NoPause());
  driver.InitLine(1);
  driver.PollState(1, 1);
  driver.SetUnitPrice(1, 1, 50);
  driver.SetDoseVolume(1, 1, 2);
  driver.StartPump(1, 1, 1);
  double money = 0;
  const double volume = driver.ReadLive(1, 1, money);
  double totalVolume = 0;
  double totalMoney = 0;
  driver.ReadTotals(1, 1, 1, totalVolume, totalMoney);
  driver.ReadParam(1, 1, 0);
  EXPECT_EQ(link.Mismatch(), "");
  EXPECT_TRUE(link.Finished());
  EXPECT_DOUBLE_EQ(volume, 2.0);
  EXPECT_DOUBLE_EQ(money, 100.0);
  EXPECT_EQ(totalVolume, 200);
}

TEST(Replay, DifferentDriverBehaviourIsCaught) {
  std::istringstream in(Record("poll"));
  ReplayLink link(in);
  TVM30 driver(link, 0, tarvenix::testing::NoPause());
  driver.InitLine(1);
  double volume = 0;
  double money = 0;
  EXPECT_THROW(driver.ReadTotals(1, 1, 1, volume, money), ESerialIO);
  EXPECT_NE(link.Mismatch(), "");
}

}  // namespace
}  // namespace tarvenix::sim
