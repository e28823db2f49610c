// End-to-end harness: process control, output capture and simulator state.
#include "sim_harness.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>

#ifndef FWKIT_BINARY
#error "FWKIT_BINARY must name the fwkit executable"
#endif
#ifndef FWKIT_SOURCE_DIR
#error "FWKIT_SOURCE_DIR must name the repository root"
#endif

namespace fs = std::filesystem;

namespace e2e {
namespace {

using Clock = std::chrono::steady_clock;

std::runtime_error error(const std::string& what) {
  return std::runtime_error("e2e harness: " + what);
}

std::string errno_text(int error_number) { return std::strerror(error_number); }

// ---------------------------------------------------------------------------
// Files

void write_file(const std::string& path, const std::string& content, mode_t mode) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) throw error("cannot write " + path + ": " + errno_text(errno));
  size_t done = 0;
  while (done < content.size()) {
    ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int saved = errno;
      ::close(fd);
      throw error("cannot write " + path + ": " + errno_text(saved));
    }
    done += static_cast<size_t>(n);
  }
  ::close(fd);
  ::chmod(path.c_str(), mode);  // O_CREAT's mode is cut by the umask
}

std::string find_in_path(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string dir = dirs.substr(start, end - start);
    if (dir.empty()) dir = ".";
    std::string candidate = dir + "/" + name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  throw error(name + " not found in PATH (the umockdev package provides umockdev-run)");
}

// ---------------------------------------------------------------------------
// A small JSON reader for the simulator's own files (calls.log, server.json).

struct Json {
  enum Kind { kNull, kBool, kNumber, kString, kArray, kObject } kind = kNull;
  bool boolean = false;
  double number = 0;
  std::string text;
  std::vector<Json> items;
  std::vector<std::pair<std::string, Json>> members;

  const Json* get(const std::string& key) const {
    for (const auto& member : members)
      if (member.first == key) return &member.second;
    return nullptr;
  }
  std::string string_or(const std::string& key, const std::string& fallback) const {
    const Json* value = get(key);
    return value && value->kind == kString ? value->text : fallback;
  }
};

class JsonReader {
 public:
  explicit JsonReader(const std::string& text) : s_(text) {}

  Json document() {
    Json value = parse_value();
    skip_blanks();
    if (i_ != s_.size()) fail("trailing characters");
    return value;
  }

