// fwkit: brings the firmware of the server's network adapters up to date.
#include "discovery/report_reader.h"
#include "discovery/report_writer.h"
#include "reports/current_report.h"
#include "run/options.h"
#include "upgrade/upgrade_run.h"

int main(int argc, char** argv) {
  command_line command = parse_command_line(argc, argv);
  if (!command.run) return command.exit_status;
  switch (command.mode) {
    case run_mode::show_current: return show_current();
    case run_mode::discover: return discover_HW();
    case run_mode::apply_report: return read_discovery_report();
    case run_mode::upgrade: break;
  }
  return fwupg();
}
