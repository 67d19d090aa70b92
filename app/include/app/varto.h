// app/varto.h -- the varto application library: the readers of the event file,
// good time intervals, aspect history, gain maps, gain steps and source positions,
// the gain interpolation and histogram accumulation, and the table writer and
// listings. main.cpp drives them in a fixed order; each reader's record is freed
// by the driver with the matching free_ routine.
#pragma once

#include <string>

struct dmDataset;
struct dmBlock;
struct par_table;
struct region_shape;

// ---------------------------------------------------------------------------
// Good time intervals (also the per-bin time filters of the histogram)
// ---------------------------------------------------------------------------

/// A list of time ranges in spacecraft seconds with their total.
struct gti {
  int count = 0;             // ranges held
  int capacity = 0;          // ranges allocated
  double* starts = nullptr;  // capacity range starts
  double* stops = nullptr;   // capacity range stops
  double total = 0.0;        // sum of (stop - start), set after reading
};

/// Empty list of the given capacity (count 0). Released with free_gti.
gti* alloc_gti(int capacity);
/// Releases the list; null is ignored.
void free_gti(gti* list);
/// Reads "STDGTI", else "GTI", of an open dataset and totals it. Null, after the
/// terminal message "Failed to open GTI", when neither block exists, or when the
/// table cannot be read.
gti* dataset_get_gti(dmDataset* ds);
/// Reads the first two columns of an open table block as starts and stops;
/// null when a read fails.
gti* read_gti(dmBlock* block);
/// Sum of (stop - start) over the ranges.
double sum_gti(const gti* list);
/// Seconds of [t0, t1] inside the ranges; touching ranges and overlaps count.
double in_gti(double t0, double t1, const gti* list);

// ---------------------------------------------------------------------------
// Observation header and event file
// ---------------------------------------------------------------------------

/// What the event file says about the observation.
struct obs {
  gti* gtis = nullptr;    // owned good time intervals
  double mjdref = 0.0;    // MJD of spacecraft time 0
  double ra_nom = 0.0;    // degrees, reference value of the X column
  double dec_nom = 0.0;   // degrees, reference value of the Y column
  double roll_nom = 0.0;  // degrees
  double x0 = 0.0;        // sky pixels, reference pixel of X
  double y0 = 0.0;        // sky pixels, reference pixel of Y
  double pixsize = 0.0;   // degrees per pixel, increment of Y
};

obs* alloc_obs(void);
/// Frees the good time intervals and the record; null is ignored.
void free_obs(obs* record);
/// Reads the good time intervals and the events header of file. Null (after a
/// message) when the file cannot be opened, holds no good time intervals, has
/// an interval that is not two numbers in order, or when its events table
/// cannot be read, lacks the X/Y sky frame or gives a pixel size of 0.
obs* varto_read_event_file(const char* file, const char* extname);
/// The same from the event file file already open as ds (null when it could not
/// be opened: the message names file). ds stays open.
obs* varto_read_events(dmDataset* ds, const char* file, const char* extname);
/// Fills every field but the good time intervals from block extname of ds.
/// 0, or nonzero when the table cannot be opened, X or Y has no coordinate
/// transform, or the pixel size is 0 or not a number.
int varto_get_pointing_info(dmDataset* ds, const char* extname, obs* record);
/// Debug listing of the record on the current output channel.
void obs_print(const obs* record);
/// After a file could not be opened: one terminal line "Reason: " with the data
/// model's reason (CFITSIO's words); nothing when there is none.
void print_open_reason(void);

// ---------------------------------------------------------------------------
// Aspect history
// ---------------------------------------------------------------------------

/// Times and offset vectors (X, Y pixels; R degrees) against the nominal pointing.
struct asp {
  int count = 0;               // records filled
  int capacity = 0;            // records allocated
  double* times = nullptr;     // spacecraft seconds
  double** offsets = nullptr;  // capacity 3-vectors (vec_alloc_d)
};

/// Record with room for n entries, count 0. Released with free_asp.
asp* alloc_asp(int n);
void free_asp(asp* history);
/// Reads the aspect history of file. rev0 is 0 for the RDF layout, 1 for REV0;
/// cols are the time column and three attitude columns; nominal is (RA, Dec,
/// roll) in degrees. Null, after "Failed to open aspect file", when the file
/// cannot be opened, null when a named column is missing, after the data
/// model's message when a read fails, after "Failed to read aspect" when no
/// record was read, and after a message naming the file when a column is not
/// real, fewer than 2 records were read or a time is not a number.
asp* varto_read_aspect(const char* file, int rev0, char** cols, const double* bso,
                       const double* nominal, double pixsize);
