// The discovery report applier: reads the report into the NIC table, plans each device, burns.
#include "discovery/report_applier.h"

#include <map>
#include <set>

#include "burn/board_grouping.h"
#include "burn/burn_batch.h"
#include "burn/image_flashing.h"
#include "discovery/fw_action.h"
#include "discovery/image_lookup.h"
#include "discovery/report_reader.h"
#include "inventory/fw_query.h"
#include "inventory/nic_info.h"
#include "inventory/nic_table.h"
#include "inventory/pci_enum.h"
#include "repository/fw_catalog.h"
#include "repository/fw_version.h"
#include "run/event_log.h"
#include "run/exit_status.h"
#include "run/output_sink.h"
#include "run/outside_text.h"
#include "run/run_lock.h"
#include "run/run_state.h"
#include "run/text_format.h"

namespace {

const char* const kClosingError = "read_discovery_report: Error at read_NIC_FW_xml_file\n";

// A device's address as the report writes it, built once the whole device
// is read, whatever the order of its leaves, and read by the same parser as
// every address.
std::string written_address(const nic_info& nic) {
  return nic.busnumber + ":" + nic.devicenumber + "." + nic.funcnumber;
}

// A value from the report as it may appear inside an event line, short.
std::string log_excerpt(std::string_view text) { return clean_outside_text(text, 80); }

// Among catalog entries for one board, the numerically highest version; on
// equal versions the first in catalog order.
const XMLFW_INFO& highest_entry(const std::vector<XMLFW_INFO>& entries) {
  const XMLFW_INFO* best = &entries.front();
  for (const XMLFW_INFO& entry : entries) {
    if (is_newer(parse_fw_version(entry.pxmlRom), parse_fw_version(best->pxmlRom))) best = &entry;
  }
  return *best;
}

// The catalog entries for a report device's board.
std::vector<XMLFW_INFO> catalog_images(const fw_catalog& catalog, const nic_info& nic) {
  return read_NIC_FW_xml_file(catalog, {nic, nic.psid});
}

void attach_image(nic_info& nic, const XMLFW_INFO& entry) {
  const std::string product = nic.pxmlName[0];
  nic.fw_count = 0;
  add_image(nic, parse_fw_version(entry.pxmlRom), product, entry.pxmlFwImage);
}

// A report is a plan made earlier: the adapter is asked again (`now`, its
// query right before its burn) whether the plan still holds: its PSID, and
// (when the image's version is known from the catalog) the action against
// the version it runs. "" when it holds, else why not.
std::string why_stale(const nic_info& nic, const firmware_info& now, bool by_version) {
  if (now.psid.empty() || now.version.empty()) return "the adapter does not answer the firmware query";
  if (now.psid != nic.psid) {
    return strprintf("the adapter's PSID is %s, the report's %s", now.psid.c_str(),
                     log_excerpt(nic.psid).c_str());
  }
  if (!by_version) return "";
  const fw_version running = parse_fw_version(now.version);
  const fw_version image = image_version(nic, 0);
  const bool holds = nic.action == kActionUpgrade     ? is_newer(image, running)
                     : nic.action == kActionRewrite   ? same_version(image, running)
                     : nic.action == kActionDowngrade ? is_newer(running, image)
                                                      : false;
  if (holds) return "";
  return strprintf("it runs %s now, so \"%s\" to %s no longer applies",
                   version_text(running).c_str(), log_excerpt(nic.action).c_str(),
                   version_text(image).c_str());
}

// A plan to burn (upgrade, downgrade) that an earlier run already carried
// out: the flash holds the very version this run would burn. Checked only
// when the adapter is the report's board and the image's version is known.
bool already_holds(const nic_info& nic, const firmware_info& now, bool by_version) {
  if (!by_version || now.psid.empty() || now.version.empty() || now.psid != nic.psid) return false;
  if (nic.action != kActionUpgrade && nic.action != kActionDowngrade) return false;
  return same_version(parse_fw_version(now.version), image_version(nic, 0));
}

// What the applier makes of one report device.
enum class device_plan {
  skip,    ///< nothing to burn (told in the log when the report asked for it)
  refuse,  ///< asked for and not burned: the log says why; the run fails
  burn,
  stop,    ///< the run ends now with `status`
};

// The applier of one report: plans each device in report order, burns, sums up.
class report_applier {
 public:
  report_applier(const fw_catalog& catalog, const run_settings& settings)
      : catalog_(catalog), settings_(settings), limits_(query_limits_of(settings)) {}

