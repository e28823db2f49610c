// Operator sessions of the discovery report: -d writes it, -u applies it, on a simulated server.
#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "sim_harness.h"

namespace e2e {
namespace {

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

size_t count_of(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t pos = text.find(part); pos != std::string::npos; pos = text.find(part, pos + 1)) ++n;
  return n;
}

// ---------------------------------------------------------------------------
// Reading a report back the way fleet tooling would: as XML, element by element.

struct Leaf {
  std::string name;
  std::string value;
};

struct DeviceElement {
  std::vector<Leaf> leaves;  // the twelve leaves before the firmware item
  std::vector<std::vector<Leaf>> items;
};

struct Report {
  std::string problem;  // empty when the document has the report's shape
  std::string root;
  std::string root_version;
  std::vector<Leaf> header;
  std::vector<DeviceElement> devices;
};

std::string text_of(const xmlChar* text) {
  return text ? reinterpret_cast<const char*>(text) : "";
}

std::vector<xmlNode*> elements(xmlNode* parent) {
  std::vector<xmlNode*> found;
  for (xmlNode* n = parent->children; n; n = n->next) {
    if (n->type == XML_ELEMENT_NODE) found.push_back(n);
  }
  return found;
}

bool has_text_content(xmlNode* node) {
  for (xmlNode* n = node->children; n; n = n->next) {
    if (n->type == XML_TEXT_NODE && !xmlIsBlankNode(n)) return true;
  }
  return false;
}

// A leaf: no children, exactly one attribute, named "value".
bool read_leaf(xmlNode* node, Leaf* leaf, std::string* problem) {
  leaf->name = text_of(node->name);
  if (!elements(node).empty() || has_text_content(node)) {
    *problem = leaf->name + " has content";
    return false;
  }
  if (!node->properties || node->properties->next ||
      text_of(node->properties->name) != "value") {
    *problem = leaf->name + " does not carry exactly one attribute \"value\"";
    return false;
  }
  xmlChar* value = xmlGetProp(node, reinterpret_cast<const xmlChar*>("value"));
  leaf->value = text_of(value);
  xmlFree(value);
  return true;
}

Report parse_report(const std::string& text) {
  Report report;
  xmlDoc* doc = xmlReadMemory(text.data(), static_cast<int>(text.size()), "report.xml", nullptr,
                              XML_PARSE_NONET);
  if (!doc) {
    report.problem = "not well-formed XML";
    return report;
  }
  xmlNode* root = xmlDocGetRootElement(doc);
  report.root = text_of(root->name);
  xmlChar* version = xmlGetProp(root, reinterpret_cast<const xmlChar*>("version"));
  report.root_version = text_of(version);
  xmlFree(version);
  if (!root->properties || root->properties->next) report.problem = "root attributes";
  std::vector<xmlNode*> top = elements(root);
  for (xmlNode* node : top) {
    if (text_of(node->name) == "devices") {
      if (node->properties) report.problem = "devices has attributes";
      for (xmlNode* device : elements(node)) {
        DeviceElement element;
        if (text_of(device->name) != "device" || device->properties) report.problem = "device";
        for (xmlNode* child : elements(device)) {
          if (text_of(child->name) == "fw_item") {
            std::vector<Leaf> item;
            for (xmlNode* item_leaf : elements(child)) {
              Leaf leaf;
              if (!read_leaf(item_leaf, &leaf, &report.problem)) break;
              item.push_back(leaf);
            }
            element.items.push_back(item);
          } else {
            Leaf leaf;
            if (!read_leaf(child, &leaf, &report.problem)) break;
            if (!element.items.empty()) report.problem = "leaf after fw_item";
            element.leaves.push_back(leaf);
          }
        }
        report.devices.push_back(element);
      }
      if (node != top.back()) report.problem = "devices is not last";
    } else {
      Leaf leaf;
      if (read_leaf(node, &leaf, &report.problem)) report.header.push_back(leaf);
    }
  }
  xmlFreeDoc(doc);
  return report;
}

std::vector<std::string> names(const std::vector<Leaf>& leaves) {
  std::vector<std::string> found;
  for (const Leaf& leaf : leaves) found.push_back(leaf.name);
  return found;
}

std::string value(const std::vector<Leaf>& leaves, const std::string& name) {
  for (const Leaf& leaf : leaves) {
    if (leaf.name == name) return leaf.value;
  }
  return "<no " + name + ">";
}

const std::vector<std::string> kDeviceLeaves = {
    "device_id", "venid",    "devid",        "subvenid",  "subdevid",   "macaddress",
    "product_id", "busnumber", "devicenumber", "funcnumber", "slotnumber", "nictype"};
const std::vector<std::string> kItemLeaves = {"type",   "firmware_id", "version", "active_version",
                                              "action", "duration",    "message", "shared"};

// What one adapter's device element should say.
struct Expected {
  std::string address, venid, devid, subvenid, subdevid, product, psid, version, active, action;
};

void expect_device(const DeviceElement& device, const Expected& e) {
  SCOPED_TRACE(e.address);
  EXPECT_EQ(names(device.leaves), kDeviceLeaves);
  ASSERT_EQ(device.items.size(), 1u);
  EXPECT_EQ(names(device.items[0]), kItemLeaves);
  const std::vector<Leaf>& d = device.leaves;
  EXPECT_EQ(value(d, "device_id"), e.address);
  EXPECT_EQ(value(d, "venid"), e.venid);
  EXPECT_EQ(value(d, "devid"), e.devid);
  EXPECT_EQ(value(d, "subvenid"), e.subvenid);
  EXPECT_EQ(value(d, "subdevid"), e.subdevid);
  EXPECT_EQ(value(d, "macaddress"), "");
  EXPECT_EQ(value(d, "product_id"), e.product);
  EXPECT_EQ(value(d, "busnumber"), e.address.substr(0, 7));
  EXPECT_EQ(value(d, "devicenumber"), e.address.substr(8, 2));
  EXPECT_EQ(value(d, "funcnumber"), e.address.substr(11));
  EXPECT_EQ(value(d, "slotnumber"), "");
  EXPECT_EQ(value(d, "nictype"), "MELLANOX");
  const std::vector<Leaf>& item = device.items[0];
  EXPECT_EQ(value(item, "type"), "ROM");
  EXPECT_EQ(value(item, "firmware_id"), e.psid);
  EXPECT_EQ(value(item, "version"), e.version);
  EXPECT_EQ(value(item, "active_version"), e.active);
  EXPECT_EQ(value(item, "action"), e.action);
  EXPECT_EQ(value(item, "duration"), "210");
  EXPECT_EQ(value(item, "message"), "");
  EXPECT_EQ(value(item, "shared"), "no");
}

// ---------------------------------------------------------------------------
// Servers and hand-written reports.

// Four ConnectX boards: 04 has two catalog images (2.9.1200 listed first,
// then 2.10.700) against 2.9.1000 installed; 05 is not in the catalog; 06
// runs 3.0.0 and the catalog has only 2.9.9; 07 runs what the catalog has.
const char* const kMixedServer = R"({
  "functions": [
    {"address": "0000:02:00.0", "class": "0x020000", "vendor": "0x8086", "device": "0x1521"},
    {"address": "0000:04:00.0", "class": "0x020000", "vendor": "0x15b3", "device": "0x1003",
     "subsystem_vendor": "0x15b3", "subsystem_device": "0x0050",
     "firmware": "2.9.1000", "psid": "MT_1090110019"},
    {"address": "0000:05:00.0", "class": "0x020000", "vendor": "0x15b3", "device": "0x1007",
     "subsystem_vendor": "0x15b3", "subsystem_device": "0x0006",
     "firmware": "2.42.5000", "psid": "MT_1100110019"},
    {"address": "0000:06:00.0", "class": "0x020700", "vendor": "0x15b3", "device": "0x1013",
     "subsystem_vendor": "0x15b3", "subsystem_device": "0x0008",
     "firmware": "3.0.0", "psid": "MT_2190110032"},
    {"address": "0000:8a:00.0", "class": "0x020000", "vendor": "0x15b3", "device": "0x1015",
     "subsystem_vendor": "0x15b3", "subsystem_device": "0x0003",
     "firmware": "14.32.1010", "psid": "MT_2420110034"}
  ],
  "catalog": [
    {"name": "ConnectX-3 first", "venid": "15B3", "devid": "1003", "subvenid": "15B3",
     "PSID": "MT_1090110019", "subdevid": "0050", "rom": "2.9.1200", "fwFile": "CX3_2.9.1200.bin"},
    {"name": "ConnectX-3 second", "venid": "15B3", "devid": "1003", "subvenid": "15B3",
     "PSID": "MT_1090110019", "subdevid": "0050", "rom": "2.10.700", "fwFile": "CX3_2.10.700.bin"},
    {"name": "ConnectX-4", "venid": "15B3", "devid": "1013", "subvenid": "15B3",
     "PSID": "MT_2190110032", "subdevid": "0008", "rom": "2.9.9", "fwFile": "CX4_2.9.9.bin"},
    {"name": "ConnectX-4 Lx", "venid": "15B3", "devid": "1015", "subvenid": "15B3",
     "PSID": "MT_2420110034", "subdevid": "0003", "rom": "14.32.1010", "fwFile": "CX4LX_14.32.1010.bin"}
  ]
})";

