// Fuzzes the readers of tool output: values cut from a query's report and getmlnxinfo's answer.
#include <algorithm>
#include <string>

#include "discovery/image_lookup.h"
#include "fuzz_check.h"
#include "inventory/fw_query.h"

namespace {

std::string lower(std::string_view text) {
  std::string low(text);
  std::transform(low.begin(), low.end(), low.begin(), [](unsigned char c) { return std::tolower(c); });
  return low;
}

void check_cut(std::string_view output, std::string_view label) {
  std::string value = "untouched";
  if (cut_firmware_value(output, label, &value) != 0) {
    FUZZ_CHECK(value == "untouched");
    return;
  }
  FUZZ_CHECK(!value.empty() && value.size() <= 49);
  FUZZ_CHECK(value.find_first_of(std::string_view(" \n\0", 3)) == std::string::npos);
  FUZZ_CHECK(value.back() != '\r');
  FUZZ_CHECK(lower(output).find(lower(label)) != std::string::npos);
}

void check_answer(std::string_view output) {
  const std::string line = mlnx_answer_line(output);
  FUZZ_CHECK(line.size() <= 4095 && output.substr(0, line.size()) == line);
  FUZZ_CHECK(line.find('\0') == std::string::npos);
  FUZZ_CHECK(line.find('\n') == std::string::npos || line.find('\n') == line.size() - 1);
  const mlnx_answer answer = parse_mlnx_answer(line);
  if (answer.no_image) {
    FUZZ_CHECK(line[0] == '0' && answer.server.empty() && answer.image.empty());
    return;
  }
  FUZZ_CHECK((answer.server + answer.image).find('#') == std::string::npos);
  FUZZ_CHECK(answer.image.empty() || (answer.image.back() != '\n' && answer.image.back() != '\r'));
  if (answer.server.empty() || answer.image.empty()) return;
  // Leading '#'s are skipped, so a server named "0..." is no "no image" answer.
  const mlnx_answer again = parse_mlnx_answer("#" + answer.server + "#" + answer.image + "\n");
  FUZZ_CHECK(!again.no_image && again.server == answer.server && again.image == answer.image);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view output = fuzz_text(data, size);
  check_cut(output, "FW Version");
  check_cut(output, "PSID");
  // A label of the input's own first line.
  check_cut(output.substr(output.find('\n') + 1), output.substr(0, std::min(output.find('\n'), size_t{40})));
  check_answer(output);
  return 0;
}
