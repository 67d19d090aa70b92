// Writers of synthetic HRI observations through CFITSIO, and the sample
// observation: a pointing with the spacecraft's 402 s wobble and a little roll
// jitter, good time intervals over several orbits, and gain maps over several
// years with smooth structure, a slow drift and abrupt steps. Deterministic.
#include "sample.h"

#include <fitsio.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <numbers>

namespace sample {

namespace {

constexpr int kMapCells = 1024;

// Creates path afresh with an empty primary array.
int create_file(const std::string& path, fitsfile** fptr) {
  int status = 0;
  const std::string name = "!" + path;
  fits_create_file(fptr, name.c_str(), &status);
  if (status != 0) return status;
  fits_create_img(*fptr, BYTE_IMG, 0, nullptr, &status);
  return status;
}

int close_file(fitsfile* fptr, int status) {
  int close_status = 0;
  fits_close_file(fptr, &close_status);
  return status != 0 ? status : close_status;
}

// A binary table of nrows rows with the given columns.
int create_table(fitsfile* fptr, long nrows, const std::vector<const char*>& names,
                 const std::vector<const char*>& forms, const std::vector<const char*>& units,
                 const char* extname, int* status) {
  std::vector<char*> ttype;
  std::vector<char*> tform;
  std::vector<char*> tunit;
  for (std::size_t i = 0; i < names.size(); ++i) {
    ttype.push_back(const_cast<char*>(names[i]));
    tform.push_back(const_cast<char*>(forms[i]));
    tunit.push_back(const_cast<char*>(units[i]));
  }
  fits_create_tbl(fptr, BINARY_TBL, nrows, static_cast<int>(names.size()), ttype.data(),
                  tform.data(), tunit.data(), extname, status);
  return *status;
}

void key_str(fitsfile* fptr, const char* name, const char* value, const char* comment,
             int* status) {
  fits_write_key(fptr, TSTRING, name, const_cast<char*>(value), comment, status);
}

void key_dbl(fitsfile* fptr, const char* name, double value, const char* comment, int* status) {
  fits_write_key_dbl(fptr, name, value, -15, comment, status);
}

void key_int(fitsfile* fptr, const char* name, long value, const char* comment, int* status) {
  fits_write_key_lng(fptr, name, value, comment, status);
}

// A small deterministic generator (64-bit linear congruential) for event
// positions and cell-to-cell texture of the maps.
class Lcg {
 public:
  explicit Lcg(std::uint64_t seed) : state_(seed) {}
  double uniform() {
    state_ = state_ * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<double>(state_ >> 11) / 9007199254740992.0;
  }

