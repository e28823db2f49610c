// The command line: screening, getopt, banner, combination rules, mode choice.
#include "run/options.h"

#include <getopt.h>
#include <unistd.h>

#include <cstring>
#include <string_view>

#include "run/console.h"
#include "run/exit_status.h"
#include "run/run_state.h"
#include "run/text_format.h"
#include "run/version.h"

const char* const kProgramTitle = "fwkit - network adapter firmware update utility";

namespace {

const char* const kMakerLine = "Firmware repository tool for adapters of PCI vendor 0x15B3";

void rewrite_slash_form(char*& arg, std::initializer_list<const char*> accepted) {
  for (const char* form : accepted) {
    if (std::strcmp(arg, form) == 0) {
      arg[0] = '-';  // "/d" becomes "-d"
      return;
    }
  }
}

bool looks_like_option(const char* arg) {
  return std::strchr(arg, '-') != nullptr && std::strlen(arg) != 1;
}

command_line exit_with(int status) { return command_line{false, status, run_mode::upgrade}; }

command_line usage_and_exit() {
  usage();
  return exit_with(kExitFailure);
}

// The options each option may not be combined with, tested in this order.
struct combination_rule {
  int given;
  int forbidden;
};
const combination_rule kCombinationRules[] = {
    {kOptSilent, kOptCurrent | kOptP | kOptYes | kOptDiscover},
    {kOptForce, kOptCurrent | kOptP | kOptYes | kOptDiscover | kOptApply},
    {kOptYes, kOptCurrent | kOptForce | kOptP | kOptDiscover | kOptApply},
    {kOptP, kOptCurrent | kOptSilent | kOptForce | kOptDiscover | kOptApply},
};

// Option letters that take no argument.
const char* const kFlagLetters = "hcsFfipyd";

// True when -u's argument was the rest of its own command line word and that
// rest is nothing but option letters ("-us report.xml"): they are options then,
// and the report is the one given by position.
bool attached_letters(int argc, char** argv) {
  if (optind < 1 || optind > argc || optarg == argv[optind - 1]) return false;
  return std::strspn(optarg, kFlagLetters) == std::strlen(optarg);
}

}  // namespace

int verify_cmd_line_options(int argc, char** argv) {
  switch (argc) {
    case 1:
      return kScreenGoOn;
    case 2:
      rewrite_slash_form(argv[1], {"/d", "/u", "/s", "/F"});
      if (!looks_like_option(argv[1])) return kScreenUsage;
      g_XMLDiscoveryReport = g_XMLDiscoveryReportDefault;
      return kScreenGoOn;
    case 3:
      rewrite_slash_form(argv[1], {"/d", "/u", "/s"});
      rewrite_slash_form(argv[2], {"/F"});
      if (!looks_like_option(argv[1])) return kScreenUsage;
      g_XMLDiscoveryReport = argv[2];
      return kScreenGoOn;
    case 4: {
      std::string_view mode = argv[3];
      if (std::strstr(argv[1], "eth") && std::strcmp(argv[2], "-bootenable") == 0 &&
          (mode == "rom" || mode == "iscsi" || mode == "disabled"))
        return kScreenBootenable;
      return kScreenUsage;
    }
    default:
      return kScreenUsage;
  }
}

void usage() {
  print_message("USAGE: fwkit [ -s ] [ -s [ -F ] ] [ -s [ -f ] ] [ -y ] [ -d ] [ -c ] [ -h ]\n");
  print_message("\t With no option, interactively upgrade firmware. \n");
  print_message("\t -s  Silently upgrade firmware.\n");
  print_message("\t -y  Assume default repsonse for all prompts.\n");
  print_message("\t -d  Generates NIC Discovery xml file for currently installed version.\n");
  print_message("\t -c  Display currently installed firmware information.\n");
  print_message("\t -h  Display this help menu.\n");
}

