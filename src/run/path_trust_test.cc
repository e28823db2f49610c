// Tests of who may change a path fwkit trusts: the layouts the scenarios do not make.
#include "run/path_trust.h"

#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

TEST(PathTrust, LinksAbsenceAndLoops) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give files away";
  char dir[] = "/tmp/trustXXXXXX";
  ASSERT_TRUE(mkdtemp(dir));
  const std::string d = dir;
  ASSERT_EQ(system(("cd " + d + " && touch f && chmod o+w f && ln -s ../" + d.substr(5) +
                    "/f l && ln -s o o && mkdir -m 1777 t && ln -s /bin t/u && chown -h 65533 t/u && mkdir -m 1775 g && "
                    "touch g/f && chown 65533 g/f").c_str()),
            0);
  EXPECT_EQ(path_trust_problem(d + "/l"), d + "/l leads to " + d + "/f, which is writable by others");
  EXPECT_EQ(path_trust_problem(d + "/o"), d + "/o leads through too many links");
  EXPECT_EQ(path_trust_problem(d + "/t/u"), d + "/t/u is a link owned by uid 65533");  // replaceable
  EXPECT_EQ(path_trust_problem(d + "/t/x"), d + "/t/x does not exist, and others may create it");
  // A sticky directory its group can write: a member's file, or one a member may still create.
  EXPECT_EQ(path_trust_problem(d + "/g/f"), d + "/g/f is owned by uid 65533");
  EXPECT_EQ(path_trust_problem(d + "/g/x"), d + "/g/x does not exist, and others may create it");
  std::string problem;
  EXPECT_EQ(judge_path_trust(d + "/x/y", &problem), path_trust::absent);
  EXPECT_EQ(problem, d + "/x/y does not exist");
  EXPECT_EQ(system(("rm -rf " + d).c_str()), 0);
}

}  // namespace
