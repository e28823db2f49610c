// Placeholder for the discovery report writer until it is built.
#include "discovery/report_writer.h"

#include "run/error_report.h"
#include "run/event_log.h"
#include "run/exit_status.h"

int discover_HW() {
  open_event_log();
  write_stderr("FWUPG_ERROR: the discovery report writer is not available in this build\n");
  return kExitErrors;
}
