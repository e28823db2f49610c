// The run's metrics for node_exporter's textfile collector: the adapters as this run saw them, and the run.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "inventory/nic_info.h"
#include "run/run_state.h"

/// What the metrics say about the run itself.
struct run_facts {
  std::string mode;         ///< upgrade, silent, forced, yes, current, discovery or apply
  int exit_status = 0;
  long long timestamp = 0;  ///< end of the run, seconds since the epoch
  burn_counts burns;
  double duration_seconds = 0;  ///< from the start of the run to its end
  std::string catalog_sha256;   ///< SHA-256 of the repository's catalog, "" when unreadable
  bool burning = false;         ///< held the burn lock: a run that burned, or could have
};

/// The mode an option word (g_iFlag) ran, by its metrics name.
const char* run_mode_name(int option_word);

/// True for the modes that burn: upgrade, silent, forced, yes and apply.
bool is_burning_mode(std::string_view mode);

/// The last burning run as a metrics text (the file an earlier run left)
/// tells it in its fwkit_last_burning_run_ series: nullopt unless every one
/// of them is there once, in the form run_metrics_text writes it.
std::optional<run_facts> last_burning_run(std::string_view metrics);

/// `text` as a label value of the text format: cleaned as outside text,
/// invalid UTF-8 bytes as '?', then backslash, double quote and newline
/// escaped.
std::string metric_label_value(std::string_view text);

/// The metrics in the Prometheus text format (0.0.4), HELP and TYPE for each
/// family: one set of adapter series per record this run asked the tool
/// about (the first record of an address only), labelled with its address
/// and its board's identity (the address when the query showed none),
/// fwkit_adapter_recovery_mode 1 per function in flash recovery mode (0 per
/// adapter asked), and the run's series. The last burning run is `run`
/// itself when it is one, else `earlier` (none when nullopt).
std::string run_metrics_text(const std::vector<nic_info>& records, const run_facts& run,
                             const std::optional<run_facts>& earlier = std::nullopt,
                             const std::vector<recovery_function>& recovering = {});

/// When `textfile` (FWKIT_TEXTFILE) names a file and this run filled the NIC
/// table, replaces that file with the metrics of the run started at
/// `started` and ending with `exit_status`, keeping the last burning run the file told of unless this
/// run took the burn lock. A failure is one [WARNING] in the event log; the run's
/// outcome stays as it is.
void write_run_metrics(int exit_status, const std::string& textfile,
                       std::chrono::steady_clock::time_point started);
