// Firmware version numbers.
#include "repository/fw_version.h"

#include <algorithm>
#include <cctype>
#include <limits>

#include "run/text_format.h"

namespace {

// atoi's reading of one field, without its overflow: leading white space, an
// optional sign, then digits up to the first other character. A negative
// value is taken as 0 (versions are unsigned); a huge one saturates.
uint32_t field_value(std::string_view field) {
  size_t pos = 0;
  while (pos < field.size() && std::isspace(static_cast<unsigned char>(field[pos]))) ++pos;
  bool negative = false;
  if (pos < field.size() && (field[pos] == '+' || field[pos] == '-')) {
    negative = field[pos] == '-';
    ++pos;
  }
  uint64_t value = 0;
  const uint64_t max = std::numeric_limits<uint32_t>::max();
  for (; pos < field.size() && std::isdigit(static_cast<unsigned char>(field[pos])); ++pos) {
    value = std::min(max, value * 10 + static_cast<uint64_t>(field[pos] - '0'));
  }
  return negative ? 0 : static_cast<uint32_t>(value);
}

}  // namespace

int parseversions(std::string_view version, uint32_t* major, uint32_t* minor, uint32_t* release) {
  std::string_view fields[3];
  size_t start = 0;
  for (int index = 0; index < 3 && start <= version.size(); ++index) {
    size_t dot = version.find('.', start);
    if (dot == std::string_view::npos) dot = version.size();
    fields[index] = version.substr(start, dot - start);
    start = dot + 1;
  }
  *major = field_value(fields[0]);
  *minor = field_value(fields[1]);
  *release = field_value(fields[2]);
  return 0;
}

fw_version parse_fw_version(std::string_view version) {
  fw_version parsed;
  parseversions(version, &parsed.major, &parsed.minor, &parsed.release);
  return parsed;
}

bool is_newer(const fw_version& a, const fw_version& b) {
  if (a.major != b.major) return a.major > b.major;
  if (a.minor != b.minor) return a.minor > b.minor;
  return a.release > b.release;
}

bool same_version(const fw_version& a, const fw_version& b) {
  return a.major == b.major && a.minor == b.minor && a.release == b.release;
}

std::string version_text(const fw_version& version) {
  return strprintf("%u.%u.%u", version.major, version.minor, version.release);
}

void sort_fw(std::vector<fw_version>* versions) {
  std::stable_sort(versions->begin(), versions->end(),
                   [](const fw_version& a, const fw_version& b) { return is_newer(b, a); });
}

std::string fw_version_message() { return "Would you like to flash the firmware?\n"; }
