// Results: the "GAIN_HIST" table of the output file, the histogram listing with
// the mean detector and aspect positions per bin, and the time ranges per bin.
#include <cstdio>
#include <string>

#include "app/varto.h"
#include "dm/dm.h"
#include "util/util.h"

namespace {

constexpr std::size_t kTimeLineLimit = 491;  // longest time-filter line written
constexpr int kMaxListedRanges = 10;

double bin_centre(const ghist* h, int i) { return h->low + (i + 0.5) * h->width; }

// Share of the observation's good time in bin i. Without good time every bin
// is empty and its share 0.
double bin_fraction(const ghist* h, int i) {
  return h->total_time > 0 ? h->weight[i] / h->total_time : 0.0;
}

// A time with two decimals and no padding ("%12.2f" without its leading blanks).
std::string time_text(double t) {
  char buf[400];  // enough for the 300-odd digits of the largest double
  std::snprintf(buf, sizeof buf, "%.2f", t);
  return buf;
}

// The mean gain between blank lines on the current output channel.
void list_mean_gain(double mean) {
  char line[64];
  std::snprintf(line, sizeof line, "Mean Gain: %10.2f", mean);
  msg(" ");
  msg(line);
  msg(" ");
}

}  // namespace

void varto_write(const char* file, const ghist* h, const provenance* prov) {
  char spec[512];
  std::snprintf(spec, sizeof spec, "%s[%s]", file, "GAIN_HIST");
  dmBlock* table = dmDatasetTableCreate(spec);
  if (table == nullptr) {
    tmsg("Failed to create output file");
    return;
  }
  dmDescriptor* gain_col = dmColumnCreate(table, "GAIN", DM_TYPE_D, 0, " ", "Gain");
  dmDescriptor* weight_col = dmColumnCreate(table, "WEIGHT", DM_TYPE_D, 0, " ", "Gain histogram");
  dmDescriptor* exposure_col =
      dmColumnCreate(table, "EXPOSURE", DM_TYPE_D, 0, "s", "Exposure time per bin");
  double mean = 0.0;
  for (int i = 0; i < h->count; ++i) {
    const double centre = bin_centre(h, i);
    const double fraction = bin_fraction(h, i);
    dmTablePutRow(table, 0);
    dmSetScalar_d(gain_col, centre);
    dmSetScalar_d(weight_col, fraction);
    dmSetScalar_d(exposure_col, h->weight[i]);
    mean += centre * fraction;
  }
  dmDescriptorFree(dmKeyWrite_d(table, "AVG_GAIN", mean, " ", "Mean gain"));
  list_mean_gain(mean);
  dmDatasetTableClose(table);
  varto_write_provenance(file, prov);
}

void varto_list(const ghist* h) {
  msg(" ");
  msg("Gain histogram: ");
  msg("Gain    Weight     Time(s)    Start       Stop     DETX               DETY        "
      "        AX                AY                  ROLL");
  msg(" ");
  const int n = h->count;
  double mean = 0.0;
  for (int i = 0; i < n; ++i) {
    const double w = h->weight[i];
    if (!(w > 0)) continue;
    const double v = 1.0 / w;
    const double sums[5] = {h->sum_detx[i], h->sum_dety[i], h->sum_asp[i], h->sum_asp[n + i],
                            h->sum_asp[2 * n + i]};
    const double squares[5] = {h->sum_detx2[i], h->sum_dety2[i], h->sum_asp2[i],
                               h->sum_asp2[n + i], h->sum_asp2[2 * n + i]};
    double means[5];
    double spreads[5];
    for (int m = 0; m < 5; ++m) {
      means[m] = sums[m] * v;
      spreads[m] = psqrt(squares[m] * v - means[m] * means[m]);
    }
    const double centre = bin_centre(h, i);
    const double fraction = bin_fraction(h, i);
    char line[512];
    std::snprintf(line, sizeof line,
                  "%6.2f%10.4f%10.4f%12.2f%12.2f%7.1f +/-%7.1f %7.1f +/-%7.1f %7.1f +/-%7.1f "
                  "%7.1f +/-%7.1f %7.1f +/-%7.1f",
                  centre, fraction, w, h->first_start[i], h->last_stop[i], means[0], spreads[0],
                  means[1], spreads[1], means[2], spreads[2], means[3], spreads[3], means[4],
                  spreads[4]);
    msg(line);
    mean += centre * fraction;
  }
  list_mean_gain(mean);
}

void varto_list_times(const ghist* h) {
  msg("Gain   Time filter");
  for (int i = 0; i < h->count; ++i) {
    if (!(h->weight[i] > 0)) continue;
    char head[64];
    std::snprintf(head, sizeof head, "%6.2f  ", bin_centre(h, i));
    std::string line(head);
    const gti* filter = h->time_filter[i];
    if (filter == nullptr) {
      line += "()";
    } else if (filter->count > kMaxListedRanges) {
      line += "(Many time intervals)";
    } else {
      line += "(";
      for (int r = 0; r < filter->count; ++r) {
        std::string range;
        if (r > 0) range += ',';
        range += time_text(filter->starts[r]);
        range += ':';
        range += time_text(filter->stops[r]);
        if (line.size() + range.size() > kTimeLineLimit) {
          // Times far beyond any observation: show what fits and stop the listing.
          tmsg("Buffer overflow");
          msg(line.c_str());
          return;
        }
        line += range;
      }
      line += ")";
    }
    msg(line.c_str());
  }
}
