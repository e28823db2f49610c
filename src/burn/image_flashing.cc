// Burning one image into one adapter through ./nic_fw/mstflint, and judging the outcome.
#include "burn/image_flashing.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "burn/burn_output.h"
#include "inventory/fw_query.h"
#include "inventory/nic_info.h"
#include "repository/fw_catalog.h"
#include "repository/fw_version.h"
#include "run/console.h"
#include "run/event_log.h"
#include "run/file_io.h"
#include "run/output_sink.h"
#include "run/outside_text.h"
#include "run/path_trust.h"
#include "run/process_set.h"
#include "run/run_lock.h"
#include "run/run_state.h"
#include "run/spawn.h"
#include "run/text_format.h"

int read_discovery = 0;
std::vector<std::string> ver_buf;
int burns_planned = 0;

namespace {

const char* const kFirmwareTool = "./nic_fw/mstflint";
const char* const kToolOutputTemplate = "/tmp/dataXXXXXX";

std::string join_blank(const std::vector<std::string>& argv) {
  std::string line;
  for (const std::string& arg : argv) {
    if (!line.empty()) line += ' ';
    line += arg;
  }
  return line;
}

// The image of the record to burn in an upgrade run: the first of the
// highest version, which selection left as the last entry of ver_buf. -1
// when selection listed fewer versions than the record has images.
int choose_image(const nic_info& nic) {
  const int count = image_count(nic);
  if (count == 0 || ver_buf.size() < static_cast<size_t>(count)) return -1;
  int best = 0;
  for (int j = 1; j < count; ++j) {
    if (is_newer(image_version(nic, j), image_version(nic, best))) best = j;
  }
  return best;
}

// Burns tried in this run, this one included: the N of the audit line.
int burns_tried = 0;

// A failure before the tool ran: nothing was burned, but the adapter was
// meant to be, so the run must count it as failed.
burn_outcome refuse_burn(output_sink& out, const std::string& event) {
  g_iFlag |= kStatusBurnFailed;
  out.event(kTagError, event);
  return burn_outcome::failed;
}

// The tool's wordings for an image meant for another board, as the console
// shows the search for them.
const char* const kPsidRefusals = "PSID( major| header)? mismatch|Minor PSID is locked";

// The tool's output of a burn, from the file it went to: its last MiB, which
// holds the tool's last words however much progress came before.
std::string burn_output_text(int fd) {
  constexpr off_t kKept = 1 << 20;
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0) return "";
  std::string text(static_cast<size_t>(std::min<off_t>(st.st_size, kKept)), '\0');
  const off_t from = st.st_size - static_cast<off_t>(text.size());
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n =
        pread(fd, text.data() + done, text.size() - done, from + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  text.resize(done);
  return text;
}

// The version and the PSID out of the tool's report of an image, which has
// the same layout as an adapter's. False when either is missing.
bool read_query_report(std::string_view report, firmware_info* identity) {
  *identity = parse_firmware_report(report);
  return identity->version_rc == 0 && identity->psid_rc == 0;
}

// The first line of the tool's output as it may stand inside an event line,
// after ": ": at most 160 characters, control characters shown as '?'; ""
// when it wrote nothing.
std::string first_line(std::string_view output) {
  const size_t start = output.find_first_not_of(" \t\r\n");
  if (start == std::string_view::npos) return "";
  return ": " + clean_outside_text(output.substr(start, output.find('\n', start) - start), 160);
}

// Whether the tool's query of the image file (`query`, its output `report`,
// its time limit `limit` seconds) tells what it holds. Logs why when not:
// the file is missing, damaged or no image.
bool image_readable(output_sink& out, const std::string& name, const child_result& query,
                    const std::string& report, firmware_info* held, int limit) {
  if (query.succeeded() && read_query_report(report, held)) return true;
  const std::string how = query.timed_out ? strprintf("no answer within %d seconds, FWKIT_QUERY_TIMEOUT", limit)
                                          : describe_child_result(query);
  out.event(kTagError, strprintf("Image %s could not be read by the firmware tool (%s)%s\n",
                                 name.c_str(), how.c_str(),
                                 query.succeeded() ? ": its report shows no FW Version or PSID"
                                                   : first_line(report).c_str()));
  return false;
}

// Whether the image fits the adapter: the adapter's PSID, and the catalog's
// version when the catalog named the image. Logs why when not.
bool image_fits(output_sink& out, const nic_info& nic, const std::string& name,
                const firmware_info& held, const fw_version* catalog_version) {
  if (held.psid != nic.psid) {
    out.event(kTagError, strprintf("Image %s holds %s (PSID %s); the adapter %s has PSID %s\n",
                                   name.c_str(), held.version.c_str(), held.psid.c_str(),
                                   nic.pbus_info.c_str(), nic.psid.c_str()));
    return false;
  }
  if (catalog_version && !same_version(parse_fw_version(held.version), *catalog_version)) {
    out.event(kTagError, strprintf("Image %s holds %s (PSID %s); the catalog says %s\n",
                                   name.c_str(), held.version.c_str(), held.psid.c_str(),
                                   version_text(*catalog_version).c_str()));
    return false;
  }
  return true;
}

// After a burn the tool reported as done: whether the adapter's flash now
// holds `version`, by the job's query of the adapter (asked once more, alone,
// when it found nothing beside other queries), whose answer the record
// takes. Logs why when not.
bool flash_holds(output_sink& out, nic_info& nic, const std::string& version, const burn_job& job) {
  const std::string& address_text = nic.pbus_info;
  pci_address address;
  firmware_info flash;
  if (job.verifying && parse_pci_address(address_text, &address) == nullptr) {
    if (job.query.started && !job.query.timed_out) flash = parse_firmware_report(job.report);
    if (job.query_overlapped && (flash.version_rc != 0 || flash.psid_rc != 0))
      get_firmware_info(address, job.limits, &flash);
    take_firmware_answer(&nic, flash);
    if (flash.version_rc == 0) {
      if (same_version(parse_fw_version(flash.version), parse_fw_version(version))) return true;
      out.event(kTagError,
                strprintf("burn of %s reported success but the adapter's flash holds %s, "
                          "not %s\n",
                          address_text.c_str(), flash.version.c_str(), version.c_str()));
      return false;
    }
  }
  out.event(kTagError, strprintf("burn of %s reported success but the adapter's flash version "
                                 "could not be read back\n",
                                 address_text.c_str()));
  return false;
}

// The version the adapter's flash holds: as the tool reported it, else as
// the record was read (a report's active version).
std::string flash_version_text(const nic_info& nic) {
  return nic.pfirmware_ver.empty() ? version_text(running_version(nic)) : nic.pfirmware_ver;
}

}  // namespace

