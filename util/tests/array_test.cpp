// Tests of string lists, vector lists and the numeric routines.
#include <cmath>
#include <cstring>

#include "util_test_helpers.h"

namespace {

class ArrayTest : public UtilTest {};

TEST_F(ArrayTest, AllocArrayC_slotsInOneBlock) {
  char** list = alloc_array_c(31, 20);
  ASSERT_NE(list, nullptr);
  for (int k = 0; k < 20; ++k) {
    EXPECT_STREQ(list[k], "");
    EXPECT_EQ(list[k], list[0] + k * 32);
  }
  std::memset(list[19], 'z', 31);  // each slot takes 31 characters and a terminator
  EXPECT_EQ(std::strlen(list[19]), 31u);
  free_array_c(list);
  EXPECT_EQ(alloc_array_c(10, 0), nullptr);
  free_array_c(nullptr);
}

TEST_F(ArrayTest, VecAllocD_zeroedVectors) {
  double** v = vec_alloc_d(4);
  ASSERT_NE(v, nullptr);
  for (int k = 0; k < 4; ++k) {
    EXPECT_TRUE(vnull_d(v[k]));
    EXPECT_EQ(v[k], v[0] + 3 * k);
  }
  double a[3] = {1, 2, 3};
  vcopy_d(a, v[3]);
  EXPECT_FALSE(vnull_d(v[3]));
  EXPECT_EQ(v[3][2], 3.0);
  vzero_d(v[3]);
  EXPECT_TRUE(vnull_d(v[3]));
  vec_free_d(v);
}

TEST_F(ArrayTest, ArStatsD_meanAndPopulationVariance) {
  double one[] = {4.5};
  double mean = -1, var = -1;
  ar_stats_d(one, 1, &mean, &var);
  EXPECT_EQ(mean, 4.5);
  EXPECT_EQ(var, 0.0);
  double three[] = {1, 2, 3};
  ar_stats_d(three, 3, &mean, &var);
  EXPECT_DOUBLE_EQ(mean, 2.0);
  EXPECT_DOUBLE_EQ(var, 2.0 / 3.0);
  ar_stats_d(nullptr, 0, &mean, &var);  // an empty array reads nothing
  EXPECT_EQ(mean, 0.0);
  EXPECT_EQ(var, 0.0);
}

TEST_F(ArrayTest, LintD_interpolatesAndAverages) {
  EXPECT_DOUBLE_EQ(lint_d(0, 10, 0, 100, 2.5), 25.0);
  EXPECT_DOUBLE_EQ(lint_d(0, 10, 0, 100, 20), 200.0);  // extrapolates
  EXPECT_DOUBLE_EQ(lint_d(5, 5, 1, 3, 123), 2.0);
}

TEST_F(ArrayTest, OverlapD_touchingEndsOverlap) {
  double o1, o2;
  EXPECT_TRUE(overlap_d(0, 10, 10, 20, &o1, &o2));
  EXPECT_EQ(o1, 10.0);
  EXPECT_EQ(o2, 10.0);
  EXPECT_FALSE(overlap_d(0, 10, 11, 20, &o1, &o2));
  EXPECT_TRUE(overlap_d(5, 30, 10, 20, &o1, &o2));
  EXPECT_EQ(o1, 10.0);
  EXPECT_EQ(o2, 20.0);
  bool below, above;
  EXPECT_EQ(rlap_check_d(-1, 0, 5, &below, &above), 0.0);
  EXPECT_TRUE(below);
  EXPECT_FALSE(above);
  EXPECT_EQ(rlap_check_d(3, 0, 5, &below, &above), 3.0);
  EXPECT_FALSE(below || above);
}

TEST_F(ArrayTest, Rotate2D_degrees) {
  double x, y;
  rotate2_d(1, 0, 90, &x, &y);
  EXPECT_NEAR(x, 0.0, 1e-12);
  EXPECT_NEAR(y, 1.0, 1e-12);
  rotate2_d(1, 1, -45, &x, &y);
  EXPECT_NEAR(x, std::sqrt(2.0), 1e-12);
  EXPECT_NEAR(y, 0.0, 1e-12);
  EXPECT_NEAR(radout_d(radin_d(123.0)), 123.0, 1e-12);
  EXPECT_NEAR(dsind(30), 0.5, 1e-12);
  EXPECT_NEAR(dcosd(60), 0.5, 1e-12);
}

}  // namespace
