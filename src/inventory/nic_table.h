// Building the NIC table from the PCI bus, the firmware tool and the catalog.
#pragma once

#include <string>
#include <string_view>

#include "inventory/fw_query.h"
#include "inventory/pci_enum.h"
#include "repository/fw_catalog.h"

/// What build_NIC_list gives when it broke off: an adapter's PCI identity
/// could not be read, or the catalog could not be (both reported already).
/// The mode ends the run with status 1 (kExitFailure).
inline constexpr int kNicListBrokenOff = -1;

/// Builds g_ninfo: lists the adapters, queries each one of the vendor within
/// `limits`, and attaches its catalog images, reading `catalog` when the
/// first adapter is read. The functions in flash recovery mode go to g_recovery_functions,
/// each with its warning in the log (log_recovery_functions). 0 when at least one adapter of the vendor was fully read, 1 when
/// none was found, 2 when none could be read, kNicListBrokenOff.
int build_NIC_list(run_fw_catalog& catalog, const query_limits& limits);

/// True when a vendor name from the PCI ID database names the vendor:
/// it holds "Mellanox" or "15B3", in any letter case.
bool is_mellanox_vendor(std::string_view vendor_name);

/// The warning line of a function in flash recovery mode: "ADDR (15b3:DEV,
/// CHIP) is in flash recovery mode: fwkit leaves it alone; ...".
std::string recovery_warning(const recovery_function& function);

/// Logs one [WARNING] per function of g_recovery_functions.
void log_recovery_functions();

/// For a run that reads no adapter list: scans the bus into
/// g_recovery_functions and logs them.
void find_recovery_functions();

/// True when the function at `address` is in flash recovery mode, as this
/// run found the bus.
bool in_flash_recovery(const pci_address& address);

/// The warning line of an adapter the tool could not read: "ADDR could not
/// be read (REASON); left alone".
std::string unread_adapter_warning(const std::string& address, const std::string& reason);

/// Logs one [WARNING] per record of the table that this run asked about and
/// could not read.
void log_unread_adapters();
