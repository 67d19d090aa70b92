// Tests of the parameter-file search: path and extension lists with
// environment variables, the user and reference parts, the permission test,
// canonical paths, the UPARM fallback and the template matcher.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "pfile/pfile.h"
#include "pfile_test_helpers.h"

namespace {

const char* const StandardPath = "$PDIRS $PFILES $UPARM .";

class PfileSearchTest : public TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    for (const char* v : {"PDIRS", "PFILES", "UPARM", "PFEXTN"}) {
      unsetenv(v);
    }
    ASSERT_EQ(mkdir(path("user").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(path("ref").c_str(), 0755), 0);
  }
  static std::string found(const char* p) { return p ? p : "(none)"; }
};

TEST_F(PfileSearchTest, Find_userAndReferencePartsOfPFILES) {
  write("user/both.par", "");
  write("ref/both.par", "");
  write("user/mine.par", "");
  write("ref/theirs.par", "");
  setenv("PFILES", (path("user") + ";" + path("ref")).c_str(), 1);
  const char* ext = ".par .rdb $PFEXTN";

  EXPECT_EQ(found(Find("both", "r<", ext, StandardPath)), path("user/both.par"));
  EXPECT_EQ(found(Find("both", "r>", ext, StandardPath)), path("ref/both.par"));
  EXPECT_EQ(found(Find("mine", "r<", ext, StandardPath)), path("user/mine.par"));
  EXPECT_EQ(found(Find("mine", "r>", ext, StandardPath)), "(none)");
  EXPECT_EQ(found(Find("theirs", "r<", ext, StandardPath)), "(none)");
  EXPECT_EQ(found(Find("theirs", "r>", ext, StandardPath)), path("ref/theirs.par"));
  EXPECT_EQ(found(Find("theirs", "r", ext, StandardPath)), path("ref/theirs.par"));
  EXPECT_EQ(found(Find("both", "r<>", ext, StandardPath)), "(none)");
}

TEST_F(PfileSearchTest, Find_extensionsAndVariablesRecurse) {
  write("ref/task.rdb", "");
  write("ref/task.par", "");
  write("ref/only.xpar", "");
  setenv("INNER_DIRS", (path("user") + ":" + path("ref")).c_str(), 1);
  setenv("PDIRS", "$UNSET_DIRS_XYZ $INNER_DIRS", 1);
  setenv("PFEXTN", ".xpar", 1);
  unsetenv("UNSET_DIRS_XYZ");
  // The first extension that finds the file wins, and $PFEXTN is a list of its own.
  EXPECT_EQ(found(Find("task", "r", ".rdb .par $PFEXTN", StandardPath)), path("ref/task.rdb"));
  EXPECT_EQ(found(Find("only", "r", ".par .rdb $PFEXTN", StandardPath)), path("ref/only.xpar"));
  // An extension the name already carries is not added again.
  EXPECT_EQ(found(Find("task.par", "r", ".par", StandardPath)), path("ref/task.par"));
  EXPECT_EQ(found(Find("task.par", "r", nullptr, StandardPath)), path("ref/task.par"));
  // A variable that names itself does not recurse without end.
  setenv("PDIRS", "$PDIRS", 1);
  EXPECT_EQ(found(Find("task", "r", ".par", "$PDIRS")), "(none)");
}

TEST_F(PfileSearchTest, findpath_directNamesAndPermissions) {
  std::string file = write("user/direct.par", "");
  // Absolute names ignore the path list; so does a null path.
  EXPECT_EQ(found(findpath(file.c_str(), "r", "$PFILES")), file);
  EXPECT_EQ(found(findpath(file.c_str(), "r", nullptr)), file);
  EXPECT_EQ(found(findpath(path("user/none.par").c_str(), "r", "$PFILES")), "(none)");

  char old[4096];
  ASSERT_NE(getcwd(old, sizeof old), nullptr);
  ASSERT_EQ(chdir(path("user").c_str()), 0);
  setenv("PFILES", path("ref").c_str(), 1);
  EXPECT_EQ(found(findpath("./direct.par", "r", "$PFILES")), file);
  EXPECT_EQ(found(findpath("./sub/../direct.par", "r", "$PFILES")), "(none)")
      << "sub does not exist";
  // "." is the current directory, written as the bare name.
  EXPECT_EQ(found(findpath("direct.par", "r", "$PFILES .")), "direct.par");
  ASSERT_EQ(chdir(old), 0);

  ASSERT_EQ(chmod(file.c_str(), 0200), 0);
  EXPECT_EQ(found(Access(file.c_str(), "r")), "(none)");
  EXPECT_EQ(found(Access(file.c_str(), "w")), file);
  EXPECT_EQ(found(Access(file.c_str(), "x")), "(none)");
  setenv("SEARCH_TOP", dir_.c_str(), 1);
  EXPECT_EQ(found(Access("${SEARCH_TOP}/user/direct.par", "w")), file);
}

