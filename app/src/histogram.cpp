// Gain histogram: the binning loop that follows every source position through
// the aspect history, looks up the gain it met and adds the interval's good time
// to the bin of that gain, with per-bin position sums and time filters. Here are
// the histogram record, the plain loop, and the fast loop's interval constants,
// sums, ledger and pipeline; its lookups are in locate.cpp, its threads in
// crew.cpp.
#include <immintrin.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

#include "app/varto.h"
#include "app/varto_reference.h"
#include "crew.h"
#include "histogram_int.h"
#include "interp_int.h"
#include "locate.h"
#include "util/util.h"

namespace {

constexpr int kTimeFilterCapacity = 100;
constexpr double kTimeTolerance = 0.5;  // seconds between ranges that still join

// Adds one sample to bin index of h (the index already checked), given the
// products w detx, w dety, w detx detx and w dety dety. Shared by the public
// routine and the binning loops so that all add the same numbers in the same order.
inline void add_sample(int i, double w, double t0, double t1, double wdx, double wdy, double wdx2,
                       double wdy2, const double* p, ghist* h, int npos) {
  h->weight[i] += w;
  if (h->first_start[i] < 1 || t0 < h->first_start[i]) h->first_start[i] = t0;
  if (t1 > h->last_stop[i]) h->last_stop[i] = t1;
  if (npos == 1) {
    if (h->time_filter[i] == nullptr) h->time_filter[i] = alloc_gti(kTimeFilterCapacity);
    accum_time_filter(t0, t1, h->time_filter[i]);
  }
  h->sum_detx[i] += wdx;
  h->sum_dety[i] += wdy;
  h->sum_detx2[i] += wdx2;
  h->sum_dety2[i] += wdy2;
  const int n = h->count;
  for (int m = 0; m < 3; ++m) {
    h->sum_asp[m * n + i] += w * p[m];
    h->sum_asp2[m * n + i] += w * p[m] * p[m];
  }
}

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
  add_sample(i, w, t0, t1, w * detx, w * dety, w * detx * detx, w * dety * dety, p, h, npos);
}

int calc_plain(const source* src, const asp* history, const obs* observation, const gain_data* set,
               ghist* h) {
  const int npos = src->count;
  UsedTime used;
  for (int k = 0; k + 1 < history->count; ++k) {
    const auto [t0, t1, dt, mjd, p] = interval_at(history, observation, k);
    if (dt <= 0) continue;
    // Every lookup checks the period; the first one of an interval stops the run.
    if (npos > 0 && !check_calibrated_period(set, mjd)) return 1;
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
      add_sample(i, w, t0, t1, w * detx, w * dety, w * detx * detx, w * dety * dety, p, h, npos);
      ++binned;
    }
    h->hist_time += binned * (dt / npos);
    used.add(t0, t1, dt);
  }
  used.finish(observation->gtis, h);
  return 0;
}

