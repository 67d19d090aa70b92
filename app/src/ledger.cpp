// The exposure ledger: its terms, in the one table every place that writes,
// warns about or checks the ledger reads; the time each run used and covered;
// each interval's losses by cause; and the closing warnings.
#include <algorithm>
#include <cstdio>

#include "app/varto.h"
#include "binning.h"
#include "util/util.h"

const ledger_term LEDGER_TERMS[LEDGER_TERM_COUNT] = {
    {"ONTIME", "Good time of the observation", &ghist::total_time, nullptr, nullptr},
    {"ASPTIME", "Good time of the aspect intervals used", &ghist::asp_time, nullptr, nullptr},
    {"HISTTIME", "Exposure added to the histogram", &ghist::hist_time, nullptr, nullptr},
    {"OFFDTIME", "Exposure off the detector", &ghist::off_time, &ghist::off_count,
     "off the detector"},
    {"NOGNTIME", "Exposure with no gain in the maps", &ghist::nogain_time, &ghist::nogain_count,
     "with no gain in the maps"},
    {"OUTHTIME", "Exposure outside the gain histogram", &ghist::outside_time, &ghist::outside_count,
     "outside the gain histogram"},
    {"NOASPTIM", "Good time no aspect interval covers", &ghist::noasp_time, nullptr,
     "not covered by the aspect history"},
    {"DUPTIME", "Good time counted more than once", &ghist::dup_time, nullptr,
     "counted more than once (aspect times run back)"},
};

void UsedTime::finish(const gti* good, ghist* h) const {
  h->asp_time = total_;
  gti* used = alloc_gti(static_cast<int>(starts_.size()));
  std::copy(starts_.begin(), starts_.end(), used->starts);
  std::copy(stops_.begin(), stops_.end(), used->stops);
  used->count = used->capacity;
  const double covered = covered_good_time(used, good);
  free_gti(used);
  h->noasp_time = sum_gti(good) - covered;
  h->dup_time = total_ - covered;
}

void account(const Step& s, int npos, ghist* h) {
  const Tally& t = s.tally;
  h->off_count += t.off;
  for (int n = 0; n < t.off; ++n) h->off_time += s.w;
  h->nogain_count += t.nogain;
  for (int n = 0; n < t.nogain; ++n) h->nogain_time += s.w;
  h->outside_count += t.outside;
  for (int n = 0; n < t.outside; ++n) h->outside_time += s.w;
  const int binned = npos - t.off - t.nogain - t.outside;
  h->hist_time += binned * s.w;
}

void varto_warn_exposure(const ghist* h) {
  if (h == nullptr) return;
  // Below half a millisecond the printed figure would be 0.000.
  constexpr double kShown = 0.0005;
  char line[160];
  for (const ledger_term& term : LEDGER_TERMS) {
    if (term.warning == nullptr) continue;
    const double time = h->*term.time;
    if (term.count != nullptr) {
      if (h->*term.count <= 0) continue;
      std::snprintf(line, sizeof line, "Warning: %ld samples %s (%.3f s of exposure not counted)",
                    h->*term.count, term.warning, time);
    } else {
      if (!(time >= kShown)) continue;
      std::snprintf(line, sizeof line, "Warning: %.3f s of good time %s", time, term.warning);
    }
    tmsg(line);
  }
}
