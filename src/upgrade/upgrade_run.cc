// Placeholder for the upgrade run until it is built.
#include "upgrade/upgrade_run.h"

#include "run/error_report.h"
#include "run/event_log.h"
#include "run/exit_status.h"

int fwupg() {
  open_event_log();
  write_stderr("FWUPG_ERROR: the upgrade run is not available in this build\n");
  return kExitErrors;
}
