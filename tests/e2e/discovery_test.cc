// Operator sessions of the discovery report: -d writes it, -u applies it, on simulated servers.
#include <signal.h>

#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <sys/stat.h>

#include <filesystem>
#include <set>

#include "sim_harness.h"

namespace e2e {
namespace {

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// An element as one line: name, "=v" per attribute "value", " @a=v" per other, [children].
std::string flatten(xmlNode* node) {
  std::string line = reinterpret_cast<const char*>(node->name), inner;
  for (xmlAttr* a = node->properties; a; a = a->next) {
    const std::string name = reinterpret_cast<const char*>(a->name);
    xmlChar* v = xmlGetProp(node, a->name);
    line += (name == "value" ? "=" : " @" + name + "=") + reinterpret_cast<const char*>(v);
    xmlFree(v);
  }
  for (xmlNode* c = node->children; c; c = c->next) {
    if (!xmlIsBlankNode(c))
      inner += (inner.empty() ? "" : " ") + (c->type == XML_ELEMENT_NODE ? flatten(c) : "#");
  }
  return inner.empty() ? line : line + "[" + inner + "]";
}

// A written report read back as XML, the way fleet tooling reads it.
std::string parse(const std::string& text) {
  xmlDoc* doc = xmlReadMemory(text.data(), static_cast<int>(text.size()), nullptr, nullptr, 0);
  if (!doc) return "not well-formed XML";
  std::string line = flatten(xmlDocGetRootElement(doc));
  xmlFreeDoc(doc);
  return line;
}

// What -d should write, flattened: the header, then one element per adapter.
std::string report(const std::string& devices) {
  return "vantrel_rom_discovery @version=2.0.0.0[type=MELLANOX_NIC alt_name=fwkit - network "
         "adapter firmware update utility version=1.0.0 takes_effect=reboot devices[" +
         devices.substr(1) + "]]";
}

// One adapter's element, for a board of vendor 15B3, after a blank.
std::string device(const std::string& a, const std::string& devid, const std::string& subdev,
                   const std::string& product, const std::string& psid, const std::string& version,
                   const std::string& active, const std::string& action) {
  return " device[device_id=" + a + " venid=15B3 devid=" + devid + " subvenid=15B3 subdevid=" +
         subdev + " macaddress= product_id=" + product +
         " busnumber=" + a.substr(0, 7) + " devicenumber=" + a.substr(8, 2) + " funcnumber=" +
         a.substr(11) + " slotnumber= nictype=MELLANOX fw_item[type=ROM firmware_id=" + psid +
         " version=" + version + " active_version=" + active + " action=" + action +
         " duration=210 message= shared=no]]";
}

// The tool calls from the `from`-th on, as "tool arguments", getmlnxinfo's with its output.
std::vector<std::string> calls(const SimServer& server, size_t from = 0) {
  std::vector<std::string> found;
  const std::vector<ToolCall> all = server.calls();
  for (size_t i = from; i < all.size(); ++i) {
    std::string call = all[i].tool;
    for (const std::string& arg : all[i].argv) call += " " + arg;
    found.push_back(call + (all[i].tool == "getmlnxinfo" ? " >" + all[i].stdout_kind : ""));
  }
  return found;
}

std::string burn(const std::string& address, const std::string& image) {
  return "mstflint -s -y -d " + address + " -i ./nic_fw/" + image + " b";
}

std::set<std::string> files(const SimServer& server) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(server.dir()))
    names.insert(entry.path().filename().string());
  return names;
}

const char* const kClosingError = "read_discovery_report: Error at read_NIC_FW_xml_file";

