// Results: the "GAIN_HIST" table of the output file, the histogram listing with
// the mean detector and aspect positions per bin, and the time ranges per bin.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/varto.h"
#include "dm/dm.h"
#include "util/util.h"

namespace {

constexpr std::size_t kTimeLineLimit = 491;  // longest time-filter line written
constexpr int kMaxListedRanges = 10;
constexpr std::size_t kSpecLen = 4200;  // output name, temporary prefix and block

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

// The output name taken apart: a leading '!' (replace; the file is always
// replaced) is dropped, the block suffix ("[...]") is kept for the table, and
// a plain file is written to a temporary file of varto's own beside its target
// (sys_own_file). A name ending ".gz" keeps that ending on the temporary file,
// so it is written compressed.
struct OutputName {
  std::string target;   // file named by the user
  std::string suffix;   // "[...]" and anything after it
  std::string temp;     // temporary file in a private folder beside the target
  bool direct = false;  // not a plain file: written in place
};

OutputName split_output_name(const char* file) {
  OutputName out;
  std::string name(file != nullptr ? file : "");
  while (!name.empty() && name.front() == ' ') name.erase(0, 1);
  while (!name.empty() && name.back() == ' ') name.pop_back();
  if (!name.empty() && name.front() == '!') name.erase(0, 1);
  const std::size_t open = name.find('[');
  if (open != std::string::npos) {
    out.suffix = name.substr(open);
    name.erase(open);
  }
  out.target = name;
  out.direct =
      name.empty() || name == "-" || name == "stdout" || name.find("://") != std::string::npos;
  return out;
}

// Owns the temporary file for one write: it and its private folder are removed
// unless release() says the file was renamed into place.
class TempFileGuard {
 public:
  explicit TempFileGuard(const std::string& path) : path_(path) {}
  ~TempFileGuard() {
    if (!path_.empty()) sys_own_file_remove(path_.c_str());
  }
  TempFileGuard(const TempFileGuard&) = delete;
  TempFileGuard& operator=(const TempFileGuard&) = delete;
  void release() { path_.clear(); }

 private:
  std::string path_;
};

// The exposure ledger: where every second of good time went.
void write_ledger(dmBlock* table, const ghist* h) {
  // Exact, so that the sums and their identities can be checked from the file.
  dmSetKernelOption("KEY=EXACT");
  for (const ledger_term& k : LEDGER_TERMS) {
    dmDescriptorFree(dmKeyWrite_d(table, k.key, h->*k.time, "s", k.comment));
  }
  dmSetKernelOption("KEY=SHORT");
}

// The table SOURCE_POS after the histogram's table: the sky pixels of every
// position and, when the event file has a celestial system, their RA and Dec.
void write_positions(dmBlock* gain_table, const provenance* prov) {
  dmBlock* table = dmBlockCreate(dmBlockGetDataset(gain_table), "SOURCE_POS", DM_BLOCK_TABLE);
  if (table == nullptr) return;
  dmDescriptor* x_col = dmColumnCreate(table, "X", DM_TYPE_D, 0, "pixel", "Sky pixel X");
  dmDescriptor* y_col = dmColumnCreate(table, "Y", DM_TYPE_D, 0, "pixel", "Sky pixel Y");
  dmDescriptor* ra_col = nullptr;
  dmDescriptor* dec_col = nullptr;
  if (prov->frame != nullptr) {
    ra_col = dmColumnCreate(table, "RA", DM_TYPE_D, 0, "deg", "Right ascension");
    dec_col = dmColumnCreate(table, "DEC", DM_TYPE_D, 0, "deg", "Declination");
  }
  const source* src = prov->positions;
  for (int i = 0; i < src->count; ++i) {
    dmTablePutRow(table, 0);
    dmSetScalar_d(x_col, src->xs[i]);
    dmSetScalar_d(y_col, src->ys[i]);
    if (ra_col == nullptr) continue;
    double ra = 0.0;
    double dec = 0.0;
    if (pixel_to_sky(prov->frame, src->xs[i], src->ys[i], &ra, &dec) != 0) {
      ra = std::nan("");
      dec = std::nan("");
    }
    dmSetScalar_d(ra_col, ra);
    dmSetScalar_d(dec_col, dec);
  }
  if (prov->region[0] != '\0')
    dmKeyWrite_c(table, "REGION", prov->region, "Region file of the positions");
  dmKeyWrite_l(table, "STEP", src->step, "Every STEP-th pixel in X and Y of the region was used");
}

}  // namespace

