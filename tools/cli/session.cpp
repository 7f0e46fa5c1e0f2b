#include "session.hpp"

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace tarvenix::cli {
namespace {

std::unique_ptr<sim::Clock> MakeClock(bool simTime) {
  if (simTime) {
    return std::make_unique<sim::ManualClock>();
  }
  return std::make_unique<sim::WallClock>();
}

}  // namespace

Session::Session(const SessionOptions& options)
    : options_(options), clock_(MakeClock(options.simTime)), line_(*clock_), service_(*clock_) {
  sim::Populate(line_, options_.forecourt);
  service_.Attach(options_.line, line_);
  if (options_.trace) {
    trace_ = std::make_unique<TraceMonitor>(stderr);
  }
  if (!options_.record.empty()) {
    recordFile_ = std::fopen(options_.record.c_str(), "w");
    if (recordFile_ == nullptr) {
      throw std::runtime_error("cannot write " + options_.record + ": " + std::strerror(errno));
    }
    record_ = std::make_unique<RecordMonitor>(recordFile_);
  }
  if (trace_ && record_) {
    tee_ = std::make_unique<TeeMonitor>(trace_.get(), record_.get());
    service_.SetMonitor(tee_.get());
  } else if (trace_) {
    service_.SetMonitor(trace_.get());
  } else if (record_) {
    service_.SetMonitor(record_.get());
  }
  driver_ = std::make_unique<TVM30>(service_, 0, sim::SleeperOn(*clock_));
}

Session::~Session() {
  if (recordFile_ != nullptr) {
    std::fclose(recordFile_);
  }
}

void Session::EnsureOpen() {
  if (!opened_) {
    Open();
  }
}

void Session::Open() {
  opened_ = true;
  driver_->InitLine(options_.line);
}

}  // namespace tarvenix::cli