TEST(DiscoveryReport, SampleServerThenPathsThatCannotBeWritten) {
  SimServer server(sample_server());
  ASSERT_EQ(server.run({"-d"}).status, 0);
  const std::string text = server.read("nicdiscovery.xml");
  // The NVMe drive, the Intel port and the second function of the ConnectX-5 are not adapters.
  EXPECT_EQ(parse(text),
            report(device("0000:04:00.0", "1017", "0020", "ConnectX-5 EN 25GbE dual-port SFP28",
                           "MT_0000000008", "16.28.2006", "16.26.1040", "upgrade") +
                    device("0000:81:00.0", "1015", "0003", "ConnectX-4 Lx EN 25GbE dual-port SFP28",
                           "MT_2420110034", "14.32.1010", "14.31.1014", "upgrade")));
  // One element per line, four blanks per level.
  EXPECT_TRUE(text.starts_with("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                               "<vantrel_rom_discovery version=\"2.0.0.0\">\n"
                               "    <type value=\"MELLANOX_NIC\"/>\n")) << text;
  EXPECT_TRUE(contains(text, "\n            <fw_item>\n                <type value=\"ROM\"/>\n"));
  for (const std::string& call : calls(server)) EXPECT_TRUE(call.ends_with(" q")) << call;
  const mode_t mask = umask(0);
  umask(mask);  // the report is as readable as any file the run makes
  EXPECT_EQ(std::filesystem::status(server.dir() + "/nicdiscovery.xml").permissions(),
            std::filesystem::perms(0666 & ~mask));

  server.block_file("blocked.xml");  // a directory: the finished report cannot replace it
  for (const std::string path : {"missing_dir/r.xml", "blocked.xml", "nicdiscovery.xml/"}) {
    EXPECT_EQ(server.run({"-d", path}).status, 2) << path;
    const std::string log = server.read("mstflint.log");
    EXPECT_TRUE(contains(log, "[ERROR]     [")) << log;
    EXPECT_TRUE(contains(log, "] xml_discovery_report: Failed to save " + path + ": ")) << log;
  }
  EXPECT_EQ(server.read("nicdiscovery.xml"), text);
  EXPECT_EQ(files(server), (std::set<std::string>{"blocked.xml", "getmlnxinfo", "mstflint.log",
                                                  "nic_fw", "nicdiscovery.xml",
                                                  "server.umockdev"}));
}

// Function bus:00.0 of a board of vendor 15B3, and a catalog entry; `more` adds JSON members.
std::string board(const std::string& bus, const std::string& psid, const std::string& more = "",
                  const std::string& devid = "1003", const std::string& subdev = "0050",
                  const std::string& firmware = "2.9.1000") {
  return R"({"address": ")" + bus + R"(:00.0", "class": "0x020000", "vendor": "0x15b3",
             "device": "0x)" + devid + R"(", "subsystem_device": "0x)" + subdev +
         R"(", "firmware": ")" + firmware + R"(", "psid": ")" + psid + "\"" + more + "},";
}
std::string entry(const std::string& name, const std::string& devid, const std::string& subdev,
                  const std::string& psid, const std::string& rom, const std::string& file) {
  return R"({"name": ")" + name + R"(", "venid": "15B3", "devid": ")" + devid +
         R"(", "subvenid": "15B3", "PSID": ")" + psid + R"(", "subdevid": ")" + subdev +
         R"(", "rom": ")" + rom + R"(", "fwFile": ")" + file + "\"},";
}
std::string server(std::string functions, std::string catalog, const std::string& more = "") {
  return "{\"functions\": [" + functions.substr(0, functions.size() - 1) + "], \"catalog\": [" +
         catalog.substr(0, catalog.size() - 1) + "]" + more + "}";
}

// 04 runs 2.9.1000; its catalog images are 2.9.1200, 2.10.700 and 2.9.900, in that order, so
// neither the first, the last nor the highest text is the highest version. 05 is not in the
// catalog; 8a runs what the catalog has.
const std::string kCatalog =
    entry("ConnectX-3 first", "1003", "0050", "MT_1090110019", "2.9.1200", "CX3_2.9.1200.bin") +
    entry("ConnectX-3 second", "1003", "0050", "MT_1090110019", "2.10.700", "CX3.bin") +
    entry("ConnectX-3 third", "1003", "0050", "MT_1090110019", "2.9.900", "CX3_2.9.900.bin") +
    entry("ConnectX-4 Lx", "1015", "0003", "MT_2420110034", "14.32.1010", "CX4LX.bin") +
    entry("Tamarix", "1003", "0050", "MT_TAMARIX", "2.10.700", "Tamarix_generic.bin");