bool varto_output_is_stdout(const char* file) {
  const OutputName out = split_output_name(file);
  return out.target == "-" || out.target == "stdout";
}

int varto_write(const char* file, const ghist* h, const provenance* prov, bool list_mean) {
  OutputName out = split_output_name(file);
  if (!out.direct) {
    char temp[kSpecLen];
    if (sys_own_file(out.target.c_str(), temp, sizeof temp) != 0) {
      const int err = errno;
      char line[kSpecLen + 80];
      tmsg("Failed to create output file");
      std::snprintf(line, sizeof line, "Cannot make a private folder beside %s: %s",
                    out.target.c_str(), std::strerror(err));
      tmsg(line);
      return 1;
    }
    out.temp = temp;
  }
  char spec[kSpecLen];
  std::snprintf(spec, sizeof spec, "%s%s[%s]", out.direct ? out.target.c_str() : out.temp.c_str(),
                out.suffix.c_str(), "GAIN_HIST");
  TempFileGuard guard(out.direct ? std::string() : out.temp);
  dmBlock* table = dmDatasetTableCreate(spec);
  if (table == nullptr) {
    tmsg("Failed to create output file");
    return 1;
  }
  dmDescriptor* gain_col = dmColumnCreate(table, "GAIN", DM_TYPE_D, 0, " ", "Gain");
  dmDescriptor* weight_col = dmColumnCreate(table, "WEIGHT", DM_TYPE_D, 0, " ", "Gain histogram");
  dmDescriptor* exposure_col =
      dmColumnCreate(table, "EXPOSURE", DM_TYPE_D, 0, "s", "Exposure time per bin");
  double mean = 0.0;
  double binned = 0.0;  // sum of centre x exposure
  for (int i = 0; i < h->count; ++i) {
    const double centre = bin_centre(h, i);
    const double fraction = bin_fraction(h, i);
    dmTablePutRow(table, 0);
    dmSetScalar_d(gain_col, centre);
    dmSetScalar_d(weight_col, fraction);
    dmSetScalar_d(exposure_col, h->weight[i]);
    mean += centre * fraction;
    binned += centre * h->weight[i];
  }
  dmDescriptorFree(dmKeyWrite_d(table, "AVG_GAIN", mean, " ", "Mean gain"));
  // The mean gain of the exposure that went into bins; AVG_GAIN also counts the
  // time lost off the detector or outside the bins as gain 0.
  if (h->hist_time > 0.0) {
    dmSetKernelOption("KEY=EXACT");
    dmDescriptorFree(dmKeyWrite_d(table, "HISTGAIN", binned / h->hist_time, " ",
                                  "Mean gain of the binned exposure"));
    dmSetKernelOption("KEY=SHORT");
  }
  write_ledger(table, h);
  if (list_mean) list_mean_gain(mean);
  // The provenance goes into the table and the primary header as they are
  // made: the finished file is never opened again.
  dmDataset* ds = dmBlockGetDataset(table);
  int prov_status = varto_write_provenance(table, prov);
  const int primary_status = varto_write_provenance(dmDatasetGetPrimary(ds), prov);
  if (prov_status == 0) prov_status = primary_status;
  if (prov != nullptr && prov->positions != nullptr) write_positions(table, prov);
  // The kernel's close status covers every write into the file.
  int status = dmDatasetClose(ds);
  if (status == 0) status = prov_status;
  char line[kSpecLen + 80];
  if (status != 0) {
    tmsg("Failed to create output file");
    std::snprintf(line, sizeof line, "Writing %s failed (CFITSIO status %d)", out.target.c_str(),
                  status);
    tmsg(line);
    return 1;
  }
  if (out.direct) return 0;
  if (sys_own_file_commit(out.temp.c_str(), out.target.c_str()) != 0) {
    const int err = errno;
    tmsg("Failed to create output file");
    std::snprintf(line, sizeof line, "Cannot rename %s to %s: %s", out.temp.c_str(),
                  out.target.c_str(), std::strerror(err));
    tmsg(line);
    return 1;
  }
  guard.release();
  return 0;
}

double varto_mean_gain(const ghist* h) {
  double mean = 0.0;
  for (int i = 0; i < h->count; ++i) mean += bin_centre(h, i) * bin_fraction(h, i);
  return mean;
}

void varto_list_mean_gain(const ghist* h) { list_mean_gain(varto_mean_gain(h)); }

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
    const double squares[5] = {h->sum_detx2[i], h->sum_dety2[i], h->sum_asp2[i], h->sum_asp2[n + i],
                               h->sum_asp2[2 * n + i]};
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
