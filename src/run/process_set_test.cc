// Tests of how child processes are judged and how signals are deferred.
#include "run/process_set.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include <gtest/gtest.h>

namespace {

// Judged as a shell judges it; exit codes and start failures show in the scenarios' event logs.
TEST(DoCommand, ASignalIsStatus128PlusItsNumber) {
  EXPECT_EQ(do_command({"sh", "-c", "kill -TERM $$"}, -1, 0), 128 + SIGTERM);
}

TEST(RunCaptured, MergesOutputInItsOwnGroupAndEndsAChildPastItsLimit) {
  std::string output;
  child_result done = run_captured(
      {"sh", "-c", "echo out; echo err >&2; cat; test $(cut -d' ' -f5 /proc/$$/stat) = $$ && echo own"},
      &output, 5);
  EXPECT_TRUE(done.succeeded() && !done.timed_out);
  EXPECT_EQ(output, "out\nerr\nown\n");  // cat read /dev/null

  // SIGTERM is ignored here: SIGKILL follows 5 seconds later, to the group (the shell's child too).
  child_result hung = run_captured({"sh", "-c", "sleep 60 & echo $!; trap '' TERM; sleep 60"}, &output, 1);
  EXPECT_TRUE(hung.started && hung.timed_out);
  EXPECT_EQ(hung.signal, SIGKILL);
  const pid_t left = static_cast<pid_t>(std::stol(output));
  for (int i = 0; i < 100 && kill(left, 0) == 0; ++i) usleep(20'000);  // until init reaps it
  EXPECT_NE(kill(left, 0), 0);
}

// The answer stands after the 1 s grace; what the child left behind in its group goes.
TEST(RunCaptured, AnAnswerStandsAfterTheGraceAndTheLeftoverGoes) {
  std::string output;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(run_captured({"sh", "-c", "sleep 30 & echo $!"}, &output).succeeded());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  const pid_t left = static_cast<pid_t>(std::stol(output));
  for (int i = 0; i < 100 && kill(left, 0) == 0; ++i) usleep(20'000);  // until init reaps it
  EXPECT_NE(kill(left, 0), 0);
}

// The child ignores SIGTERM once it has sent us ours: SIGKILL follows after the 5 s kill delay.
TEST(RunCaptured, AStopKillsAChildThatIgnoresSigterm) {
  signal(SIGTERM, SIG_DFL);
  signal_guard guard(signal_guard::policy::stop);
  std::string output;
  const auto start = std::chrono::steady_clock::now();
  const child_result ended =
      run_captured({"sh", "-c", "trap '' TERM; kill -TERM $PPID; exec sleep 30"}, &output, 0, &guard);
  EXPECT_EQ(guard.received(), SIGTERM);
  EXPECT_EQ(ended.signal, SIGKILL);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
}

TEST(SignalGuard, NestedGuardsRestoreTheDefaultAction) {
  // A test runner started in the background inherits ignored SIGINT.
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
  {
    signal_guard outer(signal_guard::policy::defer);
    {
      signal_guard inner(signal_guard::policy::stop);  // defers inside a guard that defers
      raise(SIGINT);
      EXPECT_EQ(inner.how(), signal_guard::policy::defer);
    }
    EXPECT_EQ(outer.received(), SIGINT);  // handed on
    raise(SIGTERM);  // still deferred by the outer guard
    EXPECT_EQ(outer.received(), SIGTERM);
  }
  struct sigaction now = {};
  sigaction(SIGINT, nullptr, &now);
  EXPECT_EQ(now.sa_handler, SIG_DFL);
  sigaction(SIGTERM, nullptr, &now);
  EXPECT_EQ(now.sa_handler, SIG_DFL);
}

}  // namespace
