// Operator sessions of `fwkit -c`: the inventory of a simulated server and its firmware report.
#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "sim_harness.h"

namespace {

using e2e::RunResult;
using e2e::SimServer;

const std::string kRow(98, '#');
const std::string kRule = std::string(72, '-') + "\n";
const char* const kBlockHead =
    "     (Installed)           (Available)\n"
    "     Image      Version      Image        Version     \t\tInterface\n";

std::string after_banner(const std::string& out) {
  size_t end = out.find(kRow + "\n\n", 100);
  return end == std::string::npos ? out : out.substr(end + kRow.size() + 2);
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

size_t count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t pos = text.find(part); pos != std::string::npos; pos = text.find(part, pos + 1)) ++n;
  return n;
}

// The diagnostic file a run names on its console; removed when the test ends.
class DiagnosticFile {
 public:
  explicit DiagnosticFile(const std::string& out) {
    std::smatch m;
    static const std::regex kLine(
        "If PSID or FW_Version is not found for some interfaces, please check (/tmp/data[A-Za-z0-9]{6})\n");
    if (std::regex_search(out, m, kLine)) path_ = m[1];
  }
  ~DiagnosticFile() {
    if (!path_.empty()) std::remove(path_.c_str());
  }
  DiagnosticFile(const DiagnosticFile&) = delete;
  DiagnosticFile& operator=(const DiagnosticFile&) = delete;

  const std::string& path() const { return path_; }
  std::string text() const { return e2e::read_file(path_); }

 private:
  std::string path_;
};

// The event lines of the log, each "TAG [time] TEXT" with the time taken out.
std::vector<std::string> events(const SimServer& server) {
  std::vector<std::string> out;
  if (!server.exists("mstflint.log")) return out;
  static const std::regex kEvent(R"((\[[A-Z]+\] +) \[[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]\d \d\d:\d\d:\d\d \d{4}\] (.*))");
  std::string log = server.read("mstflint.log");
  size_t start = 0;
  while (start < log.size()) {
    size_t end = log.find('\n', start);
    if (end == std::string::npos) end = log.size();
    std::string line = log.substr(start, end - start);
    std::smatch m;
    if (std::regex_match(line, m, kEvent)) out.push_back(m[1].str() + m[2].str());
    start = end + 1;
  }
  return out;
}

std::vector<std::string> queried_addresses(const SimServer& server) {
  std::vector<std::string> out;
  for (const e2e::ToolCall& call : server.calls()) {
    if (call.tool == "mstflint" && call.argv.size() == 3 && call.argv[0] == "-d" && call.argv[2] == "q")
      out.push_back(call.argv[1]);
  }
  return out;
}

// One catalog element in the documented attribute order.
std::string image(const std::string& name, const std::string& devid, const std::string& psid,
                  const std::string& subdevid, const std::string& rom) {
  return R"({"name": ")" + name + R"(", "venid": "15B3", "devid": ")" + devid +
         R"(", "subvenid": "15B3", "PSID": ")" + psid + R"(", "subdevid": ")" + subdevid +
         R"(", "rom": ")" + rom + R"(", "fwFile": "img_)" + rom + R"(.bin"})";
}

std::string cx5_function(const std::string& address, const std::string& firmware,
                         const std::string& extra = "") {
  return R"({"address": ")" + address +
         R"(", "class": "0x020000", "vendor": "0x15b3", "device": "0x1017",
            "subsystem_vendor": "0x15b3", "subsystem_device": "0x0020", "firmware": ")" +
         firmware + R"(", "psid": "MT_0000000008")" + extra + "}";
}

