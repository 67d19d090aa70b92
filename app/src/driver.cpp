// The driver's checks before a run: the usage text and version, warnings for
// names varto never reads, parameter values that must be numbers, and an output
// file that would overwrite one of the inputs.
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/varto.h"
#include "dm/dm.h"
#include "param/par.h"
#include "util/util.h"

#ifndef VARTO_VERSION
#define VARTO_VERSION "unknown"
#endif

namespace {

// Every parameter varto reads, with its default and meaning, in usage order.
struct KnownParameter {
  const char* name;
  const char* def;
  const char* meaning;
};

constexpr KnownParameter kParameters[] = {
    {"events", "bas.fits", "event file (header and good time intervals)"},
    {"aspect", "anc.fits", "aspect file (pointing history)"},
    {"maps", "gain.fits[RHRI_GAIN]", "gain-map table, file[block]"},
    {"steps", "(blank)", "gain-steps file, one MJD a line; blank means none"},
    {"outfile", "varto.fits", "output file holding the table GAIN_HIST"},
    {"aspcols", "TIME,RA_SC,DEC_SC,ROAN_SC", "aspect columns: time, then three attitude columns"},
    {"pos", "(blank)", "position file ('x y' sky pixels a line, at most 999) or region file"},
    {"xpos", "4096.0", "source X in sky pixels, when pos is blank"},
    {"ypos", "4097.0", "source Y in sky pixels, when pos is blank"},
    {"ra", "(blank)", "source RA, degrees or h:m:s; with dec replaces xpos, ypos"},
    {"dec", "(blank)", "source Dec, degrees or d:m:s; with ra replaces xpos, ypos"},
    {"mode", "(blank)", "archival data type: RDF, other text for REV0, blank to decide"},
    {"bso", "48,40,0", "boresight offset: X, Y pixels and roll degrees"},
    {"ghist", "3,7,0.05", "histogram: first bin centre, last bin centre, bin width"},
    {"d", "0", "debug level"},
    {"par", "varto.par", "parameter file"},
    {"parkernel", "qel", "iraf or orv reads the parameter file with the IRAF-syntax library"},
};

std::string lower(const char* text) {
  std::string s(text != nullptr ? text : "");
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// Edits (insertions, deletions, substitutions, swaps of neighbours) from a to b.
std::size_t edit_distance(const std::string& a, const std::string& b) {
  const std::size_t n = a.size();
  const std::size_t m = b.size();
  std::vector<std::vector<std::size_t>> d(n + 1, std::vector<std::size_t>(m + 1, 0));
  for (std::size_t i = 0; i <= n; ++i) d[i][0] = i;
  for (std::size_t j = 0; j <= m; ++j) d[0][j] = j;
  for (std::size_t i = 1; i <= n; ++i) {
    for (std::size_t j = 1; j <= m; ++j) {
      const std::size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
      }
    }
  }
  return d[n][m];
}

// True when text is one number with nothing else but blanks around it.
bool whole_number(const char* text) {
  const char* p = text;
  while (*p == ' ') ++p;
  if (*p == '\0') return false;
  char* end = nullptr;
  std::strtod(p, &end);
  if (end == p) return false;
  while (*end == ' ') ++end;
  return *end == '\0';
}

bool whole_integer(const char* text) {
  const char* p = text;
  while (*p == ' ') ++p;
  if (*p == '\0') return false;
  char* end = nullptr;
  std::strtol(p, &end, 10);
  if (end == p) return false;
  while (*end == ' ') ++end;
  return *end == '\0';
}

void refuse_value(const char* name, const char* value, const char* what) {
  // Built whole: a value may be as long as a parameter value gets.
  const std::string line = std::string("Parameter ") + name + ": \"" + value + "\" " + what;
  err_msg(line.c_str());
}

// The file part of a CFITSIO name: no leading '!' (clobber) and nothing from
// the first '[' (block or filter) on.
std::string file_part(const char* name) {
  std::string s(name != nullptr ? name : "");
  while (!s.empty() && s.front() == ' ') s.erase(0, 1);
  if (!s.empty() && s.front() == '!') s.erase(0, 1);
  const std::size_t open = s.find('[');
  if (open != std::string::npos) s.erase(open);
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

}  // namespace

int varto_usage_or_version(int argc, char** argv) {
  for (int k = 1; k < argc; ++k) {
    const std::string word = argv[k] != nullptr ? argv[k] : "";
    if (word == "--version") {
      char line[UTIL_MSG_BUF];
      std::snprintf(line, sizeof line, "varto %s", VARTO_VERSION);
      tmsg(line);
      dmGetKernelVersion(line, sizeof line);
      tmsg(line);
      return 0;
    }
    if (word == "--help" || word == "-h" || word == "-?" || word == "help") {
      tmsg("Usage: varto [name=value ...]");
      tmsg("");
      tmsg("Histogram of detector gain weighted by good exposure time, for a source");
      tmsg("followed through the pointing history of a ROSAT HRI observation.");
      tmsg("Words name=value override the parameter file (par, default varto.par).");
      tmsg("");
      tmsg("Parameters (default, meaning):");
      for (const KnownParameter& p : kParameters) {
        char line[UTIL_MSG_BUF];
        std::snprintf(line, sizeof line, "  %-10s %-26s %s", p.name, p.def, p.meaning);
        tmsg(line);
      }
      tmsg("");
      tmsg("Exit status:");
      tmsg("  0  the table was written (a source off the detector gives an all-zero table)");
      tmsg("  1  a bad parameter, an input that cannot be read, an output that cannot be");
      tmsg("     written, or an output naming an input; the earlier output is kept");
      return 0;
    }
  }
  return -1;
}

void varto_warn_unknown(const par_table* table) {
  if (table == nullptr) return;
  for (int i = 0; i < table->count; ++i) {
    const std::string name = lower(table->names[i]);
    bool known = false;
    const char* closest = nullptr;
    std::size_t best = 3;  // at most two edits make a close name
    for (const KnownParameter& p : kParameters) {
      if (name == p.name) known = true;
      const std::size_t d = edit_distance(name, p.name);
      // Short names are close only at one edit.
      const std::size_t limit = std::string(p.name).size() <= 3 ? 2 : 3;
      if (d < best && d < limit) {
        best = d;
        closest = p.name;
      }
    }
    if (known) continue;
    std::string line = "Warning: varto has no parameter " + name;
    if (closest != nullptr) line += std::string(" (did you mean ") + closest + "?)";
    err_msg(line.c_str());
  }
}

bool varto_get_integer(par_table* table, const char* name, int def, int* out) {
  char value[PAR_VALUE_LEN + 1];
  const bool present = par_get_g(table, name, value) >= 0;
  *out = par_get_i(table, name, def);
  if (!present || whole_integer(value)) return true;
  refuse_value(name, value, "is not a whole number");
  return false;
}

bool varto_get_number(par_table* table, const char* name, double def, double* out) {
  char value[PAR_VALUE_LEN + 1];
  const bool present = par_get_g(table, name, value) >= 0;
  *out = par_get_d(table, name, def);
  if (!present) return true;
  if (!whole_number(value)) {
    refuse_value(name, value, "is not a number");
    return false;
  }
  if (!std::isfinite(*out)) {
    refuse_value(name, value, "is not a finite number");
    return false;
  }
  return true;
}

bool varto_get_vector(par_table* table, const char* name, const double* def, double* out) {
  char value[PAR_VALUE_LEN + 1];
  const bool present = par_get_g(table, name, value) >= 0;
  par_get_vec_d(table, name, def, out);
  if (!present) return true;
  // Missing trailing numbers read as 0 ("48 40" is 48, 40, 0), as stored
  // parameter files rely on; empty words at the end are missing numbers too.
  std::vector<std::string> words;
  const char* cursor = value;
  char token[PAR_VALUE_LEN + 1];
  while (cursor != nullptr) {
    cs_get_c(&cursor, token, PAR_VALUE_LEN);
    words.emplace_back(token);
  }
  while (!words.empty() && cs_is_blank(words.back().c_str())) words.pop_back();
  if (words.size() > 3) {
    refuse_value(name, value, "holds more than three numbers");
    return false;
  }
  for (const std::string& word : words) {
    if (!whole_number(word.c_str())) {
      refuse_value(name, value, "holds a word that is not a number");
      return false;
    }
  }
  for (int k = 0; k < 3; ++k) {
    if (!std::isfinite(out[k])) {
      refuse_value(name, value, "holds a number that is not finite");
      return false;
    }
  }
  return true;
}

bool varto_output_is_input(const char* outfile, const char* const* inputs, const char* const* roles,
                           int n) {
  const std::string out = file_part(outfile);
  struct stat out_stat {};
  if (out.empty() || ::stat(out.c_str(), &out_stat) != 0) return false;
  for (int k = 0; k < n; ++k) {
    const std::string in = file_part(inputs[k]);
    struct stat in_stat {};
    if (in.empty() || ::stat(in.c_str(), &in_stat) != 0) continue;
    if (in_stat.st_dev == out_stat.st_dev && in_stat.st_ino == out_stat.st_ino) {
      const std::string line = std::string("Output file ") + outfile + " is the " + roles[k] +
                               " file " + inputs[k] + ": refused";
      tmsg(line.c_str());
      return true;
    }
  }
  return false;
}