const std::string kMixedServer = server(
    board("0000:04", "MT_1090110019") +
        board("0000:05", "MT_1100110019", "", "1007", "00ab", "2.42.5000") +
        board("0000:8a", "MT_2420110034", "", "1015", "0003", "14.32.1010"),
    kCatalog);

TEST(DiscoveryReport, WorkedExampleWrittenThenApplied) {
  SimServer server(kMixedServer);
  ASSERT_EQ(server.run({"-d", "r%41.xml"}).status, 0);  // the name is no URI: %41 stays
  // The highest image is listed; the product is the name of the first catalog entry.
  EXPECT_EQ(parse(server.read("r%41.xml")),
            report(device("0000:04:00.0", "1003", "0050", "ConnectX-3 first", "MT_1090110019",
                           "2.10.700", "2.9.1000", "upgrade") +
                    device("0000:05:00.0", "1007", "00AB", "", "MT_1100110019", "", "2.42.5000",
                           "Nothing") +
                    device("0000:8a:00.0", "1015", "0003", "ConnectX-4 Lx", "MT_2420110034",
                           "14.32.1010", "14.32.1010", "rewrite")));
  const size_t queried = server.calls().size();
  RunResult r = server.run({"-u", "r%41.xml"});
  EXPECT_EQ(r.status, 0) << server.read("mstflint.log");
  EXPECT_EQ(calls(server, queried),
            (std::vector<std::string>{burn("0000:04:00.0", "CX3.bin"),
                                      burn("0000:8a:00.0", "CX4LX.bin")}));
  EXPECT_FALSE(contains(r.out, "0000:")) << r.out;  // -u is silent
}

// -u on reports as fleet tooling, or an attacker, might write them.