/// Reads every aspect table ("ASPECT", else all blocks named "AO") of ds. Null,
/// after the message naming the column, when the time column or an attitude
/// column is missing from a table, or when a column read fails.
asp* aspect_read(dmDataset* ds, const double* bso, const double* nominal, double pixsize, int rev0,
                 char** cols);
/// ra - ra0 in degrees, brought into [-180, 180): the shorter way round the sky,
/// so that a pointing across RA 0/360 gives small offsets.
double ra_difference(double ra, double ra0);
/// Converts an attitude (RA, Dec, roll in degrees) to an offset vector.
void point_to_asp(const double* attitude, const double* nominal, double pixsize, double* offset);
/// Applies the boresight offset bso (X, Y pixels, roll degrees) to offset in place.
void bore_correct(const double* bso, double* offset);

// ---------------------------------------------------------------------------
// Gain maps and gain steps
// ---------------------------------------------------------------------------

constexpr int GAIN_MAP_SIZE = 1024;  // 32 x 32 cells, cell (ix, iy) at ix*32 + iy
constexpr int GAIN_MAP_SIDE = 32;
constexpr int GAIN_STEP_CAPACITY = 50;

/// Gain maps against time (MJD) and the gain steps.
struct gain_data {
  int count = 0;            // maps
  double* times = nullptr;  // count map times, MJD
  double* maps = nullptr;   // count * GAIN_MAP_SIZE gains, map i at i*GAIN_MAP_SIZE
  int step_count = 0;       // steps read
  int step_capacity = 0;    // steps allocated
  double* steps = nullptr;  // step times, MJD
};

/// Record for n maps (zeroed) and step_capacity steps. Released with free_gain_data.
gain_data* alloc_gain_data(int n, int step_capacity);
void free_gain_data(gain_data* set);
/// Reads the maps of the table named by spec ("file[block]"). Null, after a
/// message, when the table cannot be opened or read, lacks its TIME and GAIN_MAP
/// columns, has maps that are not 32 x 32 or times that are not numbers, or
/// holds fewer than two maps. At debug level 1 the maps are listed in the file
/// time_file (by default "gain.time" in the working folder).
gain_data* varto_cal_read(const char* spec, const char* time_file = "gain.time");
/// Appends the steps listed in file (one MJD a line, '#' comments); a blank name
/// does nothing. At most step_capacity steps are kept; steps out of time order
/// are sorted, with one warning. 1, after "Failed to open steps file" or a line
/// naming the bad line, when the file cannot be opened or a line's first word
/// is not a finite number; else 0.
int read_gain_steps_file(gain_data* set, const char* file);
/// Writes the centre gain, mean and variance of every map to the file file
/// ("gain.time" unless another path is given).
void time_slice(const gain_data* set, const char* file = "gain.time");

// ---------------------------------------------------------------------------
// Source positions
// ---------------------------------------------------------------------------

/// Sky pixel positions of the source.
struct source {
  int count = 0;
  int capacity = 0;
  double x = 0.0;  // the one position when capacity < 2
  double y = 0.0;
  double* xs = nullptr;  // positions; &x and &y when capacity < 2
  double* ys = nullptr;
  int step = 1;  // a region file thinned to one centre in every step, in scan order
};

/// capacity < 2: one position (0, 0) held in the record; else empty arrays.
source* alloc_source(int capacity);
void free_source(source* list);
/// Reads "x y" (or "x,y") lines of file, skipping blank lines and lines whose
/// first word begins with '#'. Null, after a message, when the file cannot be
/// opened, when it holds capacity positions or more ("Too many pixels in
/// region"), or when a line's x or y is not a number or the line is longer than
/// 255 characters (the message names the file and the line number).
source* source_read(const char* file, int capacity);
struct sky_frame;
/// Reads the region file file: the sky-pixel centres inside its included shapes
/// less its excluded ones, and its points, thinned to one centre in every step
/// in scan order when more than capacity - 1 (with the line "Region FILE: N
/// pixels, one in every K used: M positions"). Sky shapes are turned into pixels
/// through frame. Null, after a message naming the file and the line, when the
/// file cannot be opened, a line is malformed, names an unknown shape or a
/// system varto does not read, a shape holds no pixel centre, nothing is left,
/// the region is too large to scan, or the region is in sky coordinates and
/// frame is null or sky_fault (see sky_frame_read; null or empty for none) says
/// why they cannot be used.
source* source_read_region(const char* file, int capacity, const sky_frame* frame,
                           const char* sky_fault = nullptr);
