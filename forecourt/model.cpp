#include "forecourt/model.hpp"

#include <array>
#include <utility>

namespace tarvenix::forecourt {
namespace {

constexpr std::array<std::pair<TxnState, std::string_view>, 8> kTxnStates = {{
    {TxnState::kAuthorising, "authorising"},
    {TxnState::kAuthorised, "authorised"},
    {TxnState::kFuelling, "fuelling"},
    {TxnState::kPayable, "payable"},
    {TxnState::kLocked, "locked"},
    {TxnState::kCleared, "cleared"},
    {TxnState::kCancelled, "cancelled"},
    {TxnState::kFailed, "failed"},
}};

}  // namespace

std::string_view Name(PumpState state) {
  switch (state) {
    case PumpState::kConnecting:
      return "connecting";
    case PumpState::kOffline:
      return "offline";
    case PumpState::kIdle:
      return "idle";
    case PumpState::kCalling:
      return "calling";
    case PumpState::kAuthorised:
      return "authorised";
    case PumpState::kFuelling:
      return "fuelling";
  }
  return "offline";
}

std::string_view Name(PresetKind kind) {
  return kind == PresetKind::kVolume ? "volume" : "money";
}

std::string_view Name(TxnState state) {
  for (const auto& [value, name] : kTxnStates) {
    if (value == state) {
      return name;
    }
  }
  return "failed";
}

std::optional<TxnState> TxnStateByName(std::string_view name) {
  for (const auto& [value, text] : kTxnStates) {
    if (text == name) {
      return value;
    }
  }
  return std::nullopt;
}

std::string_view Name(Reconciliation r) {
  switch (r) {
    case Reconciliation::kPending:
      return "pending";
    case Reconciliation::kOk:
      return "ok";
    case Reconciliation::kMismatch:
      return "mismatch";
    case Reconciliation::kRecovered:
      return "recovered";
    case Reconciliation::kNotReconcilable:
      return "not-reconcilable";
  }
  return "pending";
}

std::string_view Name(FallbackMode mode) {
  switch (mode) {
    case FallbackMode::kOff:
      return "off";
    case FallbackMode::kAttended:
      return "attended";
    case FallbackMode::kAuto:
      return "auto";
  }
  return "off";
}

}  // namespace tarvenix::forecourt