namespace {

// The constants of interval k into step: false (step->good false) when the
// interval has no good time. Safe on any thread; the calibrated period is
// checked later, in interval order, by check_interval.
bool make_step(const asp* history, const obs* observation, const gain_data* set, MapPairs* pairs,
               int npos, int k, Step* step) {
  const auto [t0, t1, dt, mjd, p] = interval_at(history, observation, k);
  step->good = dt > 0;
  if (!step->good) return false;
  bool crosses_step = false;
  const int km =
      select_map_pair(mjd, set->times, set->count, set->steps, set->step_count, &crosses_step);
  double cos_r = 0.0;
  double sin_r = 0.0;
  rotate2_d(1.0, 0.0, p[2], &cos_r, &sin_r);
  *step = Step{};
  step->t0 = t0;
  step->t1 = t1;
  step->dt = dt;
  step->w = dt / npos;
  step->mjd = mjd;
  step->px = p[0];
  step->py = p[1];
  step->cos_r = cos_r;
  step->sin_r = sin_r;
  step->p = p;
  step->crosses_step = crosses_step;
  step->good = true;
  // Fewer than two maps leave no pair: check_interval stops the run.
  if (km < 1) return true;
  const double tm0 = set->times[km - 1];
  const double tm1 = set->times[km];
  step->after = tm1 - mjd;
  step->before = mjd - tm0;
  step->span = tm1 - tm0;
  step->inv_span = 1.0 / (tm1 - tm0);
  step->map0 = set->maps + static_cast<std::size_t>(km - 1) * GAIN_MAP_SIZE;
  step->map1 = step->map0 + GAIN_MAP_SIZE;
  step->pair = pairs->table(km);
  step->same_time = tm0 == tm1;
  return true;
}

// What the plain loop does for an interval before its sums, in interval order
// on the calling thread: stops the run when the interval lies outside the
// calibrated period, counts its time as used and writes its step warnings (one
// per position, as every lookup writes it).
bool check_interval(const Step& s, const gain_data* set, int npos, UsedTime* used) {
  if (!check_calibrated_period(set, s.mjd)) return false;
  used->add(s.t0, s.t1, s.dt);
  if (s.crosses_step) {
    for (int j = 0; j < npos; ++j) tmsg(kStepWarning);
  }
  return true;
}

// The ledger of one interval from its tally: the weight of each sample that
// went into no bin, by cause, one sample at a time as the plain loop adds it,
// and the weight of the binned ones.
void account(const Step& s, int npos, ghist* h) {
  const Tally& t = s.tally;
  h->off_count += t.off;
  for (int n = 0; n < t.off; ++n) h->off_time += s.w;
  h->nogain_count += t.nogain;
  for (int n = 0; n < t.nogain; ++n) h->nogain_time += s.w;
  h->outside_count += t.outside;
  for (int n = 0; n < t.outside; ++n) h->outside_time += s.w;
  const int binned = npos - t.off - t.nogain - t.outside;
  h->hist_time += binned * s.w;
}

// The sums of one bin: weight, sum_asp (3), sum_asp2 (3) and a spare, the
// position sums sum_detx, sum_dety, sum_detx2, sum_dety2, and the times.
struct alignas(64) BinRow {
  double fixed[8];
  double det[4];
  double first_start;
  double last_stop;
};

// The same times for every sample of an interval: once per bin is enough.
inline void touch(BinRow* r, double t0, double t1) {
  if (r->first_start < 1 || t0 < r->first_start) r->first_start = t0;
  if (t1 > r->last_stop) r->last_stop = t1;
}

// Adds the samples of one interval that fall in a bin (bin >= 0) to rows,
// the bin being added to carried in registers while the samples stay in it;
// fixed holds the addends that are the same for every sample of the interval.
// SSE2 (part of every x86-64 processor): the sums in pairs, each lane its own sum.
void add_rows_sse2(const Step& s, const Lookups& in, int npos, const double* fixed, BinRow* rows) {
  const __m128d c0 = _mm_loadu_pd(fixed);
  const __m128d c1 = _mm_loadu_pd(fixed + 2);
  const __m128d c2 = _mm_loadu_pd(fixed + 4);
  const __m128d c3 = _mm_loadu_pd(fixed + 6);
  int current = -1;
  __m128d f0 = _mm_setzero_pd();
  __m128d f1 = f0;
  __m128d f2 = f0;
  __m128d f3 = f0;
  __m128d d0 = f0;
  __m128d d1 = f0;
  const int* bin = in.bin;
  const double* addends = in.addends;
  // The sums of the bin being added to go back to its row when the bin changes.
  const auto store = [&](BinRow& r) {
    _mm_store_pd(r.fixed, f0);
    _mm_store_pd(r.fixed + 2, f1);
    _mm_store_pd(r.fixed + 4, f2);
    _mm_store_pd(r.fixed + 6, f3);
    _mm_store_pd(r.det, d0);
    _mm_store_pd(r.det + 2, d1);
  };
  for (int j = 0; j < npos; ++j) {
    const int i = bin[j];
    if (i < 0) continue;
    if (i != current) {
      if (current >= 0) store(rows[current]);
      current = i;
      BinRow& r = rows[i];
      touch(&r, s.t0, s.t1);
      f0 = _mm_load_pd(r.fixed);
      f1 = _mm_load_pd(r.fixed + 2);
      f2 = _mm_load_pd(r.fixed + 4);
      f3 = _mm_load_pd(r.fixed + 6);
      d0 = _mm_load_pd(r.det);
      d1 = _mm_load_pd(r.det + 2);
    }
    f0 = _mm_add_pd(f0, c0);
    f1 = _mm_add_pd(f1, c1);
    f2 = _mm_add_pd(f2, c2);
    f3 = _mm_add_pd(f3, c3);
    d0 = _mm_add_pd(d0, _mm_loadu_pd(addends + 4 * static_cast<std::size_t>(j)));
    d1 = _mm_add_pd(d1, _mm_loadu_pd(addends + 4 * static_cast<std::size_t>(j) + 2));
  }
  if (current >= 0) store(rows[current]);
}

// The same with AVX-512: the fixed sums in one register, the position sums in
// another, two additions a sample.
__attribute__((target("avx512f"))) void add_rows_avx512(const Step& s, const Lookups& in, int npos,
                                                        const double* fixed, BinRow* rows) {
  const __m512d c = _mm512_loadu_pd(fixed);
  int current = -1;
  __m512d f = _mm512_setzero_pd();
  __m256d d = _mm256_setzero_pd();
  const int* bin = in.bin;
  const double* addends = in.addends;
  for (int j = 0; j < npos; ++j) {
    const int i = bin[j];
    if (i < 0) continue;
    if (i != current) {
      if (current >= 0) {
        _mm512_store_pd(rows[current].fixed, f);
        _mm256_store_pd(rows[current].det, d);
      }
      current = i;
      BinRow& r = rows[i];
      touch(&r, s.t0, s.t1);
      f = _mm512_load_pd(r.fixed);
      d = _mm256_load_pd(r.det);
    }
    f = _mm512_add_pd(f, c);
    d = _mm256_add_pd(d, _mm256_loadu_pd(addends + 4 * static_cast<std::size_t>(j)));
  }
  if (current >= 0) {
    _mm512_store_pd(rows[current].fixed, f);
    _mm256_store_pd(rows[current].det, d);
  }
}

// The sums of every bin, one row per bin, read from the histogram at the start
// and written back by flush. Each sum receives its addends one by one in
// interval and position order, as through add_sample.
class Adder {
 public:
  explicit Adder(ghist* h) : h_(h), rows_(static_cast<std::size_t>(h->count)) {
    const int n = h->count;
    for (int i = 0; i < n; ++i) {
      BinRow& r = rows_[i];
      r.fixed[0] = h->weight[i];
      for (int m = 0; m < 3; ++m) {
        r.fixed[1 + m] = h->sum_asp[m * n + i];
        r.fixed[4 + m] = h->sum_asp2[m * n + i];
      }
      r.fixed[7] = 0.0;
      r.det[0] = h->sum_detx[i];
      r.det[1] = h->sum_dety[i];
      r.det[2] = h->sum_detx2[i];
      r.det[3] = h->sum_dety2[i];
      r.first_start = h->first_start[i];
      r.last_stop = h->last_stop[i];
    }
  }
  Adder(const Adder&) = delete;
  Adder& operator=(const Adder&) = delete;