  int run() {
    burns_planned = 0;
    for (const nic_info& nic : g_ninfo)
      burns_planned += (nic.flags & kNicToFlash) && !catalog_images(catalog_, nic).empty() ? 1 : 0;
    burn_rows rows;
    rows.count = g_ninfo.size();
    rows.plan = [this](row_turn& turn) { return plan_row(turn); };
    rows.shared = [this](size_t idx, size_t through, bool waited, output_sink& out) {
      // One whose flash was being burned when it was planned is asked again now.
      if (waited) ask_again(idx, out);
      tell_shared(idx, through, g_ninfo[waited ? through : idx].board, out);
    };
    // Each burn defers signals while it runs; between burns a signal ends the
    // queries and lookups of the moment and the run.
    const int jobs = burn_jobs(settings_.burn_jobs, burns_planned);
    if (jobs > 1 && !ask_before_burns()) return status_;
    const int stop_signal = run_burn_batch(rows, jobs, live_sink());
    if (status_ >= 0) return status_;
    if (stop_signal != 0) {
      log_mellanox_event(kTagError,
                         strprintf("read_discovery_report: Stopped by signal %d; no further "
                                   "device was burned\n",
                                   stop_signal));
    }
    if (failed_ || (g_iFlag & kStatusBurnFailed) || accepted_ == 0) {
      log_mellanox_event(kTagError, kClosingError);
      return kExitErrors;
    }
    return stop_signal != 0 ? kExitErrors : kExitOk;
  }

 private:
  row_plan plan_row(row_turn& turn) {
    const size_t idx = turn.row;
    output_sink& out = *turn.out;
    image_check check = image_check::psid_and_version;
    switch (check_device(idx, &check, out)) {
      case device_plan::skip:
        return row_plan::done;
      case device_plan::refuse:
        failed_ = true;
        return row_plan::done;
      case device_plan::stop:
        return row_plan::stop;
      case device_plan::burn:
        break;
    }
    nic_info& nic = g_ninfo[idx];
    if (!lock(out)) return row_plan::stop;
    firmware_info now;
    if (const auto asked = asked_.find(idx); asked != asked_.end()) {
      now = asked->second;
    } else {
      get_firmware_info(address_, limits_, &now);
    }
    warn_if_unread(nic, now, out);
    const bool by_version = check == image_check::psid_and_version;
    const bool done = already_holds(nic, now, by_version);
    const std::string stale = done ? std::string() : why_stale(nic, now, by_version);
    take_firmware_answer(&nic, now);  // the run's metrics show the adapter as asked now
    // One flash, several PCI devices: burned once, through the first listed
    // of the devices that carry a burn so far, as the device now shows itself;
    // its outcome, a failure included, is counted there.
    if (shares_flash(turn)) return row_plan::shares;
    if (done) {
      tell_already_held(nic, out);
      return row_plan::done;
    }
    if (!stale.empty()) {
      out.event(kTagError, strprintf("report is stale for %s: %s; not flashed\n",
                                     nic.pbus_info.c_str(), stale.c_str()));
      failed_ = true;
      return row_plan::done;
    }
    burn_outcome outcome;
    turn.job->limits = limits_;
    return prepare_burn(static_cast<uint32_t>(idx), check, turn.job, &outcome, out)
               ? row_plan::burn
               : row_plan::refused;
  }

  // Whether the row's device is one board with an earlier device that
  // carries a burn (`through` set to it); a cloned identity is told.
  static bool shares_flash(row_turn& turn) {
    const size_t idx = turn.row;
    const std::vector<bool>& carries = *turn.carries_burn;
    const board_grouping boards =
        group_boards(g_ninfo, [idx, &carries](size_t i) { return i == idx || carries[i]; });
    for (const board_clash& clash : boards.clashes) {
      if (clash.device == idx)
        turn.out->event(kTagWarning, board_clash_text(g_ninfo, clash) + "\n");
    }
    turn.through = boards.first_of(idx);
    return turn.through != idx;
  }

