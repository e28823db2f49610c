// End-to-end harness: process control, output capture and simulator state.
#include "sim_harness.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace e2e {
namespace {

std::runtime_error error(const std::string& what) {
  return std::runtime_error("e2e harness: " + what);
}

std::string read_if_any(const std::string& path) {  // "" when it cannot be read
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

// Just enough JSON for the simulator's own files (calls.log, server.json).
struct Json {
  std::string text;               // a string's value, or a number's or literal's text
  std::vector<std::string> keys;  // an object's keys, one per item
  std::vector<Json> items;        // an array's or an object's values
  const Json& operator[](const std::string& key) const {
    static const Json none;
    for (size_t i = 0; i < keys.size(); ++i)
      if (keys[i] == key) return items[i];
    return none;
  }
};

struct JsonReader {
  const std::string& s;
  size_t i = 0;

  char next() {  // the next character after blanks
    while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
    if (i >= s.size()) throw error("JSON ends early: " + s);
    return s[i];
  }
  void expect(char c) {
    if (next() != c) throw error(std::string("JSON: '") + c + "' expected at " + std::to_string(i));
    ++i;
  }
  Json value() {
    Json v;
    const char open = next();
    if (open == '"') {
      v.text = string();
    } else if (open == '{' || open == '[') {
      ++i;
      while (next() != (open == '{' ? '}' : ']')) {
        if (!v.items.empty()) expect(',');
        if (open == '{') v.keys.push_back(string()), expect(':');
        v.items.push_back(value());
      }
      ++i;
    } else {
      while (i < s.size() && (std::isalnum(static_cast<unsigned char>(s[i])) || s[i] == '-' ||
                              s[i] == '+' || s[i] == '.'))
        v.text += s[i++];
      if (v.text.empty()) throw error("JSON: value expected at " + std::to_string(i));
    }
    return v;
  }
  unsigned hex4() {
    i += 4;
    return static_cast<unsigned>(std::stoul(s.substr(i - 4, 4), nullptr, 16));
  }
  std::string string() {
    expect('"');
    std::string out;
    for (char c; (c = s.at(i++)) != '"';) {
      const bool escaped = c == '\\';
      if (escaped) c = s.at(i++);
      if (!escaped || c != 'u') {
        const char* named = escaped ? std::strchr("b\bf\fn\nr\rt\t", c) : nullptr;
        out += named ? named[1] : c;
        continue;
      }
      unsigned cp = hex4();
      if (cp >= 0xD800 && cp < 0xDC00 && s.compare(i, 2, "\\u") == 0) {
        i += 2;
        cp = 0x10000 + ((cp - 0xD800) << 10) + (hex4() - 0xDC00);
      }
      if (cp >= 0xDC80 && cp <= 0xDCFF) {
        // A byte of an argument that is not UTF-8 (Python's surrogateescape).
        out += static_cast<char>(cp - 0xDC00);
      } else if (cp < 0x80) {
        out += static_cast<char>(cp);
      } else {
        int n = cp < 0x800 ? 1 : cp < 0x10000 ? 2 : 3;  // continuation bytes
        out += static_cast<char>(((0xFF00 >> (n + 1)) & 0xFF) | (cp >> (6 * n)));
        while (n-- > 0) out += static_cast<char>(0x80 | ((cp >> (6 * n)) & 0x3F));
      }
    }
    return out;
  }
};

}  // namespace

struct SimServer::Background::Run {
  pid_t leader = -1;  // umockdev-run, leader of the run's process group
  bool pty = false;
  int in = -1, out = -1, err = -1;  // on a terminal in == out and err is unused
  std::string input, status_file, pid_file;
  Clock::time_point deadline;
  bool done = false;
  RunResult result;

  ~Run() {
    if (!done && leader > 0) wait(true);
  }

  // The program's pid once the supervisor has written it, else 0.
  pid_t program_pid() const { return std::atoi(read_if_any(pid_file).c_str()); }

