// The reader of a failed burn's output: refusal for another board, refusal until a reset, the reason.
#include "burn/burn_output.h"

#include <algorithm>
#include <cctype>

#include "run/outside_text.h"

namespace {

constexpr size_t kReasonMax = 160;

// The tool's wordings for an image meant for another board, in lower case.
constexpr std::string_view kPsidRefusals[] = {"psid mismatch", "psid major mismatch",
                                              "psid header mismatch", "minor psid is locked"};
// Its wordings for a flash whose last image has not been taken up yet.
constexpr std::string_view kPendingRefusals[] = {"pending reset", "not loaded by the device"};

bool has_any(const std::string& lower, const auto& words) {
  for (std::string_view word : words) {
    if (lower.find(word) != std::string::npos) return true;
  }
  return false;
}

// "Image minor PSID (...) is reserved", the value in between as the tool fills it in.
bool reserved_minor_psid(const std::string& lower) {
  const size_t at = lower.find("image minor psid");
  return at != std::string::npos && lower.find("is reserved", at) != std::string::npos;
}

std::string_view trimmed(std::string_view line) {
  const size_t start = line.find_first_not_of(" \t");
  if (start == std::string_view::npos) return {};
  return line.substr(start, line.find_last_not_of(" \t") + 1 - start);
}

}  // namespace

burn_verdict read_burn_output(std::string_view output) {
  burn_verdict verdict;
  size_t pos = 0;
  while (pos < output.size()) {
    const size_t end = std::min(output.find_first_of("\r\n", pos), output.size());
    const std::string_view line = trimmed(output.substr(pos, end - pos));
    pos = end + 1;
    if (line.empty()) continue;
    std::string lower(line);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    verdict.psid_refusal =
        verdict.psid_refusal || has_any(lower, kPsidRefusals) || reserved_minor_psid(lower);
    verdict.reset_pending = verdict.reset_pending || has_any(lower, kPendingRefusals);
  }
  verdict.reason = tool_reason(output, kReasonMax);
  return verdict;
}
