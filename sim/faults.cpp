#include "sim/faults.hpp"

#include <algorithm>
#include <tarvenix/protocol.hpp>

namespace tarvenix::sim {
namespace {

constexpr std::array<std::string_view, kFaultKindCount> kNames = {
    "noreply", "corrupt", "badbcc", "truncate", "length", "garbage", "delay"};

// Bytes a reply may start with.
bool IsStartByte(std::uint8_t byte) {
  return byte == protocol::kStx || byte == protocol::kEot || byte == protocol::kAck;
}

// A non-zero mask, so that a corrupted byte really changes.
std::uint8_t FlipMask(Random& random) {
  return static_cast<std::uint8_t>(1 + random.Below(255));
}

}  // namespace

std::string_view FaultName(FaultKind kind) {
  return kNames[static_cast<std::size_t>(kind)];
}

std::optional<FaultKind> FaultByName(std::string_view name) {
  for (std::size_t i = 0; i < kNames.size(); ++i) {
    if (kNames[i] == name) {
      return static_cast<FaultKind>(i);
    }
  }
  return std::nullopt;
}

std::uint64_t Random::Next() {
  std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

std::optional<FaultKind> FaultInjector::Apply(Transmission& reply) {
  for (std::size_t i = 0; i < kFaultKindCount; ++i) {
    const double p = plan_.probability[i];
    // A certain fault draws nothing, so it does not shift the later draws.
    if (p >= 1.0 || (p > 0.0 && random_.Uniform() < p)) {
      const auto kind = static_cast<FaultKind>(i);
      Damage(kind, reply);
      ++counts_[i];
      return kind;
    }
  }
  return std::nullopt;
}

void FaultInjector::Damage(FaultKind kind, Transmission& reply) {
  const std::uint8_t n = reply.length;
  switch (kind) {
    case FaultKind::kNoReply:
      reply.length = 0;
      break;
    case FaultKind::kCorruptByte: {
      const std::uint32_t at = random_.Below(n);
      std::uint8_t changed = 0;
      // A lone byte must not turn into another start byte, nor into the NAK
      // of a refusal.
      do {
        changed = static_cast<std::uint8_t>(reply.bytes[at] ^ FlipMask(random_));
      } while (n == 1 && (IsStartByte(changed) || changed == protocol::kNak));
      reply.bytes[at] = changed;
      break;
    }
    case FaultKind::kBadCheckByte:
      if (n >= 2) {
        reply.bytes[n - 1] ^= FlipMask(random_);
      }
      break;
    case FaultKind::kTruncated:
      reply.length = static_cast<std::uint8_t>(random_.Below(n));
      break;
    case FaultKind::kWrongLength:
      if (n >= 6) {
        // Drop or repeat the field byte at index 3, then seal the frame
        // again: only the length gives it away.
        auto* const field = reply.bytes.begin() + 3;
        if (random_.Below(2) == 0) {
          std::copy(field + 1, reply.bytes.begin() + n, field);
          reply.length = static_cast<std::uint8_t>(n - 1);
        } else {
          std::copy_backward(field, reply.bytes.begin() + n, reply.bytes.begin() + n + 1);
          reply.length = static_cast<std::uint8_t>(n + 1);
        }
        Reseal(reply);
      } else {
        reply.bytes[n] = reply.bytes[n - 1];
        reply.length = static_cast<std::uint8_t>(n + 1);
      }
      break;
    case FaultKind::kGarbage: {
      const std::uint32_t count = 1 + random_.Below(3);
      std::copy_backward(reply.bytes.begin(), reply.bytes.begin() + n,
                         reply.bytes.begin() + n + count);
      for (std::uint32_t i = 0; i < count; ++i) {
        reply.bytes[i] = static_cast<std::uint8_t>(random_.Next());
      }
      reply.length = static_cast<std::uint8_t>(n + count);
      break;
    }
    case FaultKind::kDelay:
      reply.delayUs = plan_.delayMs * 1000;
      break;
  }
}

}  // namespace tarvenix::sim