  // Reads what is there into `to`; closes the descriptor at its end (or at
  // EIO, which a terminal gives once no one has its other side open).
  static void drain(int& fd, std::string& to, short revents) {
    if (fd < 0 || !(revents & (POLLIN | POLLHUP | POLLERR))) return;
    char buf[65536];
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) {
      to.append(buf, static_cast<size_t>(n));
    } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
      ::close(fd);
      fd = -1;
    }
  }

  // Feeds the input and collects the output until the leader has ended; kills
  // the run at its deadline, or at once when `abort`.
  RunResult& wait(bool abort) {
    done = true;
    size_t written = 0;
    int status = 0;
    bool reaped = false, killing = false;
    auto kill_at = abort ? Clock::now() : deadline, reaped_at = Clock::now(), eof_at = reaped_at;
    for (;;) {
      auto now = Clock::now();
      if (!reaped && ::waitpid(leader, &status, WNOHANG) != 0) reaped = true, reaped_at = now;
      // Stray grandchildren may hold the pipes open after the run has ended.
      if (reaped && ((out < 0 && err < 0) || now - reaped_at > 2s)) break;
      if (!reaped && now > kill_at) {
        // The program first, so that umockdev-run still ends normally and
        // removes its testbed; the whole group if that does not help.
        pid_t program = killing ? -1 : program_pid();
        ::kill(program > 0 ? program : -leader, SIGKILL);
        if (!killing && !abort) result.err += "\n[e2e harness: the run was killed after its time limit]\n";
        killing = true;
        kill_at = now + 2s;
      }
      if (!pty && in >= 0 && written == input.size()) ::close(in), in = -1;
      if (pty && written == input.size() && now - eof_at > 100ms) {
        // On a terminal each Ctrl-D ends one read only: repeat it, so that
        // every later read sees end of file, as from a pipe.
        input += '\x04';
        eof_at = now;
      }
      const bool pending = written < input.size() && in >= 0;
      pollfd fds[3] = {{out, static_cast<short>(POLLIN | (pty && pending ? POLLOUT : 0)), 0},
                       {err, POLLIN, 0},
                       {pty ? -1 : in, POLLOUT, 0}};
      if (::poll(fds, 3, 20) <= 0) continue;
      if (pending && (fds[pty ? 0 : 2].revents & (POLLOUT | POLLERR | POLLHUP))) {
        ssize_t n = ::write(in, input.data() + written, input.size() - written);
        // A reader that is gone drops the rest.
        written = n >= 0 ? written + static_cast<size_t>(n) : errno == EAGAIN ? written : input.size();
      }
      drain(out, result.out, fds[0].revents);
      drain(err, result.err, fds[1].revents);
      if (pty) in = out;  // closed with it
    }
    for (int fd : {pty ? -1 : in, out, err})
      if (fd >= 0) ::close(fd);
    in = out = err = -1;

    const std::string how = read_if_any(status_file);
    int value = 0;
    if (std::sscanf(how.c_str(), "exited %d", &value) == 1) result.status = value;
    else if (std::sscanf(how.c_str(), "signaled %d", &value) == 1) result.signal = value;
    else if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    else result.status = WEXITSTATUS(status);
    if (result.signal != 0) result.status = 128 + result.signal;
    return result;
  }
};

namespace {

using Run = SimServer::Background::Run;

// Starts argv in cwd, a process group of its own, with pipes or a terminal.
std::unique_ptr<Run> launch_process(const std::vector<std::string>& argv, const std::string& cwd,
                                    const std::string& input, bool pty, int timeout_ms) {
  ::signal(SIGPIPE, SIG_IGN);  // writing input to a program that has ended must not end the tests
  auto run = std::make_unique<Run>();
  run->input = input;
  run->pty = pty;
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  auto exec = [&] {  // in the child: no allocation from here on
    for (int sig = 1; sig < NSIG; ++sig) ::signal(sig, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    if (::chdir(cwd.c_str()) == 0) ::execvp(args[0], args.data());
    ::perror(args[0]);
    _exit(127);
  };
  if (pty) {
    struct termios term = {};
    term.c_iflag = ICRNL | IUTF8;
    term.c_cflag = CS8 | CREAD;
    term.c_lflag = ICANON | ISIG;  // no echo; c_oflag 0: no output processing
    term.c_cc[VINTR] = 3;
    term.c_cc[VEOF] = 4;
    cfsetspeed(&term, B38400);
    run->leader = ::forkpty(&run->in, nullptr, &term, nullptr);  // its own session and group
    if (run->leader == 0) exec();
    run->out = run->in;
  } else {
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) || ::pipe2(out, O_CLOEXEC) || ::pipe2(err, O_CLOEXEC))
      throw error("pipe failed");
    run->leader = ::fork();
    if (run->leader == 0) {
      ::setpgid(0, 0);
      if (::dup2(in[0], 0) < 0 || ::dup2(out[1], 1) < 0 || ::dup2(err[1], 2) < 0) _exit(127);
      exec();
    }
    ::setpgid(run->leader, run->leader);  // here too, so that no signal to the group comes too early
    for (int fd : {in[0], out[1], err[1]}) ::close(fd);
    run->in = in[1], run->out = out[0], run->err = err[0];
    // A background run is read only when waited for: room for its output.
    ::fcntl(run->out, F_SETPIPE_SZ, 1 << 20);
    ::fcntl(run->err, F_SETPIPE_SZ, 1 << 20);
  }
  if (run->leader < 0) throw error("fork failed");
  ::fcntl(run->in, F_SETFD, FD_CLOEXEC);
  ::fcntl(run->in, F_SETFL, ::fcntl(run->in, F_GETFL) | O_NONBLOCK);
  run->deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  return run;
}

}  // namespace

std::string sample_server() { return read_file(FWKIT_SOURCE_DIR "/sim/servers/sample.json"); }

