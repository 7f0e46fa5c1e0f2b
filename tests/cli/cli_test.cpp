// The tarvenix command as a user runs it: output, exit codes, the trace and
// the record. Every run uses simulated time.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace {

struct Outcome {
  int status;
  std::string out;  // standard output and standard error together
};

Outcome Tarvenix(const std::string& args) {
  const std::string command = std::string(TARVENIX_CLI) + " --sim-time " + args + " 2>&1";
  std::FILE* pipe = popen(command.c_str(), "r");
  Outcome run{-1, {}};
  if (pipe == nullptr) {
    return run;
  }
  char chunk[4096];
  std::size_t n = 0;
  while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) {
    run.out.append(chunk, n);
  }
  const int status = pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

TEST(Cli, DemoDeliversAndPrintsTheSummary) {
  const Outcome run = Tarvenix("demo");
  EXPECT_EQ(run.status, 0) << run.out;
  for (const char* expected :
       {"unit price 52.90, preset 25.00 volume units", "[##############################]",
        "volume            25.00", "money             1322.500", "preset reached    yes",
        "volume            0 -> 2500  (+25.00)", "match delivery    yes",
        "20 written 7, read back 7", "Link statistics, line 1", "retries 0", "demo finished"}) {
    EXPECT_NE(run.out.find(expected), std::string::npos) << expected << "\n" << run.out;
  }
  EXPECT_EQ(run.out.find("\x1b["), std::string::npos) << "colour on a pipe";
}

TEST(Cli, TraceShowsEachByteWithItsMeaning) {
  const Outcome run = Tarvenix("--trace poll");
  ASSERT_EQ(run.status, 0) << run.out;
  for (const char* expected : {
           "line configured: 4800 baud, reply timeout 140 ms (setting 14)",
           "-> 04 30 30 02 31 53 30 03 53",
           "frame to address 1, sequence 1, \"S0\": state request (line reset)",
           "<- 02 31 53 30 30 30 30 30 30 30 30 30 30 03 63",
           "S reply: state '0' (idle), nozzle hung: accepted",
           "-> 06                                           ACK",
           "-> 04 30 30 02 30 50 03 61",
           "frame to address 1, sequence 0, \"P\": state poll",
           "line 1 address 1: state 192 (idle)",
       }) {
    EXPECT_NE(run.out.find(expected), std::string::npos) << expected << "\n" << run.out;
  }
}

TEST(Cli, TraceShowsRejectionsWithTheirErrorCode) {
  const Outcome run = Tarvenix("--trace --fault badbcc@1 init");
  EXPECT_EQ(run.status, 0) << run.out;  // the driver sends NAK and goes on
  EXPECT_NE(run.out.find("rejected, error 222 (bad check byte)"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("[repeat 2]"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("-> 15                                           NAK"), std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("reply not accepted"), std::string::npos) << run.out;
}

TEST(Cli, FailingOperationExitsNonZeroWithItsMessageInUtf8) {
  Outcome run = Tarvenix("param set 5 3");  // a read-only parameter
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "tarvenix: error: param set: Невозможно выполнить команду\n");

  run = Tarvenix("--fault noreply poll");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "tarvenix: error: poll: Can't GetSost\n");

  run = Tarvenix("--addr 40 poll");
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.out.find("--addr"), std::string::npos) << run.out;
}

TEST(Cli, ChainedCommandsShareOneForecourt) {
  const Outcome run = Tarvenix(
      "price 50 then preset --volume 10 then start then wait 5 then live then stop then live "
      "then totals then param set 30 4 then param get 30 then stats");
  ASSERT_EQ(run.status, 0) << run.out;
  // 40 volume units a minute: 3.33 after five seconds, then stopped.
  EXPECT_NE(run.out.find("line 1 address 1: volume 3.3"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("counters 33"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("parameter 30 = 4"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("exchanges "), std::string::npos) << run.out;
}

TEST(Cli, RecordWritesOneTransmissionPerLine) {
  const std::string path =
      ::testing::TempDir() + "tarvenix_record_" + std::to_string(getpid()) + ".tsv";
  const Outcome run = Tarvenix("--record " + path + " --fault noreply:1@1 poll");
  EXPECT_EQ(run.status, 1);
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  std::remove(path.c_str());
  EXPECT_EQ(text.str(),
            "# tarvenix record 1: time_ms line dir hex verdict\n"
            "0.000\t1\ttx\t043030023153300353\tframe\n"
            "158.747\t1\trx\t-\ttimeout\n"
            "158.747\t1\ttx\t043030023153300353\trepeat\n"
            "317.494\t1\trx\t-\ttimeout\n"
            "317.494\t1\ttx\t043030023153300353\trepeat\n"
            "476.241\t1\trx\t-\ttimeout\n");
}

TEST(Cli, HelpAndVersion) {
  Outcome run = Tarvenix("--version");
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.out.find("driver information: v2.50#Протокол к Tarvenix"), std::string::npos)
      << run.out;
  run = Tarvenix("param set --help");
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.out.find("Write VALUE (0..9) to parameter NUMBER"), std::string::npos) << run.out;
  run = Tarvenix("");
  EXPECT_NE(run.status, 0);
}

}  // namespace
