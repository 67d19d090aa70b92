// The whole varto run as one call: gathers the parameters, reads the inputs,
// bins the good time by gain, writes the output table and lists the result,
// every line through the caller's sink. The program's main() is a shell
// around it.
#include "app/run.h"

#include <cmath>
#include <cstdio>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "app/varto.h"
#include "dm/dm.h"
#include "param/par.h"
#include "parameters.h"
#include "pfile/pfile.h"
#include "region/region.h"
#include "util/util.h"

namespace {

// Set for this thread's run when its table goes to standard output: every line
// meant for standard output then goes to standard error.
thread_local bool report_to_err = false;

// Owners that release a record with its library's free_ routine at the end of
// the scope that holds them.
template <auto Free>
struct Freer {
  template <typename T>
  void operator()(T* p) const {
    Free(p);
  }
};
template <typename T, auto Free>
using Owned = std::unique_ptr<T, Freer<Free>>;

}  // namespace

// What write_output needs of a finished run: the histogram and the provenance,
// with the positions and the sky frame it points to.
struct varto::RunOutput {
  Owned<ghist, free_ghist> hist;
  Owned<provenance, free_provenance> prov;
  Owned<source, free_source> positions;
  Owned<sky_frame, free_sky_frame> frame;
};

namespace {

namespace params = varto_params;
using params::kFileCount;
using params::kFiles;

constexpr int kFileLen = PAR_VALUE_LEN;  // file names and column names are parameter values
static_assert(PROV_LINE_LEN > PAR_VALUE_LEN, "a provenance line holds any parameter value");

// Index of the last '.' of name, found by stepping back from just past its last
// non-blank character; 0 when there is none.
int last_dot(const char* name) {
  int i = cs_ends(name);
  while (i > 0 && name[i] != '.') --i;
  return i;
}

// The provenance of the output: every parameter's effective value as
// name=value, defaults included, then the input files, for the HISTORY cards.
provenance* run_provenance(par_table* pars, int debug, const char (*files)[kFileLen + 1],
                           const char* aspcols, const char* mode, const source* src,
                           const double* bso, const double* ghist) {
  provenance* prov = alloc_provenance();
  prov->nsource = src->count;
  char text[PROV_LINE_LEN];
  std::snprintf(text, sizeof text, "%d", debug);
  provenance_add(prov, "d=", text);
  for (std::size_t k = 0; k < kFileCount; ++k)
    provenance_add(prov, (std::string(kFiles[k].parameter) + "=").c_str(), files[k]);
  provenance_add(prov, "aspcols=", aspcols);
  const bool one_position = cs_is_blank(files[params::kPos]);
  char xpos[PAR_VALUE_LEN + 1];
  char ypos[PAR_VALUE_LEN + 1];
  par_get(pars, "xpos", params::get("xpos").def, xpos);
  par_get(pars, "ypos", params::get("ypos").def, ypos);
  if (one_position) {
    std::snprintf(xpos, sizeof xpos, "%.15g", src->xs[0]);
    std::snprintf(ypos, sizeof ypos, "%.15g", src->ys[0]);
  }
  provenance_add(prov, "xpos=", xpos);
  provenance_add(prov, "ypos=", ypos);
  // ra and dec are named only when given, so that a run without them keeps the
  // cards it always had.
  char ra[PAR_VALUE_LEN + 1];
  char dec[PAR_VALUE_LEN + 1];
  params::read(pars, params::get("ra"), ra, nullptr);
  params::read(pars, params::get("dec"), dec, nullptr);
  if (!cs_is_blank(ra) || !cs_is_blank(dec)) {
    provenance_add(prov, "ra=", ra);
    provenance_add(prov, "dec=", dec);
  }
  provenance_add(prov, "mode=", mode);
  std::snprintf(text, sizeof text, "%.15g,%.15g,%.15g", bso[0], bso[1], bso[2]);
  provenance_add(prov, "bso=", text);
  std::snprintf(text, sizeof text, "%.15g,%.15g,%.15g", ghist[0], ghist[1], ghist[2]);
  provenance_add(prov, "ghist=", text);
  params::read(pars, params::get("par"), text, nullptr);
  provenance_add(prov, "par=", text);
  params::read(pars, params::get("parkernel"), text, nullptr);
  provenance_add(prov, "parkernel=", text);
  for (std::size_t k = 0; k < kFileCount; ++k) {
    const char* label = kFiles[k].provenance;
    if (label != nullptr && !cs_is_blank(files[k])) provenance_add(prov, label, files[k]);
  }
  return prov;
}

// The folder cwd as the start of a path: with one '/' at its end.
std::string folder_prefix(const std::string& cwd) { return cwd.ends_with('/') ? cwd : cwd + "/"; }

// name as a run in the folder cwd opens it: a relative file name taken against
// cwd. Names CFITSIO reads as no plain file ("-", "stdin", "stdout", "mem://"
// and other "scheme://" names), absolute names and blank ones stay as they are,
// as does every name when cwd is empty. A leading '!' and a "[block]" are kept.
std::string in_folder(const std::string& cwd, const char* name) {
  std::string_view rest(name);
  const std::size_t first = rest.find_first_not_of(' ');
  if (cwd.empty() || first == std::string_view::npos) return name;
  rest.remove_prefix(first);
  std::string prefix;
  if (rest.front() == '!') {
    prefix = "!";
    rest.remove_prefix(1);
  }
  const std::string_view file = rest.substr(0, rest.find('['));
  if (file.empty() || file.front() == '/' || file == "-" || file == "stdin" || file == "stdout" ||
      file.find("://") != std::string_view::npos)
    return name;
  return prefix + folder_prefix(cwd) + std::string(rest);
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

// What the run is asked to do: the parameter table and the values read from it.
struct Run {
  std::string cwd;  // the folder relative names are taken against; empty: the working folder
  Owned<par_table, par_free> pars;
  Owned<char*, free_array_c> colnames{alloc_array_c(kFileLen, 4)};
  int debug = 0;
  char files[kFileCount][kFileLen + 1] = {};  // the names of kFiles as given
  std::string paths[kFileCount];              // and as the run opens them (in_folder)
  char aspcols[kFileLen + 1] = {};
  char mode[kFileLen + 1] = {};
  double ghist_spec[3] = {};
  double bso[3] = {};
  int layout = 0;  // 0 for RDF, 1 for REV0
  const char* evtext = "STDEVT";
  Owned<dmDataset, dmDatasetClose> events;  // the event file, opened once (null: unreadable)
  Owned<source, free_source> src;
  Owned<sky_frame, free_sky_frame> frame;  // null when the event file has no celestial system
  std::string sky_fault;                   // why sky positions cannot use it; empty when they can
  bool region = false;                     // the position file is a region file
};

// The records read from the input files.
struct Inputs {
  Owned<obs, free_obs> observation;
  Owned<asp, free_asp> history;
  Owned<gain_data, free_gain_data> maps;
};

// The position from the parameters ra and dec (degrees or sexagesimal) into
// position, when both are given; nothing when neither is. False, after a
// message, when only one is given, one cannot be read, or the event file has no
// celestial system to carry them to sky pixels (or one sky_fault says is unfit).
bool sky_position(par_table* pars, const char* evtfile, const sky_frame* frame,
                  const std::string& sky_fault, double* position) {
  char ra_text[PAR_VALUE_LEN + 1];
  char dec_text[PAR_VALUE_LEN + 1];
  params::read(pars, params::get("ra"), ra_text, nullptr);
  params::read(pars, params::get("dec"), dec_text, nullptr);
  const bool has_ra = !cs_is_blank(ra_text);
  const bool has_dec = !cs_is_blank(dec_text);
  if (!has_ra && !has_dec) return true;
  if (has_ra != has_dec) {
    err_msg("Parameters ra and dec go together: give both, or neither (then xpos and ypos count)");
    return false;
  }
  double ra = 0.0;
  double dec = 0.0;
  if (!region_parse_ra(ra_text, &ra)) {
    err_msg1("Parameter ra: not a right ascension in degrees or h:m:s:", ra_text);
    return false;
  }
  if (!region_parse_dec(dec_text, &dec)) {
    err_msg1("Parameter dec: not a declination in degrees or d:m:s:", dec_text);
    return false;
  }
  if (!sky_fault.empty()) {
    err_msg1("ra and dec cannot be used with the event file", evtfile);
    err_msg(sky_fault.c_str());
    return false;
  }
  if (frame == nullptr) {
    err_msg1("ra and dec need celestial coordinate keys for X and Y in the event file:", evtfile);
    return false;
  }
  if (sky_to_pixel(frame, ra, dec, &position[0], &position[1]) != 0) {
    err_msg("ra and dec have no sky pixel in the event file's frame");
    return false;
  }
  return true;
}

// Gathers the parameters: the command line, then the parameter file, then the
// command line again. Checks them all before any input is read, refusing an
// output that names an input; takes the source positions from the position
// file or from xpos and ypos; decides the archival data type and lists the
// whole table. False when the run is refused (exit status 1).
bool gather_parameters(std::vector<char*>& words, int flags, Run* run) {
  run->pars.reset(par_open_at("qel", "varto.par", words.data(), static_cast<int>(words.size()),
                              flags, run->cwd.c_str()));
  par_table* pars = run->pars.get();
  if (pars == nullptr)
    return false;  // a value or the parameter file was refused; messages said why
  varto_warn_unknown(pars);
  double debug = 0.0;
  if (!params::read(pars, params::get("d"), nullptr, &debug)) {
    par_list(pars);
    return false;
  }
  run->debug = static_cast<int>(debug);
  dbg_set(run->debug);

  for (std::size_t k = 0; k < kFileCount; ++k) {
    for (const params::Parameter& p : params::kTable) {
      if (cs_eq(p.name, kFiles[k].parameter)) params::read(pars, p, run->files[k], nullptr);
    }
    run->paths[k] = in_folder(run->cwd, run->files[k]);
  }
  // Standard output carries the table: the report goes to standard error.
  if (varto_output_is_stdout(run->files[params::kOutfile])) report_to_err = true;
  params::read(pars, params::get("aspcols"), run->aspcols, nullptr);

  // An output naming an input is refused before anything is read or written.
  char parfile[kFileLen + 1];
  params::read(pars, params::get("par"), parfile, nullptr);
  const std::string base = pfile_set_base_dir(run->cwd.c_str());
  const char* found_par = c_paramfind(parfile, "r", ".par .rdb $PFEXTN", "$PDIRS $PFILES $UPARM .");
  const std::string found_parfile = found_par != nullptr ? found_par : "";
  pfile_set_base_dir(base.c_str());
  const std::string par_path = in_folder(run->cwd, parfile);
  std::vector<const char*> inputs;
  std::vector<const char*> roles;
  for (std::size_t k = 0; k < kFileCount; ++k) {
    if (kFiles[k].role == nullptr) continue;
    inputs.push_back(run->paths[k].c_str());
    roles.push_back(kFiles[k].role);
  }
  for (const std::string* name : {&par_path, &found_parfile}) {
    inputs.push_back(name->c_str());
    roles.push_back("parameter");
  }
  if (varto_output_is_input(run->paths[params::kOutfile].c_str(), inputs.data(), roles.data(),
                            static_cast<int>(inputs.size()))) {
    par_list(pars);
    return false;
  }

  // Numeric parameters and the histogram bins are checked before any input,
  // the position file included, is read.
  double position[2] = {};
  const bool one_position = cs_is_blank(run->files[params::kPos]);
  bool numbers = params::read(pars, params::get("ghist"), nullptr, run->ghist_spec);
  numbers = params::read(pars, params::get("bso"), nullptr, run->bso) && numbers;
  if (one_position) {
    numbers = params::read(pars, params::get("xpos"), nullptr, &position[0]) && numbers;
    numbers = params::read(pars, params::get("ypos"), nullptr, &position[1]) && numbers;
  }
  if (!numbers) {
    par_list(pars);
    return false;
  }
  const int bins = ghist_bins(run->ghist_spec);
  if (bins == 0) {
    par_list(pars);
    err_msg("Invalid ghist: the bin width must be above 0, the last centre not below the first,");
    err_msg("and the bins at most 1000000");
    return false;
  }
  if (bins < 2) {
    par_list(pars);
    err_msg("Invalid ghist: it gives no usable bin (bin 0 never receives weight)");
    return false;
  }

  // The archival data type: RDF, or REV0 for an aspect file ending in ".ao".
  // The IRAF task mode ("ql" and the like) of a parameter file is no data type.
  params::read(pars, params::get("mode"), run->mode, nullptr);
  if (task_mode_letters(run->mode)) cs_copy(" ", run->mode);
  if (cs_is_blank(run->mode)) {
    cs_copy(cs_eq(run->files[params::kAspect] + last_dot(run->files[params::kAspect]), ".ao")
                ? "REV0"
                : "RDF",
            run->mode);
  }
  run->layout = cs_eq(run->mode, "RDF") ? 0 : 1;
  run->evtext = run->layout == 0 ? "STDEVT" : "EVENTS";

  // The event file is opened once, here: its sky frame serves sky positions and
  // the RA and Dec of the positions written out; its header and good time
  // intervals are read with the other inputs, where a file that cannot be
  // opened is reported.
  dmsg1(1, "Open DS ", run->files[params::kEvents]);
  run->events.reset(dmDatasetOpen(run->paths[params::kEvents].c_str()));
  run->frame.reset(sky_frame_read(run->events.get(), run->evtext, &run->sky_fault));

  // The source positions: a position or region file, or one position from
  // ra and dec or from xpos and ypos.
  if (one_position) {
    if (!sky_position(pars, run->files[params::kEvents], run->frame.get(), run->sky_fault,
                      position)) {
      par_list(pars);
      return false;
    }
    run->src.reset(alloc_source(1));
    dmsg(1, "No position file: using xpos and ypos parameters");
    run->src->xs[0] = position[0];
    run->src->ys[0] = position[1];
  } else {
    if (varto_sky_position_given(pars)) {
      par_list(pars);
      err_msg("Parameters pos and ra, dec both give the source position: give only one");
      return false;
    }
    run->src.reset(source_read_file(run->paths[params::kPos].c_str(), 1000, run->frame.get(),
                                    run->sky_fault.c_str(), &run->region));
    if (run->src == nullptr) return false;
  }

  par_list(pars);

  // The aspect column names: time, then the three attitude columns.
  const char* cursor = run->aspcols;
  for (int k = 0; k < 4; ++k) cs_get_c(&cursor, run->colnames.get()[k], kFileLen);
  return true;
}

// Writes the report banner, then reads the event file, the aspect history, the
// gain maps and the gain steps, naming each file first. False as soon as one
// cannot be read (exit status 1).
bool read_inputs(const Run& run, Inputs* in) {
  dashline(45);
  tmsg("SOURCE GAIN HISTOGRAM");
  const std::string type = std::string("Archival data type: ") + run.mode;
  tmsg(type.c_str());
  dashline(45);
  tmsg(" ");
  // The report line that names a file before it is read; the path it is opened by.
  const auto reading = [&run](std::size_t k) {
    const std::string line = kFiles[k].reading + std::string(run.files[k]);
    tmsg(line.c_str());
    return run.paths[k].c_str();
  };

  const char* events = reading(params::kEvents);
  in->observation.reset(varto_read_events(run.events.get(), events, run.evtext));
  if (in->observation == nullptr) return false;
  const obs& o = *in->observation;

  const char* aspect = reading(params::kAspect);
  const double nominal[3] = {o.ra_nom, o.dec_nom, o.roll_nom};
  in->history.reset(
      varto_read_aspect(aspect, run.layout, run.colnames.get(), run.bso, nominal, o.pixsize));
  if (in->history == nullptr) return false;

  const char* maps = reading(params::kMaps);
  in->maps.reset(varto_cal_read(maps, in_folder(run.cwd, "gain.time").c_str()));
  if (in->maps == nullptr) return false;
  dmsg(1, "Read gain maps");
  if (!cs_is_blank(run.files[params::kSteps])) {
    if (read_gain_steps_file(in->maps.get(), reading(params::kSteps)) != 0) return false;
  }
  return true;
}

// Bins the good time by gain, writes the output table and lists the result.
// The listings are written even when the table cannot be: 1 then, else 0.
int run_and_report(const Run& run, const Inputs& in, bool write, std::unique_lock<std::mutex>& lock,
                   varto::RunOutput* output) {
  Owned<ghist, free_ghist> hist(ghset(run.ghist_spec));
  hist->total_time = in.observation->gtis->total;
  dmsg(1, "Run binning code");
  // The binning touches no library state but this thread's messages: other
  // runs may go on meanwhile.
  lock.unlock();
  const int calc =
      varto_calc(run.src.get(), in.history.get(), in.observation.get(), in.maps.get(), hist.get());
  lock.lock();
  if (calc != 0) return calc;
  dmsg(1, "Write FITS file");
  int status = 0;
  {
    Owned<provenance, free_provenance> prov(run_provenance(run.pars.get(), run.debug, run.files,
                                                           run.aspcols, run.mode, run.src.get(),
                                                           run.bso, run.ghist_spec));
    provenance_read_mission(prov.get(), run.events.get(), run.evtext);
    prov->positions = run.src.get();
    prov->frame = run.frame.get();
    if (run.region) std::snprintf(prov->region, sizeof prov->region, "%s", run.files[params::kPos]);
    if (write) {
      status = varto_write(run.paths[params::kOutfile].c_str(), hist.get(), prov.get());
    } else {
      varto_list_mean_gain(hist.get());
    }
    output->prov.reset(prov.release());
  }
  dmsg(1, "List results");
  varto_list(hist.get());
  if (run.src->count <= 1) {
    dmsg(1, "List times");
    varto_list_times(hist.get());
  }
  varto_warn_exposure(hist.get());
  dmsg(1, "Free structures");
  output->hist = std::move(hist);
  return status;
}

// The libraries below the driver keep process-wide state: the utility
// library's channel table, message stacks and search path, the data model's
// state and error text, the parameter-file library's open files and error
// state, and CFITSIO's own. A run holds this lock while it uses them, and
// lets it go while it bins.
std::mutex& library_lock() {
  static std::mutex lock;
  return lock;
}

// Report lines that begin one of the failure messages, when nothing else says why a run stopped.
constexpr const char* kFailureStarts[] = {"Failed",   "Error",         "ERROR",        "Bad ",
                                          "Too many", "Position line", "Output file ", "Invalid",
                                          "***",      "Parameter "};

// The calling thread's messages, for a run: each piece goes to the caller's
// sink (or the standard streams) and is kept by line, to find the error.
class Capture {
 public:
  explicit Capture(const varto::Sink& sink) : sink_(sink) {
    report_to_err = false;
    util_set_sink(&Capture::receive, this);
  }
  ~Capture() {
    util_set_sink(nullptr, nullptr);
    report_to_err = false;
  }
  Capture(const Capture&) = delete;

  // A run in the folder cwd opens cwd/NAME for a relative NAME; its messages
  // name the file as the user gave it, as the program run in that folder does.
  void name_relative_to(const std::string& cwd) {
    if (!cwd.empty()) hidden_ = folder_prefix(cwd);
  }
  Capture& operator=(const Capture&) = delete;

  // The line that says why a run stopped: the first on standard error that is
  // neither a debug line nor a warning, else the first failure line of the
  // report, else its last line.
  std::string error() const {
    for (const std::string& line : lines_[1]) {
      if (!line.starts_with("[*") && !line.starts_with("Warning")) return line;
    }
    for (const std::string& line : lines_[0]) {
      for (const char* start : kFailureStarts) {
        if (line.starts_with(start)) return line;
      }
    }
    return lines_[0].empty() ? std::string() : lines_[0].back();
  }

 private:
  static void receive(void* context, int stream, const char* text, std::size_t n) {
    auto* self = static_cast<Capture*>(context);
    const varto::Stream which = stream == UTIL_STREAM_ERR ? varto::Stream::err : varto::Stream::out;
    const varto::Stream to_stream = report_to_err ? varto::Stream::err : which;
    std::string_view piece(text, n);
    std::string shown;
    if (!self->hidden_.empty() && piece.find(self->hidden_) != std::string_view::npos) {
      shown = piece;
      for (std::size_t at = 0; (at = shown.find(self->hidden_, at)) != std::string::npos;)
        shown.erase(at, self->hidden_.size());
      piece = shown;
      text = shown.data();
      n = shown.size();
    }
    if (self->sink_) {
      self->sink_(to_stream, piece);
    } else {
      FILE* to = to_stream == varto::Stream::err ? stderr : stdout;
      if (to == stderr) std::fflush(stdout);
      std::fwrite(text, 1, n, to);
      std::fflush(to);
    }
    self->keep(which == varto::Stream::err ? 1 : 0, piece);
  }

  // Whole lines without their blanks at either end; blank lines are dropped.
  void keep(int k, std::string_view piece) {
    for (char c : piece) {
      if (c != '\n') {
        open_[k] += c;
        continue;
      }
      const std::size_t first = open_[k].find_first_not_of(" \t\r");
      if (first != std::string::npos) {
        const std::size_t last = open_[k].find_last_not_of(" \t\r");
        lines_[k].push_back(open_[k].substr(first, last - first + 1));
      }
      open_[k].clear();
    }
  }

  const varto::Sink& sink_;
  std::string hidden_;  // the prefix the run's folder puts before relative names
  std::string open_[2];
  std::vector<std::string> lines_[2];
};

// The table of a finished run into result.
void fill_result(const varto::RunOutput& out, bool region, varto::RunResult* result) {
  const ghist* h = out.hist.get();
  for (int i = 0; i < h->count; ++i) {
    result->gain.push_back(h->low + (i + 0.5) * h->width);
    result->weight.push_back(h->total_time > 0 ? h->weight[i] / h->total_time : 0.0);
    result->exposure.push_back(h->weight[i]);
  }
  result->avg_gain = varto_mean_gain(h);
  for (int k = 0; k < LEDGER_TERM_COUNT; ++k) {
    const ledger_term& term = LEDGER_TERMS[k];
    result->ledger.emplace_back(term.key, h->*term.time);
  }
  const source* src = out.positions.get();
  result->has_sky = out.frame != nullptr;
  for (int i = 0; i < src->count; ++i) {
    result->x.push_back(src->xs[i]);
    result->y.push_back(src->ys[i]);
    if (!result->has_sky) continue;
    double ra = 0.0;
    double dec = 0.0;
    if (pixel_to_sky(out.frame.get(), src->xs[i], src->ys[i], &ra, &dec) != 0) {
      ra = std::nan("");
      dec = std::nan("");
    }
    result->ra.push_back(ra);
    result->dec.push_back(dec);
  }
  result->step = src->step;
  if (region) result->region = out.prov->region;
}

}  // namespace

namespace varto {

RunResult run(const RunOptions& options) {
  RunResult result;
  Capture capture(options.sink);
  capture.name_relative_to(options.cwd);
  // The parameter readers take the words after a program name.
  std::vector<std::string> copies;
  copies.reserve(options.words.size() + 1);
  copies.emplace_back("varto");
  for (const std::string& word : options.words) copies.push_back(word);
  std::vector<char*> words;
  for (std::string& word : copies) words.push_back(word.data());
  words.push_back(nullptr);
  words.pop_back();
  const int flags =
      (options.queries ? 0 : PAR_NO_QUERIES) | (options.read_parameter_file ? 0 : PAR_NO_FILE);

  std::unique_lock<std::mutex> lock(library_lock());
  // The utility library starts first, then the data model.
  dmInit(rirade_init());
  {
    Run run;
    run.cwd = options.cwd;
    Inputs inputs;
    auto output = std::make_shared<RunOutput>();
    if (gather_parameters(words, flags, &run) && read_inputs(run, &inputs)) {
      const int status = run_and_report(run, inputs, options.write_output, lock, output.get());
      if (output->hist != nullptr) {
        output->positions = std::move(run.src);
        output->frame = std::move(run.frame);
        fill_result(*output, run.region, &result);
        result.wrote_output = options.write_output && status == 0;
        result.output = std::move(output);
      }
      result.status = status;
    }
  }
  if (result.status != 0) result.error = capture.error();
  return result;
}

int write_output(const RunResult& result, const std::string& path, const Sink& sink) {
  Capture capture(sink);
  const std::lock_guard<std::mutex> lock(library_lock());
  dmInit(rirade_init());
  if (result.output == nullptr || result.output->hist == nullptr) {
    tmsg("Failed to create output file");
    tmsg("The run did not complete: there is no table to write");
    return 1;
  }
  const RunOutput& out = *result.output;
  // The provenance names the output the file is written as.
  provenance prov = *out.prov;
  for (int k = 0; k < prov.count; ++k) {
    if (std::string_view(prov.lines[k]).starts_with("outfile=")) {
      std::snprintf(prov.lines[k], sizeof prov.lines[k], "outfile=%s", path.c_str());
    }
  }
  return varto_write(path.c_str(), out.hist.get(), &prov, false);
}

}  // namespace varto
