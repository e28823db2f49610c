// The metrics text of a run, and writing it where FWKIT_TEXTFILE says.
#include "reports/run_metrics.h"

#include <chrono>
#include <cstdint>
#include <ctime>
#include <set>
#include <utility>

#include "repository/fw_catalog.h"
#include "repository/fw_version.h"
#include "run/event_log.h"
#include "run/outside_text.h"
#include "run/run_lock.h"
#include "run/sha256.h"
#include "run/textfile.h"
#include "run/text_format.h"
#include "run/version.h"

namespace {

// Length of the valid UTF-8 sequence at `at` (shortest form, no surrogate,
// at most U+10FFFF), or 0.
size_t utf8_length(std::string_view text, size_t at) {
  const unsigned char lead = static_cast<unsigned char>(text[at]);
  if (lead < 0x80) return 1;
  const size_t length = lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3
                        : lead >= 0xF0 && lead <= 0xF4 ? 4 : 0;
  if (length == 0 || at + length > text.size()) return 0;
  uint32_t cp = lead & (0x7F >> length);
  for (size_t k = 1; k < length; ++k) {
    const unsigned char next = static_cast<unsigned char>(text[at + k]);
    if ((next & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (next & 0x3F);
  }
  const uint32_t smallest = length == 3 ? 0x800 : length == 4 ? 0x10000 : 0x80;
  if (cp < smallest || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) return 0;
  return length;
}

void family(std::string* text, const char* name, const char* help) {
  *text += strprintf("# HELP %s %s\n# TYPE %s gauge\n", name, help, name);
}

// The labels that name a PCI function: its address and its board's identity,
// the address itself when the query showed none.
std::string function_labels(const std::string& address, const std::string& board) {
  return "address=\"" + metric_label_value(address) + "\",board_id=\"" +
         metric_label_value(board.empty() ? "PCI " + address : board) + "\"";
}

std::string adapter_labels(const nic_info& nic) { return function_labels(nic.pbus_info, nic.board); }

std::string address_label(const nic_info& nic) { return "{" + adapter_labels(nic) + "}"; }

const char* const kBurningModes[] = {"upgrade", "silent", "forced", "yes", "apply"};
const char* const kBurnOutcomes[] = {"success", "failed", "not_supported", "reset_pending"};

int* burn_count(burn_counts* burns, std::string_view outcome) {
  int* const counts[] = {&burns->success, &burns->failed, &burns->not_supported,
                         &burns->reset_pending};
  for (size_t i = 0; i < std::size(kBurnOutcomes); ++i) {
    if (outcome == kBurnOutcomes[i]) return counts[i];
  }
  return nullptr;
}

// `text` as a decimal number of at most `digits` digits, or -1.
long long decimal(std::string_view text, size_t digits) {
  if (text.empty() || text.size() > digits) return -1;
  long long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return -1;
    value = value * 10 + (c - '0');
  }
  return value;
}

// The series that tell of `run` as the last run that burned.
void burning_run_series(std::string* text, const run_facts& run) {
  family(text, "fwkit_last_burning_run_timestamp_seconds",
         "End of the last run that burned (upgrade, silent, forced, yes or apply), seconds since "
         "the epoch.");
  *text += strprintf("fwkit_last_burning_run_timestamp_seconds %lld\n", run.timestamp);
  family(text, "fwkit_last_burning_run_exit_status", "Exit status of the last run that burned.");
  *text += strprintf("fwkit_last_burning_run_exit_status %d\n", run.exit_status);
  family(text, "fwkit_last_burning_run_mode", "Mode of the last run that burned.");
  *text += "fwkit_last_burning_run_mode{mode=\"" + metric_label_value(run.mode) + "\"} 1\n";
  family(text, "fwkit_last_burning_run_burns", "Burns of the last run that burned by outcome.");
  burn_counts burns = run.burns;
  for (const char* outcome : kBurnOutcomes)
    *text += strprintf("fwkit_last_burning_run_burns{outcome=\"%s\"} %d\n", outcome,
                       *burn_count(&burns, outcome));
}

}  // namespace

const char* run_mode_name(int option_word) {
  if (option_word & kOptApply) return "apply";
  if (option_word & kOptDiscover) return "discovery";
  if (option_word & kOptCurrent) return "current";
  if (option_word & kOptSilent) return option_word & kOptForce ? "forced" : "silent";
  if (option_word & kOptYes) return "yes";
  return "upgrade";
}

bool is_burning_mode(std::string_view mode) {
  for (const char* burning : kBurningModes) {
    if (mode == burning) return true;
  }
  return false;
}

std::optional<run_facts> last_burning_run(std::string_view metrics) {
  const std::string_view prefix = "fwkit_last_burning_run_";
  run_facts run;
  std::set<std::string> seen;
  for (size_t pos = 0; pos < metrics.size();) {
    size_t end = metrics.find('\n', pos);
    if (end == std::string_view::npos) end = metrics.size();
    std::string_view line = metrics.substr(pos, end - pos);
    pos = end + 1;
    if (line.substr(0, prefix.size()) != prefix) continue;
    line.remove_prefix(prefix.size());
    const size_t blank = line.rfind(' ');
    if (blank == std::string_view::npos) return std::nullopt;
    const std::string_view series = line.substr(0, blank);
    const long long value = decimal(line.substr(blank + 1), 12);
    const auto labelled = [&series](std::string_view name, std::string_view label) {
      const std::string head = std::string(name) + "{" + std::string(label) + "=\"";
      if (series.size() < head.size() + 2 || series.substr(0, head.size()) != head ||
          series.substr(series.size() - 2) != "\"}")
        return std::string_view();
      return series.substr(head.size(), series.size() - head.size() - 2);
    };
    if (value < 0 || !seen.insert(std::string(series)).second) return std::nullopt;
    if (series == "timestamp_seconds") {
      run.timestamp = value;
    } else if (series == "exit_status" && value <= 255) {
      run.exit_status = static_cast<int>(value);
    } else if (const std::string_view mode = labelled("mode", "mode");
               is_burning_mode(mode) && value == 1 && run.mode.empty()) {
      run.mode = mode;
    } else if (int* count = burn_count(&run.burns, labelled("burns", "outcome"));
               count != nullptr && value <= 1000000) {
      *count = static_cast<int>(value);
    } else {
      return std::nullopt;
    }
  }
  if (seen.size() != 3 + std::size(kBurnOutcomes) || run.mode.empty()) return std::nullopt;
  return run;
}

std::string metric_label_value(std::string_view text) {
  const std::string clean = clean_outside_text(text);
  std::string value;
  for (size_t i = 0; i < clean.size();) {
    const size_t length = utf8_length(clean, i);
    if (length == 0) {
      value += '?';
      ++i;
      continue;
    }
    const char c = clean[i];
    if (c == '\\' || c == '"') value += '\\';
    if (c == '\n') {
      value += "\\n";
    } else {
      value.append(clean, i, length);
    }
    i += length;
  }
  return value;
}

namespace {

// The records the run asked the tool about, the first of each address only.
std::vector<const nic_info*> asked_adapters(const std::vector<nic_info>& records) {
  std::vector<const nic_info*> adapters;
  std::set<std::string> addresses;
  for (const nic_info& nic : records) {
    if (nic.asked && addresses.insert(nic.pbus_info).second) adapters.push_back(&nic);
  }
  return adapters;
}

// The fwkit_adapter_info series of one adapter.
std::string adapter_info_series(const nic_info& nic) {
  const std::vector<fw_version> versions = sorted_image_versions(nic);
  const bool read = nic.flags & kNicRecognised;
  const std::string flash = read ? nic.pfirmware_ver : "";
  const std::string running = read && !nic.prunning_ver.empty() ? nic.prunning_ver : flash;
  const std::string pci_id = nic.ven_id == 0 ? ""
                             : strprintf("%04X-%04X-%04X-%04X", nic.ven_id, nic.dev_id,
                                         nic.sub_ven_id, nic.sub_dev_id);
  return strprintf(
      "fwkit_adapter_info{%s,board=\"%s\",psid=\"%s\",pci_id=\"%s\","
      "flash_version=\"%s\",running_version=\"%s\",newest_version=\"%s\"} 1\n",
      adapter_labels(nic).c_str(), metric_label_value(nic.pxmlName[0]).c_str(),
      metric_label_value(nic.psid).c_str(), pci_id.c_str(), metric_label_value(flash).c_str(),
      metric_label_value(running).c_str(),
      versions.empty() ? "" : version_text(versions.back()).c_str());
}

// The families of the adapters asked: info, update available, reset pending, readable.
void adapter_series(std::string* text, const std::vector<const nic_info*>& adapters) {
  family(text, "fwkit_adapter_info", "Adapter of PCI vendor 0x15B3 as the last run found it.");
  for (const nic_info* nic : adapters) *text += adapter_info_series(*nic);
  family(text, "fwkit_adapter_update_available",
         "1 when the repository holds a newer firmware than the adapter's flash.");
  for (const nic_info* nic : adapters) {
    const std::vector<fw_version> versions = sorted_image_versions(*nic);
    const bool newer = (nic->flags & kNicRecognised) && !versions.empty() &&
                       is_newer(versions.back(), running_version(*nic));
    *text += strprintf("fwkit_adapter_update_available%s %d\n", address_label(*nic).c_str(), newer);
  }
  family(text, "fwkit_adapter_reset_pending",
         "1 when the adapter runs another firmware than its flash holds, until a reset.");
  for (const nic_info* nic : adapters) {
    const bool pending = (nic->flags & kNicRecognised) && !nic->prunning_ver.empty();
    *text += strprintf("fwkit_adapter_reset_pending%s %d\n", address_label(*nic).c_str(), pending);
  }
  family(text, "fwkit_adapter_readable",
         "1 when the firmware query read the adapter's version and PSID.");
  for (const nic_info* nic : adapters) {
    *text += strprintf("fwkit_adapter_readable%s %d\n", address_label(*nic).c_str(),
                       (nic->flags & kNicRecognised) ? 1 : 0);
  }
}

// fwkit_adapter_recovery_mode: 0 per adapter asked, 1 per function in flash recovery mode.
void recovery_series(std::string* text, const std::vector<const nic_info*>& adapters,
                     const std::vector<recovery_function>& recovering) {
  family(text, "fwkit_adapter_recovery_mode",
         "1 when the adapter is in flash recovery mode: its firmware is broken, fwkit leaves it "
         "alone.");
  for (const nic_info* nic : adapters)
    *text += strprintf("fwkit_adapter_recovery_mode%s 0\n", address_label(*nic).c_str());
  for (const recovery_function& function : recovering)
    *text += "fwkit_adapter_recovery_mode{" + function_labels(function.text, "") + "} 1\n";
}

// The fwkit_last_run_* families of `run`.
void last_run_series(std::string* text, const run_facts& run) {
  family(text, "fwkit_last_run_timestamp_seconds", "End of the last run, seconds since the epoch.");
  *text += strprintf("fwkit_last_run_timestamp_seconds %lld\n", run.timestamp);
  family(text, "fwkit_last_run_exit_status", "Exit status of the last run.");
  *text += strprintf("fwkit_last_run_exit_status %d\n", run.exit_status);
  family(text, "fwkit_last_run_mode", "Mode of the last run.");
  *text += "fwkit_last_run_mode{mode=\"" + metric_label_value(run.mode) + "\"} 1\n";
  family(text, "fwkit_last_run_burns", "Burns of the last run by outcome.");
  const std::pair<const char*, int> burns[] = {{"success", run.burns.success},
                                               {"failed", run.burns.failed},
                                               {"not_supported", run.burns.not_supported},
                                               {"reset_pending", run.burns.reset_pending}};
  for (const auto& [outcome, count] : burns)
    *text += strprintf("fwkit_last_run_burns{outcome=\"%s\"} %d\n", outcome, count);
  family(text, "fwkit_last_run_duration_seconds", "Duration of the last run in seconds.");
  *text += strprintf("fwkit_last_run_duration_seconds %.3f\n", run.duration_seconds);
}

}  // namespace

std::string run_metrics_text(const std::vector<nic_info>& records, const run_facts& run,
                             const std::optional<run_facts>& earlier,
                             const std::vector<recovery_function>& recovering) {
  const std::vector<const nic_info*> adapters = asked_adapters(records);
  std::string text;
  if (!adapters.empty()) adapter_series(&text, adapters);
  if (!adapters.empty() || !recovering.empty()) recovery_series(&text, adapters, recovering);
  last_run_series(&text, run);
  if (run.burning) {
    burning_run_series(&text, run);
  } else if (earlier) {
    burning_run_series(&text, *earlier);
  }
  family(&text, "fwkit_build_info", "The fwkit that wrote these metrics, by version.");
  text += "fwkit_build_info{version=\"" + metric_label_value(kFwkitVersion) + "\"} 1\n";
  if (!run.catalog_sha256.empty()) {
    family(&text, "fwkit_catalog_info", "The repository's firmware catalog, by SHA-256 digest.");
    text += "fwkit_catalog_info{sha256=\"" + metric_label_value(run.catalog_sha256) + "\"} 1\n";
  }
  return text;
}

void write_run_metrics(int exit_status, const std::string& textfile,
                       std::chrono::steady_clock::time_point started) {
  if (textfile.empty() || !g_nic_table_built) return;
  run_facts run;
  run.mode = run_mode_name(g_iFlag);
  run.exit_status = exit_status;
  run.timestamp = static_cast<long long>(std::time(nullptr));
  run.burns = g_burns;
  run.duration_seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  run.catalog_sha256 = file_sha256_hex(g_XMLFwFile);
  run.burning = burn_lock_fd() >= 0;
  const std::string problem = update_text_file(textfile, [&run](const std::string& old) {
    return run_metrics_text(g_ninfo, run, last_burning_run(old), g_recovery_functions);
  });
  if (!problem.empty()) {
    log_mellanox_event(kTagWarning,
                       "Metrics not written: " + clean_outside_text(problem, 500) + "\n");
  }
}
