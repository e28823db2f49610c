// Operator sessions about the command line itself: help, refusals, dispatch, the event log.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim_harness.h"

namespace {

using e2e::RunResult;
using e2e::SimServer;

const std::string kUsage =
    "USAGE: fwkit [ -s ] [ -s [ -F ] ] [ -s [ -f ] ] [ -y ] [ -d ] [ -c ] [ -h ]\n"
    "\t With no option, interactively upgrade firmware. \n"
    "\t -s  Silently upgrade firmware.\n"
    "\t -y  Assume default repsonse for all prompts.\n"
    "\t -d  Generates NIC Discovery xml file for currently installed version.\n"
    "\t -c  Display currently installed firmware information.\n"
    "\t -h  Display this help menu.\n";

const std::string kRow(98, '#');

// What a run printed after its banner; "NO BANNER: ..." when it printed none.
std::string after_banner(const std::string& out) {
  if (out.rfind("\n" + kRow + "\n", 0) != 0) return "NO BANNER: " + out;
  size_t end = out.find(kRow + "\n\n", 100);
  return end == std::string::npos ? "NO BANNER END" : out.substr(end + kRow.size() + 2);
}

TEST(CommandLineSession, RefusedCommandLinesTouchNothing) {
  SimServer server(e2e::sample_server());
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string out;  // the whole output; after the banner when it starts with one
    bool banner;
  } cases[] = {
      {{"-h"}, 1, kUsage, false},
      {{"-x"}, 1, "Unknown command line option: ?\n" + kUsage, false},
      {{"-s", "-F", "-y"}, 1, kUsage, false},  // screened before -s is parsed
      {{"eth0", "-bootenable", "rom"}, 0, "", false},
      {{"-c", "-y"}, 1, kUsage, true},
      {{"-c", "-d"}, 1, "", true},             // -d suppresses the usage text
  };
  for (const Case& c : cases) {
    RunResult r = server.run(c.args);
    EXPECT_EQ(r.status, c.status) << c.args[0];
    EXPECT_EQ(c.banner ? after_banner(r.out) : r.out, c.out) << c.args[0];
  }
  EXPECT_NE(server.run({"-x"}).err.find("invalid option"), std::string::npos);
  EXPECT_TRUE(server.calls().empty());
  EXPECT_FALSE(server.exists("mstflint.log"));
}

TEST(CommandLineSession, EveryModeEndsWhenTheEventLogCannotBeOpened) {
  SimServer server(e2e::sample_server());
  server.block_log();
  for (const auto& args : std::vector<std::vector<std::string>>{
           {}, {"-s"}, {"-y"}, {"-c"}, {"-d"}, {"-u", "report.xml"}}) {
    RunResult r = server.run(args);
    std::string name = args.empty() ? "(none)" : args[0];
    EXPECT_EQ(r.status, 1) << name;
    EXPECT_EQ(r.err.rfind("FWUPG_ERROR: could not open mstflint.log (21), event_log.cc,", 0), 0u)
        << name << ": " << r.err;
    EXPECT_EQ(after_banner(r.out), "") << name;
  }
  EXPECT_TRUE(server.calls().empty());
  EXPECT_FALSE(server.exists("nicdiscovery.xml"));
}

TEST(CommandLineSession, EachModeIsReachedOnAServerWithoutAdapters) {
  SimServer server(R"({"functions": [{"address": "0000:01:00.0", "class": "0x010802",
                                      "vendor": "0x144d", "device": "0xa808"}]})");
  RunResult r = server.run({});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("NIC firmware update did not complete."), std::string::npos) << r.out;
  EXPECT_EQ(server.run({"-c"}).status, 0);
  EXPECT_EQ(server.run({"-d"}).status, 2);
  EXPECT_FALSE(server.exists("nicdiscovery.xml"));
  EXPECT_EQ(server.run({"-u", "missing.xml"}).status, 2);
  EXPECT_NE(server.read("mstflint.log").find("read_discovery_report: Failed to open missing.xml"),
            std::string::npos);
}

}  // namespace
