// Operator sessions of `fwkit -c`: the adapter inventory of a simulated server and its firmware report.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <regex>

#include "sim_harness.h"

namespace {

using namespace e2e;
using Lines = std::vector<std::string>;

const std::string kListHead = "List of Network Adapters detected on the Server.................\n";
const std::string kDiag = "\nIf PSID or FW_Version is not found for some interfaces, please check DIAG\n\n";
const std::string kUnreadRc = "\n\nFWUPG_ERROR: get_firmware_info filed RC = 1\nnic_table.cc,N\n\n";
const std::string kBlockHead = "\n     (Installed)           (Available)\n"
                               "     Image      Version      Image        Version     \t\tInterface\n" +
                               std::string(72, '-') + "\n";

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Source lines in internal error messages ("nic_table.cc,123") as "nic_table.cc,N".
std::string unnumbered(const std::string& text) { return std::regex_replace(text, std::regex("\\.cc,\\d+"), ".cc,N"); }

std::string not_found(const std::string& address) {
  return "\n\nFWUPG_ERROR: PSID or FW_Version is not found for " + address + " interface\n";
}

// The console after the banner, the diagnostic file's name as "DIAG".
std::string report(const std::string& out, const std::string& diag) {
  size_t end = out.find(std::string(98, '#') + "\n\n", 100);
  std::string rest = end == std::string::npos ? out : out.substr(end + 100);
  size_t at = rest.find(diag);
  return diag.empty() || at == std::string::npos ? rest : rest.replace(at, diag.size(), "DIAG");
}

// The diagnostic file a run names on its console, removed when the test ends.
struct Diagnostics {
  std::string path;
  explicit Diagnostics(const std::string& out) {
    if (size_t at = out.find("please check /tmp/data"); at != std::string::npos) path = out.substr(at + 13, 15);
  }
  ~Diagnostics() { std::remove(path.c_str()); }
  std::string text() const { return unnumbered(read_file(path)); }
};

// The event log without the time stamps.
std::string events(const SimServer& server) {
  if (!server.exists("mstflint.log")) return "";
  static const std::regex kStamp(R"( \[\w{3} \w{3} [ \d]\d \d\d:\d\d:\d\d \d{4}\] )");
  return std::regex_replace(server.read("mstflint.log"), kStamp, "");
}

Lines calls(const SimServer& server) {
  Lines out;
  for (const ToolCall& call : server.calls()) {
    out.push_back(call.tool);
    for (const std::string& arg : call.argv) out.back() += " " + arg;
  }
  return out;
}

std::string fn(const std::string& address, const std::string& cls, const std::string& vendor,
               const std::string& device, const std::string& extra = "") {
  return R"({"address": ")" + address + R"(", "class": ")" + cls + R"(", "vendor": ")" + vendor +
         R"(", "device": ")" + device + "\"" + extra + "}";
}

std::string cx5(const std::string& address, const std::string& extra) {
  return fn(address, "0x020000", "0x15b3", "0x1017", R"(, "subsystem_device": "0x0020")" + extra);
}

const std::string kSampleList = kListHead +
    "[0] 0000:02:00.0 Intel Corporation\n[1] 0000:04:00.0 Mellanox Technologies\n"
    "[2] 0000:81:00.0 Mellanox Technologies\n" + kDiag + "Interface 0000:02:00.0 is not Mellanox one.\n";
const std::string kSampleReport = kSampleList +
    "\nMellanox card info for 0000:04:00.0 = FW_VERSION 16.26.1040, BUS_INFO 0000:04:00.0, "
    "PSID MT_0000000008\n0000:04:00.0\nDEVICE INFO---------->15b3 1017 15b3 20\n"
    "pciIdString-------------->15B3-1017-15B3-0020-MT_0000000008\n\n"
    "\nMellanox card info for 0000:81:00.0 = FW_VERSION 14.31.1014, BUS_INFO 0000:81:00.0, "
    "PSID MT_2420110034\n0000:81:00.0\nDEVICE INFO---------->15b3 1015 15b3 3\n"
    "pciIdString-------------->15B3-1015-15B3-0003-MT_2420110034\n\n"
    " PCI-ID              \t\tNIC\n15B3-1017-15B3-0020 \tConnectX-5 EN 25GbE dual-port SFP28 \n" +
    kBlockHead +
    "      ROM       16.26.1040    ROM\t\t16.27.2008\t\t0000:04:00.0\n"
    "                               \t\t16.28.2006\t\t0000:04:00.0\n\n"
    " PCI-ID              \t\tNIC\n15B3-1015-15B3-0003 \tConnectX-4 Lx EN 25GbE dual-port SFP28 \n" +
    kBlockHead +
    "      ROM       14.31.1014    ROM\t\t14.31.1014\t\t0000:81:00.0\n"
    "                               \t\t14.32.1010\t\t0000:81:00.0\n\n";

