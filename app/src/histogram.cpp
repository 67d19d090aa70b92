// Gain histogram: the binning loop that follows every source position through
// the aspect history, looks up the gain it met and adds the interval's good time
// to the bin of that gain, with per-bin position sums and time filters.
#include <immintrin.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "app/varto.h"
#include "app/varto_reference.h"
#include "interp_int.h"
#include "util/util.h"

namespace {

constexpr int kTimeFilterCapacity = 100;
constexpr double kTimeTolerance = 0.5;  // seconds between ranges that still join
constexpr int kOffGrid = -2;            // bin of a sample off the gain-map grid
constexpr int kExact = -3;              // bin the quotients must decide (near an edge)
constexpr int kNoGain = -4;             // bin of a sample whose gain is not a number
constexpr int kOutside = -1;            // bin of a gain in bin 0 or outside the bins
constexpr int kMaxThreads = 256;

// Adds one sample to bin index of h (the index already checked). Shared by the
// public routine and the binning loop so that both add the same numbers in the
// same order.
inline void add_sample(int i, double w, double t0, double t1, double detx, double dety,
                       const double* p, ghist* h, int npos) {
  h->weight[i] += w;
  if (h->first_start[i] < 1 || t0 < h->first_start[i]) h->first_start[i] = t0;
  if (t1 > h->last_stop[i]) h->last_stop[i] = t1;
  if (npos == 1) {
    if (h->time_filter[i] == nullptr) h->time_filter[i] = alloc_gti(kTimeFilterCapacity);
    accum_time_filter(t0, t1, h->time_filter[i]);
  }
  h->sum_detx[i] += w * detx;
  h->sum_dety[i] += w * dety;
  h->sum_detx2[i] += w * detx * detx;
  h->sum_dety2[i] += w * dety * dety;
  const int n = h->count;
  for (int m = 0; m < 3; ++m) {
    h->sum_asp[m * n + i] += w * p[m];
    h->sum_asp2[m * n + i] += w * p[m] * p[m];
  }
}

// Bin of gain g in count bins of width from low, or kOutside (-1) when it falls
// in bin 0, below it, at or above the top edge, or is not a number. Bin 0 never
// receives weight.
inline int bin_index(double g, double low, double width, int count) {
  const double q = (g - low) / width;
  if (q >= 1.0 && q < count) return static_cast<int>(q);
  return -1;
}

// The bin of the gain interpolated in time, ((after g0 + before g1) / span), as
// bin_index would find it, with multiplications by reciprocals in place of the
// two divisions. Only the bin is needed, not the gain. The product form differs
// from the quotients by a few rounding errors, under 1e-15 of (|g| + |low|) /
// width; when it lands closer than a far larger tolerance to a bin edge the
// quotients are worked out exactly instead, so the bin is always theirs.
struct BinFinder {
  double low;
  double abs_low;
  double width;
  double inv_width;
  int count;

  static constexpr double kRelativeTolerance = 1.0e-12;
  static constexpr double kTolerance = 1.0e-9;

  explicit BinFinder(const ghist* h)
      : low(h->low),
        abs_low(std::fabs(h->low)),
        width(h->width),
        inv_width(1.0 / h->width),
        count(h->count) {}

  int exact(double g) const { return bin_index(g, low, width, count); }

  // The bin from the products, or kExact when it lies near an edge (or is not
  // a number) and the quotients must decide it.
  int guess(double weighted_sum, double inv_span) const {
    const double g = weighted_sum * inv_span;
    const double q = (g - low) * inv_width;
    const double tol = kTolerance + kRelativeTolerance * (std::fabs(g) + abs_low) * inv_width;
    if (q >= 1.0 + tol && q < count - tol) {
      const int i = static_cast<int>(q);
      const double frac = q - i;
      if (frac > tol && frac < 1.0 - tol) return i;
    } else if (q < 1.0 - tol || q >= count + tol) {
      return -1;
    }
    return kExact;
  }
};

// Aspect interval k, [t0, t1], with its good time dt, its aspect vector p and
// the MJD of its start: the whole interval is charged to its start.
struct Interval {
  double t0;
  double t1;
  double dt;
  double mjd;
  const double* p;
};

Interval interval_at(const asp* history, const obs* observation, int k) {
  const double t0 = history->times[k];
  const double t1 = history->times[k + 1];
  return Interval{t0, t1, in_gti(t0, t1, observation->gtis),
                  sc_time_to_mjd(t0, observation->mjdref), history->offsets[k]};
}

// The aspect intervals used, in order: their good time summed, and their time
// ranges kept for the coverage of the good time, neighbours joined as they come
// (aspect times usually run forward without gaps, so few ranges are kept).
class UsedTime {
 public:
  void add(double t0, double t1, double dt) {
    total_ += dt;
    if (!starts_.empty() && t0 >= starts_.back() && t0 <= stops_.back()) {
      stops_.back() = std::max(stops_.back(), t1);
      return;
    }
    starts_.push_back(t0);
    stops_.push_back(t1);
  }

  // Fills the ledger's aspect time and coverage of the good time intervals.
  void finish(const gti* good, ghist* h) const {
    h->asp_time = total_;
    gti* used = alloc_gti(static_cast<int>(starts_.size()));
    std::copy(starts_.begin(), starts_.end(), used->starts);
    std::copy(stops_.begin(), stops_.end(), used->stops);
    used->count = used->capacity;
    const double covered = covered_good_time(used, good);
    free_gti(used);
    h->noasp_time = sum_gti(good) - covered;
    h->dup_time = total_ - covered;
  }

 private:
  double total_ = 0.0;
  std::vector<double> starts_;
  std::vector<double> stops_;
};

}  // namespace

namespace {

// The owner of a histogram's arrays: alloc_ghist hands out its ghist part, whose
// pointers lead into the vectors here, and free_ghist deletes the whole.
struct GhistStore : ghist {
  std::vector<double> weight_;
  std::vector<double> first_start_;
  std::vector<double> last_stop_;
  std::vector<gti*> time_filter_;
  std::vector<double> sum_detx_;
  std::vector<double> sum_dety_;
  std::vector<double> sum_asp_;
  std::vector<double> sum_detx2_;
  std::vector<double> sum_dety2_;
  std::vector<double> sum_asp2_;

