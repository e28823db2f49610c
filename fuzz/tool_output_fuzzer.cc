// Fuzzes the readers of tool output: an adapter's or image's report, and getmlnxinfo's answer.
#include <algorithm>

#include "burn/burn_output.h"
#include "discovery/image_lookup.h"
#include "fuzz_check.h"
#include "inventory/fw_query.h"
#include "repository/fw_version.h"
#include "run/outside_text.h"

// A value read from a report: 1 to 49 characters, none of them blank, CR, LF or NUL.
static bool clean(const std::string& v) {
  return !v.empty() && v.size() <= 49 &&
         v.find_first_of(std::string_view(" \t\r\n\0", 5)) == std::string::npos;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view output = fuzz_text(data, size);
  const firmware_info info = parse_firmware_report(output);
  FUZZ_CHECK(info.version_rc ? info.version.empty() && info.running.empty()
                             : clean(info.version) && is_dotted_version(info.version));
  FUZZ_CHECK(info.running.empty() ||
             (is_dotted_version(info.running) &&
              !same_version(parse_fw_version(info.running), parse_fw_version(info.version))));
  FUZZ_CHECK(info.psid_rc ? info.psid.empty() : clean(info.psid));
  FUZZ_CHECK(info.board.empty() || info.board.rfind("Base GUID ", 0) == 0 ||
             info.board.rfind("Base MAC ", 0) == 0);
  FUZZ_CHECK(info.reason.empty() || info.version_rc != 0 || info.psid_rc != 0);  // read: no reason
  FUZZ_CHECK(info.reason.size() <= kQueryReasonMax + 3 &&
             info.reason == clean_outside_text(info.reason, kQueryReasonMax + 3));
  const std::string reason = read_burn_output(output).reason;  // one clean line
  FUZZ_CHECK(reason.size() <= 163 && reason == clean_outside_text(reason, 163));
  std::string value = "untouched";  // the first line as a label of the rest
  const size_t eol = std::min(output.find('\n'), size);
  FUZZ_CHECK(
      read_report_value(output.substr(std::min(eol + 1, size)), output.substr(0, eol), &value)
          ? value == "untouched"
          : clean(value));

  const std::string line = mlnx_answer_line(output);
  FUZZ_CHECK(line.size() <= 4095 && output.substr(0, line.size()) == line &&
             line.find('\0') == line.npos);
  FUZZ_CHECK(line.find('\n') == line.npos || line.find('\n') == line.size() - 1);
  const mlnx_answer answer = parse_mlnx_answer(line);
  FUZZ_CHECK(!answer.no_image || (line[0] == '0' && answer.server.empty() && answer.image.empty()));
  FUZZ_CHECK((answer.server + answer.image).find('#') == std::string::npos);
  FUZZ_CHECK(answer.image.empty() || (answer.image.back() != '\n' && answer.image.back() != '\r'));
  if (answer.server.empty() || answer.image.empty()) return 0;
  // Written back as the tool writes it (a leading '#' keeps a server "0..." from meaning no image).
  const mlnx_answer again = parse_mlnx_answer("#" + answer.server + "#" + answer.image + "\r\n");
  FUZZ_CHECK(!again.no_image && again.server == answer.server && again.image == answer.image);
  return 0;
}