 private:
  [[noreturn]] void fail(const std::string& what) {
    throw error("bad JSON (" + what + ") at offset " + std::to_string(i_));
  }
  void skip_blanks() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r'))
      ++i_;
  }
  bool take(const char* word) {
    size_t n = std::strlen(word);
    if (s_.compare(i_, n, word) != 0) return false;
    i_ += n;
    return true;
  }
  Json parse_value() {
    skip_blanks();
    if (i_ >= s_.size()) fail("unexpected end");
    Json value;
    char c = s_[i_];
    if (c == '{') {
      value.kind = Json::kObject;
      ++i_;
      skip_blanks();
      if (i_ < s_.size() && s_[i_] == '}') {
        ++i_;
        return value;
      }
      for (;;) {
        skip_blanks();
        if (i_ >= s_.size() || s_[i_] != '"') fail("object key expected");
        std::string key = parse_string();
        skip_blanks();
        if (i_ >= s_.size() || s_[i_] != ':') fail("':' expected");
        ++i_;
        value.members.emplace_back(key, parse_value());
        skip_blanks();
        if (i_ < s_.size() && s_[i_] == ',') {
          ++i_;
          continue;
        }
        if (i_ < s_.size() && s_[i_] == '}') {
          ++i_;
          return value;
        }
        fail("',' or '}' expected");
      }
    }
    if (c == '[') {
      value.kind = Json::kArray;
      ++i_;
      skip_blanks();
      if (i_ < s_.size() && s_[i_] == ']') {
        ++i_;
        return value;
      }
      for (;;) {
        value.items.push_back(parse_value());
        skip_blanks();
        if (i_ < s_.size() && s_[i_] == ',') {
          ++i_;
          continue;
        }
        if (i_ < s_.size() && s_[i_] == ']') {
          ++i_;
          return value;
        }
        fail("',' or ']' expected");
      }
    }
    if (c == '"') {
      value.kind = Json::kString;
      value.text = parse_string();
      return value;
    }
    if (take("true")) {
      value.kind = Json::kBool;
      value.boolean = true;
      return value;
    }
    if (take("false")) {
      value.kind = Json::kBool;
      return value;
    }
    if (take("null")) return value;
    size_t start = i_;
    while (i_ < s_.size() && std::strchr("+-0123456789.eE", s_[i_]) != nullptr) ++i_;
    if (start == i_) fail("value expected");
    value.kind = Json::kNumber;
    value.number = std::stod(s_.substr(start, i_ - start));
    return value;
  }
  unsigned hex4() {
    if (i_ + 4 > s_.size()) fail("short \\u escape");
    unsigned v = 0;
    for (int k = 0; k < 4; ++k) {
      char c = s_[i_++];
      v <<= 4;
      if (c >= '0' && c <= '9') v |= c - '0';
      else if (c >= 'a' && c <= 'f') v |= c - 'a' + 10;
      else if (c >= 'A' && c <= 'F') v |= c - 'A' + 10;
      else fail("bad \\u escape");
    }
    return v;
  }
  static void put_utf8(std::string& out, unsigned cp) {
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  std::string parse_string() {
    ++i_;  // opening quote
    std::string out;
    for (;;) {
      if (i_ >= s_.size()) fail("unterminated string");
      char c = s_[i_++];
      if (c == '"') return out;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (i_ >= s_.size()) fail("unterminated escape");
      char e = s_[i_++];
      switch (e) {
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        case '/': out += '/'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
          unsigned cp = hex4();
          if (cp >= 0xD800 && cp <= 0xDBFF && s_.compare(i_, 2, "\\u") == 0) {
            size_t save = i_;
            i_ += 2;
            unsigned low = hex4();
            if (low >= 0xDC00 && low <= 0xDFFF) {
              put_utf8(out, 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00));
              break;
            }
            i_ = save;
          }
          if (cp >= 0xDC80 && cp <= 0xDCFF) {
            // Python's stand-in writes an argument byte that is not UTF-8
            // as a lone surrogate (surrogateescape): give back the byte.
            out += static_cast<char>(cp - 0xDC00);
          } else {
            put_utf8(out, cp);
          }
          break;
        }
        default: fail("bad escape");
      }
    }
  }

  const std::string& s_;
  size_t i_ = 0;
};

// ---------------------------------------------------------------------------
// Processes

void ignore_sigpipe_once() {
  static std::once_flag once;
  // Writing input to a program that has already ended must not end the tests.
  std::call_once(once, [] { ::signal(SIGPIPE, SIG_IGN); });
}

void set_nonblocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

// In the child between fork and exec: async-signal-safe calls only.
[[noreturn]] void exec_child(const char* path, char* const* argv, char* const* envp,
                             const char* cwd) {
  for (int sig = 1; sig < NSIG; ++sig) {
    if (sig == SIGKILL || sig == SIGSTOP) continue;
    ::signal(sig, SIG_DFL);
  }
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  if (::chdir(cwd) != 0) _exit(127);
  ::execve(path, argv, envp);
  static const char msg[] = "e2e harness: exec failed\n";
  ssize_t ignored = ::write(2, msg, sizeof msg - 1);
  (void)ignored;
  _exit(127);
}

}  // namespace

struct SimServer::Background::State {
  mutable std::mutex mu;
  std::condition_variable cv;
  std::string out, err;
  bool done = false;
  RunResult result;
  pid_t leader = -1;  // umockdev-run (or the program), leader of the run's process group
  bool pty = false;
  std::string status_file, pid_file;
  std::atomic<bool> abort{false};  // end the run now (the Background is going away)
  std::thread thread;
};