// One report device as fleet tooling might write it.
struct ReportDevice {
  std::string venid = "15B3";
  std::string devid = "1003";
  std::string psid = "MT_1090110019";
  std::string bus = "0000:04";
  std::string dev = "00";
  std::string fn = "0";
  std::string action = "upgrade";
  std::string version = "2.10.700";
  std::string active = "2.9.1000";
  std::string extra;  // more elements inside the device, verbatim
};

std::string leaf(const std::string& name, const std::string& value) {
  return "<" + name + " value=\"" + value + "\"/>";
}

std::string device_xml(const ReportDevice& d) {
  return "<device>" + leaf("device_id", d.bus + ":" + d.dev + "." + d.fn) + leaf("venid", d.venid) +
         leaf("devid", d.devid) + leaf("subvenid", "15B3") + leaf("subdevid", "0050") +
         leaf("macaddress", "") + leaf("product_id", "board") + leaf("busnumber", d.bus) +
         leaf("devicenumber", d.dev) + leaf("funcnumber", d.fn) + leaf("slotnumber", "") +
         leaf("nictype", "MELLANOX") + d.extra + "<fw_item>" + leaf("type", "ROM") +
         leaf("firmware_id", d.psid) + leaf("version", d.version) +
         leaf("active_version", d.active) + leaf("action", d.action) + leaf("duration", "210") +
         leaf("message", "") + leaf("shared", "no") + "</fw_item></device>";
}

