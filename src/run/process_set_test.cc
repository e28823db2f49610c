// Tests of how child processes are judged and how signals are deferred.
#include "run/process_set.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include "run/file_io.h"

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

// Whether a process is gone: no such pid, or a zombie nobody reaped yet.
bool gone(pid_t pid) {
  for (int i = 0; i < 100; ++i, usleep(20'000)) {
    std::string stat;
    if (!read_file_text("/proc/" + std::to_string(pid) + "/stat", &stat)) return true;
    if (stat.find(") Z") != std::string::npos) return true;
  }
  return false;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST(RunCaptured, AnAnswerStandsAfterTheGraceAndWhatItLeftBehindGoes) {
  std::string output;
  const auto start = std::chrono::steady_clock::now();
  const child_result done = run_captured({"sh", "-c", "sleep 30 & echo $!"}, &output);
  EXPECT_TRUE(done.succeeded());
  EXPECT_LT(seconds_since(start), 10);  // the 1 s grace, not the leftover's 30 s
  EXPECT_TRUE(gone(static_cast<pid_t>(std::stol(output))));
}

TEST(ProcessSet, AStopSignalKillsAChildThatIgnoresSigtermAfterTheKillDelay) {
  signal(SIGTERM, SIG_DFL);
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const unique_fd ready_read(ready[0]);
  unique_fd ready_write(ready[1]);
  signal_guard guard(signal_guard::policy::stop);
  spawn_plan plan;
  plan.argv = {"sh", "-c", "trap '' TERM; echo ready; exec sleep 30"};
  plan.out = ready_write.get();
  plan.capture = true;
  plan.own_process_group = true;
  process_set set(guard);
  child_result result;
  set.add(0, spawn_child(plan), &result, nullptr, 0);
  ready_write.reset();
  char line[6];
  ASSERT_EQ(read(ready_read.get(), line, sizeof line), 6);  // SIGTERM is ignored from now on
  raise(SIGTERM);
  const auto start = std::chrono::steady_clock::now();
  while (set.size() > 0) set.wait();
  EXPECT_EQ(guard.received(), SIGTERM);
  EXPECT_EQ(result.signal, SIGKILL);
  EXPECT_LT(seconds_since(start), 5 + 3);  // the kill delay and some slack
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
