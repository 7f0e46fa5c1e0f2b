// One invocation of the command: a fresh simulated forecourt on one line,
// the in-process line service, and the driver on top of it; or, with a
// port, the serial line service on that port and the driver on top of it.
//
// Every invocation starts from scratch: new dispensers with zero counters
// and default parameters, a new driver object. Several operations chained in
// one invocation (with "then") run on the same forecourt in order.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <tarvenix/lines/clock.hpp>
#include <tarvenix/lines/serial_com_link.hpp>
#include <tarvenix/tvm30.hpp>

#include "sim/forecourt.hpp"
#include "sim/line_service.hpp"
#include "sim/simulated_line.hpp"
#include "trace/trace.hpp"

namespace tarvenix::cli {

struct SessionOptions {
  std::uint32_t line = 1;
  std::int32_t addr = 1;
  bool simTime = false;    // simulated time: pauses advance the clock at once
  bool trace = false;      // the trace goes to standard error
  std::string record;      // file for the record, empty for none
  std::string port;        // a serial port instead of the simulator
  std::uint32_t baud = 0;  // with a port: overrides the driver's bit rate
  sim::ForecourtOptions forecourt;
};

class Session {
 public:
  // Raises std::runtime_error when the record file cannot be opened.
  explicit Session(const SessionOptions& options);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  TVM30& Driver() { return *driver_; }
  // Opens the line (InitLine) unless an earlier step did.
  void EnsureOpen();
  // Opens the line again.
  void Open();

  lines::Clock& Clock() { return *clock_; }
  lines::InstrumentedLink& Service() { return *link_; }
  std::uint32_t LineNo() const { return options_.line; }
  std::int32_t Addr() const { return options_.addr; }
  const SessionOptions& Options() const { return options_; }

 private:
  SessionOptions options_;
  std::unique_ptr<lines::Clock> clock_;
  sim::SimulatedLine line_;
  sim::LineService service_;
  std::unique_ptr<lines::SerialComLink> serial_;
  lines::InstrumentedLink* link_ = &service_;
  std::FILE* recordFile_ = nullptr;
  std::unique_ptr<trace::TraceMonitor> trace_;
  std::unique_ptr<trace::RecordMonitor> record_;
  std::unique_ptr<trace::TeeMonitor> tee_;
  std::unique_ptr<TVM30> driver_;
  bool opened_ = false;
};

}  // namespace tarvenix::cli