  // A rerun of a plan whose burn is done: nothing to burn and nothing failed,
  // but an image that does not run yet still waits for a reboot.
  static void tell_already_held(const nic_info& nic, output_sink& out) {
    const std::string version = version_text(image_version(nic, 0));
    out.event(kTagInfo, strprintf("%s already holds %s, the version its plan asks for; nothing to "
                                  "burn\n",
                                  nic.pbus_info.c_str(), version.c_str()));
    if (nic.prunning_ver.empty() ||
        same_version(parse_fw_version(nic.prunning_ver), image_version(nic, 0))) {
      return;
    }
    g_iFlag |= kStatusResetPending;
    const std::string waits =
        strprintf("%s holds %s but runs %s until a reset; reboot to run it\n",
                  nic.pbus_info.c_str(), version.c_str(), nic.prunning_ver.c_str());
    out.message(waits);
    out.event(kTagWarning, waits);
  }

  // The checks of a device that need no adapter query: the catalog knows
  // it, the report asks to flash it, at a valid address listed once, with an
  // image named inside nic_fw/. Sets address_ and the image check.
  device_plan check_device(size_t idx, image_check* check, output_sink& out) {
    nic_info& nic = g_ninfo[idx];
    const std::string written = written_address(nic);
    const std::vector<XMLFW_INFO> matches = catalog_images(catalog_, nic);
    if (matches.empty()) {
      if (nic.flags & kNicToFlash) {
        out.event(kTagWarning,
                  strprintf("read_discovery_report: %s asks for \"%s\" but the catalog "
                            "has no image for it (PSID %s); not flashed\n",
                            log_excerpt(written).c_str(), log_excerpt(nic.action).c_str(),
                            log_excerpt(nic.psid).c_str()));
      }
      return device_plan::skip;
    }
    ++accepted_;
    attach_image(nic, highest_entry(matches));
    if (!(nic.flags & kNicToFlash)) return device_plan::skip;

    if (parse_pci_address(written, &address_) != nullptr) {
      out.event(kTagError, strprintf("read_discovery_report: Device %zu has no valid PCI address "
                                     "(\"%s\"); not flashed\n",
                                     idx + 1, log_excerpt(written).c_str()));
      return device_plan::refuse;
    }
    nic.pbus_info = pci_address_text(address_);
    if (in_flash_recovery(address_)) {
      out.event(kTagError, strprintf("report is stale for %s: it is in flash recovery "
                                     "mode; not flashed\n",
                                     nic.pbus_info.c_str()));
      return device_plan::refuse;
    }
    if (!handled_.insert(address_).second) {
      out.event(kTagWarning,
                strprintf("read_discovery_report: %s is listed again (device %zu); it is "
                          "handled once\n",
                          nic.pbus_info.c_str(), idx + 1));
      return device_plan::skip;
    }
    // An image named by getmlnxinfo has no version in the catalog to check.
    if (nic.pxmlFwImage[0].find("Tamarix") != std::string::npos) {
      if (modify_imagename(nic, nullptr, limits_.seconds, out) != 0) {
        out.event(kTagError,
                  "read_discovery_report: Error in finding the image for Tamarix/Pellion2\n");
        status_ = kExitErrors;
        return device_plan::stop;
      }
      *check = image_check::psid_only;
    }
    if (!is_safe_image_name(nic.pxmlFwImage[0])) {
      out.event(kTagError,
                strprintf("read_discovery_report: Refused image name \"%s\" for %s; "
                          "images come from %s only\n",
                          log_excerpt(nic.pxmlFwImage[0]).c_str(), nic.pbus_info.c_str(), g_FwDir));
      return device_plan::refuse;
    }
    nic.pFwPath = nic.pxmlFwImage[0];
    return device_plan::burn;
  }

  // The burn lock, taken before the first adapter query of the plan. False,
  // with the run's status set, when another run holds it.
  bool lock(output_sink& out) {
    if (locked_) return true;
    if (!take_burn_lock()) {
      out.event(kTagError,
                "read_discovery_report: Another firmware upgrade is running; nothing was burned\n");
      status_ = kExitFailure;
      return false;
    }
    return locked_ = true;
  }

