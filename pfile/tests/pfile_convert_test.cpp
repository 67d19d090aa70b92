// Tests of the conversion of parameter data between types: INDEF forms, reals
// written with 16 digits, booleans, integers with trailing text, and the
// types without a converter.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "pfile/pfile.h"

namespace {

std::string to_text(const void* data, int from) {
  char out[ParamConvertSize];
  parerr = PARAM_OK;
  if (Convert(data, from, out, StringType) == nullptr) {
    return "<fail:" + std::to_string(parerr) + ">";
  }
  return out;
}

bool to_int(const char* text, int& out) {
  parerr = PARAM_OK;
  return Convert(text, StringType, &out, IntegerType) != nullptr;
}

bool to_real(const char* text, double& out) {
  parerr = PARAM_OK;
  return Convert(text, StringType, &out, RealType) != nullptr;
}

TEST(PfileConvertTest, Convert_integersFromText) {
  int v = 0;
  EXPECT_TRUE(to_int("42", v));
  EXPECT_EQ(v, 42);
  EXPECT_TRUE(to_int("-7", v));
  EXPECT_EQ(v, -7);
  EXPECT_TRUE(to_int("12.9", v));  // the fraction is dropped
  EXPECT_EQ(v, 12);
  EXPECT_TRUE(to_int("INDEF", v));
  EXPECT_EQ(v, IndefInt);
  EXPECT_TRUE(to_int("INDEFI", v));
  EXPECT_EQ(v, IndefInt);
  for (const char* bad : {"12abc", "", "x", "1e3", "99999999999", "INDEFD"}) {
    EXPECT_FALSE(to_int(bad, v)) << bad;
    EXPECT_EQ(parerr, PARAM_CANNOT_CONVERT) << bad;
  }
}

TEST(PfileConvertTest, Convert_realsFromTextAndBack) {
  double d = 0;
  EXPECT_TRUE(to_real("2.5e3", d));
  EXPECT_DOUBLE_EQ(d, 2500.0);
  EXPECT_TRUE(to_real("INDEF", d));
  EXPECT_EQ(d, IndefReal);
  EXPECT_TRUE(to_real("INDEFD", d));
  EXPECT_EQ(d, IndefReal);
  for (const char* bad : {"1.5x", "", "INDEFI", "nan"}) {
    EXPECT_FALSE(to_real(bad, d)) << bad;
    EXPECT_EQ(parerr, PARAM_CANNOT_CONVERT) << bad;
  }
  double third = 1.0 / 3.0;
  EXPECT_EQ(to_text(&third, RealType), "0.3333333333333333");
  double r = 1.0;
  EXPECT_EQ(to_text(&r, RealType), "1");
  double indef = IndefReal;
  EXPECT_EQ(to_text(&indef, RealType), "INDEF");
  int i = IndefInt;
  EXPECT_EQ(to_text(&i, IntegerType), "INDEF");
  i = -3;
  EXPECT_EQ(to_text(&i, IntegerType), "-3");
}

TEST(PfileConvertTest, Convert_booleansAndModes) {
  int b = -1;
  for (const char* yes : {"y", "ye", "yes"}) {
    EXPECT_NE(Convert(yes, StringType, &b, BooleanType), nullptr);
    EXPECT_EQ(b, 1);
  }
  for (const char* no : {"n", "no"}) {
    EXPECT_NE(Convert(no, StringType, &b, BooleanType), nullptr);
    EXPECT_EQ(b, 0);
  }
  parerr = PARAM_OK;
  EXPECT_EQ(Convert("maybe", StringType, &b, BooleanType), nullptr);
  EXPECT_EQ(parerr, PARAM_CANNOT_CONVERT);
  b = 1;
  EXPECT_EQ(to_text(&b, BooleanType), "yes");
  b = 0;
  EXPECT_EQ(to_text(&b, BooleanType), "no");

  double half = 2.7;
  int i = 0;
  EXPECT_NE(Convert(&half, RealType, &i, IntegerType), nullptr);
  EXPECT_EQ(i, 2);
  double indef = IndefReal;
  EXPECT_NE(Convert(&indef, RealType, &i, IntegerType), nullptr);
  EXPECT_EQ(i, IndefInt);

  int mode = 0;
  EXPECT_NE(Convert("lqha", StringType, &mode, ModeType), nullptr);
  EXPECT_EQ(mode, AutoMode | HiddenMode | QueryMode | LearnMode);
  EXPECT_EQ(to_text(&mode, ModeType), "ahql");
}

TEST(PfileConvertTest, Convert_missingConverters) {
  int i = 0;
  parerr = PARAM_OK;
  EXPECT_EQ(Convert(&i, IntegerType, &i, ModeType), nullptr);
  EXPECT_EQ(parerr, PARAM_NO_CONVERTER);
  // Cursor values are read from text but never given back as text.
  char out[ParamConvertSize];
  EXPECT_NE(Convert("1 2 101 q", StringType, out, GcurType), nullptr);
  parerr = PARAM_OK;
  EXPECT_EQ(Convert("1 2 101 q", GcurType, out, StringType), nullptr);
  EXPECT_EQ(parerr, PARAM_NO_CONVERTER);
  // A long text is cut to the conversion buffer, terminated.
  std::string longtext(5000, 'z');
  EXPECT_NE(Convert(longtext.c_str(), StringType, out, StringType), nullptr);
  EXPECT_EQ(std::strlen(out), static_cast<std::size_t>(ParamConvertSize - 1));
}

}  // namespace
