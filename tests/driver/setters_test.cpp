// Price and dose setters, and the start and stop commands they feed.
#include <cmath>
#include <limits>

#include "driver/commands.hpp"
#include "driver/conversion.hpp"
#include "driver_fixture.hpp"

namespace tarvenix::testing {
namespace {

TEST(Conversion, RoundsTheExtendedProductHalvesToEven) {
  using conversion::ScaleToInt32;
  EXPECT_EQ(ScaleToInt32(0.125, 100), 12);  // exactly 12.5
  EXPECT_EQ(ScaleToInt32(0.135, 100), 14);  // 13.5000000000000002
  EXPECT_EQ(ScaleToInt32(2.5, 1), 2);
  EXPECT_EQ(ScaleToInt32(3.5, 1), 4);
  EXPECT_EQ(ScaleToInt32(-2.5, 1), -2);
  EXPECT_EQ(ScaleToInt32(-3.5, 1), -4);
  EXPECT_EQ(ScaleToInt32(20.05, 10), 201);  // 200.5000000000000071 in extended
  EXPECT_EQ(ScaleToInt32(12.34, 10), 123);
  EXPECT_EQ(ScaleToInt32(-0.4, 1), 0);
}

TEST(Conversion, RefusesWhatDoesNotFitThirtyTwoBits) {
  using conversion::ScaleToInt32;
  EXPECT_EQ(ScaleToInt32(21474836.47, 100), 2147483647);
  EXPECT_THROW(ScaleToInt32(21474836.48, 100), ERangeError);
  EXPECT_EQ(ScaleToInt32(-2147483648.0, 1), std::numeric_limits<std::int32_t>::min());
  EXPECT_EQ(ScaleToInt32(-2147483648.5, 1), std::numeric_limits<std::int32_t>::min());
  EXPECT_THROW(ScaleToInt32(-2147483648.6, 1), ERangeError);
  EXPECT_THROW(ScaleToInt32(2147483647.5, 1), ERangeError);  // rounds to 2^31
  EXPECT_THROW(ScaleToInt32(3e9, 1), ERangeError);
  EXPECT_THROW(ScaleToInt32(1e300, 10), ERangeError);
  EXPECT_THROW(ScaleToInt32(std::numeric_limits<double>::quiet_NaN(), 1), ERangeError);
  EXPECT_THROW(ScaleToInt32(std::numeric_limits<double>::infinity(), 1), ERangeError);
  EXPECT_THROW(ScaleToInt32(-std::numeric_limits<double>::infinity(), 1), ERangeError);
}

TEST(Commands, FieldsKeepTheirLastDigitsAndNegativesGoBelowZero) {
  std::array<std::uint8_t, 4> field{};
  commands::WriteDecimal(field, 12345);
  EXPECT_EQ(std::string(field.begin(), field.end()), "2345");
  commands::WriteDecimal(field, -1234);
  EXPECT_EQ(std::string(field.begin(), field.end()), "/.-,");
  commands::WriteDecimal(field, -5);
  EXPECT_EQ(std::string(field.begin(), field.end()), "000+");
  commands::WriteDecimal(field, std::numeric_limits<std::int32_t>::min());  // ...3648
  EXPECT_EQ(std::string(field.begin(), field.end()), "-*,(");
}

TEST_F(DriverTest, SettersStoreScaledValuesAndKeepOneDose) {
  driver.SetUnitPrice(1, 3, 45.30);
  driver.SetDoseVolume(1, 3, 12.34);
  EXPECT_EQ(At(1, 3).unitPrice, 4530);
  EXPECT_EQ(State().DoseAt(1, 3).volume, 123);
  EXPECT_EQ(State().DoseAt(1, 3).money, 0);

  driver.SetDoseMoney(1, 3, 500);
  EXPECT_EQ(State().DoseAt(1, 3).volume, 0);
  EXPECT_EQ(State().DoseAt(1, 3).money, 500);
  EXPECT_TRUE(link.Calls().empty());
}

TEST_F(DriverTest, RefusedSettersChangeNothing) {
  driver.SetUnitPrice(2, 2, 10.0);
  driver.SetDoseVolume(2, 2, 5.0);
  EXPECT_THROW(driver.SetUnitPrice(2, 2, 21474836.48), ERangeError);
  EXPECT_EQ(At(2, 2).unitPrice, 1000);

  // The money dose is converted before the volume dose is cleared.
  EXPECT_THROW(driver.SetDoseMoney(2, 2, 3e9), ERangeError);
  EXPECT_THROW(driver.SetDoseMoney(2, 2, std::nan("")), ERangeError);
  EXPECT_EQ(State().DoseAt(2, 2).volume, 50);
  EXPECT_EQ(State().DoseAt(2, 2).money, 0);
  EXPECT_THROW(driver.SetDoseVolume(2, 2, std::numeric_limits<double>::infinity()), ERangeError);
  EXPECT_EQ(State().DoseAt(2, 2).volume, 50);

  for (auto [line, addr] : {std::pair{0, 1}, {33, 1}, {1, 0}, {1, 33}, {-1, 1}, {257, 1}}) {
    EXPECT_THROW(driver.SetUnitPrice(line, addr, 1), ERangeError);
    EXPECT_THROW(driver.SetDoseVolume(line, addr, 1), ERangeError);
    EXPECT_THROW(driver.SetDoseMoney(line, addr, 1), ERangeError);
    EXPECT_THROW(driver.StartPump(line, addr, 1), ERangeError);
    EXPECT_THROW(driver.StopPump(line, addr), ERangeError);
  }
  EXPECT_TRUE(link.Calls().empty());
}

TEST_F(DriverTest, StartSendsStoredValuesAndMarksTheDelivery) {
  driver.SetUnitPrice(1, 3, 45.30);
  driver.SetDoseVolume(1, 3, 20.0);
  link.QueueReply(kAckByte);
  driver.StartPump(1, 3, 1);
  driver.SetDoseMoney(1, 3, 500.0);
  link.QueueReply(kAckByte);
  driver.StartPump2(1, 3, 1);
  EXPECT_EQ(Traffic(), (std::vector<std::string>{"E00000453002001A", "E00500453000001A"}));
  EXPECT_EQ(At(1, 3).pumpState, 217);

  const auto exchanges = link.CallsOf(Call::Op::kExchange);
  ASSERT_EQ(exchanges.size(), 2u);
  EXPECT_EQ(exchanges[0].sent.size(), 23u);
  EXPECT_EQ(exchanges[0].args[3], 1u);  // expected length
  EXPECT_EQ(exchanges[0].args[4], 6u);  // mode
}

TEST_F(DriverTest, StartFieldsTruncateAndCarryNegatives) {
  driver.SetUnitPrice(1, 1, 123.45);
  driver.SetDoseVolume(1, 1, -123.4);
  link.SetDefaultReply(kAckByte);
  driver.StartPump(1, 1, 9);
  driver.StartPump(1, 1, 10);
  driver.StartPump(1, 1, -48);
  driver.StartPump(1, 1, 207);
  const auto texts = Traffic();
  EXPECT_EQ(texts[0], "E000002345/.-,9A");
  EXPECT_EQ(texts[1].substr(14), ":A");
  EXPECT_EQ(static_cast<std::uint8_t>(texts[2][14]), 0);
  EXPECT_EQ(static_cast<std::uint8_t>(texts[3][14]), 255);
}

TEST_F(DriverTest, StartWithBadModeChangesNothingAndSendsNothing) {
  Edit(1, 1).liveVolume = 4;
  Edit(1, 1).pumpState = 192;
  EXPECT_THROW(driver.StartPump(1, 1, 208), ERangeError);
  EXPECT_THROW(driver.StartPump(1, 1, -49), ERangeError);
  EXPECT_THROW(driver.StartPump(1, 1, std::numeric_limits<std::int32_t>::max()), ERangeError);
  EXPECT_EQ(At(1, 1).liveVolume, 4.0L);
  EXPECT_EQ(At(1, 1).pumpState, 192);
  EXPECT_TRUE(link.Calls().empty());
}

TEST_F(DriverTest, FailedStartKeepsStateButClearsLiveValues) {
  Edit(1, 1).liveMoney = 9;
  Edit(1, 1).pumpState = 192;
  link.Queue({.reply = kAckByte, .result = 1});
  try {
    driver.StartPump(1, 1, 1);
    FAIL() << "no exception";
  } catch (const ESerialIO& e) {
    EXPECT_STREQ(e.what(), "Can't START POMP");
  }
  EXPECT_EQ(At(1, 1).pumpState, 192);
  EXPECT_EQ(At(1, 1).liveMoney, 0.0L);
  // Neither start nor stop is acknowledged.
  EXPECT_EQ(link.Sent().size(), 1u);
}

TEST_F(DriverTest, StopSendsTAndChangesNoState) {
  Edit(4, 7).pumpState = 217;
  link.SetDefaultReply(kAckByte);
  driver.StopPump(4, 7);
  driver.StopPump2(4, 7, 99);
  driver.StopPump3(4, 7, 0);
  EXPECT_EQ(Traffic(), (std::vector<std::string>{"T", "T", "T"}));
  EXPECT_EQ(At(4, 7).pumpState, 217);

  link.Queue({.reply = kAckByte, .raiseInExchange = true});
  try {
    driver.StopPump(4, 7);
    FAIL() << "no exception";
  } catch (const ESerialIO& e) {
    EXPECT_STREQ(e.what(), "Can't STOP POMP");
  }
}

}  // namespace
}  // namespace tarvenix::testing
