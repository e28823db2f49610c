// The current firmware report (-c): one block per adapter of the vendor.
#include "reports/current_report.h"

#include <vector>

#include "inventory/nic_info.h"
#include "inventory/nic_table.h"
#include "repository/fw_version.h"
#include "run/console.h"
#include "run/event_log.h"
#include "run/exit_status.h"
#include "run/text_format.h"

std::string current_report_block(const nic_info& nic) {
  const std::vector<fw_version> available = sorted_image_versions(nic);

  const std::string installed = version_text(running_version(nic));
  const char* interface = nic.pinterfacename.c_str();
  std::string block = " PCI-ID              \t\tNIC\n";
  block += strprintf("%04X-%04X-%04X-%04X \t%s \n\n", nic.ven_id, nic.dev_id, nic.sub_ven_id,
                     nic.sub_dev_id, nic.pxmlName[0].c_str());
  block += "     (Installed)           (Available)\n";
  block += "     Image      Version      Image        Version     \t\tInterface\n";
  block += std::string(72, '-') + "\n";
  if (available.empty()) {
    block += strprintf("      ROM       %s    ROM\t\tNothing\t\t\t%s\n", installed.c_str(), interface);
  } else {
    block += strprintf("      ROM       %s    ROM\t\t%10s\t\t%s\n", installed.c_str(),
                       version_text(available[0]).c_str(), interface);
    for (size_t j = 1; j < available.size(); ++j) {
      block += strprintf("                               \t\t%10s\t\t%s\n",
                         version_text(available[j]).c_str(), interface);
    }
  }
  if (const std::string pending = reset_pending_text(nic); !pending.empty()) block += pending + "\n";
  block += "\n";
  return block;
}

int show_current(const run_settings& settings) {
  if (!open_event_log()) return kExitFailure;
  // The report shows whatever the build found; only a build that broke off
  // changes the status.
  run_fw_catalog catalog;
  if (build_NIC_list(catalog, query_limits_of(settings)) == kNicListBrokenOff) return kExitFailure;
  for (int i = 0; i < g_nNics; ++i) {
    if (g_ninfo[i].flags & kNicRecognised) print_message(current_report_block(g_ninfo[i]));
  }
  for (const recovery_function& function : g_recovery_functions)
    print_message(recovery_warning(function));
  return kExitOk;
}
