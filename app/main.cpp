// app/main.cpp -- the varto program driver: starts the libraries, gathers the
// parameters, decides the archival data layout and prints the report banner,
// then runs the readers, the binning, the output table and the listings.
#include <cmath>
#include <cstdio>
#include <iterator>
#include <string>

#include "app/varto.h"
#include "dm/dm.h"
#include "param/par.h"
#include "pfile/pfile.h"
#include "util/util.h"

namespace {

constexpr int kFileLen = PAR_VALUE_LEN;  // file names and column names are parameter values
static_assert(PROV_LINE_LEN > PAR_VALUE_LEN, "a provenance line holds any parameter value");
constexpr long kMaxBins = 1000000;       // a ghist giving more bins than this is refused

// Index of the last '.' of name, found by stepping back from just past its last
// non-blank character; 0 when there is none.
int last_dot(const char* name) {
  int i = cs_ends(name);
  while (i > 0 && name[i] != '.') --i;
  return i;
}

// A ghist vector (first centre, last centre, width) must give a usable bin count.
bool ghist_valid(const double* g) {
  if (!std::isfinite(g[0]) || !std::isfinite(g[1]) || !std::isfinite(g[2])) return false;
  if (g[2] <= 0.0 || g[1] < g[0]) return false;
  const double bins = ((g[1] + g[2] / 2) - (g[0] - g[2] / 2)) / g[2] + 1;
  return bins <= static_cast<double>(kMaxBins);
}

// The provenance of the output: every parameter's effective value as
// name=value, defaults included, then the input files, for the HISTORY cards.
provenance* run_provenance(par_table* pars, int debug, const char* const* files,
                           const char* aspcols, const char* mode, const source* src,
                           const double* bso, const double* ghist, const char* evtext) {
  provenance* prov = alloc_provenance();
  prov->nsource = src->count;
  std::snprintf(prov->event_file, sizeof prov->event_file, "%s", files[0]);
  std::snprintf(prov->event_ext, sizeof prov->event_ext, "%s", evtext);
  char text[PROV_LINE_LEN];
  std::snprintf(text, sizeof text, "%d", debug);
  provenance_add(prov, "d=", text);
  const char* const file_names[] = {"events=", "aspect=", "maps=", "steps=", "outfile=", "pos="};
  for (int k = 0; k < 6; ++k) provenance_add(prov, file_names[k], files[k]);
  provenance_add(prov, "aspcols=", aspcols);
  const bool one_position = cs_is_blank(files[5]);
  char xpos[PAR_VALUE_LEN + 1];
  char ypos[PAR_VALUE_LEN + 1];
  par_get(pars, "xpos", "4096.0", xpos);
  par_get(pars, "ypos", "4097.0", ypos);
  if (one_position) {
    std::snprintf(xpos, sizeof xpos, "%.15g", src->xs[0]);
    std::snprintf(ypos, sizeof ypos, "%.15g", src->ys[0]);
  }
  provenance_add(prov, "xpos=", xpos);
  provenance_add(prov, "ypos=", ypos);
  provenance_add(prov, "mode=", mode);
  std::snprintf(text, sizeof text, "%.15g,%.15g,%.15g", bso[0], bso[1], bso[2]);
  provenance_add(prov, "bso=", text);
  std::snprintf(text, sizeof text, "%.15g,%.15g,%.15g", ghist[0], ghist[1], ghist[2]);
  provenance_add(prov, "ghist=", text);
  par_get(pars, "par", "varto.par", text);
  provenance_add(prov, "par=", text);
  par_get(pars, "parkernel", "qel", text);
  provenance_add(prov, "parkernel=", text);
  const char* const inputs[] = {"Input event file ", "Input aspect file ", "Input gain maps ",
                                "Input gain steps ", nullptr, "Input positions "};
  for (int k = 0; k < 6; ++k) {
    if (inputs[k] != nullptr && !cs_is_blank(files[k])) provenance_add(prov, inputs[k], files[k]);
  }
  return prov;
}

// True when text (blanks aside) is made only of the IRAF task-mode letters.
bool task_mode_letters(const char* text) {
  bool any = false;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p == ' ') continue;
    if (*p != 'a' && *p != 'h' && *p != 'l' && *p != 'q') return false;
    any = true;
  }
  return any;
}

