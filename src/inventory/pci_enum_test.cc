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
      {"10000:04:00.0", "10000:04:00.0"},
      {"100000000:04:00.0", "Invalid domain number"},
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
                                              "ffff:ff:1f.7", "10000:00:00.0"}));
}

TEST(FlashRecovery, DeviceIdsOfTheVendorWhateverTheClass) {
  auto id = [](uint32_t bus, uint16_t vendor, uint16_t device, uint16_t cls) {
    return pci_function{{0, bus, 0, 0}, cls, vendor, device, false};
  };
  // A recovery id is no candidate even with a network class; another vendor's is no recovery.
  const std::vector<pci_function> scan = {
      id(5, 0x15b3, 0x020d, 0x0580), id(2, 0x15b3, 0x0218, 0x0200), id(3, 0x15b3, 0x1017, 0x0200),
      id(4, 0x8086, 0x020d, 0x0580), id(6, 0x15b3, 0x0220, 0x0C06), id(7, 0x15b3, 0x021a, 0x0580)};
  std::vector<std::string> recovering, candidates;
  for (const pci_function& f : select_recovery(scan)) recovering.push_back(pci_address_text(f.address));
  for (const pci_function& f : select_candidates(scan)) candidates.push_back(pci_address_text(f.address));
  EXPECT_EQ(recovering, (std::vector<std::string>{"0000:02:00.0", "0000:05:00.0", "0000:06:00.0"}));
  EXPECT_EQ(candidates, (std::vector<std::string>{"0000:03:00.0"}));
  int ids = 0;
  for (int device = 0; device <= 0xFFFF; ++device) ids += is_flash_recovery(0x15b3, static_cast<uint16_t>(device));
  EXPECT_EQ(ids, 17);
}

TEST(FlashRecovery, ChipNameFromTheDatabase) {
  struct Case { const char* name; const char* chip; } cases[] = {
      {"MT28800 Family [ConnectX-5 Flash Recovery]", "ConnectX-5"},
      {"BF4 Family Flash Recovery [BlueField-4 SoC Flash Recovery]", "BlueField-4 SoC"},
      {"MT28908A0 Family [ConnectX-6 Secure Flash Recovery]", "ConnectX-6 Secure"},
      {"Device 020d", "Device 020d"}, {"", ""}, {"New [ConnectX-9\a flash recovery]", "ConnectX-9?"}};
  for (const Case& c : cases) EXPECT_EQ(recovery_chip_name(c.name), c.chip) << c.name;
}

TEST(ParseSysfsHex, ReadsAsPercentX) {
  struct Case { const char* text; int value; } cases[] = {
      {"0x15b3\n", 0x15b3}, {"0X15B3", 0x15b3}, {"15b3", 0x15b3}, {"  0x0020\n", 0x20}, {"", 0},
      {"zz", 0},            {"0x", 0},         {"0xg", 0},      {"0x1017junk", 0x1017}};
  for (const Case& c : cases) EXPECT_EQ(parse_sysfs_hex(c.text), c.value) << c.text;
}

}  // namespace
