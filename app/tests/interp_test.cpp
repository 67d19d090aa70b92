// Gain interpolation: the choice of maps around gain steps, the bilinear lookup
// and its edges, and the calibrated period.
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "app/gain.h"
#include "app/varto.h"
#include "util/util.h"
#include "varto_helpers.h"

namespace varto_test {
namespace {

class InterpTest : public AppTest {};

// A gain-map set of the given times whose map i has cell (ix, iy) = value(i, ix, iy).
template <typename F>
gain_data* make_set(const std::vector<double>& times, F value) {
  gain_data* set = alloc_gain_data(static_cast<int>(times.size()), GAIN_STEP_CAPACITY);
  for (std::size_t i = 0; i < times.size(); ++i) {
    set->times[i] = times[i];
    for (int ix = 0; ix < 32; ++ix)
      for (int iy = 0; iy < 32; ++iy)
        set->maps[i * 1024 + ix * 32 + iy] = value(static_cast<int>(i), ix, iy);
  }
  return set;
}

// Distinct value per map and cell, so a lookup tells which cells were used.
double cell_code(int map, int ix, int iy) { return 1000.0 * map + 32.0 * ix + iy; }

TEST_F(InterpTest, FindEntryD_returnsFirstLaterElementOrTheLast) {
  const double a[] = {100, 200, 300, 400};
  EXPECT_EQ(find_entry_d(50, a, 4), 1);
  EXPECT_EQ(find_entry_d(199, a, 4), 1);
  EXPECT_EQ(find_entry_d(200, a, 4), 2);  // equal is not later
  EXPECT_EQ(find_entry_d(399.5, a, 4), 3);
  EXPECT_EQ(find_entry_d(1000, a, 4), 3);
  EXPECT_EQ(find_entry_d(5, a, 1), 0);
}

TEST_F(InterpTest, FindEntryAndStepD_choosesMapsInsideTheStepSegment) {
  const double times[] = {100, 200, 300, 400};
  const double step[] = {250};
  EXPECT_EQ(find_entry_and_step_d(220, times, 4, step, 1), 1);  // maps 0 and 1
  EXPECT_EQ(find_entry_and_step_d(280, times, 4, step, 1), 3);  // maps 2 and 3
  EXPECT_EQ(find_entry_and_step_d(220, times, 4, step, 0), 2);  // no steps: 1 and 2
  // Beyond the last map, inside the last segment: extrapolate from maps 2 and 3.
  EXPECT_EQ(find_entry_and_step_d(900, times, 4, step, 1), 3);
  const double two_steps[] = {150, 350};
  EXPECT_EQ(find_entry_and_step_d(320, times, 4, two_steps, 2), 2);  // maps 1 and 2
  EXPECT_EQ(find_entry_and_step_d(120, times, 4, two_steps, 2), 1);
}

TEST_F(InterpTest, FindEntryAndStepD_anyStepsKeepThePairInsideTheMaps) {
  // Steps that are not numbers, not in order or far outside the maps: the pair
  // (k-1, k) must stay inside the maps (the sanitizer build catches a stray read).
  const double times[] = {100, 200, 300, 400};
  const double nan = std::nan("");
  const std::vector<std::vector<double>> step_lists = {
      {nan}, {nan, 250}, {250, nan}, {350, 150}, {350, 250, 150}, {-1e300, 1e300}, {250, 250}};
  testing::internal::CaptureStdout();
  for (const auto& steps : step_lists) {
    for (double t : {-1e9, 50.0, 150.0, 250.0, 260.0, 350.0, 1e9, nan}) {
      const int k =
          find_entry_and_step_d(t, times, 4, steps.data(), static_cast<int>(steps.size()));
      EXPECT_GE(k, 1) << t;
      EXPECT_LE(k, 3) << t;
    }
  }
  testing::internal::GetCapturedStdout();
}

TEST_F(InterpTest, FindEntryAndStepD_singleMapSegmentWarnsAndReachesBack) {
  const double times[] = {100, 200, 300};
  const double step[] = {250};
  testing::internal::CaptureStdout();
  const int k = find_entry_and_step_d(260, times, 3, step, 1);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(k, 2);  // maps 1 and 2
  EXPECT_EQ(out, "Warning: interpolating across step boundary\n");
}

TEST_F(InterpTest, DoInterp_averagesFourCellsAndTwoMaps) {
  gain_data* set = make_set({49000, 49100}, cell_code);
  const double g = do_interp(set, 49050, 4096 + 128, 4096 + 128);
  // Cells (15,15), (16,15), (16,16), (15,16) of maps 0 and 1, each weighted 1/8.
  const double cells = (32.0 * 15 + 15) + (32.0 * 16 + 15) + (32.0 * 16 + 16) + (32.0 * 15 + 16);
  EXPECT_DOUBLE_EQ(g, (cells / 4) + 500.0);
  free_gain_data(set);
}

TEST_F(InterpTest, DoInterp_extrapolatesWithinFiftyDaysAndStopsBeyond) {
  gain_data* set = make_set({49000, 49100}, [](int map, int, int) { return map == 0 ? 4.0 : 6.0; });
  EXPECT_DOUBLE_EQ(do_interp(set, 48951, 4096, 4096), 4.0 - 2.0 * 49 / 100);
  EXPECT_DOUBLE_EQ(do_interp(set, 49150, 4096, 4096), 7.0);
  testing::internal::CaptureStdout();
  EXPECT_TRUE(std::isnan(do_interp(set, 48949, 4096, 4096)));
  EXPECT_TRUE(std::isnan(do_interp(set, 49150.5, 4096, 4096)));
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out.find("*** Observation time outside calibrated period ***"), 0u) << out;
  free_gain_data(set);
}

TEST_F(InterpTest, InterpGain_onAGridPointUsesOneColumnOfCells) {
  gain_data* set = make_set({1}, cell_code);
  // detx = 256 * 5 gives fx = 0: only cells with x index 4, blended in y.
  EXPECT_DOUBLE_EQ(interp_gain(set->maps, 5.0, 7.25), 0.75 * (32 * 4 + 6) + 0.25 * (32 * 4 + 7));
  EXPECT_DOUBLE_EQ(interp_gain(set->maps, 5.0, 7.0), 32 * 4 + 6);
  free_gain_data(set);
}

TEST_F(InterpTest, InterpGain_offTheGridTakesTheEdgeCells) {
  gain_data* set = make_set({1}, cell_code);
  const double* map = set->maps;
  // Below grid point 1 (detector position 256) the first cells hold.
  EXPECT_DOUBLE_EQ(interp_gain(map, 0.0, 0.0), 0.0);
  EXPECT_DOUBLE_EQ(interp_gain(map, -3.0, 10.0), 9.0);
  // At and beyond grid point 32 (position 8192) the last cells hold.
  EXPECT_DOUBLE_EQ(interp_gain(map, 32.0, 32.0), 1023.0);
  EXPECT_DOUBLE_EQ(interp_gain(map, 40.0, 1.0), 32.0 * 31);
  EXPECT_DOUBLE_EQ(interp_gain(map, 31.5, 1.0), 32.0 * 30.5);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_DOUBLE_EQ(interp_gain(map, nan, 2.0), 1.0);
  // do_interp gives no gain off the grid (no exposure is collected there), and
  // one on its first grid point.
  gain_data* two = make_set({100, 200}, cell_code);
  EXPECT_TRUE(std::isnan(do_interp(two, 150, 100.0, 4096.0)));
  EXPECT_TRUE(std::isnan(do_interp(two, 150, 4096.0, 8192.0)));
  EXPECT_TRUE(std::isnan(do_interp(two, 150, nan, 4096.0)));
  EXPECT_DOUBLE_EQ(do_interp(two, 150, 256.0, 256.0), 500.0);
  free_gain_data(two);
  free_gain_data(set);
}

TEST_F(InterpTest, DoInterp_fewerThanTwoMapsStops) {
  gain_data* set = make_set({49000}, cell_code);
  testing::internal::CaptureStdout();
  EXPECT_TRUE(std::isnan(do_interp(set, 49000, 4096, 4096)));
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "*** Gain interpolation needs at least 2 maps, found 1 ***\n");
  free_gain_data(set);
}

