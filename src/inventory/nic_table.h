// Building the NIC table from the PCI bus, the firmware tool and the catalog.
#pragma once

#include <string_view>

/// Builds g_ninfo: lists the adapters, queries each one of the vendor, and
/// attaches its catalog images. 0 when at least one adapter of the vendor
/// was fully read, 1 when none was found, 2 when none could be read.
int build_NIC_list();

/// True when a vendor name from the PCI ID database names the vendor:
/// it holds "Mellanox" or "15B3", in any letter case.
bool is_mellanox_vendor(std::string_view vendor_name);