TEST(CurrentReportSession, SampleServerThenWithoutCatalogThenWithoutTool) {
  SimServer server(sample_server());
  RunResult r = server.run({"-c"});
  Diagnostics full(r.out);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(report(r.out, full.path), kSampleReport);
  EXPECT_EQ(full.text(), "");
  // One query per adapter of the vendor (the dual-port board is one adapter).
  EXPECT_EQ(calls(server), (Lines{"mstflint -d 0000:04:00.0 q", "mstflint -d 0000:81:00.0 q"}));
  EXPECT_EQ(events(server), "");

  // The catalog is opened once, for the first adapter read, and ends the run.
  server.remove("nic_fw/NICFWData.xml");
  r = server.run({"-c"});
  Diagnostics no_catalog(r.out);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(report(r.out, no_catalog.path),
            kSampleReport.substr(0, kSampleReport.find("\nMellanox card info for 0000:81")));
  EXPECT_EQ(calls(server).size(), 3u);
  EXPECT_EQ(events(server), "[ERROR]    Unable to open nic_fw/NICFWData.xml\n\n");

  // No adapter can be read: each is named in the diagnostic file, no block, no catalog needed.
  server.remove("nic_fw/mstflint");
  r = server.run({"-c"});
  Diagnostics no_tool(r.out);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(report(r.out, no_tool.path), kSampleList);
  EXPECT_EQ(no_tool.text(), kUnreadRc + kUnreadRc + not_found("0000:04:00.0") + kUnreadRc + kUnreadRc +
                                not_found("0000:81:00.0"));
  EXPECT_EQ(events(server), "[ERROR]    Unable to open nic_fw/NICFWData.xml\n\n");
}

TEST(CurrentReportSession, LargeServerWithUnusualAdaptersAndABrokenCatalog) {
  // Not in address order, so that no order comes for free.
  std::string description =
      cx5("0100:02:00.0", R"(, "firmware": "16.26.1040", "psid": "MT_0000000008")") + "," +
      cx5("0000:07:00.0", "") + "," +                                // the tool refuses it
      cx5("0000:06:00.0", R"(, "firmware": "16.26.1040")") + "," +  // no PSID line
      fn("0000:05:00.0", "0x020700", "0x15b3", "0x101b",
         R"(, "subsystem_device": "0x7", "firmware": "20.31.1014", "psid": "MT_0000000223")") + "," +
      cx5("0000:04:00.0", R"(, "firmware": "16.9.1200", "psid": "MT_0000000008")");
  for (int i = 103; i >= 0; --i) {
    char address[16];
    std::snprintf(address, sizeof address, "0000:%02x:%02x.0", 0x10 + i / 32, i % 32);
    description += "," + fn(address, "0x020000", "0x8086", "0x1521");
  }
  SimServer server(R"({"functions": [)" + description + "]}");
  std::string xml = "<?xml version=\"1.0\"?>\n<NICFWData>\n";
  for (std::string rom : {"16.28.2006", "16.10.700", "16.9.1200", "16.29.1016"})
    xml += R"(<Image name="ConnectX-5 EN" venid="15B3" devid="1017" subvenid="15B3" PSID="MT_0000000008" )"
           R"(subdevid="0020" fwFile="a.bin" rom=")" + rom + "\"/>\n";
  xml.resize(xml.size() - 3);  // the last element breaks off before its "/>"
  server.write("nic_fw/NICFWData.xml", xml);

  RunResult r = server.run({"-c"});
  Diagnostics diagnostics(r.out);
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(std::regex_match(r.err, std::regex("nic_fw/NICFWData\\.xml:\\d+: parser error : .+\n"))) << r.err;
  Lines listed;  // "ADDRESS VENDOR" of each "[i] " line, i counting up from 0
  std::regex entry(R"(\[(\d+)\] ([^\n]*)\n)");
  for (auto it = std::sregex_iterator(r.out.begin(), r.out.end(), entry); it != std::sregex_iterator(); ++it) {
    EXPECT_EQ(std::stoul((*it)[1]), listed.size());
    listed.push_back((*it)[2]);
  }
  EXPECT_EQ(listed.size(), 104u + 5);
  EXPECT_TRUE(std::is_sorted(listed.begin(), listed.end()));
  EXPECT_EQ(listed.back(), "0100:02:00.0 Mellanox Technologies");
  EXPECT_EQ(calls(server), (Lines{"mstflint -d 0000:04:00.0 q", "mstflint -d 0000:05:00.0 q",
                                  "mstflint -d 0000:06:00.0 q", "mstflint -d 0000:07:00.0 q",
                                  "mstflint -d 0100:02:00.0 q"}));

  // A board's images lowest first, as numbers; none from after the catalog's fault.
  EXPECT_TRUE(contains(r.out, "15B3-1017-15B3-0020 \tConnectX-5 EN \n" + kBlockHead +
                                  "      ROM       16.9.1200    ROM\t\t 16.9.1200\t\t0000:04:00.0\n"
                                  "                               \t\t 16.10.700\t\t0000:04:00.0\n"
                                  "                               \t\t16.28.2006\t\t0000:04:00.0\n\n"))
      << r.out;
  EXPECT_TRUE(contains(r.out, " PCI-ID              \t\tNIC\n15B3-101B-15B3-0007 \t \n" + kBlockHead +
                                  "      ROM       20.31.1014    ROM\t\tNothing\t\t\t0000:05:00.0\n\n"));
  EXPECT_EQ(events(server), "[ERROR]    For 0000:05:00.0 no matching firmware file in XML\n\n");
  // The unread adapters are named in the diagnostic file, and nowhere else.
  EXPECT_EQ(diagnostics.text(),
            kUnreadRc + not_found("0000:06:00.0") + kUnreadRc + kUnreadRc + not_found("0000:07:00.0"));
  EXPECT_FALSE(contains(r.out, "info for 0000:06:00.0") || contains(r.out, "info for 0000:07:00.0"));
}

