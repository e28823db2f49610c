// Upgrade runs of the real binary on simulated servers: fwkit, fwkit -s, fwkit -s -F, fwkit -y.
#include <signal.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "sim_harness.h"

namespace {

using e2e::SimServer;
using Strings = std::vector<std::string>;
constexpr size_t npos = std::string::npos;
using Event = std::pair<const char*, std::string>;                // tag, text
using Burns = std::vector<std::pair<std::string, std::string>>;  // address, image version

// Boards by PCI device id, with their catalog images; a board's PSID is MT_ and its id.
const std::string kCX5 = "1017", kCX4 = "1015", kCX6 = "101B";
const Strings kCX5Roms = {"16.27.2008", "16.28.2006"}, kCX4Roms = {"14.31.1014", "14.32.1010"},
              kCX6Roms = {"20.31.1014", "20.32.1010"};
const std::string A2 = "0000:02:00.0", A3 = "0000:03:00.0", A4 = "0000:04:00.0", A8 = "0000:08:00.0";

// A PCI function; no device: another vendor's; no firmware: the tool cannot read it.
struct Adapter {
  std::string address, device, firmware, burn = "";  // burn: the simulator's, as JSON members
};

// Catalog entries of a board's images, in files VERSION.bin; `last` names the last one's file.
std::string images(const std::string& device, const Strings& roms, const std::string& last = "") {
  std::string entries;
  for (const std::string& rom : roms)
    entries += (entries.empty() ? "" : ", ") + ("{\"venid\": \"15B3\", \"devid\": \"" + device) +
               "\", \"subvenid\": \"15B3\", \"PSID\": \"MT_" + device + "\", \"subdevid\": \"" +
               device + "\", \"rom\": \"" + rom + "\", \"fwFile\": \"" +
               (rom == roms.back() && !last.empty() ? last : rom + ".bin") + "\"}";
  return entries;
}
const std::string kCatalog =
    images(kCX5, kCX5Roms) + ", " + images(kCX4, kCX4Roms) + ", " + images(kCX6, kCX6Roms);

std::string server(const std::vector<Adapter>& adapters, const std::string& catalog = kCatalog) {
  std::string text = "{\"catalog\": [" + catalog + "], \"functions\": [";
  for (const Adapter& a : adapters)
    text += (&a == &adapters[0] ? "{\"address\": \"" : ", {\"address\": \"") + a.address +
            "\", \"class\": \"0x020000\", \"vendor\": " +
            (a.device.empty() ? "\"0x8086\", \"device\": \"0x1521\""
                              : "\"0x15b3\", \"device\": \"0x" + a.device + "\"") +
            (a.firmware.empty()
                 ? ""
                 : ", \"firmware\": \"" + a.firmware + "\", \"psid\": \"MT_" + a.device + "\"") +
            (a.burn.empty() ? "}" : ", \"burn\": {" + a.burn + "}}");
  return text + "]}";
}

std::vector<Strings> burns(const SimServer& sim) {
  std::vector<Strings> found;
  for (const e2e::ToolCall& call : sim.calls())
    if (call.tool == "mstflint" && !call.argv.empty() && call.argv.back() == "b")
      found.push_back(call.argv);
  return found;
}

const char *const kError = "[ERROR]    ", *const kWarning = "[WARNING]  ",
                  *const kInfo = "[INFO]     ";

// Each event is logged as often as listed, and the [ERROR] events listed are all there are.
void check_log(const SimServer& sim, const std::vector<Event>& events) {
  const std::string log = sim.read("mstflint.log");
  long errors = 0;
  for (size_t at = log.find(kError); at != npos; at = log.find(kError, at + 1)) --errors;
  for (const auto& [tag, text] : events) {
    long found = 0;  // events "TAG [24-character time] TEXT\n"; every TAG has 11 characters
    for (size_t at = log.find(tag); at != npos; at = log.find(tag, at + 1))
      found += log.compare(at + 37, text.size() + 3, "] " + text + "\n") == 0;
    EXPECT_EQ(found, std::count(events.begin(), events.end(), Event(tag, text))) << text << log;
    errors += tag == kError;
  }
  EXPECT_EQ(errors, 0) << log;
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != npos; }

// The console lines of image selection for one adapter (up to date: running the last listed).
std::string versions(const std::string& address, const std::string& running, const Strings& roms) {
  const bool newer = running != roms.back();
  std::string text = newer ? "Repository has New firmware version for interface " + address +
                                 ".................Please flash the newer version\n"
                           : "";
  text += "\nCurrent Firmware Version is " + running + " on " + address +
          " \nRepository has these firmware versions............";
  for (size_t i = 0; i < roms.size(); ++i)
    text += "[" + std::to_string(i + 1) + "] Image Version  " + roms[i] + "\n";
  return text + (newer ? "" : "Repository doesn't have newer firmware version, Installed firmware "
                              "version is the latest one..........Please Quit the updation.\n");
}

std::string flashed(const std::string& address) {
  return "Firmware Flashed:\tSUCCESS  for interface " + address + "\n\n";
}

const std::string kAskYes = "Would you like to flash the firmware?\n y/n/q (y):";
const std::string kAskNo = "Would you like to flash the firmware?\n y/n/q (n):";
const std::string kComplete = "\nNIC firmware update complete.\n\n\n"
                              "Please Reboot node for new image to be loaded into silicon\n\n";
const std::string kWithErrors = "\nNIC firmware update completed with errors. \n";
const std::string kCancelled = "\nFirmware upgrade cancelled by User \n";
const Event kLatest = {kWarning, "*** WARNING *** - Installed firmware is the latest firmware\n"};
const Event kSuccess = {kInfo, "MAC              Upgrade SUCCESS\n"};

// One run of fwkit on a fresh server, and all it must leave behind.
struct Session {
  const char* what;
  std::vector<Adapter> adapters;
  Strings args;
  std::string input;
  int status;
  std::string tail;  // the end of standard output; in -s runs all after the banner's last row
  Burns burned = {};
  std::vector<Event> events = {};
  std::string catalog = kCatalog;
  bool pty = false;  // run on a terminal
};

void check(const Session& c) {
  SCOPED_TRACE(c.what);
  SimServer sim(server(c.adapters, c.catalog));
  auto r = c.pty ? sim.run_on_pty(c.args, c.input) : sim.run(c.args, c.input);
  const bool silent = !c.args.empty() && c.args[0].starts_with("-s");
  // Interactive runs on a terminal show a progress line during a burn, then blank it out.
  const size_t start = r.out.find("\rBurning firmware on "), done = r.out.find("Firmware Flashed:");
  ASSERT_EQ(start != npos, c.pty && !silent) << r.out;
  if (start != npos) {
    ASSERT_LT(start, done) << r.out;
    const std::string line = r.out.substr(start, done - start);
    const size_t blanks = line.size() - line.rfind('\r', line.size() - 2) - 2;
    EXPECT_TRUE(contains(line, "%") && line.ends_with("\r" + std::string(blanks, ' ') + "\r"));
    r.out.erase(start, done - start);
  }
  EXPECT_EQ(r.status, c.status) << r.out << r.err;
  EXPECT_TRUE(r.out.ends_with((silent ? std::string(98, '#') + "\n\n" : "") + c.tail)) << r.out;
  EXPECT_EQ(r.err, "");
  EXPECT_FALSE(contains(r.out, "\r")) << r.out;
  EXPECT_FALSE(!c.args.empty() && contains(r.out + sim.read("mstflint.log"), "y/n/q"));
  check_log(sim, c.events);

  std::vector<Strings> expected;
  for (const auto& [address, version] : c.burned)
    expected.push_back({"-s", "-y", "-d", address, "-i", "./nic_fw/" + version + ".bin", "b"});
  for (Strings& argv : expected) argv.erase(argv.begin(), argv.begin() + !silent);
  EXPECT_EQ(burns(sim), expected);
  for (const Adapter& a : c.adapters) {
    std::string now = a.firmware;
    for (const auto& [address, version] : c.burned)
      if (address == a.address && !contains(a.burn, "outcome")) now = version;
    EXPECT_EQ(sim.firmware(a.address), now) << a.address;
  }
}

TEST(InteractiveUpgrade, RepliesDecideWhatIsBurned) {
  const std::vector<Adapter> two = {{A4, kCX5, "16.26.1040"}, {A8, kCX4, "14.32.1010"}};
  const std::string ask2 = versions(A8, "14.32.1010", kCX4Roms) + kAskNo;
  const Burns first = {{A4, "16.28.2006"}};
  const Session sessions[] = {
      {"empty lines take the defaults", two, {}, "\n\n", 0, flashed(A4) + ask2 + kComplete, first,
       {{kInfo, kAskYes + " \n\n"}, {kInfo, kAskNo + " \n\n"}, kLatest, kSuccess}},
      {"Y, YES", two, {}, "Y\nYES\n", 0, flashed(A8) + kComplete, {first[0], {A8, "14.32.1010"}}},
      {"N, nope: all no, no closing message", two, {}, "N\nnope\n", 0, ask2, {},
       {{kInfo, kAskYes + " N\n\n"}, {kInfo, kAskNo + " nope\n\n"}}},
      {"a y with a leading blank is no", two, {}, " y\n\n", 0, ask2},
      {"10000 y are no", two, {}, std::string(10000, 'y') + "\n\n", 0, ask2, {},
       {{kInfo, kAskYes + " " + std::string(499, 'y') + "... (10000 characters)\n\n"}}},
      {"c at the first of three", {{A3, kCX6, "20.30.1000"}, two[0], {A8, kCX4, "14.31.1014"}}, {},
       "c\ny\ny\n", 0, versions(A3, "20.30.1000", kCX6Roms) + kAskYes + flashed(A3) + kComplete,
       {{A3, "20.32.1010"}}},
      {"quit at the first", two, {}, "quit\n", 3, kAskYes + kCancelled},
      {"QUIT at the second keeps the first flashed", two, {}, "\nQUIT\n", 3, ask2 + kCancelled,
       first},
      {"n cut off by end of input is no, then end of input", two, {}, "n", 3,
       ask2 + "Unknown input problem!\nQuit...\n" + kCancelled, {}, {{kInfo, kAskYes + " n\n"}}},
  };
  for (const Session& s : sessions) check(s);
}

TEST(UpgradeRun, OutcomesUnattendedRunsAndFailedBurns) {
  // 03 and 08 behind, 04 up to date, 02 not the vendor's.
  const std::vector<Adapter> mixed = {
      {A2, "", ""}, {A3, kCX6, "20.30.1000"}, {A4, kCX5, "16.28.2006"}, {A8, kCX4, "14.31.1014"}};
  const Burns all = {{A3, "20.32.1010"}, {A4, "16.28.2006"}, {A8, "14.32.1010"}};
  auto behind = [](std::string b) { return std::vector<Adapter>{{A4, kCX5, "16.26.1040", b}}; };
  const std::string line = "./nic_fw/mstflint -y -d " + A4 + " -i ./nic_fw/16.28.2006.bin b";
  const std::string incomplete = "\nNIC firmware update did not complete.  Check log for errors. \n";
  const Session sessions[] = {
      // How a run ends.
      {"no adapter of the vendor", {{A2, "", ""}}, {}, "", 1, incomplete},
      {"no adapter the tool can read", {{A4, kCX5, ""}}, {}, "y\n", 2, incomplete},
      {"success", {{A2, "", ""}, {A4, kCX5, "16.26.1040"}}, {}, "\n", 0,
       versions(A4, "16.26.1040", kCX5Roms) + kAskYes + flashed(A4) + kComplete, {all[1]},
       {{kInfo, kAskYes + " \n\n"}, kSuccess}},
      {"a failed (exit code 255) and two successful burns",
       {mixed[1], behind("\"outcome\": \"fail\", \"exit_code\": 255")[0], mixed[3]}, {},
       "y\ny\ny\n", 2, versions(A8, "14.31.1014", kCX4Roms) + kAskYes + flashed(A8) + kWithErrors,
       all, {{kError, "Upgrade failed\n " + line + "\n"}, kSuccess, kSuccess,
             {kInfo, "\nThe Firmware Upgrade will take several minutes.  Please be patient.\n"}}},
      {"silent, all up to date", {mixed[2], {A8, kCX4, "14.32.1010"}}, {"-s"}, "", 1, "", {},
       {kLatest, kLatest}},
      {"silent, up to date but one without catalog image", {mixed[1], mixed[2]}, {"-s"}, "", 0,
       "", {}, {kLatest, {kError, "For " + A3 + " no matching firmware file in XML\n"}},
       images(kCX5, kCX5Roms)},
      // Unattended runs over mixed adapters.
      {"-s skips the up-to-date one", mixed, {"-s"}, "", 0, "", {all[0], all[2]},
       {kLatest, kSuccess, kSuccess}},
      {"-s -F re-flashes it", mixed, {"-s", "-F"}, "", 0, "", all, {kLatest}},
      {"-y flashes all without asking", mixed, {"-y"}, "n\nn\nn\n", 0,
       versions(A3, "20.30.1000", kCX6Roms) + flashed(A3) + versions(A4, "16.28.2006", kCX5Roms) +
           flashed(A4) + versions(A8, "14.31.1014", kCX4Roms) + flashed(A8) + kComplete,
       all},
      {"2.10.0 is above 2.9.100", {{A4, kCX5, "2.9.0"}}, {"-y"}, "", 0,
       versions(A4, "2.9.0", {"2.1.0", "2.9.100", "2.10.0"}) + flashed(A4) + kComplete,
       {{A4, "2.10.0"}}, {}, images(kCX5, {"2.9.100", "2.10.0", "2.1.0"})},
      {"progress on a terminal", behind("\"seconds\": 2"), {"-y"}, "", 0,
       versions(A4, "16.26.1040", kCX5Roms) + flashed(A4) + kComplete, {all[1]}, {}, kCatalog,
       true},
      {"no progress on a terminal in -s", behind("\"seconds\": 1"), {"-s"}, "", 0, "", {all[1]}, {},
       kCatalog, true},
      // Burns that fail, never a success.
      {"a killed burn", behind("\"outcome\": \"killed\""), {"-y"}, "", 2, kWithErrors, {all[1]},
       {{kError, "The firmware tool killed by signal 9 for " + A4 + "\n " + line + "\n"},
        {kError, "Upgrade failed\n " + line + "\n"}}},
      {"PSID mismatch in lower case",
       behind("\"outcome\": \"psid_mismatch\", \"mismatch_text\": \"psid mismatch\""), {"-y"}, "",
       2, kWithErrors, {all[1]},
       {{kError, "Fimware upgrade on this device is not supported\n " + line + "\n"}}},
      {"an n/a image", behind(""), {"-y"}, "", 2, kWithErrors, {},
       {{kError, "Refused to burn image \"n/a\" on " + A4 + ": not a file name inside ./nic_fw/\n"},
        {kWarning, "Failed to get firmware image filename from nic_fw/NICFWData.xml\n"}},
       images(kCX5, kCX5Roms, "n/a")},
      {"an image outside nic_fw/", behind(""), {"-y"}, "", 2, kWithErrors, {},
       {{kError, "Refused to burn image \"../x\" on " + A4 + ": not a file name inside ./nic_fw/\n"}},
       images(kCX5, kCX5Roms, "../x")},
  };
  for (const Session& s : sessions) check(s);
}

// While a run burns, a second run is refused. Then a signal lets the burn
// finish and stops the run, or the tool goes away and the next burn fails.
TEST(BurnInProgress, SecondRunRefusedThenSignalOrToolGone) {
  const std::string line = "./nic_fw/mstflint -y -d " + A8 + " -i ./nic_fw/14.32.1010.bin b";
  // A signal, or what replaces the tool ("": nothing) and why it then cannot be started.
  struct { int signo; const char *tool, *why; } cases[] = {
      {SIGINT, nullptr, nullptr}, {SIGTERM, nullptr, nullptr}, {SIGHUP, nullptr, nullptr},
      {0, "", "No such file or directory"}, {0, "#!/bin/sh\n", "Permission denied"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.signo ? "signal " + std::to_string(c.signo) : std::string(c.why));
    SimServer sim(server({{A4, kCX5, "16.26.1040", "\"seconds\": 3"}, {A8, kCX4, "14.31.1014"}}));
    SimServer::Background run = sim.start({"-y"});
    ASSERT_TRUE(sim.wait_for_calls(3, 20000));  // the two queries, then the first burn
    auto second = sim.run({"-s"});
    EXPECT_TRUE(second.status == 1 && second.err.starts_with("FWUPG_ERROR: ")) << second.err;
    EXPECT_EQ(sim.calls().size(), 3u);  // the second run did not even query

    if (c.signo) run.signal(c.signo);
    if (c.tool) sim.remove("nic_fw/mstflint");
    if (c.tool && *c.tool) sim.write("nic_fw/mstflint", c.tool, 0644);
    auto r = run.wait();
    EXPECT_EQ(r.status, c.signo ? 3 : 2) << r.out << r.err;
    EXPECT_TRUE(r.out.ends_with(c.signo ? flashed(A4) + kCancelled : kWithErrors)) << r.out;
    EXPECT_EQ(burns(sim).size(), 1u);
    EXPECT_EQ(sim.firmware(A4), "16.28.2006");
    EXPECT_EQ(sim.firmware(A8), "14.31.1014");
    const Event last =
        c.signo ? Event(kWarning, "Firmware upgrade interrupted by signal " +
                                      std::to_string(c.signo) + ": no further adapter is flashed\n")
                : Event(kError, "The firmware tool could not be started (" + std::string(c.why) +
                                    ") for " + A8 + "\n " + line + "\n");
    check_log(sim, c.signo ? std::vector<Event>{kSuccess, last}
                           : std::vector<Event>{kSuccess, last,
                                                {kError, "Upgrade failed\n " + line + "\n"}});
  }
}

}  // namespace