// The quiet lookup gives do_interp's number bit for bit, across a step with a
// single map, in the margins, off the grid and outside the period, and prints
// nothing where do_interp warns or stops.
TEST_F(InterpTest, GainAt_isDoInterpWithoutItsMessages) {
  gain_data* set = make_set({49000, 49060, 49200, 49300}, cell_code);
  set->steps[0] = 49100;
  set->steps[1] = 49250;
  set->step_count = 2;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double cases[][3] = {{49030.7, 3000.3, 5123.9}, {49150, 4096, 4096},
                             {49260, 300.5, 8000.1},    {48950, 256, 256},
                             {49350, 8191.9, 4096},     {48949.9, 4096, 4096},
                             {49350.1, 4096, 4096},     {49030, 255.9, 4096},
                             {49030, 4096, 8192},       {49030, nan, 4096}};
  for (const auto& [mjd, detx, dety] : cases) {
    testing::internal::CaptureStdout();
    const double quiet = gain_at(set, mjd, detx, dety);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    testing::internal::CaptureStdout();
    const double run = do_interp(set, mjd, detx, dety);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(std::isnan(quiet), std::isnan(run)) << mjd << " " << detx;
    if (std::isnan(run)) continue;
    EXPECT_EQ(std::memcmp(&quiet, &run, sizeof run), 0) << mjd << " " << detx;
  }
  EXPECT_TRUE(std::isnan(gain_at(nullptr, 49030, 4096, 4096)));
  set->count = 1;
  EXPECT_TRUE(std::isnan(gain_at(set, 49000, 4096, 4096)));
  free_gain_data(set);
}

}  // namespace
}  // namespace varto_test
