// Fuzzes the small parsers of outside text, chosen by the first byte: versions, axtoi, PCI addresses, replies.
#include <string>
#include <vector>

#include "discovery/report_reader.h"
#include "fuzz_check.h"
#include "inventory/pci_enum.h"
#include "repository/fw_version.h"
#include "upgrade/image_selection.h"

namespace {

// Each line a version: printed and read again it is the same, and sorted lines ascend.
void check_versions(std::string_view text) {
  std::vector<fw_version> versions;
  for (size_t pos = 0; pos <= text.size() && versions.size() < 64;) {
    const size_t end = std::min(text.find('\n', pos), text.size());
    const fw_version version = parse_fw_version(text.substr(pos, end - pos));
    const fw_version again = parse_fw_version(version_text(version));
    FUZZ_CHECK(same_version(version, again) && !is_newer(version, again));
    versions.push_back(version);
    pos = end + 1;
  }
  sort_fw(&versions);
  for (size_t i = 1; i < versions.size(); ++i) FUZZ_CHECK(!is_newer(versions[i - 1], versions[i]));
}

void check_axtoi(std::string_view text) {
  const int value = axtoi(text);
  FUZZ_CHECK(value >= 0 && value <= 0xFFFF);
  // Over the plain hexadecimal digits it reads what strtol reads.
  const std::string head(text.substr(0, 4));
  const size_t digits = std::min(head.find_first_not_of("0123456789abcdefABCDEF"), head.size());
  const size_t taken = std::min(head.find_first_not_of("*+,-./0123456789:;<=>?abcdefABCDEF"), head.size());
  if (digits == taken) FUZZ_CHECK(value == (digits ? std::stoi(head.substr(0, digits), nullptr, 16) : 0));
}

void check_address(std::string_view text) {
  pci_address address{9, 9, 9, 9};
  if (parse_pci_address(text, &address) != nullptr) {
    FUZZ_CHECK(address == (pci_address{9, 9, 9, 9}));  // left as it was
    return;
  }
  FUZZ_CHECK(address.domain <= 0xFFFF && address.bus <= 0xFF && address.slot <= 0x1F && address.func <= 7);
  const std::string printed = pci_address_text(address);
  pci_address again;
  FUZZ_CHECK(parse_pci_address(printed, &again) == nullptr && again == address);
  FUZZ_CHECK(is_well_formed_pci_address(printed));
}

void check_reply(std::string_view text, unsigned char flags) {
  const reply_line reply{std::string(text), (flags & 1) != 0, text.size() + (flags & 2 ? 1000 : 0)};
  const int answer = parse_reply(reply, kAnswerQuit);
  FUZZ_CHECK(answer >= kAnswerYes && answer <= kAnswerYesNoMore);
  FUZZ_CHECK(reply.length != 0 || answer == kAnswerQuit);
  // Only a whole short word stands for more than no.
  if (reply.length != 0 && answer != kAnswerNo) FUZZ_CHECK(reply.length == text.size() && text.size() <= 4);
  // One event line, two when the reply ended its line: no reply forges another.
  const std::string event = reply_event_text("Flash? y/n/q (y):", reply);
  const std::string_view body = std::string_view(event).substr(0, event.size() - 1 - reply.newline);
  for (char c : body) FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string_view text = fuzz_text(data + 1, size - 1);
  switch (data[0] % 4) {
    case 0: check_versions(text); break;
    case 1: check_axtoi(text); break;
    case 2: check_address(text); break;
    default: check_reply(text, data[0] >> 2); break;
  }
  return 0;
}
