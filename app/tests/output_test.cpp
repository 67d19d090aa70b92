// The output table and the two listings: row layout, mean gain, the histogram
// line, and the time-filter line with its limits.
#include <string>
#include <vector>

#include "app/varto.h"
#include "util/util.h"
#include "varto_helpers.h"

namespace varto_test {
namespace {

class OutputTest : public AppTest {};

const double kDefaultGhist[3] = {3.0, 7.0, 0.05};

// Default histogram with 500 s of 1000 in the bin centred at 5.10 (bin 42).
ghist* half_in_one_bin() {
  ghist* h = ghset(kDefaultGhist);
  h->total_time = 1000.0;
  const double p[3] = {10.0, 20.0, 12.5};
  varto_accumulate_histogram(5.1, 500.0, 12345.6, 12400.0, 4100.0, 4000.0, p, h, 1);
  return h;
}

TEST_F(OutputTest, VartoWrite_writesEveryBinAndTheMeanGain) {
  ghist* h = half_in_one_bin();
  testing::internal::CaptureStdout();
  varto_write(path("out.fits").c_str(), h, nullptr);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "\nMean Gain:       2.55\n\n");
  const std::vector<double> gain = read_fits_column(path("out.fits"), "GAIN_HIST", "GAIN");
  const std::vector<double> weight = read_fits_column(path("out.fits"), "GAIN_HIST", "WEIGHT");
  const std::vector<double> exposure = read_fits_column(path("out.fits"), "GAIN_HIST", "EXPOSURE");
  ASSERT_EQ(gain.size(), 82u);
  ASSERT_EQ(weight.size(), 82u);
  ASSERT_EQ(exposure.size(), 82u);
  EXPECT_NEAR(gain[42], 5.10, 1e-12);
  EXPECT_EQ(weight[42], 0.5);
  EXPECT_EQ(exposure[42], 500.0);
  EXPECT_EQ(weight[41], 0.0);
  EXPECT_NEAR(read_fits_key(path("out.fits"), "GAIN_HIST", "AVG_GAIN"), 2.55, 1e-12);
  free_ghist(h);
}

TEST_F(OutputTest, VartoWrite_noGoodTimeGivesZeroFractionsNotNan) {
  ghist* h = ghset(kDefaultGhist);
  testing::internal::CaptureStdout();
  varto_write(path("out.fits").c_str(), h, nullptr);
  varto_list(h);
  const std::string out = testing::internal::GetCapturedStdout();
  const std::vector<double> weight = read_fits_column(path("out.fits"), "GAIN_HIST", "WEIGHT");
  ASSERT_EQ(weight.size(), 82u);
  for (double w : weight) EXPECT_EQ(w, 0.0);
  EXPECT_EQ(read_fits_key(path("out.fits"), "GAIN_HIST", "AVG_GAIN"), 0.0);
  // No bin lines; the mean shows 0.00 right-aligned in ten columns.
  const std::string header =
      "Gain    Weight     Time(s)    Start       Stop     DETX               DETY                "
      "AX                AY                  ROLL\n";
  EXPECT_TRUE(contains(out, "\nGain histogram:\n" + header + "\n\nMean Gain:       0.00\n\n"))
      << out;
  free_ghist(h);
}

TEST_F(OutputTest, VartoList_lineLayoutWithMeansAndSpreads) {
  ghist* h = half_in_one_bin();
  const double p[3] = {14.0, 20.0, 12.5};
  varto_accumulate_histogram(5.1, 500.0, 12000.0, 12016.0, 4104.0, 4000.0, p, h, 1);
  h->total_time = 2000.0;
  testing::internal::CaptureStdout();
  varto_list(h);
  const std::string out = testing::internal::GetCapturedStdout();
  // DETX 4100 and 4104 equally weighted: mean 4102, spread 2. DETY, AY and ROLL
  // have no spread; their difference of sums is 0 or a rounding below it.
  EXPECT_TRUE(
      contains(out,
               "\n  5.10    0.5000 1000.0000    12000.00    12400.00 4102.0 +/-    2.0  "
               "4000.0 +/-    0.0    12.0 +/-    2.0    20.0 +/-    0.0    12.5 +/-    0.0\n"))
      << out;
  EXPECT_TRUE(contains(out, "\nMean Gain:       2.55\n\n"));
  free_ghist(h);
}

TEST_F(OutputTest, VartoListTimes_lineLayouts) {
  ghist* h = half_in_one_bin();
  // A bin with 11 ranges, and a bin with weight but no filter (several positions).
  const double zero[3] = {0, 0, 0};
  for (int r = 0; r < 11; ++r)
    varto_accumulate_histogram(6.0, 1.0, 100.0 * r + 50, 100.0 * r + 60, 0, 0, zero, h, 1);
  varto_accumulate_histogram(4.0, 1.0, 10.0, 20.0, 0, 0, zero, h, 2);
  testing::internal::CaptureStdout();
  varto_list_times(h);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Gain   Time filter\n"
            "  4.00  ()\n"
            "  5.10  (12345.60:12400.00)\n"
            "  6.00  (Many time intervals)\n");
  free_ghist(h);
}

TEST_F(OutputTest, VartoListTimes_tenRangesAreListedAndHugeTimesStopTheListing) {
  ghist* h = ghset(kDefaultGhist);
  const double zero[3] = {0, 0, 0};
  for (int r = 0; r < 10; ++r)
    varto_accumulate_histogram(5.0, 1.0, 1000.0 * r, 1000.0 * r + 10, 0, 0, zero, h, 1);
  testing::internal::CaptureStdout();
  varto_list_times(h);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(contains(out, "  5.00  (0.00:10.00,1000.00:1010.00,"));
  EXPECT_TRUE(contains(out, ",9000.00:9010.00)\n"));

  // Times of 1e250 seconds give ranges of 500 characters: the line would pass
  // its limit, so the message, the line so far, and nothing after it.
  varto_accumulate_histogram(6.0, 1.0, 1.0e250, 2.0e250, 0, 0, zero, h, 1);
  varto_accumulate_histogram(6.5, 1.0, 10.0, 20.0, 0, 0, zero, h, 1);
  testing::internal::CaptureStdout();
  varto_list_times(h);
  out = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(contains(out, "Buffer overflow\n  6.00  (\n")) << out;
  EXPECT_FALSE(contains(out, "  6.50"));
  free_ghist(h);
}

}  // namespace
}  // namespace varto_test
