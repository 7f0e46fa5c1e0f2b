// The driver's operations answered by arbitrary replies. Whatever comes
// back, nothing reads or writes out of bounds, and a reply the check refused
// changes none of the line's dispenser tables.
//
// Input: a run of chunks, each [operation][claimed length][length bytes of
// reply]; the chunk's reply answers every command exchange of the operation.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <tarvenix/tvm30.hpp>

#include "driver/state.hpp"
#include "link/reply_check.hpp"
#include "support/canned_com_link.hpp"

namespace {

using namespace tarvenix;

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
  testing::CannedComLink link;
  TVM30 driver(link, 0, testing::NoPause());
  static decode::DispenserTables before;  // too large for the stack of a fuzzer
  driver.SetUnitPrice(1, 2, 52.90);
  std::span<const std::uint8_t> input(data, size);
  while (input.size() >= 2) {
    const std::uint8_t operation = input[0];
    const std::size_t available = std::min<std::size_t>(input[1], input.size() - 2);
    link.AnswerEvery(input.subspan(2, available), input[1]);
    input = input.subspan(2 + available);
    const std::uint64_t rejectionsBefore = link.Rejections(1);
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
    if (singleExchange && link.Rejections(1) != rejectionsBefore &&
        !SameLine(before, driver.Inspect().dispensers, 1)) {
      std::abort();
    }
  }
  return 0;
}
