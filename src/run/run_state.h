// Process-wide run control state: the option word, its status bits, and the report path.
#pragma once

#include <string>

/// Option bits (low byte of g_iFlag), set from the command line.
inline constexpr int kOptCurrent = 0x01;   ///< -c: show current firmware
inline constexpr int kOptSilent = 0x02;    ///< -s: silent run
inline constexpr int kOptForce = 0x04;     ///< -F/-f: re-flash up-to-date adapters in -s
inline constexpr int kOptP = 0x08;         ///< -p: only takes part in the combination rules
inline constexpr int kOptYes = 0x10;       ///< -y: answer every confirmation with yes
inline constexpr int kOptDiscover = 0x20;  ///< -d: write the discovery report
inline constexpr int kOptApply = 0x40;     ///< -u: apply a discovery report
inline constexpr int kOptionBits = 0xFF;

/// Run status bits (second byte of g_iFlag), set by the modes as they run.
inline constexpr int kStatusQuit = 0x100;          ///< the operator quit at a confirmation
inline constexpr int kStatusBurnFailed = 0x200;    ///< at least one burn failed
inline constexpr int kStatusBurnOk = 0x400;        ///< at least one burn succeeded
inline constexpr int kStatusAskNoMore = 0x800;     ///< the operator answered "c"
inline constexpr int kStatusPatienceLogged = 0x1000;  ///< the "several minutes" note is logged
/// A burn was refused until the adapter is reset: no failure, but a reboot is due.
inline constexpr int kStatusResetPending = 0x2000;

/// What became of one adapter handed to a burn.
enum class burn_outcome {
  none,           ///< not marked for flashing, or no image chosen: nothing was tried
  success,        ///< burned, and the flash shows the image
  failed,         ///< not burned, or not verifiably: the image, the tool or the flash failed
  not_supported,  ///< the tool refused the image as meant for another board (a failure too)
  reset_pending,  ///< the tool refused until the adapter is reset: not a failure
};

/// The burns of this run by outcome.
struct burn_counts {
  int success = 0;
  int failed = 0;
  int not_supported = 0;
  int reset_pending = 0;
};

/// Counts one burn of this run in g_burns (`none` is no burn).
void count_burn(burn_outcome outcome);

/// The burns of this run so far.
extern burn_counts g_burns;

/// Value of `silent` in silent runs and while applying a report.
inline constexpr int kSilentRun = 2;

/// The option word: options in the low byte, run status bits above.
extern int g_iFlag;
/// 2 in a silent run (-s) or while applying a report, else 0.
extern int silent;
/// Path of the discovery report that -d writes and -u reads.
extern std::string g_XMLDiscoveryReport;
/// The report path used when the command line names none.
extern const char* const g_XMLDiscoveryReportDefault;