  // Every array has at least one slot, so that no pointer is null.
  explicit GhistStore(int n)
      : weight_(slots(n)),
        first_start_(slots(n)),
        last_stop_(slots(n)),
        time_filter_(slots(n), nullptr),
        sum_detx_(slots(n)),
        sum_dety_(slots(n)),
        sum_asp_(3 * slots(n)),
        sum_detx2_(slots(n)),
        sum_dety2_(slots(n)),
        sum_asp2_(3 * slots(n)) {
    count = n > 0 ? n : 0;
    weight = weight_.data();
    first_start = first_start_.data();
    last_stop = last_stop_.data();
    time_filter = time_filter_.data();
    sum_detx = sum_detx_.data();
    sum_dety = sum_dety_.data();
    sum_asp = sum_asp_.data();
    sum_detx2 = sum_detx2_.data();
    sum_dety2 = sum_dety2_.data();
    sum_asp2 = sum_asp2_.data();
  }
  ~GhistStore() {
    for (gti* filter : time_filter_) free_gti(filter);
  }
  GhistStore(const GhistStore&) = delete;
  GhistStore& operator=(const GhistStore&) = delete;

  static std::size_t slots(int n) { return static_cast<std::size_t>(n > 0 ? n : 1); }
};

}  // namespace

ghist* alloc_ghist(int n) { return new GhistStore(n); }

void free_ghist(ghist* h) { delete static_cast<GhistStore*>(h); }

int ghist_bins(const double* spec) {
  const double first = spec[0];
  const double last = spec[1];
  const double width = spec[2];
  if (!std::isfinite(first) || !std::isfinite(last) || !std::isfinite(width)) return 0;
  if (width <= 0.0 || last < first) return 0;
  // From the outer edges, in this order, truncated: the table's row count for a
  // given vector must never change between releases.
  const double bins = ((last + width / 2) - (first - width / 2)) / width + 1;
  return bins < static_cast<double>(GHIST_MAX_BINS) + 1 ? static_cast<int>(bins) : 0;
}

ghist* ghset(const double* spec) {
  const int n = ghist_bins(spec);
  // A vector that gives no count (refused earlier by the driver) makes a
  // histogram of one bin, which never receives weight.
  ghist* h = alloc_ghist(n > 0 ? n : 1);
  h->width = spec[2];
  h->low = spec[0] - spec[2] / 2;
  return h;
}

double sc_time_to_mjd(double seconds, double mjdref) { return seconds / 86400.0 + mjdref; }

double psqrt(double x) { return x > 0 ? std::sqrt(x) : 0.0; }

void unaspect(double x, double y, double x0, double y0, const double* p, double* detx,
              double* dety) {
  double rx = 0.0;
  double ry = 0.0;
  rotate2_d(x - x0 - p[0], y - y0 - p[1], p[2], &rx, &ry);
  *detx = x0 + rx;
  *dety = y0 + ry;
}

void accum_time_filter(double t0, double t1, gti* list) {
  const int n = list->count;
  if (n == 0) {
    list->starts[0] = t0;
    list->stops[0] = t1;
    list->count = 1;
    return;
  }
  const double end = list->stops[n - 1];
  if (t0 > end + kTimeTolerance) {
    // A full list keeps its size: the newest range replaces the last one.
    const int slot = n < list->capacity ? n : n - 1;
    list->starts[slot] = t0;
    list->stops[slot] = t1;
    list->count = slot + 1;
  } else if (t0 < end - kTimeTolerance) {
    tmsg("Warning: times not consecutive");
  } else {
    list->stops[n - 1] = t1;
  }
}

void varto_accumulate_histogram(double g, double w, double t0, double t1, double detx, double dety,
                                const double* p, ghist* h, int npos) {
  const int i = bin_index(g, h->low, h->width, h->count);
  if (i < 0) return;
  add_sample(i, w, t0, t1, detx, dety, p, h, npos);
}

void calc_plain(const source* src, const asp* history, const obs* observation, const gain_data* set,
                ghist* h) {
  const int npos = src->count;
  UsedTime used;
  for (int k = 0; k + 1 < history->count; ++k) {
    const auto [t0, t1, dt, mjd, p] = interval_at(history, observation, k);
    if (dt <= 0) continue;
    int binned = 0;
    for (int j = 0; j < npos; ++j) {
      double detx = 0.0;
      double dety = 0.0;
      unaspect(src->xs[j], src->ys[j], observation->x0, observation->y0, p, &detx, &dety);
      const double g = do_interp(set, mjd, detx, dety);
      if (dbg_level(2)) {
        char line[320];
        std::snprintf(line, sizeof line,
                      "%d %12.4f %12.4f %12.4f %12.4f %12.4f %10.4f %10.4f %8.4f %f %f\n", k, detx,
                      dety, detx, dety, p[0], p[1], p[2], g, t0, mjd);
        dmsg(2, line);
      }
      const double w = dt / npos;
      if (off_grid(detx, dety)) {
        ++h->off_count;
        h->off_time += w;
        continue;
      }
      if (!std::isfinite(g)) {
        ++h->nogain_count;
        h->nogain_time += w;
        continue;
      }
      const int i = bin_index(g, h->low, h->width, h->count);
      if (i < 0) {
        ++h->outside_count;
        h->outside_time += w;
        continue;
      }
      add_sample(i, w, t0, t1, detx, dety, p, h, npos);
      ++binned;
    }
    h->hist_time += binned * (dt / npos);
    used.add(t0, t1, dt);
  }
  used.finish(observation->gtis, h);
}

