#include "link/frame.hpp"

#include <gtest/gtest.h>

#include <tarvenix/errors.hpp>

#include "support/fake_com_link.hpp"

namespace tarvenix::link {
namespace {

using testing::Bytes;
using testing::BytesOf;

Bytes Build(LinkTables& tables, std::uint8_t line, std::uint8_t addr, std::string_view text) {
  FrameBuffer frame;
  const Bytes command = BytesOf(text);
  const std::uint8_t length = BuildFrame(tables, line, addr, command, frame);
  return Bytes(frame.begin(), frame.begin() + length);
}

// Frames as they must appear on the line, written out by hand.
TEST(Frame, WorkedExamples) {
  LinkTables tables;
  EXPECT_EQ(Build(tables, 1, 1, "P"), (Bytes{0x04, 0x30, 0x30, 0x02, 0x31, 0x50, 0x03, 0x60}));

  tables.RestartSequence(1);
  EXPECT_EQ(Build(tables, 1, 1, "P"), (Bytes{0x04, 0x30, 0x30, 0x02, 0x30, 0x50, 0x03, 0x61}));

  LinkTables fresh;
  EXPECT_EQ(Build(fresh, 1, 1, "S0"),
            (Bytes{0x04, 0x30, 0x30, 0x02, 0x31, 0x53, 0x30, 0x03, 0x53}));

  LinkTables nine;
  for (int i = 0; i < 9; ++i) {
    Build(nine, 1, 12, "C");
  }
  EXPECT_EQ(nine.SeqCounter(1, 11), 9);
  EXPECT_EQ(Build(nine, 1, 12, "C"), (Bytes{0x04, 0x30, 0x3B, 0x02, 0x31, 0x43, 0x03, 0x78}));

  LinkTables three;
  for (int i = 0; i < 3; ++i) {
    Build(three, 1, 32, "T");
  }
  EXPECT_EQ(Build(three, 1, 32, "T"), (Bytes{0x04, 0x31, 0x3F, 0x02, 0x34, 0x54, 0x03, 0x6F}));
}

TEST(Frame, SequenceDigitsRunOneToNineAndZeroOnlyAfterRestart) {
  LinkTables tables;
  std::string digits;
  for (int i = 0; i < 19; ++i) {
    digits += static_cast<char>(Build(tables, 4, 1, "P")[4]);
  }
  EXPECT_EQ(digits, "1234567891234567891");

  // Address 2 runs its own sequence; a restart touches address 1 only.
  Build(tables, 4, 2, "P");
  tables.RestartSequence(4);
  EXPECT_EQ(Build(tables, 4, 1, "P")[4], '0');
  EXPECT_EQ(Build(tables, 4, 1, "P")[4], '1');
  EXPECT_EQ(Build(tables, 4, 2, "P")[4], '2');
  // Other lines keep their own counters.
  EXPECT_EQ(Build(tables, 5, 1, "P")[4], '1');
}

TEST(Frame, AddressCharactersAreFourBitValuesNotHexLetters) {
  LinkTables tables;
  const Bytes eleven = Build(tables, 1, 11, "P");
  EXPECT_EQ(eleven[1], 0x30);
  EXPECT_EQ(eleven[2], 0x3A);
  const Bytes sixteen = Build(tables, 1, 16, "P");
  EXPECT_EQ(sixteen[2], 0x3F);
  const Bytes seventeen = Build(tables, 1, 17, "P");
  EXPECT_EQ(seventeen[1], 0x31);
  EXPECT_EQ(seventeen[2], 0x30);
}

TEST(Frame, LengthIsCountPlusSevenAndTextIsCopiedUnescaped) {
  LinkTables tables;
  EXPECT_EQ(Build(tables, 1, 1, "E00000453002001A").size(), 23u);
  const Bytes withEtx = Build(tables, 1, 1, std::string_view("a\x03z", 3));
  ASSERT_EQ(withEtx.size(), 10u);
  EXPECT_EQ(withEtx[6], 0x03);
  EXPECT_EQ(withEtx[8], 0x03);
}

TEST(Frame, CheckByteCoversEverythingButEot) {
  std::array<std::uint8_t, 16> out{};
  const Bytes command = BytesOf("V1");
  const std::size_t length = EncodeFrame(5, 3, command, out);
  const Bytes base(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(length));
  for (std::size_t pos = 0; pos + 1 < length; ++pos) {
    for (int bit = 0; bit < 8; ++bit) {
      Bytes flipped = base;
      flipped[pos] = static_cast<std::uint8_t>(flipped[pos] ^ (1 << bit));
      std::uint8_t bcc = 0;
      for (std::size_t i = 1; i + 1 < length; ++i) {
        bcc = static_cast<std::uint8_t>(bcc ^ flipped[i]);
      }
      EXPECT_EQ(bcc == base.back(), pos == 0) << "position " << pos << " bit " << bit;
    }
  }
}

TEST(Frame, RefusesBadIndexesAndOversizeTextsWithoutSpendingADigit) {
  LinkTables tables;
  FrameBuffer frame;
  const Bytes command = BytesOf("P");
  EXPECT_THROW(BuildFrame(tables, 0, 1, command, frame), ERangeError);
  EXPECT_THROW(BuildFrame(tables, 33, 1, command, frame), ERangeError);
  EXPECT_THROW(BuildFrame(tables, 1, 0, command, frame), ERangeError);
  EXPECT_THROW(BuildFrame(tables, 1, 33, command, frame), ERangeError);
  const Bytes tooLong(249, 'x');
  EXPECT_THROW(BuildFrame(tables, 1, 1, tooLong, frame), ERangeError);
  EXPECT_EQ(tables.SeqCounter(1, 0), 0);

  const Bytes longest(248, 'x');
  EXPECT_EQ(BuildFrame(tables, 1, 1, longest, frame), 255);

  std::array<std::uint8_t, 7> small{};
  EXPECT_THROW(EncodeFrame(0, 1, command, small), ERangeError);
}

}  // namespace
}  // namespace tarvenix::link