struct LaunchSpec {
  std::vector<std::string> argv;  // argv[0] is an absolute path
  std::string cwd;
  std::string input;
  bool pty = false;
  int timeout_ms = 90000;
  std::string status_file, pid_file;  // empty when the run has no supervisor
  std::vector<std::string> env;        // empty: our own environment
};

namespace {

using State = SimServer::Background::State;

void append_output(State& st, bool to_err, const char* data, size_t n) {
  {
    std::lock_guard<std::mutex> lock(st.mu);
    (to_err ? st.err : st.out).append(data, n);
  }
  st.cv.notify_all();
}

// Reads what is there; false once the stream has ended.
bool drain(State& st, int fd, bool to_err) {
  char buf[8192];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) {
      append_output(st, to_err, buf, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return true;
    return false;  // end of file, or EIO once a terminal has no more writers
  }
}

void finish(State& st, int wait_status, bool timed_out) {
  RunResult result;
  result.timed_out = timed_out;
  bool from_supervisor = false;
  if (!st.status_file.empty()) {
    std::string text;
    try {
      text = read_file(st.status_file);
    } catch (const std::runtime_error&) {
    }
    int value = 0;
    if (std::sscanf(text.c_str(), "exited %d", &value) == 1) {
      result.status = value;
      from_supervisor = true;
    } else if (std::sscanf(text.c_str(), "signaled %d", &value) == 1) {
      result.signal = value;
      result.status = 128 + value;
      from_supervisor = true;
    }
  }
  if (!from_supervisor) {
    if (WIFEXITED(wait_status)) {
      result.status = WEXITSTATUS(wait_status);
    } else if (WIFSIGNALED(wait_status)) {
      result.signal = WTERMSIG(wait_status);
      result.status = 128 + result.signal;
    }
  }
  {
    std::lock_guard<std::mutex> lock(st.mu);
    if (timed_out) st.err += "\n[e2e harness: the run was killed after its time limit]\n";
    result.out = st.out;
    result.err = st.err;
    st.result = result;
    st.done = true;
  }
  st.cv.notify_all();
}

// The program's pid once the supervisor has written it, else -1.
pid_t current_program_pid(const State& st) {
  if (st.pid_file.empty()) return -1;
  try {
    int pid = std::stoi(read_file(st.pid_file));
    return pid > 0 ? pid : -1;
  } catch (const std::exception&) {
    return -1;
  }
}

// Feeds the input, collects the output and reaps the leader.
void pump(State& st, int in_fd, int out_fd, int err_fd, std::string input, int timeout_ms) {
  size_t written = 0;
  if (input.empty() && in_fd >= 0 && !st.pty) {
    ::close(in_fd);
    in_fd = -1;
  }
  bool out_open = out_fd >= 0, err_open = err_fd >= 0;
  bool reaped = false, timed_out = false, killing = false;
  Clock::time_point kill_started;
  int wait_status = 0;
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  Clock::time_point reaped_at, last_eof = Clock::now();
  const auto kEofRepeat = std::chrono::milliseconds(100);
  for (;;) {
    if (!reaped) {
      pid_t got = ::waitpid(st.leader, &wait_status, WNOHANG);
      if (got == st.leader || (got < 0 && errno == ECHILD)) {
        reaped = true;
        reaped_at = Clock::now();
      }
    }
    if (reaped && !out_open && !err_open) break;
    // Stray grandchildren may hold the pipes open after the run has ended.
    if (reaped && Clock::now() - reaped_at > std::chrono::seconds(2)) break;
    if (st.pty && !reaped && written == input.size() && Clock::now() - last_eof > kEofRepeat) {
      // On a terminal each Ctrl-D ends one read only; keep standard input at
      // end of file for every later read, as a pipe would.
      input += '\x04';
      last_eof = Clock::now();
    }
    if (!reaped && !killing && (Clock::now() > deadline || st.abort)) {
      // Kill the program first, so that umockdev-run still ends normally and
      // removes its testbed; the whole group only if that does not help.
      killing = true;
      timed_out = !st.abort;
      kill_started = Clock::now();
      pid_t program = current_program_pid(st);
      if (program > 0) ::kill(program, SIGKILL);
      else ::kill(-st.leader, SIGKILL);
    }
    if (!reaped && killing && Clock::now() - kill_started > std::chrono::seconds(2)) {
      ::kill(-st.leader, SIGKILL);
      kill_started = Clock::now();
    }

    pollfd fds[3];
    int nfds = 0, in_idx = -1, out_idx = -1, err_idx = -1;
    bool want_write = written < input.size() && (st.pty ? out_open : in_fd >= 0);
    if (st.pty) {
      // One descriptor: the terminal's master side, for both directions.
      if (out_open) {
        out_idx = nfds;
        fds[nfds++] = {out_fd, static_cast<short>(POLLIN | (want_write ? POLLOUT : 0)), 0};
      }
    } else {
      if (want_write) {
        in_idx = nfds;
        fds[nfds++] = {in_fd, POLLOUT, 0};
      }
      if (out_open) {
        out_idx = nfds;
        fds[nfds++] = {out_fd, POLLIN, 0};
      }
      if (err_open) {
        err_idx = nfds;
        fds[nfds++] = {err_fd, POLLIN, 0};
      }
    }
    int ready = ::poll(fds, nfds, 50);
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;

    int write_fd = st.pty ? out_fd : in_fd;
    int write_idx = st.pty ? out_idx : in_idx;
    if (want_write && write_idx >= 0 && (fds[write_idx].revents & (POLLOUT | POLLERR | POLLHUP))) {
      ssize_t n = ::write(write_fd, input.data() + written, input.size() - written);
      if (n > 0) {
        written += static_cast<size_t>(n);
      } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
        written = input.size();  // the reader is gone; drop the rest
      }
      if (written == input.size() && !st.pty) {
        ::close(in_fd);
        in_fd = -1;
      }
    }
    if (out_idx >= 0 && (fds[out_idx].revents & (POLLIN | POLLHUP | POLLERR)))
      out_open = drain(st, out_fd, false);
    if (err_idx >= 0 && (fds[err_idx].revents & (POLLIN | POLLHUP | POLLERR)))
      err_open = drain(st, err_fd, true);
  }
  if (!reaped) {
    ::kill(-st.leader, SIGKILL);
    ::waitpid(st.leader, &wait_status, 0);
  }
  if (in_fd >= 0 && !st.pty) ::close(in_fd);
  if (out_fd >= 0) ::close(out_fd);
  if (err_fd >= 0) ::close(err_fd);
  finish(st, wait_status, timed_out);
}

