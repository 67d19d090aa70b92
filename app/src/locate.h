// locate.h -- the lookups of the binning loop: for one aspect interval, every
// source position turned into its detector position, the gain interpolated
// there in both maps and in time, and the bin that gain falls in, with the
// products the bin sums receive. The vector kernels do each position with the
// arithmetic of unaspect, interp_gain and lint_d, term for term and in the same
// order, so that every number equals the plain loop's.
#pragma once

#include <cmath>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <vector>

#include "app/probe.h"
#include "app/varto.h"

/// Marks in place of a bin (bins are 1 and above; bin 0 never receives weight).
constexpr int kOutside = -1;  // gain in bin 0, below it or at or above the top edge
constexpr int kOffGrid = -2;  // detector position off the gain-map grid
constexpr int kExact = -3;    // near an edge: the quotients must decide (inside locate only)
constexpr int kNoGain = -4;   // gain that is not a number

/// Bin of gain g in count bins of width from low, or kOutside when it falls in
/// bin 0, below it, at or above the top edge, or is not a number.
inline int bin_index(double g, double low, double width, int count) {
  const double q = (g - low) / width;
  if (q >= 1.0 && q < count) return static_cast<int>(q);
  return kOutside;
}

/// The bin of the gain interpolated in time, ((after g0 + before g1) / span), as
/// bin_index would find it, with multiplications by reciprocals in place of the
/// two divisions. Only the bin is needed, not the gain. The product form differs
/// from the quotients by a few rounding errors, under 1e-15 of (|g| + |low|) /
/// width; when it lands closer than a far larger tolerance to a bin edge the
/// quotients are worked out exactly instead, so the bin is always theirs.
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

  /// The bin from the products, or kExact when it lies near an edge (or is not
  /// a number) and the quotients must decide it.
  int guess(double weighted_sum, double inv_span) const {
    const double g = weighted_sum * inv_span;
    const double q = (g - low) * inv_width;
    const double tol = kTolerance + kRelativeTolerance * (std::fabs(g) + abs_low) * inv_width;
    if (q >= 1.0 + tol && q < count - tol) {
      const int i = static_cast<int>(q);
      const double frac = q - i;
      if (frac > tol && frac < 1.0 - tol) return i;
    } else if (q < 1.0 - tol || q >= count + tol) {
      return kOutside;
    }
    return kExact;
  }
};

/// The fixed layout of the sources: positions relative to the detector centre.
struct Geometry {
  double x0;
  double y0;
  std::vector<double> rel_x;
  std::vector<double> rel_y;
};

/// The cells of every pair of neighbouring gain maps, laid out for the vector
/// lookups: for each lower corner cell, the four cells bilinear reads, of the
/// earlier map and then of the later one, in one 64-byte line. Each pair's
/// table is made the first time an interval needs it, by whichever thread.
class MapPairs {
 public:
  explicit MapPairs(const gain_data* set);

  /// Table of the maps km - 1 and km (1 <= km < count).
  const double* table(int km);

 private:
  struct Free {
    void operator()(double* p) const { std::free(p); }
  };
  const gain_data* set_;
  std::vector<std::unique_ptr<double[], Free>> tables_;
  std::unique_ptr<std::once_flag[]> made_;
};

/// Samples of one interval that went into no bin, by cause.
struct Tally {
  int off = 0;
  int nogain = 0;
  int outside = 0;
};

/// What depends only on the aspect interval, worked out once per interval.
struct Step {
  double t0;
  double t1;
  double dt;  // good time of the interval
  double w;   // good time shared among the positions
  double mjd;
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
  const double* pair;  // MapPairs table of map0 and map1
  const double* p;     // the aspect vector, for the sums
  bool same_time;      // the two maps share one time: their mean
  bool crosses_step;
  bool good;    // the interval has good time
  Tally tally;  // filled by locate
};

/// Where locate writes one interval's results, one slot per position: the bin
/// (or a mark), and unless addends is null the four addends of the position
/// sums side by side, w detx, w dety, w detx detx and w dety dety.
struct Lookups {
  int* bin;
  double* addends;
};

/// The instruction sets the lookups and the sums may use: the widest this
/// processor offers, unless narrowed (the tests narrow it to reach every path).
enum class Simd { kBase, kAvx2, kAvx512 };
Simd simd();
void narrow_simd(Simd widest);

/// Locates the npos positions of interval s (up to phase last) into out, and
/// counts the samples that go into no bin in s.tally; wsum is scratch room for
/// npos numbers.
void locate(Step& s, const BinFinder& bins, const Geometry& geo, int npos, Phase last,
            const Lookups& out, double* wsum);

/// The four addends of the position sums of interval s for the npos positions
/// of geo, as locate writes them: the adding thread works them out again
/// rather than read them from the thread that located them.
void position_addends(const Step& s, const Geometry& geo, int npos, double* addends);