std::string report_xml(const std::string& devices, const std::string& header_extra = "",
                       const std::string& after_devices = "") {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<vantrel_rom_discovery version=\"2.0.0.0\">" +
         leaf("type", "MELLANOX_NIC") + leaf("alt_name", "fleet") + leaf("version", "1.0.0") +
         leaf("takes_effect", "reboot") + header_extra + "<devices>" + devices + "</devices>" +
         after_devices + "</vantrel_rom_discovery>\n";
}

std::string report_xml(const std::vector<ReportDevice>& devices) {
  std::string text;
  for (const ReportDevice& d : devices) text += device_xml(d);
  return report_xml(text);
}

std::vector<std::string> burn_args(const std::string& address, const std::string& image) {
  return {"-s", "-y", "-d", address, "-i", "./nic_fw/" + image, "b"};
}

// The burn commands the firmware tool received, in order.
std::vector<std::vector<std::string>> burns(const SimServer& server) {
  std::vector<std::vector<std::string>> found;
  for (const ToolCall& call : server.calls()) {
    if (call.tool == "mstflint" && !call.argv.empty() && call.argv.back() == "b")
      found.push_back(call.argv);
  }
  return found;
}

size_t getmlnxinfo_calls(const SimServer& server) {
  size_t n = 0;
  for (const ToolCall& call : server.calls()) n += call.tool == "getmlnxinfo";
  return n;
}