TEST(PfileExpandTest, ExpandEnv_bracesParenthesesAndUnsetNames) {
  setenv("XV", "/top", 1);
  unsetenv("XV_UNSET");
  char out[64];
  EXPECT_STREQ(ExpandEnv("${XV}/a", out, sizeof out), "/top/a");
  EXPECT_STREQ(ExpandEnv("$(XV)/a", out, sizeof out), "/top/a");
  EXPECT_STREQ(ExpandEnv("$XV/a $XV", out, sizeof out), "/top/a /top");
  EXPECT_STREQ(ExpandEnv("x${XV}y", out, sizeof out), "x/topy");
  EXPECT_STREQ(ExpandEnv("$XV_UNSET/a ${XV_UNSET}", out, sizeof out), "$XV_UNSET/a ${XV_UNSET}");
  EXPECT_STREQ(ExpandEnv("cost$", out, sizeof out), "cost$");
  char tiny[5];
  EXPECT_STREQ(ExpandEnv("$XV/abc", tiny, sizeof tiny), "/top");
}

TEST(PfileExpandTest, ResolvePath_canonicalForm) {
  char out[128];
  ResolvePath("plain.par", out, sizeof out);
  EXPECT_STREQ(out, "plain.par");
  ResolvePath("/a/./b/../c//d", out, sizeof out);
  EXPECT_STREQ(out, "/a/c/d");
  ResolvePath("/../..", out, sizeof out);
  EXPECT_STREQ(out, "/");
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  char big[4200];
  ResolvePath("x/../y", big, sizeof big);
  EXPECT_EQ(std::string(big), std::string(cwd == std::string("/") ? "" : cwd) + "/y");
  char tiny[4];
  ResolvePath("/abcdef", tiny, sizeof tiny);
  EXPECT_STREQ(tiny, "/ab");
}

TEST_F(PfileSearchTest, locatepfile_uparmTemplateAndMultipleMatches) {
  EXPECT_EQ(found(locatepfile("imred.ccdproc")), "(none)") << "UPARM unset";
  std::string uparm = path("user") + "/";
  setenv("UPARM", uparm.c_str(), 1);
  write("user/imdccdprc.par", "");
  EXPECT_EQ(found(locatepfile("imred.ccdproc")), uparm + "imdccdprc.par");
  EXPECT_EQ(found(locatepfile("imred.ccdproc.par")), uparm + "imdccdprc.par");

  // Without a package part any three characters fit; the first name wins.
  write("user/abcccdprc.par", "");
  write("user/zzzccdprc.par", "");
  testing::internal::CaptureStderr();
  EXPECT_EQ(found(locatepfile("ccdproc")), uparm + "abcccdprc.par");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "warning: multiple matches of ???ccdprc.par in dir " + uparm +
                "\n"
                "using file abcccdprc.par\n"
                "ignoring file imdccdprc.par\n"
                "ignoring file zzzccdprc.par\n");
  // The search falls back to UPARM only when the path list finds nothing.
  setenv("PFILES", path("ref").c_str(), 1);
  write("ref/imred.ccdproc.par", "");
  EXPECT_EQ(found(c_paramfind("imred.ccdproc", "r", ".par", StandardPath)),
            path("ref/imred.ccdproc.par"));
  EXPECT_EQ(found(c_paramfind("imred.ccdpro", "r", ".par", StandardPath)), "(none)");
}

TEST(PfileMatchTest, tmatch_templates) {
  struct Case {
    const char* s;
    const char* t;
    int want;
  } cases[] = {
      {"abc", "abc", 1},
      {"abc", "ab", 0},
      {"ab", "abc", 0},
      {"abc", "a?c", 1},
      {"ac", "a?c", 0},
      {"", "*", 1},
      {"abc", "*", 1},
      {"abcbd", "a*bd", 1},
      {"abcbx", "a*bd", 0},
      {"aXbXc", "*X*X*", 1},
      {"mississippi", "*ss*ppi", 1},
      {"b", "[abc]", 1},
      {"d", "[abc]", 0},
      {"m", "[a-z]", 1},
      {"M", "[a-z]", 0},
      {"5", "[0-9a-f]", 1},
      {"x", "[~a-f]", 1},
      {"c", "[~a-f]", 0},
      {"-", "[a-]", 1},
      {"a", "[abc", 0},
      {"a", "*[abc", 0},
      {"fil3.par", "fil[0-9].par", 1},
      {"ABC", "abc", 0},
      {"x.par", "*.par", 1},
      {"x.parx", "*.par", 0},
      {"aaa", "a*a*a*a", 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(tmatch(c.s, c.t), c.want) << c.s << " ~ " << c.t;
  }
  EXPECT_EQ(tmatch(nullptr, "*"), 0);
}

}  // namespace