/// Reads file once and takes it as a region file (source_read_region, *region
/// set) when a line that is not a comment holds a shape, a coordinate system
/// or "global", else as a list of positions (source_read). So a pipe serves.
source* source_read_file(const char* file, int capacity, const sky_frame* frame,
                         const char* sky_fault, bool* region);

// ---------------------------------------------------------------------------
// World coordinates of the event file's sky pixels
// ---------------------------------------------------------------------------

/// The celestial world coordinate system of the X and Y columns of table
/// extname of the open event file, built by WCSLIB from the table's header
/// cards. Null, silently, when the table or its columns cannot be read or the
/// columns have no celestial system. Released with free_sky_frame. why (when
/// not null) receives why sky coordinates (RA and Dec in FK5 or ICRS at equinox
/// 2000) cannot be placed through the frame, to be reported only when they are
/// given: celestial keys that cannot be used (the key and its fault; the frame
/// is then null), or a frame that is not equatorial RA and DEC, or in another
/// system or equinox (the frame is kept, for the RA and DEC it gives the
/// positions written out). Empty otherwise.
sky_frame* sky_frame_read(dmDataset* events, const char* extname, std::string* why = nullptr);
/// The frame from header text: ncards 80-character cards, X and Y the table
/// columns xcol and ycol (1-based). Null, and why, as for sky_frame_read.
sky_frame* sky_frame_from_header(const char* cards, int ncards, int xcol, int ycol,
                                 std::string* why = nullptr);
/// Releases the frame; null is ignored.
void free_sky_frame(sky_frame* frame);
/// RA, Dec (degrees, the frame's equatorial system) to sky pixel X, Y; 0, or 1
/// when the position has no pixel.
int sky_to_pixel(const sky_frame* frame, double ra, double dec, double* x, double* y);
/// Sky pixel X, Y to RA, Dec in degrees; 0, or 1 when the pixel has no position.
int pixel_to_sky(const sky_frame* frame, double x, double y, double* ra, double* dec);
/// A shape in sky coordinates as a shape in sky pixels: every position through
/// the frame; sizes by the pixel scale at the centre and angles by the direction
/// of north there, both from the pixel step of a point one arcsecond north of the
/// centre. 0, or 1 when a position has no pixel.
int sky_shape_to_pixels(const sky_frame* frame, const region_shape& in, region_shape* out);

// ---------------------------------------------------------------------------
// Gain interpolation
// ---------------------------------------------------------------------------

/// Gain at detector position (detx, dety) at time mjd. Not a number, after the
/// messages of a run stopped, when mjd lies outside the calibrated period or the
/// set has fewer than two maps (the binning checks the period first and stops).
/// Positions beyond the grid take the gain of the edge cells.
double do_interp(const gain_data* set, double mjd, double detx, double dety);
/// Bilinear interpolation in one map at grid coordinates (gx, gy) = det / 256,
/// clamped to the grid points 1..32 of the cells.
double interp_gain(const double* map, double gx, double gy);
/// First i in 1..n-1 with array[i] > x; n-1 when there is none.
int find_entry_d(double x, const double* array, int n);
/// k in 1..n-1 such that maps k-1 and k bracket t within t's step segment.
int find_entry_and_step_d(double t, const double* times, int n, const double* steps, int m);

// ---------------------------------------------------------------------------
// Gain histogram
// ---------------------------------------------------------------------------

/// Histogram of gain weighted by good time, with per-bin position statistics.
/// The aspect sums hold component m (X, Y, R) of bin i at [m * count + i].
struct ghist {
  double width = 0.0;
  double low = 0.0;               // lower edge of bin 0
  int count = 0;                  // bins
  double total_time = 0.0;        // observation good time, seconds
  double* weight = nullptr;       // seconds per bin
  double* first_start = nullptr;  // 0 = none yet
  double* last_stop = nullptr;
  gti** time_filter = nullptr;  // per bin, null until used (single position)
  double* sum_detx = nullptr;
  double* sum_dety = nullptr;
  double* sum_asp = nullptr;  // 3 * count
  double* sum_detx2 = nullptr;
  double* sum_dety2 = nullptr;
  double* sum_asp2 = nullptr;  // 3 * count
  // The exposure ledger, seconds: where the good time of every sample went
  // (one sample per aspect interval with good time and position, weighing its
  // good time shared among the positions), and how the aspect intervals cover
  // the good time intervals. Set by varto_calc.
  double asp_time = 0.0;   // good time of the aspect intervals used
  double hist_time = 0.0;  // added to a bin
  long off_count = 0;      // samples whose detector position fell off the gain maps
  double off_time = 0.0;   // the weight those samples did not add
  long nogain_count = 0;   // samples whose interpolated gain is not a finite number
  double nogain_time = 0.0;
  long outside_count = 0;  // samples whose gain falls in bin 0 or outside the bins
  double outside_time = 0.0;
  double noasp_time = 0.0;  // good time no aspect interval covers
  double dup_time = 0.0;    // good time covered by more than one aspect interval
};

