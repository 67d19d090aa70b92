// interp_int.h -- shared between the gain interpolation and the binning loop:
// the choice of the pair of maps for a time, without its warning, so that the
// binning can make the choice once per aspect interval.
#pragma once

#include "app/varto.h"

/// As find_entry_and_step_d; *crosses_step is set when the only map of the step
/// segment forced the use of a map from the previous segment (the caller writes
/// the warning).
int select_map_pair(double t, const double* times, int n, const double* steps, int m,
                    bool* crosses_step);

/// False, after the three messages, when mjd lies outside the calibrated period
/// of set; also, after one message, when set holds fewer than two maps. The run
/// then stops with status 1.
bool check_calibrated_period(const gain_data* set, double mjd);

/// Text of the warning written when a step segment holds a single map.
inline constexpr const char* kStepWarning = "Warning: interpolating across step boundary";

/// True when the detector position (detx, dety) lies off the gain-map grid:
/// below 256, at or above 8192 (grid coordinate below 1 or at or above 32), or
/// not a number. No exposure is collected there, so no gain is looked up.
inline bool off_grid(double detx, double dety) {
  return !(detx >= 256.0 && detx < 8192.0 && dety >= 256.0 && dety < 8192.0);
}

/// Grid coordinate kept on the grid points 1..32 of the cells; a position off the
/// grid (or not a number) takes the value of the nearest edge.
inline double clamp_grid(double g) {
  if (!(g >= 1.0)) return 1.0;
  if (g > 32.0) return 32.0;
  return g;
}

/// Cell indexes (ix, iy) of the upper corner and the fractions (fx, fy) for the
/// clamped grid coordinates (gx, gy).
struct GridPoint {
  int ix;
  int iy;
  double fx;
  double fy;
};

inline GridPoint grid_point(double gx, double gy) {
  gx = clamp_grid(gx);
  gy = clamp_grid(gy);
  int ix = static_cast<int>(gx);
  int iy = static_cast<int>(gy);
  // The far edge (grid point 32) belongs to the last cell.
  if (ix > GAIN_MAP_SIDE - 1) ix = GAIN_MAP_SIDE - 1;
  if (iy > GAIN_MAP_SIDE - 1) iy = GAIN_MAP_SIDE - 1;
  return GridPoint{ix, iy, gx - ix, gy - iy};
}

/// Bilinear interpolation of map at p: the four cells around the grid point.
inline double bilinear(const double* map, const GridPoint& p) {
  const double* lower = map + (p.ix - 1) * GAIN_MAP_SIDE + p.iy - 1;  // cell (ix-1, iy-1)
  const double* upper = lower + GAIN_MAP_SIDE;                        // cell (ix, iy-1)
  const double a = lower[0];
  const double b = upper[0];
  const double c = upper[1];
  const double d = lower[1];
  const double fx = p.fx;
  const double fy = p.fy;
  return (1 - fx) * (1 - fy) * a + fx * (1 - fy) * b + fx * fy * c + (1 - fx) * fy * d;
}
