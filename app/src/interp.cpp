// Gain interpolation: bilinear in one 32 x 32 map at a detector position, linear
// in time between two maps chosen so that, where possible, no gain step lies
// between them.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "app/gain.h"
#include "app/varto.h"
#include "interp_int.h"
#include "util/util.h"

namespace {

// A run accepts times up to this many days beyond the first and last maps.
constexpr double kCalibrationMarginDays = 50.0;

// The calibrated period of a set of two or more maps.
struct Period {
  double first;
  double last;
};

Period calibrated_period(const gain_data* set) {
  return Period{set->times[0] - kCalibrationMarginDays,
                set->times[set->count - 1] + kCalibrationMarginDays};
}

}  // namespace

int find_entry_d(double x, const double* array, int n) {
  for (int i = 1; i < n; ++i) {
    if (array[i] > x) return i;
  }
  return n - 1;
}

int select_map_pair(double t, const double* times, int n, const double* steps, int m,
                    bool* crosses_step) {
  *crosses_step = false;
  // A single map (or none) leaves no pair to choose from.
  if (n < 2) return 0;
  if (m <= 0) return find_entry_d(t, times, n);
  double lo;
  double hi;
  if (t >= steps[m - 1]) {
    lo = steps[m - 1];
    hi = steps[m - 1] * 10.0;  // beyond any real MJD
  } else if (t <= steps[0]) {
    lo = 0.0;
    hi = steps[0];
  } else {
    // Steps that are not numbers or not in order can leave no later step.
    const int j = std::max(1, find_entry_d(t, steps, m));
    lo = steps[j - 1];
    hi = steps[std::min(j, m - 1)];
  }
  int a = times[0] > lo ? 0 : find_entry_d(lo, times, n);
  int b = times[n - 1] < hi ? n - 1 : find_entry_d(hi, times, n) - 1;
  if (b < 1) b = 1;
  if (a == b) {
    a = a - 1;
    *crosses_step = true;
  }
  // Sorted finite steps always give a pair inside the maps; any other steps
  // must not make the caller read outside them.
  return std::clamp(a + find_entry_d(t, times + a, b - a + 1), 1, n - 1);
}

int find_entry_and_step_d(double t, const double* times, int n, const double* steps, int m) {
  bool crosses_step = false;
  const int k = select_map_pair(t, times, n, steps, m, &crosses_step);
  if (crosses_step) tmsg(kStepWarning);
  return k;
}

double interp_gain(const double* map, double gx, double gy) {
  const GridPoint p = grid_point(gx, gy);
  const double g = bilinear(map, p);
  if (dbg_level(2)) {
    const double* lower = map + (p.ix - 1) * GAIN_MAP_SIDE + p.iy - 1;
    const double* upper = lower + GAIN_MAP_SIDE;
    char line[96];
    std::snprintf(line, sizeof line, "GAIN: %4d %4d %8.4f %8.4f %8.4f %8.4f", p.ix, p.iy, lower[0],
                  upper[0], upper[1], lower[1]);
    dmsg(2, line);
  }
  return g;
}

bool check_calibrated_period(const gain_data* set, double mjd) {
  char line[160];
  if (set == nullptr || set->count < 2) {
    std::snprintf(line, sizeof line, "*** Gain interpolation needs at least 2 maps, found %d ***",
                  set == nullptr ? 0 : set->count);
    tmsg(line);
    return false;
  }
  const auto [first, last] = calibrated_period(set);
  if (mjd < first || mjd > last) {
    tmsg("*** Observation time outside calibrated period ***");
    std::snprintf(line, sizeof line, "Calibrated period is: MJD %f to %f", first, last);
    tmsg(line);
    std::snprintf(line, sizeof line, "Observation time is: MJD %f\n", mjd);
    tmsg(line);
    return false;
  }
  return true;
}

double do_interp(const gain_data* set, double mjd, double detx, double dety) {
  if (!check_calibrated_period(set, mjd)) return std::numeric_limits<double>::quiet_NaN();
  const double gx = detx / 256.0;
  const double gy = dety / 256.0;
  const int k = find_entry_and_step_d(mjd, set->times, set->count, set->steps, set->step_count);
  char line[192];
  if (dbg_level(2)) {
    std::snprintf(line, sizeof line, "Time = %20.6f %d", mjd, k);
    dmsg(2, line);
  }
  // Off the grid there is no gain: not a number, which falls in no bin.
  double g0 = std::numeric_limits<double>::quiet_NaN();
  double g1 = g0;
  double g = g0;
  if (!off_grid(detx, dety)) {
    const double* maps = set->maps;
    g0 = interp_gain(maps + static_cast<std::size_t>(k - 1) * GAIN_MAP_SIZE, gx, gy);
    g1 = interp_gain(maps + static_cast<std::size_t>(k) * GAIN_MAP_SIZE, gx, gy);
    g = lint_d(set->times[k - 1], set->times[k], g0, g1, mjd);
  }
  if (dbg_level(1)) {
    std::snprintf(line, sizeof line, "BINS %d %d  TIME %f %f %f GAIN %f %f INTERP GAIN %f\n", k - 1,
                  k, mjd, set->times[k - 1], set->times[k], g0, g1, g);
    dmsg(1, line);
  }
  return g;
}

double gain_at(const gain_data* set, double mjd, double detx, double dety) {
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  if (set == nullptr || set->count < 2) return kNaN;
  const Period period = calibrated_period(set);
  if (!(mjd >= period.first && mjd <= period.last) || off_grid(detx, dety)) return kNaN;
  bool crosses_step = false;
  const int k =
      select_map_pair(mjd, set->times, set->count, set->steps, set->step_count, &crosses_step);
  // As do_interp through interp_gain and lint_d, without the messages.
  const GridPoint p = grid_point(detx / 256.0, dety / 256.0);
  const double g0 = bilinear(set->maps + static_cast<std::size_t>(k - 1) * GAIN_MAP_SIZE, p);
  const double g1 = bilinear(set->maps + static_cast<std::size_t>(k) * GAIN_MAP_SIZE, p);
  return lint_d(set->times[k - 1], set->times[k], g0, g1, mjd);
}
