// Burning one image into one adapter through the firmware tool.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "inventory/fw_query.h"
#include "run/output_sink.h"
#include "run/run_state.h"
#include "run/spawn.h"
#include "run/temp_file.h"

/// 1 while a discovery report is applied: the burn takes image 0 of the
/// record instead of the highest listed version.
extern int read_discovery;

/// The versions of the adapter handled last by image selection, as
/// "%u.%u.%u", ascending: the numerically highest is the last entry.
extern std::vector<std::string> ver_buf;

/// What the image about to be burned must show before the burn.
enum class image_check {
  psid_and_version,  ///< the adapter's PSID and the version the catalog gives for it
  psid_only,         ///< the adapter's PSID: the image was named by getmlnxinfo, not the catalog
};

// The steps below write their console text and events only through the
// sink they are given (`out`); the caller decides when it is seen.

/// Boards the mode means to burn in this run, for the audit line's "burn N
/// of M"; set by the mode before its first burn (N counts the burns tried).
extern int burns_planned;

/// One board's burn between its steps: the image chosen and checked, the
/// tool's command and output file, how the tool ended.
struct burn_job {
  uint32_t nic = 0;  ///< the record in g_ninfo
  image_check check = image_check::psid_and_version;
  int image = 0;     ///< the chosen image of the record
  int number = 0;    ///< N of the audit line's "burn N of M"
  query_limits limits;  ///< how long its queries may take
  std::string image_name, image_path;
  /// The query of the step at hand (of the image, then of the adapter after
  /// its burn), how it ended, its output, and whether others ran beside it.
  std::vector<std::string> query_argv;
  child_result query;
  std::string report;
  bool query_overlapped = false;
  bool verifying = false;         ///< the query is the adapter's, after its burn
  firmware_info held;             ///< what the tool read in the image
  std::vector<std::string> argv;  ///< the burn
  std::string command;            ///< argv as one line, for the log
  temp_file tool_output;
  child_result result;
};

/// The steps before a burn of adapter `uNicIdx` of g_ninfo when it is marked
/// for flashing: in an upgrade run the image is chosen (the first of the
/// highest version, noted in fw_number), then its path checked: a plain file
/// name inside nic_fw/, a path only root can change. True with the job's
/// query of the image ("-i IMAGE q") to run; else `outcome` says what became
/// of the adapter (a failure is logged, set in g_iFlag and counted).
bool prepare_burn(uint32_t uNicIdx, image_check check, burn_job* job, burn_outcome* outcome,
                  output_sink& out);

/// After the image's query: what the tool read must show what the job's
/// check asks for. True with the job ready to burn; else as prepare_burn.
bool take_image_report(burn_job* job, burn_outcome* outcome, output_sink& out);

/// Starts the tool on a prepared job, in a process group of its own, its
/// output to the job's file, keeping the burn lock open.
child_handle start_burn(const burn_job& job);

/// After the burn: true with the job's query of the adapter to run when the
/// tool reported the burn as done.
bool verify_step(burn_job* job);

/// Judges a burn that ended (and its adapter's query, after verify_step),
/// records the outcome in g_iFlag (kStatusBurnFailed, kStatusBurnOk or
/// kStatusResetPending), on the console and in the event log, counts it, and
/// returns it. After a burn the tool reported as done, the adapter's query
/// must show the image's version in the flash; a verified burn gets an audit
/// line naming the adapter, its board, the versions and whether it was
/// forced. A failed burn's event is followed by the tool's reason (see
/// read_burn_output).
burn_outcome judge_burn(burn_job& job, output_sink& out);

/// Whether the running burns show a progress line: on a terminal, in runs
/// that show operator messages.
bool burn_progress_shown();

/// Burns adapter `uNicIdx` alone: the steps above, the burn with its progress. An image that fails its check and a flash that does not show
/// the image are failed burns.
burn_outcome do_update_firmware(uint32_t uNicIdx,
                                image_check check = image_check::psid_and_version);

/// The six groups of a 17-character MAC text without their separators
/// ("00:02:c9:aa:bb:cc" gives "0002c9aabbcc"); "" gives "".
std::string format_mac(const std::string& mac);

/// True when `name` may be burned: not empty, no '/', not "." or "..".
bool is_safe_image_name(const std::string& name);
