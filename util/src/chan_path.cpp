// chan_path.cpp -- where files are looked for: the QELPATH directory search
// path, read at start-up, that opens for reading follow, and the current
// directory string put in front of relative names.
#include "util/util.h"

#include <sys/stat.h>

#include <cstdlib>
#include <string>

#include "chan_int.h"
#include "util_int.h"

namespace {

util_int::PathState& paths = util_int::state.paths;

bool exists(const std::string& path) {
  struct stat st;
  return !path.empty() && ::stat(path.c_str(), &st) == 0;
}

}  // namespace

const std::string& util_int::current_dir() { return paths.dir; }

bool fio_inquire(const char* name) { return exists(util_int::trimmed(name)); }

// The directory is put in front of relative names by later opens.
void fio_change_dir(const char* dir) { paths.dir = util_int::trimmed(dir, UTIL_VALUE_LEN); }

void fio_path_init(void) {
  const char* v = std::getenv("QELPATH");
  fio_path_set(v ? v : "");
}

// Only the first 20 words are kept; more are reported once and ignored.
void fio_path_set(const char* text) {
  char* slots[UTIL_MAX_PATH];
  for (int k = 0; k < UTIL_MAX_PATH; ++k) slots[k] = paths.entries[k];
  int n = list_parse(text, slots, UTIL_LINE_LEN, UTIL_MAX_PATH);
  // One more word would mean the list was cut.
  char extra[UTIL_LINE_LEN + 1];
  char* extra_slot[UTIL_MAX_PATH + 1];
  for (int k = 0; k <= UTIL_MAX_PATH; ++k) extra_slot[k] = extra;
  if (list_parse(text, extra_slot, UTIL_LINE_LEN, UTIL_MAX_PATH + 1) > UTIL_MAX_PATH)
    err_msg("RIRADE WARNING: QELPATH holds more than 20 directories; the rest are ignored");
  for (int k = 0; k < n; ++k) {
    if (paths.entries[k][0] != '$') continue;
    const char* v = std::getenv(paths.entries[k] + 1);
    util_int::copy_bounded(v ? v : "", paths.entries[k], UTIL_LINE_LEN + 1);
  }
  paths.npath = n;
}

void fio_path_list(void) {
  msg("RIRADE directory search path:");
  for (int k = 0; k < paths.npath; ++k) msg(paths.entries[k]);
}

bool fio_inquire_path(const char* name, char* out, int room) {
  std::string nm = util_int::trimmed(name);
  std::size_t size = room > 0 ? static_cast<std::size_t>(room) : 0;
  util_int::copy_bounded(nm, out, size);
  if (nm.empty()) return false;
  // A name that does not fit the caller's buffer could only be reported cut.
  if (exists(nm)) return nm.size() < size;
  if (nm[0] == '/') return false;
  for (int k = 0; k < paths.npath; ++k) {
    std::string dir = util_int::trimmed(paths.entries[k]);
    std::string cand = dir.empty() ? nm : dir + "/" + nm;
    if (cand.size() + 1 > size) continue;
    if (exists(cand)) {
      util_int::copy_bounded(cand, out, size);
      return true;
    }
  }
  return false;
}
