// Soak: tens of thousands of operations on 32 lines of 32 simulated
// dispensers with faults on every line, from several threads at once. Each
// line group has a thread of its own; one more line is shared by two threads
// that run the locked operations and one that runs deliveries and parameter
// writes, which take no lock. Nothing may crash or deadlock, no refused reply
// may change a table, every frame's sequence digit must follow the rules,
// every acknowledgement must reach the dispenser whose reply it answers, and
// every delivery, many of them above 1000 money units, must end in the driver
// with the values the dispenser delivered.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <tarvenix/lines/clock.hpp>
#include <tarvenix/tvm30.hpp>
#include <vector>

#include "conversation_watch.hpp"
#include "driver/state.hpp"
#include "sim/line_service.hpp"
#include "sim/simulated_line.hpp"

namespace tarvenix::sim {
namespace {

constexpr int kLines = 32;
constexpr int kAddrs = 32;
constexpr int kGroups = 4;                 // threads of their own lines
constexpr std::uint32_t kSharedLine = 32;  // polled from two threads
constexpr int kOperationsPerGroup = 25000;
constexpr int kOperationsShared = 5000;
constexpr int kSharedDeliveries = 300;
constexpr int kSharedDeliveryAddrs = 8;  // the deliveries of the shared line

// Follows every frame and reply of every line: each new frame's sequence
// digit must be the one the rules give its address, and a restart of address
// 1 follows each accepted S reply on the line. A re-initialisation runs at
// the start of an exchange whose frame the driver has already built, so the
// reset's frame and that one go out in the reverse of their digits' order.
// On the shared line threads build frames for the same address at once, and
// the line takes them in either order, so there only the acknowledgements
// are followed.
class SequenceWatch final : public lines::LineMonitor {
 public:
  void OnLineEvent(const lines::LineEvent& e) override {
    conversations_.OnLineEvent(e);
    const std::size_t line = e.line % (kLines + 1);
    if (line == kSharedLine) {
      return;
    }
    if (e.kind == lines::LineEvent::Kind::kReceived && e.lineState == protocol::kLineAccepted &&
        e.bytes.size() > 2 && e.bytes[2] == 'S') {
      restart_[line] = true;
    }
    if (e.kind == lines::LineEvent::Kind::kReinit) {
      reinit_[line] = true;
    }
    if (e.kind != lines::LineEvent::Kind::kSent || e.bytes.size() < 7 || e.attempt > 0) {
      return;  // an acknowledgement, or the same frame sent again
    }
    const auto wire = static_cast<std::size_t>((e.bytes[1] - '0') * 16 + (e.bytes[2] - '0'));
    const int digit = e.bytes[4] - '0';
    int& last = last_[line][wire % kAddrs];
    if (reinit_[line]) {
      // The reset's "S0", then the frame built before it.
      reinit_[line] = e.bytes[5] == 'S' && e.bytes[6] == '0';
      last = digit;
      return;
    }
    int expected = last >= 9 ? 1 : last + 1;
    if (wire == 0 && restart_[line]) {
      expected = 0;
      restart_[line] = false;
    }
    if (digit != expected && violations_.fetch_add(1) == 0) {
      std::lock_guard lock(mutex_);
      first_ = "line " + std::to_string(line) + " wire address " + std::to_string(wire) +
               ": digit " + std::to_string(digit) + ", expected " + std::to_string(expected);
    }
    last = digit;
  }
  int Violations() const { return violations_.load(); }
  const testing::ConversationWatch& Conversations() const { return conversations_; }
  std::string First() const {
    std::lock_guard lock(mutex_);
    return first_;
  }

 private:
  std::array<std::array<int, kAddrs>, kLines + 1> last_{};
  std::array<bool, kLines + 1> restart_{};
  std::array<bool, kLines + 1> reinit_{};
  std::atomic<int> violations_{0};
  mutable std::mutex mutex_;
  std::string first_;
  testing::ConversationWatch conversations_;
};

bool Same(const decode::Dispenser& a, const decode::Dispenser& b) {
  return a.liveVolume == b.liveVolume && a.liveMoney == b.liveMoney &&
         a.totalVolume == b.totalVolume && a.totalMoney == b.totalMoney &&
         a.pumpState == b.pumpState && a.unitPrice == b.unitPrice;
}

struct Findings {
  std::atomic<int> changedByRefusal{0};
  std::atomic<int> wrongFinals{0};
  std::atomic<int> deliveries{0};
  std::atomic<int> overAThousand{0};  // deliveries that needed the thousands correction
  std::atomic<int> operations{0};
};

// A start with a random price (10.00..99.99) and volume dose (1.0..40.9):
// about half the deliveries cost more than 1000.
struct Preset {
  std::int32_t priceHundredths;
  std::int32_t volumeTenths;

