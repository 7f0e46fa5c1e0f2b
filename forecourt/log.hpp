// The service's log on standard error: one line per event worth a person's
// attention, and with verbose on, one per exchange on the lines.
#pragma once

#include <fmt/core.h>

#include <cstdio>
#include <mutex>
#include <string>
#include <tarvenix/lines/instrumented_link.hpp>

namespace tarvenix::forecourt {

class Log {
 public:
  explicit Log(std::FILE* out = stderr, bool verbose = false) : out_(out), verbose_(verbose) {}

  bool Verbose() const { return verbose_; }
  void Write(const std::string& line);
  template <typename... Args>
  void Info(fmt::format_string<Args...> format, Args&&... args) {
    Write(fmt::format(format, std::forward<Args>(args)...));
  }
  template <typename... Args>
  void Debug(fmt::format_string<Args...> format, Args&&... args) {
    if (verbose_) {
      Write(fmt::format(format, std::forward<Args>(args)...));
    }
  }

 private:
  std::FILE* out_;
  bool verbose_;
  std::mutex mutex_;
};

// Writes every exchange of a line service to the log (verbose only).
class ExchangeLog final : public lines::LineMonitor {
 public:
  explicit ExchangeLog(Log& log) : log_(log) {}
  void OnLineEvent(const lines::LineEvent& event) override;

 private:
  Log& log_;
};

}  // namespace tarvenix::forecourt
