// Tests of address texts, the choice and order of candidate adapters, and sysfs numbers.
#include "inventory/pci_enum.h"

#include <gtest/gtest.h>

namespace {

TEST(PciAddress, ParseTable) {
  struct Case {
    const char* text;
    const char* result;  // the address written back, or the error
  } cases[] = {
      {"0000:04:00.0", "0000:04:00.0"},
      {"0100:81:1f.7", "0100:81:1f.7"},
      {"ABCD:0A:1F.3", "abcd:0a:1f.3"},
      {"ffff:ff:1f.7", "ffff:ff:1f.7"},
      {"04:00.0", "0000:04:00.0"},
      {"0000-04-00.0", "Invalid input. Either colon or dot missing!"},
      {"0000:04:00", "Invalid input. Either colon or dot missing!"},
      {"", "Invalid input. Either colon or dot missing!"},
      {"10000:04:00.0", "Invalid domain number"},
      {"00g0:04:00.0", "Invalid domain number"},
      {":04:00.0", "Invalid domain number"},
      {"0000:100:00.0", "Invalid bus number"},
      {"../../../../etc/passwd:00.0", "Invalid bus number"},
      {"0000:04:20.0", "Invalid slot number"},
      {"0000:04:.0", "Invalid slot number"},
      {"0000:04:00.8", "Invalid function number"},
      {"0000:04:00.10", "Invalid function number"},
      {"0000:04:00.0;reboot", "Invalid function number"},
      {"0000:04:00.0 ", "Invalid function number"},
  };
  for (const Case& c : cases) {
    pci_address parsed{9, 9, 9, 9};
    const char* error = parse_pci_address(c.text, &parsed);
    EXPECT_EQ(error ? std::string(error) : pci_address_text(parsed), c.result) << c.text;
    if (error) {
      EXPECT_EQ(parsed, (pci_address{9, 9, 9, 9})) << c.text;
    }
  }
  pci_ids ids{7, 7, 7, 7};
  EXPECT_EQ(get_pci_info("../../../../etc/passwd:00.0", &ids), 1);
  EXPECT_EQ(ids.ven_id, 7);
}

pci_function fn(uint32_t domain, uint32_t bus, uint32_t slot, uint32_t func, uint16_t cls,
                bool vf = false) {
  return pci_function{{domain, bus, slot, func}, cls, 0x15b3, 0x1017, vf};
}

TEST(SelectCandidates, AcceptedClassesOnePerDeviceInAddressOrder) {
  std::vector<std::string> picked;
  for (const pci_function& f :
       select_candidates({fn(0, 0x81, 0, 0, 0x0200), fn(0, 1, 0, 0, 0x0108), fn(0, 2, 0, 0, 0x0C06),
                          fn(0, 3, 0, 0, 0x0280), fn(0, 6, 0, 0, 0x0C03), fn(0, 7, 0, 0, 0x0201),
                          fn(0, 4, 0, 1, 0x0207), fn(0, 4, 0, 0, 0x0207), fn(0, 4, 1, 0, 0x0200),
                          fn(0, 5, 0, 0, 0x0108), fn(0, 5, 0, 2, 0x0200), fn(0, 5, 0, 1, 0x0200),
                          fn(0xffff, 0xff, 0x1f, 7, 0x0200), fn(0x10000, 0, 0, 0, 0x0200),
                          fn(0x100, 0, 0, 0, 0x0200), fn(1, 2, 0, 0, 0x0200),
                          // Virtual functions: never an entry, never hiding their device's own.
                          fn(0, 9, 0, 0, 0x0200, true), fn(0, 9, 0, 1, 0x0200), fn(0, 9, 1, 0, 0x0200, true)}))
    picked.push_back(pci_address_text(f.address));
  EXPECT_EQ(picked, (std::vector<std::string>{"0000:02:00.0", "0000:03:00.0", "0000:04:00.0", "0000:04:01.0",
                                              "0000:05:00.1", "0000:09:00.1", "0000:81:00.0", "0001:02:00.0", "0100:00:00.0",
                                              "ffff:ff:1f.7"}));
}

TEST(ParseSysfsHex, ReadsAsPercentX) {
  struct Case { const char* text; int value; } cases[] = {
      {"0x15b3\n", 0x15b3}, {"0X15B3", 0x15b3}, {"15b3", 0x15b3}, {"  0x0020\n", 0x20}, {"", 0},
      {"zz", 0},            {"0x", 0},         {"0xg", 0},      {"0x1017junk", 0x1017}};
  for (const Case& c : cases) EXPECT_EQ(parse_sysfs_hex(c.text), c.value) << c.text;
}

}  // namespace
