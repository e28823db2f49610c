// Placeholder for the current firmware report until it is built.
#include "reports/current_report.h"

#include "run/error_report.h"
#include "run/event_log.h"
#include "run/exit_status.h"

int show_current() {
  open_event_log();
  write_stderr("FWUPG_ERROR: the current firmware report is not available in this build\n");
  return kExitErrors;
}
