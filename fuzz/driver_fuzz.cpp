// The driver's operations answered by arbitrary replies. Whatever comes
// back, nothing reads or writes out of bounds, and a reply the check refused
// changes none of the line's dispenser tables.
//
// Input: a run of chunks, each [operation][claimed length][length bytes of
// reply]; the chunk's reply answers every command exchange of the operation.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <tarvenix/com_link.hpp>
#include <tarvenix/protocol.hpp>
#include <tarvenix/tvm30.hpp>

#include "driver/state.hpp"
#include "link/reply_check.hpp"
#include "support/no_pause.hpp"

namespace {

using namespace tarvenix;

// A line service that answers every command with the current chunk's bytes,
// viewed in place: copying the reply for every command letter, as the
// canned service of the tests does, cost most of each run. Acknowledgements
// pass silently; every refused reply is counted.
class ChunkLink final : public TComLink {
 public:
  void AnswerEvery(std::span<const std::uint8_t> reply, std::uint8_t rxLen) {
    reply_ = reply;
    rxLen_ = rxLen;
  }
  std::uint64_t Rejections() const { return rejections_; }
  void Reset() {
    reply_ = {};
    rxLen_ = 0;
    state_ = 0;
    rejections_ = 0;
  }

  std::int32_t FailResult(std::uint32_t) override { return 1; }
  void SetLineError(std::uint32_t, std::uint32_t) override {}
  void SetLineState(std::uint32_t, std::uint32_t state) override {
    state_ = static_cast<std::uint8_t>(state);
    if (state != protocol::kLineAccepted) {
      ++rejections_;
    }
  }
  std::uint8_t GetLineState(std::uint32_t) override { return state_; }
  std::int32_t ConfigureLine(std::uint32_t, std::uint32_t, std::uint32_t) override { return 0; }
  void SetLineInit(std::uint32_t, LineInitHandler) override {}
  void SetReplyCheck(std::uint32_t, ReplyCheckHandler handler) override { check_ = handler; }

  std::int32_t Exchange(std::uint32_t line, std::uint32_t, std::span<const std::uint8_t>,
                        std::span<std::uint8_t> reply, std::uint8_t expectedLen,
                        std::uint8_t) override {
    if (expectedLen != protocol::kAckExpectedLen) {
      std::copy_n(reply_.begin(), std::min(reply_.size(), reply.size()), reply.begin());
      check_(static_cast<std::uint8_t>(line), reply, rxLen_, expectedLen);
    }
    return 0;
  }

 private:
  std::span<const std::uint8_t> reply_;
  std::uint8_t rxLen_ = 0;
  std::uint8_t state_ = 0;
  std::uint64_t rejections_ = 0;
  ReplyCheckHandler check_;
};

using LineSnapshot = std::array<decode::Dispenser, protocol::kAddrCount>;

void Snapshot(const decode::DispenserTables& tables, LineSnapshot& out, std::uint8_t& param) {
  for (int addr = 1; addr <= protocol::kAddrCount; ++addr) {
    out[static_cast<std::size_t>(addr - 1)] = tables.At(1, addr);
  }
  param = tables.LineParam(1);
}

bool SameLine(const LineSnapshot& before, std::uint8_t paramBefore,
              const decode::DispenserTables& now) {
  for (int addr = 1; addr <= protocol::kAddrCount; ++addr) {
    const decode::Dispenser& x = before[static_cast<std::size_t>(addr - 1)];
    const decode::Dispenser& y = now.At(1, addr);
    if (x.liveVolume != y.liveVolume || x.liveMoney != y.liveMoney ||
        x.totalVolume != y.totalVolume || x.totalMoney != y.totalMoney ||
        x.pumpState != y.pumpState || x.unitPrice != y.unitPrice) {
      return false;
    }
  }
  return paramBefore == now.LineParam(1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // One link and driver per process. Allocating the driver's tables afresh
  // for every input cost more than the operations; their state is instead
  // rebuilt in place, so every input starts from a new driver's tables.
  static ChunkLink link;
  static TVM30 driver(link, 0, testing::NoPause());
  link.Reset();
  auto& state = const_cast<TVM30::State&>(driver.Inspect());
  std::destroy_at(&state);
  std::construct_at(&state);

  driver.SetUnitPrice(1, 2, 52.90);
  LineSnapshot before;
  std::uint8_t paramBefore = 0;
  std::span<const std::uint8_t> input(data, size);
  while (input.size() >= 2) {
    const std::uint8_t operation = input[0];
    const std::size_t available = std::min<std::size_t>(input[1], input.size() - 2);
    link.AnswerEvery(input.subspan(2, available), input[1]);
    input = input.subspan(2 + available);
    const std::uint64_t rejectionsBefore = link.Rejections();
    const bool singleExchange = operation % 6 == 0 || operation % 6 == 2 || operation % 6 == 5;
    if (singleExchange) {
      Snapshot(driver.Inspect().dispensers, before, paramBefore);
    }

    double volume = 0;
    double money = 0;
    const std::uint8_t addr = 1 + (operation >> 3) % 2;
    try {
      switch (operation % 6) {
        case 0:
          driver.PollState(1, addr);
          break;
        case 1:
          driver.StartPump(1, addr, 1);  // then ReadLive polls with C
          [[fallthrough]];
        case 2:
          driver.ReadLive(1, addr, money);
          break;
        case 3:
          driver.ReadTotals(1, addr, 1, volume, money);
          break;
        case 4:
          driver.ReadParam(1, addr, operation);
          break;
        default:
          driver.WriteParam(1, addr, operation, operation);
          break;
      }
    } catch (const ERangeError&) {
      // A p reply whose bytes make no value 0..255; nothing was stored.
    } catch (const ESerialIO&) {
      // A start answered by something other than one accepted byte.
    }
    // Operations of one exchange decode nothing from a refused reply.
    if (singleExchange && link.Rejections() != rejectionsBefore &&
        !SameLine(before, paramBefore, driver.Inspect().dispensers)) {
      std::abort();
    }
  }
  return 0;
}