std::shared_ptr<State> launch(const LaunchSpec& spec) {
  ignore_sigpipe_once();
  auto st = std::make_shared<State>();
  st->pty = spec.pty;
  st->status_file = spec.status_file;
  st->pid_file = spec.pid_file;

  std::vector<char*> args;
  for (const std::string& arg : spec.argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  const char* path = spec.argv.at(0).c_str();
  const char* cwd = spec.cwd.c_str();
  std::vector<char*> envp;
  if (spec.env.empty()) {
    for (char** var = environ; *var != nullptr; ++var) envp.push_back(*var);
  } else {
    for (const std::string& var : spec.env) envp.push_back(const_cast<char*>(var.c_str()));
  }
  envp.push_back(nullptr);

  if (spec.pty) {
    struct termios term = {};
    term.c_iflag = ICRNL | IXON | IUTF8;
    term.c_oflag = 0;  // no output processing: the transcript holds the bytes written
    term.c_cflag = CS8 | CREAD;
    term.c_lflag = ICANON | ISIG | IEXTEN;  // no echo of the typed input
    term.c_cc[VINTR] = 3;
    term.c_cc[VQUIT] = 28;
    term.c_cc[VERASE] = 127;
    term.c_cc[VKILL] = 21;
    term.c_cc[VEOF] = 4;
    term.c_cc[VSTART] = 17;
    term.c_cc[VSTOP] = 19;
    term.c_cc[VSUSP] = 26;
    term.c_cc[VMIN] = 1;
    cfsetispeed(&term, B38400);
    cfsetospeed(&term, B38400);
    struct winsize size = {};
    size.ws_row = 24;
    size.ws_col = 80;
    int master = -1;
    pid_t pid = ::forkpty(&master, nullptr, &term, &size);
    if (pid < 0) throw error("forkpty failed: " + errno_text(errno));
    if (pid == 0) exec_child(path, args.data(), envp.data(), cwd);
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    set_nonblocking(master);
    st->leader = pid;
    // Typed input, then Ctrl-D: one ends a line of its own, two end a
    // partial line and then the input.
    std::string input = spec.input;
    input += (input.empty() || input.back() == '\n') ? "\x04" : "\x04\x04";
    st->thread = std::thread(pump, std::ref(*st), -1, master, -1, input, spec.timeout_ms);
    return st;
  }

  int in[2], out[2], err[2];
  if (::pipe2(in, O_CLOEXEC) != 0) throw error("pipe failed: " + errno_text(errno));
  if (::pipe2(out, O_CLOEXEC) != 0) throw error("pipe failed: " + errno_text(errno));
  if (::pipe2(err, O_CLOEXEC) != 0) throw error("pipe failed: " + errno_text(errno));
  pid_t pid = ::fork();
  if (pid < 0) throw error("fork failed: " + errno_text(errno));
  if (pid == 0) {
    // A process group of its own: the whole run can be signalled or killed.
    ::setpgid(0, 0);
    if (::dup2(in[0], 0) < 0 || ::dup2(out[1], 1) < 0 || ::dup2(err[1], 2) < 0) _exit(127);
    exec_child(path, args.data(), envp.data(), cwd);
  }
  ::setpgid(pid, pid);  // also here, so that no signal to the group can come too early
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  set_nonblocking(in[1]);
  set_nonblocking(out[0]);
  set_nonblocking(err[0]);
  st->leader = pid;
  st->thread =
      std::thread(pump, std::ref(*st), in[1], out[0], err[0], spec.input, spec.timeout_ms);
  return st;
}

RunResult wait_for(State& st) {
  if (st.thread.joinable()) st.thread.join();
  std::lock_guard<std::mutex> lock(st.mu);
  return st.result;
}

// The program's pid from the supervisor's pid file; -1 when it does not
// appear within the time limit or the run ends without it.
pid_t program_pid(State& st, int timeout_ms) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    pid_t pid = current_program_pid(st);
    if (pid > 0) return pid;
    {
      std::lock_guard<std::mutex> lock(st.mu);
      if (st.done) return -1;
    }
    if (Clock::now() > deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

std::string umockdev_run_path() {
  static const std::string path = find_in_path("umockdev-run");
  return path;
}

const std::string& fast_tmpdir() {
  static const std::string dir = [] {
    struct statfs info;
    if (::statfs("/dev/shm", &info) == 0 && info.f_type == TMPFS_MAGIC &&
        ::access("/dev/shm", W_OK | X_OK) == 0)
      return std::string("/dev/shm");
    return std::string();
  }();
  return dir;
}

}  // namespace

// ---------------------------------------------------------------------------
// Free helpers

std::string source_dir() { return FWKIT_SOURCE_DIR; }

std::string sample_server() { return read_file(source_dir() + "/sim/servers/sample.json"); }

std::string read_file(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw error("cannot read " + path + ": " + errno_text(errno));
  std::string content;
  char buf[8192];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int saved = errno;
      ::close(fd);
      throw error("cannot read " + path + ": " + errno_text(saved));
    }
    if (n == 0) break;
    content.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return content;
}

