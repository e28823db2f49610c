// The waiting engine: one poll loop over running children, and the batches built on it.
#include "run/process_set.h"

#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <thread>

namespace {

constexpr size_t kOutputLimit = 1 << 20;
constexpr auto kKillDelay = std::chrono::seconds(5);
// How long the output may go on once the child itself has ended: a daemon it
// started may hold the output open for good.
constexpr auto kOutputGrace = std::chrono::seconds(1);
// Without a descriptor that shows a child's end, how often we look.
constexpr auto kReapPoll = std::chrono::milliseconds(10);

// Ends a child: its process group, and the child itself, which may have
// left that group (into ours, or into a group of its own) and would then be
// out of reach of the group's signal. Until it is reaped its pid is ours, and
// its pidfd names it for sure.
void signal_child(pid_t pid, const unique_fd& pidfd, bool reaped, int signo) {
  kill(-pid, signo);
  if (reaped) return;
  if (!pidfd.valid() || syscall(SYS_pidfd_send_signal, pidfd.get(), signo, nullptr, 0) != 0) {
    kill(pid, signo);
  }
}

}  // namespace

void process_set::add(size_t tag, child_handle handle, child_result* result, std::string* output,
                      int time_limit_seconds) {
  child c;
  c.tag = tag;
  c.pid = handle.pid;
  c.out = std::move(handle.output);
  c.exited = std::move(handle.exited);
  c.result = result;
  c.output = output;
  if (time_limit_seconds > 0) c.deadline = steady::now() + std::chrono::seconds(time_limit_seconds);
  children_.push_back(std::move(c));
  if (stopping_) {
    signal_child(children_.back().pid, children_.back().exited, false, SIGTERM);
    children_.back().ending = SIGTERM;
    children_.back().deadline = steady::now() + kKillDelay;
  }
}

namespace {

bool ready(const std::vector<pollfd>& fds, int fd) {
  if (fd < 0) return false;
  for (const pollfd& p : fds) {
    if (p.fd == fd && p.revents != 0) return true;
  }
  return false;
}

}  // namespace

void process_set::look_at(child* c, const std::vector<pollfd>& fds, steady::time_point now) {
  auto signal_group = [&](int signo) {
    if (c->reaped && !c->out.valid()) return;
    signal_child(c->pid, c->exited, c->reaped, signo);
    c->ending = signo;
    c->deadline = signo == SIGTERM ? now + kKillDelay : steady::time_point::max();
  };
  if (ready(fds, c->out.get())) {
    char buf[4096];
    const ssize_t n = read(c->out.get(), buf, sizeof buf);
    if (n == 0 || (n < 0 && errno != EINTR)) {
      c->out.reset();
    } else if (n > 0 && c->output) {
      const size_t room = kOutputLimit - std::min(kOutputLimit, c->output->size());
      c->output->append(buf, std::min(static_cast<size_t>(n), room));
    }
  }
  int status = 0;
  const pid_t reaped = c->reaped ? 0 : waitpid(c->pid, &status, WNOHANG);
  if (reaped == c->pid || (reaped < 0 && errno == ECHILD)) {
    // ECHILD: somebody else reaped it (SIGCHLD ignored); how it ended is
    // unknown, so it counts as killed, never as a success.
    if (reaped < 0) status = SIGKILL;
    c->reaped = true;
    c->exited.reset();
    decode_wait_status(status, c->result);
    if (c->out.valid() && c->ending == 0) {
      c->graced = true;
      c->deadline = std::min(c->deadline, now + kOutputGrace);
    }
  }
  if (c->graced && now >= c->deadline) {
    // The answer stands as it is; what is left of the group goes.
    if (c->out.valid()) kill(-c->pid, SIGKILL);
    c->out.reset();
  } else if (now >= c->deadline && !c->done()) {
    if (c->ending == 0) c->result->timed_out = true;
    signal_group(c->ending == 0 ? SIGTERM : SIGKILL);
  }
}

