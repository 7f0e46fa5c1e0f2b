// Threads: lines run in parallel, the locked operations of one line take
// turns, and a lock is never left held.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <tarvenix/tvm30.hpp>
#include <thread>

#include "support/canned_com_link.hpp"

namespace tarvenix::testing {
namespace {

using namespace std::chrono_literals;

// Answers like a quiet dispenser and lets a test hold exchanges of chosen
// lines inside the line service.
class AnsweringComLink : public CannedComLink {
 public:
  // Exchanges on `line` wait inside the service until Release(); with a
  // letter, only the commands with that letter.
  void Hold(std::uint32_t line, std::uint8_t letter = 0) {
    std::lock_guard lock(mutex_);
    held_ = line;
    heldLetter_ = letter;
  }
  void Release() {
    {
      std::lock_guard lock(mutex_);
      held_ = 0;
    }
    released_.notify_all();
  }
  // Waits until `count` exchanges are being held.
  bool AwaitHeld(int count) {
    std::unique_lock lock(mutex_);
    return arrived_.wait_for(lock, 5s, [&] { return waiting_ >= count; });
  }
  int MaxInside(std::uint32_t line) const { return maxInside_[line & 31].load(); }

  std::atomic<int> exchanges{0};

 private:
  void OnCommand(std::uint32_t line, std::uint8_t letter) override {
    const int inside = ++inside_[line & 31];
    int seen = maxInside_[line & 31].load();
    while (seen < inside && !maxInside_[line & 31].compare_exchange_weak(seen, inside)) {
    }
    WaitWhileHeld(line, letter);
    std::this_thread::sleep_for(20us);
  }
  void OnAnswered(std::uint32_t line) override {
    --inside_[line & 31];
    ++exchanges;
  }
  void WaitWhileHeld(std::uint32_t line, std::uint8_t letter) {
    std::unique_lock lock(mutex_);
    if (held_ != line || (heldLetter_ != 0 && heldLetter_ != letter)) {
      return;
    }
    ++waiting_;
    arrived_.notify_all();
    released_.wait_for(lock, 5s, [&] { return held_ != line; });
    --waiting_;
  }

  std::mutex mutex_;
  std::condition_variable arrived_;
  std::condition_variable released_;
  std::uint32_t held_ = 0;
  std::uint8_t heldLetter_ = 0;
  int waiting_ = 0;
  std::atomic<int> inside_[32] = {};
  std::atomic<int> maxInside_[32] = {};
};

struct ConcurrencyTest : ::testing::Test {
  // ReadTotals of address 1 on `line`, on a thread of its own; the volume.
  std::future<double> TotalsOn(std::int32_t line) {
    return std::async(std::launch::async, [this, line] {
      double volume = 0;
      double money = 0;
      driver.ReadTotals(line, 1, 1, volume, money);
      return volume;
    });
  }

  AnsweringComLink link;
  TVM30 driver{link, 0, NoPause()};
};

TEST_F(ConcurrencyTest, DifferentLinesRunInParallel) {
  // Line 1's poll is held inside the line service; line 2's must still pass.
  link.Hold(1);
  auto held = std::async(std::launch::async, [&] { return driver.PollState(1, 1); });
  ASSERT_TRUE(link.AwaitHeld(1));
  auto other = TotalsOn(2);
  EXPECT_EQ(other.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(other.get(), 1.0);
  link.Release();
  EXPECT_EQ(held.get(), 225);
}

TEST_F(ConcurrencyTest, LockedOperationsOfOneLineTakeTurns) {
  constexpr int kRounds = 200;
  auto run = [&](int which) {
    double volume = 0;
    double money = 0;
    for (int i = 0; i < kRounds; ++i) {
      switch ((i + which) % 3) {
        case 0:
          driver.PollState(4, static_cast<std::uint8_t>(1 + which));
          break;
        case 1:
          driver.ReadTotals(4, 1 + which, 0, volume, money);
          break;
        default:
          driver.ReadParam(4, 1 + which, 3);
          break;
      }
    }
  };
  std::thread a(run, 0);
  std::thread b(run, 1);
  a.join();
  b.join();
  EXPECT_EQ(link.MaxInside(4), 1);
  EXPECT_GT(link.exchanges.load(), 2 * kRounds);
}

TEST_F(ConcurrencyTest, ReadTotalsOfOneDispenserTakeTurnsWholly) {
  // The first read has its counters and is in its follow-up poll when the
  // second one starts: the second may not clear them before the first is done.
  link.Hold(8, 'P');
  auto first = TotalsOn(8);
  ASSERT_TRUE(link.AwaitHeld(1));
  auto second = TotalsOn(8);
  EXPECT_EQ(second.wait_for(100ms), std::future_status::timeout);  // waits for the lock
  link.Release();
  EXPECT_EQ(first.get(), 1.0);
  EXPECT_EQ(second.get(), 1.0);
}

TEST_F(ConcurrencyTest, WriteParamIsNotHeldBackByReadParam) {
  // ReadParam holds the lock across its exchange; WriteParam does not take it.
  link.Hold(6);
  auto blocked = std::async(std::launch::async, [&] { return driver.ReadParam(6, 1, 1); });
  ASSERT_TRUE(link.AwaitHeld(1));
  auto writing = std::async(std::launch::async, [&] { driver.WriteParam(6, 2, 1, 1); });
  ASSERT_TRUE(link.AwaitHeld(2));  // the write reached the line service too
  link.Release();
  writing.get();
  EXPECT_EQ(blocked.get(), 42);
}

TEST_F(ConcurrencyTest, FailedPollsReleaseTheLock) {
  link.failExchange = true;
  EXPECT_THROW(driver.PollState(7, 1), ESerialIO);
  auto after = std::async(std::launch::async, [&] { return driver.PollState(7, 1); });
  ASSERT_EQ(after.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(after.get(), 225);

  // An exception of the line service while the ACK goes out reaches the
  // caller, and the lock is left all the same.
  link.failAcknowledge = true;
  EXPECT_THROW(driver.PollState(7, 1), std::runtime_error);
  link.failAcknowledge = true;
  double volume = 0;
  double money = 0;
  EXPECT_THROW(driver.ReadTotals(7, 1, 1, volume, money), std::runtime_error);
  auto last = std::async(std::launch::async, [&] { return driver.ReadParam(7, 1, 1); });
  ASSERT_EQ(last.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(last.get(), 42);
}

}  // namespace
}  // namespace tarvenix::testing
