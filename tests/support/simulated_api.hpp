// The HTTP interface's handler on a simulated forecourt, asked directly
// (no socket): what the tests of the interface's answers share. A test's
// SetUp adjusts config_ and adds its dispensers, then calls Start().
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <memory>
#include <string>

#include "forecourt/api/api.hpp"
#include "support/simulated_forecourt.hpp"

namespace tarvenix::testing {

class SimulatedApiTest : public ::testing::Test, protected SimulatedForecourt {
 protected:
  // A fresh directory and a journal in it for three simulated pumps.
  void SetUp() override {
    dir_ = FreshTestDirectory(
        ::testing::UnitTest::GetInstance()->current_test_info()->test_suite_name());
    config_ = forecourt::SimulatedConfig(3, (dir_ / "journal.db").string());
  }
  void TearDown() override {
    api_.reset();
    forecourt_.reset();
    std::filesystem::remove_all(dir_);
  }

  // The service and its interface on config_, once every pump answers.
  void Start() {
    Make(config_);
    api_ = std::make_unique<forecourt::api::Api>(*forecourt_, config_);
    RunUntilOnline();
  }

  std::int64_t NowMs() const { return kEpochMs + static_cast<std::int64_t>(clock_.NowUs() / 1000); }

  // Whether answering a request on `route` needs the lines stepped (which
  // moves the clock): a request for a line does; the others are answered
  // by the journal's thread.
  virtual bool StepsLines(const forecourt::api::Route& route) const {
    return route.name.find("/pumps/{id}/") != std::string::npos ||
           route.name == "POST /api/v1/stop-all" || route.name.starts_with("POST /api/v1/shifts");
  }
  // A request as the server takes it: admitted, then answered on a thread
  // of its own while the lines step here when it needs them.
  forecourt::api::Reply Call(const forecourt::api::Request& request) {
    forecourt::api::Route route;
    if (auto refused = api_->Admit(request, route)) {
      return *refused;
    }
    if (!StepsLines(route)) {
      return api_->Handle(request, route);
    }
    auto reply = std::async(std::launch::async, [&] { return api_->Handle(request, route); });
    RunUntil([&] { return reply.wait_for(std::chrono::seconds(0)) == std::future_status::ready; });
    return reply.get();
  }
  forecourt::api::Reply Call(std::string method, std::string target, std::string body = "") {
    return Call(
        {.method = std::move(method), .target = std::move(target), .body = std::move(body)});
  }

  std::filesystem::path dir_;
  forecourt::Config config_;
  std::unique_ptr<forecourt::api::Api> api_;
};

}  // namespace tarvenix::testing
