// Building the NIC table from the PCI bus, the firmware tool and the catalog.
#pragma once

#include <string_view>

#include "repository/fw_catalog.h"

/// What build_NIC_list gives when it broke off: an adapter's PCI identity
/// could not be read, or the catalog could not be (both reported already).
/// The mode ends the run with status 1 (kExitFailure).
inline constexpr int kNicListBrokenOff = -1;

/// Builds g_ninfo: lists the adapters, queries each one of the vendor, and
/// attaches its catalog images, reading `catalog` when the first adapter is
/// read. 0 when at least one adapter of the vendor was fully read, 1 when
/// none was found, 2 when none could be read, kNicListBrokenOff.
int build_NIC_list(run_fw_catalog& catalog);

/// True when a vendor name from the PCI ID database names the vendor:
/// it holds "Mellanox" or "15B3", in any letter case.
bool is_mellanox_vendor(std::string_view vendor_name);
