// The upgrade run: offers every adapter with repository images, burns the chosen ones, sums up.
#include "upgrade/upgrade_run.h"

#include <algorithm>

#include "inventory/nic_info.h"
#include "inventory/nic_table.h"
#include "run/child_process.h"
#include "run/console.h"
#include "run/event_log.h"
#include "run/exit_status.h"
#include "run/run_lock.h"
#include "run/run_state.h"
#include "run/text_format.h"
#include "upgrade/image_flashing.h"
#include "upgrade/image_selection.h"

namespace {

int cancelled_by_user() {
  print_message("\nFirmware upgrade cancelled by User \n");
  return kExitCancelled;
}

}  // namespace

int fwupg() {
  open_event_log();
  // Before the inventory, so that a second run cannot even query adapters
  // while this one may be burning them.
  if (!take_burn_lock()) {
    // An unattended run has no one reading standard error: the log says it too.
    log_mellanox_event(kTagError,
                       "Firmware upgrade refused: another firmware upgrade is running on this "
                       "server, or its lock could not be taken; nothing was flashed\n");
    return kExitFailure;
  }

  const int built = build_NIC_list();
  if (built != 0) {
    print_message("\nNIC firmware update did not complete.  Check log for errors. \n");
    return built;
  }

  const int nics = std::min(g_nNics, static_cast<int>(g_ninfo.size()));
  for (int i = 0; i < nics; ++i) {
    if (g_ninfo[i].fw_count <= 0) continue;
    if (!(g_iFlag & kStatusAskNoMore)) select_firmware(static_cast<uint32_t>(i));
    if (g_iFlag & kStatusQuit) return cancelled_by_user();
    if (fw_invalid == 1) {
      fw_invalid = 0;
      continue;
    }
    do_update_firmware(static_cast<uint32_t>(i));
    if (int signo = deferred_signals::received(); signo != 0) {
      log_mellanox_event(kTagWarning,
                         strprintf("Firmware upgrade interrupted by signal %d: no further adapter "
                                   "is flashed\n",
                                   signo));
      return cancelled_by_user();
    }
  }

  if (fw_invalid_count == g_nMellanoxPorts) return kExitFailure;
  if (g_iFlag & kStatusBurnFailed) {
    print_message("\nNIC firmware update completed with errors. \n");
    return kExitErrors;
  }
  if (g_iFlag & kStatusBurnOk) {
    print_message("\nNIC firmware update complete.\n");
    print_message("\n\nPlease Reboot node for new image to be loaded into silicon\n\n");
    return kExitOk;
  }
  return kExitOk;
}