// ---------------------------------------------------------------------------
// SimServer

SimServer::SimServer(const std::string& description_json) {
  std::string pattern = (fs::temp_directory_path() / "fwkit-e2e-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr)
    throw error("mkdtemp failed: " + errno_text(errno));
  root_ = pattern;
  dir_ = root_ + "/work";
  try {
    write_file(root_ + "/server.json", description_json, 0644);
    LaunchSpec spec;
    spec.argv = {source_dir() + "/sim/fwsim.py", "workdir", root_ + "/server.json", dir_};
    spec.cwd = root_;
    spec.timeout_ms = 60000;
    RunResult made = wait_for(*launch(spec));
    if (made.status != 0)
      throw error("fwsim.py workdir failed (status " + std::to_string(made.status) +
                  "): " + made.err);
    fs::copy_file(dir_ + "/nic_fw/.sim/fwsim", root_ + "/fwsim");
    fs::permissions(root_ + "/fwsim", fs::perms(0755));
    fs::create_directory(root_ + "/runs");
  } catch (...) {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
    throw;
  }
}

SimServer::~SimServer() {
  std::error_code ignored;
  // A test may have left parts of the directory without write permission.
  for (auto it = fs::recursive_directory_iterator(root_, ignored);
       it != fs::recursive_directory_iterator(); it.increment(ignored)) {
    if (it->is_directory(ignored) && !it->is_symlink(ignored))
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
  }
  fs::remove_all(root_, ignored);
}

void SimServer::wrap(const std::vector<std::string>& argv, LaunchSpec* spec) const {
  if (argv.empty()) throw error("empty command");
  int n = ++runs_;
  spec->status_file = root_ + "/runs/" + std::to_string(n) + ".status";
  spec->pid_file = root_ + "/runs/" + std::to_string(n) + ".pid";
  spec->cwd = dir_;
  spec->timeout_ms = timeout_ms_;
  spec->argv = {umockdev_run_path(), "--device",         dir_ + "/server.umockdev", "--",
                root_ + "/fwsim",    "supervise",        spec->status_file,         spec->pid_file};
  // umockdev-run builds its sysfs tree below TMPDIR, a file per attribute;
  // on tmpfs that is several times quicker. The program gets our TMPDIR back.
  const std::string& fast = fast_tmpdir();
  if (!fast.empty()) {
    const char* ours = std::getenv("TMPDIR");
    if (ours) {
      spec->argv.insert(spec->argv.end(), {"--setenv", std::string("TMPDIR=") + ours});
    } else {
      spec->argv.insert(spec->argv.end(), {"--unsetenv", "TMPDIR"});
    }
    for (char** var = environ; *var != nullptr; ++var)
      if (std::strncmp(*var, "TMPDIR=", 7) != 0) spec->env.push_back(*var);
    spec->env.push_back("TMPDIR=" + fast);
  }
  spec->argv.push_back("--");
  spec->argv.insert(spec->argv.end(), argv.begin(), argv.end());
}

namespace {
std::vector<std::string> fwkit_argv(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {FWKIT_BINARY};
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}
}  // namespace

RunResult SimServer::run(const std::vector<std::string>& args, const std::string& input) const {
  return run_command(fwkit_argv(args), input);
}

RunResult SimServer::run_command(const std::vector<std::string>& argv,
                                 const std::string& input) const {
  return start_command(argv, input).wait();
}

RunResult SimServer::run_on_pty(const std::vector<std::string>& args,
                                const std::string& input) const {
  return run_command_on_pty(fwkit_argv(args), input);
}

RunResult SimServer::run_command_on_pty(const std::vector<std::string>& argv,
                                        const std::string& input) const {
  LaunchSpec spec;
  wrap(argv, &spec);
  spec.input = input;
  spec.pty = true;
  return wait_for(*launch(spec));
}

SimServer::Background SimServer::start(const std::vector<std::string>& args,
                                       const std::string& input) const {
  return start_command(fwkit_argv(args), input);
}

SimServer::Background SimServer::start_command(const std::vector<std::string>& argv,
                                               const std::string& input) const {
  LaunchSpec spec;
  wrap(argv, &spec);
  spec.input = input;
  return Background(launch(spec));
}

std::string SimServer::read(const std::string& rel) const { return read_file(dir_ + "/" + rel); }

void SimServer::write(const std::string& rel, const std::string& content, mode_t mode) const {
  fs::path path = fs::path(dir_) / rel;
  fs::create_directories(path.parent_path());
  write_file(path.string(), content, mode);
}

bool SimServer::exists(const std::string& rel) const {
  std::error_code ignored;
  return fs::exists(fs::symlink_status(fs::path(dir_) / rel, ignored));
}

void SimServer::remove(const std::string& rel) const {
  std::error_code ignored;
  fs::remove_all(fs::path(dir_) / rel, ignored);
}

void SimServer::block_file(const std::string& rel) const {
  remove(rel);
  fs::create_directories(fs::path(dir_) / rel);
}

std::vector<ToolCall> SimServer::calls() const {
  std::string log = read(std::string("nic_fw/.sim/calls.log"));
  std::vector<ToolCall> calls;
  size_t start = 0;
  for (;;) {
    size_t end = log.find('\n', start);
    if (end == std::string::npos) break;  // a line still being written
    Json entry = JsonReader(log.substr(start, end - start)).document();
    ToolCall call;
    call.tool = entry.string_or("tool", "");
    call.cwd = entry.string_or("cwd", "");
    call.stdout_kind = entry.string_or("stdout", "");
    if (const Json* pid = entry.get("pid")) call.pid = static_cast<int>(pid->number);
    if (const Json* argv = entry.get("argv"))
      for (const Json& arg : argv->items) call.argv.push_back(arg.text);
    calls.push_back(std::move(call));
    start = end + 1;
  }
  return calls;
}

bool SimServer::wait_for_calls(size_t n, int timeout_ms) const {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    if (calls().size() >= n) return true;
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

std::string SimServer::firmware(const std::string& address) const {
  Json state = JsonReader(read("nic_fw/.sim/server.json")).document();
  if (const Json* functions = state.get("functions")) {
    for (const Json& fn : functions->items)
      if (fn.string_or("address", "") == address) return fn.string_or("firmware", "");
  }
  return "";
}

// ---------------------------------------------------------------------------
// Background

SimServer::Background::Background(std::shared_ptr<State> state) : state_(std::move(state)) {}
SimServer::Background::Background(Background&&) noexcept = default;
SimServer::Background& SimServer::Background::operator=(Background&& other) noexcept {
  if (this != &other) {
    if (state_ && state_->thread.joinable()) {
      state_->abort = true;
      state_->thread.join();
    }
    state_ = std::move(other.state_);
  }
  return *this;
}

SimServer::Background::~Background() {
  if (!state_ || !state_->thread.joinable()) return;
  state_->abort = true;
  state_->thread.join();
}

void SimServer::Background::signal(int signo) {
  pid_t pid = program_pid(*state_, 10000);
  if (pid <= 0) throw error("the program of this run was not started, cannot signal it");
  ::kill(pid, signo);
}

void SimServer::Background::signal_group(int signo) { ::kill(-state_->leader, signo); }

pid_t SimServer::Background::pid() const { return program_pid(*state_, 10000); }

std::string SimServer::Background::out() const {
  std::lock_guard<std::mutex> lock(state_->mu);
  return state_->out;
}

bool SimServer::Background::wait_for_output(const std::string& text, int timeout_ms) const {
  std::unique_lock<std::mutex> lock(state_->mu);
  state_->cv.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
    return state_->done || state_->out.find(text) != std::string::npos;
  });
  return state_->out.find(text) != std::string::npos;
}

bool SimServer::Background::running() const {
  std::lock_guard<std::mutex> lock(state_->mu);
  return !state_->done;
}

RunResult SimServer::Background::wait() { return wait_for(*state_); }

}  // namespace e2e