  static Preset Draw(Random& random) {
    return {1000 + static_cast<std::int32_t>(random.Below(9000)),
            10 + static_cast<std::int32_t>(random.Below(400))};
  }
  // What the final reading must leave in the driver once the preset is
  // reached: the volume, and price x volume (exact in thousandths).
  bool Matches(const decode::Dispenser& d) const {
    const long double money = static_cast<long double>(priceHundredths) * volumeTenths / 1000;
    return d.liveVolume == volumeTenths / 10.0L && std::abs(d.liveMoney - money) < 1e-9L;
  }
};

class Soak {
 public:
  Soak() {
    FaultPlan faults;
    faults.With(FaultKind::kBadCheckByte, 0.04)
        .With(FaultKind::kNoReply, 0.02)
        .With(FaultKind::kGarbage, 0.02)
        .With(FaultKind::kTruncated, 0.02)
        .With(FaultKind::kCorruptByte, 0.02)
        .With(FaultKind::kWrongLength, 0.02);
    for (int l = 0; l < kLines; ++l) {
      lines_[l] = std::make_unique<SimulatedLine>(clock_);
      for (int a = 1; a <= kAddrs; ++a) {
        lines_[l]->AddDispenser(static_cast<std::uint8_t>(a), {.flowPerMinute = 1'000'000});
        lines_[l]->SetFaults(static_cast<std::uint8_t>(a), faults, 1000 + l);
      }
      service_.Attach(static_cast<std::uint32_t>(l + 1), *lines_[l]);
    }
    service_.SetMonitor(&watch_);
  }

  // One thread's lines: deliveries, polls, totals and parameters at random.
  void RunGroup(int group) {
    Random random(static_cast<std::uint64_t>(group) + 77);
    const int first = 1 + group * 8;
    const int last = group == kGroups - 1 ? kLines - 1 : first + 7;  // 32 is shared
    for (int l = first; l <= last; ++l) {
      Open(l);
    }
    for (int i = 0; i < kOperationsPerGroup; ++i) {
      const auto line = static_cast<std::uint8_t>(first + random.Below(last - first + 1));
      const auto addr = static_cast<std::uint8_t>(1 + random.Below(kAddrs));
      Step(random, line, addr);
    }
  }

  // The shared line's locked operations, on any of its dispensers.
  void RunShared(int seed) {
    Random random(static_cast<std::uint64_t>(seed));
    for (int i = 0; i < kOperationsShared; ++i) {
      const auto addr = static_cast<std::uint8_t>(1 + random.Below(kAddrs));
      double volume = 0;
      double money = 0;
      try {
        switch (random.Below(3)) {
          case 0:
            driver_.PollState(kSharedLine, addr);
            break;
          case 1:
            driver_.ReadTotals(kSharedLine, addr, 1, volume, money);
            break;
          default:
            driver_.ReadParam(kSharedLine, addr, 20);
            break;
        }
      } catch (const ESerialIO&) {
      }
      ++findings_.operations;
    }
  }

  // The shared line's unlocked operations: deliveries on its first
  // dispensers, each followed to its end, and parameter writes.
  void RunSharedDeliveries(int seed) {
    Random random(static_cast<std::uint64_t>(seed));
    for (int i = 0; i < kSharedDeliveries; ++i) {
      const auto addr = static_cast<std::uint8_t>(1 + i % kSharedDeliveryAddrs);
      const Preset preset = Preset::Draw(random);
      try {
        driver_.WriteParam(kSharedLine, static_cast<std::int32_t>(1 + random.Below(kAddrs)),
                           20 + static_cast<std::int32_t>(random.Below(10)),
                           static_cast<std::int32_t>(random.Below(10)));
      } catch (const ESerialIO&) {
      }
      ++findings_.operations;
      try {
        Start(kSharedLine, addr, preset);
      } catch (const ESerialIO&) {
        continue;  // refused, or not known to have started
      }
      for (int read = 0; read < 200; ++read) {
        double money = 0;
        try {
          driver_.ReadLive(kSharedLine, addr, money);
        } catch (const ESerialIO&) {
        }
        ++findings_.operations;
        const decode::Dispenser now = Tables(kSharedLine, addr);
        if (now.pumpState == decode::pump_state::kIdle) {
          Count(preset.Matches(now), now);
          break;
        }
      }
    }
  }

  void OpenShared() { Open(kSharedLine); }
  const Findings& Results() const { return findings_; }
  const SequenceWatch& Watch() const { return watch_; }

 private:
  decode::Dispenser Tables(std::uint8_t line, std::uint8_t addr) const {
    return driver_.Inspect().DispenserAt(line, addr);
  }

  void Start(std::uint8_t line, std::uint8_t addr, const Preset& preset) {
    driver_.SetUnitPrice(line, addr, preset.priceHundredths / 100.0);
    driver_.SetDoseVolume(line, addr, preset.volumeTenths / 10.0);
    driver_.StartPump(line, addr, 1);
  }