TEST(CurrentReportSession, RunsWithoutAnAdapterToReportNeedNoCatalog) {
  const std::string none = "NO Interface Found\n" + kListHead + kDiag;
  const std::string no_list = "\n\nFWUPG_ERROR: get_interface_list filed RC = 1\nnic_table.cc,N\n\n";
  struct Case {
    std::string functions;
    int status;
    size_t queries;
    std::string report, err;
  } cases[] = {
      {"", 0, 0, none, no_list},
      {fn("0000:01:00.0", "0x010802", "0x144d", "0xa808"), 0, 0, none, no_list},
      {fn("0000:02:00.0", "0x020000", "0x8086", "0x1521") + "," +
           fn("0000:03:00.0", "0x028000", "0x14e4", "0x1657") + "," +
           fn("0000:04:00.0", "0x020000", "0xfff0", "0x0001"),
       0, 0,
       kListHead + "[0] 0000:02:00.0 Intel Corporation\n[1] 0000:03:00.0 Broadcom Inc. and subsidiaries\n" +
           "[2] 0000:04:00.0 Vendor fff0\n" + kDiag + "Interface 0000:02:00.0 is not Mellanox one.\n" +
           "Interface 0000:03:00.0 is not Mellanox one.\nInterface 0000:04:00.0 is not Mellanox one.\n",
       ""},
      // A missing sysfs identity file ends the run before the catalog is needed.
      {cx5("0000:04:00.0", R"(, "firmware": "1.2.3", "psid": "MT_1", "omit_sysfs": ["subsystem_device"])"),
       1, 1,
       kListHead + "[0] 0000:04:00.0 Mellanox Technologies\n" + kDiag +
           "\nMellanox card info for 0000:04:00.0 = FW_VERSION 1.2.3, BUS_INFO 0000:04:00.0, PSID MT_1\n"
           "0000:04:00.0\n",
       "ERROR: could not open /sys/bus/pci/devices/0000:04:00.0/subsystem_device (errno=2), pci_enum.cc,N\n"
       "\n\nFWUPG_ERROR: RC = 1\nnic_table.cc,N\n\n"},
  };
  for (const Case& c : cases) {
    SimServer server(R"({"functions": [)" + c.functions + "]}");
    server.remove("nic_fw/NICFWData.xml");
    RunResult r = server.run({"-c"});
    Diagnostics diagnostics(r.out);
    EXPECT_EQ(r.status, c.status) << c.functions;
    EXPECT_EQ(report(r.out, diagnostics.path), c.report);
    EXPECT_EQ(unnumbered(r.err), c.err);
    EXPECT_EQ(calls(server).size(), c.queries);
    EXPECT_EQ(events(server), "");
  }
}

}  // namespace
