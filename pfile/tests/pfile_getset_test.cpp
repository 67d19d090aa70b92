// Tests of getting and setting: bounded string copies, field suffixes, match
// lists, the listing, and queries on a terminal driven through a
// pseudo-terminal.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "pfile/pfile.h"
#include "pfile_access_helpers.h"
#include "pty_helpers.h"

namespace {

class PfileGetSetTest : public PfileAccessTest {};

TEST_F(PfileGetSetTest, c_pgetstr_boundedCopy) {
  write("s.par", "s,s,h,\"abcdef\",,,\nt,s,h,\"a\\tb\",,,\n");
  ParamFile* pf = open("s.par", "rH");
  ASSERT_NE(pf, nullptr);
  char buf[12];
  std::memset(buf, '#', sizeof buf);
  ASSERT_EQ(c_pgetstr(pf, "s", buf, 10), buf);
  EXPECT_STREQ(buf, "abcdef");
  for (int i = 6; i < 10; ++i) EXPECT_EQ(buf[i], '\0') << i;  // zero-padded
  EXPECT_EQ(buf[10], '#');                                    // nothing past max

  std::memset(buf, '#', sizeof buf);
  ASSERT_EQ(c_pgetstr(pf, "s", buf, 6), buf);
  EXPECT_EQ(std::string(buf, 7), "abcdef#");  // exactly max characters: no terminator
  std::memset(buf, '#', sizeof buf);
  ASSERT_EQ(c_pgetstr(pf, "s", buf, 3), buf);
  EXPECT_EQ(std::string(buf, 4), "abc#");

  // The value escapes come back as the characters they stand for.
  char t[8];
  ASSERT_EQ(c_pgetstr(pf, "t", t, sizeof t), t);
  EXPECT_STREQ(t, "a\tb");
}

TEST_F(PfileGetSetTest, ParamGetX_fieldsAndShortAndFloat) {
  write("f.par", "n,i,hl,INDEF,,,\"Count\"\nr,r,h,INDEF,,,\n");
  ParamFile* pf = open("f.par", "rH");
  ASSERT_NE(pf, nullptr);
  EXPECT_EQ(c_pgets(pf, "n"), -32767);
  EXPECT_EQ(c_pgetf(pf, "r"), static_cast<float>(IndefReal));
  EXPECT_EQ(getx(pf, "n.p_mode"), "hl");
  EXPECT_EQ(getx(pf, "n.p_prompt"), "Count");
  EXPECT_EQ(getx(pf, "n.p_value"), "INDEF");
  EXPECT_EQ(getx(pf, "n.p_min"), "");
  EXPECT_EQ(getx(pf, "n.bogus"), failed(PARAM_BAD_SUBFIELD));
  EXPECT_EQ(getx(pf, "nosuch"), failed(PARAM_OK));
  c_pputs(pf, "n", -32767);
  EXPECT_EQ(c_pgeti(pf, "n"), IndefInt);
  c_pputf(pf, "r", 0.5f);
  EXPECT_DOUBLE_EQ(c_pgetd(pf, "r"), 0.5);
  c_pputstr(pf, "n.p_prompt", "New");
  EXPECT_EQ(getx(pf, "n.p_prompt"), "New");
  c_pputstr(pf, "n.p_max", "9");
  set_paramerror(0);
  testing::internal::CaptureStderr();
  c_pputi(pf, "n", 10);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "psetX: parameter above maximum : n\n");
  set_paramerror(1);
  EXPECT_EQ(c_paccess(pf, "n.p_min"), 1);
  EXPECT_EQ(c_paccess(pf, "m"), 0);
  char res[4];
  EXPECT_STREQ(ParamResolve(pf, "r", res, sizeof res), "0.5");
  EXPECT_STREQ(ParamResolve(pf, "zz", res, sizeof res), "");
}

TEST_F(PfileGetSetTest, pmatch_listsNamesInFileOrder) {
  write("m.par", "# head\nalpha,s,h,a,,,\n\nbeta,s,h,b,,,\nalso,s,h,c,,,\n");
  ParamFile* pf = open("m.par", "r");
  ASSERT_NE(pf, nullptr);
  ParamMatchList* all = pmatchopen(pf, "*");
  ASSERT_NE(all, nullptr);
  EXPECT_EQ(pmatchlength(all), 3);
  EXPECT_STREQ(pmatchnext(all), "alpha");
  EXPECT_STREQ(pmatchnext(all), "beta");
  EXPECT_STREQ(pmatchnext(all), "also");
  EXPECT_EQ(pmatchnext(all), nullptr);
  pmatchrewind(all);
  EXPECT_STREQ(pmatchnext(all), "alpha");
  pmatchclose(all);
  ParamMatchList* some = pmatchopen(pf, "al*");
  EXPECT_EQ(pmatchlength(some), 2);
  pmatchclose(some);
  EXPECT_EQ(ParamLookup(pf->psets, ""), nullptr);  // blank lines are not parameters
  EXPECT_EQ(ParamLookup(pf->psets, "#"), nullptr);
}