std::vector<size_t> process_set::wait(const std::function<void()>& on_tick, int tick_ms) {
  std::vector<size_t> done;
  steady::time_point next_tick = steady::now() + std::chrono::milliseconds(tick_ms);
  const bool noted_before = guard_->received() != 0;
  while (done.empty() && !children_.empty()) {
    std::vector<pollfd> fds{{guard_->wake_fd(), POLLIN, 0}};
    steady::time_point wake_at = on_tick ? next_tick : steady::time_point::max();
    for (const child& c : children_) {
      if (c.out.valid()) fds.push_back({c.out.get(), POLLIN, 0});
      if (c.exited.valid()) fds.push_back({c.exited.get(), POLLIN, 0});
      wake_at = std::min(wake_at, c.deadline);
      if (!c.reaped && !c.exited.valid()) wake_at = std::min(wake_at, steady::now() + kReapPoll);
    }
    int timeout_ms = -1;
    if (wake_at != steady::time_point::max()) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(wake_at - steady::now()).count();
      timeout_ms = static_cast<int>(std::clamp<decltype(left)>(left, 0, 60'000));
    }
    if (poll(fds.data(), fds.size(), timeout_ms) < 0 && errno != EINTR) {
      std::this_thread::sleep_for(kReapPoll);  // out of memory for the moment: try again
      continue;
    }
    guard_->drain();

    const steady::time_point now = steady::now();
    if (guard_->received() != 0 && guard_->how() == signal_guard::policy::stop && !stopping_) {
      stopping_ = true;
      for (child& c : children_) {
        if (c.reaped && !c.out.valid()) continue;
        signal_child(c.pid, c.exited, c.reaped, SIGTERM);
        c.ending = SIGTERM;
        c.deadline = now + kKillDelay;
      }
    }
    for (child& c : children_) look_at(&c, fds, now);
    for (const child& c : children_) {
      if (c.done()) done.push_back(c.tag);
    }
    std::erase_if(children_, [](const child& c) { return c.done(); });
    if (on_tick && now >= next_tick) {
      on_tick();
      next_tick = now + std::chrono::milliseconds(tick_ms);
    }
    if (!noted_before && guard_->received() != 0) break;
  }
  return done;
}

void run_side_by_side(std::vector<captured_run>* runs, size_t jobs, int time_limit_seconds,
                      const signal_guard* caller) {
  std::optional<signal_guard> own;
  if (!caller) own.emplace(signal_guard::policy::stop);
  const signal_guard& guard = caller ? *caller : *own;
  jobs = std::max<size_t>(jobs, 1);
  {
    process_set set(guard);
    std::vector<size_t> active;  // runs started and not yet done
    size_t next = 0;
    while (next < runs->size() || set.size() > 0) {
      const bool stopping = guard.received() != 0 && guard.how() == signal_guard::policy::stop;
      while (!stopping && set.size() < jobs && next < runs->size()) {
        const size_t index = next++;
        captured_run& run = (*runs)[index];
        spawn_plan plan;
        plan.argv = run.argv;
        plan.out = run.stdout_fd;
        plan.capture = run.stdout_fd < 0;
        plan.own_process_group = true;
        child_handle child = spawn_child(plan);
        run.result.error = child.error;
        if (child.pid < 0) continue;
        run.made = true;
        run.result.started = child.error == 0;
        if (!active.empty()) run.overlapped = true;
        for (size_t other : active) (*runs)[other].overlapped = true;
        active.push_back(index);
        set.add(index, std::move(child), &run.result, &run.output, time_limit_seconds);
      }
      if (set.size() == 0) break;
      for (size_t index : set.wait()) std::erase(active, index);
    }
  }
  if (!own) return;
  // Past the guard a signal takes its own course; one noted before ends us now.
  const int stopped_by = own->received();
  const bool stop = own->how() == signal_guard::policy::stop;
  own.reset();
  if (stopped_by != 0 && stop) end_by_signal(stopped_by);
}

child_result run_captured(const std::vector<std::string>& argv, std::string* output,
                          int time_limit_seconds, const signal_guard* caller) {
  std::vector<captured_run> runs(1);
  runs[0].argv = argv;
  run_side_by_side(&runs, 1, time_limit_seconds, caller);
  *output = std::move(runs[0].output);
  return runs[0].result;
}

int do_command(const std::vector<std::string>& argv, int stdout_fd, int time_limit_seconds,
               child_result* how) {
  std::vector<captured_run> runs(1);
  runs[0].argv = argv;
  runs[0].stdout_fd = stdout_fd;
  run_side_by_side(&runs, 1, time_limit_seconds);
  const child_result& result = runs[0].result;
  if (how) *how = result;
  if (!result.started) return 127;
  if (!result.exited) return 128 + result.signal;
  return result.exit_code;
}
