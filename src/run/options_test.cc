// Tests of the command line: screening, options, combination rules and modes.
#include "run/options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "run/run_state.h"

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

TEST(CommandLine, AcceptedSetsChooseTheirMode) {
  struct Case {
    std::vector<std::string> args;
    run_mode mode;
    int options;
  } cases[] = {
      {{"-sF"}, run_mode::upgrade, kOptSilent | kOptForce},
      {{"-s", "-f"}, run_mode::upgrade, kOptSilent | kOptForce},
      {{"/s", "/F"}, run_mode::upgrade, kOptSilent | kOptForce},
      {{"-F"}, run_mode::upgrade, kOptForce},
      {{"-p"}, run_mode::upgrade, kOptP},
      {{"/d"}, run_mode::discover, kOptDiscover},
      {{"-su", "report.xml"}, run_mode::apply_report, kOptSilent | kOptApply},
      {{"-us", "report.xml"}, run_mode::apply_report, kOptSilent | kOptApply},
      {{"--"}, run_mode::upgrade, 0},
      {{"foo-bar"}, run_mode::upgrade, 0},
      {{"/s"}, run_mode::upgrade, kOptSilent},
  };
  for (const Case& c : cases) {
    Outcome o = parse(c.args);
    std::string name = c.args.empty() ? "(none)" : c.args[0];
    EXPECT_TRUE(o.run) << name;
    EXPECT_EQ(o.mode, c.mode) << name;
    EXPECT_EQ(o.flags & kOptionBits, c.options) << name;
    EXPECT_TRUE(has_banner(o)) << name;
    EXPECT_FALSE(has_usage(o)) << name;
  }
}

TEST(CommandLine, ReportPath) {
  EXPECT_EQ(parse({"-su", "report.xml"}).report, "report.xml");
  // The report is the argument -u was given, also when attached to it.
  EXPECT_EQ(parse({"-ureport.xml"}).report, "report.xml");
  EXPECT_EQ(parse({"-ureport.xml"}).mode, run_mode::apply_report);
  // Letters after -u are options when nothing else: the report stands by position.
  EXPECT_EQ(parse({"-us", "report.xml"}).report, "report.xml");
  EXPECT_EQ(parse({"-us"}).report, "nicdiscovery.xml");
}

// Refused before the banner, or after it for a forbidden combination; the usage
// text is shown unless -s or -d was already parsed.
TEST(CommandLine, RefusedWithOrWithoutBannerAndUsage) {
  struct Case {
    std::vector<std::string> args;
    bool banner, usage;
  } cases[] = {
      {{"/c"}, false, true},                      // no '-'
      {{"-"}, false, true},                       // one character
      {{"/F", "/s"}, false, true},                // "/F" first is not translated
      {{"-u", "report.xml", "-s"}, false, true},  // four arguments
      {{"a", "b", "c", "d", "e"}, false, true},
      {{"-u"}, false, true},                      // -u without its report
      {{"-i"}, false, true},
      {{"-s", "-h"}, false, false},               // -s already parsed: usage suppressed
      {{"em1", "-bootenable", "rom"}, false, true},
      {{"eth0", "-bootenable", "pxe"}, false, true},
      {{"-sc"}, true, false}, {{"-sp"}, true, false}, {{"-sy"}, true, false},
      {{"-sd"}, true, false}, {{"-Fc"}, true, true},  {{"-Fp"}, true, true},
      {{"-Fy"}, true, true},  {{"-Fd"}, true, false}, {{"-Fu", "r.xml"}, true, false},
      {{"-yc"}, true, true},  {{"-yp"}, true, true},  {{"-yd"}, true, false},
      {{"-yu", "r.xml"}, true, false},                {{"-pc"}, true, true},
      {{"-pd"}, true, false}, {{"-pu", "r.xml"}, true, false},
      {{"-cu", "r.xml"}, true, false},                {{"-du", "r.xml"}, true, false},
      {{"-sFu", "r.xml"}, true, false},               {{"-ucd", "r.xml"}, true, false},
  };
  for (const Case& c : cases) {
    Outcome o = parse(c.args);
    EXPECT_FALSE(o.run) << c.args[0];
    EXPECT_EQ(o.status, 1) << c.args[0];
    EXPECT_EQ(has_banner(o), c.banner) << c.args[0];
    EXPECT_EQ(has_usage(o), c.usage) << c.args[0];
  }
}

}  // namespace
