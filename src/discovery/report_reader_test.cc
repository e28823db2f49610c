// Tests of reading a discovery report into NIC records.
#include "discovery/report_reader.h"

#include <gtest/gtest.h>

namespace {

TEST(Axtoi, Table) {
  struct Case {
    const char* text;
    int value;
  } cases[] = {
      {"15B3", 0x15B3}, {"15b3", 0x15B3}, {"15B3XYZ", 0x15B3}, {"15B3A", 0x15B3},
      {"0x15B3", 0},    {"", 0},          {"1003", 0x1003},    {"0050", 0x50},
      {"50", 0x50},     {"FFFF", 0xFFFF}, {"g1", 0},           {"1g", 1},
      {":", 10},        {"?", 15},        {"*+,-", 0xABCD},    {" 15B3", 0},
      {"\xC3\xA9", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(axtoi(c.text), c.value) << c.text;
}

TEST(PciAddressShape, Table) {
  struct Case {
    const char* address;
    bool ok;
  } cases[] = {
      {"0000:04:00.0", true}, {"0000:8a:1F.7", true},  {"0000:04:00.8", false},
      {"0000:04:00.", false}, {"000:04:00.0", false},  {"00000:04:00.0", false},
      {":.", false},          {"", false},             {"0000:04:00.0 ", false},
      {"0000:4:000.0", false}, {"0000-04-00.0", false}, {";touch PWNED:00.0", false},
      {"0000:0g:00.0", false}, {"0000:04:00.00", false},
  };
  for (const Case& c : cases) EXPECT_EQ(is_well_formed_pci_address(c.address), c.ok) << c.address;
}

std::string device(const std::string& leaves) { return "<device>" + leaves + "</device>"; }

std::string leaf(const char* name, const std::string& value) {
  return std::string("<") + name + " value=\"" + value + "\"/>";
}

std::string report(const std::string& devices, const std::string& header = "") {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<vantrel_rom_discovery version=\"2.0.0.0\">" +
         leaf("type", "MELLANOX_NIC") + header + "<devices>" + devices +
         "</devices></vantrel_rom_discovery>\n";
}

std::string item(const char* action, const char* active = "2.9.1000") {
  return "<fw_item>" + leaf("type", "ROM") + leaf("firmware_id", "MT_1") +
         leaf("active_version", active) + leaf("action", action) + "</fw_item>";
}

std::string address(const char* bus, const char* dev, const char* fn) {
  return leaf("busnumber", bus) + leaf("devicenumber", dev) + leaf("funcnumber", fn);
}

TEST(ReadReport, RecordFields) {
  const std::string text = report(device(
      leaf("device_id", "0000:04:00.0") + leaf("venid", "15B3") + leaf("devid", "1017") +
      leaf("subvenid", "15b3") + leaf("subdevid", "0020") + leaf("macaddress", "00:02:c9:aa:bb:cc") +
      leaf("product_id", "CX5") + address("0000:04", "00", "0") + leaf("slotnumber", "3") +
      leaf("nictype", "MELLANOX") + item("upgrade", "16.26.1040")));
  discovery_report r;
  ASSERT_EQ(read_report_text(text, &r), report_status::ok);
  ASSERT_EQ(r.devices.size(), 1u);
  const nic_info& nic = r.devices[0];
  EXPECT_EQ(nic.pinterfacename, "0000:04:00.0");
  EXPECT_EQ(nic.ven_id, 0x15B3);
  EXPECT_EQ(nic.dev_id, 0x1017);
  EXPECT_EQ(nic.sub_ven_id, 0x15B3);
  EXPECT_EQ(nic.sub_dev_id, 0x20);
  EXPECT_EQ(nic.pcurrent_mac, "00:02:c9:aa:bb:cc");
  EXPECT_EQ(nic.pxmlName[0], "CX5");
  EXPECT_EQ(nic.pPort, "3");
  EXPECT_EQ(nic.psid, "MT_1");
  EXPECT_EQ(nic.pbus_info, "0000:04:00.0");
  EXPECT_EQ(nic.uCurROMmaj, 16u);
  EXPECT_EQ(nic.uCurROMmin, 26u);
  EXPECT_EQ(nic.uCurROMrel, 1040u);
  EXPECT_EQ(nic.flags, kNicRecognised | kNicToFlash);
  EXPECT_TRUE(r.events.empty());
}

TEST(ReadReport, OnlyTheThreeActionsMarkADevice) {
  struct Case {
    const char* action;
    bool marked;
  } cases[] = {
      {"upgrade", true},   {"rewrite", true},    {"downgrade", true}, {"Nothing", false},
      {"Upgrade", false},  {"UPGRADE", false},   {"", false},         {"no upgrade", false},
      {"upgrade ", false}, {"downgrades", false},
  };
  for (const Case& c : cases) {
    discovery_report r;
    ASSERT_EQ(read_report_text(report(device(address("0000:04", "00", "0") + item(c.action))), &r),
              report_status::ok);
    ASSERT_EQ(r.devices.size(), 1u);
    EXPECT_EQ((r.devices[0].flags & kNicToFlash) != 0, c.marked) << c.action;
  }
}

TEST(ReadReport, NestedDevicesStayWithinTheTable) {
  const std::string text = report("<device><device>" + address("0000:04", "00", "0") + item("upgrade") +
                                  "</device>" + item("upgrade") + "</device>" + item("upgrade"));
  discovery_report r;
  ASSERT_EQ(read_report_text(text, &r), report_status::ok);
  ASSERT_EQ(r.devices.size(), 2u);
  EXPECT_EQ(r.devices[0].pbus_info, "0000:04:00.0");
  EXPECT_EQ(r.devices[1].pbus_info, ":.");  // its address parts never came
}

TEST(ReadReport, RunningVersionNeedsARomType) {
  const std::string text = report(device(
      leaf("active_version", "2.9.1000") +  // the header's MELLANOX_NIC is still the type
      "<fw_item>" + leaf("type", "ROM") + leaf("active_version", "n/a") + "</fw_item>"));
  discovery_report r;
  ASSERT_EQ(read_report_text(text, &r), report_status::ok);
  ASSERT_EQ(r.devices.size(), 1u);
  EXPECT_EQ(r.devices[0].flags, 0);
  EXPECT_EQ(r.devices[0].uCurROMmaj, 0u);
  EXPECT_EQ(r.events, std::vector<std::string>{"read_FW_cur_version: Error Wrong image type\n"});
}

}  // namespace
