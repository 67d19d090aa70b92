// The exposure ledger's terms: every place that writes, warns about or checks
// the ledger reads this one table.
#include "app/varto.h"

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
