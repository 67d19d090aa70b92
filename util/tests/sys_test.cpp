// Tests of the system services: environment, files of one's own, command lines
// and time stamps.
#include <sys/stat.h>
#include <sys/wait.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>

#include "util_test_helpers.h"

namespace {

class SysTest : public UtilTest {};

TEST_F(SysTest, SysGetenv_unsetAndCut) {
  char buf[8] = "junk";
  sys_getenv("UTIL_TEST_SURELY_UNSET", buf, sizeof buf);
  EXPECT_STREQ(buf, "");
  ::setenv("UTIL_TEST_LONG", "0123456789", 1);
  sys_getenv("UTIL_TEST_LONG", buf, sizeof buf);
  EXPECT_STREQ(buf, "0123456");
  ::unsetenv("UTIL_TEST_LONG");
}

TEST_F(SysTest, SysCmdline_joinsAndCuts) {
  char a0[] = "prog", a1[] = "x=1  ", a2[] = "verbose";
  char* args[] = {a0, a1, a2};
  char buf[32];
  sys_cmdline(args, 3, buf, sizeof buf);
  EXPECT_STREQ(buf, "x=1 verbose ");
  char small[6];
  sys_cmdline(args, 3, small, sizeof small);
  EXPECT_STREQ(small, "x=1 v");
  sys_cmdline(args, 1, buf, sizeof buf);
  EXPECT_STREQ(buf, "");
}

TEST_F(SysTest, TimeStamps_formats) {
  char date[32], time[32], zone[32], buf[64];
  date_and_time(date, time, zone);
  EXPECT_EQ(std::strlen(date), 8u);
  EXPECT_EQ(std::strlen(time), 10u);
  EXPECT_STREQ(time + 6, ".000");
  sys_time(buf, sizeof buf);
  EXPECT_EQ(std::strlen(buf), 8u);
  sys_date(buf, sizeof buf);
  EXPECT_EQ(std::strlen(buf), 8u);
  EXPECT_EQ(buf[2], '/');
  sys_today(buf, sizeof buf);
  EXPECT_EQ(std::strlen(buf), 20u);
  rirade_id(buf, sizeof buf, "varto");
  EXPECT_NE(std::strstr(buf, " (varto)"), nullptr);
  char tiny[4];
  sys_today(tiny, sizeof tiny);  // too small: empty, never overrun
  EXPECT_STREQ(tiny, "");
}

TEST_F(SysTest, SysStamp_fields) {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&now, &tm);
  double stamp = sys_stamp();
  double day = tm.tm_mday + 100.0 * tm.tm_mon + 10000.0 * tm.tm_year;
  EXPECT_NEAR(std::floor(stamp), day, 1.0);  // allow a midnight tick between the two calls
  double frac = stamp - std::floor(stamp);
  EXPECT_GE(frac, 0.0);
  EXPECT_LT(frac, 0.24);  // hhmmss / 1e6 is at most 0.235959
}

TEST_F(SysTest, Sys_runsShellCommands) {
  std::string p = write_file("cat.txt", "catted\n");
  Captured c = capture([&] {
    EXPECT_EQ(sys("true"), 0);
    EXPECT_NE(sys("exit 3"), 0);
    EXPECT_EQ(sys_type(p.c_str()), 0);
    EXPECT_EQ(sys_type("  "), -1);  // never a bare cat waiting on standard input
  });
  EXPECT_EQ(c.out, "catted\n");
}

// The letters of the names tried, in turn: "AAAAAA", "BBBBBB", ... (or always
// "AAAAAA" while g_same_letters is set).
int g_letter_calls = 0;
bool g_same_letters = false;
void fixed_letters(char* out, std::size_t n) {
  const char c = static_cast<char>('A' + (g_same_letters ? 0 : g_letter_calls++));
  for (std::size_t k = 0; k < n; ++k) out[k] = c;
}

class OwnFileTest : public SysTest {
 protected:
  void SetUp() override {
    SysTest::SetUp();
    util_int::own_letters = fixed_letters;
    g_letter_calls = 0;
    g_same_letters = false;
  }
  void TearDown() override {
    util_int::own_letters = saved_;
    SysTest::TearDown();
  }
  util_int::OwnLetters saved_ = util_int::own_letters;
};

TEST_F(OwnFileTest, PlantedLinksAndFiles_neverReceiveTheFile) {
  namespace fs = std::filesystem;
  const std::string target = path("out.fits");
  const std::string victim = path("victim");
  write_file("kept", "kept");
  fs::create_symlink(victim, path(".out.fits.AAAAAA"));  // dangling, at the first name tried
  write_file(".out.fits.BBBBBB", "planted");             // a file at the second
  fs::create_symlink(path("kept"), target);              // the target itself a link

  char name[256];
  ASSERT_EQ(sys_own_file(target.c_str(), name, sizeof name), 0) << std::strerror(errno);
  EXPECT_EQ(std::string(name), path(".out.fits.CCCCCC/out.fits"));
  struct stat st {};
  ASSERT_EQ(::lstat(path(".out.fits.CCCCCC").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 077, 0u);
  write_file(".out.fits.CCCCCC/out.fits", "table");
  ASSERT_EQ(sys_own_file_commit(name, target.c_str()), 0);
  // The link at the target is replaced, not followed; the folder is gone.
  EXPECT_FALSE(fs::is_symlink(target));
  EXPECT_EQ(read_file(target), "table");
  EXPECT_EQ(read_file(path("kept")), "kept");
  EXPECT_FALSE(fs::exists(path(".out.fits.CCCCCC")));

  // Every name taken: no file, a clear errno, and still nothing through the link.
  g_same_letters = true;
  EXPECT_EQ(sys_own_file(target.c_str(), name, sizeof name), -1);
  EXPECT_EQ(errno, EEXIST);
  EXPECT_FALSE(fs::exists(victim));
  EXPECT_EQ(read_file(path(".out.fits.BBBBBB")), "planted");
  // A name that does not fit, and a folder that is not there.
  EXPECT_EQ(sys_own_file(target.c_str(), name, 10), -1);
  EXPECT_EQ(errno, ENAMETOOLONG);
  g_same_letters = false;
  EXPECT_EQ(sys_own_file(path("none/out.fits").c_str(), name, sizeof name), -1);
  EXPECT_EQ(errno, ENOENT);
}

TEST_F(OwnFileTest, StoppedBySignal_leavesNothingBehind) {
  const std::string target = path("gain.time");
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    sys_own_file_catch_signals();
    char name[256];
    if (sys_own_file(target.c_str(), name, sizeof name) != 0) ::_exit(3);
    std::ofstream(name) << "half written";
    ::raise(SIGTERM);
    ::_exit(4);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status)) << status;
  EXPECT_EQ(WTERMSIG(status), SIGTERM);
  EXPECT_TRUE(std::filesystem::is_empty(dir_));
}

}  // namespace
