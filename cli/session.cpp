#include "cli/session.hpp"

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace tarvenix::cli {
namespace {

std::unique_ptr<lines::Clock> MakeClock(bool simTime, bool realPort) {
  if (simTime && !realPort) {
    return std::make_unique<lines::ManualClock>();
  }
  return std::make_unique<lines::WallClock>();
}

}  // namespace

Session::Session(const SessionOptions& options)
    : options_(options),
      clock_(MakeClock(options.simTime, !options.port.empty())),
      line_(*clock_),
      service_(*clock_) {
  if (options_.port.empty()) {
    sim::Populate(line_, options_.forecourt);
    service_.Attach(options_.line, line_);
  } else {
    serial_ = std::make_unique<lines::SerialComLink>();
    lines::PortSettings port{.device = options_.port};
    if (options_.baud != 0) {
      port.baud = options_.baud;
    }
    serial_->AssignPort(options_.line, port);
    link_ = serial_.get();
  }
  if (options_.trace) {
    trace_ = std::make_unique<trace::TraceMonitor>(stderr);
  }
  if (!options_.record.empty()) {
    recordFile_ = std::fopen(options_.record.c_str(), "w");
    if (recordFile_ == nullptr) {
      throw std::runtime_error("cannot write " + options_.record + ": " + std::strerror(errno));
    }
    record_ = std::make_unique<trace::RecordMonitor>(recordFile_);
  }
  if (trace_ && record_) {
    tee_ = std::make_unique<trace::TeeMonitor>(trace_.get(), record_.get());
    link_->SetMonitor(tee_.get());
  } else if (trace_) {
    link_->SetMonitor(trace_.get());
  } else if (record_) {
    link_->SetMonitor(record_.get());
  }
  driver_ = std::make_unique<TVM30>(*link_, 0, lines::SleeperOn(*clock_));
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