namespace {

// What depends only on the aspect interval, worked out once per interval and
// kept in one streaming array per block: the times and the weight, the
// rotation, the pair of maps and its time weights.
struct Step {
  double t0;
  double t1;
  double dt;  // good time of the interval
  double w;   // good time shared among the positions
  double px;  // aspect offset X, Y
  double py;
  double cos_r;  // cos and sin of the roll, as the rotation computes them
  double sin_r;
  double after;   // weight of the earlier map
  double before;  // weight of the later map
  double span;
  double inv_span;
  const double* map0;
  const double* map1;
  const double* p;  // the aspect vector, for the sums
  bool same_time;   // the two maps share one time: their mean
  bool crosses_step;
};

// Fills step for interval k; false when the interval has no good time. Stops
// the run (check_calibrated_period) when its time is outside the calibrated
// period.
bool make_step(const asp* history, const obs* observation, const gain_data* set, int npos, int k,
               Step* step) {
  const auto [t0, t1, dt, mjd, p] = interval_at(history, observation, k);
  if (dt <= 0) return false;
  check_calibrated_period(set, mjd);
  bool crosses_step = false;
  const int km =
      select_map_pair(mjd, set->times, set->count, set->steps, set->step_count, &crosses_step);
  const double* map0 = set->maps + static_cast<std::size_t>(km - 1) * GAIN_MAP_SIZE;
  const double tm0 = set->times[km - 1];
  const double tm1 = set->times[km];
  double cos_r = 0.0;
  double sin_r = 0.0;
  rotate2_d(1.0, 0.0, p[2], &cos_r, &sin_r);
  *step = Step{t0,          t1,
               dt,          dt / npos,
               p[0],        p[1],
               cos_r,       sin_r,
               tm1 - mjd,   mjd - tm0,
               tm1 - tm0,   1.0 / (tm1 - tm0),
               map0,        map0 + GAIN_MAP_SIZE,
               p,           tm0 == tm1,
               crosses_step};
  return true;
}

// The fixed layout of the sources: positions relative to the detector centre.
struct Geometry {
  double x0;
  double y0;
  std::vector<double> rel_x;
  std::vector<double> rel_y;
};

// The detector position and bin of positions [first, npos) in one interval:
// the arithmetic of unaspect, interp_gain and lint_d, term for term. Off-grid
// positions are looked up at the clamped edge and marked kOffGrid; bins too near
// an edge for the product form are marked kExact and settled by the caller from
// wsum.
void locate_scalar(const Step& s, const BinFinder& bins, const Geometry& geo, int first, int npos,
                   double* det_x, double* det_y, int* bin, double* wsum) {
  for (int j = first; j < npos; ++j) {
    const double dx = geo.rel_x[j] - s.px;
    const double dy = geo.rel_y[j] - s.py;
    const double detx = geo.x0 + (dx * s.cos_r - dy * s.sin_r);
    const double dety = geo.y0 + (dx * s.sin_r + dy * s.cos_r);
    det_x[j] = detx;
    det_y[j] = dety;
    const GridPoint gp = grid_point(detx / 256.0, dety / 256.0);
    const double sum = s.after * bilinear(s.map0, gp) + s.before * bilinear(s.map1, gp);
    wsum[j] = sum;
    const int i = bins.guess(sum, s.inv_span);
    bin[j] = off_grid(detx, dety) ? kOffGrid : i;
  }
}

// The bilinear interpolation of four positions in one map: cells gathered at
// the lower corners cell, weighted as bilinear weights them, summed in its order.
__attribute__((target("avx2"), always_inline)) inline __m256d bilinear_avx2(
    const double* map, __m128i cell, __m256d wa, __m256d wb, __m256d wc, __m256d wd) {
  // Gathers that keep every lane (the unmasked form trips a false warning of GCC 12).
  const __m256d zero = _mm256_setzero_pd();
  const __m256d all = _mm256_castsi256_pd(_mm256_set1_epi64x(-1));
  const __m256d a = _mm256_mask_i32gather_pd(zero, map, cell, all, 8);
  const __m256d b = _mm256_mask_i32gather_pd(zero, map + GAIN_MAP_SIDE, cell, all, 8);
  const __m256d c = _mm256_mask_i32gather_pd(zero, map + GAIN_MAP_SIDE + 1, cell, all, 8);
  const __m256d d = _mm256_mask_i32gather_pd(zero, map + 1, cell, all, 8);
  return _mm256_add_pd(_mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(wa, a), _mm256_mul_pd(wb, b)),
                                     _mm256_mul_pd(wc, c)),
                       _mm256_mul_pd(wd, d));
}