  void Count(bool right, const decode::Dispenser& final) {
    ++findings_.deliveries;
    if (final.liveMoney >= 1000) {
      ++findings_.overAThousand;
    }
    if (!right) {
      ++findings_.wrongFinals;
    }
  }

  void Open(int line) {
    for (int tries = 0; tries < 5; ++tries) {
      try {
        driver_.InitLine(static_cast<std::uint32_t>(line));
        return;
      } catch (const ESerialIO&) {
      }
    }
  }

  void Step(Random& random, std::uint8_t line, std::uint8_t addr) {
    ++findings_.operations;
    try {
      if (Tables(line, addr).pumpState == decode::pump_state::kDelivering) {
        FollowDelivery(line, addr);
        return;
      }
      switch (random.Below(6)) {
        case 0:
        case 1:
          Start(line, addr, Preset::Draw(random));
          break;
        case 2:
          CheckedPoll(line, addr);
          break;
        case 3: {
          double volume = 0;
          double money = 0;
          driver_.ReadTotals(line, addr, 1, volume, money);
          break;
        }
        case 4:
          driver_.WriteParam(line, addr, 20 + static_cast<std::int32_t>(random.Below(10)),
                             static_cast<std::int32_t>(random.Below(10)));
          break;
        default:
          driver_.ReadParam(line, addr, static_cast<std::int32_t>(random.Below(30)));
          break;
      }
    } catch (const ESerialIO&) {
      // Faults make some exchanges fail; the host tries again later.
    }
  }

  // A poll whose reply was refused leaves every table as it was.
  void CheckedPoll(std::uint8_t line, std::uint8_t addr) {
    const decode::Dispenser before = Tables(line, addr);
    const std::uint64_t reinits = service_.Stats(line).reinitialisations;
    const std::uint16_t result = driver_.PollState(line, addr);
    if ((result >> 8) != 0 && service_.Stats(line).reinitialisations == reinits &&
        !Same(before, Tables(line, addr))) {
      ++findings_.changedByRefusal;
    }
  }

  // Reads the live values of a started delivery until the final reading is
  // in, then compares it with what the dispenser delivered.
  void FollowDelivery(std::uint8_t line, std::uint8_t addr) {
    const decode::Dispenser before = Tables(line, addr);
    double money = 0;
    driver_.ReadLive(line, addr, money);
    const decode::Dispenser now = Tables(line, addr);
    if (driver_.GetLinkState(line) != protocol::kLineAccepted) {
      if (!Same(before, now)) {
        ++findings_.changedByRefusal;
      }
      return;
    }
    if (now.pumpState != decode::pump_state::kIdle) {
      return;
    }
    const Delivery& delivered = lines_[line - 1]->At(addr)->Current();
    const double volume = static_cast<double>(now.liveVolume);
    const double liveMoney = static_cast<double>(now.liveMoney);
    Count(std::abs(volume - delivered.volume / 100.0) <= 1e-9 &&
              std::abs(liveMoney - static_cast<double>(delivered.MoneyThousandths()) / 1000.0) <=
                  1e-6,
          now);
  }

  lines::ManualClock clock_;
  std::array<std::unique_ptr<SimulatedLine>, kLines> lines_;
  LineService service_{clock_};
  SequenceWatch watch_;
  TVM30 driver_{service_, 0, lines::SleeperOn(clock_)};
  Findings findings_;
};

TEST(Soak, ManyThreadsManyLinesFaultyReplies) {
  Soak soak;
  soak.OpenShared();
  std::vector<std::future<void>> threads;
  for (int g = 0; g < kGroups; ++g) {
    threads.push_back(std::async(std::launch::async, [&soak, g] { soak.RunGroup(g); }));
  }
  threads.push_back(std::async(std::launch::async, [&soak] { soak.RunShared(1); }));
  threads.push_back(std::async(std::launch::async, [&soak] { soak.RunShared(2); }));
  threads.push_back(std::async(std::launch::async, [&soak] { soak.RunSharedDeliveries(3); }));
  for (auto& t : threads) {
    ASSERT_EQ(t.wait_for(std::chrono::minutes(2)), std::future_status::ready) << "deadlock";
  }

  const Findings& f = soak.Results();
  EXPECT_GE(f.operations.load(), kGroups * kOperationsPerGroup + 2 * kOperationsShared);
  EXPECT_GT(f.deliveries.load(), 2000);
  EXPECT_GT(f.overAThousand.load(), f.deliveries.load() / 4);
  EXPECT_EQ(f.changedByRefusal.load(), 0);
  EXPECT_EQ(f.wrongFinals.load(), 0);
  EXPECT_EQ(soak.Watch().Violations(), 0) << soak.Watch().First();
  EXPECT_EQ(soak.Watch().Conversations().Misdirected(), 0)
      << "of " << soak.Watch().Conversations().Acknowledgements();
}

}  // namespace
}  // namespace tarvenix::sim
