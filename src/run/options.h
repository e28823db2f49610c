// The command line: screening, options, banner, combination rules and the mode to run.
#pragma once

#include <string>

/// Verdicts of the screening of the raw argument vector.
enum screen_verdict {
  kScreenGoOn = 0,         ///< go on to option parsing
  kScreenUsage = 2,        ///< print the usage text, status 1
  kScreenBootenable = 256  ///< the "-bootenable" form: status 0, nothing printed
};

/// The modes a run can choose.
enum class run_mode { upgrade, show_current, discover, apply_report };

/// What the command line asks for: a mode to run, or an exit status now.
struct command_line {
  bool run = false;        ///< false: end with `exit_status`
  int exit_status = 0;
  run_mode mode = run_mode::upgrade;
};

/// Screens the argument vector by its count and form, rewrites the slash
/// forms ("/d", "/u", "/s", "/F") in place and sets the report path.
int verify_cmd_line_options(int argc, char** argv);

/// Prints the usage text through print_message.
void usage();

/// Prints the long help of `fwkit --help` through print_message: every
/// mode, the environment variables, the files and the exit statuses.
void print_help();

/// Writes the start banner straight to standard output.
void print_banner();

/// The program's title, as the banner and the discovery report show it.
extern const char* const kProgramTitle;

/// Screens and parses the whole command line into g_iFlag, silent and
/// g_XMLDiscoveryReport, printing the banner and usage text where due.
/// "--help" and "--version" as the only argument print the long help or
/// "fwkit VERSION" and end with status 0; anywhere else they are refused as
/// unknown options, as every word getopt does not know.
command_line parse_command_line(int argc, char** argv);