// The same, four positions at a time with AVX2 (the map cells gathered); the
// same operations in the same order on each lane, without fused multiply-adds,
// so every number equals the scalar one. Does positions from first on, four at
// a time, and returns the first it left.
__attribute__((target("avx2"))) int locate_avx2(const Step& s, const BinFinder& bins,
                                                const Geometry& geo, int first, int npos,
                                                double* det_x, double* det_y, int* bin,
                                                double* wsum) {
  const __m256d x0 = _mm256_set1_pd(geo.x0);
  const __m256d y0 = _mm256_set1_pd(geo.y0);
  const __m256d px = _mm256_set1_pd(s.px);
  const __m256d py = _mm256_set1_pd(s.py);
  const __m256d cos_r = _mm256_set1_pd(s.cos_r);
  const __m256d sin_r = _mm256_set1_pd(s.sin_r);
  const __m256d after = _mm256_set1_pd(s.after);
  const __m256d before = _mm256_set1_pd(s.before);
  const __m256d inv_span = _mm256_set1_pd(s.inv_span);
  const __m256d low = _mm256_set1_pd(bins.low);
  const __m256d abs_low = _mm256_set1_pd(bins.abs_low);
  const __m256d inv_width = _mm256_set1_pd(bins.inv_width);
  const __m256d count = _mm256_set1_pd(static_cast<double>(bins.count));
  const __m256d one = _mm256_set1_pd(1.0);
  const __m256d top = _mm256_set1_pd(32.0);
  const __m256d grid_scale = _mm256_set1_pd(1.0 / 256.0);  // exact: a power of two
  const __m256d det_low = _mm256_set1_pd(256.0);
  const __m256d det_high = _mm256_set1_pd(8192.0);
  const __m256d sign = _mm256_set1_pd(-0.0);
  const __m256d abs_tol = _mm256_set1_pd(BinFinder::kTolerance);
  const __m256d rel_tol = _mm256_set1_pd(BinFinder::kRelativeTolerance);
  const __m256d mark_exact = _mm256_set1_pd(kExact);
  const __m256d mark_none = _mm256_set1_pd(-1.0);
  const __m256d mark_off = _mm256_set1_pd(kOffGrid);
  const __m128i last_cell = _mm_set1_epi32(GAIN_MAP_SIDE - 1);
  const __m128i corner = _mm_set1_epi32(GAIN_MAP_SIDE + 1);
  const double* map0 = s.map0;
  const double* map1 = s.map1;
  int j = first;
  for (; j + 4 <= npos; j += 4) {
    const __m256d dx = _mm256_sub_pd(_mm256_loadu_pd(&geo.rel_x[j]), px);
    const __m256d dy = _mm256_sub_pd(_mm256_loadu_pd(&geo.rel_y[j]), py);
    const __m256d detx =
        _mm256_add_pd(x0, _mm256_sub_pd(_mm256_mul_pd(dx, cos_r), _mm256_mul_pd(dy, sin_r)));
    const __m256d dety =
        _mm256_add_pd(y0, _mm256_add_pd(_mm256_mul_pd(dx, sin_r), _mm256_mul_pd(dy, cos_r)));
    _mm256_storeu_pd(det_x + j, detx);
    _mm256_storeu_pd(det_y + j, dety);
    __m256d gx = _mm256_mul_pd(detx, grid_scale);
    __m256d gy = _mm256_mul_pd(dety, grid_scale);
    // Kept on the grid: below 1 (or not a number) becomes 1, above 32 becomes 32.
    gx = _mm256_blendv_pd(one, gx, _mm256_cmp_pd(gx, one, _CMP_GE_OQ));
    gy = _mm256_blendv_pd(one, gy, _mm256_cmp_pd(gy, one, _CMP_GE_OQ));
    gx = _mm256_blendv_pd(gx, top, _mm256_cmp_pd(gx, top, _CMP_GT_OQ));
    gy = _mm256_blendv_pd(gy, top, _mm256_cmp_pd(gy, top, _CMP_GT_OQ));
    const __m128i ix = _mm_min_epi32(_mm256_cvttpd_epi32(gx), last_cell);
    const __m128i iy = _mm_min_epi32(_mm256_cvttpd_epi32(gy), last_cell);
    const __m256d fx = _mm256_sub_pd(gx, _mm256_cvtepi32_pd(ix));
    const __m256d fy = _mm256_sub_pd(gy, _mm256_cvtepi32_pd(iy));
    const __m128i cell = _mm_sub_epi32(_mm_add_epi32(_mm_slli_epi32(ix, 5), iy), corner);
    const __m256d gx1 = _mm256_sub_pd(one, fx);
    const __m256d gy1 = _mm256_sub_pd(one, fy);
    const __m256d wa = _mm256_mul_pd(gx1, gy1);
    const __m256d wb = _mm256_mul_pd(fx, gy1);
    const __m256d wc = _mm256_mul_pd(fx, fy);
    const __m256d wd = _mm256_mul_pd(gx1, fy);
    const __m256d sum =
        _mm256_add_pd(_mm256_mul_pd(after, bilinear_avx2(map0, cell, wa, wb, wc, wd)),
                      _mm256_mul_pd(before, bilinear_avx2(map1, cell, wa, wb, wc, wd)));
    _mm256_storeu_pd(wsum + j, sum);
    const __m256d g = _mm256_mul_pd(sum, inv_span);
    const __m256d q = _mm256_mul_pd(_mm256_sub_pd(g, low), inv_width);
    const __m256d tol = _mm256_add_pd(
        abs_tol,
        _mm256_mul_pd(_mm256_mul_pd(rel_tol, _mm256_add_pd(_mm256_andnot_pd(sign, g), abs_low)),
                      inv_width));
    const __m256d inside = _mm256_and_pd(_mm256_cmp_pd(q, _mm256_add_pd(one, tol), _CMP_GE_OQ),
                                         _mm256_cmp_pd(q, _mm256_sub_pd(count, tol), _CMP_LT_OQ));
    const __m256d qi = _mm256_blendv_pd(one, q, inside);
    const __m256d whole = _mm256_cvtepi32_pd(_mm256_cvttpd_epi32(qi));
    const __m256d frac = _mm256_sub_pd(qi, whole);
    const __m256d clear = _mm256_and_pd(
        inside, _mm256_and_pd(_mm256_cmp_pd(frac, tol, _CMP_GT_OQ),
                              _mm256_cmp_pd(frac, _mm256_sub_pd(one, tol), _CMP_LT_OQ)));
    const __m256d outside = _mm256_or_pd(_mm256_cmp_pd(q, _mm256_sub_pd(one, tol), _CMP_LT_OQ),
                                         _mm256_cmp_pd(q, _mm256_add_pd(count, tol), _CMP_GE_OQ));
    const __m256d on = _mm256_and_pd(_mm256_and_pd(_mm256_cmp_pd(detx, det_low, _CMP_GE_OQ),
                                                   _mm256_cmp_pd(detx, det_high, _CMP_LT_OQ)),
                                     _mm256_and_pd(_mm256_cmp_pd(dety, det_low, _CMP_GE_OQ),
                                                   _mm256_cmp_pd(dety, det_high, _CMP_LT_OQ)));
    const __m256d settled =
        _mm256_blendv_pd(_mm256_blendv_pd(mark_exact, mark_none, outside), whole, clear);
    const __m256d result = _mm256_blendv_pd(mark_off, settled, on);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(bin + j), _mm256_cvttpd_epi32(result));
  }
  return j;
}

// Conversions that keep every lane (the unmasked forms trip a false warning of
// GCC 12, as the gathers do).
__attribute__((target("avx512f"), always_inline)) inline __m256i to_int32(__m512d x) {
  return _mm512_mask_cvttpd_epi32(_mm256_setzero_si256(), 0xFF, x);
}

__attribute__((target("avx512f"), always_inline)) inline __m512d to_double(__m256i x) {
  return _mm512_mask_cvtepi32_pd(_mm512_setzero_pd(), 0xFF, x);
}

