// fwkit: brings the firmware of the server's network adapters up to date.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>

#include <chrono>

#include "discovery/report_applier.h"
#include "discovery/report_writer.h"
#include "reports/current_report.h"
#include "reports/run_metrics.h"
#include "repository/fw_catalog.h"
#include "run/exit_status.h"
#include "run/options.h"
#include "run/path_trust.h"
#include "run/reboot_flag.h"
#include "run/run_lock.h"
#include "run/run_state.h"
#include "run/settings.h"
#include "upgrade/upgrade_run.h"

namespace {

// Started with standard input, output or error closed, the first files we
// open (the log, the burn lock) would take their numbers, and a tool's
// redirected output would land on them: each closed one gets /dev/null.
void fill_closed_standard_streams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
  }
}

int run_mode_chosen(run_mode mode, const run_settings& settings) {
  // A flash being written answers no query worth reporting, and a query may
  // disturb the burn: the modes that only ask wait for another day.
  if ((mode == run_mode::show_current || mode == run_mode::discover) && !burn_lock_free()) {
    return kExitFailure;
  }
  switch (mode) {
    case run_mode::show_current: return show_current(settings);
    case run_mode::discover: return discover_HW(settings);
    case run_mode::apply_report: return read_discovery_report(settings);
    case run_mode::upgrade: break;
  }
  return fwupg(settings);
}

}  // namespace

int main(int argc, char** argv) {
  const auto started = std::chrono::steady_clock::now();
  const run_settings settings = read_run_settings();
  fill_closed_standard_streams();
  // A console that went away (a dropped ssh link, a closed pipe) must not
  // end the run between burns: its writes just fail.
  signal(SIGPIPE, SIG_IGN);
  // Started with SIGCHLD ignored (by a daemon or a job runner), the kernel
  // would reap the tools itself and no exit status could be read.
  signal(SIGCHLD, SIG_DFL);
  command_line command = parse_command_line(argc, argv);
  if (!command.run) return command.exit_status;
  // Root runs the tools of the repository and burns its images: nobody else
  // may be able to change them.
  if (!check_repository_trust({"nic_fw", "nic_fw/mstflint", g_XMLFwFile, "getmlnxinfo"})) {
    return kExitFailure;
  }
  const int status = run_mode_chosen(command.mode, settings);
  // Whatever else happened, an image burned in this run (or refused until a
  // reset) waits for a reboot.
  if (g_iFlag & (kStatusBurnOk | kStatusResetPending)) flag_reboot_required();
  write_run_metrics(status, settings.textfile, started);
  return status;
}
