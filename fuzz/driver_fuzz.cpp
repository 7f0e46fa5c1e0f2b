// The driver's operations answered by arbitrary replies. Whatever comes
// back, nothing reads or writes out of bounds, and a reply the check refused
// changes none of the line's dispenser tables.
//
// Input: a run of chunks, each [operation][claimed length][length bytes of
// reply]; the chunk's reply answers every command exchange of the operation.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>

#include "driver/state.hpp"
#include "link/reply_check.hpp"
#include "tarvenix/tvm30.hpp"

namespace {

using namespace tarvenix;

class FuzzComLink : public TComLink {
 public:
  std::span<const std::uint8_t> reply;
  std::uint8_t claimedLen = 0;
  bool anyRejected = false;

  std::int32_t FailResult(std::uint32_t) override { return 1; }
  void SetLineError(std::uint32_t, std::uint32_t) override {}
  void SetLineState(std::uint32_t, std::uint32_t state) override {
    state_ = static_cast<std::uint8_t>(state);
    anyRejected |= state != protocol::kLineAccepted;
  }
  std::uint8_t GetLineState(std::uint32_t) override { return state_; }
  std::int32_t ConfigureLine(std::uint32_t, std::uint32_t, std::uint32_t) override { return 0; }
  void SetReplyCheck(std::uint32_t, ReplyCheckHandler handler) override { check_ = handler; }
  void SetLineInit(std::uint32_t, LineInitHandler) override {}
  std::int32_t Exchange(std::uint32_t line, std::uint32_t, std::span<const std::uint8_t>,
                        std::span<std::uint8_t> buffer, std::uint8_t expectedLen,
                        std::uint8_t) override {
    if (expectedLen == 0) {
      return 0;
    }
    std::memcpy(buffer.data(), reply.data(), std::min(reply.size(), buffer.size()));
    check_(static_cast<std::uint8_t>(line), buffer, claimedLen, expectedLen);
    return 0;
  }

 private:
  ReplyCheckHandler check_{};
  std::uint8_t state_ = 0;
};

void NoPause(void*, std::uint32_t) {}

bool SameLine(const decode::DispenserTables& a, const decode::DispenserTables& b, int line) {
  for (int addr = 1; addr <= 32; ++addr) {
    const decode::Dispenser& x = a.At(line, addr);
    const decode::Dispenser& y = b.At(line, addr);
    if (x.liveVolume != y.liveVolume || x.liveMoney != y.liveMoney ||
        x.totalVolume != y.totalVolume || x.totalMoney != y.totalMoney ||
        x.pumpState != y.pumpState || x.unitPrice != y.unitPrice) {
      return false;
    }
  }
  return a.LineParam(line) == b.LineParam(line);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzComLink link;
  TVM30 driver(link, 0, Sleeper{&NoPause, nullptr});
  static decode::DispenserTables before;  // too large for the stack of a fuzzer
  driver.SetUnitPrice(1, 2, 52.90);
  std::span<const std::uint8_t> input(data, size);
  while (input.size() >= 2) {
    const std::uint8_t operation = input[0];
    link.claimedLen = input[1];
    const std::size_t available = std::min<std::size_t>(input[1], input.size() - 2);
    link.reply = input.subspan(2, available);
    input = input.subspan(2 + available);
    link.anyRejected = false;
    before = driver.Inspect().dispensers;

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
    const bool singleExchange = operation % 6 == 0 || operation % 6 == 2 || operation % 6 == 5;
    // Operations of one exchange decode nothing from a refused reply.
    if (singleExchange && link.anyRejected && !SameLine(before, driver.Inspect().dispensers, 1)) {
      std::abort();
    }
  }
  return 0;
}
