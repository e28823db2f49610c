// The current firmware report (-c): installed and available versions per adapter.
#pragma once

#include <string>

#include "inventory/nic_info.h"
#include "run/settings.h"

/// Prints the report for every adapter of the vendor; returns the exit status.
int show_current(const run_settings& settings);

/// The report block of one adapter: its PCI identity and catalog name, then
/// the installed version beside the repository's versions, lowest first,
/// and a "reset pending: running X" line when the adapter still runs another.
std::string current_report_block(const nic_info& nic);
