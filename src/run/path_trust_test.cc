// Tests of who may change a path fwkit trusts, in a fresh directory below /tmp.
#include "run/path_trust.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

struct trust_case {
  const char* what;
  const char* shell;  // makes the layout in directory D (the working directory)
  const char* path;
  const char* problem;  // with D/ for the directory's path
};

const trust_case kCases[] = {
    {"plain_file", "touch f", "f", ""},
    {"group_writable", "touch f; chmod g+w f", "f", "f is writable by its group"},
    {"someone_elses", "touch f; chown 65534 f", "f", "f is owned by uid 65534"},
    {"the_sudo_callers", "touch f; chown 65534 f; export SUDO_UID=65534", "f", ""},
    {"in_a_users_directory", "mkdir u; touch u/f; chown 65534 u", "u/f", "u/f lies in D/u, which is owned by uid 65534"},
    {"link_through_open_directory", "mkdir -m 777 w; touch w/f; ln -s w/f l", "D/l",
     "D/l leads through D/w, which is writable by others"},
    {"link_to_open_file", "touch f; chmod o+w f; ln -s ../$(basename $PWD)/f l", "l", "l leads to D/f, which is writable by others"},
    {"sticky_root_directory", "mkdir -m 1777 t; touch t/f", "t/f", ""},
    {"absent", "", "x/f", "x/f does not exist"},
    {"link_loop", "ln -s l l", "l", "l leads through too many links"},
};

class PathTrust : public testing::TestWithParam<trust_case> {};

TEST_P(PathTrust, NamesWhoElseCanChangeIt) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give files away";
  char dir[] = "/tmp/trustXXXXXX";
  ASSERT_TRUE(mkdtemp(dir));
  const std::string d = dir, shell = GetParam().shell;
  // The layout is made by a shell, which also tells the SUDO_UID it exported.
  const std::string made = "cd " + d + " && " + (shell.empty() ? ":" : shell) + " && echo ${SUDO_UID-}";
  FILE* out = popen(made.c_str(), "r");
  char sudo[32] = "";
  ASSERT_TRUE(out && (fgets(sudo, sizeof sudo, out), pclose(out) == 0));
  sudo[strcspn(sudo, "\n")] = '\0';
  if (*sudo) setenv("SUDO_UID", sudo, 1); else unsetenv("SUDO_UID");
  char here[4096];
  ASSERT_TRUE(getcwd(here, sizeof here) && chdir(dir) == 0);
  std::string path = GetParam().path, expected = GetParam().problem, got;
  for (std::string* text : {&path, &expected}) {
    for (size_t at = 0; (at = text->find("D/", at)) != std::string::npos; at += d.size()) text->replace(at, 1, d);
  }
  got = path_trust_problem(path);
  EXPECT_EQ(chdir(here), 0);
  unsetenv("SUDO_UID");
  EXPECT_EQ(system(("rm -rf " + d).c_str()), 0);
  EXPECT_EQ(got, expected);
}

INSTANTIATE_TEST_SUITE_P(Layouts, PathTrust, testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.what); });

}  // namespace
