// The upgrade run: offers every adapter with repository images, burns the chosen ones, sums up.
#include "upgrade/upgrade_run.h"

#include <algorithm>
#include <vector>

#include "burn/board_grouping.h"
#include "burn/burn_batch.h"
#include "burn/image_flashing.h"
#include "inventory/fw_query.h"
#include "inventory/nic_info.h"
#include "inventory/nic_table.h"
#include "repository/fw_version.h"
#include "run/console.h"
#include "run/event_log.h"
#include "run/exit_status.h"
#include "run/output_sink.h"
#include "run/run_lock.h"
#include "run/run_state.h"
#include "run/text_format.h"
#include "upgrade/image_selection.h"

namespace {

int cancelled_by_user() {
  print_message("\nFirmware upgrade cancelled by User \n");
  return kExitCancelled;
}

// The boards this run may burn: in a silent run without force those behind
// the catalog, else every board with catalog images.
int boards_to_burn(int nics, const board_grouping& boards) {
  const bool only_newer = (g_iFlag & kOptionBits) == kOptSilent;
  int count = 0;
  for (int i = 0; i < nics; ++i) {
    const nic_info& nic = g_ninfo[i];
    if (nic.fw_count <= 0 || boards.first_of(static_cast<size_t>(i)) != static_cast<size_t>(i)) continue;
    bool newer = !only_newer;
    for (int j = 0; j < image_count(nic) && !newer; ++j)
      newer = is_newer(image_version(nic, j), running_version(nic));
    count += newer ? 1 : 0;
  }
  return count;
}

// The boards of the adapters with catalog images; a cloned identity is told in the log.
board_grouping plan_boards(int nics) {
  board_grouping boards = group_boards(
      g_ninfo, [nics](size_t i) { return i < static_cast<size_t>(nics) && g_ninfo[i].fw_count > 0; });
  for (const board_clash& clash : boards.clashes)
    log_mellanox_event(kTagWarning, board_clash_text(g_ninfo, clash) + "\n");
  return boards;
}

// One flash, several PCI devices: adapter i, whose board was decided through
// `leader`, is burned and counted once, through the leader.
void take_board_outcome(int i, int leader, const std::vector<bool>& up_to_date,
                        std::vector<burn_outcome>* outcome, output_sink& out) {
  if (up_to_date[leader]) ++fw_invalid_count;
  if (((*outcome)[i] = (*outcome)[leader]) != burn_outcome::none) {
    out.event(kTagInfo, strprintf("%s shares its flash with %s (%s); burned once\n",
                                  g_ninfo[i].pbus_info.c_str(), g_ninfo[leader].pbus_info.c_str(),
                                  g_ninfo[i].board.c_str()));
  }
  if ((*outcome)[leader] == burn_outcome::success) {
    // Its flash is the leader's: it now holds what the burn's verification read.
    const nic_info& burned = g_ninfo[leader];
    firmware_info flash;
    flash.version = burned.pfirmware_ver;
    flash.running = burned.prunning_ver;
    flash.psid = burned.psid;
    flash.board = burned.board;
    take_firmware_answer(&g_ninfo[i], flash);
  }
}

// The run's closing message and exit status, from what became of the adapters.
int closing_status() {
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

// The log, the lock and the inventory of an upgrade run: 0 to go on, else
// the run's exit status.
int start_upgrade(run_fw_catalog& catalog, const query_limits& limits) {
  if (!open_event_log()) return kExitFailure;
  // Before the inventory, so that a second run cannot even query adapters
  // while this one may be burning them.
  if (!take_burn_lock()) {
    // An unattended run has no one reading standard error: the log says it too.
    log_mellanox_event(kTagError,
                       "Firmware upgrade refused: another firmware upgrade is running on this "
                       "server, or its lock could not be taken; nothing was flashed\n");
    return kExitFailure;
  }
  const int built = build_NIC_list(catalog, limits);
  if (built == kNicListBrokenOff) return kExitFailure;
  log_unread_adapters();
  if (built != 0) {
    print_message("\nNIC firmware update did not complete.  Check log for errors. \n");
  }
  return built;
}

}  // namespace

int fwupg(const run_settings& settings) {
  run_fw_catalog catalog;
  const query_limits limits = query_limits_of(settings);
  if (const int status = start_upgrade(catalog, limits); status != 0) return status;

  const int nics = std::min(g_nNics, static_cast<int>(g_ninfo.size()));
  const board_grouping boards = plan_boards(nics);
  burns_planned = boards_to_burn(nics, boards);
  // Per adapter: what became of it, and whether a silent run passed it over as up to date.
  std::vector<burn_outcome> outcome(static_cast<size_t>(nics), burn_outcome::none);
  std::vector<bool> up_to_date(static_cast<size_t>(nics), false);
  bool quit = false;
  burn_rows rows;
  rows.count = static_cast<size_t>(nics);
  rows.plan = [&](row_turn& turn) {
    const int i = static_cast<int>(turn.row);
    if (g_ninfo[i].fw_count <= 0) return row_plan::done;
    if ((turn.through = boards.first_of(turn.row)) != turn.row) return row_plan::shares;
    if (!(g_iFlag & kStatusAskNoMore)) select_firmware(static_cast<uint32_t>(i), *turn.out);
    if (g_iFlag & kStatusQuit) {
      quit = true;
      return row_plan::stop;
    }
    if (fw_invalid == 1) {
      fw_invalid = 0;
      up_to_date[i] = true;
      return row_plan::done;
    }
    turn.job->limits = limits;
    return prepare_burn(static_cast<uint32_t>(i), image_check::psid_and_version, turn.job,
                        &outcome[i], *turn.out)
               ? row_plan::burn
               : row_plan::done;
  };
  rows.burned = [&](size_t row, burn_outcome judged, output_sink&) { outcome[row] = judged; };
  rows.shared = [&](size_t row, size_t through, bool, output_sink& out) {
    take_board_outcome(static_cast<int>(row), static_cast<int>(through), up_to_date, &outcome, out);
  };
  // The operator answers for one adapter at a time: only unattended runs burn side by side.
  const bool unattended = (g_iFlag & (kOptSilent | kOptYes)) != 0;
  const int signo = run_burn_batch(rows, unattended ? burn_jobs(settings.burn_jobs, burns_planned) : 1,
                                   live_sink());
  if (quit) return cancelled_by_user();
  if (signo != 0) {
    log_mellanox_event(kTagWarning,
                       strprintf("Firmware upgrade interrupted by signal %d: no further adapter "
                                 "is flashed\n",
                                 signo));
    return cancelled_by_user();
  }

  return closing_status();
}
