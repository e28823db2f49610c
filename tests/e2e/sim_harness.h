// End-to-end harness: runs the real fwkit binary (or any program) on a
// simulated server made by sim/fwsim.py, under umockdev-run.
//
// Every SimServer owns a fresh temporary directory:
//   ROOT/work/      the working directory of each run (dir()): server.umockdev,
//                   nic_fw/ (catalog, images, stand-in mstflint, simulator
//                   state in nic_fw/.sim/), getmlnxinfo
//   ROOT/fwsim      the supervisor that records each run's exact wait status
//   ROOT/runs/      one status file and one pid file per run
// so runs of different SimServers never share anything and may go on in
// parallel. The directory is removed with the SimServer.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace e2e {

/// How one run ended and what it wrote.
struct RunResult {
  int status = -1;         ///< the program's exit code, or 128 + n when signal n ended it
  std::string out;         ///< standard output (the whole transcript for a terminal run)
  std::string err;         ///< standard error (empty for a terminal run)
  int signal = 0;          ///< the signal that ended the program; 0 when it exited
  bool timed_out = false;  ///< the harness killed the run after its time limit
};

/// One call of a stand-in tool, as recorded in nic_fw/.sim/calls.log.
struct ToolCall {
  std::string tool;               ///< "mstflint" or "getmlnxinfo"
  std::vector<std::string> argv;  ///< the arguments after argv[0]
  std::string cwd;                ///< the tool's working directory
  std::string stdout_kind;        ///< "tty", "pipe", "file", "other" or "closed"
  int pid = 0;
};

/// The repository root (sim/ and tests/ are below it).
std::string source_dir();
/// Contents of sim/servers/sample.json.
std::string sample_server();
/// Whole contents of a file; throws std::runtime_error when it cannot be read.
std::string read_file(const std::string& path);

struct LaunchSpec;  // the harness's own description of one process start

class SimServer {
 public:
  /// Lays out a fresh working directory for the server description (JSON
  /// text, see sim/README.md) with `fwsim.py workdir`. Throws
  /// std::runtime_error with fwsim's message when the description is refused.
  explicit SimServer(const std::string& description_json);
  ~SimServer();
  SimServer(const SimServer&) = delete;
  SimServer& operator=(const SimServer&) = delete;

  /// The working directory of the runs (the parent of nic_fw/).
  const std::string& dir() const { return dir_; }

  /// Runs fwkit with `args` under the testbed, in dir(), with `input` then
  /// end of file on standard input, and waits for it.
  RunResult run(const std::vector<std::string>& args, const std::string& input = "") const;
  /// Same for any program: argv[0] is a path (relative to dir() when it
  /// holds a '/') or a name looked up in PATH.
  RunResult run_command(const std::vector<std::string>& argv,
                        const std::string& input = "") const;

  /// Runs fwkit with a pseudo-terminal as standard input, output and error.
  /// `out` is the raw transcript: the terminal neither echoes the input nor
  /// turns "\n" into "\r\n", so it holds exactly the bytes written. `input`
  /// is typed in, then end of file (Ctrl-D).
  RunResult run_on_pty(const std::vector<std::string>& args, const std::string& input = "") const;
  RunResult run_command_on_pty(const std::vector<std::string>& argv,
                               const std::string& input = "") const;

  /// A run going on in the background, for tests of concurrency and signals.
  /// Its output is collected while it runs. Destroying an unfinished run
  /// kills its process group and waits for it.
  class Background {
   public:
    Background(Background&&) noexcept;
    Background& operator=(Background&&) noexcept;
    ~Background();

    /// Sends `signo` to the program itself (fwkit, not umockdev-run).
    /// Waits up to 10 s for the program to be started first.
    void signal(int signo);
    /// Sends `signo` to the run's whole process group, as a terminal's Ctrl-C
    /// does: umockdev-run, the program, and its children in that group.
    void signal_group(int signo);
    /// The program's process id (-1 if it was not started within 10 s).
    pid_t pid() const;
    /// What the program has written to standard output so far.
    std::string out() const;
    /// Waits until standard output contains `text`; false after `timeout_ms`
    /// or when the run ended without it.
    bool wait_for_output(const std::string& text, int timeout_ms) const;
    /// Whether the run has not ended yet.
    bool running() const;
    /// Waits for the end of the run.
    RunResult wait();

    struct State;  // the harness's own bookkeeping of the run
    explicit Background(std::shared_ptr<State> state);

   private:
    std::shared_ptr<State> state_;
  };

  Background start(const std::vector<std::string>& args, const std::string& input = "") const;
  Background start_command(const std::vector<std::string>& argv,
                           const std::string& input = "") const;

  /// Files of the working directory, by path relative to dir().
  std::string read(const std::string& rel) const;  // throws when unreadable
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
  void wrap(const std::vector<std::string>& argv, LaunchSpec* spec) const;

  std::string root_;
  std::string dir_;
  int timeout_ms_ = 90000;
  mutable int runs_ = 0;
};

}  // namespace e2e
