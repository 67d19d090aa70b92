// parameters.h -- every parameter varto reads, and every file it names, each in
// one table. The parameter table drives the reading of the parameters, the
// names warned about as unknown and --help; a test holds the installed
// varto.par and the manual page's parameter list to it.
#pragma once

#include <cstddef>
#include <string_view>

struct par_table;

namespace varto_params {

/// How a parameter's value is read and checked.
enum class Check {
  text,     // any text; blank allowed
  integer,  // one whole number
  number,   // one finite number
  vector,   // up to three finite numbers; missing trailing ones read as 0
};

struct Parameter {
  const char* name;
  Check check;
  const char* def;      // the default; "" is blank
  const char* meaning;  // the line of --help
  // The line of the IRAF-syntax varto.par: its type letter (f file, s string,
  // r real, i integer) and mode (a asked under the task mode, h hidden), or 0
  // for a parameter the file does not hold; its prompt; and its value there
  // when that is not the default (the task mode "ql" reads as a blank mode).
  char par_type;
  char par_mode;
  const char* prompt;
  const char* par_value = nullptr;
};

/// In the order of --help. varto.par holds them in this order too, but for its
/// closing task-mode line.
inline constexpr Parameter kTable[] = {
    {"events", Check::text, "bas.fits", "event file (header and good time intervals)", 'f', 'a',
     "Event file"},
    {"aspect", Check::text, "anc.fits", "aspect file (pointing history)", 'f', 'h', "Aspect file"},
    {"maps", Check::text, "gain.fits[RHRI_GAIN]", "gain-map table, file[block]", 'f', 'h',
     "Gain-map table, file[block]"},
    {"steps", Check::text, "", "gain-steps file, one MJD a line; blank means none", 'f', 'h',
     "Gain-steps file of MJDs (blank for none)"},
    {"outfile", Check::text, "varto.fits", "output file holding the table GAIN_HIST", 'f', 'a',
     "Output file for the GAIN_HIST table"},
    {"aspcols", Check::text, "TIME,RA_SC,DEC_SC,ROAN_SC",
     "aspect columns: time, then three attitude columns", 's', 'h',
     "Aspect columns: time, then three attitude columns"},
    {"pos", Check::text, "", "position file ('x y' sky pixels a line, at most 999) or region file",
     'f', 'h', "Position file of x y sky pixels, or region file (blank: ra, dec or xpos, ypos)"},
    {"xpos", Check::number, "4096.0", "source X in sky pixels, when pos is blank", 'r', 'h',
     "Source x in sky pixels"},
    {"ypos", Check::number, "4097.0", "source Y in sky pixels, when pos is blank", 'r', 'h',
     "Source y in sky pixels"},
    {"ra", Check::text, "", "source RA, degrees or h:m:s; with dec replaces xpos, ypos", 's', 'h',
     "Source RA, degrees or h:m:s (with dec, replaces xpos, ypos)"},
    {"dec", Check::text, "", "source Dec, degrees or d:m:s; with ra replaces xpos, ypos", 's', 'h',
     "Source Dec, degrees or d:m:s (with ra, replaces xpos, ypos)"},
    {"mode", Check::text, "", "archival data type: RDF, other text for REV0, blank to decide", 's',
     'h', "Task mode; RDF or REV0 here sets the archival data type", "ql"},
    {"bso", Check::vector, "48,40,0", "boresight offset: X, Y pixels and roll degrees", 's', 'h',
     "Boresight offset: x, y pixels and roll degrees"},
    {"ghist", Check::vector, "3,7,0.05", "histogram: first bin centre, last bin centre, bin width",
     's', 'h', "Histogram: first bin centre, last bin centre, bin width"},
    {"d", Check::integer, "0", "debug level", 'i', 'h', "Debug level (1 or more writes gain.time)"},
    {"par", Check::text, "varto.par", "parameter file", 0, 0, nullptr},
    {"parkernel", Check::text, "qel",
     "iraf or orv reads the parameter file with the IRAF-syntax library", 0, 0, nullptr},
};

/// The entry of name; a name not in the table does not compile.
consteval const Parameter& get(std::string_view name) {
  for (const Parameter& p : kTable) {
    if (name == p.name) return p;
  }
  throw "varto reads no such parameter";
}

/// Reads parameter p by its check, with its default when absent: text into
/// text (PAR_VALUE_LEN + 1 bytes; blank as " "), numbers into numbers (one, or
/// three for a vector). False, after the message naming the parameter, when
/// the value fails its check.
bool read(par_table* pars, const Parameter& p, char* text, double* numbers);

/// The files varto names, one record per role: the parameter, the report line
/// that precedes reading it, the role in the refusal of an output naming an
/// input, and the label of its HISTORY card. Null where a role has none.
struct FileRole {
  const char* parameter;
  const char* reading;
  const char* role;
  const char* provenance;
};

enum FileIndex : std::size_t { kEvents, kAspect, kMaps, kSteps, kOutfile, kPos, kFileCount };

inline constexpr FileRole kFiles[kFileCount] = {
    {"events", "Reading event file ", "event", "Input event file "},
    {"aspect", "Reading aspect file ", "aspect", "Input aspect file "},
    {"maps", "Reading gain map calibrations ", "gain-map", "Input gain maps "},
    {"steps", "Reading gain steps file ", "steps", "Input gain steps "},
    {"outfile", nullptr, nullptr, nullptr},
    {"pos", nullptr, "position", "Input positions "},
};

}  // namespace varto_params
