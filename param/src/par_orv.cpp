// param/src/par_orv.cpp -- hand-off of IRAF-syntax parameter files from the
// parameter table to the parameter-file library: every parameter of the file
// is got as text and set in the table.
#include "param/par.h"

#include <string>

#include "pfile/pfile.h"
#include "util/util.h"
#include "par_int.h"

namespace {

// True when the library would ask for name on the terminal: its mode, or the
// file's task mode for an automatic one, says query and neither says hidden.
bool would_ask(ParamFile* handle, const char* name) {
  const Parameter* p = ParamLookup(handle->psets, name);
  if (p == nullptr) return false;
  const int task = handle->mode & ~NoQueryMode;
  const int mode = (p->pmode & AutoMode) != 0 ? task : p->pmode;
  return (mode & QueryMode) != 0 && (mode & HiddenMode) == 0 && (task & HiddenMode) == 0;
}

}  // namespace

int orv_par_open(const char* filename, par_table* table) {
  if (filename == nullptr || table == nullptr) return 0;
  // 'H': no parameter is asked for on the terminal; a value that would be is
  // then missing, and refused below.
  const bool queries = (par_open_flags & PAR_NO_QUERIES) == 0;
  ParamFile* handle = c_paramopen(filename, nullptr, 0, queries ? "r" : "rH");
  if (handle == nullptr) {
    // "Not found" is a missing file, which leaves the table as the command line
    // made it -- unless a file of that name exists but could not be opened.
    // Any other failure (a file that does not parse, a reference copy that
    // could not be made) names the file; the parser has named line and field.
    const int code = parerr;
    std::string reason;
    if (code == PARAM_FILE_NOT_FOUND) {
      reason = par_unreadable_reason(filename);
      if (reason.empty()) return 0;
    } else if (code != PARAM_FILE_READ_ERROR) {
      reason = c_paramerrstr();
    }
    parerr = PARAM_OK;
    par_refuse_file(filename, reason.c_str());
    return -1;
  }
  ParamMatchList* names = pmatchopen(handle, "*");
  // One byte more than a value may hold, and a spare one: c_pgetstr leaves a
  // value of max characters or more unterminated, and a value that long is
  // then refused by par_set instead of being cut.
  char value[PAR_VALUE_LEN + 2];
  int status = 0;
  // A value that cannot be had is refused here, not by ending the process.
  const int exit_on_error = set_paramerror(0);
  while (const char* name = pmatchnext(names)) {
    // A name the table holds came from the command line, which wins anyway:
    // it is not got, so a query-mode parameter given there is never asked for.
    char held[PAR_VALUE_LEN + 1];
    if (par_get_g(table, name, held) >= 0) continue;
    if (!queries && would_ask(handle, name)) {
      const std::string line =
          std::string("Parameter ") + name + " would be asked for on the terminal: queries are off";
      err_msg(line.c_str());
      status = -1;
      break;
    }
    if (c_pgetstr(handle, name, value, PAR_VALUE_LEN + 1) == nullptr) {
      status = -1;
      break;
    }
    value[PAR_VALUE_LEN + 1] = '\0';
    if (par_set(table, name, value) != 0) status = -1;
  }
  set_paramerror(exit_on_error);
  pmatchclose(names);
  c_paramclose(handle);
  return status;
}
