// Upgrade runs through the real binary on simulated servers: fwkit, fwkit -s, fwkit -s -F, fwkit -y.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ostream>
#include <thread>
#include <string>
#include <vector>

#include "sim_harness.h"

namespace {

using e2e::RunResult;
using e2e::SimServer;

// ---------------------------------------------------------------------------
// Boards of the simulated servers and their catalog images.

struct Board {
  const char* device;
  const char* psid;
  const char* name;
};
const Board kCX5 = {"0x1017", "MT_0000000008", "ConnectX-5 EN 25GbE dual-port SFP28"};
const Board kCX4 = {"0x1015", "MT_2420110034", "ConnectX-4 Lx EN 25GbE dual-port SFP28"};
const Board kCX6 = {"0x101b", "MT_0000000222", "ConnectX-6 HDR100 single-port QSFP56"};

// One Mellanox PCI function running `firmware`; `burn` is the simulator's
// burn behaviour as JSON members (empty: the burn succeeds at once).
std::string adapter(const std::string& address, const Board& board, const std::string& firmware,
                    const std::string& burn = "") {
  std::string fn = "{\"address\": \"" + address +
                   "\", \"class\": \"0x020000\", \"vendor\": \"0x15b3\", \"device\": \"" +
                   board.device + "\", \"subsystem_vendor\": \"0x15b3\", \"subsystem_device\": "
                   "\"0x0001\", \"firmware\": \"" + firmware + "\", \"psid\": \"" + board.psid +
                   "\"";
  if (!burn.empty()) fn += ", \"burn\": {" + burn + "}";
  return fn + "}";
}

std::string intel_port(const std::string& address) {
  return "{\"address\": \"" + address +
         "\", \"class\": \"0x020000\", \"vendor\": \"0x8086\", \"device\": \"0x1521\"}";
}

std::string image_file(const Board& board, const std::string& rom) {
  return std::string(board.device + 2) + "_" + rom + ".bin";
}

// A catalog entry, attributes in the catalog's order.
std::string image(const Board& board, const std::string& rom, const std::string& file = "") {
  std::string dev = std::string(board.device + 2);
  for (char& c : dev) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return "{\"name\": \"" + std::string(board.name) + "\", \"venid\": \"15B3\", \"devid\": \"" +
         dev + "\", \"subvenid\": \"15B3\", \"PSID\": \"" + board.psid +
         "\", \"subdevid\": \"0001\", \"rom\": \"" + rom + "\", \"fwFile\": \"" +
         (file.empty() ? image_file(board, rom) : file) + "\"}";
}

std::string server(const std::vector<std::string>& functions,
                   const std::vector<std::string>& catalog) {
  auto list = [](const std::vector<std::string>& items) {
    std::string text;
    for (const std::string& item : items) text += (text.empty() ? "" : ",\n  ") + item;
    return text;
  };
  return "{\"functions\": [\n  " + list(functions) + "\n],\n\"catalog\": [\n  " + list(catalog) +
         "\n]}";
}

// The catalog every server below uses: two images per board.
std::vector<std::string> standard_catalog() {
  return {image(kCX5, "16.27.2008"), image(kCX5, "16.28.2006"), image(kCX4, "14.31.1014"),
          image(kCX4, "14.32.1010"), image(kCX6, "20.31.1014"), image(kCX6, "20.32.1010")};
}

// ---------------------------------------------------------------------------
// Reading what a run left behind.

// The argument vectors of the burns the stand-in tool received, in order.
std::vector<std::vector<std::string>> burns(const SimServer& sim) {
  std::vector<std::vector<std::string>> found;
  for (const e2e::ToolCall& call : sim.calls()) {
    if (call.tool == "mstflint" && !call.argv.empty() && call.argv.back() == "b")
      found.push_back(call.argv);
  }
  return found;
}

// Waits until the stand-in tool has received `n` burn calls.
bool wait_for_burns(const SimServer& sim, size_t n, int timeout_ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (burns(sim).size() < n) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

std::vector<std::string> burn_argv(bool silent, const std::string& address,
                                   const std::string& file) {
  std::vector<std::string> argv;
  if (silent) argv.push_back("-s");
  for (const std::string& arg : {std::string("-y"), std::string("-d"), address, std::string("-i"),
                                 "./nic_fw/" + file, std::string("b")})
    argv.push_back(arg);
  return argv;
}

std::string burn_line(bool silent, const std::string& address, const std::string& file) {
  std::string line = "./nic_fw/mstflint";
  for (const std::string& arg : burn_argv(silent, address, file)) line += " " + arg;
  return line;
}

// Events of the log with this tag and exactly this text: "TAG [time] TEXT\n".
int count_events(const std::string& log, const char* tag, const std::string& text) {
  const size_t tag_size = std::strlen(tag);
  const size_t kTime = 24;
  int found = 0;
  for (size_t pos = log.find(tag); pos != std::string::npos; pos = log.find(tag, pos + 1)) {
    size_t at = pos + tag_size;
    if (log.compare(at, 2, " [") == 0 && log.compare(at + 2 + kTime, 2, "] ") == 0 &&
        log.compare(at + 4 + kTime, text.size() + 1, text + "\n") == 0)
      ++found;
  }
  return found;
}

const char* const kError = "[ERROR]    ";
const char* const kWarning = "[WARNING]  ";
const char* const kInfo = "[INFO]     ";

const std::string kBannerRow = std::string(98, '#') + "\n";

// Standard output after the start banner.
std::string after_banner(const std::string& out) {
  size_t first = out.find(kBannerRow);
  size_t second = first == std::string::npos ? first : out.find(kBannerRow, first + 1);
  if (second == std::string::npos) return "(no banner) " + out;
  return out.substr(second + kBannerRow.size() + 1);
}

// Standard output from the first occurrence of `marker` on.
std::string from(const std::string& out, const std::string& marker) {
  size_t pos = out.find(marker);
  return pos == std::string::npos ? "(missing: " + marker + ") " + out : out.substr(pos);
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// The console lines of image selection for one adapter.
std::string versions_shown(const std::string& address, const std::string& running,
                           const std::vector<std::string>& listed, bool newer) {
  std::string text;
  if (newer) {
    text += "Repository has New firmware version for interface " + address +
            ".................Please flash the newer version\n";
  }
  text += "\nCurrent Firmware Version is " + running + " on " + address + " \n";
  text += "Repository has these firmware versions............";
  for (size_t i = 0; i < listed.size(); ++i)
    text += "[" + std::to_string(i + 1) + "] Image Version  " + listed[i] + "\n";
  if (!newer) {
    text += "Repository doesn't have newer firmware version, Installed firmware version is the "
            "latest one..........Please Quit the updation.\n";
  }
  return text;
}

const std::string kQuestion = "Would you like to flash the firmware?\n";
const std::string kAskYes = kQuestion + " y/n/q (y):";
const std::string kAskNo = kQuestion + " y/n/q (n):";
const std::string kLatest = "*** WARNING *** - Installed firmware is the latest firmware\n";
const std::string kPatience =
    "\nThe Firmware Upgrade will take several minutes.  Please be patient.\n";
const std::string kSuccessEvent = "MAC              Upgrade SUCCESS\n";
const std::string kComplete =
    "\nNIC firmware update complete.\n"
    "\n\nPlease Reboot node for new image to be loaded into silicon\n\n";
const std::string kWithErrors = "\nNIC firmware update completed with errors. \n";
const std::string kCancelled = "\nFirmware upgrade cancelled by User \n";
const std::string kNotComplete =
    "\nNIC firmware update did not complete.  Check log for errors. \n";

std::string flashed(const std::string& address) {
  return "Firmware Flashed:\tSUCCESS  for interface " + address + "\n\n";
}

// The PSID test command as it is echoed, with the tool's output file in it.
const std::string kPsidTestStart = "grep -i \"PSID Mismatch\" /tmp/data";

// ---------------------------------------------------------------------------
// An interactive run on a server with one adapter behind on its firmware.

TEST(InteractiveUpgrade, EnterTakesTheDefaultYesAndBurnsTheHighestImage) {
  SimServer sim(server({intel_port("0000:02:00.0"), adapter("0000:04:00.0", kCX5, "16.26.1040")},
                       standard_catalog()));
  RunResult r = sim.run({}, "\n");

  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(from(r.out, "Repository has New"),
            versions_shown("0000:04:00.0", "16.26.1040", {"16.27.2008", "16.28.2006"}, true) +
                kAskYes + flashed("0000:04:00.0") + kComplete);
  EXPECT_EQ(r.err, "");
  ASSERT_EQ(burns(sim).size(), 1u);
  EXPECT_EQ(burns(sim)[0], burn_argv(false, "0000:04:00.0", image_file(kCX5, "16.28.2006")));
  EXPECT_EQ(sim.firmware("0000:04:00.0"), "16.28.2006");

  std::string log = sim.read("mstflint.log");
  EXPECT_EQ(count_events(log, kInfo, kAskYes + " \n\n"), 1) << log;
  EXPECT_EQ(count_events(log, kInfo, kPatience), 1) << log;
  EXPECT_EQ(count_events(log, kInfo, "\nSelecting " + std::string(kCX5.name) + " MAC: " +
                                         std::string(12, ' ') + " \n"),
            1)
      << log;
  EXPECT_EQ(count_events(log, kInfo, kSuccessEvent), 1) << log;
  EXPECT_EQ(count_events(log, kError, "Upgrade failed\n " +
                                          burn_line(false, "0000:04:00.0",
                                                    image_file(kCX5, "16.28.2006")) + "\n"),
            0);
}

// One adapter needing an upgrade (default yes), one up to date (default no),
// and the operator's replies to their questions.
struct ReplyCase {
  const char* what;
  std::string input;
  std::vector<std::string> burned;  // addresses, in order
  int status;
  std::string closing;              // the end of standard output
};

void PrintTo(const ReplyCase& c, std::ostream* os) { *os << c.what; }

class OperatorReplies : public testing::TestWithParam<ReplyCase> {};

TEST_P(OperatorReplies, DecideWhatIsBurned) {
  const ReplyCase& c = GetParam();
  SimServer sim(server({adapter("0000:04:00.0", kCX5, "16.26.1040"),
                        adapter("0000:81:00.0", kCX4, "14.32.1010")},
                       standard_catalog()));
  RunResult r = sim.run({}, c.input);

  EXPECT_EQ(r.status, c.status) << r.out << r.err;
  std::vector<std::string> burned;
  for (const auto& argv : burns(sim)) burned.push_back(argv.size() > 2 ? argv[2] : "?");
  EXPECT_EQ(burned, c.burned);
  EXPECT_TRUE(r.out.ends_with(c.closing)) << r.out;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(sim.firmware("0000:04:00.0"),
            c.burned.size() > 0 && c.burned[0] == "0000:04:00.0" ? "16.28.2006" : "16.26.1040");
}

const std::string kAskFirst = kAskYes;  // the first adapter's question
const std::string kAskSecond =
    versions_shown("0000:81:00.0", "14.32.1010", {"14.31.1014", "14.32.1010"}, false) + kAskNo;

INSTANTIATE_TEST_SUITE_P(
    Table, OperatorReplies,
    testing::Values(
        ReplyCase{"empty lines take both defaults", "\n\n", {"0000:04:00.0"}, 0,
                  flashed("0000:04:00.0") + kAskSecond + kComplete},
        ReplyCase{"Y then YES re-flashes the latest", "Y\nYES\n",
                  {"0000:04:00.0", "0000:81:00.0"}, 0,
                  flashed("0000:81:00.0") + kComplete},
        ReplyCase{"N is no", "N\n\n", {}, 0, kAskSecond},
        ReplyCase{"nope is no", "nope\nn\n", {}, 0, kAskSecond},
        ReplyCase{"a y with a leading blank is no", " y\n\n", {}, 0, kAskSecond},
        ReplyCase{"yes then a cut-off y", "yes\ny", {"0000:04:00.0", "0000:81:00.0"}, 0,
                  flashed("0000:81:00.0") + kComplete},
        ReplyCase{"n at end of input is no, not the default yes", "n", {}, 3,
                  kAskSecond + "Unknown input problem!\nQuit...\n" + kCancelled},
        ReplyCase{"a reply of 10000 characters is no", std::string(10000, 'y') + "\nn\n", {}, 0,
                  kAskSecond},
        ReplyCase{"quit at the first question", "quit\n", {}, 3, kAskFirst + kCancelled},
        ReplyCase{"q at the first question", "q\n", {}, 3, kAskFirst + kCancelled},
        ReplyCase{"QUIT at the second question", "\nQUIT\n", {"0000:04:00.0"}, 3,
                  kAskSecond + kCancelled},
        ReplyCase{"end of input at the first question", "", {}, 3,
                  kAskFirst + "Unknown input problem!\nQuit...\n" + kCancelled},
        ReplyCase{"end of input at the second question", "y\n", {"0000:04:00.0"}, 3,
                  kAskSecond + "Unknown input problem!\nQuit...\n" + kCancelled}),
    [](const testing::TestParamInfo<ReplyCase>& info) {
      std::string name;
      for (const char* p = info.param.what; *p; ++p)
        name += isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
      return name;
    });

TEST(InteractiveUpgrade, AnswersAreLoggedAsTyped) {
  SimServer sim(server({adapter("0000:04:00.0", kCX5, "16.26.1040"),
                        adapter("0000:81:00.0", kCX4, "14.32.1010")},
                       standard_catalog()));
  RunResult r = sim.run({}, "nope\n" + std::string(10000, 'n') + "\n");
  EXPECT_EQ(r.status, 0) << r.out;
  std::string log = sim.read("mstflint.log");
  EXPECT_EQ(count_events(log, kInfo, kAskYes + " nope\n\n"), 1) << log;
  EXPECT_EQ(count_events(log, kInfo,
                         kAskNo + " " + std::string(499, 'n') + "... (10000 characters)\n\n"),
            1)
      << log;
  EXPECT_EQ(count_events(log, kWarning, kLatest), 1) << log;
  EXPECT_TRUE(burns(sim).empty());
}

TEST(InteractiveUpgrade, CAtTheFirstAdapterFlashesItAndAsksNoMore) {
  SimServer sim(server({adapter("0000:03:00.0", kCX6, "20.30.1000"),
                        adapter("0000:04:00.0", kCX5, "16.26.1040"),
                        adapter("0000:81:00.0", kCX4, "14.31.1014")},
                       standard_catalog()));
  RunResult r = sim.run({}, "c\ny\ny\n");

  EXPECT_EQ(r.status, 0) << r.out << r.err;
  ASSERT_EQ(burns(sim).size(), 1u);
  EXPECT_EQ(burns(sim)[0], burn_argv(false, "0000:03:00.0", image_file(kCX6, "20.32.1010")));
  EXPECT_EQ(from(r.out, "Repository has New"),
            versions_shown("0000:03:00.0", "20.30.1000", {"20.31.1014", "20.32.1010"}, true) +
                kAskYes + flashed("0000:03:00.0") + kComplete);
  EXPECT_EQ(sim.firmware("0000:04:00.0"), "16.26.1040");
  EXPECT_EQ(sim.firmware("0000:81:00.0"), "14.31.1014");
}

TEST(InteractiveUpgrade, QuitAtTheSecondAdapterKeepsTheFirstFlashed) {
  SimServer sim(server({adapter("0000:04:00.0", kCX5, "16.26.1040"),
                        adapter("0000:81:00.0", kCX4, "14.31.1014")},
                       standard_catalog()));
  RunResult r = sim.run({}, "y\nq\n");

  EXPECT_EQ(r.status, 3);
  EXPECT_TRUE(r.out.ends_with(flashed("0000:04:00.0") +
                              versions_shown("0000:81:00.0", "14.31.1014",
                                             {"14.31.1014", "14.32.1010"}, true) +
                              kAskYes + kCancelled))
      << r.out;
  EXPECT_FALSE(contains(r.out, "Please Reboot"));
  EXPECT_EQ(burns(sim).size(), 1u);
  EXPECT_EQ(sim.firmware("0000:04:00.0"), "16.28.2006");
  EXPECT_EQ(sim.firmware("0000:81:00.0"), "14.31.1014");
}

TEST(InteractiveUpgrade, AdapterWithoutCatalogImagesIsPassedOver) {
  SimServer sim(server({adapter("0000:03:00.0", kCX6, "20.30.1000"),
                        adapter("0000:04:00.0", kCX5, "16.26.1040")},
                       {image(kCX5, "16.28.2006")}));
  RunResult r = sim.run({}, "y\n");

  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_FALSE(contains(r.out, "Current Firmware Version is 20.30.1000"));
  EXPECT_EQ(from(r.out, "Repository has New"),
            versions_shown("0000:04:00.0", "16.26.1040", {"16.28.2006"}, true) + kAskYes +
                flashed("0000:04:00.0") + kComplete);
}

// ---------------------------------------------------------------------------
// The closing message and exit status of every way a run can end.

TEST(UpgradeOutcome, EventLogThatCannotBeOpenedEndsTheRunAtOnce) {
  SimServer sim(server({adapter("0000:04:00.0", kCX5, "16.26.1040")}, standard_catalog()));
  sim.block_log();
  for (const std::vector<std::string>& args : {std::vector<std::string>{},
                                               std::vector<std::string>{"-s"}}) {
    RunResult r = sim.run(args, "y\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.err.starts_with("FWUPG_ERROR: could not open mstflint.log (21), ")) << r.err;
    EXPECT_EQ(after_banner(r.out), "");
  }
  EXPECT_TRUE(sim.calls().empty());
}

TEST(UpgradeOutcome, NoAdapterOfTheVendorDidNotComplete) {
  SimServer sim(server({intel_port("0000:02:00.0")}, standard_catalog()));
  RunResult r = sim.run({});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(r.out.ends_with(kNotComplete)) << r.out;
  EXPECT_TRUE(burns(sim).empty());
}

TEST(UpgradeOutcome, NoReadableAdapterDidNotComplete) {
  // The tool cannot open the device: no version, no PSID.
  SimServer sim(server({"{\"address\": \"0000:04:00.0\", \"class\": \"0x020000\", \"vendor\": "
                        "\"0x15b3\", \"device\": \"0x1017\"}"},
                       standard_catalog()));
  RunResult r = sim.run({}, "y\n");
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(r.out.ends_with(kNotComplete)) << r.out;
  EXPECT_TRUE(burns(sim).empty());
}

TEST(UpgradeOutcome, AllAnsweredNoEndsQuietly) {
  SimServer sim(server({adapter("0000:04:00.0", kCX5, "16.26.1040"),
                        adapter("0000:81:00.0", kCX4, "14.31.1014")},
                       standard_catalog()));
  RunResult r = sim.run({}, "n\nn\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(r.out.ends_with(
      versions_shown("0000:81:00.0", "14.31.1014", {"14.31.1014", "14.32.1010"}, true) +
      kAskYes))
      << r.out;
  EXPECT_TRUE(burns(sim).empty());
}

TEST(UpgradeOutcome, OneFailedBurnAmongSuccessesCompletesWithErrors) {
  SimServer sim(server({adapter("0000:03:00.0", kCX6, "20.30.1000"),
                        adapter("0000:04:00.0", kCX5, "16.26.1040",
                                "\"outcome\": \"fail\", \"exit_code\": 7"),
                        adapter("0000:81:00.0", kCX4, "14.31.1014")},
                       standard_catalog()));
  RunResult r = sim.run({}, "y\ny\ny\n");

  EXPECT_EQ(r.status, 2) << r.out;
  EXPECT_EQ(burns(sim).size(), 3u);
  EXPECT_TRUE(contains(r.out, flashed("0000:03:00.0")));
  EXPECT_FALSE(contains(r.out, flashed("0000:04:00.0")));
  EXPECT_TRUE(contains(r.out, flashed("0000:81:00.0")));
  EXPECT_TRUE(r.out.ends_with(kWithErrors)) << r.out;
  EXPECT_TRUE(contains(r.out, kPsidTestStart));

  std::string log = sim.read("mstflint.log");
  const std::string failed = burn_line(false, "0000:04:00.0", image_file(kCX5, "16.28.2006"));
  EXPECT_EQ(count_events(log, kError, "Upgrade failed\n " + failed + "\n"), 1) << log;
  EXPECT_EQ(count_events(log, kInfo, kSuccessEvent), 2) << log;
  EXPECT_EQ(count_events(log, kInfo, kPatience), 1) << log;
  EXPECT_EQ(sim.firmware("0000:04:00.0"), "16.26.1040");
}

// ---------------------------------------------------------------------------
// Unattended runs over several adapters in mixed states.

// 03: behind, 04: up to date, 81: behind; 02 is not the vendor's.
std::string mixed_server(const std::string& burn_81 = "") {
  return server({intel_port("0000:02:00.0"), adapter("0000:03:00.0", kCX6, "20.30.1000"),
                 adapter("0000:04:00.0", kCX5, "16.28.2006"),
                 adapter("0000:81:00.0", kCX4, "14.31.1014", burn_81)},
                standard_catalog());
}

TEST(UnattendedUpgrade, SilentRunSkipsTheUpToDateAdapterAndShowsNothing) {
  SimServer sim(mixed_server());
  RunResult r = sim.run({"-s"});

  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(after_banner(r.out), "");
  EXPECT_EQ(r.err, "");
  std::vector<std::vector<std::string>> expected = {
      burn_argv(true, "0000:03:00.0", image_file(kCX6, "20.32.1010")),
      burn_argv(true, "0000:81:00.0", image_file(kCX4, "14.32.1010"))};
  EXPECT_EQ(burns(sim), expected);
  EXPECT_EQ(sim.firmware("0000:04:00.0"), "16.28.2006");

  std::string log = sim.read("mstflint.log");
  EXPECT_EQ(count_events(log, kWarning, kLatest), 1) << log;
  EXPECT_EQ(count_events(log, kInfo, kSuccessEvent), 2) << log;
  EXPECT_FALSE(contains(log, "y/n/q"));
}

TEST(UnattendedUpgrade, SampleServerUpgradedThenReportedThenNothingLeftToDo) {
  SimServer sim(e2e::sample_server());
  RunResult upgrade = sim.run({"-s"});
  EXPECT_EQ(upgrade.status, 0) << upgrade.out << upgrade.err;
  EXPECT_EQ(after_banner(upgrade.out), "");
  EXPECT_EQ(burns(sim).size(), 2u);

  RunResult report = sim.run({"-c"});
  EXPECT_EQ(report.status, 0);
  EXPECT_TRUE(contains(report.out, "ROM       16.28.2006    ROM")) << report.out;
  EXPECT_TRUE(contains(report.out, "ROM       14.32.1010    ROM")) << report.out;

  RunResult again = sim.run({"-s"});
  EXPECT_EQ(again.status, 1);
  EXPECT_EQ(burns(sim).size(), 2u);
}

TEST(UnattendedUpgrade, SilentRunWithFailureShowsOnlyThePsidTest) {
  SimServer sim(mixed_server("\"outcome\": \"fail\""));
  RunResult r = sim.run({"-s"});

  EXPECT_EQ(r.status, 2);
  std::string shown = after_banner(r.out);
  EXPECT_TRUE(shown.starts_with(kPsidTestStart)) << shown;
  EXPECT_TRUE(shown.ends_with(" > /dev/null \n")) << shown;
  EXPECT_EQ(std::count(shown.begin(), shown.end(), '\n'), 1) << shown;
  // The tool's output file is gone once the test has read it.
  std::string file = shown.substr(std::strlen("grep -i \"PSID Mismatch\" "));
  file = file.substr(0, file.find(' '));
  EXPECT_NE(access(file.c_str(), F_OK), 0) << file;

  std::string log = sim.read("mstflint.log");
  EXPECT_EQ(count_events(log, kError,
                         "Upgrade failed\n " +
                             burn_line(true, "0000:81:00.0", image_file(kCX4, "14.32.1010")) +
                             "\n"),
            1)
      << log;
}

TEST(UnattendedUpgrade, SilentRunWithEverythingUpToDateEndsWithStatusOne) {
  SimServer sim(server({adapter("0000:04:00.0", kCX5, "16.28.2006"),
                        adapter("0000:81:00.0", kCX4, "14.32.1010")},
                       standard_catalog()));
  RunResult r = sim.run({"-s"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(after_banner(r.out), "");
  EXPECT_TRUE(burns(sim).empty());
  EXPECT_EQ(count_events(sim.read("mstflint.log"), kWarning, kLatest), 2);
}

TEST(UnattendedUpgrade, SilentRunUpToDateWithAnUncatalogedAdapterEndsWithStatusZero) {
  SimServer sim(server({adapter("0000:03:00.0", kCX6, "20.30.1000"),
                        adapter("0000:04:00.0", kCX5, "16.28.2006")},
                       {image(kCX5, "16.27.2008"), image(kCX5, "16.28.2006")}));
  RunResult r = sim.run({"-s"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(after_banner(r.out), "");
  EXPECT_TRUE(burns(sim).empty());
}

TEST(UnattendedUpgrade, TwoUpToDateAndOneBehindFlashesOnlyThatOne) {
  SimServer sim(server({adapter("0000:03:00.0", kCX6, "20.32.1010"),
                        adapter("0000:04:00.0", kCX5, "16.28.2006"),
                        adapter("0000:81:00.0", kCX4, "14.31.1014")},
                       standard_catalog()));
  RunResult r = sim.run({"-s"});
  EXPECT_EQ(r.status, 0);
  std::vector<std::vector<std::string>> expected = {
      burn_argv(true, "0000:81:00.0", image_file(kCX4, "14.32.1010"))};
  EXPECT_EQ(burns(sim), expected);
  EXPECT_EQ(count_events(sim.read("mstflint.log"), kWarning, kLatest), 2);
}

TEST(UnattendedUpgrade, ForcedSilentRunAlsoReflashesTheUpToDateAdapter) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"-s", "-F"}, std::vector<std::string>{"-sf"}}) {
    SimServer sim(mixed_server());
    RunResult r = sim.run(args);
    EXPECT_EQ(r.status, 0) << args[0];
    EXPECT_EQ(after_banner(r.out), "");
    std::vector<std::vector<std::string>> expected = {
        burn_argv(true, "0000:03:00.0", image_file(kCX6, "20.32.1010")),
        burn_argv(true, "0000:04:00.0", image_file(kCX5, "16.28.2006")),
        burn_argv(true, "0000:81:00.0", image_file(kCX4, "14.32.1010"))};
    EXPECT_EQ(burns(sim), expected);
    std::string log = sim.read("mstflint.log");
    EXPECT_EQ(count_events(log, kWarning, kLatest), 1);
    EXPECT_EQ(count_events(log, kInfo, kSuccessEvent), 3);
  }
}

TEST(UnattendedUpgrade, YesRunFlashesEveryAdapterWithoutAsking) {
  SimServer sim(mixed_server());
  RunResult r = sim.run({"-y"}, "n\nn\nn\n");

  EXPECT_EQ(r.status, 0);
  EXPECT_FALSE(contains(r.out, "y/n/q"));
  EXPECT_EQ(from(r.out, "Repository has New"),
            versions_shown("0000:03:00.0", "20.30.1000", {"20.31.1014", "20.32.1010"}, true) +
                flashed("0000:03:00.0") +
                versions_shown("0000:04:00.0", "16.28.2006", {"16.27.2008", "16.28.2006"},
                               false) +
                flashed("0000:04:00.0") +
                versions_shown("0000:81:00.0", "14.31.1014", {"14.31.1014", "14.32.1010"},
                               true) +
                flashed("0000:81:00.0") + kComplete);
  std::vector<std::vector<std::string>> expected = {
      burn_argv(false, "0000:03:00.0", image_file(kCX6, "20.32.1010")),
      burn_argv(false, "0000:04:00.0", image_file(kCX5, "16.28.2006")),
      burn_argv(false, "0000:81:00.0", image_file(kCX4, "14.32.1010"))};
  EXPECT_EQ(burns(sim), expected);
  EXPECT_FALSE(contains(sim.read("mstflint.log"), "y/n/q"));
}

TEST(UnattendedUpgrade, HighestVersionIsTheNumericallyHighest) {
  SimServer sim(server({adapter("0000:04:00.0", kCX5, "2.9.0")},
                       {image(kCX5, "2.9.100"), image(kCX5, "2.10.0"), image(kCX5, "2.1.0")}));
  RunResult r = sim.run({"-y"});

  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(from(r.out, "Repository has New"),
            versions_shown("0000:04:00.0", "2.9.0", {"2.1.0", "2.9.100", "2.10.0"}, true) +
                flashed("0000:04:00.0") + kComplete);
  std::vector<std::vector<std::string>> expected = {
      burn_argv(false, "0000:04:00.0", image_file(kCX5, "2.10.0"))};
  EXPECT_EQ(burns(sim), expected);
  EXPECT_EQ(sim.firmware("0000:04:00.0"), "2.10.0");
}

// ---------------------------------------------------------------------------
// Burns that go wrong.

TEST(FailedBurn, EachWayIsLoggedAndNeverASuccess) {
  const std::string line = burn_line(false, "0000:04:00.0", image_file(kCX5, "16.28.2006"));
  struct Case {
    const char* what;
    std::string burn;
    std::vector<std::string> errors;
  } cases[] = {
      {"killed by a signal",
       "\"outcome\": \"killed\"",
       {"The firmware tool killed by signal 9 for 0000:04:00.0\n " + line + "\n",
        "Upgrade failed\n " + line + "\n"}},
      {"PSID mismatch in lower case",
       "\"outcome\": \"psid_mismatch\", \"mismatch_text\": \"psid mismatch\"",
       {"Fimware upgrade on this device is not supported\n " + line + "\n"}},
      {"PSID mismatch as the tool writes it",
       "\"outcome\": \"psid_mismatch\"",
       {"Fimware upgrade on this device is not supported\n " + line + "\n"}},
      {"exit code 255",
       "\"outcome\": \"fail\", \"exit_code\": 255",
       {"Upgrade failed\n " + line + "\n"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SimServer sim(server({adapter("0000:04:00.0", kCX5, "16.26.1040", c.burn)},
                         standard_catalog()));
    RunResult r = sim.run({"-y"});
    EXPECT_EQ(r.status, 2) << r.out;
    EXPECT_EQ(burns(sim).size(), 1u);
    EXPECT_FALSE(contains(r.out, "Firmware Flashed"));
    EXPECT_TRUE(contains(r.out, kPsidTestStart));
    EXPECT_TRUE(r.out.ends_with(kWithErrors)) << r.out;
    std::string log = sim.read("mstflint.log");
    EXPECT_FALSE(contains(log, "Upgrade SUCCESS"));
    int errors = 0;
    for (const std::string& text : c.errors) {
      EXPECT_EQ(count_events(log, kError, text), 1) << text << "\n---\n" << log;
      errors += count_events(log, kError, text);
    }
    // No other error event than those expected.
    size_t tags = 0;
    for (size_t pos = log.find(kError); pos != std::string::npos; pos = log.find(kError, pos + 1))
      ++tags;
    EXPECT_EQ(tags, c.errors.size()) << log;
    EXPECT_EQ(sim.firmware("0000:04:00.0"), "16.26.1040");
  }
}

TEST(FailedBurn, UnsafeImageNamesAreRefusedWithoutStartingTheTool) {
  for (const std::string& name : {std::string("n/a"), std::string("../16.28.2006.bin"),
                                  std::string("..")}) {
    SCOPED_TRACE(name);
    SimServer sim(server({adapter("0000:04:00.0", kCX5, "16.26.1040")},
                         {image(kCX5, "16.27.2008"), image(kCX5, "16.28.2006", name)}));
    RunResult r = sim.run({"-y"});
    EXPECT_EQ(r.status, 2) << r.out;
    EXPECT_TRUE(burns(sim).empty());
    EXPECT_TRUE(r.out.ends_with(kWithErrors)) << r.out;
    EXPECT_FALSE(contains(r.out, "Firmware Flashed"));
    std::string log = sim.read("mstflint.log");
    EXPECT_EQ(count_events(log, kError,
                           "Refused to burn image \"" + name +
                               "\" on 0000:04:00.0: not a file name inside ./nic_fw/\n"),
              1)
        << log;
    EXPECT_EQ(count_events(log, kWarning,
                           "Failed to get firmware image filename from nic_fw/NICFWData.xml\n"),
              name == "n/a" ? 1 : 0);
  }
}

TEST(FailedBurn, MissingOrNotExecutableToolAtBurnTimeIsAFailedBurn) {
  struct Case {
    const char* what;
    bool remove;
    const char* reason;
  } cases[] = {{"missing", true, "No such file or directory"},
               {"not executable", false, "Permission denied"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // The first burn takes a while; the tool goes away before the second.
    SimServer sim(server({adapter("0000:04:00.0", kCX5, "16.26.1040", "\"seconds\": 2"),
                          adapter("0000:81:00.0", kCX4, "14.31.1014")},
                         standard_catalog()));
    SimServer::Background run = sim.start({"-s"});
    ASSERT_TRUE(wait_for_burns(sim, 1, 20000));
    sim.remove("nic_fw/mstflint");
    if (!c.remove) sim.write("nic_fw/mstflint", "#!/bin/sh\nexit 0\n", 0644);
    RunResult r = run.wait();

    EXPECT_EQ(r.status, 2) << r.out << r.err;
    EXPECT_EQ(burns(sim).size(), 1u);
    EXPECT_EQ(sim.firmware("0000:04:00.0"), "16.28.2006");
    EXPECT_EQ(sim.firmware("0000:81:00.0"), "14.31.1014");
    std::string log = sim.read("mstflint.log");
    const std::string line = burn_line(true, "0000:81:00.0", image_file(kCX4, "14.32.1010"));
    EXPECT_EQ(count_events(log, kError,
                           std::string("The firmware tool could not be started (") + c.reason +
                               ") for 0000:81:00.0\n " + line + "\n"),
              1)
        << log;
    EXPECT_EQ(count_events(log, kError, "Upgrade failed\n " + line + "\n"), 1) << log;
    EXPECT_EQ(count_events(log, kInfo, kSuccessEvent), 1) << log;
  }
}

// ---------------------------------------------------------------------------
// One burning run at a time, and signals during a burn.

TEST(BurnLock, SecondRunWhileOneBurnsIsRefused) {
  SimServer sim(server({adapter("0000:04:00.0", kCX5, "16.26.1040", "\"seconds\": 3")},
                       standard_catalog()));
  SimServer::Background first = sim.start({"-s"});
  ASSERT_TRUE(wait_for_burns(sim, 1, 20000));
  const size_t calls_before = sim.calls().size();

  RunResult second = sim.run({"-s"});
  EXPECT_EQ(second.status, 1);
  EXPECT_TRUE(second.err.starts_with("FWUPG_ERROR: ")) << second.err;
  EXPECT_TRUE(contains(second.err, "run_lock.cc,")) << second.err;
  EXPECT_EQ(sim.calls().size(), calls_before);

  RunResult r = first.wait();
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(burns(sim).size(), 1u);
  EXPECT_EQ(sim.firmware("0000:04:00.0"), "16.28.2006");
}

TEST(SignalDuringBurn, BurnCompletesAndNoFurtherAdapterIsFlashed) {
  for (int signo : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(strsignal(signo));
    SimServer sim(server({adapter("0000:04:00.0", kCX5, "16.26.1040", "\"seconds\": 2"),
                          adapter("0000:81:00.0", kCX4, "14.31.1014")},
                         standard_catalog()));
    SimServer::Background run = sim.start({"-y"});
    ASSERT_TRUE(wait_for_burns(sim, 1, 20000));
    run.signal(signo);
    RunResult r = run.wait();

    EXPECT_EQ(r.status, 3) << r.out << r.err;
    EXPECT_EQ(r.signal, 0);
    EXPECT_TRUE(r.out.ends_with(flashed("0000:04:00.0") + kCancelled)) << r.out;
    EXPECT_EQ(burns(sim).size(), 1u);
    EXPECT_EQ(sim.firmware("0000:04:00.0"), "16.28.2006");
    EXPECT_EQ(sim.firmware("0000:81:00.0"), "14.31.1014");
    std::string log = sim.read("mstflint.log");
    EXPECT_EQ(count_events(log, kInfo, kSuccessEvent), 1) << log;
    EXPECT_EQ(count_events(log, kWarning,
                           "Firmware upgrade interrupted by signal " + std::to_string(signo) +
                               ": no further adapter is flashed\n"),
              1)
        << log;
  }
}

// ---------------------------------------------------------------------------
// Live progress on a terminal.

TEST(BurnProgress, ShownOnATerminalAndErasedAfterTheBurn) {
  SimServer sim(server({adapter("0000:04:00.0", kCX5, "16.26.1040", "\"seconds\": 2")},
                       standard_catalog()));
  RunResult r = sim.run_on_pty({"-y"});
  EXPECT_EQ(r.status, 0) << r.out;

  const std::string progress = "\rBurning firmware on 0000:04:00.0: ";
  EXPECT_TRUE(contains(r.out, progress)) << r.out;
  EXPECT_TRUE(contains(r.out, "%")) << r.out;
  // Take out the progress line and its erasure: the transcript is the
  // system's own lines.
  size_t start = r.out.find(progress);
  size_t success = r.out.find("Firmware Flashed:", start);
  ASSERT_NE(success, std::string::npos) << r.out;
  ASSERT_EQ(r.out[success - 1], '\r') << r.out;
  size_t erase = r.out.rfind('\r', success - 2);
  ASSERT_GT(erase, start);
  EXPECT_EQ(r.out.substr(erase + 1, success - 2 - erase),
            std::string(success - 2 - erase, ' '));
  std::string transcript = r.out.substr(0, start) + r.out.substr(success);
  EXPECT_EQ(from(transcript, "Repository has New"),
            versions_shown("0000:04:00.0", "16.26.1040", {"16.27.2008", "16.28.2006"}, true) +
                flashed("0000:04:00.0") + kComplete);
}

TEST(BurnProgress, AbsentWhenNotATerminalOrSilent) {
  SimServer sim(server({adapter("0000:04:00.0", kCX5, "16.26.1040", "\"seconds\": 1"),
                        adapter("0000:81:00.0", kCX4, "14.31.1014", "\"seconds\": 1")},
                       standard_catalog()));
  RunResult piped = sim.run({"-y"});
  EXPECT_EQ(piped.status, 0);
  EXPECT_FALSE(contains(piped.out, "\r")) << piped.out;
  EXPECT_FALSE(contains(piped.out, "Burning firmware"));

  RunResult silent = sim.run_on_pty({"-s", "-F"});
  EXPECT_EQ(silent.status, 0);
  EXPECT_FALSE(contains(silent.out, "\r")) << silent.out;
  EXPECT_EQ(after_banner(silent.out), "");
}

}  // namespace
