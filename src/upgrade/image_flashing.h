// Burning one image into one adapter through the firmware tool.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "run/run_state.h"

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

/// Boards the mode means to burn in this run, for the audit line's "burn N
/// of M"; set by the mode before its first burn (N counts the burns tried).
extern int burns_planned;

/// Burns an image into adapter `uNicIdx` of g_ninfo when it is marked for
/// flashing, and records the outcome in g_iFlag (kStatusBurnFailed,
/// kStatusBurnOk or kStatusResetPending), on the console and in the event
/// log, and returns it. A failed burn's event is followed by the tool's reason
/// (see read_burn_output); a verified one by an audit line naming the adapter,
/// its board, the versions and whether the burn was forced. A burn is verified at
/// both ends: before it, the firmware tool reads the image ("-i IMAGE q"),
/// which must show what `check` asks for; after a burn the tool reported as
/// done, one more adapter query must show the image's version in the flash.
/// A name that is not a plain file name inside nic_fw/, an image that fails
/// its check and a flash that does not show the image are failed burns.
burn_outcome do_update_firmware(uint32_t uNicIdx,
                                image_check check = image_check::psid_and_version);

/// The six groups of a 17-character MAC text without their separators
/// ("00:02:c9:aa:bb:cc" gives "0002c9aabbcc"); "" gives "".
std::string format_mac(const std::string& mac);

/// True when `name` may be burned: not empty, no '/', not "." or "..".
bool is_safe_image_name(const std::string& name);