// Ends a run refused before any input was read, with exit status 1.
int refuse_run(par_table* pars, char** colnames) {
  free_array_c(colnames);
  par_free(pars);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  // The usage text and the version read and write nothing.
  const int asked = varto_usage_or_version(argc, argv);
  if (asked >= 0) return asked;

  // 1. Start the utility library, then the data model.
  dmInit(rirade_init());

  // 2. Parameters: command line, then the parameter file, then the command line again.
  par_table* pars = par_open("qel", "varto.par", argv, argc);
  if (pars == nullptr) return 1;  // a value or the parameter file was refused; messages said why
  varto_warn_unknown(pars);
  int debug = 0;
  if (!varto_get_integer(pars, "d", 0, &debug)) {
    par_list(pars);
    par_free(pars);
    return 1;
  }
  dbg_set(debug);

  // 3. File names and aspect columns.
  char evtfile[kFileLen + 1];
  char aspfile[kFileLen + 1];
  char mapspec[kFileLen + 1];
  char stepsfile[kFileLen + 1];
  char outfile[kFileLen + 1];
  char aspcols[kFileLen + 1];
  par_get(pars, "events", "bas.fits", evtfile);
  par_get(pars, "aspect", "anc.fits", aspfile);
  par_get(pars, "maps", "gain.fits[RHRI_GAIN]", mapspec);
  par_get(pars, "steps", " ", stepsfile);
  par_get(pars, "outfile", "varto.fits", outfile);
  par_get(pars, "aspcols", "TIME,RA_SC,DEC_SC,ROAN_SC", aspcols);
  char** colnames = alloc_array_c(kFileLen, 4);

  char posfile[kFileLen + 1];
  par_get(pars, "pos", " ", posfile);

  // An output naming an input is refused before anything is read or written.
  char parfile[kFileLen + 1];
  par_get(pars, "par", "varto.par", parfile);
  const char* found_par = c_paramfind(parfile, "r", ".par .rdb $PFEXTN", "$PDIRS $PFILES $UPARM .");
  const std::string found_parfile = found_par != nullptr ? found_par : "";
  const char* inputs[] = {evtfile, aspfile, mapspec, stepsfile, posfile, parfile,
                          found_parfile.c_str()};
  const char* roles[] = {"event", "aspect", "gain-map", "steps", "position", "parameter",
                         "parameter"};
  if (varto_output_is_input(outfile, inputs, roles, static_cast<int>(std::size(inputs)))) {
    par_list(pars);
    return refuse_run(pars, colnames);
  }

  // Numeric parameters and the histogram bins are checked before any input,
  // the position file included, is read.
  const double ghist_default[3] = {3.0, 7.0, 0.05};
  double ghist_spec[3];
  const double bso_default[3] = {48.0, 40.0, 0.0};
  double bso[3];
  double position[2] = {4096.0, 4097.0};
  bool numbers = varto_get_vector(pars, "ghist", ghist_default, ghist_spec);
  numbers = varto_get_vector(pars, "bso", bso_default, bso) && numbers;
  if (cs_is_blank(posfile)) {
    numbers = varto_get_number(pars, "xpos", 4096.0, &position[0]) && numbers;
    numbers = varto_get_number(pars, "ypos", 4097.0, &position[1]) && numbers;
  }
  if (!numbers) {
    par_list(pars);
    return refuse_run(pars, colnames);
  }
  if (!ghist_valid(ghist_spec)) {
    par_list(pars);
    err_msg("Invalid ghist: the bin width must be above 0, the last centre not below the first,");
    err_msg("and the bins at most 1000000");
    return refuse_run(pars, colnames);
  }

  // 4. Source positions: a position file, or one position from xpos and ypos.
  source* src = nullptr;
  if (cs_is_blank(posfile)) {
    src = alloc_source(1);
    dmsg(1, "No position file: using xpos and ypos parameters");
    src->xs[0] = position[0];
    src->ys[0] = position[1];
  } else {
    src = source_read(posfile, 1000);
    if (src == nullptr) return refuse_run(pars, colnames);
  }

  // 5-6. Archival data type: RDF, or REV0 for an aspect file ending in ".ao".
  // The IRAF task mode ("ql" and the like) of a parameter file is no data type.
  char mode[kFileLen + 1];
  par_get(pars, "mode", " ", mode);
  if (task_mode_letters(mode)) cs_copy(" ", mode);
  if (cs_is_blank(mode)) cs_copy(cs_eq(aspfile + last_dot(aspfile), ".ao") ? "REV0" : "RDF", mode);
  const int layout = cs_eq(mode, "RDF") ? 0 : 1;
  const char* evtext = layout == 0 ? "STDEVT" : "EVENTS";

  // 7. The whole parameter table.
  par_list(pars);

  // 8. The four aspect column names: time, then the three attitude columns.
  const char* cursor = aspcols;
  for (int k = 0; k < 4; ++k) cs_get_c(&cursor, colnames[k], kFileLen);

  // 9. Banner.
  char line[UTIL_MSG_BUF + kFileLen];  // report lines name whole file names
  dashline(45);
  tmsg("SOURCE GAIN HISTOGRAM");
  std::snprintf(line, sizeof line, "Archival data type: %s", mode);
  tmsg(line);
  dashline(45);
  tmsg(" ");

  // 10-13. The readers; an input that cannot be read ends the run with status 1.
  obs* observation = nullptr;
  asp* history = nullptr;
  gain_data* maps = nullptr;
  int status = 0;
  std::snprintf(line, sizeof line, "Reading event file %s", evtfile);
  tmsg(line);
  observation = varto_read_event_file(evtfile, evtext);
  if (observation == nullptr) status = 1;
  if (status == 0) {
    std::snprintf(line, sizeof line, "Reading aspect file %s", aspfile);
    tmsg(line);
    const double nominal[3] = {observation->ra_nom, observation->dec_nom, observation->roll_nom};
    history = varto_read_aspect(aspfile, layout, colnames, bso, nominal, observation->pixsize);
    if (history == nullptr) status = 1;
  }
  if (status == 0) {
    std::snprintf(line, sizeof line, "Reading gain map calibrations %s", mapspec);
    tmsg(line);
    maps = varto_cal_read(mapspec);
    if (maps == nullptr) status = 1;
  }
  if (status == 0) {
    dmsg(1, "Read gain maps");
    if (!cs_is_blank(stepsfile)) {
      std::snprintf(line, sizeof line, "Reading gain steps file %s", stepsfile);
      tmsg(line);
      status = read_gain_steps_file(maps, stepsfile);
    }
  }
  if (status == 0) {
    // 14-18. Histogram, binning, output table and listings.
    ghist* hist = ghset(ghist_spec);
    hist->total_time = observation->gtis->total;
    dmsg(1, "Run binning code");
    varto_calc(src, history, observation, maps, hist);
    dmsg(1, "Write FITS file");
    const char* const files[] = {evtfile, aspfile, mapspec, stepsfile, outfile, posfile};
    provenance* prov =
        run_provenance(pars, debug, files, aspcols, mode, src, bso, ghist_spec, evtext);
    // An output that cannot be written fails the run; the listings still show the result.
    status = varto_write(outfile, hist, prov);
    free_provenance(prov);
    dmsg(1, "List results");
    varto_list(hist);
    if (src->count <= 1) {
      dmsg(1, "List times");
      varto_list_times(hist);
    }
    varto_warn_off_detector(hist);
    dmsg(1, "Free structures");
    free_ghist(hist);
  }

  // 19. Release everything the run made.
  free_array_c(colnames);
  free_source(src);
  free_obs(observation);
  free_asp(history);
  free_gain_data(maps);
  par_free(pars);
  return status;
}
