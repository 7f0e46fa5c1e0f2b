// The command's operations, each one or a few driver calls with their
// output.
#pragma once

#include <cstdio>
#include <string>

#include "cli/session.hpp"

namespace tarvenix::cli {

// One command of an invocation and its arguments.
struct Step {
  std::string name;
  double price = 52.90;
  double volume = -1;  // unset
  double money = -1;   // unset
  int mode = 1;
  int selector = 1;
  int paramNo = 0;
  int paramValue = 0;
  double seconds = 0;
};

struct Output {
  std::FILE* out;
  bool colour;  // only on a terminal
};

// Runs one step. Driver errors propagate as ESerialIO and ERangeError;
// returns false after printing its own error line for any other failure.
bool RunStep(Session& session, const Step& step, const Output& out);

void PrintStats(Session& session, const Output& out);

}  // namespace tarvenix::cli