TEST(CurrentReportSession, SampleServerShowsBothAdaptersOfTheVendor) {
  SimServer server(e2e::sample_server());
  RunResult r = server.run({"-c"});
  DiagnosticFile diagnostics(r.out);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  ASSERT_FALSE(diagnostics.path().empty()) << r.out;

  EXPECT_EQ(after_banner(r.out),
            "List of Network Adapters detected on the Server.................\n"
            "[0] 0000:02:00.0 Intel Corporation\n"
            "[1] 0000:04:00.0 Mellanox Technologies\n"
            "[2] 0000:81:00.0 Mellanox Technologies\n"
            "\n"
            "If PSID or FW_Version is not found for some interfaces, please check " +
                diagnostics.path() +
                "\n\n"
                "Interface 0000:02:00.0 is not Mellanox one.\n"
                "\n"
                "Mellanox card info for 0000:04:00.0 = FW_VERSION 16.26.1040, BUS_INFO 0000:04:00.0, "
                "PSID MT_0000000008\n"
                "0000:04:00.0\n"
                "DEVICE INFO---------->15b3 1017 15b3 20\n"
                "pciIdString-------------->15B3-1017-15B3-0020-MT_0000000008\n"
                "\n"
                "\n"
                "Mellanox card info for 0000:81:00.0 = FW_VERSION 14.31.1014, BUS_INFO 0000:81:00.0, "
                "PSID MT_2420110034\n"
                "0000:81:00.0\n"
                "DEVICE INFO---------->15b3 1015 15b3 3\n"
                "pciIdString-------------->15B3-1015-15B3-0003-MT_2420110034\n"
                "\n"
                " PCI-ID              \t\tNIC\n"
                "15B3-1017-15B3-0020 \tConnectX-5 EN 25GbE dual-port SFP28 \n"
                "\n" +
                kBlockHead + kRule +
                "      ROM       16.26.1040    ROM\t\t16.27.2008\t\t0000:04:00.0\n"
                "                               \t\t16.28.2006\t\t0000:04:00.0\n"
                "\n"
                " PCI-ID              \t\tNIC\n"
                "15B3-1015-15B3-0003 \tConnectX-4 Lx EN 25GbE dual-port SFP28 \n"
                "\n" +
                kBlockHead + kRule +
                "      ROM       14.31.1014    ROM\t\t14.31.1014\t\t0000:81:00.0\n"
                "                               \t\t14.32.1010\t\t0000:81:00.0\n"
                "\n");

  // One query per adapter of the vendor (the dual-port board is one
  // adapter); nothing else is asked, nothing is logged, nothing is missing.
  EXPECT_EQ(queried_addresses(server), (std::vector<std::string>{"0000:04:00.0", "0000:81:00.0"}));
  EXPECT_EQ(server.calls().size(), 2u);
  EXPECT_TRUE(events(server).empty()) << server.read("mstflint.log");
  EXPECT_EQ(diagnostics.text(), "");
  EXPECT_EQ(server.firmware("0000:04:00.0"), "16.26.1040");
}

TEST(CurrentReportSession, AdapterWithoutCatalogImageGetsTheNothingRowAndAnEvent) {
  SimServer server(R"({"functions": [)" +
                   cx5_function("0000:04:00.0", "16.26.1040") + "," +
                   R"({"address": "0000:05:00.0", "class": "0x020700", "vendor": "0x15b3",
                       "device": "0x101b", "subsystem_vendor": "0x15b3", "subsystem_device": "0x0007",
                       "firmware": "20.31.1014", "psid": "MT_0000000223"}]})");
  RunResult r = server.run({"-c"});
  DiagnosticFile diagnostics(r.out);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(contains(r.out,
                       " PCI-ID              \t\tNIC\n"
                       "15B3-101B-15B3-0007 \t \n"
                       "\n" +
                           std::string(kBlockHead) + kRule +
                           "      ROM       20.31.1014    ROM\t\tNothing\t\t\t0000:05:00.0\n"
                           "\n"))
      << r.out;
  EXPECT_EQ(count(r.out, " PCI-ID "), 2u);
  EXPECT_EQ(events(server),
            (std::vector<std::string>{"[ERROR]    For 0000:05:00.0 no matching firmware file in XML"}));
  EXPECT_TRUE(contains(server.read("mstflint.log"), "no matching firmware file in XML\n\n"));
}