void print_help() {
  print_message(
      "Usage: fwkit [-s [-F|-f]] | -y | -c | -d [REPORT] | [-s] -u REPORT\n"
      "       fwkit -h | --help | --version\n"
      "Updates the firmware of the network adapters of PCI vendor 0x15B3 from the\n"
      "repository nic_fw/ in the working directory. Runs as root.\n"
      "\n"
      "Modes, one per run:\n"
      "  (no option)    interactive upgrade: asks y/n/q for each adapter\n"
      "  -s             silent upgrade of every adapter with a newer catalog image\n"
      "  -s -F, -s -f   silent upgrade that also burns adapters already up to date\n"
      "  -y             upgrade that answers every question with yes\n"
      "  -c             prints each adapter's installed and available versions\n"
      "  -d [REPORT]    writes the discovery report (nicdiscovery.xml); no burn\n"
      "  -u REPORT      applies a discovery report: burns what its actions ask\n"
      "  -h             prints the short usage text and ends with status 1\n"
      "  --help         prints this help; --version, the version (status 0)\n"
      "\n"
      "Environment:\n"
      "  FWKIT_TEXTFILE       file for the run's metrics (node_exporter textfile)\n"
      "  FWKIT_QUERY_JOBS     adapter queries side by side (default 8)\n"
      "  FWKIT_QUERY_TIMEOUT  seconds before a query is stopped (default 300)\n"
      "  FWKIT_BURN_JOBS      boards burned side by side by -s, -y, -u (default 1)\n"
      "\n"
      "Files, in the working directory unless absolute:\n"
      "  nic_fw/NICFWData.xml   the firmware catalog\n"
      "  nic_fw/mstflint        the firmware tool\n"
      "  getmlnxinfo            the image identity tool of -u (may be absent)\n"
      "  mstflint.log           the event log\n"
      "  nicdiscovery.xml       the default discovery report\n"
      "  /tmp/dataXXXXXX        diagnostic file of each inventory\n"
      "  /run/fwkit.lock        the burn lock\n"
      "  /run/reboot-required   the reboot flag, set after a run that burned\n"
      "\n"
      "Exit status: 0 done; 1 usage error, nothing to do or no repository; 2 a burn\n"
      "or report failed, or no adapter could be read; 3 the operator quit.\n"
      "See fwkit(8).\n");
}

void print_banner() {
  // Each row of '#' with its newlines goes out as one block of 100 bytes.
  write_console("\n" + std::string(98, '#') + "\n");
  write_console(std::string(kProgramTitle) + "\n" + kMakerLine + "\n");
  write_console(std::string(98, '#') + "\n\n");
}

namespace {

// The option letters getopt finds, up to the first that ends the run; a -u
// written in one word with other letters brings its argument's letters too.
std::string option_letters(int argc, char** argv) {
  optind = 0;  // a fresh scan, also when called more than once in a process
  std::string letters;
  int option;
  while ((option = getopt(argc, argv, "hcsFfipydu:")) != -1) {
    letters += static_cast<char>(option);
    if (option == 'h' || option == 'i' || option == '?') break;  // the run ends there
    if (option == 'u') {
      if (attached_letters(argc, argv)) {
        letters += optarg;
      } else {
        g_XMLDiscoveryReport = optarg;  // the report is the argument -u was given
      }
    }
  }
  return letters;
}

// Sets the option bits of `letters` in g_iFlag (and `silent`). False when a
// letter ends the run with the usage text.
bool take_option_letters(const std::string& letters) {
  for (char letter : letters) {
    switch (letter) {
      case 'c': g_iFlag |= kOptCurrent; break;
      case 's':
        g_iFlag |= kOptSilent;
        silent = kSilentRun;
        break;
      case 'F':
      case 'f': g_iFlag |= kOptForce; break;
      case 'p': g_iFlag |= kOptP; break;
      case 'y': g_iFlag |= kOptYes; break;
      case 'd': g_iFlag |= kOptDiscover; break;
      case 'u': g_iFlag |= kOptApply; break;
      case 'h':
      case 'i':  // -i never has the argument it would need
        return false;
      default:
        print_message(strprintf("Unknown command line option: %c\n", '?'));
        return false;
    }
  }
  return true;
}

// The mode the option bits of g_iFlag choose, or the usage text when they
// do not go together.
command_line chosen_mode() {
  for (const combination_rule& rule : kCombinationRules) {
    if ((g_iFlag & rule.given) && (g_iFlag & rule.forbidden)) return usage_and_exit();
  }

  command_line chosen{true, kExitOk, run_mode::upgrade};
  const int options = g_iFlag & kOptionBits;
  if (options & kOptCurrent) {
    if (options & ~kOptCurrent) return usage_and_exit();
    chosen.mode = run_mode::show_current;
  } else if (options & kOptDiscover) {
    if (options & (kOptCurrent | kOptSilent | kOptForce | kOptP | kOptYes | kOptApply))
      return usage_and_exit();
    chosen.mode = run_mode::discover;
  } else if (options & kOptApply) {
    if (options & (kOptCurrent | kOptForce | kOptP | kOptYes | kOptDiscover))
      return usage_and_exit();
    chosen.mode = run_mode::apply_report;
  }
  return chosen;
}

}  // namespace

command_line parse_command_line(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
    print_help();
    return exit_with(kExitOk);
  }
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    print_message(strprintf("fwkit %s\n", kFwkitVersion));
    return exit_with(kExitOk);
  }
  int verdict = verify_cmd_line_options(argc, argv);
  if (verdict == kScreenBootenable) return exit_with(kExitOk);
  if (verdict != kScreenGoOn) return usage_and_exit();
  if (!take_option_letters(option_letters(argc, argv))) return usage_and_exit();
  print_banner();
  return chosen_mode();
}