std::string read_file(const std::string& path) {
  if (!std::ifstream(path) || fs::is_directory(path)) throw error("cannot read " + path);
  return read_if_any(path);
}

SimServer::SimServer(const std::string& description_json) {
  std::string pattern = (fs::temp_directory_path() / "fwkit-e2e-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw error("mkdtemp failed");
  root_ = pattern;
  dir_ = root_ + "/work";
  RunResult made = launch_process({FWKIT_SOURCE_DIR "/sim/fwsim.py", "workdir", "-", dir_}, root_,
                                  description_json, false, 60000)->wait(false);
  if (made.status != 0) {
    fs::remove_all(root_);
    throw error("fwsim.py workdir failed (status " + std::to_string(made.status) + "): " + made.err);
  }
  // Outside work/, so that no test can take it away.
  fs::copy_file(dir_ + "/nic_fw/.sim/fwsim", root_ + "/fwsim");
  fs::create_directory(root_ + "/runs");
}

SimServer::~SimServer() {
  std::error_code ignored;
  fs::remove_all(root_, ignored);
}

std::vector<std::string> SimServer::fwkit(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {FWKIT_BINARY};
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

SimServer::Background SimServer::launch(const std::vector<std::string>& argv, const std::string& input,
                                        bool pty) const {
  const std::string runs = root_ + "/runs/" + std::to_string(++runs_);
  // umockdev-run passes a signal that ended its child on as an exit code, so a
  // supervisor between them writes the program's exact wait status.
  std::vector<std::string> wrapped = {"umockdev-run", "--device", dir_ + "/server.umockdev", "--",
                                      root_ + "/fwsim", "supervise", runs + ".status", runs + ".pid"};
  // umockdev-run writes a file per sysfs attribute below TMPDIR, several times
  // quicker on tmpfs; the program gets our own TMPDIR back.
  if (::access("/dev/shm", W_OK) == 0) {
    const char* ours = std::getenv("TMPDIR");
    wrapped.insert(wrapped.begin(), {"env", "TMPDIR=/dev/shm"});
    wrapped.insert(wrapped.end(), {ours ? "--setenv" : "--unsetenv", ours ? std::string("TMPDIR=") + ours : "TMPDIR"});
  }
  wrapped.push_back("--");
  wrapped.insert(wrapped.end(), argv.begin(), argv.end());
  auto run = launch_process(wrapped, dir_, input, pty, timeout_ms_);
  run->status_file = runs + ".status";
  run->pid_file = runs + ".pid";
  return Background(std::move(run));
}

void SimServer::write(const std::string& rel, const std::string& content, mode_t mode) const {
  fs::create_directories((fs::path(dir_) / rel).parent_path());
  {
    std::ofstream file(dir_ + "/" + rel, std::ios::binary | std::ios::trunc);
    if (!(file << content).flush()) throw error("cannot write " + rel);
  }
  fs::permissions(dir_ + "/" + rel, fs::perms(mode));
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
  std::vector<ToolCall> calls;
  std::string log = read("nic_fw/.sim/calls.log");
  // The last line may still be being written.
  for (size_t start = 0, end; (end = log.find('\n', start)) != std::string::npos; start = end + 1) {
    std::string line = log.substr(start, end - start);
    Json entry = JsonReader{line}.value();
    ToolCall call{entry["tool"].text, {}, entry["stdout"].text};
    for (const Json& arg : entry["argv"].items) call.argv.push_back(arg.text);
    calls.push_back(std::move(call));
  }
  return calls;
}

bool SimServer::wait_for_calls(size_t n, int timeout_ms) const {
  for (auto end = Clock::now() + std::chrono::milliseconds(timeout_ms); calls().size() < n;
       std::this_thread::sleep_for(20ms))
    if (Clock::now() > end) return false;
  return true;
}

std::string SimServer::firmware(const std::string& address) const {
  std::string text = read("nic_fw/.sim/server.json");
  Json state = JsonReader{text}.value();
  for (const Json& fn : state["functions"].items)
    if (fn["address"].text == address) return fn["firmware"].text;
  return "";
}

SimServer::Background::Background(std::unique_ptr<Run> run) : run_(std::move(run)) {}
SimServer::Background::Background(Background&&) noexcept = default;
SimServer::Background& SimServer::Background::operator=(Background&&) noexcept = default;
SimServer::Background::~Background() = default;

void SimServer::Background::signal(int signo) {
  for (auto end = Clock::now() + 10s; run_->program_pid() <= 0; std::this_thread::sleep_for(10ms))
    if (Clock::now() > end) throw error("the program of this run was not started, cannot signal it");
  ::kill(run_->program_pid(), signo);
}

void SimServer::Background::signal_group(int signo) { ::kill(-run_->leader, signo); }

RunResult SimServer::Background::wait() { return run_->done ? run_->result : run_->wait(false); }

}  // namespace e2e
