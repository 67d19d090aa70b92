// varto_reference.h -- for benchmarks and tests, not for applications: the
// binning written as the straightforward loop, which the optimised varto_calc
// must match bit for bit.
#pragma once

#include "app/varto.h"

/// The binning as the straightforward loop: every aspect interval with good
/// time, every position, one full lookup (do_interp) each, with the line per
/// lookup at debug level 2. varto_calc runs it at debug level 1 and above and
/// otherwise gives the same histogram and messages by a faster route.
int calc_plain(const source* src, const asp* history, const obs* observation, const gain_data* set,
               ghist* h);
