// gain.h -- the gain a run finds in the gain maps, for callers outside a run
// (the Python package): quiet, and never stopping anything.
#pragma once

#include "app/varto.h"

/// The gain at detector position (detx, dety) and time mjd, the very number
/// do_interp gives the binning: the pair of maps for the time (steps included),
/// bilinear in each, linear in time. Not a number where a run would stop (set
/// null, fewer than two maps, mjd outside the calibrated period or not a
/// number) or collects no exposure (off the map grid). Writes no message.
double gain_at(const gain_data* set, double mjd, double detx, double dety);