/// One term of the exposure ledger: its header key in GAIN_HIST and the key's
/// comment, the field of ghist holding its seconds, the field counting its
/// samples (null when it is not counted by sample), and the words of its
/// closing warning (null when it has none).
struct ledger_term {
  const char* key;
  const char* comment;
  double ghist::*time;
  long ghist::*count;
  const char* warning;
};
constexpr int LEDGER_TERM_COUNT = 8;
/// The ledger's terms in the order the table writes them and the warnings close
/// the report: ASPTIME = HISTTIME + OFFDTIME + NOGNTIME + OUTHTIME and
/// ONTIME = ASPTIME - DUPTIME + NOASPTIM.
extern const ledger_term LEDGER_TERMS[LEDGER_TERM_COUNT];

/// The most bins a ghist vector may give.
constexpr int GHIST_MAX_BINS = 1000000;
/// The bin count of a ghist vector (first centre, last centre, width),
/// ((last + width/2) - (first - width/2)) / width + 1 truncated: 0 when a value
/// is not finite, the width is not above 0, the last centre is below the first
/// or the count would pass GHIST_MAX_BINS. A count below 2 (rounding, far from
/// 0) gives no bin that can receive weight, since bin 0 never does.
int ghist_bins(const double* spec);
/// Histogram from (first centre, last centre, width): ghist_bins bins, or one
/// bin that never receives weight when ghist_bins gives 0.
ghist* ghset(const double* spec);
/// Histogram of n zeroed bins without time filters. Released with free_ghist.
ghist* alloc_ghist(int n);
/// Releases a histogram made by alloc_ghist or ghset, its time filters included;
/// null is ignored.
void free_ghist(ghist* h);
/// The binning loop: every aspect interval with good time, every position.
/// 0, or 1 after the messages when an interval lies outside the calibrated
/// period of the maps (or the set holds fewer than two maps): the run stops.
int varto_calc(const source* src, const asp* history, const obs* observation, const gain_data* set,
               ghist* h);
/// The closing warnings on the terminal, each only when it applies: samples off
/// the detector, with no gain in the maps and outside the histogram, with the
/// good time they did not add; good time no aspect interval covers; good time
/// counted more than once.
void varto_warn_exposure(const ghist* h);
/// Seconds of the good time intervals covered by the union of the ranges of
/// used, each good time interval taken on its own (overlapping intervals count
/// twice, as in_gti counts them). The ranges need not be sorted or disjoint.
double covered_good_time(const gti* used, const gti* good);
/// Adds one sample of gain g and weight w over [t0, t1] to h.
void varto_accumulate_histogram(double g, double w, double t0, double t1, double detx, double dety,
                                const double* p, ghist* h, int npos);
/// Merges [t0, t1] into the time ranges of list (0.5 s tolerance).
void accum_time_filter(double t0, double t1, gti* list);
/// Carries sky (x, y) to the detector with offset vector p about centre (x0, y0).
void unaspect(double x, double y, double x0, double y0, const double* p, double* detx,
              double* dety);
/// seconds / 86400 + mjdref.
double sc_time_to_mjd(double seconds, double mjdref);
/// sqrt(x) for x > 0, else 0.
double psqrt(double x);

// ---------------------------------------------------------------------------
// Output table and listings
// ---------------------------------------------------------------------------

