// Burning one image into one adapter through the firmware tool.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

/// 1 while a discovery report is applied: the burn takes image 0 of the
/// record instead of the highest listed version.
extern int read_discovery;

/// The versions of the adapter handled last by image selection, as
/// "%u.%u.%u", ascending: the numerically highest is the last entry.
extern std::vector<std::string> ver_buf;

/// Burns an image into adapter `uNicIdx` of g_ninfo when it is marked for
/// flashing, and records the outcome in g_iFlag (kStatusBurnFailed or
/// kStatusBurnOk), on the console and in the event log. A name that is not a
/// plain file name inside nic_fw/ is refused as a failed burn. Returns 0, or
/// after a failed burn the status of the PSID test (0: the tool refused the
/// image for its PSID, in any of its wordings).
int do_update_firmware(uint32_t uNicIdx);

/// The six groups of a 17-character MAC text without their separators
/// ("00:02:c9:aa:bb:cc" gives "0002c9aabbcc"); "" gives "".
std::string format_mac(const std::string& mac);

/// True when `name` may be burned: not empty, no '/', not "." or "..".
bool is_safe_image_name(const std::string& name);
