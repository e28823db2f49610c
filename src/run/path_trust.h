// Whether a file fwkit runs or reads as root can be changed by someone who is not root.
#pragma once

#include <string>
#include <vector>

// A path is trusted when nobody but root and the effective user can change
// what it leads to: the object itself, every link on the way and what each
// leads to, and every directory above them up to "/". Each must be owned by
// one of those two and must not be writable by group or others; a directory
// writable by others passes only when root owns it and its sticky bit is set
// (as /tmp), since then nobody can replace an entry in it that somebody else
// owns. Whom sudo names as its caller (SUDO_UID) plays no part: a sudoers
// rule may let a user run fwkit as root without letting them run anything else.
// Access control lists are not read: fwkit's repository is not meant to use
// them.

/// How a path was judged.
enum class path_trust {
  trusted,  ///< only trusted users can change it
  absent,   ///< it does not exist, and only trusted users could create it
  refused,  ///< somebody else can change it, or it cannot be judged
};

/// Judges `path` (relative paths from the working directory). Unless
/// trusted, `problem` receives why, naming the path as given, e.g.
/// "nic_fw/mstflint is writable by others" or "nic_fw/x.bin does not exist".
path_trust judge_path_trust(const std::string& path, std::string* problem);

// Empty when only root or the effective user can change `path`: the object
// itself, what a link leads to, and every directory above it; otherwise why not, naming the path
// as given, e.g. "nic_fw/mstflint is writable by others".
std::string path_trust_problem(const std::string& path);

/// The refusal of an untrusted repository on standard error: "FWUPG_ERROR: "
/// `problem` "; fwkit runs only a repository that only root can change",
/// then how to lay one out.
void report_untrusted_repository(const std::string& problem);

/// Checks the working directory with everything above it, then each of
/// `paths` (inside it). A path that is absent passes: whoever uses it finds
/// it missing as before. On the first other problem reports the refusal and
/// returns false.
bool check_repository_trust(const std::vector<std::string>& paths);
