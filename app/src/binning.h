// binning.h -- shared by the files of the binning loop (store, sums, reference
// loop, ledger and pipeline): the sample added to a bin, the constants of an
// aspect interval, the time used, the ledger of an interval and the bin sums of
// the fast loop.
#pragma once

#include <algorithm>
#include <vector>

#include "app/varto.h"
#include "locate.h"

constexpr int kTimeFilterCapacity = 100;

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

inline Interval interval_at(const asp* history, const obs* observation, int k) {
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
  void finish(const gti* good, ghist* h) const;

 private:
  double total_ = 0.0;
  std::vector<double> starts_;
  std::vector<double> stops_;
};

// The ledger of one interval from its tally: the weight of each sample that
// went into no bin, by cause, one sample at a time as the plain loop adds it,
// and the weight of the binned ones.
void account(const Step& s, int npos, ghist* h);

// The sums of one bin: weight, sum_asp (3), sum_asp2 (3) and a spare, the
// position sums sum_detx, sum_dety, sum_detx2, sum_dety2, and the times.
struct alignas(64) BinRow {
  double fixed[8];
  double det[4];
  double first_start;
  double last_stop;
};

// The sums of every bin, one row per bin, read from the histogram at the start
// and written back by flush. Each sum receives its addends one by one in
// interval and position order, as through add_sample.
class Adder {
 public:
  explicit Adder(ghist* h);
  Adder(const Adder&) = delete;
  Adder& operator=(const Adder&) = delete;

  // Adds the samples of one interval that fall in a bin (bin >= 0).
  void add(const Step& s, const Lookups& in, int npos);

  // Writes the sums back into the histogram.
  void flush() const;

 private:
  ghist* h_;
  std::vector<BinRow> rows_;
};
