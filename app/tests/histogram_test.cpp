// Gain histogram: bin edges, time filters, good-time clipping, the sky to
// detector transform, and the binning loop against a straightforward reference.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "app/varto.h"
#include "app/varto_reference.h"
#include "locate.h"
#include "util/util.h"
#include "varto_helpers.h"

namespace varto_test {
namespace {

class HistogramTest : public AppTest {};

const double kDefaultGhist[3] = {3.0, 7.0, 0.05};
const double kZero[3] = {0.0, 0.0, 0.0};

// The bin that one sample of gain g lands in, or -1 when none receives it.
int landing_bin(double g) {
  ghist* h = ghset(kDefaultGhist);
  varto_accumulate_histogram(g, 1.0, 10.0, 20.0, 0.0, 0.0, kZero, h, 2);
  int bin = -1;
  for (int i = 0; i < h->count; ++i) {
    if (h->weight[i] != 0.0) bin = i;
  }
  free_ghist(h);
  return bin;
}

TEST_F(HistogramTest, Ghset_defaultsGive82BinsFrom2975) {
  ghist* h = ghset(kDefaultGhist);
  EXPECT_EQ(h->count, 82);
  EXPECT_DOUBLE_EQ(h->low, 2.975);
  EXPECT_DOUBLE_EQ(h->width, 0.05);
  EXPECT_EQ(h->time_filter[81], nullptr);
  free_ghist(h);
  const double coarse[3] = {1.0, 2.0, 0.5};
  h = ghset(coarse);
  EXPECT_EQ(h->count, 4);  // centres 1, 1.5, 2 and one more, as with the defaults
  free_ghist(h);
  // The count from the outer edges, truncated: a table's row count for a vector
  // never changes. Far from 0 the edges round together and no bin is usable.
  const struct {
    double spec[3];
    int bins;
  } counts[] = {{{3.2, 6.8, 0.04}, 91}, {{1, 9, 0.2}, 41}, {{5, 5, 0.1}, 1}, {{1e17, 1e17, 1}, 1}};
  for (const auto& c : counts) EXPECT_EQ(ghist_bins(c.spec), c.bins) << c.spec[0];
}

TEST_F(HistogramTest, AccumulateHistogram_binEdges) {
  EXPECT_EQ(landing_bin(3.01), -1);  // bin 0 never receives weight
  EXPECT_EQ(landing_bin(3.03), 1);   // centre 3.05
  EXPECT_EQ(landing_bin(7.05), 81);  // the last bin
  EXPECT_EQ(landing_bin(7.08), -1);  // index 82
  EXPECT_EQ(landing_bin(2.96), -1);  // just below the low edge
  EXPECT_EQ(landing_bin(-40.0), -1);
  EXPECT_EQ(landing_bin(1.0e300), -1);
  EXPECT_EQ(landing_bin(std::nan("")), -1);
}

TEST_F(HistogramTest, AccumulateHistogram_addsWeightedSumsAndTimeRange) {
  ghist* h = ghset(kDefaultGhist);
  const double p[3] = {2.0, -3.0, 12.0};
  varto_accumulate_histogram(5.0, 8.0, 300.0, 316.0, 4000.0, 4100.0, p, h, 1);
  varto_accumulate_histogram(5.0, 2.0, 100.0, 116.0, 4010.0, 4090.0, p, h, 1);
  const int i = 40;
  const int n = h->count;
  EXPECT_DOUBLE_EQ(h->weight[i], 10.0);
  EXPECT_DOUBLE_EQ(h->first_start[i], 100.0);
  EXPECT_DOUBLE_EQ(h->last_stop[i], 316.0);
  EXPECT_DOUBLE_EQ(h->sum_detx[i], 8.0 * 4000 + 2.0 * 4010);
  EXPECT_DOUBLE_EQ(h->sum_dety2[i], 8.0 * 4100 * 4100 + 2.0 * 4090 * 4090);
  EXPECT_DOUBLE_EQ(h->sum_asp[n + i], -30.0);
  EXPECT_DOUBLE_EQ(h->sum_asp2[2 * n + i], 10.0 * 144);
  free_ghist(h);
}

TEST_F(HistogramTest, AccumulateHistogram_singlePositionMergesTimeRanges) {
  ghist* h = ghset(kDefaultGhist);
  testing::internal::CaptureStdout();
  varto_accumulate_histogram(5.0, 16.0, 100.0, 116.0, 0, 0, kZero, h, 1);
  varto_accumulate_histogram(5.0, 15.7, 116.3, 132.0, 0, 0, kZero, h, 1);
  varto_accumulate_histogram(5.0, 16.0, 200.0, 216.0, 0, 0, kZero, h, 1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  const gti* f = h->time_filter[40];
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->capacity, 100);
  ASSERT_EQ(f->count, 2);
  EXPECT_EQ(f->starts[0], 100.0);
  EXPECT_EQ(f->stops[0], 132.0);
  EXPECT_EQ(f->starts[1], 200.0);
  EXPECT_EQ(f->stops[1], 216.0);
  EXPECT_EQ(h->first_start[40], 100.0);
  EXPECT_EQ(h->last_stop[40], 216.0);

  // An interval starting well before the last range's end: one warning, filter
  // unchanged, weight still counted.
  testing::internal::CaptureStdout();
  varto_accumulate_histogram(5.0, 10.0, 150.0, 160.0, 0, 0, kZero, h, 1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Warning: times not consecutive\n");
  EXPECT_EQ(f->count, 2);
  EXPECT_DOUBLE_EQ(h->weight[40], 57.7);
  free_ghist(h);
}

TEST_F(HistogramTest, AccumTimeFilter_toleranceAndFullList) {
  gti* list = alloc_gti(3);
  accum_time_filter(10, 20, list);
  accum_time_filter(20.5, 30, list);  // within 0.5 s: joins
  accum_time_filter(29.5, 40, list);  // 0.5 s before the end: joins
  ASSERT_EQ(list->count, 1);
  EXPECT_EQ(list->stops[0], 40.0);
  accum_time_filter(40.6, 50, list);  // beyond 0.5 s: a new range
  accum_time_filter(60, 70, list);
  ASSERT_EQ(list->count, 3);
  // Full: the newest range replaces the last one.
  accum_time_filter(80, 90, list);
  ASSERT_EQ(list->count, 3);
  EXPECT_EQ(list->starts[1], 40.6);
  EXPECT_EQ(list->starts[2], 80.0);
  EXPECT_EQ(list->stops[2], 90.0);
  free_gti(list);
}

TEST_F(HistogramTest, InGti_countsOverlapsOnly) {
  gti* list = alloc_gti(2);
  list->starts[0] = 0;
  list->stops[0] = 100;
  list->starts[1] = 200;
  list->stops[1] = 300;
  list->count = 2;
  EXPECT_DOUBLE_EQ(in_gti(50, 250, list), 100.0);
  EXPECT_DOUBLE_EQ(in_gti(100, 200, list), 0.0);
  EXPECT_DOUBLE_EQ(in_gti(120, 180, list), 0.0);
  EXPECT_DOUBLE_EQ(in_gti(-50, 400, list), 200.0);
  EXPECT_DOUBLE_EQ(sum_gti(list), 200.0);
  list->count = 0;
  EXPECT_DOUBLE_EQ(in_gti(50, 250, list), 0.0);
  free_gti(list);
}

TEST_F(HistogramTest, CoveredGoodTime_countsTheUnionOncePerGoodInterval) {
  const auto make = [](std::vector<std::pair<double, double>> ranges) {
    gti* list = alloc_gti(static_cast<int>(ranges.size()));
    for (const auto& [s, e] : ranges) {
      list->starts[list->count] = s;
      list->stops[list->count++] = e;
    }
    return list;
  };
  const struct {
    std::vector<std::pair<double, double>> used;
    std::vector<std::pair<double, double>> good;
    double covered;
  } cases[] = {
      {{{0, 50}, {50, 120}}, {{10, 100}}, 90},              // joined neighbours
      {{{60, 80}, {0, 30}, {20, 70}}, {{10, 100}}, 70},     // unsorted, overlapping: once
      {{{0, 30}, {70, 200}}, {{10, 100}, {150, 160}}, 60},  // a gap inside a good interval
      {{{0, 100}}, {{10, 40}, {20, 50}}, 60},               // overlapping good intervals: twice
      {{{30, 20}, {5, 5}}, {{0, 100}}, 0},                  // empty and reversed ranges
      {{}, {{0, 100}}, 0},
  };
  for (const auto& c : cases) {
    gti* used = make(c.used);
    gti* good = make(c.good);
    EXPECT_DOUBLE_EQ(covered_good_time(used, good), c.covered) << c.covered;
    free_gti(used);
    free_gti(good);
  }
}

TEST_F(HistogramTest, Unaspect_rotatesAboutTheCentreAfterTheOffset) {
  double detx = 0;
  double dety = 0;
  const double p[3] = {10.0, -20.0, 90.0};
  unaspect(4200.0, 4000.0, 4096.5, 4096.5, p, &detx, &dety);
  // (4200 - 4096.5 - 10, 4000 - 4096.5 + 20) = (93.5, -76.5), turned by 90 degrees.
  EXPECT_NEAR(detx, 4096.5 + 76.5, 1e-9);
  EXPECT_NEAR(dety, 4096.5 + 93.5, 1e-9);
  EXPECT_DOUBLE_EQ(sc_time_to_mjd(43200.0, 49000.25), 49000.75);
  EXPECT_EQ(psqrt(-1e-12), 0.0);
  EXPECT_EQ(psqrt(16.0), 4.0);
}

// ---------------------------------------------------------------------------
// The binning loop against the straightforward algorithm
// ---------------------------------------------------------------------------

bool same_array(const double* a, const double* b, int n) {
  return std::memcmp(a, b, sizeof(double) * static_cast<std::size_t>(n)) == 0;
}

void expect_identical(const ghist* a, const ghist* b) {
  ASSERT_EQ(a->count, b->count);
  const int n = a->count;
  EXPECT_TRUE(same_array(a->weight, b->weight, n));
  EXPECT_TRUE(same_array(a->first_start, b->first_start, n));
  EXPECT_TRUE(same_array(a->last_stop, b->last_stop, n));
  EXPECT_TRUE(same_array(a->sum_detx, b->sum_detx, n));
  EXPECT_TRUE(same_array(a->sum_dety, b->sum_dety, n));
  EXPECT_TRUE(same_array(a->sum_detx2, b->sum_detx2, n));
  EXPECT_TRUE(same_array(a->sum_dety2, b->sum_dety2, n));
  EXPECT_TRUE(same_array(a->sum_asp, b->sum_asp, 3 * n));
  EXPECT_TRUE(same_array(a->sum_asp2, b->sum_asp2, 3 * n));
  EXPECT_EQ(a->off_count, b->off_count);
  EXPECT_EQ(a->nogain_count, b->nogain_count);
  EXPECT_EQ(a->outside_count, b->outside_count);
  const double ledger_a[] = {a->asp_time,     a->hist_time,  a->off_time, a->nogain_time,
                             a->outside_time, a->noasp_time, a->dup_time};
  const double ledger_b[] = {b->asp_time,     b->hist_time,  b->off_time, b->nogain_time,
                             b->outside_time, b->noasp_time, b->dup_time};
  EXPECT_TRUE(same_array(ledger_a, ledger_b, 7));
  for (int i = 0; i < n; ++i) {
    const gti* fa = a->time_filter[i];
    const gti* fb = b->time_filter[i];
    ASSERT_EQ(fa == nullptr, fb == nullptr) << i;
    if (fa == nullptr) continue;
    ASSERT_EQ(fa->count, fb->count) << i;
    EXPECT_TRUE(same_array(fa->starts, fb->starts, fa->count));
    EXPECT_TRUE(same_array(fa->stops, fb->stops, fa->count));
  }
}

// A case with a wobbling pointing, positions partly off the detector grid,
// gaps in the good time, a step segment holding a single map and a patch of
// cells without a gain.
struct CalcCase {
  source* src = nullptr;
  asp* history = nullptr;
  obs* observation = nullptr;
  gain_data* set = nullptr;

  CalcCase(int npos, int records) {
    src = npos == 1 ? alloc_source(1) : alloc_source(npos + 1);
    if (npos > 1) src->count = npos;
    for (int j = 0; j < npos; ++j) {
      src->xs[j] = 4096.0 + 37.3 * (j % 40) - 700.0 + (j == 3 ? -4000.0 : 0.0);
      src->ys[j] = 4097.0 + 29.1 * (j / 40) - 300.0 + (j == 5 ? 4500.0 : 0.0);
    }
    history = alloc_asp(records);
    history->count = records;
    for (int k = 0; k < records; ++k) {
      history->times[k] = 1000.0 + 2.0 * k + (k > records / 2 ? 0.25 : 0.0);
      const double phase = 2.0 * M_PI * k * 2.0 / 402.0;
      history->offsets[k][0] = 250.0 * std::sin(phase) + 48.0;
      history->offsets[k][1] = 250.0 * std::sin(phase) - 40.0;
      history->offsets[k][2] = 12.5 + 0.01 * std::sin(k * 0.1);
    }
    observation = alloc_obs();
    observation->gtis = alloc_gti(3);
    const double starts[3] = {1010.0, 1000.0 + records * 0.5, 1000.0 + records * 1.2};
    const double stops[3] = {1000.0 + records * 0.4, 1000.0 + records * 0.9,
                             1000.0 + records * 3.0};
    for (int i = 0; i < 3; ++i) {
      observation->gtis->starts[i] = starts[i];
      observation->gtis->stops[i] = stops[i];
    }
    observation->gtis->count = 3;
    observation->mjdref = 49198.7;  // times lie at MJD 49198.71 ..
    observation->x0 = 4096.5;
    observation->y0 = 4096.5;
    const std::vector<double> times = {49000, 49100, 49150, 49190, 49200, 49230, 49300};
    set = alloc_gain_data(static_cast<int>(times.size()), GAIN_STEP_CAPACITY);
    for (std::size_t m = 0; m < times.size(); ++m) {
      set->times[m] = times[m];
      for (int c = 0; c < 1024; ++c)
        set->maps[m * 1024 + c] = 4.0 + 0.3 * std::sin(c * 0.37 + m) + 0.02 * m;
    }
    for (int c = 400; c < 440; ++c) set->maps[3 * 1024 + c] = std::nan("");
  }
  ~CalcCase() {
    free_source(src);
    free_asp(history);
    free_obs(observation);
    free_gain_data(set);
  }
};

// varto_calc and the straightforward loop on the same case, each into a fresh
// default histogram, with what each writes on the terminal (the plain loop's
// output preceded by the blank line that varto_calc writes first).
struct BothRuns {
  ghist* fast = ghset(kDefaultGhist);
  ghist* plain = ghset(kDefaultGhist);
  std::string fast_out;
  std::string plain_out;

  explicit BothRuns(const CalcCase& c) {
    testing::internal::CaptureStdout();
    varto_calc(c.src, c.history, c.observation, c.set, fast);
    fast_out = testing::internal::GetCapturedStdout();
    testing::internal::CaptureStdout();
    tmsg(" ");
    calc_plain(c.src, c.history, c.observation, c.set, plain);
    plain_out = testing::internal::GetCapturedStdout();
  }
  ~BothRuns() {
    free_ghist(fast);
    free_ghist(plain);
  }
  BothRuns(const BothRuns&) = delete;
  BothRuns& operator=(const BothRuns&) = delete;
};

TEST_F(HistogramTest, VartoCalc_manyPositionsMatchTheReferenceBitForBit) {
  CalcCase c(120, 3000);
  c.set->steps[0] = 49195.0;  // the segment [49195, inf) holds maps 4..6
  c.set->step_count = 1;
  // Every thread count and every narrower instruction set add the same numbers.
  for (const Simd widest : {Simd::kAvx512, Simd::kAvx2, Simd::kBase}) {
    narrow_simd(widest);
    for (const char* threads : {"1", "3"}) {
      ::setenv("VARTO_THREADS", threads, 1);
      const BothRuns again(c);
      ::unsetenv("VARTO_THREADS");
      expect_identical(again.fast, again.plain);
    }
  }
  narrow_simd(Simd::kAvx512);
  const BothRuns runs(c);
  expect_identical(runs.fast, runs.plain);
  double total = 0;
  for (int i = 0; i < runs.fast->count; ++i) total += runs.fast->weight[i];
  EXPECT_GT(total, 100.0);
}

TEST_F(HistogramTest, VartoCalc_acrossAStepMatchesTheReferenceAndItsWarnings) {
  for (const int npos : {1, 3}) {
    CalcCase c(npos, 400);
    // A step just before map 5 leaves it alone in its segment: every lookup warns.
    c.set->steps[0] = 49195.0;
    c.set->steps[1] = 49210.0;
    c.set->step_count = 2;
    c.observation->mjdref = 49205.0;
    const BothRuns runs(c);
    expect_identical(runs.fast, runs.plain);
    EXPECT_EQ(runs.fast_out, runs.plain_out);
    EXPECT_TRUE(contains(runs.fast_out, "Warning: interpolating across step boundary\n"));
  }
}

TEST_F(HistogramTest, VartoCalc_gainsOnBinEdgesMatchTheReference) {
  // Gains on the edges of bins 0/1, 40/41 and 81/82 (the top edge), and a map
  // pair of equal times: the bin chosen must be the one the quotients give.
  for (const double edge : {3.025, 5.025, 7.075, 4.0 + 1e-13}) {
    CalcCase c(30, 200);
    for (int m = 0; m < c.set->count; ++m)
      for (int cell = 0; cell < 1024; ++cell)
        c.set->maps[m * 1024 + cell] = edge + (cell % 3 - 1) * 1e-15;
    for (int m = 4; m < c.set->count; ++m) c.set->times[m] = 49195.0;  // the last pair: equal times
    c.observation->mjdref = edge == 7.075 ? 49198.7 : 49180.0;
    const BothRuns runs(c);
    expect_identical(runs.fast, runs.plain);
  }
}

TEST_F(HistogramTest, VartoCalc_debugLevelTracesEveryLookup) {
  CalcCase c(2, 5);
  c.observation->gtis->starts[0] = 0;
  c.observation->gtis->stops[0] = 1e9;
  ghist* h = ghset(kDefaultGhist);
  dbg_set(2);
  testing::internal::CaptureStderr();
  testing::internal::CaptureStdout();
  varto_calc(c.src, c.history, c.observation, c.set, h);
  testing::internal::GetCapturedStdout();
  const std::string err = testing::internal::GetCapturedStderr();
  dbg_set(0);
  // One line per interval and position, detx and dety given twice.
  int lines = 0;
  for (std::size_t at = err.find("[*2]  0 "); at != std::string::npos;
       at = err.find("[*2]  ", at + 1)) {
    const std::string line = err.substr(at, err.find('\n', at) - at);
    if (line.find("GAIN:") != std::string::npos || line.find("Time =") != std::string::npos)
      continue;
    double k, x1, y1, x2, y2;
    ASSERT_EQ(std::sscanf(line.c_str() + 6, "%lf %lf %lf %lf %lf", &k, &x1, &y1, &x2, &y2), 5)
        << line;
    EXPECT_EQ(x1, x2);
    EXPECT_EQ(y1, y2);
    ++lines;
  }
  EXPECT_EQ(lines, 4 * 2);
  EXPECT_TRUE(contains(err, "BINS "));
  free_ghist(h);
}

TEST_F(HistogramTest, VartoCalc_oneRecordOrNoGoodTimeLeavesNoWeight) {
  CalcCase c(3, 1);
  ghist* h = ghset(kDefaultGhist);
  testing::internal::CaptureStdout();
  varto_calc(c.src, c.history, c.observation, c.set, h);
  c.history->count = 50;
  CalcCase far(3, 50);
  far.observation->gtis->count = 0;
  varto_calc(far.src, far.history, far.observation, far.set, h);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "\n\n");
  for (int i = 0; i < h->count; ++i) EXPECT_EQ(h->weight[i], 0.0);
  free_ghist(h);
}

}  // namespace
}  // namespace varto_test
