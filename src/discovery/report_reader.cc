// Placeholder for the discovery report applier until it is built.
#include "discovery/report_reader.h"

#include "run/error_report.h"
#include "run/event_log.h"
#include "run/exit_status.h"

int read_discovery_report() {
  open_event_log();
  write_stderr("FWUPG_ERROR: the discovery report applier is not available in this build\n");
  return kExitErrors;
}