struct provenance;
/// Writes the table "GAIN_HIST" into file: into a temporary file in a private
/// folder beside it (sys_own_file), renamed over file only when the table and
/// its keys are complete, so an earlier file survives any failure and a link at
/// file is replaced, not followed. A leading '!' is accepted (the file is
/// always replaced); a block name in brackets names the table instead of
/// "GAIN_HIST"; a name ending ".gz" is written compressed. The provenance keys of
/// prov (null for none) go into the primary header and the table as it is
/// written, and after it the table SOURCE_POS of its positions (X, Y, and RA,
/// DEC when it has a frame; keys STEP and, for a region file, REGION). Names
/// the data model reads as other than a plain file ("-", "stdout", "mem://...")
/// are written directly.
/// 1, after "Failed to create output file" (and a line with the reason when one
/// is known), when the table cannot be written; else 0. With list_mean, the
/// mean gain is listed (as varto_list_mean_gain) once the table is filled.
int varto_write(const char* file, const ghist* h, const provenance* prov, bool list_mean = true);
/// True when file names standard output ("-" or "stdout", blanks and a leading
/// '!' aside): the FITS file is then written there, and the run's report goes
/// to standard error.
bool varto_output_is_stdout(const char* file);
/// The mean gain of the histogram: each bin centre weighted by its share of the good time.
double varto_mean_gain(const ghist* h);
/// "Mean Gain:" with the mean gain, between blank lines, on the current output channel.
void varto_list_mean_gain(const ghist* h);
/// The histogram listing and the mean gain on the current output channel.
void varto_list(const ghist* h);
/// The time ranges of every bin with weight on the current output channel.
void varto_list_times(const ghist* h);

// ---------------------------------------------------------------------------
// Provenance of the output file
// ---------------------------------------------------------------------------

constexpr int PROV_MAX_LINES = 40;   // HISTORY lines: every parameter and every input
constexpr int PROV_LINE_LEN = 1100;  // a label and a value of up to 1023 characters
constexpr int PROV_KEY_LEN = 68;     // a string key's value on one header card

/// Who made an output file, when and from what. Released with free_provenance.
struct provenance {
  int count = 0;                                       // HISTORY lines held
  char lines[PROV_MAX_LINES][PROV_LINE_LEN + 1] = {};  // "name=value" and the input files
  int nsource = 0;                                     // source positions of the run
  char telescop[PROV_KEY_LEN + 1] = {};                // TELESCOP of the event file; empty for none
  char instrume[PROV_KEY_LEN + 1] = {};                // INSTRUME of the event file; empty for none
  const source* positions = nullptr;    // the positions used, for the table SOURCE_POS
  const sky_frame* frame = nullptr;     // gives SOURCE_POS its RA and DEC; null for none
  char region[PROV_LINE_LEN + 1] = {};  // the region file of the positions; empty for none
};

/// An empty record.
provenance* alloc_provenance(void);
/// Releases the record; null is ignored.
void free_provenance(provenance* p);
/// Appends the HISTORY line label + value (the value without leading and
/// trailing blanks). Lines beyond PROV_MAX_LINES are dropped.
void provenance_add(provenance* p, const char* label, const char* value);
/// TELESCOP and INSTRUME of the open event file into p: its primary header
/// first, then the events block extname. Either stays empty when the file
/// does not have it.
void provenance_read_mission(provenance* p, dmDataset* events, const char* extname);
/// Writes CREATOR ("varto " and the version), DATE (now, UTC), TELESCOP and
/// INSTRUME (when the event file has them), NSOURCE and the HISTORY lines into
/// the header of block, a block of the output being written. The first
/// nonzero status of the data model, or 0; a null record writes nothing.
int varto_write_provenance(dmBlock* block, const provenance* p);

// ---------------------------------------------------------------------------
// Driver checks before a run
// ---------------------------------------------------------------------------

/// With a word --help, -h, -? or help among argv[1..argc-1], prints the usage
/// text; with --version, "varto <version>" and CFITSIO's version. Returns 0 when
/// it printed, -1 when there is no such word.
int varto_usage_or_version(int argc, char** argv);
/// One line "Warning: varto has no parameter NAME" on the error channel for each
/// table entry varto never reads, with " (did you mean NAME?)" for a close one.
void varto_warn_unknown(const par_table* table);
/// The value of name as an integer, a real or three reals (def when absent).
/// False, after the reader's own error line and one naming the parameter, when
/// the value is not wholly a number (for a vector: not exactly three finite
/// numbers separated by blanks, commas or semicolons).
bool varto_get_integer(par_table* table, const char* name, int def, int* out);
bool varto_get_number(par_table* table, const char* name, double def, double* out);
bool varto_get_vector(par_table* table, const char* name, const double* def, double* out);
/// True when ra or dec is given (not blank): a sky position that a position
/// file would otherwise silently replace.
bool varto_sky_position_given(par_table* table);
/// True, after a message naming both, when outfile (without '!' or a [block])
/// is the same file (device and inode) as one of the n inputs; roles[k] says
/// what inputs[k] is.
bool varto_output_is_input(const char* outfile, const char* const* inputs, const char* const* roles,
                           int n);
