// What the forecourt service knows and tells: pumps, their states, sales
// (transactions), alerts and the outcome of a command. Plain values, copied
// between the line workers and the threads that ask.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tarvenix/protocol.hpp>

namespace tarvenix::forecourt {

// The dispenser state codes the driver reports; the service calls the
// ready state "calling", since a customer has lifted the nozzle.
namespace dispenser_state {
using protocol::pump_state::kDelivering;
using protocol::pump_state::kIdle;
using protocol::pump_state::kUnknown;
inline constexpr std::uint8_t kCalling = protocol::pump_state::kReady;
}  // namespace dispenser_state

// Connecting: not yet heard from since the service started; offline: no
// longer answering, or never answered its first polls.
enum class PumpState : std::uint8_t {
  kConnecting,
  kOffline,
  kIdle,
  kCalling,
  kAuthorised,
  kFuelling,
};
std::string_view Name(PumpState state);

// What a pump does while no point of sale is heard (fallback.hpp): off,
// attended (nothing by itself: a person authorises from the page) or auto
// (a lifted nozzle is authorised for the fallback preset).
enum class FallbackMode : std::uint8_t { kOff, kAttended, kAuto };
std::string_view Name(FallbackMode mode);

enum class PresetKind : std::uint8_t { kVolume, kMoney };
std::string_view Name(PresetKind kind);

struct PumpConfig {
  std::string id;
  std::string name;
  std::uint8_t addr = 1;
  std::int32_t startMode = 1;       // sent with StartPump
  std::int32_t totalsSelector = 1;  // the V command's selector
  double totalsScale = 100;         // counter units per volume or money unit
  std::optional<double> price;      // unit price until one is set
  std::string product;              // e.g. "diesel": a price set may name it; empty: none
  FallbackMode fallback = FallbackMode::kOff;
  PresetKind fallbackKind = PresetKind::kMoney;  // the largest sale fallback authorises
  double fallbackPreset = 0;
};

// A transaction's life: authorising (written before the start is sent),
// authorised (start accepted), fuelling (fuel flows), then payable (a sale
// waiting to be paid), locked (a client is paying it), cleared (paid); or
// cancelled (ended with nothing delivered) or failed (the start was refused).
enum class TxnState : std::uint8_t {
  kAuthorising,
  kAuthorised,
  kFuelling,
  kPayable,
  kLocked,
  kCleared,
  kCancelled,
  kFailed,
};
std::string_view Name(TxnState state);
std::optional<TxnState> TxnStateByName(std::string_view name);
// The pump is busy with it.
inline bool IsOpen(TxnState s) {
  return s == TxnState::kAuthorising || s == TxnState::kAuthorised || s == TxnState::kFuelling;
}
// Counts against max_unpaid.
inline bool IsUnpaid(TxnState s) {
  return s == TxnState::kPayable || s == TxnState::kLocked;
}

// How the totaliser counters agree with the delivery's final reading.
enum class Reconciliation : std::uint8_t {
  kPending,    // the counters after the delivery are still to be read
  kOk,         // they agree
  kMismatch,   // they do not: a totals-mismatch alert was raised
  kRecovered,  // the final reading was lost; the sale is the counters' difference
  // The counters went back during the sale (a reset or replaced register):
  // the sale keeps the dispenser's final reading, with nothing to check it.
  kNotReconcilable,
};
std::string_view Name(Reconciliation r);

struct Transaction {
  std::int64_t id = 0;
  std::string pumpId;
  std::string client;
  std::optional<std::string> reference;
  PresetKind presetKind = PresetKind::kVolume;
  double preset = 0;
  double price = 0;
  TxnState state = TxnState::kAuthorising;
  double volume = 0;
  double money = 0;
  // Raw totaliser counters, as the dispenser reports them.
  std::optional<std::int64_t> totalsVolumeBefore;
  std::optional<std::int64_t> totalsMoneyBefore;
  std::optional<std::int64_t> totalsVolumeAfter;
  std::optional<std::int64_t> totalsMoneyAfter;
  Reconciliation reconciliation = Reconciliation::kPending;
  bool recovered = false;
  std::optional<std::string> lockClient;
  std::string message;  // the driver's message of a failed start, or a note
  std::int64_t createdMs = 0;
  std::int64_t updatedMs = 0;
  // The price set the sale was priced from; empty for a price given with
  // the authorisation or set on the pump directly.
  std::optional<std::int64_t> priceSetId;
  // Authorised by the service itself while no point of sale was heard.
  bool fallback = false;
};

struct Alert {
  std::int64_t id = 0;
  // "totals-mismatch", "unattended-delivery", "totals-reset", "pump-offline"
  std::string kind;
  std::string pumpId;
  std::optional<std::int64_t> transactionId;
  std::string message;
  std::string details;  // a JSON object with the figures
  std::int64_t createdMs = 0;
  std::optional<std::int64_t> acknowledgedMs;
};

struct Totals {
  std::int64_t volume = 0;  // raw counters
  std::int64_t money = 0;
  double scale = 100;
  bool reset = false;  // below the last reading: the pump was re-based on it
};

// What a command came to. A refusal carries a machine-readable reason
// (see docs/forecourt.md) and a message for a person.
struct Outcome {
  std::string reason;  // empty when the command succeeded
  std::string message;
  // What the driver said (decoded to UTF-8), beside the service's message.
  std::string dispenserMessage;
  std::optional<Transaction> transaction;
  bool existing = false;    // an idempotent authorisation returned an earlier one
  bool delivering = false;  // a stop found the pump authorised or delivering
  std::optional<Totals> totals;
  std::optional<std::int32_t> parameter;

  bool Ok() const { return reason.empty(); }
  static Outcome Refused(std::string reason, std::string message,
                         std::string dispenserMessage = {}) {
    Outcome o;
    o.reason = std::move(reason);
    o.message = std::move(message);
    o.dispenserMessage = std::move(dispenserMessage);
    return o;
  }
};

struct PumpSnapshot {
  std::string id;
  std::string name;
  std::uint32_t line = 0;  // 1-based, in configuration order
  std::uint8_t addr = 0;
  PumpState state = PumpState::kConnecting;
  std::uint8_t rawState = 0;
  bool online = false;
  std::optional<double> price;
  double liveVolume = 0;
  double liveMoney = 0;
  std::optional<std::int64_t> transactionId;
  std::uint32_t unpaid = 0;
  // Microseconds of the service's clock since the state was last confirmed
  // by the dispenser; empty before any reply.
  std::optional<std::uint64_t> stateAgeUs;
};

}  // namespace tarvenix::forecourt
