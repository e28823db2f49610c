// Fuzzes the command line parser: arguments are the input's NUL-separated pieces.
#include <getopt.h>

#include <string>
#include <vector>

#include "fuzz_check.h"
#include "run/options.h"
#include "run/run_state.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool quiet = (opterr = 0, std::freopen("/dev/null", "w", stdout) != nullptr);  // banner and usage
  (void)quiet;
  std::vector<std::string> args{"fwkit"};
  const std::string_view input = fuzz_text(data, size);
  for (size_t pos = 0; pos < input.size() && args.size() < 8;) {
    const size_t end = std::min(input.find('\0', pos), input.size());
    args.emplace_back(input.substr(pos, end - pos));
    pos = end + 1;
  }
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  g_iFlag = silent = 0;
  g_XMLDiscoveryReport.clear();
  const command_line chosen = parse_command_line(static_cast<int>(args.size()), argv.data());
  FUZZ_CHECK((g_iFlag & ~kOptionBits) == 0);  // parsing sets no run status
  if (!chosen.run) {
    FUZZ_CHECK(chosen.exit_status == 0 || chosen.exit_status == 1);
    return 0;
  }
  // A run goes ahead only in one mode, with options that mode allows.
  const int options = g_iFlag;
  FUZZ_CHECK(chosen.exit_status == 0 && (silent == kSilentRun) == ((options & kOptSilent) != 0));
  FUZZ_CHECK(!(options & kOptSilent) || !(options & (kOptCurrent | kOptP | kOptYes | kOptDiscover)));
  FUZZ_CHECK(!(options & kOptForce) || !(options & (kOptYes | kOptP | kOptApply)));
  FUZZ_CHECK(!(options & kOptP) || !(options & (kOptYes | kOptApply)));
  switch (chosen.mode) {
    case run_mode::show_current: FUZZ_CHECK(options == kOptCurrent); break;
    case run_mode::discover: FUZZ_CHECK(options == kOptDiscover); break;
    case run_mode::apply_report: FUZZ_CHECK((options & ~kOptSilent) == kOptApply); break;
    case run_mode::upgrade: FUZZ_CHECK(!(options & (kOptCurrent | kOptDiscover | kOptApply))); break;
  }
  return 0;
}
