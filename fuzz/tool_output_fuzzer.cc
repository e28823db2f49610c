// Fuzzes the readers of tool output: values cut from a query's report, and getmlnxinfo's answer.
#include <algorithm>

#include "discovery/image_lookup.h"
#include "fuzz_check.h"
#include "inventory/fw_query.h"

static void check_cut(std::string_view output, std::string_view label) {
  std::string value = "untouched";
  if (cut_firmware_value(output, label, &value) != 0) return FUZZ_CHECK(value == "untouched");
  FUZZ_CHECK(!value.empty() && value.size() <= 49 && value.back() != '\r');
  FUZZ_CHECK(value.find_first_of(std::string_view(" \n\0", 3)) == std::string::npos);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view output = fuzz_text(data, size);
  check_cut(output, "FW Version");
  check_cut(output, "PSID");
  const size_t eol = std::min(output.find('\n'), size);  // the first line as a label of the rest
  check_cut(output.substr(std::min(eol + 1, size)), output.substr(0, std::min(eol, size_t{40})));

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