TEST(CurrentReportSession, AdapterWhoseQueryFailsIsNamedInTheDiagnosticFileOnly) {
  // The first board's report has no PSID line; the second board has a
  // version line but nothing after its label; the third answers nothing
  // at all (the tool refuses the device).
  SimServer server(R"({"functions": [
    {"address": "0000:04:00.0", "class": "0x020000", "vendor": "0x15b3", "device": "0x1017",
     "subsystem_vendor": "0x15b3", "subsystem_device": "0x0020", "firmware": "16.26.1040"},
    {"address": "0000:05:00.0", "class": "0x020000", "vendor": "0x15b3", "device": "0x1017",
     "firmware": "x", "query_output": "FW Version:        \nPSID:  MT_0000000008\n"},
    {"address": "0000:06:00.0", "class": "0x020000", "vendor": "0x15b3", "device": "0x1017"},
    {"address": "0000:81:00.0", "class": "0x020000", "vendor": "0x15b3", "device": "0x1015",
     "subsystem_vendor": "0x15b3", "subsystem_device": "0x0003",
     "firmware": "14.31.1014", "psid": "MT_2420110034"}]})");
  RunResult r = server.run({"-c"});
  DiagnosticFile diagnostics(r.out);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");

  static const std::regex kDiagnostics(
      "\n\nFWUPG_ERROR: get_firmware_info filed RC = 1\nnic_table\\.cc,\\d+\n\n"
      "\n\nFWUPG_ERROR: PSID or FW_Version is not found for 0000:04:00\\.0 interface\n"
      "\n\nFWUPG_ERROR: get_firmware_info filed RC = 1\nnic_table\\.cc,\\d+\n\n"
      "\n\nFWUPG_ERROR: PSID or FW_Version is not found for 0000:05:00\\.0 interface\n"
      "\n\nFWUPG_ERROR: get_firmware_info filed RC = 1\nnic_table\\.cc,\\d+\n\n"
      "\n\nFWUPG_ERROR: get_firmware_info filed RC = 1\nnic_table\\.cc,\\d+\n\n"
      "\n\nFWUPG_ERROR: PSID or FW_Version is not found for 0000:06:00\\.0 interface\n");
  EXPECT_TRUE(std::regex_match(diagnostics.text(), kDiagnostics)) << diagnostics.text();

  // Only the board that answered is reported, and it is the only one
  // whose identity was read.
  EXPECT_EQ(count(r.out, " PCI-ID "), 1u);
  EXPECT_TRUE(contains(r.out, "15B3-1015-15B3-0003 \tConnectX-4 Lx EN 25GbE dual-port SFP28 \n"));
  EXPECT_EQ(count(r.out, "Mellanox card info for"), 1u);
  EXPECT_EQ(count(r.out, "DEVICE INFO"), 1u);
  EXPECT_EQ(queried_addresses(server).size(), 4u);
  EXPECT_TRUE(events(server).empty());
}

TEST(CurrentReportSession, WithoutTheFirmwareToolNoAdapterIsReadYetTheReportSucceeds) {
  SimServer server(e2e::sample_server());
  server.remove("nic_fw/mstflint");
  RunResult r = server.run({"-c"});
  DiagnosticFile diagnostics(r.out);
  EXPECT_EQ(r.status, 0);
  EXPECT_FALSE(contains(r.out, " PCI-ID "));
  EXPECT_FALSE(contains(r.out, "Mellanox card info"));
  EXPECT_EQ(count(diagnostics.text(), "get_firmware_info filed RC = 1"), 4u);
  EXPECT_TRUE(contains(diagnostics.text(), "PSID or FW_Version is not found for 0000:04:00.0 interface\n"));
  EXPECT_TRUE(contains(diagnostics.text(), "PSID or FW_Version is not found for 0000:81:00.0 interface\n"));
}

