// Signal guards: noting the ending signals, nesting, and ending the process by one.
#include "run/signal_guard.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "run/console.h"

namespace {

// The guard that notes signals now: the innermost alive. A handler can only
// find it through a file-scope pointer.
signal_guard* volatile g_innermost = nullptr;

}  // namespace

void signal_guard::note(int signo) {
  const int saved_errno = errno;
  if (signal_guard* guard = g_innermost) {
    guard->received_ = signo;
    const char byte = 0;
    ssize_t ignored = write(guard->wake_write_.get(), &byte, 1);
    (void)ignored;
  }
  errno = saved_errno;
}

signal_guard::signal_guard(policy how) : how_(how) {
  // Inside a guard that defers, nothing may end what that guard protects.
  if (g_innermost && g_innermost->how_ == policy::defer) how_ = policy::defer;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
    wake_read_.reset(fds[0]);
    wake_write_.reset(fds[1]);
  }
  outer_ = g_innermost;
  g_innermost = this;
  struct sigaction action = {};
  action.sa_handler = note;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int signo : kEndingSignals) {
    struct sigaction now = {};
    sigaction(signo, nullptr, &now);
    if (now.sa_handler == SIG_IGN) continue;  // as under nohup: the operator's choice stands
    signos_[installed_] = signo;
    sigaction(signo, &action, &previous_[installed_++]);
  }
}

signal_guard::~signal_guard() {
  for (int i = installed_ - 1; i >= 0; --i) sigaction(signos_[i], &previous_[i], nullptr);
  g_innermost = outer_;
  if (outer_ && received_ != 0) {
    outer_->received_ = received_;
    const char byte = 0;
    ssize_t ignored = write(outer_->wake_write_.get(), &byte, 1);
    (void)ignored;
  }
}

void signal_guard::drain() const {
  char buf[64];
  while (read(wake_read_.get(), buf, sizeof buf) > 0) {
  }
}

void end_by_signal(int signo) {
  flush_console();
  std::fflush(stderr);
  signal(signo, SIG_DFL);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signo);
  sigprocmask(SIG_UNBLOCK, &only, nullptr);
  raise(signo);
  _exit(128 + signo);
}
