// Tests of command-line argument vectors against a real IRAF-syntax file.
#include "param_args.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "pfile_test_helpers.h"

namespace {

const char* const kTaskFile =
    "# varto-like task\n"
    "infile,f,a,\"bas.fits\",,,\"Event file\"\n"
    "outfile,f,a,\"out.fits\",,,\"Output file\"\n"
    "verbose,i,h,0,,,\"Verbosity\"\n"
    "xpos,r,a,4096,,,\"Source x\"\n"
    "xbin,r,q,1,,,\"Bin size\"\n"
    "clobber,b,h,no,,,\"Overwrite?\"\n"
    "mode,s,h,\"ql\",,,\n";

class ParamArgsTest : public TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    task_.list = IRAFParOpen(write("task.par", kTaskFile).c_str(), "r");
    ASSERT_NE(task_.list, nullptr);
    ASSERT_NE(task_.list, ParamFileCant);
  }

  // Parses "task" followed by words.
  ParamList* parse(std::vector<std::string> words) {
    words.insert(words.begin(), "task");
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    return ParamFileArgs(task_.list, argv.data(), static_cast<int>(argv.size()));
  }

  static const char* value(const Parameter* p) { return static_cast<const char*>(p->pvalue.value); }

  ListKeeper task_;
};

TEST_F(ParamArgsTest, ParamFileArgs_positionalValuesFillVisibleParameters) {
  ListKeeper args{parse({"a.fits", "b.fits", "12.5"})};
  ASSERT_NE(args.list, nullptr);
  ASSERT_EQ(args.list->nparam, 3);
  const char* names[] = {"infile", "outfile", "xpos"};
  const int types[] = {FileType, FileType, RealType};
  const char* values[] = {"a.fits", "b.fits", "12.5"};
  for (int i = 0; i < 3; ++i) {
    const Parameter* p = args.list->param[i];
    EXPECT_STREQ(p->pname, names[i]);
    EXPECT_EQ(p->ptype, types[i]);
    EXPECT_EQ(p->pmode, 0);
    EXPECT_EQ(p->pvalue.type, StringType);
    EXPECT_STREQ(value(p), values[i]);
  }
}

TEST_F(ParamArgsTest, ParamFileArgs_namedValuesAndModes) {
  ListKeeper args{
      parse({"xpos=12", "outfile=", "clobber+", "verbose-", "infile=\"\"", "xbin=a b=c"})};
  ASSERT_NE(args.list, nullptr);
  ASSERT_EQ(args.list->nparam, 6);
  struct Expect {
    const char* name;
    int mode;
    const char* value;
  };
  const Expect expect[] = {{"xpos", LearnMode, "12"},     {"outfile", QueryMode, ""},
                           {"clobber", LearnMode, "yes"}, {"verbose", LearnMode, "no"},
                           {"infile", LearnMode, ""},     {"xbin", LearnMode, "a b=c"}};
  for (int i = 0; i < 6; ++i) {
    const Parameter* p = args.list->param[i];
    SCOPED_TRACE(expect[i].name);
    EXPECT_STREQ(p->pname, expect[i].name);
    EXPECT_EQ(p->ptype, StringType);
    EXPECT_EQ(p->pmode, expect[i].mode);
    EXPECT_STREQ(value(p), expect[i].value);
  }
}

TEST_F(ParamArgsTest, ParamFileArgs_laterWordForTheSameParameterWins) {
  ListKeeper args{parse({"first.fits", "xpos=1", "infile=second.fits", "xpos=2"})};
  ASSERT_NE(args.list, nullptr);
  ASSERT_EQ(args.list->nparam, 2);
  EXPECT_STREQ(args.list->param[0]->pname, "infile");
  EXPECT_STREQ(value(args.list->param[0]), "second.fits");
  EXPECT_STREQ(value(args.list->param[1]), "2");
}

TEST_F(ParamArgsTest, ParamFileArgs_positionalAfterNamedIsRefused) {
  testing::internal::CaptureStderr();
  ParamList* args = parse({"a.fits", "xpos=3", "b.fits"});
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Sorry, Arguments not ok, try again.\n");
  EXPECT_EQ(args, nullptr);

  // A switch does not close the positional part; only "=" does.
  ListKeeper ok{parse({"clobber+", "a.fits"})};
  ASSERT_NE(ok.list, nullptr);
  EXPECT_EQ(ok.list->nparam, 2);
}

