// probe.h -- for benchmarks, not for applications: the binning loop for several
// positions, stopped after any phase of its lookups, so that a benchmark can see
// where the time goes. varto_calc is the way to bin.
#pragma once

#include "app/varto.h"

/// The phases of a lookup, in order; the probe stops the work after any of them.
enum class Phase {
  kConstants,      // the interval constants alone
  kPosition,       // + detector positions
  kInterpolation,  // + both maps and the time blend
  kBin,            // + the bin, the marks and the tally
  kAdd,            // + the addends, the sums and the ledger: the whole lookup
};

/// varto_calc for two or more positions on the given number of threads (the
/// calling one included), doing the work of every interval up to phase last;
/// Phase::kAdd is the whole loop. 0, or 1 when the run stops (as varto_calc).
int calc_positions(const source* src, const asp* history, const obs* observation,
                   const gain_data* set, int threads, Phase last, ghist* h);