  // Side by side, every device the report asks to burn is asked before the
  // first burn starts: asked at its turn, it could be one whose flash is
  // being burned through another device, and a busy flash answers nothing.
  bool ask_before_burns() {
    std::vector<size_t> rows;
    std::vector<firmware_query> queries;
    for (size_t idx = 0; idx < g_ninfo.size(); ++idx) {
      const nic_info& nic = g_ninfo[idx];
      const std::string written = written_address(nic);
      pci_address address;
      if (!(nic.flags & kNicToFlash) || catalog_images(catalog_, nic).empty() ||
          parse_pci_address(written, &address) != nullptr || in_flash_recovery(address))
        continue;
      rows.push_back(idx);
      queries.push_back({address, {}, false});
    }
    if (queries.empty()) return true;
    if (!lock(live_sink())) return false;
    get_firmware_infos(&queries, limits_);
    for (size_t i = 0; i < rows.size(); ++i) asked_[rows[i]] = queries[i].info;
    return true;
  }

  static void warn_if_unread(const nic_info& nic, const firmware_info& now, output_sink& out) {
    if (now.version.empty() || now.psid.empty())
      out.event(kTagWarning, unread_adapter_warning(nic.pbus_info, now.reason));
  }

  static void tell_shared(size_t idx, size_t through, const std::string& board, output_sink& out) {
    out.event(kTagInfo, strprintf("%s shares its flash with %s (%s); burned once\n",
                                  g_ninfo[idx].pbus_info.c_str(),
                                  g_ninfo[through].pbus_info.c_str(), board.c_str()));
  }

  // A device whose flash was being burned through an earlier one when it was
  // planned: asked again now that burn is out.
  void ask_again(size_t idx, output_sink& out) {
    nic_info& nic = g_ninfo[idx];
    pci_address address;
    firmware_info now;
    if (parse_pci_address(nic.pbus_info, &address) == nullptr) get_firmware_info(address, limits_, &now);
    warn_if_unread(nic, now, out);
    take_firmware_answer(&nic, now);
  }

  const fw_catalog& catalog_;
  const run_settings& settings_;
  const query_limits limits_;
  size_t accepted_ = 0;
  bool failed_ = false;
  bool locked_ = false;
  int status_ = -1;  // set when the run ends early
  pci_address address_;
  std::set<pci_address> handled_;
  std::map<size_t, firmware_info> asked_;  // side by side: each device's answer before the burns
};

}  // namespace

int read_discovery_report(const run_settings& settings) {
  silent = kSilentRun;
  if (!open_event_log()) return kExitFailure;
  // The report names the adapters; a board that broke since is seen on the bus.
  find_recovery_functions();
  const std::string& path = g_XMLDiscoveryReport;
  discovery_report report;
  const report_status status = read_report_file(path, &report);
  for (const std::string& event : report.events) log_mellanox_event(kTagError, event);
  switch (status) {
    case report_status::ok:
      break;
    case report_status::unreadable:
      log_mellanox_event(kTagError,
                         strprintf("read_discovery_report: Failed to open %s\n", path.c_str()));
      return kExitErrors;
    case report_status::malformed:
      log_mellanox_event(kTagError,
                         strprintf("read_discovery_report: Failed to parse %s\n", path.c_str()));
      return kExitErrors;
    case report_status::too_large:
      log_mellanox_event(kTagError,
                         strprintf("read_discovery_report: %s lists more than %zu devices; "
                                   "nothing was burned\n",
                                   path.c_str(), kMaxReportDevices));
      return kExitErrors;
  }
  // The catalog is read as soon as the report names a device.
  run_fw_catalog catalog;
  const fw_catalog none;
  const fw_catalog* images = report.devices.empty() ? &none : catalog.get();
  if (images == nullptr) return kExitFailure;
  g_ninfo = std::move(report.devices);
  g_nic_table_built = true;
  fw_number.assign(g_ninfo.size(), 0);
  read_discovery = 1;
  return report_applier(*images, settings).run();
}
