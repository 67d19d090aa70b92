// The binning as the straightforward loop: one full lookup per aspect interval
// and position, which every faster route must match bit for bit; with the
// plain arithmetic it is built from (time, detector position, square root).
#include <cmath>
#include <cstdio>

#include "app/varto.h"
#include "app/varto_reference.h"
#include "binning.h"
#include "interp_int.h"
#include "util/util.h"

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
