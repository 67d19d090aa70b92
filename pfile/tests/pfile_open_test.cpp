// Tests of opening and closing parameter files: canonical rewrite on close,
// handles of files already open, reference copies, reset, failed opens and
// the facade's sequence on a missing file.
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "pfile/pfile.h"
#include "pfile_access_helpers.h"

namespace {

const std::string CorpusPar = std::string(VARTO_CORPUS_DIR) + "/par";

class PfileOpenTest : public PfileAccessTest {};

TEST_F(PfileOpenTest, c_paramopen_rwRewritesCorpusFileCanonically) {
  std::string text = slurp(CorpusPar + "/pyraf/pyraf/tests/testpkg/simplepars.par");
  if (text.empty()) GTEST_SKIP() << "corpus file not found under " << CorpusPar;
  write("simplepars.par", text);
  ParamFile* pf = open("simplepars.par", "rw");
  ASSERT_NE(pf, nullptr);
  EXPECT_EQ(c_pgeti(pf, "intpar"), 1);
  EXPECT_DOUBLE_EQ(c_pgetd(pf, "fltpar"), 1.0);
  EXPECT_EQ(c_pgetb(pf, "boolpar"), 0);
  c_pputstr(pf, "strpar", "bar \"q\"");
  c_pputi(pf, "intpar", 7);
  c_pputb(pf, "boolpar", 1);
  c_paramclose(pf);
  // The real accessed is written as "%.16g"; the put values in their types.
  EXPECT_EQ(slurp(path("simplepars.par")),
            "strpar,s,h,\"bar \\\"q\\\"\",,,\"String parameter\"\n"
            "intpar,i,h,7,-10,10,\"Integer parameter\"\n"
            "fltpar,r,h,1,-100,100,\"Floating point parameter\"\n"
            "boolpar,b,h,yes,,,\"Boolean parameter\"\n\n");
  // Read back: the same values.
  pf = open("simplepars.par", "r");
  ASSERT_NE(pf, nullptr);
  EXPECT_EQ(get(pf, "strpar"), "bar \"q\"");
  EXPECT_EQ(c_pgeti(pf, "intpar"), 7);
  c_paramclose(pf);
}

TEST_F(PfileOpenTest, c_paramopen_readOnlyIsNeverWritten) {
  const std::string text = "x,r,h,2.50,,,\n";
  write("ro.par", text);
  ParamFile* pf = open("ro.par", "r");
  ASSERT_NE(pf, nullptr);
  EXPECT_DOUBLE_EQ(c_pgetd(pf, "x"), 2.5);
  c_pputd(pf, "x", 3.0);
  c_paramwrite(pf, "w");
  c_paramclose(pf);
  EXPECT_EQ(slurp(path("ro.par")), text);
}

TEST_F(PfileOpenTest, c_paramopen_samePathSameHandleAndForcedSecond) {
  write("t.par", "a,i,h,1,,,\n");
  ParamFile* first = open("t.par", "r");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(open("t.par", "r"), first);
  EXPECT_EQ(ParamFileLookup(first->psets->filename), first);
  EXPECT_EQ(ParamFileLookup(""), first);
  EXPECT_EQ(ParamFileLookup(nullptr), nullptr);

  ParamFile* second = open("t.par", "rf");
  ASSERT_NE(second, nullptr);
  EXPECT_NE(second, first);
  c_pputi(second, "a", 5);
  EXPECT_EQ(c_pgeti(first, "a"), 1);  // independent records
  EXPECT_EQ(PFList, second);
  c_paramclose(second);
  EXPECT_EQ(PFList, first);
  c_paramclose(first);
  EXPECT_EQ(PFList, nullptr);
}

TEST_F(PfileOpenTest, c_paramopen_findsNameAlongPathWithExtension) {
  std::string user = path("user");
  ASSERT_EQ(mkdir(user.c_str(), 0755), 0);
  write("user/task.par", "a,s,h,\"u\",,,\n");
  setenv("PFILES", user.c_str(), 1);
  ParamFile* pf = c_paramopen("task", nullptr, 0, "r");
  ASSERT_NE(pf, nullptr);
  EXPECT_EQ(get(pf, "a"), "u");
  EXPECT_STREQ(pfilelast(), "task");
  EXPECT_EQ(std::string(pf->psets->filename), user + "/task.par");
  c_paramclose(pf);
}

TEST_F(PfileOpenTest, c_paramopen_referenceCopiedIntoFirstWritableUserDir) {
  std::string user = path("user"), ref = path("ref");
  ASSERT_EQ(mkdir(user.c_str(), 0755), 0);
  ASSERT_EQ(mkdir(ref.c_str(), 0755), 0);
  write("ref/task.par", "# reference\na,r,h,1.50,,,\"A\"\n");
  setenv("PFILES", (user + ";" + ref).c_str(), 1);

  ParamFile* pf = c_paramopen("task", nullptr, 0, "rw");
  ASSERT_NE(pf, nullptr);
  EXPECT_EQ(std::string(pf->psets->filename), user + "/task.par");
  // The copy is made at once, before anything was accessed.
  EXPECT_EQ(slurp(user + "/task.par"), "# reference\na,r,h,1.50,,,\"A\"\n");
  c_pputd(pf, "a", 2.25);
  c_paramclose(pf);
  EXPECT_EQ(slurp(user + "/task.par"), "# reference\na,r,h,2.25,,,\"A\"\n");
  EXPECT_EQ(slurp(ref + "/task.par"), "# reference\na,r,h,1.50,,,\"A\"\n");

  // Now the user copy is found first.
  pf = c_paramopen("task", nullptr, 0, "r");
  ASSERT_NE(pf, nullptr);
  EXPECT_DOUBLE_EQ(c_pgetd(pf, "a"), 2.25);
  c_paramclose(pf);

  // A write-back replaces the file whole: through a link the file it names is
  // replaced and keeps its permissions, and no scratch file is left behind.
  ASSERT_EQ(chmod((user + "/task.par").c_str(), 0640), 0);
  ASSERT_EQ(symlink((user + "/task.par").c_str(), path("link.par").c_str()), 0);
  pf = open("link.par", "rw");
  ASSERT_NE(pf, nullptr);
  c_pputd(pf, "a", 3.5);
  c_paramclose(pf);
  struct stat st {};
  ASSERT_EQ(lstat(path("link.par").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  ASSERT_EQ(stat((user + "/task.par").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(slurp(user + "/task.par"), "# reference\na,r,h,3.5,,,\"A\"\n");
  int entries = 0;
  for (const auto& e : std::filesystem::directory_iterator(user))
    entries += e.is_regular_file() ? 1 : 0;
  EXPECT_EQ(entries, 1);
}

TEST_F(PfileOpenTest, c_paramopen_referenceNotCopiedIntoReadOnlyUserDirOrCwd) {
  std::string user = path("user"), ref = path("ref");
  ASSERT_EQ(mkdir(user.c_str(), 0555), 0);
  ASSERT_EQ(mkdir(ref.c_str(), 0755), 0);
  write("ref/task.par", "a,i,h,1,,,\n");
  setenv("PFILES", (user + ";" + ref).c_str(), 1);
  EXPECT_EQ(c_paramopen("task", nullptr, 0, "rw"), nullptr);
  EXPECT_EQ(parerr, PARAM_REFERENCE_COPY_FAILED);
  ASSERT_EQ(chmod(user.c_str(), 0755), 0);

  // Only the current directory in the user part: read from the reference, no copy.
  setenv("PFILES", (";" + ref).c_str(), 1);
  ASSERT_EQ(chdir(dir_.c_str()), 0);
  ParamFile* pf = c_paramopen("task", nullptr, 0, "rw");
  ASSERT_NE(pf, nullptr);
  EXPECT_STREQ(pf->psets->mode, "r");
  c_pputi(pf, "a", 2);
  c_paramclose(pf);
  EXPECT_EQ(slurp(ref + "/task.par"), "a,i,h,1,,,\n");
  EXPECT_FALSE(std::ifstream(path("task.par")).good());
}

TEST_F(PfileOpenTest, c_paramopen_resetTakesReferenceIntoUserFile) {
  std::string user = path("user"), ref = path("ref");
  ASSERT_EQ(mkdir(user.c_str(), 0755), 0);
  ASSERT_EQ(mkdir(ref.c_str(), 0755), 0);
  write("user/task.par", "a,i,h,9,,,\nold,s,h,x,,,\n");
  write("ref/task.par", "a,i,h,1,,,\n");
  setenv("PFILES", (user + ";" + ref).c_str(), 1);

  ParamFile* pf = c_paramopen("task", nullptr, 0, "rR");
  ASSERT_NE(pf, nullptr);
  EXPECT_EQ(c_pgeti(pf, "a"), 1);
  EXPECT_EQ(c_paccess(pf, "old"), 0);
  c_paramclose(pf);
  EXPECT_EQ(slurp(user + "/task.par"), "a,i,h,1,,,\n");

  // Reset without a reference copy fails.
  unsetenv("PFILES");
  write("lone.par", "a,i,h,1,,,\n");
  ASSERT_EQ(chdir(dir_.c_str()), 0);
  EXPECT_EQ(c_paramopen("lone", nullptr, 0, "rR"), nullptr);
  EXPECT_EQ(parerr, PARAM_NO_REFERENCE);
}

TEST_F(PfileOpenTest, c_paramopen_failuresAndFacadeSequenceOnMissingFile) {
  ASSERT_EQ(chdir(dir_.c_str()), 0);
  // Only the current directory is searched, so the file is not found.
  ParamFile* pf = c_paramopen("nothere", nullptr, 0, "r");
  EXPECT_EQ(pf, nullptr);
  EXPECT_EQ(parerr, PARAM_FILE_NOT_FOUND);
  ParamMatchList* ml = pmatchopen(pf, "*");
  EXPECT_EQ(ml, nullptr);
  EXPECT_EQ(pmatchnext(ml), nullptr);
  EXPECT_EQ(pmatchlength(ml), 0);
  pmatchclose(ml);
  c_paramclose(pf);

  // A file that does not parse is an error reading it.
  write("bad.par", "a,i,h\n");
  testing::internal::CaptureStderr();
  EXPECT_EQ(c_paramopen("bad", nullptr, 0, "r"), nullptr);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(parerr, PARAM_FILE_READ_ERROR);

  // No name and no argument vector.
  EXPECT_EQ(c_paramopen("", nullptr, 0, "r"), nullptr);
  EXPECT_EQ(parerr, PARAM_FILE_NOT_FOUND);
}

TEST_F(PfileOpenTest, c_paramopen_nameFromArgumentVectorAndCommandLineValues) {
  ASSERT_EQ(chdir(dir_.c_str()), 0);
  write("mytask.par", "a,i,h,1,,,\nb,s,a,\"x\",,,\nmode,s,h,\"hl\",,,\n");
  char prog[] = "/usr/bin/mytask";
  char arg1[] = "b=given";
  char arg2[] = "a=4";
  char* argv[] = {prog, arg1, arg2};
  ParamFile* pf = c_paramopen(nullptr, argv, 3, "rw");
  ASSERT_NE(pf, nullptr);
  EXPECT_EQ(pf->mode, HiddenMode | LearnMode);
  EXPECT_EQ(get(pf, "b"), "given");
  EXPECT_EQ(c_pgeti(pf, "a"), 4);
  c_paramclose(pf);
  // b is auto in a hidden task: learned. a is hidden: not learned.
  EXPECT_EQ(slurp(path("mytask.par")), "a,i,h,1,,,\nb,s,a,\"given\",,,\nmode,s,h,\"hl\",,,\n");

  // "@@name" names the file and is not an argument.
  write("other.par", "a,i,h,3,,,\n");
  char at[] = "@@dir/other";
  char* argv2[] = {prog, at};
  pf = c_paramopen(nullptr, argv2, 2, "rf");
  ASSERT_NE(pf, nullptr);
  EXPECT_EQ(c_pgeti(pf, "a"), 3);
  EXPECT_EQ(pf->alist, nullptr);
  c_paramclose(pf);
}

TEST_F(PfileOpenTest, ParamFileMode_autoParametersFollowTaskMode) {
  write("t.par", "a,i,a,1,,,\n");
  ParamFile* pf = open("t.par", "r");
  ASSERT_NE(pf, nullptr);
  EXPECT_EQ(pf->mode, 0);  // no "mode" parameter
  c_paramclose(pf);
  write("u.par", "a,i,a,1,,,\nmode,s,h,\"xyz\",,,\n");
  pf = open("u.par", "rH");
  ASSERT_NE(pf, nullptr);
  EXPECT_EQ(pf->mode, NoQueryMode);  // no mode letter: 0, plus the no-query flag
  EXPECT_EQ(parerr, PARAM_OK);
  c_paramclose(pf);
}

TEST_F(PfileOpenTest, c_paramopen_rdbFileThroughSecondFormat) {
  ASSERT_EQ(chdir(dir_.c_str()), 0);
  write("tab.rdb", "name\ttype\tmode\tvalue\n----\t----\t----\t-----\nx\tr\th\t2.50\n");
  ParamFile* pf = c_paramopen("tab", nullptr, 0, "rw");
  ASSERT_NE(pf, nullptr);
  EXPECT_DOUBLE_EQ(c_pgetd(pf, "x"), 2.5);
  c_paramclose(pf);
  EXPECT_NE(slurp(path("tab.rdb")).find("x\tr\th\t2.5\t"), std::string::npos);
}

using PfileOpenDeathTest = PfileOpenTest;

TEST_F(PfileOpenDeathTest, c_pgeti_failedValidationWithoutQueryExits) {
  write("t.par", "n,i,h,11,INDEF,10,\"N\"\n");
  EXPECT_EXIT(
      {
        ParamFile* pf = open("t.par", "rH");
        c_pgeti(pf, "n");
      },
      testing::ExitedWithCode(1), "pgetX: parameter above maximum : n");
}

}  // namespace
