// The simulated server and the harness on their own, without fwkit.
#include "sim_harness.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cctype>
#include <stdexcept>
#include <string>
#include <vector>

namespace e2e {
namespace {

const std::string kCx5Image = "./nic_fw/CX5_EN_25G_2P_16.28.2006.bin";

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

size_t count_lines(const std::string& text) { return std::count(text.begin(), text.end(), '\n'); }

// The value fwkit takes from a query report: the first line holding the
// label in any case, from column len(label)+1 on, blanks dropped, and the
// last character (the newline) cut off.
std::string cut_value(const std::string& report, const std::string& label) {
  auto lower = [](std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
  };
  size_t start = 0;
  while (start < report.size()) {
    size_t end = report.find('\n', start);
    std::string line = report.substr(start, end == std::string::npos ? end : end - start + 1);
    if (contains(lower(line), lower(label))) {
      std::string value;
      for (size_t i = label.size() + 1; i < line.size(); ++i)
        if (line[i] != ' ') value += line[i];
      if (!value.empty()) value.pop_back();
      return value;
    }
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return "<no line with " + label + ">";
}

std::vector<std::string> burn(const std::string& address, const std::string& image) {
  return {"./nic_fw/mstflint", "-y", "-d", address, "-i", image, "b"};
}

TEST(SimHarness, LibpciSeesTheSampleServer) {
  SimServer server(sample_server());
  RunResult r = server.run_command({"lspci", "-nn"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(count_lines(r.out), 5u) << r.out;
  EXPECT_TRUE(contains(r.out, "04:00.0 Ethernet controller [0200]: Mellanox Technologies "
                              "MT27800 Family [ConnectX-5] [15b3:1017]"))
      << r.out;
  EXPECT_TRUE(contains(r.out, "04:00.1 Ethernet controller [0200]: Mellanox Technologies"));
  EXPECT_TRUE(contains(r.out, "81:00.0 Ethernet controller [0200]: Mellanox Technologies "
                              "MT27710 Family [ConnectX-4 Lx] [15b3:1015]"));
  EXPECT_TRUE(contains(r.out, "02:00.0 Ethernet controller [0200]: Intel Corporation"));
  EXPECT_TRUE(contains(r.out, "01:00.0 Non-Volatile memory controller [0108]"));

  RunResult ids = server.run_command(
      {"cat", "/sys/bus/pci/devices/0000:81:00.0/vendor",
       "/sys/bus/pci/devices/0000:81:00.0/subsystem_device"});
  EXPECT_EQ(ids.out, "0x15b3\n0x0003\n");
}

TEST(SimHarness, ManyFunctionsHighDomainsAndMissingFiles) {
  std::string functions;
  for (int i = 0; i < 129; ++i) {
    char address[16];
    std::snprintf(address, sizeof address, "0000:%02x:%02x.%d", 0x10 + i / 32, i % 32, 0);
    functions += std::string(R"({"address": ")") + address +
                 R"(", "class": "0x020700", "vendor": "0x15b3", "device": "0x1013"},)";
  }
  functions += R"({"address": "0100:02:00.0", "class": "0x020000", "vendor": "0x15b3",
                   "device": "0x1017", "omit_sysfs": ["subsystem_device"]})";
  SimServer server(R"({"functions": [)" + functions + "]}");