// Files that a run leaves in the working directory, besides the layout's own.
std::vector<std::string> stray_files(const SimServer& server) {
  std::vector<std::string> found;
  RunResult r = server.run_command({"ls", "-A"});
  size_t start = 0;
  while (start < r.out.size()) {
    size_t end = r.out.find('\n', start);
    std::string name = r.out.substr(start, end - start);
    if (name.rfind("data", 0) == 0 || name.rfind(".", 0) == 0) found.push_back(name);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return found;
}

const char* const kClosingError = "read_discovery_report: Error at read_NIC_FW_xml_file";

// ---------------------------------------------------------------------------
// -d: writing the report.

TEST(DiscoveryReport, SampleServerElementByElement) {
  SimServer server(sample_server());
  RunResult r = server.run({"-d"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const std::string text = server.read("nicdiscovery.xml");
  EXPECT_EQ(text.substr(0, text.find('\n')), "<?xml version=\"1.0\" encoding=\"UTF-8\"?>");

  Report report = parse_report(text);
  ASSERT_EQ(report.problem, "");
  EXPECT_EQ(report.root, "vantrel_rom_discovery");
  EXPECT_EQ(report.root_version, "2.0.0.0");
  EXPECT_EQ(names(report.header), (std::vector<std::string>{"type", "alt_name", "version",
                                                            "takes_effect"}));
  EXPECT_EQ(value(report.header, "type"), "MELLANOX_NIC");
  EXPECT_EQ(value(report.header, "version"), "1.0.0");
  EXPECT_EQ(value(report.header, "takes_effect"), "reboot");
  // The title is the banner's title line.
  const std::string title = value(report.header, "alt_name");
  EXPECT_FALSE(title.empty());
  EXPECT_TRUE(contains(r.out, "\n" + title + "\n")) << r.out;

  // The NVMe drive, the Intel port and the second function of the
  // ConnectX-5 are not adapters of their own.
  ASSERT_EQ(report.devices.size(), 2u);
  expect_device(report.devices[0],
                {"0000:04:00.0", "15B3", "1017", "15B3", "0020",
                 "ConnectX-5 EN 25GbE dual-port SFP28", "MT_0000000008", "16.28.2006",
                 "16.26.1040", "upgrade"});
  expect_device(report.devices[1],
                {"0000:81:00.0", "15B3", "1015", "15B3", "0003",
                 "ConnectX-4 Lx EN 25GbE dual-port SFP28", "MT_2420110034", "14.32.1010",
                 "14.31.1014", "upgrade"});

  // One element per line, four blanks per level.
  EXPECT_TRUE(contains(text, "\n<vantrel_rom_discovery version=\"2.0.0.0\">\n"
                             "    <type value=\"MELLANOX_NIC\"/>\n"));
  EXPECT_TRUE(contains(text, "\n    <devices>\n        <device>\n"
                             "            <device_id value=\"0000:04:00.0\"/>\n"));
  EXPECT_TRUE(contains(text, "\n            <fw_item>\n                <type value=\"ROM\"/>\n"));
  EXPECT_TRUE(contains(text, "\n        </device>\n    </devices>\n</vantrel_rom_discovery>\n"));

  // -d only reads: no burn, no lookup, nothing on the console but the banner.
  EXPECT_TRUE(burns(server).empty());
  EXPECT_EQ(getmlnxinfo_calls(server), 0u);
  EXPECT_FALSE(contains(r.out, "0000:04:00.0")) << r.out;

  struct stat st;
  ASSERT_EQ(stat((server.dir() + "/nicdiscovery.xml").c_str(), &st), 0);
  const mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask);
  EXPECT_TRUE(stray_files(server).empty());
}

TEST(DiscoveryReport, WorkedExampleAndEveryAction) {
  SimServer server(kMixedServer);
  RunResult r = server.run({"-d", "other.xml"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_FALSE(server.exists("nicdiscovery.xml"));
  Report report = parse_report(server.read("other.xml"));
  ASSERT_EQ(report.problem, "");
  ASSERT_EQ(report.devices.size(), 4u);
  // The highest image is listed, so the listed version and the action agree;
  // the product is the name of the first catalog entry.
  expect_device(report.devices[0],
                {"0000:04:00.0", "15B3", "1003", "15B3", "0050", "ConnectX-3 first",
                 "MT_1090110019", "2.10.700", "2.9.1000", "upgrade"});
  expect_device(report.devices[1], {"0000:05:00.0", "15B3", "1007", "15B3", "0006", "",
                                    "MT_1100110019", "", "2.42.5000", "Nothing"});
  expect_device(report.devices[2], {"0000:06:00.0", "15B3", "1013", "15B3", "0008",
                                    "ConnectX-4", "MT_2190110032", "2.9.9", "3.0.0", "downgrade"});
  // Bus 8a keeps its lower-case hexadecimal in the address leaves.
  expect_device(report.devices[3],
                {"0000:8a:00.0", "15B3", "1015", "15B3", "0003", "ConnectX-4 Lx",
                 "MT_2420110034", "14.32.1010", "14.32.1010", "rewrite"});
}

TEST(DiscoveryReport, AnExistingReportIsReplacedWhole) {
  SimServer server(sample_server());
  server.write("nicdiscovery.xml", std::string(100000, 'x'));
  ASSERT_EQ(server.run({"/d"}).status, 0);
  Report report = parse_report(server.read("nicdiscovery.xml"));
  EXPECT_EQ(report.problem, "");
  EXPECT_EQ(report.devices.size(), 2u);
  EXPECT_TRUE(stray_files(server).empty());
}

TEST(DiscoveryReport, AReportThatCannotBeWrittenEndsWithTwo) {
  SimServer server(sample_server());
  RunResult r = server.run({"-d", "missing_dir/report.xml"});
  EXPECT_EQ(r.status, 2) << r.out << r.err;
  EXPECT_FALSE(server.exists("missing_dir"));
  EXPECT_TRUE(contains(server.read("mstflint.log"),
                       "[ERROR]     ")) << server.read("mstflint.log");
  EXPECT_TRUE(contains(server.read("mstflint.log"), "missing_dir/report.xml"));

  // The report's name is taken by a directory: it cannot be replaced.
  server.block_file("nicdiscovery.xml");
  r = server.run({"-d"});
  EXPECT_EQ(r.status, 2) << r.out << r.err;
  EXPECT_TRUE(stray_files(server).empty());
}

TEST(DiscoveryReport, NoAdapterOfTheVendorWritesNothing) {
  SimServer server(R"({"functions": [
    {"address": "0000:02:00.0", "class": "0x020000", "vendor": "0x8086", "device": "0x1521"}]})");
  RunResult r = server.run({"-d"});
  EXPECT_EQ(r.status, 2) << r.out << r.err;
  EXPECT_FALSE(server.exists("nicdiscovery.xml"));
  EXPECT_TRUE(stray_files(server).empty());
}

// ---------------------------------------------------------------------------
// -d then -u: applying what the report asks.

TEST(ApplyReport, SampleServerRoundTrip) {
  SimServer server(sample_server());
  ASSERT_EQ(server.run({"-d"}).status, 0);
  RunResult r = server.run({"-u", "nicdiscovery.xml"});
  ASSERT_EQ(r.status, 0) << r.out << r.err << server.read("mstflint.log");
  EXPECT_EQ(burns(server),
            (std::vector<std::vector<std::string>>{
                burn_args("0000:04:00.0", "CX5_EN_25G_2P_16.28.2006.bin"),
                burn_args("0000:81:00.0", "CX4LX_EN_25G_2P_14.32.1010.bin")}));
  EXPECT_EQ(server.firmware("0000:04:00.0"), "16.28.2006");
  EXPECT_EQ(server.firmware("0000:81:00.0"), "14.32.1010");
  EXPECT_EQ(count_of(server.read("mstflint.log"), "Upgrade SUCCESS"), 2u);
  EXPECT_FALSE(contains(r.out, "Firmware Flashed")) << r.out;  // -u is silent

  // A new report now finds the adapters up to date.
  ASSERT_EQ(server.run({"-d"}).status, 0);
  Report report = parse_report(server.read("nicdiscovery.xml"));
  ASSERT_EQ(report.devices.size(), 2u);
  EXPECT_EQ(value(report.devices[0].items[0], "action"), "rewrite");
  EXPECT_EQ(value(report.devices[1].items[0], "active_version"), "14.32.1010");
}

TEST(ApplyReport, BurnsExactlyTheAdaptersWhoseActionAsks) {
  SimServer server(kMixedServer);
  ASSERT_EQ(server.run({"-d"}).status, 0);
  RunResult r = server.run({"-u", "nicdiscovery.xml"});
  // 05 is not in the catalog: not burned, not an error of its own.
  ASSERT_EQ(r.status, 0) << r.out << r.err << server.read("mstflint.log");
  EXPECT_EQ(burns(server), (std::vector<std::vector<std::string>>{
                               burn_args("0000:04:00.0", "CX3_2.10.700.bin"),
                               burn_args("0000:06:00.0", "CX4_2.9.9.bin"),
                               burn_args("0000:8a:00.0", "CX4LX_14.32.1010.bin")}));
  EXPECT_EQ(server.firmware("0000:04:00.0"), "2.10.700");
  EXPECT_EQ(server.firmware("0000:05:00.0"), "2.42.5000");
  EXPECT_EQ(server.firmware("0000:06:00.0"), "2.9.9");
}

TEST(ApplyReport, AnActionEditedToNothingIsLeftAlone) {
  SimServer server(sample_server());
  ASSERT_EQ(server.run({"-d"}).status, 0);
  std::string text = server.read("nicdiscovery.xml");
  const size_t first = text.find("<action value=\"upgrade\"/>");
  ASSERT_NE(first, std::string::npos);
  text.replace(first, 25, "<action value=\"Nothing\"/>");
  // The listed version is not what is burned: the catalog decides.
  const size_t version = text.find("<version value=\"14.32.1010\"/>");
  ASSERT_NE(version, std::string::npos);
  text.replace(version, 29, "<version value=\"14.31.1014\"/>");
  server.write("edited.xml", text);
  RunResult r = server.run({"-u", "edited.xml"});
  EXPECT_EQ(r.status, 0) << server.read("mstflint.log");
  EXPECT_EQ(burns(server), (std::vector<std::vector<std::string>>{burn_args(
                               "0000:81:00.0", "CX4LX_EN_25G_2P_14.32.1010.bin")}));
  EXPECT_EQ(server.firmware("0000:04:00.0"), "16.26.1040");
}

TEST(ApplyReport, EveryActionNothingMeansNoBurnAndStatusTwo) {
  // The -d report of a board the catalog does not know says "Nothing".
  SimServer server(R"({"functions": [
    {"address": "0000:04:00.0", "class": "0x020000", "vendor": "0x15b3", "device": "0x1017",
     "subsystem_vendor": "0x15b3", "subsystem_device": "0x0020",
     "firmware": "16.26.1040", "psid": "MT_9999999999"}]})");
  ASSERT_EQ(server.run({"-d"}).status, 0);
  Report report = parse_report(server.read("nicdiscovery.xml"));
  ASSERT_EQ(report.devices.size(), 1u);
  EXPECT_EQ(value(report.devices[0].items[0], "action"), "Nothing");
  RunResult r = server.run({"-u", "nicdiscovery.xml"});
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(contains(server.read("mstflint.log"), kClosingError));
  EXPECT_TRUE(burns(server).empty());
}