  // Adds the samples of one interval that fall in a bin (bin >= 0).
  void add(const Step& s, const Lookups& in, int npos) {
    const double w = s.w;
    double fixed[8] = {w};
    for (int m = 0; m < 3; ++m) {
      fixed[1 + m] = w * s.p[m];
      fixed[4 + m] = fixed[1 + m] * s.p[m];
    }
    if (simd() == Simd::kAvx512) {
      add_rows_avx512(s, in, npos, fixed, rows_.data());
    } else {
      add_rows_sse2(s, in, npos, fixed, rows_.data());
    }
  }

  // Writes the sums back into the histogram.
  void flush() const {
    ghist* h = h_;
    const int n = h->count;
    for (int i = 0; i < n; ++i) {
      const BinRow& r = rows_[i];
      h->weight[i] = r.fixed[0];
      for (int m = 0; m < 3; ++m) {
        h->sum_asp[m * n + i] = r.fixed[1 + m];
        h->sum_asp2[m * n + i] = r.fixed[4 + m];
      }
      h->sum_detx[i] = r.det[0];
      h->sum_dety[i] = r.det[1];
      h->sum_detx2[i] = r.det[2];
      h->sum_dety2[i] = r.det[3];
      h->first_start[i] = r.first_start;
      h->last_stop[i] = r.last_stop;
    }
  }