// bilinear_avx2 for eight positions.
__attribute__((target("avx512f"), always_inline)) inline __m512d bilinear_avx512(
    const double* map, __m256i cell, __m512d wa, __m512d wb, __m512d wc, __m512d wd) {
  const __m512d a = _mm512_mask_i32gather_pd(_mm512_setzero_pd(), 0xFF, cell, map, 8);
  const __m512d b =
      _mm512_mask_i32gather_pd(_mm512_setzero_pd(), 0xFF, cell, map + GAIN_MAP_SIDE, 8);
  const __m512d c =
      _mm512_mask_i32gather_pd(_mm512_setzero_pd(), 0xFF, cell, map + GAIN_MAP_SIDE + 1, 8);
  const __m512d d = _mm512_mask_i32gather_pd(_mm512_setzero_pd(), 0xFF, cell, map + 1, 8);
  return _mm512_add_pd(_mm512_add_pd(_mm512_add_pd(_mm512_mul_pd(wa, a), _mm512_mul_pd(wb, b)),
                                     _mm512_mul_pd(wc, c)),
                       _mm512_mul_pd(wd, d));
}

// The same eight positions at a time with AVX-512: the same operations in the
// same order on each lane, so every number equals the scalar one. Returns how
// many positions it did.
__attribute__((target("avx512f"))) int locate_avx512(const Step& s, const BinFinder& bins,
                                                     const Geometry& geo, int npos, double* det_x,
                                                     double* det_y, int* bin, double* wsum) {
  const __m512d x0 = _mm512_set1_pd(geo.x0);
  const __m512d y0 = _mm512_set1_pd(geo.y0);
  const __m512d px = _mm512_set1_pd(s.px);
  const __m512d py = _mm512_set1_pd(s.py);
  const __m512d cos_r = _mm512_set1_pd(s.cos_r);
  const __m512d sin_r = _mm512_set1_pd(s.sin_r);
  const __m512d after = _mm512_set1_pd(s.after);
  const __m512d before = _mm512_set1_pd(s.before);
  const __m512d inv_span = _mm512_set1_pd(s.inv_span);
  const __m512d low = _mm512_set1_pd(bins.low);
  const __m512d abs_low = _mm512_set1_pd(bins.abs_low);
  const __m512d inv_width = _mm512_set1_pd(bins.inv_width);
  const __m512d count = _mm512_set1_pd(static_cast<double>(bins.count));
  const __m512d one = _mm512_set1_pd(1.0);
  const __m512d top = _mm512_set1_pd(32.0);
  const __m512d grid_scale = _mm512_set1_pd(1.0 / 256.0);  // exact: a power of two
  const __m512d det_low = _mm512_set1_pd(256.0);
  const __m512d det_high = _mm512_set1_pd(8192.0);
  const __m512d abs_tol = _mm512_set1_pd(BinFinder::kTolerance);
  const __m512d rel_tol = _mm512_set1_pd(BinFinder::kRelativeTolerance);
  const __m512d mark_exact = _mm512_set1_pd(kExact);
  const __m512d mark_none = _mm512_set1_pd(-1.0);
  const __m512d mark_off = _mm512_set1_pd(kOffGrid);
  const __m256i last_cell = _mm256_set1_epi32(GAIN_MAP_SIDE - 1);
  const __m256i corner = _mm256_set1_epi32(GAIN_MAP_SIDE + 1);
  const double* map0 = s.map0;
  const double* map1 = s.map1;

  int j = 0;
  for (; j + 8 <= npos; j += 8) {
    const __m512d dx = _mm512_sub_pd(_mm512_loadu_pd(&geo.rel_x[j]), px);
    const __m512d dy = _mm512_sub_pd(_mm512_loadu_pd(&geo.rel_y[j]), py);
    const __m512d detx =
        _mm512_add_pd(x0, _mm512_sub_pd(_mm512_mul_pd(dx, cos_r), _mm512_mul_pd(dy, sin_r)));
    const __m512d dety =
        _mm512_add_pd(y0, _mm512_add_pd(_mm512_mul_pd(dx, sin_r), _mm512_mul_pd(dy, cos_r)));
    _mm512_storeu_pd(det_x + j, detx);
    _mm512_storeu_pd(det_y + j, dety);
    __m512d gx = _mm512_mul_pd(detx, grid_scale);
    __m512d gy = _mm512_mul_pd(dety, grid_scale);
    // Kept on the grid: below 1 (or not a number) becomes 1, above 32 becomes 32.
    gx = _mm512_mask_blend_pd(_mm512_cmp_pd_mask(gx, one, _CMP_GE_OQ), one, gx);
    gy = _mm512_mask_blend_pd(_mm512_cmp_pd_mask(gy, one, _CMP_GE_OQ), one, gy);
    gx = _mm512_mask_blend_pd(_mm512_cmp_pd_mask(gx, top, _CMP_GT_OQ), gx, top);
    gy = _mm512_mask_blend_pd(_mm512_cmp_pd_mask(gy, top, _CMP_GT_OQ), gy, top);
    const __m256i ix = _mm256_min_epi32(to_int32(gx), last_cell);
    const __m256i iy = _mm256_min_epi32(to_int32(gy), last_cell);
    const __m512d fx = _mm512_sub_pd(gx, to_double(ix));
    const __m512d fy = _mm512_sub_pd(gy, to_double(iy));
    const __m256i cell = _mm256_sub_epi32(_mm256_add_epi32(_mm256_slli_epi32(ix, 5), iy), corner);
    const __m512d gx1 = _mm512_sub_pd(one, fx);
    const __m512d gy1 = _mm512_sub_pd(one, fy);
    const __m512d wa = _mm512_mul_pd(gx1, gy1);
    const __m512d wb = _mm512_mul_pd(fx, gy1);
    const __m512d wc = _mm512_mul_pd(fx, fy);
    const __m512d wd = _mm512_mul_pd(gx1, fy);
    const __m512d sum =
        _mm512_add_pd(_mm512_mul_pd(after, bilinear_avx512(map0, cell, wa, wb, wc, wd)),
                      _mm512_mul_pd(before, bilinear_avx512(map1, cell, wa, wb, wc, wd)));
    _mm512_storeu_pd(wsum + j, sum);
    const __m512d g = _mm512_mul_pd(sum, inv_span);
    const __m512d q = _mm512_mul_pd(_mm512_sub_pd(g, low), inv_width);
    const __m512d tol = _mm512_add_pd(
        abs_tol,
        _mm512_mul_pd(_mm512_mul_pd(rel_tol, _mm512_add_pd(_mm512_abs_pd(g), abs_low)), inv_width));
    const __mmask8 inside = _mm512_cmp_pd_mask(q, _mm512_add_pd(one, tol), _CMP_GE_OQ) &
                            _mm512_cmp_pd_mask(q, _mm512_sub_pd(count, tol), _CMP_LT_OQ);
    const __m512d qi = _mm512_mask_blend_pd(inside, one, q);
    const __m512d whole = to_double(to_int32(qi));
    const __m512d frac = _mm512_sub_pd(qi, whole);
    const __mmask8 clear = inside & _mm512_cmp_pd_mask(frac, tol, _CMP_GT_OQ) &
                           _mm512_cmp_pd_mask(frac, _mm512_sub_pd(one, tol), _CMP_LT_OQ);
    const __mmask8 outside = _mm512_cmp_pd_mask(q, _mm512_sub_pd(one, tol), _CMP_LT_OQ) |
                             _mm512_cmp_pd_mask(q, _mm512_add_pd(count, tol), _CMP_GE_OQ);
    const __mmask8 on = _mm512_cmp_pd_mask(detx, det_low, _CMP_GE_OQ) &
                        _mm512_cmp_pd_mask(detx, det_high, _CMP_LT_OQ) &
                        _mm512_cmp_pd_mask(dety, det_low, _CMP_GE_OQ) &
                        _mm512_cmp_pd_mask(dety, det_high, _CMP_LT_OQ);
    const __m512d settled =
        _mm512_mask_blend_pd(clear, _mm512_mask_blend_pd(outside, mark_exact, mark_none), whole);
    const __m512d result = _mm512_mask_blend_pd(on, mark_off, settled);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(bin + j), to_int32(result));
  }
  return j;
}

