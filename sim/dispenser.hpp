// One simulated dispenser: a nozzle, a unit price, a preset delivery that
// flows at a fixed rate, two totaliser counters and 100 numbered parameters.
//
// Phases and what a state request (S0 or P) reports in the S reply's state
// byte, whose two low bits the driver maps to its state codes:
//
//   idle, nozzle hung                    '0'  -> 192 idle
//   idle, nozzle lifted                  '1'  -> 225 ready
//   delivering (authorised, flowing)     '3'  -> 217 delivering
//   ended, final reading not collected   '3'  -> 217 delivering
//
// The driver polls the live delivery with C only while it holds 217, and
// only an F or M reply moves it back to 192. So a delivery that has ended
// keeps reporting '3' until its final reading has gone out in an F or M
// reply and the host has acknowledged it with ACK: a state poll between the
// end of the flow and the final C poll must not report idle, or the host
// would stop polling and never see the final values.
//
// Commands (texts as the driver sends them) and replies:
//   E0MMMMPPPPVVVVmA  start: money dose (whole units), unit price
//                     (hundredths), volume dose (tenths), mode digit.
//                     ACK; NAK while a delivery flows or a field is no digit.
//   T                 stop: ends a flowing delivery (final reply M). ACK.
//   C                 live reading: D while flowing, C while authorised and
//                     the nozzle still hung with nothing delivered, F (preset
//                     reached) or M (stopped early) once ended, and again F/M
//                     with the last delivery's values when idle.
//   S0, P             S reply.
//   Vd                T reply with the counters (d = '0' or '1'; other digits
//                     name nozzles this dispenser lacks and read zero).
//   rNN               p reply with parameter NN.
//   wNNvv             sets parameter NN to digit v (sent twice, must match);
//                     A reply. NAK for a read-only parameter (00..19) or
//                     during a delivery.
// A well-formed frame with any other command gets NAK.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "sim/reply.hpp"

namespace tarvenix::sim {

struct DispenserConfig {
  // Flow while the nozzle is lifted, in hundredths of the volume unit per
  // minute (4000: 40 litres a minute).
  std::uint32_t flowPerMinute = 4000;
  // A simulated customer lifts the nozzle when a delivery is authorised and
  // hangs it up once the final reading has been collected. Without it, tests
  // lift and hang the nozzle themselves.
  bool autoNozzle = true;
};

enum class Phase : std::uint8_t { kIdle, kDelivering, kEnded };

// How the last delivery ended.
enum class EndReason : std::uint8_t { kNone, kPresetReached, kStopped };

struct Delivery {
  std::int32_t moneyDose = 0;   // whole money units
  std::int32_t unitPrice = 0;   // hundredths per volume unit
  std::int32_t volumeDose = 0;  // tenths of the volume unit
  std::uint8_t mode = 0;        // the start mode digit
  std::uint32_t target = 0;     // hundredths of the volume unit
  std::uint32_t volume = 0;     // hundredths delivered so far
  EndReason end = EndReason::kNone;

  // Money of the delivery, price x volume: hundredths (truncated) and
  // thousandths (truncated) of the money unit.
  std::uint64_t MoneyHundredths() const;
  std::uint64_t MoneyThousandths() const;
};

class Dispenser {
 public:
  // Parameters 00..19 are factory settings and read-only: 00 the address,
  // 01 the number of nozzles (1), 02 the flow in volume units a minute
  // (at most 99), 03..19 zero. 20..99 are free and start at 0.
  static constexpr std::size_t kParamCount = 100;
  static constexpr std::uint8_t kFirstWritableParam = 20;
  // The live display holds five digits of hundredths.
  static constexpr std::uint32_t kVolumeLimit = 99999;

  Dispenser(std::uint8_t addr, DispenserConfig config);

  // Carries out the command text of a request and returns the reply. `now`
  // is the time the request arrived; the delivery flows up to it.
  Transmission Execute(std::span<const std::uint8_t> text, std::uint8_t seqChar,
                       std::uint64_t nowUs);
  // The host acknowledged this dispenser's last reply.
  void OnAck();

  // The nozzle, for tests and the bench. Hanging it up while fuel flows ends
  // the delivery as a stop does.
  void LiftNozzle(std::uint64_t nowUs);
  void HangNozzle(std::uint64_t nowUs);

  // A fault of the totaliser: the counters move by `volume` and `money`
  // (hundredths) that no delivery reports, as a meter that slips or fuel
  // drawn while the controller was bypassed.
  void SlipTotals(std::uint64_t volume, std::uint64_t money) {
    totalVolume_ += volume;
    totalMoney_ += money;
  }

  // Brings the delivery up to `now`.
  void Advance(std::uint64_t nowUs);

  std::uint8_t Addr() const { return addr_; }
  Phase CurrentPhase() const { return phase_; }
  bool NozzleUp() const { return nozzleUp_; }
  const Delivery& Current() const { return delivery_; }
  // Totaliser counters in hundredths, the running delivery included.
  std::uint64_t TotalVolume() const;
  std::uint64_t TotalMoney() const;
  std::uint8_t Param(std::size_t number) const { return params_.at(number); }
  const DispenserConfig& Config() const { return config_; }
  // The state byte of the S reply.
  std::uint8_t StateChar() const;

 private:
  Transmission Start(std::span<const std::uint8_t> text, std::uint64_t nowUs);
  Transmission Live(std::uint8_t seqChar);
  Transmission State(std::uint8_t seqChar) const;
  Transmission Totals(std::span<const std::uint8_t> text, std::uint8_t seqChar) const;
  Transmission ReadParam(std::span<const std::uint8_t> text, std::uint8_t seqChar) const;
  Transmission WriteParam(std::span<const std::uint8_t> text, std::uint8_t seqChar);
  void End(EndReason reason);

  std::uint8_t addr_;
  DispenserConfig config_;
  Phase phase_ = Phase::kIdle;
  bool nozzleUp_ = false;
  Delivery delivery_;
  std::uint64_t lastUs_ = 0;       // time the delivery was last brought up to date
  std::uint64_t flowedUs_ = 0;     // time fuel has flowed in this delivery
  bool finalSent_ = false;         // the last reply carried the final reading
  std::uint64_t totalVolume_ = 0;  // counters of ended deliveries, hundredths
  std::uint64_t totalMoney_ = 0;
  std::array<std::uint8_t, kParamCount> params_{};
};

}  // namespace tarvenix::sim
