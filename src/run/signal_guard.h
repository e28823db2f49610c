// What SIGINT, SIGTERM and SIGHUP do while children run: an object the caller owns and hands on.
#pragma once

#include <signal.h>

#include "run/file_io.h"

/// The signals that end a run: an operator's Ctrl-C, a service stop, a lost session.
inline constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP};

/// While a guard lives, the ending signals are noted instead of taking their
/// default action; what the run does about them is the guard's policy.
/// Guards may nest: the innermost notes the signals, and hands what it noted
/// to the one around it when it goes. Not copyable; one thread.
class signal_guard {
 public:
  enum class policy {
    /// Whatever runs goes on to its end (a burn is never abandoned); the
    /// owner looks at received() and decides.
    defer,
    /// The children waited for are ended (SIGTERM, then SIGKILL), and then
    /// the process by the signal, as its default action would.
    stop,
  };

  /// A guard made inside one that defers defers too. A signal ignored when
  /// the guard is made (as under nohup) stays ignored, whatever the policy.
  explicit signal_guard(policy how);
  ~signal_guard();
  signal_guard(const signal_guard&) = delete;
  signal_guard& operator=(const signal_guard&) = delete;

  policy how() const { return how_; }
  /// The last ending signal noted while this guard lived, or 0.
  int received() const { return received_; }
  /// Readable once a signal was noted, so that a poll loop wakes for it; drain().
  int wake_fd() const { return wake_read_.get(); }
  void drain() const;

 private:
  static void note(int signo);

  policy how_;
  volatile sig_atomic_t received_ = 0;
  unique_fd wake_read_, wake_write_;
  signal_guard* outer_ = nullptr;
  int signos_[3] = {};
  struct sigaction previous_[3] = {};
  int installed_ = 0;
};

/// Ends this process by `signo`, as its default action would have, after
/// flushing what is buffered for the console and standard error.
[[noreturn]] void end_by_signal(int signo);
