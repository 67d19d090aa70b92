// Gain histogram: the binning loop that follows every source position through
// the aspect history, looks up the gain it met and adds the interval's good time
// to the bin of that gain, with per-bin position sums and time filters.
#include <cmath>
#include <cstdio>
#include <vector>

#include "app/varto.h"
#include "histogram_int.h"
#include "interp_int.h"
#include "util/util.h"

namespace {

constexpr int kTimeFilterCapacity = 100;
constexpr double kTimeTolerance = 0.5;  // seconds between ranges that still join
constexpr int kOffGrid = -2;            // bin of a sample off the gain-map grid

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

// The sums of one bin, held in registers while successive positions of an
// interval fall into that bin. Each sum receives the same addends in the same
// order as through add_sample; only the trips through memory are saved.
struct BinSums {
  double weight, first_start, last_stop, detx, dety, detx2, dety2;
  double asp[3], asp2[3];

  void load(const ghist* h, int i) {
    const int n = h->count;
    weight = h->weight[i];
    first_start = h->first_start[i];
    last_stop = h->last_stop[i];
    detx = h->sum_detx[i];
    dety = h->sum_dety[i];
    detx2 = h->sum_detx2[i];
    dety2 = h->sum_dety2[i];
    for (int m = 0; m < 3; ++m) {
      asp[m] = h->sum_asp[m * n + i];
      asp2[m] = h->sum_asp2[m * n + i];
    }
  }

  void store(ghist* h, int i) const {
    const int n = h->count;
    h->weight[i] = weight;
    h->first_start[i] = first_start;
    h->last_stop[i] = last_stop;
    h->sum_detx[i] = detx;
    h->sum_dety[i] = dety;
    h->sum_detx2[i] = detx2;
    h->sum_dety2[i] = dety2;
    for (int m = 0; m < 3; ++m) {
      h->sum_asp[m * n + i] = asp[m];
      h->sum_asp2[m * n + i] = asp2[m];
    }
  }
};

// Adds the samples of one interval of a several-position run (no time filters):
// position j fell into bin[j] (-1: none) at (det_x[j], det_y[j]).
void add_interval(ghist* h, const int* bin, const double* det_x, const double* det_y, int npos,
                  double w, double t0, double t1, const double* p) {
  // w p[m] and w p[m] p[m], as add_sample forms them.
  double wp[3];
  double wp2[3];
  for (int m = 0; m < 3; ++m) {
    wp[m] = w * p[m];
    wp2[m] = wp[m] * p[m];
  }
  BinSums s{};
  int current = -1;
  for (int j = 0; j < npos; ++j) {
    const int i = bin[j];
    if (i < 0) continue;
    if (i != current) {
      if (current >= 0) s.store(h, current);
      s.load(h, i);
      current = i;
    }
    const double detx = det_x[j];
    const double dety = det_y[j];
    s.weight += w;
    if (s.first_start < 1 || t0 < s.first_start) s.first_start = t0;
    if (t1 > s.last_stop) s.last_stop = t1;
    s.detx += w * detx;
    s.dety += w * dety;
    s.detx2 += w * detx * detx;
    s.dety2 += w * dety * dety;
    for (int m = 0; m < 3; ++m) {
      s.asp[m] += wp[m];
      s.asp2[m] += wp2[m];
    }
  }
  if (current >= 0) s.store(h, current);
}

// Bin of gain g in count bins of width from low, or -1 when it falls in bin 0,
// below it, at or above the top edge, or is not a number. Bin 0 never receives
// weight.
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

