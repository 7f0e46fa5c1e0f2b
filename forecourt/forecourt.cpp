#include "forecourt/forecourt.hpp"

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <system_error>
#include <tarvenix/lines/serial_com_link.hpp>

#include "forecourt/thread_name.hpp"

namespace tarvenix::forecourt {
namespace {

// Why a line is down, or empty while it is up.
std::string DownReason(bool opened, const lines::LineHealth& health, const std::string& port) {
  if (!opened) {
    return "not opened yet";
  }
  if (!health.ready) {
    if (health.osError != 0) {
      return "cannot open " + port + ": " + std::system_category().message(health.osError);
    }
    return health.lastResult == lines::kResultNotOpen ? "the line is not configured"
                                                      : "the port failed";
  }
  if (!health.answered) {
    return "nothing has answered since the line was opened";
  }
  return {};
}

std::int64_t SystemNowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace

// A line's transport (a serial port, or simulated dispensers behind the
// in-process line service) and its worker. Each line has a line service of
// its own, so that lines share nothing but the journal.
struct Forecourt::Line {
  std::string port;
  std::unique_ptr<lines::InstrumentedLink> link;
  std::unique_ptr<LineWorker> worker;
};

// Every line's events go to the exchange log (verbose only) and to a
// listener that may come and go while the lines run.
class Forecourt::Tap final : public lines::LineMonitor {
 public:
  explicit Tap(ExchangeLog* log) : log_(log) {}
  void OnLineEvent(const lines::LineEvent& event) override {
    if (log_ != nullptr) {
      log_->OnLineEvent(event);
    }
    if (lines::LineMonitor* listener = listener_.load()) {
      listener->OnLineEvent(event);
    }
  }
  void SetListener(lines::LineMonitor* listener) { listener_.store(listener); }