 private:
  ghist* h_;
  std::vector<BinRow> rows_;
};

// One position: every interval in turn, its warning and its sample (with the
// time filter) before the next, as the plain loop.
int calc_one_position(const asp* history, const obs* observation, const gain_data* set,
                      const BinFinder& bins, const Geometry& geo, ghist* h) {
  MapPairs pairs(set);
  int bin = 0;
  double a[4] = {};
  double wsum = 0.0;
  const Lookups out{&bin, a};
  UsedTime used;
  for (int k = 0; k + 1 < history->count; ++k) {
    Step s{};
    if (!make_step(history, observation, set, &pairs, 1, k, &s)) continue;
    if (!check_calibrated_period(set, s.mjd)) return 1;
    used.add(s.t0, s.t1, s.dt);
    locate(s, bins, geo, 1, Phase::kAdd, out, &wsum);
    account(s, 1, h);
    if (s.crosses_step) tmsg(kStepWarning);
    if (bin >= 0) add_sample(bin, s.w, s.t0, s.t1, a[0], a[1], a[2], a[3], s.p, h, 1);
  }
  used.finish(observation->gtis, h);
  return 0;
}

}  // namespace

// Several positions, in blocks of aspect intervals, as a pipeline. In each
// round every member takes a few intervals of the block at a time, as it comes
// free, and works out their constants and lookups; member 0 first adds the
// block before, every sample into its bin and the ledger in interval and
// position order. Between rounds the calling thread checks the new block's
// intervals in order (the calibrated period, the time used, the step
// warnings). One member adds every sum in the plain loop's order, so which
// member located what never changes a number.
int calc_positions(const source* src, const asp* history, const obs* observation,
                   const gain_data* set, int threads, Phase last, ghist* h) {
  const int npos = src->count;
  Geometry geo{observation->x0, observation->y0,
               std::vector<double>(static_cast<std::size_t>(npos)),
               std::vector<double>(static_cast<std::size_t>(npos))};
  for (int j = 0; j < npos; ++j) {
    geo.rel_x[j] = src->xs[j] - geo.x0;
    geo.rel_y[j] = src->ys[j] - geo.y0;
  }
  const BinFinder bins(h);
  MapPairs pairs(set);
  // Alone, a block is added while its bins are still in cache; shared, it is
  // large enough that a round takes far longer than waking the crew (a block's
  // bins are four bytes a sample).
  const int block =
      threads > 1 ? std::max(16, (1 << 18) / npos) * threads : std::max(1, (1 << 15) / npos);
  const std::size_t cells = static_cast<std::size_t>(block) * static_cast<std::size_t>(npos);
  // Two of everything: one block being located while the one before it is added.
  struct Buffer {
    std::vector<Step> steps;
    std::vector<int> bin;
    std::vector<double> addends;  // alone only: the locating thread is the adding one
    int first = 0;                // interval of steps[0]
    int filled = 0;

    Lookups at(int n, int npos) {
      const std::size_t c = static_cast<std::size_t>(n) * static_cast<std::size_t>(npos);
      return Lookups{&bin[c], addends.empty() ? nullptr : &addends[4 * c]};
    }
  };
  Buffer buffers[2];
  for (Buffer& b : buffers) {
    b.steps.resize(static_cast<std::size_t>(block));
    b.bin.resize(cells);
    if (threads == 1) b.addends.resize(4 * cells);
  }
  std::vector<std::vector<double>> wsum(static_cast<std::size_t>(threads),
                                        std::vector<double>(static_cast<std::size_t>(npos)));
  Adder adder(h);
  std::vector<double> addends(4 * static_cast<std::size_t>(npos));
  const auto add_block = [&](Buffer& b) {
    for (int n = 0; n < b.filled; ++n) {
      const Step& s = b.steps[n];
      if (!s.good) continue;
      if (last != Phase::kAdd) continue;
      Lookups in = b.at(n, npos);
      if (in.addends == nullptr) {
        position_addends(s, geo, npos, addends.data());
        in.addends = addends.data();
      }
      adder.add(s, in, npos);
      account(s, npos, h);
    }
  };
  // Intervals handed out per claim: few enough that the members finish together.
  constexpr int kClaim = 4;
  Buffer* locating = &buffers[0];
  Buffer* adding = nullptr;
  std::atomic<int> next{0};
  const auto locate_claims = [&](int member) {
    Buffer& b = *locating;
    for (;;) {
      const int first = next.fetch_add(kClaim, std::memory_order_relaxed);
      if (first >= b.filled) return;
      const int end = std::min(first + kClaim, b.filled);
      for (int n = first; n < end; ++n) {
        Step& s = b.steps[n];
        if (!make_step(history, observation, set, &pairs, npos, b.first + n, &s)) continue;
        if (s.map0 == nullptr || last == Phase::kConstants) continue;
        locate(s, bins, geo, npos, last, b.at(n, npos), wsum[member].data());
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
  const int intervals = std::max(0, history->count - 1);
  for (int k = 0; k < intervals; k += block) {
    Buffer& b = *locating;
    b.first = k;
    b.filled = std::min(block, intervals - k);
    next.store(0, std::memory_order_relaxed);
    if (crew) {
      crew->run(round);
    } else {
      locate_claims(0);
    }
    for (int n = 0; n < b.filled; ++n) {
      if (b.steps[n].good && !check_interval(b.steps[n], set, npos, &used)) return 1;
    }
    if (!crew) {
      add_block(b);
      continue;
    }
    adding = locating;
    locating = locating == &buffers[0] ? &buffers[1] : &buffers[0];
  }
  if (adding != nullptr) add_block(*adding);
  adder.flush();
  used.finish(observation->gtis, h);
  return 0;
}

int varto_calc(const source* src, const asp* history, const obs* observation, const gain_data* set,
               ghist* h) {
  tmsg(" ");
  if (src == nullptr || history == nullptr || observation == nullptr || h == nullptr) return 0;
  if (dbg_level(1)) return calc_plain(src, history, observation, set, h);
  const int npos = src->count;
  if (npos <= 0) return 0;
  if (npos == 1) {
    const Geometry geo{observation->x0,
                       observation->y0,
                       {src->xs[0] - observation->x0},
                       {src->ys[0] - observation->y0}};
    return calc_one_position(history, observation, set, BinFinder(h), geo, h);
  }
  const int threads = std::min(thread_count(), npos);
  return calc_positions(src, history, observation, set, threads, Phase::kAdd, h);
}

void varto_warn_exposure(const ghist* h) {
  if (h == nullptr) return;
  // Below half a millisecond the printed figure would be 0.000.
  constexpr double kShown = 0.0005;
  char line[160];
  for (const ledger_term& term : LEDGER_TERMS) {
    if (term.warning == nullptr) continue;
    const double time = h->*term.time;
    if (term.count != nullptr) {
      if (h->*term.count <= 0) continue;
      std::snprintf(line, sizeof line, "Warning: %ld samples %s (%.3f s of exposure not counted)",
                    h->*term.count, term.warning, time);
    } else {
      if (!(time >= kShown)) continue;
      std::snprintf(line, sizeof line, "Warning: %.3f s of good time %s", time, term.warning);
    }
    tmsg(line);
  }
}