TEST_F(ParamArgsTest, ParamFileArgs_ambiguousOrUnknownNamesAreDropped) {
  testing::internal::CaptureStderr();
  ListKeeper args{parse({"x=1", "xb=2", "zz=3"})};
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err,
            "parammatch : parameter name x not uniq (xpos, xbin)\n"
            "parammatch : can't find parameter zz in reference list\n");
  EXPECT_EQ(parerr, PARAM_NOT_UNIQUE);
  ASSERT_NE(args.list, nullptr);
  ASSERT_EQ(args.list->nparam, 1);
  EXPECT_STREQ(args.list->param[0]->pname, "xbin");
}

TEST_F(ParamArgsTest, ParamFileArgs_tooManyPositionalValues) {
  ListKeeper args{parse({"1", "2", "3", "4", "5", "6"})};
  EXPECT_EQ(parerr, PARAM_TOO_MANY_POSITIONAL);
  ASSERT_NE(args.list, nullptr);
  ASSERT_EQ(args.list->nparam, 4);
  EXPECT_STREQ(args.list->param[3]->pname, "xbin");
  EXPECT_STREQ(value(args.list->param[3]), "4");
}

TEST_F(ParamArgsTest, c_paramopen_refusedVectorStillOpensTheFile) {
  std::string p = path("task.par");
  char w0[] = "task", w1[] = "a.fits", w2[] = "xpos=3", w3[] = "b.fits";
  char* argv[] = {w0, w1, w2, w3};
  testing::internal::CaptureStderr();
  ParamFile* f = c_paramopen(p.c_str(), argv, 4, "rH");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Sorry, Arguments not ok, try again.\n");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->alist, nullptr);
  char buf[64] = {};
  EXPECT_STREQ(c_pgetstr(f, "infile", buf, sizeof buf - 1), "bas.fits");
  EXPECT_EQ(c_pgetd(f, "xpos"), 4096.0);
  c_paramclose(f);
}

TEST_F(ParamArgsTest, c_paramopen_argumentsWinOverStoredValues) {
  std::string p = path("task.par");
  char w0[] = "task", w1[] = "a.fits", w2[] = "xb=2.5", w3[] = "clobber+";
  char* argv[] = {w0, w1, w2, w3};
  ParamFile* f = c_paramopen(p.c_str(), argv, 4, "rH");
  ASSERT_NE(f, nullptr);
  ASSERT_NE(f->alist, nullptr);
  char buf[64] = {};
  EXPECT_STREQ(c_pgetstr(f, "infile", buf, sizeof buf - 1), "a.fits");
  EXPECT_EQ(c_pgetd(f, "xbin"), 2.5);
  EXPECT_EQ(c_pgetb(f, "clobber"), 1);
  c_paramclose(f);
}

TEST_F(ParamArgsTest, ParamFileArgs_nothingToParse) {
  EXPECT_EQ(ParamFileArgs(task_.list, nullptr, 3), nullptr);
  char name[] = "task";
  char* argv[] = {name};
  EXPECT_EQ(ParamFileArgs(task_.list, argv, 1), nullptr);
}

TEST_F(ParamArgsTest, ParamMatch_fieldSuffixes) {
  struct Case {
    const char* arg;
    const char* expect;
  };
  const Case cases[] = {
      {"xpos.p_min", "xpos.p_min"},  // exact name: kept as given
      {"xpos", "xpos"},
      {"xb.p_prompt", "xbin.p_prompt"},  // abbreviation: full name, field kept
      {"out", "outfile"},
      {"mode", "mode"},  // hidden parameters match by name too
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arg);
    char* got = ParamMatch(task_.list, c.arg);
    ASSERT_NE(got, nullptr);
    EXPECT_STREQ(got, c.expect);
    std::free(got);
  }
  testing::internal::CaptureStderr();
  EXPECT_EQ(ParamMatch(task_.list, "xpos.bad"), nullptr);
  EXPECT_EQ(ParamMatch(nullptr, "xpos"), nullptr);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(ParamMatch(task_.list, nullptr), nullptr);
}

TEST_F(ParamArgsTest, ParamPositional_skipsCommentsAndHidden) {
  Parameter* p = ParamPositional(task_.list, 3, "7");
  ASSERT_NE(p, nullptr);
  EXPECT_STREQ(p->pname, "xpos");
  EXPECT_EQ(p->pmode, 0);
  ParamFree(p);
  EXPECT_EQ(ParamPositional(task_.list, 0, "x"), nullptr);
  EXPECT_EQ(parerr, PARAM_TOO_MANY_POSITIONAL);
  parerr = PARAM_OK;
  EXPECT_EQ(ParamPositional(task_.list, 5, "x"), nullptr);
  EXPECT_EQ(parerr, PARAM_TOO_MANY_POSITIONAL);
}

}  // namespace
