// Operator sessions about the adapter inventory: which adapters are found, in which order, and its failures.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "sim_harness.h"

namespace {

using e2e::RunResult;
using e2e::SimServer;

const std::string kRow(98, '#');

std::string after_banner(const std::string& out) {
  size_t end = out.find(kRow + "\n\n", 100);
  return end == std::string::npos ? out : out.substr(end + kRow.size() + 2);
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// Removes the diagnostic file a run names on its console when the test ends.
class DiagnosticFile {
 public:
  explicit DiagnosticFile(const std::string& out) {
    std::smatch m;
    static const std::regex kLine("please check (/tmp/data[A-Za-z0-9]{6})\n");
    if (std::regex_search(out, m, kLine)) path_ = m[1];
  }
  ~DiagnosticFile() {
    if (!path_.empty()) std::remove(path_.c_str());
  }
  DiagnosticFile(const DiagnosticFile&) = delete;
  DiagnosticFile& operator=(const DiagnosticFile&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// The adapter list "[i] ADDRESS VENDOR" of a run, as (address, vendor) pairs.
std::vector<std::pair<std::string, std::string>> adapter_list(const std::string& out) {
  std::vector<std::pair<std::string, std::string>> list;
  static const std::regex kEntry(R"(\[(\d+)\] (\S+) ([^\n]*)\n)");
  for (auto it = std::sregex_iterator(out.begin(), out.end(), kEntry); it != std::sregex_iterator(); ++it) {
    EXPECT_EQ(std::stoul((*it)[1]), list.size());
    list.emplace_back((*it)[2], (*it)[3]);
  }
  return list;
}

std::string function_json(const std::string& address, const std::string& cls, const std::string& vendor,
                          const std::string& device, const std::string& extra = "") {
  return R"({"address": ")" + address + R"(", "class": ")" + cls + R"(", "vendor": ")" + vendor +
         R"(", "device": ")" + device + "\"" + extra + "}";
}

const char* const kCx5 =
    R"(, "subsystem_vendor": "0x15b3", "subsystem_device": "0x0020", "firmware": "16.26.1040", "psid": "MT_0000000008")";

TEST(InventorySession, ServerWithoutNetworkAdapters) {
  for (const char* description :
       {R"({"functions": []})",
        R"({"functions": [{"address": "0000:01:00.0", "class": "0x010802", "vendor": "0x144d", "device": "0xa808"}]})"}) {
    SimServer server(description);
    RunResult r = server.run({"-c"});
    DiagnosticFile diagnostics(r.out);
    EXPECT_EQ(r.status, 0) << description;
    EXPECT_EQ(after_banner(r.out),
              "NO Interface Found\n"
              "List of Network Adapters detected on the Server.................\n"
              "\n"
              "If PSID or FW_Version is not found for some interfaces, please check " +
                  diagnostics.path() + "\n\n")
        << description;
    EXPECT_TRUE(std::regex_match(
        r.err, std::regex("\n\nFWUPG_ERROR: get_interface_list filed RC = 1\nnic_table\\.cc,\\d+\n\n")))
        << r.err;
    EXPECT_TRUE(server.calls().empty());
  }
}

TEST(InventorySession, AdaptersOfOtherVendorsAreListedButNeverQueried) {
  SimServer server(R"({"functions": [)" +
                   function_json("0000:02:00.0", "0x020000", "0x8086", "0x1521") + "," +
                   function_json("0000:03:00.0", "0x028000", "0x14e4", "0x1657") + "," +
                   function_json("0000:04:00.0", "0x020000", "0xfff0", "0x0001") + "]}");
  RunResult r = server.run({"-c"});
  DiagnosticFile diagnostics(r.out);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  auto list = adapter_list(r.out);
  ASSERT_EQ(list.size(), 3u) << r.out;
  EXPECT_EQ(list[0], std::make_pair(std::string("0000:02:00.0"), std::string("Intel Corporation")));
  EXPECT_EQ(list[2], std::make_pair(std::string("0000:04:00.0"), std::string("Vendor fff0")));
  EXPECT_TRUE(contains(r.out,
                       "Interface 0000:02:00.0 is not Mellanox one.\n"
                       "Interface 0000:03:00.0 is not Mellanox one.\n"
                       "Interface 0000:04:00.0 is not Mellanox one.\n"))
      << r.out;
  EXPECT_FALSE(contains(r.out, " PCI-ID "));
  EXPECT_TRUE(server.calls().empty());
  EXPECT_FALSE(server.exists("mstflint.log") && contains(server.read("mstflint.log"), "["));
}

TEST(InventorySession, MissingSysfsIdentityFileEndsTheRun) {
  SimServer server(R"({"functions": [)" +
                   function_json("0000:04:00.0", "0x020000", "0x15b3", "0x1017",
                                 std::string(kCx5) + R"(, "omit_sysfs": ["subsystem_device"])") +
                   "]}");
  RunResult r = server.run({"-c"});
  DiagnosticFile diagnostics(r.out);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(std::regex_match(
      r.err, std::regex("ERROR: could not open /sys/bus/pci/devices/0000:04:00\\.0/subsystem_device "
                        "\\(errno=2\\), pci_enum\\.cc,\\d+\n"
                        "\n\nFWUPG_ERROR: RC = 1\nnic_table\\.cc,\\d+\n\n")))
      << r.err;
  EXPECT_TRUE(contains(r.out, "Mellanox card info for 0000:04:00.0 = FW_VERSION 16.26.1040"));
  EXPECT_FALSE(contains(r.out, "DEVICE INFO"));
  EXPECT_FALSE(contains(r.out, " PCI-ID "));
}

TEST(InventorySession, EveryAdapterOfALargeServerInAddressOrder) {
  // 104 single-function Intel ports, one Intel device with 8 functions, and
  // the vendor's adapters: one in PCI domain 0x0100, one whose function 0 is
  // not a network function, one two-port board, and one at the highest bus.
  std::vector<std::string> functions;
  for (int i = 0; i < 104; ++i) {
    char address[16];
    std::snprintf(address, sizeof address, "0000:%02x:%02x.0", 0x10 + i / 32, i % 32);
    functions.push_back(function_json(address, "0x020000", "0x8086", "0x1521"));
  }
  for (int f = 0; f < 8; ++f)
    functions.push_back(function_json("0000:20:00." + std::to_string(f), "0x020000", "0x8086", "0x1572"));
  functions.push_back(function_json("0100:02:00.0", "0x020000", "0x15b3", "0x1017", kCx5));
  functions.push_back(function_json("0000:03:00.0", "0x0c0330", "0x15b3", "0x1017"));
  functions.push_back(function_json("0000:03:00.1", "0x020000", "0x15b3", "0x1017", kCx5));
  functions.push_back(function_json("0000:05:00.0", "0x020700", "0x15b3", "0x1017", kCx5));
  functions.push_back(function_json("0000:05:00.1", "0x020700", "0x15b3", "0x1017", kCx5));
  functions.push_back(function_json("0000:fe:00.0", "0x0c0600", "0x15b3", "0x1017", kCx5));
  std::string description = R"({"functions": [)";
  // Listed in reverse, so no order comes for free from the description.
  for (auto it = functions.rbegin(); it != functions.rend(); ++it)
    description += (it == functions.rbegin() ? "" : ",") + *it;
  SimServer server(description + "]}");

  RunResult r = server.run({"-c"});
  DiagnosticFile diagnostics(r.out);
  ASSERT_EQ(r.status, 0) << r.err;
  auto list = adapter_list(r.out);
  ASSERT_EQ(list.size(), 104u + 1 + 4) << r.out;
  EXPECT_TRUE(std::is_sorted(list.begin(), list.end()));
  std::vector<std::string> mellanox;
  for (const auto& [address, vendor] : list)
    if (vendor == "Mellanox Technologies") mellanox.push_back(address);
  EXPECT_EQ(mellanox, (std::vector<std::string>{"0000:03:00.1", "0000:05:00.0", "0000:fe:00.0",
                                                "0100:02:00.0"}));
  EXPECT_EQ(list.back().first, "0100:02:00.0");
  EXPECT_EQ(std::count(list.begin(), list.end(),
                       std::make_pair(std::string("0000:20:00.0"), std::string("Intel Corporation"))),
            1);

  // Each of the vendor's adapters is queried once and reported.
  std::vector<std::string> queried;
  for (const e2e::ToolCall& call : server.calls()) queried.push_back(call.argv.at(1));
  EXPECT_EQ(queried, mellanox);
  for (const std::string& address : mellanox)
    EXPECT_TRUE(contains(r.out, "      ROM       16.26.1040    ROM\t\t16.27.2008\t\t" + address + "\n"))
        << address;
}

}  // namespace