TEST(ApplyReport, AnyFailedBurnEndsWithTwoAndTheRunGoesOn) {
  const std::string failing = R"({"functions": [
    {"address": "0000:04:00.0", "class": "0x020000", "vendor": "0x15b3", "device": "0x1003",
     "subsystem_vendor": "0x15b3", "subsystem_device": "0x0050",
     "firmware": "2.9.1000", "psid": "MT_1090110019", "burn": {"outcome": "fail"}},
    {"address": "0000:05:00.0", "class": "0x020000", "vendor": "0x15b3", "device": "0x1003",
     "subsystem_vendor": "0x15b3", "subsystem_device": "0x0050",
     "firmware": "2.9.1000", "psid": "MT_1090110019"}],
   "catalog": [{"name": "CX3", "venid": "15B3", "devid": "1003", "subvenid": "15B3",
     "PSID": "MT_1090110019", "subdevid": "0050", "rom": "2.10.700", "fwFile": "CX3.bin"}]})";
  ReportDevice first, second;
  second.bus = "0000:05";
  for (bool failing_first : {true, false}) {
    SCOPED_TRACE(failing_first ? "failing burn first" : "failing burn second");
    SimServer server(failing);
    server.write("r.xml", failing_first ? report_xml({first, second}) : report_xml({second, first}));
    RunResult r = server.run({"-u", "r.xml"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(burns(server).size(), 2u);
    EXPECT_EQ(server.firmware("0000:05:00.0"), "2.10.700");
    EXPECT_EQ(server.firmware("0000:04:00.0"), "2.9.1000");
    const std::string log = server.read("mstflint.log");
    EXPECT_TRUE(contains(log, "Upgrade failed")) << log;
    EXPECT_TRUE(contains(log, kClosingError)) << log;
  }
}

TEST(ApplyReport, AnUnknownDeviceBesideAGoodBurnIsNoError) {
  SimServer server(kMixedServer);
  ReportDevice known;
  ReportDevice unknown;
  unknown.devid = "1007";
  unknown.psid = "MT_1100110019";
  unknown.bus = "0000:05";
  server.write("r.xml", report_xml({unknown, known}));
  RunResult r = server.run({"-u", "r.xml"});
  EXPECT_EQ(r.status, 0) << server.read("mstflint.log");
  EXPECT_EQ(burns(server), (std::vector<std::vector<std::string>>{
                               burn_args("0000:04:00.0", "CX3_2.10.700.bin")}));
}

TEST(ApplyReport, VendorIdForms) {
  struct Case {
    const char* venid;
    bool burned;
  } cases[] = {{"15B3", true}, {"15b3", true}, {"15B3XYZ", true}, {"0x15B3", false}, {"", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.venid);
    SimServer server(kMixedServer);
    ReportDevice d;
    d.venid = c.venid;
    server.write("r.xml", report_xml({d}));
    RunResult r = server.run({"-u", "r.xml"});
    EXPECT_EQ(r.status, c.burned ? 0 : 2);
    EXPECT_EQ(burns(server).size(), c.burned ? 1u : 0u);
  }
}

TEST(ApplyReport, ActionsOtherThanTheThreeWordsFlashNothing) {
  for (const char* action : {"Upgrade", "not upgrade", "Nothing"}) {
    SCOPED_TRACE(action);
    SimServer server(kMixedServer);
    ReportDevice d;
    d.action = action;
    server.write("r.xml", report_xml({d}));
    RunResult r = server.run({"-u", "r.xml"});
    EXPECT_EQ(r.status, 0) << server.read("mstflint.log");  // known to the catalog, asked nothing
    EXPECT_TRUE(burns(server).empty());
  }
}

TEST(ApplyReport, EmptyDeviceElementsAndElementsOutsideDevices) {
  SimServer server(kMixedServer);
  ReportDevice asks_nothing;
  asks_nothing.action = "Nothing";
  ReportDevice rewrite;
  rewrite.devid = "1015";
  rewrite.psid = "MT_2420110034";
  rewrite.bus = "0000:8a";
  rewrite.action = "rewrite";
  // An action, an address and an identity outside any device describe no
  // device: they must not make the device that asks nothing be burned.
  const std::string outside = leaf("action", "upgrade") + leaf("busnumber", "0000:06") +
                              leaf("devicenumber", "00") + leaf("funcnumber", "0") +
                              leaf("venid", "15B3") + leaf("devid", "1013") +
                              leaf("firmware_id", "MT_2190110032");
  server.write("r.xml", report_xml("<device/>" + device_xml(asks_nothing) + "<device></device>" +
                                       device_xml(rewrite) + "<unknown value=\"x\"/>",
                                   outside, outside));
  RunResult r = server.run({"-u", "r.xml"});
  EXPECT_EQ(r.status, 0) << server.read("mstflint.log");
  EXPECT_EQ(burns(server), (std::vector<std::vector<std::string>>{
                               burn_args("0000:8a:00.0", "CX4LX_14.32.1010.bin")}));
}

TEST(ApplyReport, SeveralAttributesOnOneElement) {
  SimServer server(kMixedServer);
  ReportDevice d;
  d.action = "Nothing";
  std::string text = report_xml({d});
  const std::string plain = "<action value=\"Nothing\"/>";
  text.replace(text.find(plain), plain.size(),
               "<action value=\"Nothing\" also=\"upgrade\" value2=\"rewrite\"/>");
  server.write("r.xml", text);
  RunResult r = server.run({"-u", "r.xml"});
  EXPECT_EQ(r.status, 0) << server.read("mstflint.log");
  EXPECT_TRUE(burns(server).empty());
}

TEST(ApplyReport, BrokenReportsEndWithTwoAndRunNothing) {
  ReportDevice d;
  const std::string whole = report_xml({d});
  struct Case {
    const char* what;
    std::string content;
    const char* event;
  } cases[] = {
      {"empty", "", "read_discovery_report: Failed to parse r.xml"},
      {"not XML", "fwkit report\nupgrade everything\n", "read_discovery_report: Failed to parse r.xml"},
      {"truncated", whole.substr(0, whole.size() / 2), "read_discovery_report: Failed to parse r.xml"},
      {"no device", report_xml(""), kClosingError},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SimServer server(kMixedServer);
    server.write("r.xml", c.content);
    RunResult r = server.run({"-u", "r.xml"});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(contains(server.read("mstflint.log"), c.event)) << server.read("mstflint.log");
    EXPECT_TRUE(server.calls().empty());
  }
  SimServer server(kMixedServer);
  RunResult r = server.run({"-u", "absent.xml"});
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(contains(server.read("mstflint.log"),
                       "read_discovery_report: Failed to open absent.xml"));
  EXPECT_TRUE(server.calls().empty());
}

TEST(ApplyReport, HostileAddressesStartNoToolAndCountAsFailed) {
  SimServer server(kMixedServer);
  ReportDevice shell;
  shell.bus = ";touch PWNED";
  ReportDevice dots;
  dots.bus = "0000:04";
  dots.fn = "0 -i /etc/passwd";
  ReportDevice huge;
  huge.bus = std::string(5000, '0');
  ReportDevice good;
  good.devid = "1013";
  good.psid = "MT_2190110032";
  good.bus = "0000:06";
  server.write("r.xml", report_xml({shell, dots, huge, good}));
  RunResult r = server.run({"-u", "r.xml"});
  EXPECT_EQ(r.status, 2);
  EXPECT_FALSE(server.exists("PWNED"));
  // The one well-formed device is still burned; the others start nothing.
  EXPECT_EQ(burns(server), (std::vector<std::vector<std::string>>{
                               burn_args("0000:06:00.0", "CX4_2.9.9.bin")}));
  const std::string log = server.read("mstflint.log");
  EXPECT_EQ(count_of(log, "no valid PCI address"), 3u) << log;
  EXPECT_FALSE(contains(log, std::string(200, '0'))) << "a huge value floods the log";
  EXPECT_TRUE(contains(log, kClosingError));
}

TEST(ApplyReport, ImageNamesOutsideTheRepositoryAreRefused) {
  SimServer server(R"({"functions": [
    {"address": "0000:04:00.0", "class": "0x020000", "vendor": "0x15b3", "device": "0x1003",
     "subsystem_vendor": "0x15b3", "subsystem_device": "0x0050",
     "firmware": "2.9.1000", "psid": "MT_1090110019"}],
   "catalog": [{"name": "CX3", "venid": "15B3", "devid": "1003", "subvenid": "15B3",
     "PSID": "MT_1090110019", "subdevid": "0050", "rom": "2.10.700", "fwFile": "../evil.bin"}]})");
  server.write("evil.bin", "FWKIT-SIM-IMAGE\nversion=2.10.700\npsid=MT_1090110019\n");
  server.write("r.xml", report_xml({ReportDevice()}));
  RunResult r = server.run({"-u", "r.xml"});
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(burns(server).empty());
  EXPECT_EQ(server.firmware("0000:04:00.0"), "2.9.1000");
  EXPECT_TRUE(contains(server.read("mstflint.log"), "../evil.bin"));
}

