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
      {{}, run_mode::upgrade, 0},
      {{"-s"}, run_mode::upgrade, kOptSilent},
      {{"-s", "-F"}, run_mode::upgrade, kOptSilent | kOptForce},
      {{"-sF"}, run_mode::upgrade, kOptSilent | kOptForce},
      {{"-s", "-f"}, run_mode::upgrade, kOptSilent | kOptForce},
      {{"/s", "/F"}, run_mode::upgrade, kOptSilent | kOptForce},
      {{"-F"}, run_mode::upgrade, kOptForce},
      {{"-p"}, run_mode::upgrade, kOptP},
      {{"-y"}, run_mode::upgrade, kOptYes},
      {{"-c"}, run_mode::show_current, kOptCurrent},
      {{"-d"}, run_mode::discover, kOptDiscover},
      {{"/d"}, run_mode::discover, kOptDiscover},
      {{"-u", "report.xml"}, run_mode::apply_report, kOptApply},
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
  parse({"-s"});
  EXPECT_EQ(silent, kSilentRun);
}

TEST(CommandLine, ReportPath) {
  EXPECT_EQ(parse({"-d"}).report, "nicdiscovery.xml");
  EXPECT_EQ(parse({"-d", "my.xml"}).report, "my.xml");
  EXPECT_EQ(parse({"-u", "report.xml"}).report, "report.xml");
  EXPECT_EQ(parse({"-su", "report.xml"}).report, "report.xml");
  // The report is the argument -u was given, also when attached to it.
  EXPECT_EQ(parse({"-ureport.xml"}).report, "report.xml");
  EXPECT_EQ(parse({"-ureport.xml"}).mode, run_mode::apply_report);
  // Letters after -u are options when nothing else: the report stands by position.
  EXPECT_EQ(parse({"-us", "report.xml"}).report, "report.xml");
  EXPECT_EQ(parse({"-us"}).report, "nicdiscovery.xml");
}

TEST(CommandLine, RefusedBeforeTheBanner) {
  struct Case {
    std::vector<std::string> args;
    bool usage_shown;
  } cases[] = {
      {{"/c"}, true},                      // no '-'
      {{"-"}, true},                       // one character
      {{"/F", "/s"}, true},                // "/F" first is not translated
      {{"-s", "-F", "-y"}, true},          // four arguments
      {{"-u", "report.xml", "-s"}, true},  // four arguments
      {{"a", "b", "c", "d", "e"}, true},
      {{"-h"}, true},
      {{"-x"}, true},                      // unknown option
      {{"-u"}, true},                      // -u without its report
      {{"-i"}, true},
      {{"-s", "-h"}, false},               // -s already parsed: usage suppressed
      {{"eth0", "-bootenable", "pxe"}, true},
      {{"em1", "-bootenable", "rom"}, true},
  };
  for (const Case& c : cases) {
    Outcome o = parse(c.args);
    EXPECT_FALSE(o.run) << c.args[0];
    EXPECT_EQ(o.status, 1) << c.args[0];
    EXPECT_FALSE(has_banner(o)) << c.args[0];
    EXPECT_EQ(has_usage(o), c.usage_shown) << c.args[0];
  }
  EXPECT_NE(parse({"-x"}).out.find("Unknown command line option: ?\n"), std::string::npos);
}

TEST(CommandLine, ForbiddenCombinationsShowBannerThenUsage) {
  struct Case {
    std::vector<std::string> args;
    bool usage_shown;
  } cases[] = {
      {{"-sc"}, false}, {{"-sp"}, false}, {{"-sy"}, false}, {{"-sd"}, false},
      {{"-Fc"}, true},  {{"-Fp"}, true},  {{"-Fy"}, true},  {{"-Fd"}, false},
      {{"-Fu", "r.xml"}, false},          {{"-yc"}, true},  {{"-yp"}, true},
      {{"-yd"}, false}, {{"-yu", "r.xml"}, false},          {{"-pc"}, true},
      {{"-pd"}, false}, {{"-pu", "r.xml"}, false},          {{"-cd"}, false},
      {{"-c", "-d"}, false},              {{"-cu", "r.xml"}, false},
      {{"-du", "r.xml"}, false},          {{"-sFu", "r.xml"}, false},
      {{"-ucd", "r.xml"}, false},
  };
  for (const Case& c : cases) {
    Outcome o = parse(c.args);
    EXPECT_FALSE(o.run) << c.args[0];
    EXPECT_EQ(o.status, 1) << c.args[0];
    EXPECT_TRUE(has_banner(o)) << c.args[0];
    EXPECT_EQ(has_usage(o), c.usage_shown) << c.args[0];
  }
}

TEST(CommandLine, BannerIsTwoRowsOfOneHundredBytes) {
  Outcome o = parse({});
  std::string row = std::string(98, '#');
  ASSERT_EQ(o.out.substr(0, 100), "\n" + row + "\n");
  size_t second = o.out.find(row, 100);
  ASSERT_NE(second, std::string::npos);
  EXPECT_EQ(o.out.substr(second), row + "\n\n");
}

}  // namespace
