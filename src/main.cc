// fwkit: brings the firmware of the server's network adapters up to date.
#include "discovery/report_reader.h"
#include "discovery/report_writer.h"
#include "reports/current_report.h"
#include "run/options.h"
#include "run/reboot_flag.h"
#include "run/run_state.h"
#include "upgrade/upgrade_run.h"

namespace {

int run_mode_chosen(run_mode mode) {
  switch (mode) {
    case run_mode::show_current: return show_current();
    case run_mode::discover: return discover_HW();
    case run_mode::apply_report: return read_discovery_report();
    case run_mode::upgrade: break;
  }
  return fwupg();
}

}  // namespace

int main(int argc, char** argv) {
  command_line command = parse_command_line(argc, argv);
  if (!command.run) return command.exit_status;
  const int status = run_mode_chosen(command.mode);
  // Whatever else happened, an image burned in this run (or refused until a
  // reset) waits for a reboot.
  if (g_iFlag & (kStatusBurnOk | kStatusResetPending)) flag_reboot_required();
  return status;
}