TEST_F(PfileGetSetTest, c_paramlist_visibleThenHiddenWithComments) {
  write("l.par",
        "# about a\na,i,a,1,,,\"A value\"\n# about h\nh,s,h,x,,,\n"
        "# about r\nr,i,h,)a,,,\"Ref\"\n");
  ParamFile* pf = open("l.par", "r");
  ASSERT_NE(pf, nullptr);
  testing::internal::CaptureStdout();
  c_paramlist(pf);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "\nParameters for " + path("l.par") +
                     "\n\n"
                     "# about a\n"
                     "             a = 1                A value\n"
                     "# about h\n"
                     "            (h = x)               \n"
                     "# about r\n"
                     "            (r = )a -> 1)         Ref\n"
                     "\n");
}

// ---- queries on a terminal -------------------------------------------------

// Runs a get of name in a child on a pseudo-terminal, typing keys after the
// prompt, and reports the value got.
pty_test::PtyRun query(const std::string& file, const char* name, const std::string& prompt,
                       const std::string& keys) {
  return pty_test::runOnPty(
      [&](int fd) {
        ParamFile* pf = c_paramopen(file.c_str(), nullptr, 0, "r");
        char buf[256] = {};
        if (c_pgetstr(pf, name, buf, 255) != nullptr)
          pty_test::writeReport(fd, "[" + std::string(buf) + "]");
      },
      {{prompt, keys}});
}

TEST_F(PfileGetSetTest, PQueryUser_promptLayoutAndAnswer) {
  std::string file = write("q.par", "n,i,q,5,1,10,\"Number of bins\"\n");
  pty_test::PtyRun run = query(file, "n", "Number of bins (1:10) (5): ", "7\r");
  ASSERT_FALSE(run.timedOut) << run.screen;
  EXPECT_EQ(run.report, "[7]") << run.screen;
}

TEST_F(PfileGetSetTest, PQueryUser_emptyAnswerKeepsValue) {
  std::string file = write("q.par", "name,s,q,\"abc\",,,\n");
  pty_test::PtyRun run = query(file, "name", "name (abc): ", "\r");
  ASSERT_FALSE(run.timedOut) << run.screen;
  EXPECT_EQ(run.report, "[abc]") << run.screen;
  // Two double quotes stand for the empty value.
  run = query(file, "name", "name (abc): ", "\"\"\r");
  ASSERT_FALSE(run.timedOut) << run.screen;
  EXPECT_EQ(run.report, "[]") << run.screen;
}

TEST_F(PfileGetSetTest, PQueryUser_invalidValueAskedAgainWithError) {
  std::string file = write("q.par", "n,i,h,11,1,10,\"N\"\nm,i,a,)n,,,\"M\"\nmode,s,h,q,,,\n");
  // The first answer is out of range too: asked again with the error, then 3 is taken.
  pty_test::PtyRun run = pty_test::runOnPty(
      [&](int fd) {
        ParamFile* pf = c_paramopen(file.c_str(), nullptr, 0, "r");
        char buf[256] = {};
        if (c_pgetstr(pf, "n", buf, 255) != nullptr)
          pty_test::writeReport(fd, "[" + std::string(buf) + "]");
      },
      {{"N (1:10) (11): ", "12\r"}, {"N (1:10) (12): ", "3\r"}});
  ASSERT_FALSE(run.timedOut) << run.screen;
  EXPECT_EQ(run.report, "[3]") << run.screen;
  EXPECT_NE(run.screen.find("pquery: parameter above maximum : n"), std::string::npos)
      << run.screen;

  // An auto parameter of a query-mode task is asked; its indirect value is shown
  // as the reference and what it gives.
  write("q.par", "n,i,h,4,1,10,\"N\"\nm,i,a,)n,,,\"M\"\nmode,s,h,q,,,\n");
  run = query(file, "m", "M)n -> 4): ", "\r");
  ASSERT_FALSE(run.timedOut) << run.screen;
  EXPECT_EQ(run.report, "[4]") << run.screen;
}

}  // namespace
