// Tests of address texts, the choice and order of candidate adapters, and sysfs numbers.
#include "inventory/pci_enum.h"

#include <gtest/gtest.h>

namespace {

TEST(PciAddress, ParseTable) {
  struct Case {
    const char* text;
    const char* error;  // null: parses to the numbers below
    pci_address expected;
  } cases[] = {
      {"0000:04:00.0", nullptr, {0, 4, 0, 0}},
      {"0000:81:1f.7", nullptr, {0, 0x81, 0x1f, 7}},
      {"0100:02:00.1", nullptr, {0x100, 2, 0, 1}},
      {"ffff:ff:1f.7", nullptr, {0xffff, 0xff, 0x1f, 7}},
      {"ABCD:0A:1F.3", nullptr, {0xabcd, 0x0a, 0x1f, 3}},
      {"04:00.0", nullptr, {0, 4, 0, 0}},
      {"0000-04-00.0", "Invalid input. Either colon or dot missing!", {}},
      {"", "Invalid input. Either colon or dot missing!", {}},
      {"0000:04:00", "Invalid input. Either colon or dot missing!", {}},
      {"10000:04:00.0", "Invalid domain number", {}},
      {"00g0:04:00.0", "Invalid domain number", {}},
      {":04:00.0", "Invalid domain number", {}},
      {"0000:100:00.0", "Invalid bus number", {}},
      {"0000::00.0", "Invalid bus number", {}},
      {"0000:04:20.0", "Invalid slot number", {}},
      {"0000:04:.0", "Invalid slot number", {}},
      {"0000:04:00.8", "Invalid function number", {}},
      {"0000:04:00.", "Invalid function number", {}},
      {"0000:04:00.0;reboot", "Invalid function number", {}},
      {"0000:04:00.0 ", "Invalid function number", {}},
      {"0000:04:00.10", "Invalid function number", {}},
  };
  for (const Case& c : cases) {
    pci_address parsed{9, 9, 9, 9};
    const char* error = parse_pci_address(c.text, &parsed);
    if (c.error) {
      EXPECT_STREQ(error, c.error) << c.text;
      EXPECT_EQ(parsed, (pci_address{9, 9, 9, 9})) << c.text;
    } else {
      EXPECT_EQ(error, nullptr) << c.text << ": " << error;
      EXPECT_EQ(parsed, c.expected) << c.text;
    }
  }
}

TEST(PciAddress, TextRoundTrips) {
  for (pci_address a : {pci_address{0, 4, 0, 0}, pci_address{0x100, 0x81, 0x1f, 7},
                        pci_address{0xffff, 0xff, 0, 1}}) {
    pci_address back;
    std::string text = pci_address_text(a);
    ASSERT_EQ(parse_pci_address(text, &back), nullptr) << text;
    EXPECT_EQ(back, a) << text;
  }
  EXPECT_EQ(pci_address_text({0x100, 2, 3, 1}), "0100:02:03.1");
}

pci_function fn(uint32_t domain, uint32_t bus, uint32_t slot, uint32_t func, uint16_t cls) {
  pci_function f;
  f.address = {domain, bus, slot, func};
  f.device_class = cls;
  f.vendor_id = 0x15b3;
  return f;
}

std::vector<std::string> texts(const std::vector<pci_function>& functions) {
  std::vector<std::string> out;
  for (const pci_function& f : functions) out.push_back(pci_address_text(f.address));
  return out;
}

TEST(SelectCandidates, AcceptedClassesOnly) {
  auto picked = select_candidates({fn(0, 1, 0, 0, 0x0108), fn(0, 2, 0, 0, 0x0C06),
                                   fn(0, 3, 0, 0, 0x0200), fn(0, 4, 0, 0, 0x0280),
                                   fn(0, 5, 0, 0, 0x0207), fn(0, 6, 0, 0, 0x0C03),
                                   fn(0, 7, 0, 0, 0x0201)});
  EXPECT_EQ(texts(picked), (std::vector<std::string>{"0000:02:00.0", "0000:03:00.0",
                                                     "0000:04:00.0", "0000:05:00.0"}));
}

TEST(SelectCandidates, OnePerDeviceItsLowestAcceptedFunction) {
  auto picked = select_candidates({fn(0, 4, 0, 1, 0x0207), fn(0, 4, 0, 0, 0x0207),
                                   fn(0, 5, 0, 0, 0x0108), fn(0, 5, 0, 1, 0x0200),
                                   fn(0, 5, 0, 2, 0x0200), fn(0, 4, 1, 0, 0x0200)});
  EXPECT_EQ(texts(picked),
            (std::vector<std::string>{"0000:04:00.0", "0000:04:01.0", "0000:05:00.1"}));
}

TEST(SelectCandidates, AscendingAddressOrderAcrossDomains) {
  auto picked = select_candidates({fn(1, 2, 0, 0, 0x0200), fn(0, 0x81, 0, 0, 0x0200),
                                   fn(0x100, 0, 0, 0, 0x0200), fn(0, 3, 0, 0, 0x0200),
                                   fn(0xffff, 0xff, 0x1f, 7, 0x0200), fn(0x10000, 0, 0, 0, 0x0200)});
  EXPECT_EQ(texts(picked), (std::vector<std::string>{"0000:03:00.0", "0000:81:00.0", "0001:02:00.0",
                                                     "0100:00:00.0", "ffff:ff:1f.7"}));
}

TEST(SelectCandidates, NoCapOnTheirNumber) {
  std::vector<pci_function> functions;
  // 40 buses of 8 functions each, scanned from the highest bus down.
  for (int bus = 39; bus >= 0; --bus)
    for (int func = 7; func >= 0; --func) functions.push_back(fn(0, bus, 0, func, 0x0200));
  for (int slot = 0; slot < 32; ++slot) functions.push_back(fn(0, 0x80, slot, 0, 0x0207));
  auto picked = select_candidates(functions);
  ASSERT_EQ(picked.size(), 72u);
  EXPECT_EQ(pci_address_text(picked.front().address), "0000:00:00.0");
  EXPECT_EQ(pci_address_text(picked[39].address), "0000:27:00.0");
  EXPECT_EQ(pci_address_text(picked.back().address), "0000:80:1f.0");
}

TEST(ParseSysfsHex, ReadsAsPercentX) {
  struct Case {
    const char* text;
    int value;
  } cases[] = {
      {"0x15b3\n", 0x15b3}, {"0X15B3", 0x15b3}, {"15b3", 0x15b3}, {"  0x0020\n", 0x20},
      {"", 0},              {"\n", 0},          {"zz", 0},        {"0x", 0},
      {"0xg", 0},           {"0x1017junk", 0x1017},
  };
  for (const Case& c : cases) EXPECT_EQ(parse_sysfs_hex(c.text), c.value) << c.text;
}

TEST(GetPciInfo, RefusesTextThatIsNoAddress) {
  pci_ids ids;
  ids.ven_id = 7;
  EXPECT_EQ(get_pci_info("", &ids), 1);
  EXPECT_EQ(get_pci_info("../../../../etc/passwd:00.0", &ids), 1);
  EXPECT_EQ(ids.ven_id, 7);
}

}  // namespace
