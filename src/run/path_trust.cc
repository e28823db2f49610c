// Whether a file fwkit runs or reads as root can be changed by someone who is not root.
#include "run/path_trust.h"

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>

#include "run/error_report.h"
#include "run/outside_text.h"
#include "run/text_format.h"

namespace {

// Links followed on one path before giving up, as the kernel does.
constexpr int kMaxLinks = 40;

// Root and the effective user only. The caller sudo names (SUDO_UID) is not
// trusted: a sudoers rule may let a user run fwkit and nothing else as root,
// and a tool that user planted would then run as root.
bool owner_trusted(uid_t owner) { return owner == 0 || owner == geteuid(); }

// Why somebody else could change an object with this status, or empty when
// nobody can.
std::string status_problem(const struct stat& info) {
  if (!owner_trusted(info.st_uid)) return strprintf("is owned by uid %u", unsigned(info.st_uid));
  const bool sticky_root_dir = S_ISDIR(info.st_mode) && (info.st_mode & S_ISVTX) && info.st_uid == 0;
  if (sticky_root_dir) return "";
  if (info.st_mode & S_IWOTH) return "is writable by others";
  if (info.st_mode & S_IWGRP) return "is writable by its group";
  return "";
}

std::deque<std::string> split_path(const std::string& path) {
  std::deque<std::string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    if (end > start) parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

std::string parent_of(const std::string& dir) {
  const size_t slash = dir.rfind('/');
  return slash == 0 || slash == std::string::npos ? "/" : dir.substr(0, slash);
}

std::string joined(const std::string& dir, const std::string& name) {
  return dir == "/" ? "/" + name : dir + "/" + name;
}

// The judgement of one path, walked from "/" one entry at a time as the
// kernel resolves it, so that every directory passed and every link's
// target are judged on the way.
class path_walk {
 public:
  path_walk(const std::string& given, std::string* problem)
      : given_(clean_outside_text(given, PATH_MAX)), problem_(problem) {}

  path_trust judge(const std::string& path) {
    if (path.empty()) return refuse_at("", true, "is an empty path");
    std::deque<std::string> rest = split_path(path);
    if (path[0] != '/') {
      char cwd[PATH_MAX];
      if (!getcwd(cwd, sizeof cwd)) return refuse_at("", true, cannot_read(errno));
      std::deque<std::string> above = split_path(cwd);
      rest.insert(rest.begin(), above.begin(), above.end());
    }
    std::string dir = "/";
    struct stat info;
    if (lstat("/", &info) != 0) return refuse_at("/", rest.empty(), cannot_read(errno));
    std::string why = status_problem(info);
    if (!why.empty()) return refuse_at("/", rest.empty(), why);
    while (!rest.empty()) {
      const std::string name = rest.front();
      rest.pop_front();
      if (name == ".") continue;
      if (name == "..") {
        dir = parent_of(dir);  // judged already on the way down
        continue;
      }
      const std::string here = joined(dir, name);
      if (lstat(here.c_str(), &info) != 0) {
        const int error = errno;
        return judge_missing(dir, here, rest.empty(), error);
      }
      if (S_ISLNK(info.st_mode)) {
        // The link itself can only be replaced through its directory, judged
        // already, or by its owner in a sticky one (as /tmp); what it leads
        // to is judged next.
        if (!owner_trusted(info.st_uid)) {
          return refuse_at(here, rest.empty(), strprintf("is a link owned by uid %u", unsigned(info.st_uid)));
        }
        if (++links_ > kMaxLinks) return refuse_at("", true, "leads through too many links");
        std::string target(PATH_MAX, '\0');
        const ssize_t length = readlink(here.c_str(), target.data(), target.size());
        if (length <= 0 || static_cast<size_t>(length) >= target.size()) {
          return refuse_at(here, rest.empty(), cannot_read(length < 0 ? errno : EINVAL));
        }
        target.resize(static_cast<size_t>(length));
        std::deque<std::string> leads = split_path(target);
        rest.insert(rest.begin(), leads.begin(), leads.end());
        if (target[0] == '/') dir = "/";
        continue;
      }
      why = status_problem(info);
      if (!why.empty()) return refuse_at(here, rest.empty(), why);
      if (!rest.empty() && !S_ISDIR(info.st_mode)) return refuse_at(here, false, "is not a directory");
      dir = here;
    }
    return path_trust::trusted;
  }

 private:
  // An entry of `dir` that lstat did not find (`error`), the last of the
  // path when `last`: absent when nobody else can create it.
  path_trust judge_missing(const std::string& dir, const std::string& here, bool last, int error) {
    if (error != ENOENT) return refuse_at(here, last, cannot_read(error));
    // Nobody else can create it, unless others may add entries to its
    // directory (a sticky one, as /tmp).
    struct stat above;
    if (lstat(dir.c_str(), &above) != 0 || (above.st_mode & (S_IWGRP | S_IWOTH))) {
      return refuse_at(here, true, "does not exist, and others may create it");
    }
    if (problem_) *problem_ = describe(here, true, "does not exist");
    return path_trust::absent;
  }

  static std::string cannot_read(int error) { return strprintf("cannot be read (%s)", std::strerror(error)); }

  // "X is W" for the object a path names itself; otherwise the object that
  // is W: the one a link leads to, or a directory on the way.
  std::string describe(const std::string& where, bool last, const std::string& why) const {
    if (where.empty() || (last && links_ == 0)) return given_ + " " + why;
    const char* relation = last ? " leads to " : links_ ? " leads through " : " lies in ";
    return given_ + relation + clean_outside_text(where, PATH_MAX) + ", which " + why;
  }

  path_trust refuse_at(const std::string& where, bool last, const std::string& why) {
    if (problem_) *problem_ = describe(where, last, why);
    return path_trust::refused;
  }

  std::string given_;
  std::string* problem_;
  int links_ = 0;
};

}  // namespace

path_trust judge_path_trust(const std::string& path, std::string* problem) {
  if (problem) problem->clear();
  return path_walk(path, problem).judge(path);
}

std::string path_trust_problem(const std::string& path) {
  std::string problem;
  judge_path_trust(path, &problem);
  return problem;
}

void report_untrusted_repository(const std::string& problem) {
  write_stderr("FWUPG_ERROR: " + problem +
               "; fwkit runs only a repository that only root can change\n"
               "Hand the repository to root (sudo chown -R root:root DIR && sudo chmod -R go-w DIR), "
               "or copy it as root into a directory that only root can write, without keeping "
               "owners and modes (cp -r, not cp -a, from a USB stick or an NFS share), and run "
               "fwkit there.\n");
}

bool check_repository_trust(const std::vector<std::string>& paths) {
  char cwd[PATH_MAX];
  std::string problem;
  if (!getcwd(cwd, sizeof cwd)) {
    report_untrusted_repository(strprintf("the working directory cannot be read (%s)", std::strerror(errno)));
    return false;
  }
  if (judge_path_trust(cwd, &problem) != path_trust::trusted) {
    report_untrusted_repository(problem);
    return false;
  }
  for (const std::string& path : paths) {
    if (judge_path_trust(path, &problem) == path_trust::refused) {
      report_untrusted_repository(problem);
      return false;
    }
  }
  return true;
}
