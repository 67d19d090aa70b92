// histogram_int.h -- the binning loop for several positions, open to the
// benchmark, which stops it after each phase of the lookups to see where the
// time goes.
#pragma once

#include "app/varto.h"
#include "locate.h"

/// varto_calc for two or more positions on the given number of threads (the
/// calling one included), doing the work of every interval up to phase last;
/// Phase::kAdd is the whole loop. 0, or 1 when the run stops (as varto_calc).
int calc_positions(const source* src, const asp* history, const obs* observation,
                   const gain_data* set, int threads, Phase last, ghist* h);
