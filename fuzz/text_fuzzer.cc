// Fuzzes small parsers of outside text by the first byte: versions, PCI addresses, replies.
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "inventory/pci_enum.h"
#include "repository/fw_version.h"
#include "upgrade/image_selection.h"

// Each line a version: printed and read again it is the same; sorted, they ascend.
static void check_versions(std::string_view text, unsigned) {
  std::vector<fw_version> versions;
  for (size_t pos = 0, end = 0; pos <= text.size() && versions.size() < 64; pos = end + 1) {
    end = std::min(text.find('\n', pos), text.size());
    versions.push_back(parse_fw_version(text.substr(pos, end - pos)));
    FUZZ_CHECK(same_version(versions.back(), parse_fw_version(version_text(versions.back()))));
  }
  sort_fw(&versions);
  for (size_t i = 1; i < versions.size(); ++i) FUZZ_CHECK(!is_newer(versions[i - 1], versions[i]));
}

// A parsed address is in range and round-trips through its text.
static void check_address(std::string_view text, unsigned) {
  pci_address address{9, 9, 9, 9}, again;
  if (parse_pci_address(text, &address) != nullptr)
    return FUZZ_CHECK(address == (pci_address{9, 9, 9, 9}));
  FUZZ_CHECK(address.bus <= 0xFF && address.slot <= 0x1F &&
             address.func <= 7);
  const std::string printed = pci_address_text(address);
  FUZZ_CHECK(parse_pci_address(printed, &again) == nullptr && again == address);
}

// Only a whole short word is more than no, and no reply forges an event line.
static void check_reply(std::string_view text, unsigned flags) {
  const reply_line reply{std::string(text), (flags & 1) != 0, text.size() + (flags & 2 ? 1000 : 0)};
  const int answer = parse_reply(reply, kAnswerQuit);
  FUZZ_CHECK(reply.length ? answer == kAnswerNo || (reply.length == text.size() && text.size() <= 4)
                          : answer == kAnswerQuit);
  const std::string event = reply_event_text("Flash? y/n/q (y):", reply);
  for (char c : std::string_view(event).substr(0, event.size() - 1 - reply.newline))
    FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string_view text = fuzz_text(data + 1, size - 1);
  void (*const checks[])(std::string_view, unsigned) = {check_versions, check_address, check_reply};
  checks[data[0] % 3](text, data[0] / 3);
  return 0;
}
