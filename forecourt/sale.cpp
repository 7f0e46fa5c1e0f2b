#include "forecourt/sale.hpp"

#include <algorithm>
#include <array>
#include <utility>

namespace tarvenix::forecourt {
namespace {

using enum TxnState;

// Every change a sale may make. A start is written before it is sent
// (authorising), then confirmed (authorised) or refused (failed); an
// earlier run's sale may be settled from any open state straight to its
// end, from the counters.
constexpr std::array<std::pair<TxnState, TxnState>, 14> kTransitions = {{
    {kAuthorising, kAuthorised},
    {kAuthorising, kFailed},
    {kAuthorising, kFuelling},
    {kAuthorising, kPayable},
    {kAuthorising, kCancelled},
    {kAuthorised, kFuelling},
    {kAuthorised, kPayable},
    {kAuthorised, kCancelled},
    {kFuelling, kPayable},
    {kFuelling, kCancelled},
    {kPayable, kLocked},
    {kPayable, kCleared},
    {kLocked, kPayable},
    {kLocked, kCleared},
}};

std::string Build(bool (*member)(TxnState)) {
  std::string out = "(";
  for (auto s :
       {kAuthorising, kAuthorised, kFuelling, kPayable, kLocked, kCleared, kCancelled, kFailed}) {
    if (member(s)) {
      out += (out.size() > 1 ? ", '" : "'") + std::string(Name(s)) + "'";
    }
  }
  return out + ")";
}

}  // namespace

bool CanMove(TxnState from, TxnState to) {
  return from == to || std::ranges::find(kTransitions, std::pair(from, to)) != kTransitions.end();
}

void Move(Transaction& txn, TxnState to) {
  if (!CanMove(txn.state, to)) {
    throw StateConflict("sale " + std::to_string(txn.id) + " cannot go from " +
                        std::string(Name(txn.state)) + " to " + std::string(Name(to)));
  }
  txn.state = to;
}

bool IsDelivered(TxnState s) {
  return s == kPayable || s == kLocked || s == kCleared;
}

const std::string& SqlList(StateSet set) {
  static const std::string all = Build([](TxnState) { return true; });
  static const std::string open = Build(IsOpen);
  static const std::string unpaid = Build(IsUnpaid);
  static const std::string delivered = Build(IsDelivered);
  switch (set) {
    case StateSet::kOpen:
      return open;
    case StateSet::kUnpaid:
      return unpaid;
    case StateSet::kDelivered:
      return delivered;
    case StateSet::kAll:
      break;
  }
  return all;
}

std::optional<CounterDelta> CountersMoved(const Transaction& txn, const Totals& after) {
  if (!txn.totalsVolumeBefore || !txn.totalsMoneyBefore) {
    return std::nullopt;
  }
  return CounterDelta{.volume = after.volume - *txn.totalsVolumeBefore,
                      .money = after.money - *txn.totalsMoneyBefore};
}

}  // namespace tarvenix::forecourt