  int find(double weighted_sum, double inv_span, double span) const {
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
    // Near an edge, or not a number.
    return exact(weighted_sum / span);
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

}  // namespace

ghist* alloc_ghist(int n) {
  auto* h = new ghist;
  h->count = n > 0 ? n : 0;
  const std::size_t slots = static_cast<std::size_t>(h->count > 0 ? h->count : 1);
  h->weight = new double[slots]();
  h->first_start = new double[slots]();
  h->last_stop = new double[slots]();
  h->time_filter = new gti*[slots]();
  h->sum_detx = new double[slots]();
  h->sum_dety = new double[slots]();
  h->sum_asp = new double[3 * slots]();
  h->sum_detx2 = new double[slots]();
  h->sum_dety2 = new double[slots]();
  h->sum_asp2 = new double[3 * slots]();
  return h;
}

void free_ghist(ghist* h) {
  if (h == nullptr) return;
  for (int i = 0; i < h->count; ++i) free_gti(h->time_filter[i]);
  delete[] h->weight;
  delete[] h->first_start;
  delete[] h->last_stop;
  delete[] h->time_filter;
  delete[] h->sum_detx;
  delete[] h->sum_dety;
  delete[] h->sum_asp;
  delete[] h->sum_detx2;
  delete[] h->sum_dety2;
  delete[] h->sum_asp2;
  delete h;
}

ghist* ghset(const double* spec) {
  const double first = spec[0];
  const double last = spec[1];
  const double width = spec[2];
  const double low = first - width / 2;
  const double bins = ((last + width / 2) - low) / width + 1;
  // A vector that gives no usable count (refused earlier by the driver) makes
  // a histogram of one bin, which never receives weight.
  const int n = (bins >= 1.0 && bins < 1.0e7) ? static_cast<int>(bins) : 1;
  ghist* h = alloc_ghist(n);
  h->width = width;
  h->low = low;
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

void varto_accumulate_histogram(double g, double w, double t0, double t1, double detx,
                                double dety, const double* p, ghist* h, int npos) {
  const int i = bin_index(g, h->low, h->width, h->count);
  if (i < 0) return;
  add_sample(i, w, t0, t1, detx, dety, p, h, npos);
}

void calc_plain(const source* src, const asp* history, const obs* observation,
                const gain_data* set, ghist* h) {
  const int npos = src->count;
  for (int k = 0; k + 1 < history->count; ++k) {
    const auto [t0, t1, dt, mjd, p] = interval_at(history, observation, k);
    if (dt <= 0) continue;
    for (int j = 0; j < npos; ++j) {
      double detx = 0.0;
      double dety = 0.0;
      unaspect(src->xs[j], src->ys[j], observation->x0, observation->y0, p, &detx, &dety);
      const double g = do_interp(set, mjd, detx, dety);
      if (dbg_level(2)) {
        char line[320];
        std::snprintf(line, sizeof line,
                      "%d %12.4f %12.4f %12.4f %12.4f %12.4f %10.4f %10.4f %8.4f %f %f\n", k,
                      detx, dety, detx, dety, p[0], p[1], p[2], g, t0, mjd);
        dmsg(2, line);
      }
      const double w = dt / npos;
      if (off_grid(detx, dety)) {
        ++h->off_count;
        h->off_time += w;
        continue;
      }
      varto_accumulate_histogram(g, w, t0, t1, detx, dety, p, h, npos);
    }
  }
}

void varto_calc(const source* src, const asp* history, const obs* observation,
                const gain_data* set, ghist* h) {
  tmsg(" ");
  if (src == nullptr || history == nullptr || observation == nullptr || h == nullptr) return;
  if (dbg_level(1)) {
    calc_plain(src, history, observation, set, h);
    return;
  }
  // What depends only on the interval is worked out once per interval: the good
  // time, the time, the pair of maps and its weights, and the rotation. The
  // arithmetic per position is that of unaspect, interp_gain and lint_d, term
  // for term, so the sums come out as in the traced loop.
  const int npos = src->count;
  if (npos <= 0) return;
  const double x0 = observation->x0;
  const double y0 = observation->y0;
  const BinFinder bins(h);
  std::vector<double> rel_x(static_cast<std::size_t>(npos));
  std::vector<double> rel_y(static_cast<std::size_t>(npos));
  std::vector<double> det_x(static_cast<std::size_t>(npos));
  std::vector<double> det_y(static_cast<std::size_t>(npos));
  std::vector<int> bin(static_cast<std::size_t>(npos));
  for (int j = 0; j < npos; ++j) {
    rel_x[j] = src->xs[j] - x0;
    rel_y[j] = src->ys[j] - y0;
  }
  for (int k = 0; k + 1 < history->count; ++k) {
    const auto [t0, t1, dt, mjd, p] = interval_at(history, observation, k);
    if (dt <= 0) continue;
    check_calibrated_period(set, mjd);
    bool crosses_step = false;
    const int km = select_map_pair(mjd, set->times, set->count, set->steps, set->step_count,
                                   &crosses_step);
    const double* map0 = set->maps + static_cast<std::size_t>(km - 1) * GAIN_MAP_SIZE;
    const double* map1 = map0 + GAIN_MAP_SIZE;
    const double tm0 = set->times[km - 1];
    const double tm1 = set->times[km];
    const bool same_time = tm0 == tm1;
    const double after = tm1 - mjd;   // weight of the earlier map
    const double before = mjd - tm0;  // weight of the later map
    const double span = tm1 - tm0;
    const double inv_span = 1.0 / span;
    // cos and sin of the roll exactly as the rotation computes them.
    double cos_r = 0.0;
    double sin_r = 0.0;
    rotate2_d(1.0, 0.0, p[2], &cos_r, &sin_r);
    const double px = p[0];
    const double py = p[1];
    const double w = dt / npos;
    // First the detector position and bin of every position, then the sums in
    // position order: two short loops keep their values in registers.
    for (int j = 0; j < npos; ++j) {
      const double dx = rel_x[j] - px;
      const double dy = rel_y[j] - py;
      const double detx = x0 + (dx * cos_r - dy * sin_r);
      const double dety = y0 + (dx * sin_r + dy * cos_r);
      const GridPoint gp = grid_point(detx / 256.0, dety / 256.0);
      const double g0 = bilinear(map0, gp);
      const double g1 = bilinear(map1, gp);
      det_x[j] = detx;
      det_y[j] = dety;
      // A position off the grid was looked up at the clamped edge; it adds nothing.
      bin[j] = off_grid(detx, dety) ? kOffGrid
               : same_time        ? bins.exact((g0 + g1) / 2)
                                  : bins.find(after * g0 + before * g1, inv_span, span);
    }
    // The weight off the grid, one sample at a time as the plain loop adds it.
    for (int j = 0; j < npos; ++j) {
      if (bin[j] != kOffGrid) continue;
      ++h->off_count;
      h->off_time += w;
    }
    if (npos == 1) {
      if (crosses_step) tmsg(kStepWarning);
      if (bin[0] >= 0) add_sample(bin[0], w, t0, t1, det_x[0], det_y[0], p, h, npos);
      continue;
    }
    // Several positions write nothing while adding, so their warnings, one per
    // lookup, can all come first.
    if (crosses_step) {
      for (int j = 0; j < npos; ++j) tmsg(kStepWarning);
    }
    add_interval(h, bin.data(), det_x.data(), det_y.data(), npos, w, t0, t1, p);
  }
}

void varto_warn_off_detector(const ghist* h) {
  if (h == nullptr || h->off_count <= 0) return;
  char line[128];
  std::snprintf(line, sizeof line, "Warning: %ld samples off the detector (%.3f s of exposure not counted)",
                h->off_count, h->off_time);
  tmsg(line);
}
