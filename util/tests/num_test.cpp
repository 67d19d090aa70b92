// Tests of number reading and writing and of the null and infinity values:
// their bit patterns, the short number form, and the messages for bad text.
#include <cstring>
#include <string>

#include "util_test_helpers.h"

namespace {

class NumTest : public UtilTest {};

std::string wd(double v, int n = 31) {
  char buf[32] = "unchanged";
  write_d(v, buf, n);
  return buf;
}

template <typename T, typename B>
B bits_of(T v) {
  B b;
  static_assert(sizeof b == sizeof v);
  std::memcpy(&b, &v, sizeof b);
  return b;
}

TEST_F(NumTest, NanInit_bitPatterns) {
  EXPECT_EQ(nan_s(), -32768);
  EXPECT_EQ(infinity_s(1), -32767);
  EXPECT_EQ(infinity_s(-1), -32766);
  EXPECT_EQ(nan_i(), 2147483647);
  EXPECT_EQ(infinity_i(1), 2139095040);
  EXPECT_EQ(infinity_i(-1), -8388608);
  EXPECT_EQ((bits_of<float, uint32_t>(nan_r())), 0x77FFFFFFu);
  EXPECT_EQ((bits_of<float, uint32_t>(infinity_r(1))), 0x7EFFFFFFu);
  EXPECT_EQ((bits_of<float, uint32_t>(infinity_r(-1))), 0xFEFFFFFFu);
  EXPECT_EQ((bits_of<double, uint64_t>(nan_d())), 0x77FFFFFFFFFFFFFFull);
  EXPECT_EQ((bits_of<double, uint64_t>(infinity_d(1))), 0x7EFFFFFFFFFFFFFFull);
  EXPECT_EQ((bits_of<double, uint64_t>(infinity_d(-1))), 0xFEFFFFFFFFFFFFFFull);
  EXPECT_NEAR(nan_r(), 1.0385e34f, 1e30f);
  EXPECT_TRUE(qnan_r(nan_r()));
  EXPECT_TRUE(qinf_i(-8388608));
  EXPECT_FALSE(qinf_i(0));
  EXPECT_TRUE(qinf_d(infinity_d(-1)));
  EXPECT_FALSE(qnan_d(1.0));
}

TEST_F(NumTest, ReadBinary_basesAndBadDigits) {
  EXPECT_EQ(read_binary_i("101  ", 'B'), 5);
  EXPECT_EQ(read_binary_i("777", 'O'), 511);
  EXPECT_EQ(read_binary_i("ff", 'Z'), 255);
  EXPECT_EQ(read_binary_s("FFFF", 'Z'), -1);
  Captured c = capture([] { EXPECT_EQ(read_binary_i("12", 'B'), 0); });
  EXPECT_EQ(c.err, "READ_BINARY error 12\n");
}

TEST_F(NumTest, ReadD_blankNullAndGood) {
  Captured c = capture([] {
    EXPECT_EQ(read_d(""), 0.0);
    EXPECT_EQ(read_d("   "), 0.0);
    EXPECT_EQ(read_d("NaN"), nan_d());
    EXPECT_EQ(read_d("-  "), nan_d());
    EXPECT_EQ(read_d("NA"), nan_d());
    EXPECT_DOUBLE_EQ(read_d(" 1.5e3  "), 1500.0);
    EXPECT_FLOAT_EQ(read_r("2.25"), 2.25f);
    EXPECT_EQ(read_r("NAN"), nan_r());
  });
  EXPECT_EQ(c.out, "");
  EXPECT_EQ(c.err, "");
}

TEST_F(NumTest, ReadD_badTextReportsOnErrorChannel) {
  double v = 0;
  Captured c = capture([&] { v = read_d("12abc"); });
  EXPECT_EQ(v, 12.0);
  EXPECT_EQ(c.err, "READ_D error  abc\n");
  EXPECT_EQ(c.out, "");
  c = capture([&] { v = read_d("xyz"); });
  EXPECT_EQ(v, 0.0);
  EXPECT_EQ(c.err, "READ_D error  xyz\n");
  float r = 0;
  c = capture([&] { r = read_r("1.5q"); });
  EXPECT_EQ(r, 1.5f);
  EXPECT_EQ(c.err, "READ_R error  q\n");
}

TEST_F(NumTest, ReadI_badTextReportsOnTerminal) {
  int32_t v = 0;
  Captured c = capture([&] { v = read_i("3.7"); });
  EXPECT_EQ(v, 3);
  EXPECT_EQ(c.out, "READ_I ERROR 101\n.7\n");
  EXPECT_EQ(c.err, "");
  EXPECT_EQ(read_i("NA"), 2147483647);
  EXPECT_EQ(read_i("99999999999"), INT32_MAX);  // clamped to 32 bits
  int16_t s = 0;
  c = capture([&] { s = read_s("7x"); });
  EXPECT_EQ(s, 7);
  EXPECT_EQ(c.err, "READ_S error  x\n");
  EXPECT_EQ(c.out, "");
  EXPECT_EQ(read_s("NA"), -32768);
}

TEST_F(NumTest, ReadQ_firstNonBlank) {
  EXPECT_TRUE(read_q("  yes"));
  EXPECT_TRUE(read_q("T"));
  EXPECT_FALSE(read_q("N"));
  EXPECT_FALSE(read_q(""));
  EXPECT_FALSE(read_q("   "));
}

TEST_F(NumTest, WriteD_shortForm) {
  EXPECT_EQ(wd(100000), "100000");
  EXPECT_EQ(wd(100001), "1.00001E+05");
  EXPECT_EQ(wd(0.001), "0.001");
  EXPECT_EQ(wd(0.00099), "9.9E-04");
  EXPECT_EQ(wd(-0.0005), "-5E-04");
  EXPECT_EQ(wd(2.5e-10), "2.5E-10");
  EXPECT_EQ(wd(12345.678), "12345.678");
  EXPECT_EQ(wd(1000000), "1E+06");
  EXPECT_EQ(wd(0.5), "0.5");
  EXPECT_EQ(wd(-2.0), "-2");
  EXPECT_EQ(wd(0.0), "0");
  EXPECT_EQ(wd(-1e300), "-1E+300");
}

TEST_F(NumTest, WriteD_nullAndCount) {
  EXPECT_EQ(wd(nan_d()), "  -  ");
  EXPECT_EQ(wd(nan_d(), 3), "  -");
  EXPECT_EQ(wd(1.5, 0), "unchanged");  // a count of 0 switches writing off
  EXPECT_EQ(wd(123.25, 2), "123.25");  // any other count writes the whole short form
  char buf[16];
  write_r(nan_r(), buf, 15);
  EXPECT_STREQ(buf, "  -  ");
  write_r(0.25f, buf, 15);
  EXPECT_STREQ(buf, "0.25");
}

TEST_F(NumTest, WriteI_nullAndCut) {
  char buf[16];
  write_i(nan_i(), buf, 15);
  EXPECT_STREQ(buf, "  -  ");
  write_i(-123456, buf, 4);
  EXPECT_STREQ(buf, "-123");
  write_s(nan_s(), buf, 15);
  EXPECT_STREQ(buf, "  -  ");
  write_s(-7, buf, 15);
  EXPECT_STREQ(buf, "-7");
  EXPECT_EQ(write_q(true), 'T');
}

TEST_F(NumTest, Writef_callerFormats) {
  char buf[32];
  writef_d(0.5, "%5.2f", buf, 31);
  EXPECT_STREQ(buf, " 0.50");  // leading blank kept
  writef_d(0.5, " ", buf, 31);
  EXPECT_STREQ(buf, "0.5");
  writef_d(nan_d(), "%8.3f", buf, 31);
  EXPECT_STREQ(buf, "  -  ");
  writef_d(3.14159, "%8.3f", buf, 5);
  EXPECT_STREQ(buf, "   3.");
  writef_i(42, "%5d", buf, 31);
  EXPECT_STREQ(buf, "   42");
  writef_i(42, "%ld", buf, 31);
  EXPECT_STREQ(buf, "42");
  writef_i(-42, "%lld", buf, 31);
  EXPECT_STREQ(buf, "-42");
  writef_r(2.5f, "%.1e", buf, 31);
  EXPECT_STREQ(buf, "2.5e+00");
  // A format that does not take one number falls back to the short form.
  writef_d(2.5, "%s", buf, 31);
  EXPECT_STREQ(buf, "2.5");
  writef_i(7, "%d %d", buf, 31);
  EXPECT_STREQ(buf, "7");
}

}  // namespace