// Detector positions and bins of one interval: a bin, or kOffGrid, kNoGain or
// kOutside.
void locate(const Step& s, const BinFinder& bins, const Geometry& geo, int npos, double* det_x,
            double* det_y, int* bin, double* wsum) {
  if (s.same_time) {
    for (int j = 0; j < npos; ++j) {
      const double detx =
          geo.x0 + ((geo.rel_x[j] - s.px) * s.cos_r - (geo.rel_y[j] - s.py) * s.sin_r);
      const double dety =
          geo.y0 + ((geo.rel_x[j] - s.px) * s.sin_r + (geo.rel_y[j] - s.py) * s.cos_r);
      const GridPoint gp = grid_point(detx / 256.0, dety / 256.0);
      det_x[j] = detx;
      det_y[j] = dety;
      const double g = (bilinear(s.map0, gp) + bilinear(s.map1, gp)) / 2;
      bin[j] = off_grid(detx, dety) ? kOffGrid : std::isfinite(g) ? bins.exact(g) : kNoGain;
    }
    return;
  }
  // The widest lookups this processor offers, then the scalar ones for the tail.
  static const bool use_avx512 = __builtin_cpu_supports("avx512f");
  static const bool use_avx2 = __builtin_cpu_supports("avx2");
  int done = 0;
  if (use_avx512) done = locate_avx512(s, bins, geo, npos, det_x, det_y, bin, wsum);
  if (use_avx2) done = locate_avx2(s, bins, geo, done, npos, det_x, det_y, bin, wsum);
  locate_scalar(s, bins, geo, done, npos, det_x, det_y, bin, wsum);
  // Near an edge the quotient decides; a gain that is not a number is told
  // from one outside the bins.
  for (int j = 0; j < npos; ++j) {
    if (bin[j] != kExact && bin[j] != kOutside) continue;
    const double g = wsum[j] / s.span;
    if (!std::isfinite(g)) {
      bin[j] = kNoGain;
    } else if (bin[j] == kExact) {
      bin[j] = bins.exact(g);
    }
  }
}

// The sums of one bin while the samples stay in it, paired in SSE2 registers
// (part of every x86-64 processor): each lane is its own sum and receives the
// same addends in the same order as through add_sample.
struct PairedSums {
  __m128d det;         // sum_detx, sum_dety
  __m128d det2;        // sum_detx2, sum_dety2
  __m128d weight_asp;  // weight, sum_asp[0]
  __m128d asp;         // sum_asp[1], sum_asp[2]
  __m128d asp2;        // sum_asp2[0], sum_asp2[1]
  double asp2_last;    // sum_asp2[2]
  double first_start;
  double last_stop;

  void load(const ghist* h, int i) {
    const int n = h->count;
    det = _mm_set_pd(h->sum_dety[i], h->sum_detx[i]);
    det2 = _mm_set_pd(h->sum_dety2[i], h->sum_detx2[i]);
    weight_asp = _mm_set_pd(h->sum_asp[i], h->weight[i]);
    asp = _mm_set_pd(h->sum_asp[2 * n + i], h->sum_asp[n + i]);
    asp2 = _mm_set_pd(h->sum_asp2[n + i], h->sum_asp2[i]);
    asp2_last = h->sum_asp2[2 * n + i];
    first_start = h->first_start[i];
    last_stop = h->last_stop[i];
  }

  void store(ghist* h, int i) const {
    const int n = h->count;
    _mm_storel_pd(&h->sum_detx[i], det);
    _mm_storeh_pd(&h->sum_dety[i], det);
    _mm_storel_pd(&h->sum_detx2[i], det2);
    _mm_storeh_pd(&h->sum_dety2[i], det2);
    _mm_storel_pd(&h->weight[i], weight_asp);
    _mm_storeh_pd(&h->sum_asp[i], weight_asp);
    _mm_storel_pd(&h->sum_asp[n + i], asp);
    _mm_storeh_pd(&h->sum_asp[2 * n + i], asp);
    _mm_storel_pd(&h->sum_asp2[i], asp2);
    _mm_storeh_pd(&h->sum_asp2[n + i], asp2);
    h->sum_asp2[2 * n + i] = asp2_last;
    h->first_start[i] = first_start;
    h->last_stop[i] = last_stop;
  }
};

