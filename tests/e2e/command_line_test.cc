// Operator sessions about the command line itself: help, refusals, dispatch, the event log.
#include <gtest/gtest.h>

#include <string>

#include "sim_harness.h"

namespace {

using e2e::RunResult;
using e2e::SimServer;

const char* const kUsage =
    "USAGE: fwkit [ -s ] [ -s [ -F ] ] [ -s [ -f ] ] [ -y ] [ -d ] [ -c ] [ -h ]\n"
    "\t With no option, interactively upgrade firmware. \n"
    "\t -s  Silently upgrade firmware.\n"
    "\t -y  Assume default repsonse for all prompts.\n"
    "\t -d  Generates NIC Discovery xml file for currently installed version.\n"
    "\t -c  Display currently installed firmware information.\n"
    "\t -h  Display this help menu.\n";

const std::string kRow(98, '#');

// A server whose only PCI device is a disk controller: no network adapter.
const char* const kNoAdapterServer = R"({"functions": [
  {"address": "0000:01:00.0", "class": "0x010802", "vendor": "0x144d", "device": "0xa808"}]})";

bool starts_with_banner(const std::string& out) {
  return out.rfind("\n" + kRow + "\n", 0) == 0 && out.find(kRow + "\n\n", 100) != std::string::npos;
}

std::string after_banner(const std::string& out) {
  size_t end = out.find(kRow + "\n\n", 100);
  return end == std::string::npos ? out : out.substr(end + kRow.size() + 2);
}

TEST(CommandLineSession, HelpShowsUsageWithoutBanner) {
  SimServer server(e2e::sample_server());
  RunResult r = server.run({"-h"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, kUsage);
  EXPECT_FALSE(server.exists("mstflint.log"));
  EXPECT_TRUE(server.calls().empty());
}

TEST(CommandLineSession, UnknownOptionIsReportedThenUsage) {
  SimServer server(e2e::sample_server());
  RunResult r = server.run({"-x"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, std::string("Unknown command line option: ?\n") + kUsage);
  EXPECT_NE(r.err.find("invalid option"), std::string::npos) << r.err;
}

TEST(CommandLineSession, ForbiddenCombinationShowsBannerThenUsage) {
  SimServer server(e2e::sample_server());
  RunResult r = server.run({"-c", "-y"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(starts_with_banner(r.out)) << r.out;
  EXPECT_EQ(after_banner(r.out), kUsage);

  // -d suppresses the usage text: only the banner is left.
  r = server.run({"-c", "-d"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(starts_with_banner(r.out));
  EXPECT_EQ(after_banner(r.out), "");
  EXPECT_TRUE(server.calls().empty());
  EXPECT_FALSE(server.exists("mstflint.log"));
}

TEST(CommandLineSession, WrongArgumentCountsAreRefusedBeforeAnything) {
  SimServer server(e2e::sample_server());
  RunResult r = server.run({"-s", "-F", "-y"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, kUsage);  // screening comes before -s is parsed
  EXPECT_TRUE(server.calls().empty());
}

TEST(CommandLineSession, BootenableFormEndsAtOnceSilently) {
  SimServer server(e2e::sample_server());
  RunResult r = server.run({"eth0", "-bootenable", "rom"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
  EXPECT_FALSE(server.exists("mstflint.log"));
  EXPECT_TRUE(server.calls().empty());
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
    EXPECT_TRUE(starts_with_banner(r.out)) << name;
    EXPECT_EQ(after_banner(r.out), "") << name;
  }
  EXPECT_TRUE(server.calls().empty());
  EXPECT_FALSE(server.exists("nicdiscovery.xml"));
}

TEST(CommandLineSession, EachModeIsReachedOnAServerWithoutAdapters) {
  SimServer server(kNoAdapterServer);
  // Upgrade run: nothing of the vendor to upgrade.
  RunResult r = server.run({});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("NIC firmware update did not complete."), std::string::npos) << r.out;
  // Current firmware report: nothing to show, still a success.
  EXPECT_EQ(server.run({"-c"}).status, 0);
  // Discovery report: no adapter, no report.
  EXPECT_EQ(server.run({"-d"}).status, 2);
  EXPECT_FALSE(server.exists("nicdiscovery.xml"));
  // Report applier: the report named on the command line is read.
  r = server.run({"-u", "missing.xml"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(server.read("mstflint.log").find("read_discovery_report: Failed to open missing.xml"),
            std::string::npos);
}

}  // namespace