TEST(ApplyReport, ValuesOfThousandsOfCharacters) {
  SimServer server(kMixedServer);
  ReportDevice d;
  d.psid = std::string(20000, 'M');
  d.version = std::string(10000, '9');
  d.active = std::string(10000, '1') + ".2.3";
  d.extra = leaf("product_id", std::string(50000, 'p')) + leaf("slotnumber", std::string(8000, 's'));
  ReportDevice good;
  server.write("r.xml", report_xml({d, good}));
  RunResult r = server.run({"-u", "r.xml"});
  EXPECT_EQ(r.status, 0) << server.read("mstflint.log");
  EXPECT_EQ(burns(server), (std::vector<std::vector<std::string>>{
                               burn_args("0000:04:00.0", "CX3_2.10.700.bin")}));
}

TEST(ApplyReport, MoreDevicesThanAnyFixedTable) {
  SimServer server(kMixedServer);
  std::vector<ReportDevice> devices(120);
  for (ReportDevice& d : devices) d.action = "Nothing";
  devices.back().action = "upgrade";  // far beyond 50 rows
  server.write("r.xml", report_xml(devices));
  RunResult r = server.run({"-u", "r.xml"});
  EXPECT_EQ(r.status, 0) << server.read("mstflint.log");
  EXPECT_EQ(burns(server).size(), 1u);

  std::string empties;
  for (int i = 0; i < 5000; ++i) empties += "<device/>";
  server.write("huge.xml", report_xml(empties + device_xml(ReportDevice())));
  r = server.run({"-u", "huge.xml"});
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(contains(server.read("mstflint.log"), "huge.xml lists more than"));
  EXPECT_EQ(burns(server).size(), 1u);
}