TEST(CurrentReportSession, ImagesOfOneBoardAreListedLowestFirst) {
  // Catalog order is neither ascending nor descending, and one pair of
  // versions differs in the width of its minor field.
  SimServer server(R"({"functions": [)" + cx5_function("0000:04:00.0", "16.9.1200") +
                   R"(], "catalog": [)" +
                   image("ConnectX-5 EN", "1017", "MT_0000000008", "0020", "16.28.2006") + "," +
                   image("ConnectX-5 EN", "1017", "MT_0000000008", "0020", "16.10.700") + "," +
                   image("ConnectX-4 Lx", "1015", "MT_2420110034", "0003", "14.32.1010") + "," +
                   image("ConnectX-5 EN", "1017", "MT_0000000008", "0020", "16.9.1200") + "]}");
  RunResult r = server.run({"-c"});
  DiagnosticFile diagnostics(r.out);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(contains(r.out,
                       "15B3-1017-15B3-0020 \tConnectX-5 EN \n\n" + std::string(kBlockHead) + kRule +
                           "      ROM       16.9.1200    ROM\t\t 16.9.1200\t\t0000:04:00.0\n"
                           "                               \t\t 16.10.700\t\t0000:04:00.0\n"
                           "                               \t\t16.28.2006\t\t0000:04:00.0\n"
                           "\n"))
      << r.out;
  EXPECT_FALSE(contains(r.out, "14.32.1010"));
}

TEST(CurrentReportSession, CatalogAttributesCountPerElementInAnyOrder) {
  // The board's PSID comes after "subdevid", and an element for another
  // board, placed between, carries its rom and fwFile before "subdevid".
  std::string xml =
      "<?xml version=\"1.0\"?>\n<NICFWData>\n"
      "<Image name=\"CX5 late PSID\" venid=\"15B3\" devid=\"1017\" subvenid=\"15B3\" subdevid=\"0020\" "
      "PSID=\"MT_0000000008\" rom=\"16.27.2008\" fwFile=\"a.bin\"/>\n"
      "<Image name=\"Other\" venid=\"15B3\" devid=\"1015\" subvenid=\"15B3\" PSID=\"MT_2420110034\" "
      "rom=\"99.9.9\" fwFile=\"wrong.bin\" subdevid=\"0003\"/>\n"
      "<Image name=\"No PSID\" venid=\"15B3\" devid=\"1017\" subvenid=\"15B3\" subdevid=\"0020\" "
      "rom=\"98.0.0\"/>\n"
      "</NICFWData>\n";
  std::string escaped;
  for (char c : xml) {
    if (c == '"') escaped += "\\\"";
    else if (c == '\n') escaped += "\\n";
    else escaped += c;
  }
  SimServer server(R"({"functions": [)" + cx5_function("0000:04:00.0", "16.26.1040") +
                   R"(], "catalog_xml": ")" + escaped + "\"}");
  RunResult r = server.run({"-c"});
  DiagnosticFile diagnostics(r.out);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(contains(r.out, "15B3-1017-15B3-0020 \tCX5 late PSID \n")) << r.out;
  EXPECT_TRUE(contains(r.out, "      ROM       16.26.1040    ROM\t\t16.27.2008\t\t0000:04:00.0\n\n"))
      << r.out;
  EXPECT_FALSE(contains(r.out, "99.9.9"));
  EXPECT_FALSE(contains(r.out, "98.0.0"));
}

