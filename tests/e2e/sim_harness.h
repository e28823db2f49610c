// End-to-end harness: runs the real fwkit binary (or any program) on a
// simulated server made by sim/fwsim.py, under umockdev-run (sim/README.md).
// Each SimServer owns a fresh temporary directory, removed with it:
//   ROOT/work/   the working directory of every run (dir()): server.umockdev,
//                nic_fw/ (catalog, images, stand-in mstflint, simulator state
//                in nic_fw/.sim/), getmlnxinfo
//   ROOT/fwsim   the supervisor that records each run's exact wait status
//   ROOT/runs/   the status file and pid file it writes for each run
// so SimServers share nothing and may be used side by side.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace e2e {

/// How one run ended and what it wrote.
struct RunResult {
  int status = -1;  ///< the program's exit code, or 128 + n when signal n ended it
  std::string out;  ///< standard output (the whole transcript for a terminal run)
  std::string err;  ///< standard error (empty for a terminal run)
  int signal = 0;   ///< the signal that ended the program; 0 when it exited
};

/// One call of a stand-in tool, as recorded in nic_fw/.sim/calls.log.
struct ToolCall {
  std::string tool;               ///< "mstflint" or "getmlnxinfo"
  std::vector<std::string> argv;  ///< the arguments after argv[0]
  std::string stdout_kind;        ///< "tty", "pipe", "file", "other" or "closed"
};

/// Contents of sim/servers/sample.json.
std::string sample_server();
/// Whole contents of a file; throws std::runtime_error when it cannot be read.
std::string read_file(const std::string& path);

class SimServer {
 public:
  /// A run going on in the background. Its output is collected by wait();
  /// dropping an unfinished run kills it.
  class Background {
   public:
    struct Run;  // the harness's own bookkeeping of the run
    explicit Background(std::unique_ptr<Run> run);
    Background(Background&&) noexcept;
    Background& operator=(Background&&) noexcept;
    ~Background();
    /// Sends `signo` to the program itself (fwkit, not umockdev-run), once it
    /// has started (throws if it has not within 10 s).
    void signal(int signo);
    /// Sends `signo` to the run's whole process group, as a terminal's Ctrl-C
    /// does: umockdev-run, the supervisor, the program and its children.
    void signal_group(int signo);
    /// Waits for the end of the run (at most its time limit, then kills it).
    RunResult wait();

   private:
    std::unique_ptr<Run> run_;
  };

  /// Lays out a fresh working directory for the server description (JSON,
  /// see sim/README.md) with `fwsim.py workdir`; throws std::runtime_error
  /// with fwsim's message when the description is refused.
  explicit SimServer(const std::string& description_json);
  ~SimServer();
  SimServer(const SimServer&) = delete;
  SimServer& operator=(const SimServer&) = delete;

  /// The working directory of the runs (the parent of nic_fw/).
  const std::string& dir() const { return dir_; }

  /// Starts `argv` (argv[0] a path relative to dir(), or a name looked up in
  /// PATH) under the testbed in dir(), with `input` then end of file on
  /// standard input and pipes for standard output and error.
  Background start_command(const std::vector<std::string>& argv, const std::string& input = "") const {
    return launch(argv, input, false);
  }
  Background start(const std::vector<std::string>& args, const std::string& input = "") const {
    return start_command(fwkit(args), input);
  }
  /// The same, waiting for the end of the run.
  RunResult run_command(const std::vector<std::string>& argv, const std::string& input = "") const {
    return start_command(argv, input).wait();
  }
  RunResult run(const std::vector<std::string>& args, const std::string& input = "") const {
    return run_command(fwkit(args), input);
  }
  /// With a pseudo-terminal as standard input, output and error. `out` holds
  /// exactly the bytes written (no echo, no "\r" added); `input` is typed in,
  /// then end of file (Ctrl-D) for every later read.
  RunResult run_command_on_pty(const std::vector<std::string>& argv, const std::string& input = "") const {
    return launch(argv, input, true).wait();
  }
  RunResult run_on_pty(const std::vector<std::string>& args, const std::string& input = "") const {
    return run_command_on_pty(fwkit(args), input);
  }

  /// Files of the working directory, by path relative to dir().
  std::string read(const std::string& rel) const { return read_file(dir_ + "/" + rel); }
  void write(const std::string& rel, const std::string& content, mode_t mode = 0644) const;
  bool exists(const std::string& rel) const;
  void remove(const std::string& rel) const;  // file or whole directory; no error if absent
  /// Puts a directory in place of `rel`, so that opening it for writing
  /// fails (EISDIR) even for root, whom permission bits do not stop.
  void block_file(const std::string& rel) const;
  /// block_file("mstflint.log"): fwkit cannot open its event log.
  void block_log() const { block_file("mstflint.log"); }

  /// Every stand-in call so far, in order.
  std::vector<ToolCall> calls() const;
  /// Waits until at least `n` calls are recorded; false after `timeout_ms`.
  bool wait_for_calls(size_t n, int timeout_ms) const;
  /// The running firmware version of a PCI function in the simulator state
  /// (a successful burn changes it); "" when it has none or is unknown.
  std::string firmware(const std::string& address) const;

  /// Time limit of each run (default 90 s); the run is killed after it.
  void set_timeout_ms(int ms) { timeout_ms_ = ms; }

 private:
  static std::vector<std::string> fwkit(const std::vector<std::string>& args);
  Background launch(const std::vector<std::string>& argv, const std::string& input, bool pty) const;

  std::string root_, dir_;
  int timeout_ms_ = 90000;
  mutable int runs_ = 0;
};

}  // namespace e2e