 private:
  ExchangeLog* log_;
  std::atomic<lines::LineMonitor*> listener_{nullptr};
};

Forecourt::Forecourt(const Config& config, Log& log, lines::Clock* clock, Journal::NowMs nowMs,
                     SimulatedLinkFactory simulated)
    : config_(config), log_(log) {
  if (clock == nullptr) {
    ownClock_ = std::make_unique<lines::WallClock>();
    clock = ownClock_.get();
  }
  clock_ = clock;
  journal_ = std::make_unique<Journal>(config_.database, events_,
                                       nowMs ? std::move(nowMs) : Journal::NowMs(SystemNowMs));
  bool fallback = false;
  for (const LineConfig& line : config_.lines) {
    for (const PumpConfig& pump : line.pumps) {
      fallback = fallback || pump.fallback != FallbackMode::kOff;
    }
  }
  journal_->KeepOutbox(config_.uplink.enabled);
  fallback_ = std::make_unique<FallbackWatch>(config_.settings.fallbackAfterS, fallback, *journal_,
                                              events_);
  if (log_.Verbose()) {
    exchangeLog_ = std::make_unique<ExchangeLog>(log_);
  }
  tap_ = std::make_unique<Tap>(exchangeLog_.get());
  const auto unfinished = journal_->Unfinished();
  for (std::size_t i = 0; i < config_.lines.size(); ++i) {
    const LineConfig& lc = config_.lines[i];
    const auto lineNo = static_cast<std::uint32_t>(i + 1);
    auto line = std::make_unique<Line>();
    if (lc.simulate > 0) {
      if (!simulated) {
        throw std::invalid_argument("line " + std::to_string(lineNo) +
                                    " is simulated, and this program has no simulator");
      }
      line->port = "simulated";
      line->link = simulated(lineNo, i, lc, *clock_);
    } else {
      line->port = lc.device;
      auto serial = std::make_unique<lines::SerialComLink>();
      lines::PortSettings port{.device = lc.device, .matchEcho = lc.matchEcho};
      if (lc.baud != 0) {
        port.baud = lc.baud;
      }
      serial->AssignPort(lineNo, port);
      line->link = std::move(serial);
    }
    line->link->SetMonitor(tap_.get());
    for (const PumpConfig& pump : lc.pumps) {
      journal_->SavePump(pump, lineNo);
    }
    line->worker = std::make_unique<LineWorker>(lineNo, *line->link, *clock_, lc.pumps,
                                                config_.settings, *journal_, events_, log_);
    line->worker->SetFallback(fallback_.get());
    for (const Transaction& txn : unfinished) {
      if (line->worker->Serves(txn.pumpId)) {
        line->worker->Adopt(txn);
        log_.Info("transaction {} on pump {} was left {}: settling it", txn.id, txn.pumpId,
                  Name(txn.state));
      }
    }
    lines_.push_back(std::move(line));
  }
  AuditStart();
  journal_->PublishPresent();
  writer_.thread = std::thread([this] {
    NameThisThread("tvx-journal");
    RunChanges();
  });
}

// The configuration the service runs with is part of the audit trail:
// pumps, prices, products and the settings that decide what it does alone
// (never the tokens).
void Forecourt::AuditStart() {
  nlohmann::json pumps = nlohmann::json::array();
  for (std::size_t i = 0; i < config_.lines.size(); ++i) {
    for (const PumpConfig& pump : config_.lines[i].pumps) {
      pumps.push_back({{"id", pump.id},
                       {"line", i + 1},
                       {"address", pump.addr},
                       {"price", pump.price ? nlohmann::json(*pump.price) : nullptr},
                       {"product", pump.product},
                       {"fallback", Name(pump.fallback)}});
    }
  }
  AuditRecord record{.kind = "configuration",
                     .method = "START",
                     .path = "tarvenixd",
                     .body = {{"pumps", pumps},
                              {"tokens", config_.tokens.size()},
                              {"max_unpaid", config_.settings.maxUnpaid},
                              {"fallback_after_s", config_.settings.fallbackAfterS}}};
  record.outcome = {{"result", "loaded"}};
  journal_->Audit(record);
}

Forecourt::~Forecourt() {
  Stop();
  StopChanges();
}

void Forecourt::Start() {
  started_ = true;
  for (auto& line : lines_) {
    line->worker->Start();
  }
}

void Forecourt::Stop() {
  StopBefore(std::chrono::steady_clock::time_point::max());
}

std::vector<std::uint32_t> Forecourt::StopBefore(std::chrono::steady_clock::time_point deadline) {
  for (auto& line : lines_) {
    line->worker->RequestStop();
  }
  std::vector<std::uint32_t> running;
  for (auto& line : lines_) {
    if (!line->worker->JoinBefore(deadline)) {
      running.push_back(line->worker->LineNo());
    }
  }
  // The changes already taken are small writes: they finish, later ones
  // are refused.
  StopChanges();
  return running;
}

void Forecourt::Step() {
  for (auto& line : lines_) {
    line->worker->Step();
  }
}

LineWorker* Forecourt::WorkerOf(const std::string& pumpId) const {
  for (const auto& line : lines_) {
    if (line->worker->Serves(pumpId)) {
      return line->worker.get();
    }
  }
  return nullptr;
}

void Forecourt::Submit(Command command, Completion done) {
  const std::string& pumpId =
      command.kind == Command::Kind::kAuthorise ? command.authorise.pumpId : command.pumpId;
  LineWorker* worker = WorkerOf(pumpId);
  if (worker == nullptr) {
    // An idempotent retry is answered even for a pump since removed.
    if (command.kind == Command::Kind::kAuthorise && command.authorise.reference) {
      if (auto existing =
              journal_->FindByReference(command.authorise.client, *command.authorise.reference);
          existing && existing->pumpId == pumpId) {
        done(ByReference(std::move(*existing), command.authorise));
        return;
      }
    }
    done(Outcome::Refused("unknown-pump", "no pump '" + pumpId + "'"));
    return;
  }
  worker->Submit(std::move(command), std::move(done));
}

std::future<Outcome> Forecourt::Submit(Command command) {
  auto promise = std::make_shared<std::promise<Outcome>>();
  std::future<Outcome> future = promise->get_future();
  Submit(std::move(command),
         [promise](Outcome outcome) { promise->set_value(std::move(outcome)); });
  return future;
}

void Forecourt::Change(std::function<Outcome()> change, Deadline deadline, Completion done) {
  {
    std::unique_lock lock(writer_.mutex);
    if (writer_.stopping) {
      lock.unlock();
      done(Outcome::Refused("stopping", "the service is stopping"));
      return;
    }
    writer_.queue.push_back({std::move(change), std::move(deadline), std::move(done)});
  }
  writer_.wake.notify_one();
}

void Forecourt::RunChanges() {
  for (;;) {
    Writer::Change next;
    {
      std::unique_lock lock(writer_.mutex);
      writer_.wake.wait(lock, [this] { return writer_.stopping || !writer_.queue.empty(); });
      if (writer_.queue.empty()) {
        return;  // stopping, and everything taken is written
      }
      next = std::move(writer_.queue.front());
      writer_.queue.pop_front();
    }
    Outcome outcome;
    try {
      outcome = next.deadline.Claim(clock_->NowUs())
                    ? next.change()
                    : Outcome::Refused("expired",
                                       "the client stopped waiting before the journal could take "
                                       "the change: it was not made");
    } catch (const std::exception& e) {
      outcome = Outcome::Refused("journal-error",
                                 std::string("the journal takes no writes: ") + e.what());
    }
    next.done(std::move(outcome));
  }
}

void Forecourt::StopChanges() {
  {
    std::lock_guard lock(writer_.mutex);
    writer_.stopping = true;
  }
  writer_.wake.notify_one();
  if (writer_.thread.joinable()) {
    writer_.thread.join();
  }
}

std::future<Outcome> Forecourt::Authorise(AuthoriseRequest request, Deadline deadline) {
  Command command;
  command.kind = Command::Kind::kAuthorise;
  command.authorise = std::move(request);
  command.deadline = std::move(deadline);
  return Submit(std::move(command));
}

std::future<Outcome> Forecourt::StopPump(const std::string& pumpId, Deadline deadline) {
  return Submit({.kind = Command::Kind::kStop, .pumpId = pumpId, .deadline = std::move(deadline)});
}

std::vector<std::future<Outcome>> Forecourt::StopAll() {
  std::vector<std::future<Outcome>> out;
  for (const PumpSnapshot& pump : Pumps()) {
    out.push_back(StopPump(pump.id));
  }
  return out;
}

std::future<Outcome> Forecourt::SetPrice(const std::string& pumpId, double price,
                                         Deadline deadline) {
  return Submit({.kind = Command::Kind::kSetPrice,
                 .pumpId = pumpId,
                 .price = price,
                 .deadline = std::move(deadline)});
}

std::future<Outcome> Forecourt::ReadTotals(const std::string& pumpId, Deadline deadline) {
  return Submit(
      {.kind = Command::Kind::kReadTotals, .pumpId = pumpId, .deadline = std::move(deadline)});
}

std::future<Outcome> Forecourt::ReadParam(const std::string& pumpId, std::int32_t param,
                                          Deadline deadline) {
  return Submit({.kind = Command::Kind::kReadParam,
                 .pumpId = pumpId,
                 .param = param,
                 .deadline = std::move(deadline)});
}

std::future<Outcome> Forecourt::WriteParam(const std::string& pumpId, std::int32_t param,
                                           std::int32_t value, Deadline deadline) {
  return Submit({.kind = Command::Kind::kWriteParam,
                 .pumpId = pumpId,
                 .param = param,
                 .value = value,
                 .deadline = std::move(deadline)});
}

std::vector<PumpSnapshot> Forecourt::Pumps() const {
  std::vector<PumpSnapshot> out;
  for (const auto& line : lines_) {
    auto snapshots = line->worker->Snapshots();
    out.insert(out.end(), snapshots.begin(), snapshots.end());
  }
  return out;
}

std::optional<PumpSnapshot> Forecourt::Pump(const std::string& pumpId) const {
  for (PumpSnapshot& pump : Pumps()) {
    if (pump.id == pumpId) {
      return pump;
    }
  }
  return std::nullopt;
}

std::vector<LineInfo> Forecourt::Lines() const {
  std::vector<LineInfo> out;
  for (const auto& line : lines_) {
    const std::uint32_t number = line->worker->LineNo();
    std::string reason = DownReason(line->worker->Opened(), line->link->Health(number), line->port);
    const bool open = reason.empty();
    out.push_back({.number = number,
                   .port = line->port,
                   .open = open,
                   .reason = std::move(reason),
                   .stats = line->link->Stats(number)});
  }
  return out;
}

void Forecourt::SetLineListener(lines::LineMonitor* listener) {
  tap_->SetListener(listener);
}

}  // namespace tarvenix::forecourt