// The bin sums being added to, carried from sample to sample while the samples
// stay in one bin, across intervals too: each sum still receives its addends
// one by one in interval and position order.
class Adder {
 public:
  explicit Adder(ghist* h) : h_(h) {}
  ~Adder() { flush(); }
  Adder(const Adder&) = delete;
  Adder& operator=(const Adder&) = delete;

  // Adds the samples of one interval that fall in a bin (bin >= 0).
  void add(const Step& s, const int* bin, const double* det_x, const double* det_y, int npos) {
    const double w = s.w;
    const double t0 = s.t0;
    const double t1 = s.t1;
    double wp[3];
    double wp2[3];
    for (int m = 0; m < 3; ++m) {
      wp[m] = w * s.p[m];
      wp2[m] = wp[m] * s.p[m];
    }
    const __m128d ww = _mm_set1_pd(w);
    const __m128d add_weight_asp = _mm_set_pd(wp[0], w);
    const __m128d add_asp = _mm_set_pd(wp[2], wp[1]);
    const __m128d add_asp2 = _mm_set_pd(wp2[1], wp2[0]);
    const double add_asp2_last = wp2[2];
    // Local copies, so that the sums stay in registers.
    PairedSums b = sums_;
    int current = current_;
    for (int j = 0; j < npos; ++j) {
      const int i = bin[j];
      if (i < 0) continue;
      if (i != current) {
        if (current >= 0) b.store(h_, current);
        b.load(h_, i);
        current = i;
      }
      const __m128d det = _mm_set_pd(det_y[j], det_x[j]);
      const __m128d wdet = _mm_mul_pd(ww, det);  // w * detx, w * dety
      b.det = _mm_add_pd(b.det, wdet);
      b.det2 = _mm_add_pd(b.det2, _mm_mul_pd(wdet, det));
      b.weight_asp = _mm_add_pd(b.weight_asp, add_weight_asp);
      b.asp = _mm_add_pd(b.asp, add_asp);
      b.asp2 = _mm_add_pd(b.asp2, add_asp2);
      b.asp2_last += add_asp2_last;
      if (b.first_start < 1 || t0 < b.first_start) b.first_start = t0;
      if (t1 > b.last_stop) b.last_stop = t1;
    }
    sums_ = b;
    current_ = current;
  }

  void flush() {
    if (current_ >= 0) sums_.store(h_, current_);
    current_ = -1;
  }

 private:
  ghist* h_;
  PairedSums sums_{};
  int current_ = -1;
};

// The ledger of one interval: the weight of each sample that went into no bin,
// by cause, one sample at a time as the plain loop adds it, and the weight of
// the binned ones.
void account(const Step& s, const int* bin, int npos, ghist* h) {
  int binned = 0;
  for (int j = 0; j < npos; ++j) {
    switch (bin[j]) {
      case kOffGrid:
        ++h->off_count;
        h->off_time += s.w;
        break;
      case kNoGain:
        ++h->nogain_count;
        h->nogain_time += s.w;
        break;
      case kOutside:
        ++h->outside_count;
        h->outside_time += s.w;
        break;
      default: ++binned;
    }
  }
  h->hist_time += binned * s.w;
}

// Threads to use: VARTO_THREADS when it is a positive number, else the cores
// this process may run on.
int thread_count() {
  const char* text = std::getenv("VARTO_THREADS");
  if (text != nullptr && *text != '\0') {
    char* end = nullptr;
    const long n = std::strtol(text, &end, 10);
    if (*end == '\0' && n >= 1) return n > kMaxThreads ? kMaxThreads : static_cast<int>(n);
  }
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int n = CPU_COUNT(&set);
    if (n >= 1) return n > kMaxThreads ? kMaxThreads : n;
  }
  return 1;
}

// A fixed crew of threads that run one job together and wait for each other:
// the calling thread is member 0, the others are started once and reused.
class Crew {
 public:
  explicit Crew(int size) : size_(size) {
    for (int t = 1; t < size; ++t) threads_.emplace_back([this, t] { serve(t); });
  }
  ~Crew() {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    start_.notify_all();
    for (std::thread& t : threads_) t.join();
  }
  Crew(const Crew&) = delete;
  Crew& operator=(const Crew&) = delete;

  int size() const { return size_; }

  // Runs job(member) on every member and returns when all have finished.
  void run(const std::function<void(int)>& job) {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      job_ = &job;
      pending_ = size_ - 1;
      ++generation_;
    }
    start_.notify_all();
    job(0);
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [this] { return pending_ == 0; });
  }

 private:
  void serve(int member) {
    long seen = 0;
    for (;;) {
      const std::function<void(int)>* job = nullptr;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        start_.wait(lock, [&] { return stop_ || generation_ != seen; });
        if (stop_) return;
        seen = generation_;
        job = job_;
      }
      (*job)(member);
      {
        const std::lock_guard<std::mutex> lock(mutex_);
        --pending_;
      }
      done_.notify_one();
    }
  }

  int size_;
  std::vector<std::thread> threads_;
  std::mutex mutex_;
  std::condition_variable start_;
  std::condition_variable done_;
  const std::function<void(int)>* job_ = nullptr;
  long generation_ = 0;
  int pending_ = 0;
  bool stop_ = false;
};

// One position: every interval in turn, its warning and its sample (with the
// time filter) before the next, as the plain loop.
void calc_one_position(const source* src, const asp* history, const obs* observation,
                       const gain_data* set, const BinFinder& bins, const Geometry& geo, ghist* h) {
  double det_x = 0.0;
  double det_y = 0.0;
  int bin = 0;
  double wsum = 0.0;
  UsedTime used;
  for (int k = 0; k + 1 < history->count; ++k) {
    Step s{};
    if (!make_step(history, observation, set, src->count, k, &s)) continue;
    used.add(s.t0, s.t1, s.dt);
    locate(s, bins, geo, 1, &det_x, &det_y, &bin, &wsum);
    account(s, &bin, 1, h);
    if (s.crosses_step) tmsg(kStepWarning);
    if (bin >= 0) add_sample(bin, s.w, s.t0, s.t1, det_x, det_y, s.p, h, 1);
  }
  used.finish(observation->gtis, h);
}

