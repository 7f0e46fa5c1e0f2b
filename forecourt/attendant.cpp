#include "forecourt/attendant.hpp"

#include <chrono>

#include "forecourt/thread_name.hpp"

namespace tarvenix::forecourt {
namespace {

constexpr const char* kClient = "demo";
constexpr std::size_t kAll = 1'000'000;

}  // namespace

Attendant::Attendant(Forecourt& forecourt, Log& log, std::uint32_t sales)
    : forecourt_(forecourt), log_(log), sales_(sales) {}

Attendant::~Attendant() {
  Stop();
}

void Attendant::Round() {
  Journal& journal = forecourt_.GetJournal();
  for (const Transaction& txn : journal.List({.state = TxnState::kPayable, .limit = kAll})) {
    if (txn.client == kClient) {
      forecourt_.Clear(txn.id, kClient);
    }
  }
  const auto all = journal.List({.limit = kAll});
  std::uint32_t made = 0;
  bool open = false;
  for (const Transaction& txn : all) {
    if (txn.client == kClient && txn.state != TxnState::kFailed) {
      ++made;
    }
    open = open || IsOpen(txn.state) || IsUnpaid(txn.state) ||
           (txn.state != TxnState::kFailed && txn.reconciliation == Reconciliation::kPending);
  }
  if (sales_ != 0 && made >= sales_) {
    if (!open && !done_.exchange(true)) {
      log_.Info("demo: {} sales made", made);
    }
    return;
  }
  std::vector<std::future<Outcome>> pending;
  for (const PumpSnapshot& pump : forecourt_.Pumps()) {
    if (!pump.online || pump.transactionId || pump.state == PumpState::kFuelling ||
        pump.unpaid > 0) {
      continue;
    }
    std::size_t ofPump = 0;
    for (const Transaction& txn : all) {
      ofPump += txn.pumpId == pump.id && txn.client == kClient ? 1 : 0;
    }
    // 1.0 to 4.0 volume units, varying by sale.
    const double preset = 1.0 + static_cast<double>((ofPump * 7 + pump.addr) % 31) / 10.0;
    pending.push_back(
        forecourt_.Authorise({.pumpId = pump.id,
                              .kind = PresetKind::kVolume,
                              .preset = preset,
                              .client = kClient,
                              .reference = "demo-" + pump.id + "-" + std::to_string(ofPump + 1)}));
    if (sales_ != 0 && ++made >= sales_) {
      break;
    }
  }
  for (auto& outcome : pending) {
    outcome.wait();
  }
}

void Attendant::Start() {
  thread_ = std::thread([this] {
    NameThisThread("tvx-attendant");
    std::unique_lock lock(mutex_);
    while (!stopping_) {
      lock.unlock();
      Round();
      lock.lock();
      wake_.wait_for(lock, std::chrono::milliseconds(100), [this] { return stopping_; });
    }
  });
}

void Attendant::Stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) {
    thread_.join();
  }
}

}  // namespace tarvenix::forecourt
