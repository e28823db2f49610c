// The metrics text of a run, and writing it where FWKIT_TEXTFILE says.
#include "reports/run_metrics.h"

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <set>
#include <utility>

#include "repository/fw_version.h"
#include "run/event_log.h"
#include "run/outside_text.h"
#include "run/textfile.h"
#include "run/text_format.h"

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

std::string address_label(const nic_info& nic) {
  return "{address=\"" + metric_label_value(nic.pbus_info) + "\"}";
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

std::string run_metrics_text(const std::vector<nic_info>& records, const run_facts& run,
                             const std::vector<recovery_function>& recovering) {
  std::vector<const nic_info*> adapters;
  std::set<std::string> addresses;
  for (const nic_info& nic : records) {
    if (nic.asked && addresses.insert(nic.pbus_info).second) adapters.push_back(&nic);
  }
  std::string text;
  if (!adapters.empty()) {
    family(&text, "fwkit_adapter_info", "Adapter of PCI vendor 0x15B3 as the last run found it.");
    for (const nic_info* nic : adapters) {
      const std::vector<fw_version> versions = sorted_image_versions(*nic);
      const bool read = nic->flags & kNicRecognised;
      const std::string flash = read ? nic->pfirmware_ver : "";
      const std::string running = read && !nic->prunning_ver.empty() ? nic->prunning_ver : flash;
      const std::string pci_id = nic->ven_id == 0 ? ""
                                 : strprintf("%04X-%04X-%04X-%04X", nic->ven_id, nic->dev_id,
                                             nic->sub_ven_id, nic->sub_dev_id);
      text += strprintf(
          "fwkit_adapter_info{address=\"%s\",board=\"%s\",psid=\"%s\",pci_id=\"%s\","
          "flash_version=\"%s\",running_version=\"%s\",newest_version=\"%s\"} 1\n",
          metric_label_value(nic->pbus_info).c_str(), metric_label_value(nic->pxmlName[0]).c_str(),
          metric_label_value(nic->psid).c_str(), pci_id.c_str(), metric_label_value(flash).c_str(),
          metric_label_value(running).c_str(),
          versions.empty() ? "" : version_text(versions.back()).c_str());
    }
    family(&text, "fwkit_adapter_update_available",
           "1 when the repository holds a newer firmware than the adapter's flash.");
    for (const nic_info* nic : adapters) {
      const std::vector<fw_version> versions = sorted_image_versions(*nic);
      const bool newer = (nic->flags & kNicRecognised) && !versions.empty() &&
                         is_newer(versions.back(), running_version(*nic));
      text += strprintf("fwkit_adapter_update_available%s %d\n", address_label(*nic).c_str(), newer);
    }
    family(&text, "fwkit_adapter_reset_pending",
           "1 when the adapter runs another firmware than its flash holds, until a reset.");
    for (const nic_info* nic : adapters) {
      const bool pending = (nic->flags & kNicRecognised) && !nic->prunning_ver.empty();
      text += strprintf("fwkit_adapter_reset_pending%s %d\n", address_label(*nic).c_str(), pending);
    }
    family(&text, "fwkit_adapter_readable",
           "1 when the firmware query read the adapter's version and PSID.");
    for (const nic_info* nic : adapters) {
      text += strprintf("fwkit_adapter_readable%s %d\n", address_label(*nic).c_str(),
                        (nic->flags & kNicRecognised) ? 1 : 0);
    }
  }
  if (!adapters.empty() || !recovering.empty()) {
    family(&text, "fwkit_adapter_recovery_mode",
           "1 when the adapter is in flash recovery mode: its firmware is broken, fwkit leaves it "
           "alone.");
    for (const nic_info* nic : adapters)
      text += strprintf("fwkit_adapter_recovery_mode%s 0\n", address_label(*nic).c_str());
    for (const recovery_function& function : recovering) {
      text += "fwkit_adapter_recovery_mode{address=\"" + metric_label_value(function.text) +
              "\"} 1\n";
    }
  }
  family(&text, "fwkit_last_run_timestamp_seconds", "End of the last run, seconds since the epoch.");
  text += strprintf("fwkit_last_run_timestamp_seconds %lld\n", run.timestamp);
  family(&text, "fwkit_last_run_exit_status", "Exit status of the last run.");
  text += strprintf("fwkit_last_run_exit_status %d\n", run.exit_status);
  family(&text, "fwkit_last_run_mode", "Mode of the last run.");
  text += "fwkit_last_run_mode{mode=\"" + metric_label_value(run.mode) + "\"} 1\n";
  family(&text, "fwkit_last_run_burns", "Burns of the last run by outcome.");
  const std::pair<const char*, int> burns[] = {{"success", run.burns.success},
                                               {"failed", run.burns.failed},
                                               {"not_supported", run.burns.not_supported},
                                               {"reset_pending", run.burns.reset_pending}};
  for (const auto& [outcome, count] : burns)
    text += strprintf("fwkit_last_run_burns{outcome=\"%s\"} %d\n", outcome, count);
  return text;
}

void write_run_metrics(int exit_status) {
  const char* path = std::getenv("FWKIT_TEXTFILE");
  if (path == nullptr || *path == '\0' || !g_nic_table_built) return;
  const run_facts run{run_mode_name(g_iFlag), exit_status, static_cast<long long>(std::time(nullptr)),
                      g_burns};
  const std::string problem = replace_text_file(path, run_metrics_text(g_ninfo, run, g_recovery_functions));
  if (!problem.empty()) {
    log_mellanox_event(kTagWarning,
                       "Metrics not written: " + clean_outside_text(problem, 500) + "\n");
  }
}
