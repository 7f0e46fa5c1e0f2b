// The sale's rules, in one place: which state may follow which, which
// states keep a pump busy or count as unpaid (for the code and, as SQL
// lists, for the journal's queries and its CHECK), and what the totaliser
// counters say a sale delivered.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

#include "forecourt/model.hpp"

namespace tarvenix::forecourt {

// A change the rules do not allow, or a write that found the sale in
// another state than the one it was made from: a fault of the program, not
// of the disk, and never retried.
class StateConflict : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

// Whether `to` may follow `from`. A state may always follow itself (a
// change of the figures only).
bool CanMove(TxnState from, TxnState to);
// Moves the sale to `to`; raises StateConflict when the rules forbid it.
void Move(Transaction& txn, TxnState to);

// The states, as an SQL list such as "('payable', 'locked')".
enum class StateSet { kAll, kOpen, kUnpaid, kDelivered };
const std::string& SqlList(StateSet set);
// Payable, locked or cleared: a sale that delivered fuel.
bool IsDelivered(TxnState s);

// What the counters moved across a sale, in their own units. Empty when the
// reading before the sale is missing: then the counters tell nothing.
struct CounterDelta {
  std::int64_t volume = 0;
  std::int64_t money = 0;
  bool wentBack() const { return volume < 0 || money < 0; }
};
std::optional<CounterDelta> CountersMoved(const Transaction& txn, const Totals& after);

}  // namespace tarvenix::forecourt