// Several positions, in blocks of intervals, as a pipeline. Before each round
// the calling thread works out the next block's interval constants in order (and
// writes the step warnings, which for several positions may all come before the
// sums). In the round, member 0 first adds the previous block, every sample into
// its bin in interval and position order, and then joins the others in locating
// the new block, a few intervals at a time as each member comes free. One member
// adds every sum in the plain loop's order, so which member located what never
// changes a number; the adding costs less than the locating, so it hides behind it.
void calc_positions(const source* src, const asp* history, const obs* observation,
                    const gain_data* set, const BinFinder& bins, const Geometry& geo, int threads,
                    ghist* h) {
  const int npos = src->count;
  // About a megabyte of positions and bins per block and member, at least 16 intervals.
  const int block = std::max(16, (1 << 16) / npos) * threads;
  const std::size_t cells = static_cast<std::size_t>(block) * static_cast<std::size_t>(npos);
  // Two of everything: one block being located while the one before it is added.
  struct Buffer {
    std::vector<Step> steps;
    std::vector<double> det_x;
    std::vector<double> det_y;
    std::vector<int> bin;
    int filled = 0;
  };
  Buffer buffers[2];
  for (Buffer& b : buffers) {
    b.steps.resize(static_cast<std::size_t>(block));
    b.det_x.resize(cells);
    b.det_y.resize(cells);
    b.bin.resize(cells);
  }
  std::vector<std::vector<double>> wsum(static_cast<std::size_t>(threads),
                                        std::vector<double>(static_cast<std::size_t>(npos)));
  Adder adder(h);
  const auto at = [npos](int n) {
    return static_cast<std::size_t>(n) * static_cast<std::size_t>(npos);
  };
  const auto add_block = [&](const Buffer& b) {
    for (int n = 0; n < b.filled; ++n) {
      adder.add(b.steps[n], &b.bin[at(n)], &b.det_x[at(n)], &b.det_y[at(n)], npos);
    }
    for (int n = 0; n < b.filled; ++n) account(b.steps[n], &b.bin[at(n)], npos, h);
  };
  // Intervals handed out per claim: few enough that the members finish together.
  constexpr int kClaim = 4;
  Buffer* locating = &buffers[0];
  const Buffer* adding = nullptr;
  std::atomic<int> next{0};
  const auto locate_claims = [&](int member) {
    Buffer& b = *locating;
    for (;;) {
      const int first = next.fetch_add(kClaim, std::memory_order_relaxed);
      if (first >= b.filled) return;
      const int last = std::min(first + kClaim, b.filled);
      for (int n = first; n < last; ++n) {
        locate(b.steps[n], bins, geo, npos, &b.det_x[at(n)], &b.det_y[at(n)], &b.bin[at(n)],
               wsum[member].data());
      }
    }
  };
  const std::function<void(int)> round = [&](int member) {
    if (member == 0 && adding != nullptr) add_block(*adding);
    locate_claims(member);
  };
  std::unique_ptr<Crew> crew;
  if (threads > 1) crew = std::make_unique<Crew>(threads);
  UsedTime used;
  int k = 0;
  while (k + 1 < history->count) {
    Buffer& b = *locating;
    b.filled = 0;
    for (; k + 1 < history->count && b.filled < block; ++k) {
      if (!make_step(history, observation, set, npos, k, &b.steps[b.filled])) continue;
      const Step& s = b.steps[b.filled];
      used.add(s.t0, s.t1, s.dt);
      if (s.crosses_step) {
        for (int j = 0; j < npos; ++j) tmsg(kStepWarning);
      }
      ++b.filled;
    }
    next.store(0, std::memory_order_relaxed);
    if (!crew) {
      // Alone: each block added as soon as it is located, while it is still in cache.
      locate_claims(0);
      add_block(b);
      continue;
    }
    crew->run(round);
    adding = locating;
    locating = locating == &buffers[0] ? &buffers[1] : &buffers[0];
  }
  if (adding != nullptr) add_block(*adding);
  adder.flush();
  used.finish(observation->gtis, h);
}

}  // namespace

void varto_calc(const source* src, const asp* history, const obs* observation, const gain_data* set,
                ghist* h) {
  tmsg(" ");
  if (src == nullptr || history == nullptr || observation == nullptr || h == nullptr) return;
  if (dbg_level(1)) {
    calc_plain(src, history, observation, set, h);
    return;
  }
  const int npos = src->count;
  if (npos <= 0) return;
  Geometry geo{observation->x0, observation->y0,
               std::vector<double>(static_cast<std::size_t>(npos)),
               std::vector<double>(static_cast<std::size_t>(npos))};
  for (int j = 0; j < npos; ++j) {
    geo.rel_x[j] = src->xs[j] - geo.x0;
    geo.rel_y[j] = src->ys[j] - geo.y0;
  }
  const BinFinder bins(h);
  if (npos == 1) {
    calc_one_position(src, history, observation, set, bins, geo, h);
    return;
  }
  const int threads = std::min(thread_count(), npos);
  calc_positions(src, history, observation, set, bins, geo, threads, h);
}

void varto_warn_exposure(const ghist* h) {
  if (h == nullptr) return;
  char line[160];
  const auto samples = [&](long count, double time, const char* what) {
    if (count <= 0) return;
    std::snprintf(line, sizeof line, "Warning: %ld samples %s (%.3f s of exposure not counted)",
                  count, what, time);
    tmsg(line);
  };
  samples(h->off_count, h->off_time, "off the detector");
  samples(h->nogain_count, h->nogain_time, "with no gain in the maps");
  samples(h->outside_count, h->outside_time, "outside the gain histogram");
  // Below half a millisecond the printed figure would be 0.000.
  constexpr double kShown = 0.0005;
  if (h->noasp_time >= kShown) {
    std::snprintf(line, sizeof line,
                  "Warning: %.3f s of good time not covered by the aspect history", h->noasp_time);
    tmsg(line);
  }
  if (h->dup_time >= kShown) {
    std::snprintf(line, sizeof line,
                  "Warning: %.3f s of good time counted more than once (aspect times run back)",
                  h->dup_time);
    tmsg(line);
  }
}