// ---------------------------------------------------------------------------
// Boards whose image getmlnxinfo names.

std::string tamarix_server(const std::string& mlnxinfo) {
  return R"({"functions": [
    {"address": "0000:04:00.0", "class": "0x020000", "vendor": "0x15b3", "device": "0x1003",
     "subsystem_vendor": "0x15b3", "subsystem_device": "0x0050",
     "firmware": "2.9.1000", "psid": "MT_1090110019", "mlnxinfo": )" +
         mlnxinfo + R"(},
    {"address": "0000:06:00.0", "class": "0x020000", "vendor": "0x15b3", "device": "0x1013",
     "subsystem_vendor": "0x15b3", "subsystem_device": "0x0008",
     "firmware": "2.9.1", "psid": "MT_2190110032"}],
   "catalog": [
    {"name": "Tamarix", "venid": "15B3", "devid": "1003", "subvenid": "15B3",
     "PSID": "MT_1090110019", "subdevid": "0050", "rom": "2.10.700", "fwFile": "Tamarix_generic.bin"},
    {"name": "ConnectX-4", "venid": "15B3", "devid": "1013", "subvenid": "15B3",
     "PSID": "MT_2190110032", "subdevid": "0008", "rom": "2.9.9", "fwFile": "CX4_2.9.9.bin"}],
   "images": [
    {"file": "Tamarix_B2.bin", "version": "2.10.800", "psid": "MT_1090110019"},
    {"file": "Tamarix_C.bin", "version": "2.10.900", "psid": "MT_1090110019"}]})";
}

std::string tamarix_report() {
  ReportDevice cx4;
  cx4.devid = "1013";
  cx4.psid = "MT_2190110032";
  cx4.bus = "0000:06";
  return report_xml({ReportDevice(), cx4});
}

