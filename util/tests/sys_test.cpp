// Tests of the system services: environment, command lines and time stamps.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>

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

}  // namespace