 private:
  std::uint64_t state_;
};

int write_gti_table(fitsfile* fptr, const EventFile& spec, int* status) {
  const long n = static_cast<long>(spec.gti_start.size());
  create_table(fptr, n, {"START", "STOP"}, {"1D", "1D"}, {"s", "s"}, spec.rev0 ? "GTI" : "STDGTI",
               status);
  if (n > 0) {
    fits_write_col_dbl(fptr, 1, 1, 1, n, const_cast<double*>(spec.gti_start.data()), status);
    fits_write_col_dbl(fptr, 2, 1, 1, n, const_cast<double*>(spec.gti_stop.data()), status);
  }
  return *status;
}

}  // namespace

int write_event_file(const std::string& path, const EventFile& spec) {
  fitsfile* fptr = nullptr;
  int status = create_file(path, &fptr);
  if (status != 0) return status;
  key_str(fptr, "TELESCOP", "ROSAT", "Mission name", &status);
  key_str(fptr, "INSTRUME", "HRI", "Instrument", &status);

  const long n = spec.nevents;
  create_table(fptr, n, {"TIME", "X", "Y", "PI"}, {"1D", "1J", "1J", "1I"},
               {"s", "pixel", "pixel", "chan"}, spec.rev0 ? "EVENTS" : "STDEVT", &status);
  key_str(fptr, "TCTYP2", "RA---TAN", "Projection of X", &status);
  key_dbl(fptr, "TCRPX2", spec.crpix_x, "Reference pixel of X", &status);
  key_dbl(fptr, "TCRVL2", spec.ra_nom, "RA at the reference pixel (deg)", &status);
  key_dbl(fptr, "TCDLT2", -spec.pixsize, "Degrees per pixel in X", &status);
  key_str(fptr, "TCTYP3", "DEC--TAN", "Projection of Y", &status);
  key_dbl(fptr, "TCRPX3", spec.crpix_y, "Reference pixel of Y", &status);
  key_dbl(fptr, "TCRVL3", spec.dec_nom, "Dec at the reference pixel (deg)", &status);
  key_dbl(fptr, "TCDLT3", spec.pixsize, "Degrees per pixel in Y", &status);
  key_str(fptr, "TELESCOP", "ROSAT", "Mission name", &status);
  key_str(fptr, "INSTRUME", "HRI", "Instrument", &status);
  if (spec.rev0) {
    key_int(fptr, "XS-MJDRD", spec.mjdref_day, "Integer MJD of time zero", &status);
    if (spec.write_mjdref_frac)
      key_dbl(fptr, "XS-MJDRF", spec.mjdref_frac, "Fraction of the MJD of time zero", &status);
    if (spec.write_roll) key_dbl(fptr, "XS-DANG", -spec.roll, "Nominal roll angle (deg)", &status);
  } else {
    key_int(fptr, "MJDREFI", spec.mjdref_day, "Integer MJD of time zero", &status);
    if (spec.write_mjdref_frac)
      key_dbl(fptr, "MJDREFF", spec.mjdref_frac, "Fraction of the MJD of time zero", &status);
    if (spec.write_roll) key_dbl(fptr, "ROLL_NOM", spec.roll, "Nominal roll angle (deg)", &status);
  }
  key_dbl(fptr, "RA_NOM", spec.ra_nom, "Nominal RA (deg)", &status);
  key_dbl(fptr, "DEC_NOM", spec.dec_nom, "Nominal Dec (deg)", &status);

  if (n > 0) {
    const double t_first = spec.gti_start.empty() ? 0.0 : spec.gti_start.front();
    const double t_last = spec.gti_stop.empty() ? 1.0 : spec.gti_stop.back();
    std::vector<double> time(n);
    std::vector<int> x(n);
    std::vector<int> y(n);
    std::vector<short> pi(n);
    Lcg rng(12345);
    for (long i = 0; i < n; ++i) {
      time[i] = t_first + (t_last - t_first) * (i + 0.5) / n;
      x[i] = static_cast<int>(spec.crpix_x + 40.0 * (rng.uniform() - 0.5));
      y[i] = static_cast<int>(spec.crpix_y + 40.0 * (rng.uniform() - 0.5));
      pi[i] = static_cast<short>(1 + 14.0 * rng.uniform());
    }
    fits_write_col(fptr, TDOUBLE, 1, 1, 1, n, time.data(), &status);
    fits_write_col(fptr, TINT, 2, 1, 1, n, x.data(), &status);
    fits_write_col(fptr, TINT, 3, 1, 1, n, y.data(), &status);
    fits_write_col(fptr, TSHORT, 4, 1, 1, n, pi.data(), &status);
  }
  write_gti_table(fptr, spec, &status);
  return close_file(fptr, status);
}

int write_aspect_rdf(const std::string& path, const std::vector<AspectRow>& rows) {
  fitsfile* fptr = nullptr;
  int status = create_file(path, &fptr);
  if (status != 0) return status;
  const long n = static_cast<long>(rows.size());
  create_table(fptr, n, {kRdfAspectColumns, kRdfAspectColumns + 4}, {"1D", "1D", "1D", "1D"},
               {"s", "deg", "deg", "deg"}, "ASPECT", &status);
  std::vector<double> col(n);
  for (int c = 0; c < 4; ++c) {
    for (long i = 0; i < n; ++i) {
      const AspectRow& r = rows[i];
      col[i] = c == 0 ? r.time : c == 1 ? r.a : c == 2 ? r.b : r.c;
    }
    if (n > 0) fits_write_col_dbl(fptr, c + 1, 1, 1, n, col.data(), &status);
  }
  return close_file(fptr, status);
}

int write_aspect_rev0(const std::string& path, const std::vector<std::vector<AspectRow>>& blocks) {
  fitsfile* fptr = nullptr;
  int status = create_file(path, &fptr);
  if (status != 0) return status;
  long version = 0;
  for (const std::vector<AspectRow>& rows : blocks) {
    const long n = static_cast<long>(rows.size());
    create_table(fptr, n, {kRev0AspectColumns, kRev0AspectColumns + 4}, {"1D", "1E", "1E", "1E"},
                 {"s", "pixel", "pixel", "rad"}, "AO", &status);
    // Blocks of one name are told apart by their version.
    key_int(fptr, "EXTVER", ++version, "Aspect block number", &status);
    std::vector<double> time(n);
    std::vector<float> col(n);
    for (long i = 0; i < n; ++i) time[i] = rows[i].time;
    if (n > 0) fits_write_col_dbl(fptr, 1, 1, 1, n, time.data(), &status);
    for (int c = 1; c < 4; ++c) {
      for (long i = 0; i < n; ++i) {
        const AspectRow& r = rows[i];
        col[i] = static_cast<float>(c == 1 ? r.a : c == 2 ? r.b : r.c);
      }
      if (n > 0) fits_write_col_flt(fptr, c + 1, 1, 1, n, col.data(), &status);
    }
  }
  return close_file(fptr, status);
}

int write_gain_table(const std::string& path, const std::vector<double>& times,
                     const std::vector<double>& maps, const std::string& extname) {
  fitsfile* fptr = nullptr;
  int status = create_file(path, &fptr);
  if (status != 0) return status;
  const long n = static_cast<long>(times.size());
  create_table(fptr, n, {"TIME", "GAIN_MAP"}, {"1D", "1024E"}, {"d", " "}, extname.c_str(),
               &status);
  key_str(fptr, "TELESCOP", "ROSAT", "Mission name", &status);
  key_str(fptr, "INSTRUME", "HRI", "Instrument", &status);
  fits_write_comment(fptr, "Gain maps of 32 x 32 cells of 256 pixels, cell (ix, iy) at ix*32+iy",
                     &status);
  if (n > 0) {
    fits_write_col_dbl(fptr, 1, 1, 1, n, const_cast<double*>(times.data()), &status);
    if (maps.size() >= static_cast<std::size_t>(n) * kMapCells)
      fits_write_col_dbl(fptr, 2, 1, 1, n * kMapCells, const_cast<double*>(maps.data()), &status);
  }
  return close_file(fptr, status);
}

bool write_steps_file(const std::string& path, const std::vector<double>& steps) {
  std::FILE* fp = std::fopen(path.c_str(), "w");
  if (fp == nullptr) return false;
  std::fprintf(fp, "# MJD of abrupt changes of the HRI gain\n");
  for (double s : steps) std::fprintf(fp, "%.1f\n", s);
  return std::fclose(fp) == 0;
}

namespace {

// The sample pointing: orbits of 5760 s with about 2100 s of good time each,
// the third orbit's good time split by a short gap.
constexpr double kObsStart = 97'900'000.0;  // spacecraft seconds
constexpr double kOrbit = 5760.0;
constexpr int kOrbits = 6;
constexpr double kWobblePeriod = 402.0;
constexpr double kWobbleAmplitude = 0.05;  // degrees, 3 arcminutes
constexpr double kAspectStep = 2.0;        // seconds between aspect records

// Gain steps of the sample calibration and the map cadence.
constexpr double kFirstMap = 48400.0;
constexpr double kMapSpacing = 60.0;
constexpr int kMaps = 44;
constexpr double kSteps[3] = {48950.0, 49620.0, 50390.0};
constexpr double kStepJumps[3] = {-0.25, 0.30, -0.20};

// Orbit k's visibility window opens a little later each orbit; its good time
// starts a minute after and lasts good_length(k).
double window_start(int k) { return kObsStart + k * kOrbit + 37.0 * k; }
double good_length(int k) { return 1900.0 + 80.0 * ((k * 7) % 5); }

EventFile sample_events(bool rev0) {
  EventFile spec;
  spec.rev0 = rev0;
  for (int k = 0; k < kOrbits; ++k) {
    const double start = window_start(k) + 60.0;
    spec.gti_start.push_back(start);
    if (k == 2) {  // a short gap in this orbit's good time
      spec.gti_stop.push_back(start + 900.0);
      spec.gti_start.push_back(start + 1100.0);
    }
    spec.gti_stop.push_back(start + good_length(k));
  }
  return spec;
}

// Aspect times: every kAspectStep seconds over each orbit's visibility window,
// from a minute before its good time to 460 s after it.
std::vector<double> aspect_times() {
  std::vector<double> times;
  for (int k = 0; k < kOrbits; ++k) {
    const double start = window_start(k);
    const double stop = start + 60.0 + good_length(k) + 460.0;
    for (double t = start; t < stop; t += kAspectStep) times.push_back(t);
  }
  return times;
}

// Wobble along the detector diagonal, in degrees, and a slow drift.
void sky_offset(double t, double* along_x, double* along_y) {
  const double phase = 2.0 * std::numbers::pi * (t - kObsStart) / kWobblePeriod;
  const double w = kWobbleAmplitude * std::sin(phase);
  const double drift = 2.0e-4 * std::sin(2.0 * std::numbers::pi * (t - kObsStart) / 20000.0);
  *along_x = w * std::numbers::sqrt2 / 2 + drift;
  *along_y = w * std::numbers::sqrt2 / 2 - 0.5 * drift;
}

double roll_jitter(double t) {
  return 0.003 * std::sin(2.0 * std::numbers::pi * (t - kObsStart) / 1300.0) +
         0.001 * std::sin(2.0 * std::numbers::pi * (t - kObsStart) / 97.0);
}

std::vector<AspectRow> sample_aspect_rdf(const EventFile& spec) {
  std::vector<AspectRow> rows;
  const double cos_dec = std::cos(spec.dec_nom * std::numbers::pi / 180.0);
  for (double t : aspect_times()) {
    double ox = 0.0;
    double oy = 0.0;
    sky_offset(t, &ox, &oy);
    double ra = spec.ra_nom + ox / cos_dec;
    if (ra < 0.0) ra += 360.0;
    if (ra >= 360.0) ra -= 360.0;
    rows.push_back({t, ra, spec.dec_nom + oy, spec.roll + roll_jitter(t)});
  }
  return rows;
}

// REV0: the same pointing as pixel offsets and a roll in radians, split into
// one "AO" block per orbit.
std::vector<std::vector<AspectRow>> sample_aspect_rev0(const EventFile& spec) {
  std::vector<std::vector<AspectRow>> blocks(kOrbits);
  for (double t : aspect_times()) {
    const int orbit = static_cast<int>((t - kObsStart) / kOrbit);
    double ox = 0.0;
    double oy = 0.0;
    sky_offset(t, &ox, &oy);
    // The pixel offsets of the RDF conversion, so that both layouts describe the
    // same pointing.
    const double r = spec.roll * std::numbers::pi / 180.0;
    const double x = -ox / spec.pixsize;
    const double y = oy / spec.pixsize;
    const double xr = x * std::cos(r) - y * std::sin(r);
    const double yr = x * std::sin(r) + y * std::cos(r);
    blocks[orbit].push_back({t, xr, -yr, roll_jitter(t) * std::numbers::pi / 180.0});
  }
  return blocks;
}

// Gain of cell (ix, iy) at MJD t: a level that drifts slowly and jumps at the
// steps, a smooth pattern over the detector face, and a faint texture.
double sample_gain(int ix, int iy, double t, double texture) {
  double level = 4.6 + 0.15 * (t - kFirstMap) / 365.25;
  for (int s = 0; s < 3; ++s) {
    if (t >= kSteps[s]) level += kStepJumps[s];
  }
  const double rx = (ix - 15.5) / 16.0;
  const double ry = (iy - 15.5) / 16.0;
  const double pattern =
      0.8 * std::sin(0.8 * ix + 0.3) * std::cos(0.6 * iy - 0.2) + 0.3 * (rx * rx + ry * ry);
  return level + pattern + texture;
}

}  // namespace

bool write_sample_observation(const std::string& dir, const SampleOptions& options) {
  EventFile events = sample_events(options.rev0);
  events.ra_nom = options.ra_nom + 1.5 * options.seed;
  events.dec_nom += 0.5 * options.seed;
  events.roll += 7.0 * options.seed;
  if (write_event_file(dir + "/bas.fits", events) != 0) return false;
  const std::string aspect_name = options.rev0 ? "rev0.ao" : "anc.fits";
  const int aspect_status =
      options.rev0 ? write_aspect_rev0(dir + "/" + aspect_name, sample_aspect_rev0(events))
                   : write_aspect_rdf(dir + "/" + aspect_name, sample_aspect_rdf(events));
  if (aspect_status != 0) return false;

  std::vector<double> times(kMaps);
  std::vector<double> maps(static_cast<std::size_t>(kMaps) * kMapCells);
  std::vector<double> texture(kMapCells);
  Lcg rng(2024 + static_cast<std::uint64_t>(options.seed));
  for (double& v : texture) v = 0.04 * (rng.uniform() - 0.5);
  for (int m = 0; m < kMaps; ++m) {
    times[m] = kFirstMap + kMapSpacing * m;
    for (int ix = 0; ix < 32; ++ix) {
      for (int iy = 0; iy < 32; ++iy) {
        maps[static_cast<std::size_t>(m) * kMapCells + ix * 32 + iy] =
            sample_gain(ix, iy, times[m], texture[ix * 32 + iy]);
      }
    }
  }
  if (write_gain_table(dir + "/gain.fits", times, maps) != 0) return false;
  if (!write_steps_file(dir + "/gain.steps", {kSteps, kSteps + 3})) return false;

  std::FILE* par = std::fopen((dir + "/varto.par").c_str(), "w");
  if (par == nullptr) return false;
  std::fprintf(par, "# varto parameters for the sample observation\n");
  std::fprintf(par, "events bas.fits\n");
  std::fprintf(par, "aspect %s\n", aspect_name.c_str());
  std::fprintf(par, "steps gain.steps\n");
  if (options.rev0) {
    std::fprintf(par, "aspcols %s,%s,%s,%s\n", kRev0AspectColumns[0], kRev0AspectColumns[1],
                 kRev0AspectColumns[2], kRev0AspectColumns[3]);
  }
  return std::fclose(par) == 0;
}

}  // namespace sample