// ConnectX-3 boards: 04 and 06 burn fine, 05 fails its burn; the 1x boards
// have the Tamarix image, which getmlnxinfo names.
const std::string kApplyServer = server(
    board("0000:04", "MT_1090110019") + board("0000:06", "MT_1090110019") +
        board("0000:05", "MT_1090110019", R"(, "burn": {"outcome": "fail"})") +
        board("0000:10", "MT_TAMARIX", R"(, "mlnxinfo": {"answer": "srv01#Tamarix_B2.bin"})") +
        board("0000:11", "MT_TAMARIX", R"(, "mlnxinfo": {"answer": "srv01##Tamarix_C.bin#3"})") +
        board("0000:12", "MT_TAMARIX", R"(, "mlnxinfo": {"answer": "0"})") +
        board("0000:13", "MT_TAMARIX", R"(, "mlnxinfo": {"answer": "s#T.bin", "exit_code": 3})") +
        board("0000:14", "MT_TAMARIX", R"(, "mlnxinfo": {"answer": "srv01#../Tamarix_B2.bin"})"),
    kCatalog,
    R"(, "images": [{"file": "Tamarix_B2.bin", "version": "2.10.800", "psid": "MT_TAMARIX"},
                    {"file": "Tamarix_C.bin", "version": "2.10.900", "psid": "MT_TAMARIX"}])");

// 04 takes two seconds to burn; 06 burns at once.
std::string server_with_slow_first_board() {
  return server(board("0000:04", "MT_1090110019", R"(, "burn": {"seconds": 2})") +
                    board("0000:06", "MT_1090110019"),
                kCatalog);
}

std::string leaf(const std::string& name, const std::string& value) {
  return "<" + name + " value=\"" + value + "\"/>";
}

// One report device: by default the ConnectX-3 at 0000:04:00.0, asking for an upgrade. Its
// version is not what is burned: the catalog's highest image (2.10.700) is.
struct Dev {
  std::string bus = "0000:04", action = "upgrade", venid = "15B3", devid = "1003";
  std::string psid = "MT_1090110019", version = "2.9.1200", active = "2.9.1000", extra = "";
};

// The leaves -u reads; the others -d writes are left out.
std::string xml(const Dev& d) {
  return "<device>" + leaf("venid", d.venid) + leaf("devid", d.devid) + leaf("subvenid", "15B3") +
         leaf("subdevid", "0050") + leaf("busnumber", d.bus) + leaf("devicenumber", "00") +
         leaf("funcnumber", "0") + d.extra + "<fw_item>" + leaf("type", "ROM") +
         leaf("firmware_id", d.psid) + leaf("version", d.version) +
         leaf("active_version", d.active) + leaf("action", d.action) + "</fw_item></device>";
}

std::string doc(const std::string& devices, const std::string& outside = "") {
  return "<?xml version=\"1.0\"?>\n<vantrel_rom_discovery version=\"2.0.0.0\">" +
         leaf("type", "MELLANOX_NIC") + outside + "<devices>" + devices + "</devices>" + outside +
         "</vantrel_rom_discovery>\n";
}

TEST(ApplyReport, OutcomesOfOneReportAfterAnother) {
  SimServer server(kApplyServer);
  const std::string b04 = burn("0000:04:00.0", "CX3.bin"), b06 = burn("0000:06:00.0", "CX3.bin");
  const std::string tamarix = "MT_TAMARIX", lookup = "getmlnxinfo imgfile 0000:1";
  const std::string unparsed = "read_discovery_report: Failed to parse r.xml", big(20000, '9');
  std::string empties;
  for (int i = 0; i < 5000; ++i) empties += "<device/>";
  // An action and an address outside any device describe no device.
  const std::string outside = leaf("action", "upgrade") + leaf("busnumber", "0000:05");
  struct Case {
    const char* what;
    std::string report;
    int status;
    std::vector<std::string> calls, texts;  // texts: in the event log or on the console
    const char* file = "r.xml";
  } cases[] = {
      {"nothing the catalog knows",
       doc(xml({.venid = ""}) + xml({.action = "Nothing", .devid = "1007"})), 2, {},
       {kClosingError}},
      {"venid forms, and a device the catalog does not list",
       doc(xml({.venid = "15b3"}) + xml({.venid = "0x15B3"}) +
           xml({.bus = "0000:06", .venid = "15B3XYZ"})),
       0, {b04, b06}, {}},
      {"the address after the action",
       doc("<device>" + leaf("venid", "15B3") + leaf("devid", "1003") + "<fw_item>" +
           leaf("type", "ROM") + leaf("firmware_id", "MT_1090110019") +
           leaf("active_version", "2.9.1000") + leaf("action", "upgrade") + "</fw_item>" +
           leaf("busnumber", "0000:06") + leaf("devicenumber", "00") + leaf("funcnumber", "0") +
           "</device>"),
       0, {b06}, {}},
      {"a failed burn, then a good one", doc(xml({.bus = "0000:05"}) + xml({})), 2,
       {burn("0000:05:00.0", "CX3.bin"), b04}, {"Upgrade failed", kClosingError}},
      {"hostile addresses",
       doc("<device/>" + xml({.bus = ";touch PWNED"}) + xml({.bus = std::string(5000, '0')}) +
           xml({.bus = "0000:06"})), 2, {b06},
       {"Device 2 has no valid PCI address (\";touch PWNED:00.0\"); not flashed",
        "Device 3 has no valid PCI address (\"" + std::string(80, '0') + "...\")", kClosingError}},
      {"values of thousands of characters",
       doc(xml({.psid = big}) +
           xml({.version = big, .active = big + ".2.3", .extra = leaf("product_id", big)})),
       0, {b04}, {}},
      {"odd elements",
       doc(xml({.action = "Nothing"}) + empties.substr(0, 120 * 9) + xml({.action = "Upgrade"}) +
               "<device></device>" + xml({.action = "Nothing\" also=\"upgrade\" x=\"rewrite"}) +
               "<device>" + xml({.action = "Nothing"}) + "</device>" +
               xml({.bus = "0000:06", .action = "downgrade"}) + "<unknown value=\"x\"/>",
           outside),
       0, {b06}, {}},
      {"Tamarix: the image getmlnxinfo names",
       doc(xml({.bus = "0000:10", .psid = tamarix}) + xml({.bus = "0000:11", .psid = tamarix}) +
           xml({.bus = "0000:06"})),
       0, {lookup + "0:00.0 >file", burn("0000:10:00.0", "Tamarix_B2.bin"), lookup + "1:00.0 >file",
           burn("0000:11:00.0", "Tamarix_C.bin"), b06},
       {"./getmlnxinfo imgfile 0000:10:00.0 > data"}},
      {"Tamarix: no image known", doc(xml({.bus = "0000:12", .psid = tamarix}) + xml({})), 2,
       {lookup + "2:00.0 >file"}, {"Error in finding the image for Tamarix/Pellion2"}},
      {"Tamarix: the tool fails", doc(xml({.bus = "0000:13", .psid = tamarix})), 2,
       {lookup + "3:00.0 >file"}, {"command failed: ./getmlnxinfo imgfile 0000:13:00.0 > data"}},
      {"Tamarix: an image outside the repository", doc(xml({.bus = "0000:14", .psid = tamarix})),
       2, {lookup + "4:00.0 >file"}, {"Refused image name \"../Tamarix_B2.bin\"", kClosingError}},
      {"not XML", "fwkit report\nupgrade everything\n", 2, {}, {unparsed}},
      {"truncated", doc(xml({})).substr(0, 300), 2, {}, {unparsed}},
      {"missing", "", 2, {}, {"read_discovery_report: Failed to open absent.xml"}, "absent.xml"},
      {"too many devices", doc(empties + xml({})), 2, {},
       {"r.xml lists more than 4096 devices; nothing was burned"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    server.write("r.xml", c.report);
    const size_t called = server.calls().size();
    const size_t logged = server.exists("mstflint.log") ? server.read("mstflint.log").size() : 0;
    RunResult r = server.run({"-u", c.file});
    const std::string log = server.read("mstflint.log").substr(logged);
    EXPECT_EQ(r.status, c.status) << log;
    EXPECT_EQ(calls(server, called), c.calls);
    for (const std::string& text : c.texts) EXPECT_TRUE(contains(r.out + log, text)) << text << log;
    EXPECT_EQ(contains(log, "[ERROR]     ["), c.status == 2) << log;
  }
  // No PWNED, and getmlnxinfo's data files are gone.
  EXPECT_EQ(files(server), (std::set<std::string>{"getmlnxinfo", "mstflint.log", "nic_fw", "r.xml",
                                                  "server.umockdev"}));
}

TEST(ApplyReport, InterruptDuringABurnLetsItFinishAndBurnsNothingMore) {
  SimServer server(server_with_slow_first_board());
  server.write("r.xml", doc(xml({}) + xml({.bus = "0000:06"})));
  SimServer::Background run = server.start({"-u", "r.xml"});
  ASSERT_TRUE(server.wait_for_calls(1, 20000));  // the first burn has started
  run.signal(SIGTERM);
  RunResult r = run.wait();
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(calls(server), (std::vector<std::string>{burn("0000:04:00.0", "CX3.bin")}));
  EXPECT_EQ(server.firmware("0000:04:00.0"), "2.10.700");  // the burn was seen through
  EXPECT_TRUE(contains(server.read("mstflint.log"),
                       "read_discovery_report: Stopped by signal 15; no further device was burned"));
}

}  // namespace
}  // namespace e2e