TEST(TamarixLookup, TheToolNamesTheImage) {
  struct Case {
    const char* answer;
    const char* image;
    const char* firmware;
  } cases[] = {
      {R"({"answer": "srv01#Tamarix_B2.bin"})", "Tamarix_B2.bin", "2.10.800"},
      {R"({"answer": "srv01##Tamarix_C.bin#third field"})", "Tamarix_C.bin", "2.10.900"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.answer);
    SimServer server(tamarix_server(c.answer));
    server.write("r.xml", tamarix_report());
    RunResult r = server.run({"-u", "r.xml"});
    EXPECT_EQ(r.status, 0) << server.read("mstflint.log");
    std::vector<ToolCall> calls = server.calls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls[0].tool, "getmlnxinfo");
    EXPECT_EQ(calls[0].argv, (std::vector<std::string>{"imgfile", "0000:04:00.0"}));
    EXPECT_EQ(calls[0].stdout_kind, "file");
    EXPECT_EQ(getmlnxinfo_calls(server), 1u);  // only the Tamarix board is looked up
    EXPECT_EQ(burns(server), (std::vector<std::vector<std::string>>{
                                 burn_args("0000:04:00.0", c.image),
                                 burn_args("0000:06:00.0", "CX4_2.9.9.bin")}));
    EXPECT_EQ(server.firmware("0000:04:00.0"), c.firmware);
    // The command is shown as an operator would type it; its file is gone.
    EXPECT_TRUE(contains(r.out, "./getmlnxinfo imgfile 0000:04:00.0 > data")) << r.out;
    EXPECT_TRUE(stray_files(server).empty());
  }
}

TEST(TamarixLookup, NoAnswerStopsTheRun) {
  struct Case {
    const char* mlnxinfo;
    const char* event;
  } cases[] = {
      {R"({"answer": "0"})", ""},
      {R"({"answer": "srv01#Tamarix_B2.bin", "exit_code": 3})",
       "command failed: ./getmlnxinfo imgfile 0000:04:00.0 > data"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mlnxinfo);
    SimServer server(tamarix_server(c.mlnxinfo));
    server.write("r.xml", tamarix_report());
    RunResult r = server.run({"-u", "r.xml"});
    EXPECT_EQ(r.status, 2);
    const std::string log = server.read("mstflint.log");
    EXPECT_TRUE(contains(log, "read_discovery_report: Error in finding the image for "
                              "Tamarix/Pellion2"))
        << log;
    EXPECT_TRUE(contains(log, c.event)) << log;
    // Nothing is burned, not even the later device.
    EXPECT_TRUE(burns(server).empty());
    EXPECT_TRUE(stray_files(server).empty());
  }
}

TEST(TamarixLookup, AnswersNamingNoUsableImageAreRefused) {
  for (const char* answer : {R"({"answer": "srv01#../Tamarix_B2.bin"})",
                             R"({"answer": "srv01"})", R"({"answer": "srv01#.."})"}) {
    SCOPED_TRACE(answer);
    SimServer server(tamarix_server(answer));
    server.write("r.xml", tamarix_report());
    RunResult r = server.run({"-u", "r.xml"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(burns(server), (std::vector<std::vector<std::string>>{
                                 burn_args("0000:06:00.0", "CX4_2.9.9.bin")}));
    EXPECT_EQ(server.firmware("0000:04:00.0"), "2.9.1000");
  }
}

// ---------------------------------------------------------------------------
// Signals and the one-burning-run rule.

TEST(ApplyReport, ASignalLetsTheRunningBurnFinishAndStopsTheRest) {
  SimServer server(R"({"functions": [
    {"address": "0000:04:00.0", "class": "0x020000", "vendor": "0x15b3", "device": "0x1003",
     "subsystem_vendor": "0x15b3", "subsystem_device": "0x0050",
     "firmware": "2.9.1000", "psid": "MT_1090110019", "burn": {"seconds": 3}},
    {"address": "0000:05:00.0", "class": "0x020000", "vendor": "0x15b3", "device": "0x1003",
     "subsystem_vendor": "0x15b3", "subsystem_device": "0x0050",
     "firmware": "2.9.1000", "psid": "MT_1090110019"}],
   "catalog": [{"name": "CX3", "venid": "15B3", "devid": "1003", "subvenid": "15B3",
     "PSID": "MT_1090110019", "subdevid": "0050", "rom": "2.10.700", "fwFile": "CX3.bin"}]})");
  ReportDevice first, second;
  second.bus = "0000:05";
  server.write("r.xml", report_xml({first, second}));
  SimServer::Background run = server.start({"-u", "r.xml"});
  ASSERT_TRUE(server.wait_for_calls(1, 20000));
  run.signal(SIGTERM);
  RunResult r = run.wait();
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.signal, 0);
  EXPECT_EQ(server.firmware("0000:04:00.0"), "2.10.700");  // seen through
  EXPECT_EQ(server.firmware("0000:05:00.0"), "2.9.1000");  // not started
  EXPECT_EQ(burns(server).size(), 1u);
  EXPECT_TRUE(contains(server.read("mstflint.log"), "Stopped by signal 15"));
}

TEST(ApplyReport, AnotherBurningRunHoldsTheLock) {
  SimServer server(kMixedServer);
  server.write("r.xml", report_xml({ReportDevice()}));
  // The lock of a burning run elsewhere on this machine.
  int fd = -1;
  for (const char* path : {"/run/lock/fwkit.lock", "/tmp/fwkit.lock"}) {
    fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) break;
  }
  ASSERT_GE(fd, 0);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the lock stays taken";
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  RunResult r = server.run({"-u", "r.xml"});
  close(fd);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.err, "FWUPG_ERROR: another firmware upgrade is running")) << r.err;
  EXPECT_TRUE(burns(server).empty());
}

}  // namespace
}  // namespace e2e
