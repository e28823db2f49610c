// Tests of the discovery report writer's values and of the written file read back.
#include "discovery/report_writer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "discovery/report_reader.h"
#include "run/temp_file.h"

namespace {

TEST(SplitPciAddress, Table) {
  struct Case {
    const char* address;
    const char* bus;
    const char* device;
    const char* function;
  } cases[] = {
      {"0000:04:00.0", "0000:04", "00", "0"},
      {"0000:8a:00.1", "0000:8a", "00", "1"},  // case and width kept
      {"10000:8A:1f.7", "10000:8A", "1f", "7"},
      {"0000:04", "", "", ""},                 // no second ':'
      {"0000:04:00", "0000:04", "", ""},       // no '.'
      {"0000:04:00.0.1", "0000:04", "00", "1"},  // the function after the last '.'
      {"", "", "", ""},
      {"a.b", "", "", "b"},
  };
  for (const Case& c : cases) {
    const pci_address_fields fields = split_pci_address(c.address);
    EXPECT_EQ(fields.busnumber, c.bus) << c.address;
    EXPECT_EQ(fields.devicenumber, c.device) << c.address;
    EXPECT_EQ(fields.funcnumber, c.function) << c.address;
  }
}

TEST(XmlSafeText, Table) {
  struct Case {
    std::string text;
    std::string safe;
  } cases[] = {
      {"MT_0000000008", "MT_0000000008"},
      {"<&\"'>", "<&\"'>"},                       // escaped by the writer, not here
      {"tab\tlf\ncr\r", "tab\tlf\ncr\r"},
      {std::string("a\x01z\x7f", 4), std::string("a?z\x7f", 4)},
      {std::string("nul\0x", 5), "nul?x"},
      {"caf\xC3\xA9", "caf\xC3\xA9"},           // UTF-8 kept
      {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
      {"\xFF\xFE", "??"},                       // not UTF-8
      {"\xC3", "?"},                            // cut sequence
      {"\xC0\xAF", "??"},                       // overlong '/'
      {"\xEF\xBF\xBE", "???"},                  // U+FFFE, not an XML character
      {"\xED\xA0\x80", "???"},                  // a surrogate
  };
  for (const Case& c : cases) EXPECT_EQ(xml_safe_text(c.text), c.safe) << c.text;
}

nic_info recognised(const char* address) {
  nic_info nic;
  nic.pinterfacename = address;
  nic.pbus_info = address;
  nic.flags = kNicRecognised;
  nic.ven_id = 0x15b3;
  nic.dev_id = 0x1003;
  nic.sub_ven_id = 0x15b3;
  nic.sub_dev_id = 0x50;
  nic.uCurROMmaj = 2;
  nic.uCurROMmin = 9;
  nic.uCurROMrel = 1000;
  return nic;
}

class ReportFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir_template[] = "/tmp/fwkit_writer_XXXXXX";
    ASSERT_NE(mkdtemp(dir_template), nullptr);
    dir_ = dir_template;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string dir_;
};

// Text the firmware tool reported is not trusted to be valid XML content;
// the report must still come out whole and read back.
TEST_F(ReportFile, HostileTextsComeOutWholeAndReadBack) {
  std::vector<nic_info> table(3);
  table[0] = recognised("0000:04:00.0");
  table[0].psid = std::string("MT_\x01\xFF<&\"x", 9);
  table[0].pxmlName[0] = "name with \"quotes\" & <tags>";
  table[1].pbus_info = "0000:05:00.0";  // not recognised: not reported
  table[2] = recognised("0000:8a:00.1");
  table[2].psid = "MT_2";

  const std::string path = dir_ + "/report.xml";
  ASSERT_EQ(write_discovery_report(table, path), 0);
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  const mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask);

  discovery_report report;
  ASSERT_EQ(read_report_file(path, &report), report_status::ok);
  ASSERT_EQ(report.devices.size(), 2u);
  EXPECT_EQ(report.devices[0].psid, "MT_?\?<&\"x");
  EXPECT_EQ(report.devices[0].pxmlName[0], "name with \"quotes\" & <tags>");
  EXPECT_EQ(report.devices[0].ven_id, 0x15B3);
  EXPECT_EQ(report.devices[0].sub_dev_id, 0x50);
  EXPECT_EQ(report.devices[1].pinterfacename, "0000:8a:00.1");
  EXPECT_EQ(report.devices[1].busnumber, "0000:8a");
  EXPECT_EQ(report.devices[1].psid, "MT_2");
  EXPECT_TRUE(report.devices[1].flags & kNicRecognised);
  EXPECT_EQ(report.devices[1].uCurROMmin, 9u);
}

TEST_F(ReportFile, APathWithPercentIsTakenAsItStands) {
  const std::string path = dir_ + "/x%41y.xml";
  ASSERT_EQ(write_discovery_report({recognised("0000:04:00.0")}, path), 0);
  EXPECT_EQ(access(path.c_str(), F_OK), 0);
  EXPECT_NE(access((dir_ + "/xAy.xml").c_str(), F_OK), 0);
}

TEST_F(ReportFile, FailedSaveLeavesTheOldReportAndNoTemporaryFile) {
  const std::string path = dir_ + "/report.xml";
  ASSERT_EQ(write_discovery_report({recognised("0000:04:00.0")}, path), 0);
  std::string before;
  ASSERT_TRUE(read_file_text(path, &before));
  // A directory where the report should go cannot be replaced by a file.
  const std::string blocked = dir_ + "/sub";
  ASSERT_EQ(mkdir(blocked.c_str(), 0755), 0);
  EXPECT_NE(write_discovery_report({recognised("0000:04:00.0")}, blocked), 0);
  EXPECT_NE(write_discovery_report({recognised("0000:04:00.0")}, dir_ + "/missing/r.xml"), 0);
  EXPECT_NE(write_discovery_report({recognised("0000:04:00.0")}, dir_ + "/"), 0);
  std::string after;
  ASSERT_TRUE(read_file_text(path, &after));
  EXPECT_EQ(after, before);
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir_))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"report.xml", "sub"}));
}

}  // namespace
