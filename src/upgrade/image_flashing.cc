// Burning one image into one adapter through ./nic_fw/mstflint, and judging the outcome.
#include "upgrade/image_flashing.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "inventory/nic_info.h"
#include "repository/fw_catalog.h"
#include "repository/fw_version.h"
#include "run/child_process.h"
#include "run/console.h"
#include "run/event_log.h"
#include "run/run_state.h"
#include "run/temp_file.h"
#include "run/text_format.h"
#include "upgrade/burn_progress.h"

int read_discovery = 0;
std::vector<std::string> ver_buf;

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

// The image of the record to burn in an upgrade run: the first image whose
// version is the highest listed in ver_buf. -1 when none is.
int chosen_image(const nic_info& nic) {
  const size_t count = static_cast<size_t>(image_count(nic));
  if (count == 0 || ver_buf.size() < count) return -1;
  const std::string& wanted = ver_buf[count - 1];
  for (size_t j = 0; j < count; ++j) {
    if (version_text(image_version(nic, static_cast<int>(j))) == wanted) return static_cast<int>(j);
  }
  return -1;
}

// A failure before the tool ran: nothing was burned, but the adapter was
// meant to be, so the run must count it as failed.
int refuse_burn(const std::string& event) {
  g_iFlag |= kStatusBurnFailed;
  log_mellanox_event(kTagError, event);
  return 1;
}

// The tool's wordings for an image meant for another board, in any letter
// case: "PSID mismatch", "PSID major mismatch", "PSID header mismatch" and
// "Minor PSID is locked".
const char* const kPsidRefusals = "PSID( major| header)? mismatch|Minor PSID is locked";

// Searches the tool's output for a PSID refusal, as an operator would with
// grep. 0 when found.
int psid_test(const std::string& output_path) {
  unique_fd null_out(open("/dev/null", O_WRONLY | O_CLOEXEC));
  return do_command(
      strprintf("grep -i -E \"%s\" %s > /dev/null", kPsidRefusals, output_path.c_str()),
      {"grep", "-i", "-E", kPsidRefusals, output_path}, null_out.get());
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

int do_update_firmware(uint32_t uNicIdx) {
  if (uNicIdx >= g_ninfo.size()) return 0;
  nic_info& nic = g_ninfo[uNicIdx];
  if (!(nic.flags & kNicToFlash)) return 0;
  if (nic.fw_count < 1) {
    print_message("Quitting......................as nothing found in repository\n");
    return 0;
  }

  int image = 0;
  if (read_discovery == 0) {
    image = chosen_image(nic);
    if (image < 0) {
      print_message(
          "You have not entered the right Index for firmware version ....................\n");
      return 0;
    }
    if (uNicIdx < fw_number.size()) fw_number[uNicIdx] = image;
    if (!(g_iFlag & kStatusPatienceLogged)) {
      g_iFlag |= kStatusPatienceLogged;
      log_mellanox_event(kTagInfo,
                         "\nThe Firmware Upgrade will take several minutes.  Please be patient.\n");
    }
    log_mellanox_event(kTagInfo, strprintf("\nSelecting %s MAC: %-12s \n",
                                           nic.pxmlName[image].c_str(), nic.pcurrent_mac.c_str()));
    nic.pcurrent_mac = format_mac(nic.pcurrent_mac);
  }

  const std::string& image_name = nic.pxmlFwImage[image];
  if (!is_safe_image_name(image_name)) {
    return refuse_burn(strprintf(
        "Refused to burn image \"%s\" on %s: not a file name inside %s\n", image_name.c_str(),
        nic.pbus_info.c_str(), g_FwDir));
  }

  std::vector<std::string> argv = {kFirmwareTool};
  if (silent == kSilentRun) argv.push_back("-s");
  for (const std::string& arg :
       {std::string("-y"), std::string("-d"), nic.pbus_info, std::string("-i"),
        std::string(g_FwDir) + image_name, std::string("b")}) {
    argv.push_back(arg);
  }
  const std::string fwupg_cmd = join_blank(argv);

  temp_file tool_output;
  if (!tool_output.create(kToolOutputTemplate)) {
    return refuse_burn(strprintf("Could not create a file for the output of the burn (%s)\n %s\n",
                                 std::strerror(errno), fwupg_cmd.c_str()));
  }

  // From here on the burn is seen through: a signal is noted and answered by
  // the caller once the outcome is logged.
  deferred_signals defer;
  child_result burn;
  {
    const bool show_progress = console_is_terminal() && silent != kSilentRun &&
                               !(g_iFlag & (kOptSilent | kOptDiscover | kOptApply));
    burn_progress progress(show_progress, nic.pbus_info, tool_output.path());
    child_streams streams;
    streams.out = tool_output.fd();
    streams.err = tool_output.fd();
    streams.own_process_group = true;
    burn = run_program(argv, streams, [&progress] { progress.tick(); });
  }

  if (burn.succeeded()) {
    g_iFlag |= kStatusBurnOk;
    print_message(strprintf("Firmware Flashed:\tSUCCESS  for interface %s\n\n",
                            nic.pbus_info.c_str()));
    log_mellanox_event(kTagInfo,
                       strprintf("MAC %-12s Upgrade SUCCESS\n", nic.pcurrent_mac.c_str()));
    return 0;
  }

  g_iFlag |= kStatusBurnFailed;
  if (!burn.started || !burn.exited) {
    log_mellanox_event(kTagError, strprintf("The firmware tool %s for %s\n %s\n",
                                            describe_child_result(burn).c_str(),
                                            nic.pbus_info.c_str(), fwupg_cmd.c_str()));
  }
  const int psid_status = psid_test(tool_output.path());
  tool_output.remove_now();
  if (psid_status == 0) {
    log_mellanox_event(
        kTagError,
        strprintf("Fimware upgrade on this device is not supported\n %s\n", fwupg_cmd.c_str()));
  } else {
    log_mellanox_event(kTagError, strprintf("Upgrade failed\n %s\n", fwupg_cmd.c_str()));
  }
  return psid_status;
}
