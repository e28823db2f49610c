// The reboot flag: a burned image runs only after a reset, and the system is told so the Debian way.
#pragma once

/// The flag file whose presence says the server needs a reboot.
inline constexpr const char* kRebootRequiredPath = "/run/reboot-required";
/// The packages that asked for it, one per line, read by unattended-upgrades and needrestart.
inline constexpr const char* kRebootRequiredPkgsPath = "/run/reboot-required.pkgs";

/// Creates the reboot flag and adds the line "fwkit" to the packages file
/// unless that line is there already. Called after a run that burned at least
/// one adapter. A failure is logged as a [WARNING] event; the run goes on.
void flag_reboot_required();
