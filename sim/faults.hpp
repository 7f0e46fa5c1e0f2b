// Fault injection: what a noisy line or a sick controller does to replies.
//
// Each dispenser has a plan: for every fault kind a probability that it hits
// a reply. Every reply draws each kind in the order below and suffers the
// first that hits, so one reply carries at most one fault. The draws come
// from a generator seeded per dispenser, so a seed replays the same faults.
// Faults act on the reply only: the controller has already carried out the
// command when its reply is lost or damaged.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "sim/reply.hpp"

namespace tarvenix::sim {

enum class FaultKind : std::uint8_t {
  kNoReply,       // the reply never arrives
  kCorruptByte,   // one byte of the reply has bits flipped
  kBadCheckByte,  // the BCC is wrong (a one-byte reply has none and goes out intact)
  kTruncated,     // the reply stops short, possibly before its first byte
  kWrongLength,   // a well-sealed frame one field byte longer or shorter
  kGarbage,       // one to three noise bytes before the start byte
  kDelay,         // the reply comes late by the plan's delay
};
inline constexpr std::size_t kFaultKindCount = 7;

// "noreply", "corrupt", "badbcc", "truncate", "length", "garbage", "delay".
std::string_view FaultName(FaultKind kind);
std::optional<FaultKind> FaultByName(std::string_view name);

struct FaultPlan {
  std::array<double, kFaultKindCount> probability{};  // 0 (never) .. 1 (every reply)
  std::uint32_t delayMs = 300;                        // kDelay: beyond a 140 ms reply timeout

  FaultPlan& With(FaultKind kind, double p) {
    probability[static_cast<std::size_t>(kind)] = p;
    return *this;
  }
};

// splitmix64: small, fast and the same everywhere, so seeds replay.
class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}
  std::uint64_t Next();
  double Uniform() { return static_cast<double>(Next() >> 11) * 0x1.0p-53; }  // [0, 1)
  std::uint32_t Below(std::uint32_t bound) { return static_cast<std::uint32_t>(Next() % bound); }

 private:
  std::uint64_t state_;
};

class FaultInjector {
 public:
  FaultInjector(FaultPlan plan, std::uint64_t seed) : plan_(plan), random_(seed) {}

  // Damages `reply` as the plan draws. Returns the fault applied, if any;
  // kNoReply leaves the transmission empty.
  std::optional<FaultKind> Apply(Transmission& reply);

  const FaultPlan& Plan() const { return plan_; }
  // How often each kind has hit.
  const std::array<std::uint64_t, kFaultKindCount>& Counts() const { return counts_; }

 private:
  void Damage(FaultKind kind, Transmission& reply);

  FaultPlan plan_;
  Random random_;
  std::array<std::uint64_t, kFaultKindCount> counts_{};
};

}  // namespace tarvenix::sim