TEST(CurrentReportSession, UnusualToolReportsAreStillRead) {
  // Labels in other letter case, a report that ends without a newline, and
  // a PSID on a line ending in CR LF: each value is read whole.
  SimServer server(R"({"functions": [)" +
                   cx5_function("0000:04:00.0", "x",
                                R"(, "query_output": "fw version:    16.26.1040\nPsid:  MT_0000000008")") +
                   "," +
                   cx5_function("0000:05:00.0", "x",
                                R"(, "query_output": "FW Version: 16.27.2008\r\nPSID: MT_0000000008\r\n")") +
                   "]}");
  RunResult r = server.run({"-c"});
  DiagnosticFile diagnostics(r.out);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(contains(r.out, "pciIdString-------------->15B3-1017-15B3-0020-MT_0000000008\n\n")) << r.out;
  EXPECT_TRUE(contains(r.out, "      ROM       16.26.1040    ROM\t\t16.27.2008\t\t0000:04:00.0\n"));
  EXPECT_TRUE(contains(r.out, "      ROM       16.27.2008    ROM\t\t16.27.2008\t\t0000:05:00.0\n"));
  EXPECT_EQ(diagnostics.text(), "");
  EXPECT_TRUE(events(server).empty());
}

TEST(CurrentReportSession, MissingCatalogEndsTheRunWithOneEvent) {
  SimServer server(e2e::sample_server());
  server.remove("nic_fw/NICFWData.xml");
  RunResult r = server.run({"-c"});
  DiagnosticFile diagnostics(r.out);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(events(server), (std::vector<std::string>{"[ERROR]    Unable to open nic_fw/NICFWData.xml"}));
  // The catalog is opened once, for the first adapter that was read.
  EXPECT_TRUE(contains(r.out, "pciIdString-------------->15B3-1017-15B3-0020-MT_0000000008\n\n"));
  EXPECT_FALSE(contains(r.out, "Mellanox card info for 0000:81:00.0"));
  EXPECT_FALSE(contains(r.out, " PCI-ID "));
  EXPECT_EQ(queried_addresses(server), std::vector<std::string>{"0000:04:00.0"});
}

TEST(CurrentReportSession, CatalogIsNotNeededWhenNoAdapterIsRead) {
  // No adapter of the vendor could be read, so the catalog is never needed.
  SimServer server(e2e::sample_server());
  server.remove("nic_fw/NICFWData.xml");
  server.remove("nic_fw/mstflint");
  RunResult r = server.run({"-c"});
  DiagnosticFile diagnostics(r.out);
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(events(server).empty());
}

TEST(CurrentReportSession, BrokenCatalogKeepsTheImagesBeforeTheFault) {
  SimServer server(R"({"functions": [)" + cx5_function("0000:04:00.0", "16.26.1040") +
                   R"(], "catalog_xml": "<?xml version=\"1.0\"?>\n<NICFWData>\n<Image name=\"CX5\" venid=\"15B3\" devid=\"1017\" subvenid=\"15B3\" PSID=\"MT_0000000008\" subdevid=\"0020\" rom=\"16.27.2008\" fwFile=\"a.bin\"/>\n<Image name=\"CX5\" venid=\"15B3\" devid=\"1017\" subvenid=\"15B3\" PSID=\"MT_0000000008\" subdevid=\"0020\" rom=\"16.28.2006\" fwFile=\"b.bin\"/>\n<Image name=\"CX5\" venid=\"15B3\" devid=\"1017\" subvenid=\"15B3\" PSID=\"MT_0000000008\" subdevid=\"0020\" rom=\"16.29.1016\" fwFile=\"c.bin\"\n"})");
  RunResult r = server.run({"-c"});
  DiagnosticFile diagnostics(r.out);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(contains(r.out,
                       "      ROM       16.26.1040    ROM\t\t16.27.2008\t\t0000:04:00.0\n"
                       "                               \t\t16.28.2006\t\t0000:04:00.0\n\n"))
      << r.out;
  EXPECT_FALSE(contains(r.out, "16.29.1016"));
  EXPECT_TRUE(std::regex_search(r.err, std::regex("^nic_fw/NICFWData\\.xml:\\d+: parser error : ")))
      << r.err;
  EXPECT_TRUE(events(server).empty());
}

}  // namespace