bool is_safe_image_name(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

std::string format_mac(const std::string& mac) {
  // Only the 17-character form has its separators where the groups are cut;
  // any other non-empty text is kept as it stands.
  if (mac.size() < 17) return mac;
  static const size_t kDigitPositions[] = {0, 1, 3, 4, 6, 7, 9, 10, 12, 13, 15, 16};
  std::string digits;
  for (size_t pos : kDigitPositions) digits.push_back(mac[pos]);
  return digits;
}

namespace {

// The choice of an upgrade run: the image, noted for the record, and the log's
// account of it. False (told on the console) when there is none to burn.
bool choose_step(output_sink& out, uint32_t uNicIdx, nic_info& nic, burn_job* job) {
  job->image = choose_image(nic);
  if (job->image < 0) {
    out.message("You have not entered the right Index for firmware version ....................\n");
    return false;
  }
  if (uNicIdx < fw_number.size()) fw_number[uNicIdx] = job->image;
  if (!(g_iFlag & kStatusPatienceLogged)) {
    g_iFlag |= kStatusPatienceLogged;
    out.event(kTagInfo, "\nThe Firmware Upgrade will take several minutes.  Please be patient.\n");
  }
  out.event(kTagInfo, strprintf("\nSelecting %s MAC: %-12s \n", nic.pxmlName[job->image].c_str(),
                                nic.pcurrent_mac.c_str()));
  nic.pcurrent_mac = format_mac(nic.pcurrent_mac);
  return true;
}

// The checks of the image's path before its burn: a plain name inside the
// repository, a path only root can change. Logs why it fails; else the
// query of the image is the job's next step.
burn_outcome check_step(output_sink& out, const nic_info& nic, burn_job* job) {
  job->image_name = nic.pxmlFwImage[job->image];
  const std::string& image_name = job->image_name;
  if (!is_safe_image_name(image_name)) {
    return refuse_burn(out,
                       strprintf("Refused to burn image \"%s\" on %s: not a file name inside %s\n",
                                 image_name.c_str(), nic.pbus_info.c_str(), g_FwDir));
  }
  job->image_path = std::string(g_FwDir) + image_name;
  // Nobody else may change the image between its check and its burn.
  std::string untrusted;
  if (judge_path_trust(job->image_path, &untrusted) == path_trust::refused) {
    report_untrusted_repository(untrusted);
    return refuse_burn(out, strprintf("Refused to burn image %s on %s: %s\n", image_name.c_str(),
                                      nic.pbus_info.c_str(), untrusted.c_str()));
  }
  job->query_argv = {kFirmwareTool, "-i", job->image_path, "q"};
  return burn_outcome::none;
}

// The image as the tool read it: readable, and fit for the adapter. Then the
// burn's command and the file for its output.
burn_outcome image_report_step(output_sink& out, const nic_info& nic, burn_job* job) {
  const fw_version catalog_version = image_version(nic, job->image);
  if (!image_readable(out, job->image_name, job->query, job->report, &job->held, job->limits.seconds) ||
      !image_fits(out, nic, job->image_name, job->held,
                  job->check == image_check::psid_and_version ? &catalog_version : nullptr)) {
    g_iFlag |= kStatusBurnFailed;  // meant to be burned, and was not
    return burn_outcome::failed;
  }

  job->argv = {kFirmwareTool};
  if (silent == kSilentRun) job->argv.push_back("-s");
  for (const std::string& arg :
       {std::string("-y"), std::string("-d"), nic.pbus_info, std::string("-i"), job->image_path,
        std::string("b")}) {
    job->argv.push_back(arg);
  }
  job->command = join_blank(job->argv);
  if (!job->tool_output.create(kToolOutputTemplate)) {
    return refuse_burn(out,
                       strprintf("Could not create a file for the output of the burn (%s)\n %s\n",
                                 std::strerror(errno), job->command.c_str()));
  }
  return burn_outcome::none;
}

// A burn the tool reported as done: verified, or failed when the flash does
// not show the image.
burn_outcome judge_success(output_sink& out, nic_info& nic, const burn_job& job,
                           const std::string& from) {
  if (!flash_holds(out, nic, job.held.version, job)) {
    g_iFlag |= kStatusBurnFailed;
    return burn_outcome::failed;
  }
  g_iFlag |= kStatusBurnOk;
  out.message(strprintf("Firmware Flashed:\tSUCCESS  for interface %s\n\n", nic.pbus_info.c_str()));
  out.event(kTagInfo, strprintf("MAC %-12s Upgrade SUCCESS\n", nic.pcurrent_mac.c_str()));
  const fw_version was = parse_fw_version(from), now = parse_fw_version(job.held.version);
  const std::string& product = nic.pxmlName[job.image];
  out.event(kTagInfo, strprintf("%s (%s%sPSID %s): %s to %s%s, burn %d of %d, verified\n",
                                nic.pbus_info.c_str(), product.c_str(), product.empty() ? "" : ", ",
                                nic.psid.c_str(), from.c_str(), job.held.version.c_str(),
                                is_newer(was, now)       ? " (older: forced)"
                                : same_version(was, now) ? " (same version: forced)"
                                                         : "",
                                job.number, std::max(burns_planned, job.number)));
  return burn_outcome::success;
}

// A burn the tool did not complete: its own words, searched here (the console
// shows the search as an operator would run it), tell a reset to wait for,
// an image meant for another board, or a failure.
burn_outcome judge_failure(output_sink& out, nic_info& nic, burn_job& job,
                           const std::string& from) {
  const child_result& burn = job.result;
  const burn_verdict verdict = read_burn_output(burn_output_text(job.tool_output.fd()));
  out.console(strprintf("grep -i -E \"%s\" %s > /dev/null \n", kPsidRefusals,
                        job.tool_output.path().c_str()));
  job.tool_output.remove_now();
  const std::string& version = job.held.version;
  if (verdict.reset_pending && !verdict.psid_refusal && burn.exited) {
    g_iFlag |= kStatusResetPending;
    const std::string running = nic.prunning_ver.empty() ? "" : ", runs " + nic.prunning_ver;
    const std::string waits = strprintf(
        "%s waits for a reset before it can take %s (flash holds %s%s); reset it or reboot, then "
        "run fwkit again\n",
        nic.pbus_info.c_str(), version.c_str(), from.c_str(), running.c_str());
    out.message(waits);
    out.event(kTagWarning, waits);
    return burn_outcome::reset_pending;
  }

  g_iFlag |= kStatusBurnFailed;
  if (!burn.started || !burn.exited) {
    out.event(kTagError,
              strprintf("The firmware tool %s for %s\n %s\n", describe_child_result(burn).c_str(),
                        nic.pbus_info.c_str(), job.command.c_str()));
  }
  out.event(kTagError, strprintf(verdict.psid_refusal
                                     ? "Fimware upgrade on this device is not supported\n %s\n"
                                     : "Upgrade failed\n %s\n",
                                 job.command.c_str()));
  // A tool that did not end by itself, or said nothing, is described by how it ended.
  const bool own_words =
      verdict.reason.rfind("-E-", 0) == 0 || (burn.exited && !verdict.reason.empty());
  const std::string reason = own_words ? verdict.reason : describe_child_result(burn);
  out.event(kTagError, strprintf("burn of %s (%s to %s) failed: %s\n", nic.pbus_info.c_str(),
                                 from.c_str(), version.c_str(), reason.c_str()));
  return verdict.psid_refusal ? burn_outcome::not_supported : burn_outcome::failed;
}

}  // namespace

bool prepare_burn(uint32_t uNicIdx, image_check check, burn_job* job, burn_outcome* outcome,
                  output_sink& out) {
  *outcome = burn_outcome::none;
  if (uNicIdx >= g_ninfo.size()) return false;
  nic_info& nic = g_ninfo[uNicIdx];
  if (!(nic.flags & kNicToFlash)) return false;
  if (nic.fw_count < 1) {
    out.message("Quitting......................as nothing found in repository\n");
    return false;
  }
  job->nic = uNicIdx;
  job->check = check;
  job->image = 0;
  if (read_discovery == 0 && !choose_step(out, uNicIdx, nic, job)) return false;
  job->number = ++burns_tried;
  *outcome = check_step(out, nic, job);
  count_burn(*outcome);
  return *outcome == burn_outcome::none;
}

bool take_image_report(burn_job* job, burn_outcome* outcome, output_sink& out) {
  *outcome = image_report_step(out, g_ninfo[job->nic], job);
  count_burn(*outcome);
  return *outcome == burn_outcome::none;
}

bool verify_step(burn_job* job) {
  pci_address address;
  if (!job->result.succeeded() || parse_pci_address(g_ninfo[job->nic].pbus_info, &address) != nullptr)
    return false;
  job->query_argv = {kFirmwareTool, "-d", pci_address_text(address), "q"};
  job->query = child_result();
  job->report.clear();
  job->query_overlapped = false;
  job->verifying = true;
  return true;
}

child_handle start_burn(const burn_job& job) {
  spawn_plan plan;
  plan.argv = job.argv;
  plan.out = job.tool_output.fd();
  plan.err = job.tool_output.fd();
  plan.own_process_group = true;
  plan.keep_open = burn_lock_fd();  // the lock lasts as long as the burn
  return spawn_child(plan);
}

burn_outcome judge_burn(burn_job& job, output_sink& out) {
  nic_info& nic = g_ninfo[job.nic];
  const std::string from = flash_version_text(nic);
  const burn_outcome outcome = job.result.succeeded() ? judge_success(out, nic, job, from)
                                                      : judge_failure(out, nic, job, from);
  count_burn(outcome);
  return outcome;
}

bool burn_progress_shown() {
  return console_is_terminal() && silent != kSilentRun &&
         !(g_iFlag & (kOptSilent | kOptDiscover | kOptApply));
}