  RunResult r = server.run_command({"lspci", "-D"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(count_lines(r.out), 130u);
  EXPECT_TRUE(contains(r.out, "0000:13:00.0 Infiniband controller: Mellanox Technologies"));
  EXPECT_TRUE(contains(r.out, "0100:02:00.0 Ethernet controller: Mellanox Technologies"));

  EXPECT_EQ(server.run_command({"cat", "/sys/bus/pci/devices/0100:02:00.0/subsystem_vendor"}).out,
            "0x15b3\n");
  EXPECT_NE(server.run_command({"cat", "/sys/bus/pci/devices/0100:02:00.0/subsystem_device"})
                .status,
            0);
}

TEST(SimHarness, AnEmptyServerShowsNoneOfTheHostsDevices) {
  SimServer server(R"({"functions": []})");
  RunResult r = server.run_command({"lspci", "-n"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
}

TEST(SimHarness, RefusesABadDescription) {
  EXPECT_THROW(SimServer(R"({"functions": [{"address": "4:0.0", "class": "0x020000"}]})"),
               std::runtime_error);
}

TEST(SimHarness, StandInQueriesAndBurnsChangeTheState) {
  SimServer server(sample_server());
  RunResult q = server.run_command({"./nic_fw/mstflint", "-d", "0000:04:00.0", "q"});
  EXPECT_EQ(q.status, 0);
  EXPECT_EQ(cut_value(q.out, "FW Version"), "16.26.1040") << q.out;
  EXPECT_EQ(cut_value(q.out, "PSID"), "MT_0000000008") << q.out;

  RunResult intel = server.run_command({"./nic_fw/mstflint", "-d", "0000:02:00.0", "q"});
  EXPECT_EQ(intel.status, 1);
  EXPECT_TRUE(contains(intel.err, "0000:02:00.0"));

  RunResult ok = server.run_command(burn("0000:04:00.0", kCx5Image));
  EXPECT_EQ(ok.status, 0) << ok.err;
  EXPECT_TRUE(contains(ok.out, "Burning FW image ... 100%"));
  EXPECT_EQ(server.firmware("0000:04:00.0"), "16.28.2006");
  EXPECT_EQ(server.firmware("0000:04:00.1"), "16.28.2006");  // same device, same flash
  EXPECT_EQ(server.firmware("0000:81:00.0"), "14.31.1014");
  q = server.run_command({"./nic_fw/mstflint", "-d", "0000:04:00.1", "q"});
  EXPECT_EQ(cut_value(q.out, "FW Version"), "16.28.2006");

  RunResult mismatch = server.run_command(burn("0000:81:00.0", kCx5Image));
  EXPECT_EQ(mismatch.status, 1);
  EXPECT_TRUE(contains(mismatch.err, "PSID Mismatch")) << mismatch.err;
  EXPECT_EQ(server.firmware("0000:81:00.0"), "14.31.1014");

  RunResult usage = server.run_command({"./nic_fw/mstflint", "-d", "0000:04:00.0", "b"});
  EXPECT_EQ(usage.status, 1);

  std::vector<ToolCall> calls = server.calls();
  ASSERT_EQ(calls.size(), 6u);
  EXPECT_EQ(calls[2].tool, "mstflint");
  EXPECT_EQ(calls[2].argv,
            (std::vector<std::string>{"-y", "-d", "0000:04:00.0", "-i", kCx5Image, "b"}));
  EXPECT_EQ(calls[2].cwd, server.dir());
  EXPECT_EQ(calls[2].stdout_kind, "pipe");
}

TEST(SimHarness, BurnOutcomesKeepExactStatuses) {
  SimServer server(R"({"functions": [
    {"address": "0000:05:00.0", "class": "0x020000", "vendor": "0x15b3", "device": "0x1017",
     "firmware": "16.26.1040", "psid": "MT_1", "burn": {"outcome": "fail", "exit_code": 7}},
    {"address": "0000:06:00.0", "class": "0x020000", "vendor": "0x15b3", "device": "0x1017",
     "firmware": "16.26.1040", "psid": "MT_1", "burn": {"outcome": "killed"}},
    {"address": "0000:07:00.0", "class": "0x020000", "vendor": "0x15b3", "device": "0x1017",
     "firmware": "16.26.1040", "psid": "MT_1", "burn": {"seconds": 10}}],
    "images": [{"file": "new.bin", "version": "16.28.2006", "psid": "MT_1"}]})");

  RunResult fail = server.run_command(burn("0000:05:00.0", "./nic_fw/new.bin"));
  EXPECT_EQ(fail.status, 7);
  EXPECT_EQ(fail.signal, 0);
  // umockdev-run alone would report this as exit status 9.
  RunResult killed = server.run_command(burn("0000:06:00.0", "./nic_fw/new.bin"));
  EXPECT_EQ(killed.signal, SIGKILL);
  EXPECT_EQ(killed.status, 128 + SIGKILL);

  SimServer::Background slow = server.start_command(burn("0000:07:00.0", "./nic_fw/new.bin"));
  ASSERT_TRUE(slow.wait_for_output("Burning FW image ... 10%", 20000)) << slow.out();
  EXPECT_TRUE(slow.running());
  slow.signal(SIGTERM);
  RunResult stopped = slow.wait();
  EXPECT_EQ(stopped.signal, SIGTERM);
  EXPECT_EQ(stopped.status, 128 + SIGTERM);
  EXPECT_FALSE(contains(stopped.out, "100%"));
  EXPECT_EQ(server.firmware("0000:07:00.0"), "16.26.1040");
  EXPECT_EQ(server.calls().size(), 3u);
}

TEST(SimHarness, TerminalRunsMlnxinfoAndBlockedFiles) {
  SimServer server(R"({"functions": [
    {"address": "0000:04:00.0", "class": "0x020000", "vendor": "0x15b3", "device": "0x1017",
     "firmware": "16.26.1040", "psid": "MT_1",
     "mlnxinfo": {"answer": "server01#Tamarix_16.28.bin", "exit_code": 3}},
    {"address": "0000:05:00.0", "class": "0x020000", "vendor": "0x15b3", "device": "0x1017",
     "firmware": "16.26.1040", "psid": "MT_1", "query_output": "fw version:\t1.2.3"}],
    "catalog": [{"name": "Board", "venid": "15B3", "devid": "1017", "subvenid": "15B3",
                 "PSID": "MT_1", "subdevid": "0001", "rom": "16.28.2006", "fwFile": "b.bin"}]})");

  RunResult tty = server.run_command_on_pty({"./nic_fw/mstflint", "-d", "0000:04:00.0", "q"});
  EXPECT_EQ(tty.status, 0);
  EXPECT_EQ(cut_value(tty.out, "FW Version"), "16.26.1040") << tty.out;
  ASSERT_FALSE(server.calls().empty());
  EXPECT_EQ(server.calls().back().stdout_kind, "tty");

  RunResult raw = server.run_command({"./nic_fw/mstflint", "-d", "0000:05:00.0", "q"});
  EXPECT_EQ(raw.out, "fw version:\t1.2.3");

  RunResult info = server.run_command({"./getmlnxinfo", "imgfile", "0000:04:00.0"});
  EXPECT_EQ(info.status, 3);
  EXPECT_EQ(info.out, "server01#Tamarix_16.28.bin\n");
  info = server.run_command({"./getmlnxinfo", "imgfile", "0000:05:00.0"});
  EXPECT_EQ(info.status, 0);
  EXPECT_EQ(info.out, "0\n");
  EXPECT_EQ(server.calls().back().tool, "getmlnxinfo");

  EXPECT_TRUE(contains(server.read("nic_fw/NICFWData.xml"),
                       R"(<Image name="Board" venid="15B3" devid="1017" subvenid="15B3" )"
                       R"(PSID="MT_1" subdevid="0001" rom="16.28.2006" fwFile="b.bin"/>)"));
  EXPECT_EQ(server.read("nic_fw/b.bin"), "FWKIT-SIM-IMAGE\nversion=16.28.2006\npsid=MT_1\n");

  server.block_log();
  EXPECT_NE(server.run_command({"sh", "-c", "echo event >> mstflint.log"}).status, 0);
}

}  // namespace
}  // namespace e2e
