// Tests of the command line: screening, options, combination rules and modes.
#include "run/options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "run/run_state.h"
#include "run/version.h"

namespace {

struct Outcome {
  bool run;
  int status;
  run_mode mode;
  int flags;
  std::string report;
  std::string out;
};

Outcome parse(std::vector<std::string> args) {
  g_iFlag = 0;
  silent = 0;
  g_XMLDiscoveryReport.clear();
  args.insert(args.begin(), "fwkit");
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  command_line command = parse_command_line(static_cast<int>(args.size()), argv.data());
  std::fflush(stdout);
  std::string out = testing::internal::GetCapturedStdout();
  testing::internal::GetCapturedStderr();
  return {command.run, command.exit_status, command.mode, g_iFlag, g_XMLDiscoveryReport, out};
}

const std::string kUsageFirstLine =
    "USAGE: fwkit [ -s ] [ -s [ -F ] ] [ -s [ -f ] ] [ -y ] [ -d ] [ -c ] [ -h ]\n";

bool has_banner(const Outcome& o) { return o.out.find(std::string(98, '#')) != std::string::npos; }
bool has_usage(const Outcome& o) { return o.out.find(kUsageFirstLine) != std::string::npos; }

TEST(CommandLine, AcceptedSetsChooseTheirModeAndReport) {
  struct Case {
    std::vector<std::string> args;
    run_mode mode;
    int options;
    const char* report = "";  // -u's report
  } cases[] = {
      {{"-sF"}, run_mode::upgrade, kOptSilent | kOptForce},
      {{"-s", "-f"}, run_mode::upgrade, kOptSilent | kOptForce},
      {{"/s", "/F"}, run_mode::upgrade, kOptSilent | kOptForce},
      {{"-F"}, run_mode::upgrade, kOptForce},
      {{"-p"}, run_mode::upgrade, kOptP},
      {{"/d"}, run_mode::discover, kOptDiscover},
      {{"--"}, run_mode::upgrade, 0},
      {{"foo-bar"}, run_mode::upgrade, 0},
      {{"/s"}, run_mode::upgrade, kOptSilent},
      {{"-su", "report.xml"}, run_mode::apply_report, kOptSilent | kOptApply, "report.xml"},
      {{"-ureport.xml"}, run_mode::apply_report, kOptApply, "report.xml"},  // attached to -u
      // Letters after -u are options when nothing else: the report stands by position.
      {{"-us", "report.xml"}, run_mode::apply_report, kOptSilent | kOptApply, "report.xml"},
      {{"-us"}, run_mode::apply_report, kOptSilent | kOptApply, "nicdiscovery.xml"},
  };
  for (const Case& c : cases) {
    Outcome o = parse(c.args);
    EXPECT_TRUE(o.run) << c.args[0];
    EXPECT_EQ(o.mode, c.mode) << c.args[0];
    EXPECT_EQ(o.flags & kOptionBits, c.options) << c.args[0];
    EXPECT_EQ(c.mode == run_mode::apply_report ? o.report : "", c.report) << c.args[0];
    EXPECT_TRUE(has_banner(o) && !has_usage(o)) << c.args[0];
  }
}

TEST(CommandLine, RefusedWithOrWithoutBannerAndUsage) {
  struct Group {
    bool banner, usage;
    std::vector<std::vector<std::string>> command_lines;
  } groups[] = {
      // Before the banner: no '-', one character, "/F" first (not translated), four arguments,
      // -u without its report, an unknown letter, the bootenable form.
      {false, true, {{"/c"}, {"-"}, {"/F", "/s"}, {"-u", "report.xml", "-s"}, {"a", "b", "c", "d", "e"},
                     {"-u"}, {"-i"}, {"em1", "-bootenable", "rom"}, {"eth0", "-bootenable", "pxe"}}},
      {false, false, {{"-s", "-h"}}},  // -s already parsed: usage suppressed
      // The long forms stand alone: beside anything else they are unknown options.
      {false, true, {{"--help", "-s"}, {"-c", "--help"}, {"--version", "x.xml"}, {"--helpx"}}},
      // A forbidden combination, after the banner; the usage text follows some of them.
      {true, false, {{"-sc"}, {"-sp"}, {"-sy"}, {"-sd"}, {"-Fd"}, {"-Fu", "r.xml"}, {"-yd"}, {"-yu", "r.xml"},
                     {"-pd"}, {"-pu", "r.xml"}, {"-cu", "r.xml"}, {"-du", "r.xml"}, {"-sFu", "r.xml"},
                     {"-ucd", "r.xml"}}},
      {true, true, {{"-Fc"}, {"-Fp"}, {"-Fy"}, {"-yc"}, {"-yp"}, {"-pc"}}},
  };
  for (const Group& g : groups) {
    for (const std::vector<std::string>& args : g.command_lines) {
      Outcome o = parse(args);
      EXPECT_TRUE(!o.run && o.status == 1) << args[0];
      EXPECT_EQ(has_banner(o), g.banner) << args[0];
      EXPECT_EQ(has_usage(o), g.usage) << args[0];
    }
  }
}

TEST(CommandLine, LongHelpAndVersionAloneEndWithStatusZero) {
  Outcome help = parse({"--help"});
  EXPECT_TRUE(!help.run && help.status == 0 && !has_banner(help) && !has_usage(help));
  for (const char* told : {"\n  -u REPORT ", "\n  -s -F, -s -f ", "\n  -c ", "\n  -d [REPORT] ",
                           "FWKIT_TEXTFILE ", "FWKIT_BURN_JOBS ", "nic_fw/NICFWData.xml ",
                           "mstflint.log ", "\nExit status: "})
    EXPECT_NE(help.out.find(told), std::string::npos) << told;
  Outcome version = parse({"--version"});
  EXPECT_TRUE(!version.run && version.status == 0);
  EXPECT_EQ(version.out, "fwkit " + std::string(kFwkitVersion) + "\n");
}

}  // namespace
