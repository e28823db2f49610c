// Fuzzes the command line parser: the arguments are the input's NUL-separated pieces.
#include <getopt.h>

#include <string>
#include <vector>

#include "fuzz_check.h"
#include "run/options.h"
#include "run/run_state.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  [[maybe_unused]] static const bool quiet = (opterr = 0, std::freopen("/dev/null", "w", stdout));
  std::vector<std::string> args{"fwkit"};
  const std::string_view input = fuzz_text(data, size);
  for (size_t pos = 0, end = 0; pos < size && args.size() < 8; pos = end + 1) {
    end = std::min(input.find('\0', pos), size);
    args.emplace_back(input.substr(pos, end - pos));
  }
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  g_iFlag = silent = 0;
  const command_line chosen = parse_command_line(static_cast<int>(args.size()), argv.data());
  const int o = g_iFlag;
  FUZZ_CHECK((o & ~kOptionBits) == 0 &&
             (chosen.run || chosen.exit_status == 0 || chosen.exit_status == 1));
  if (!chosen.run) return 0;
  // A run goes ahead in one mode only, with no option that mode or another given option excludes.
  FUZZ_CHECK(chosen.exit_status == 0 && (silent == kSilentRun) == ((o & kOptSilent) != 0));
  FUZZ_CHECK(!(o & kOptSilent) || !(o & (kOptP | kOptYes)));
  FUZZ_CHECK(!(o & (kOptForce | kOptP)) || !(o & (kOptYes | kOptApply)));
  const int allowed[] = {~(kOptCurrent | kOptDiscover | kOptApply), kOptCurrent, kOptDiscover,
                         kOptApply | kOptSilent};
  FUZZ_CHECK((o & ~allowed[static_cast<int>(chosen.mode)]) == 0);
  return 0;
}
