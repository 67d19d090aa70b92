// The parameter-file library's state record with its reset, the error code and
// message table, the routines that report the current code, and the exit.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "pfile/pfile.h"
#include "pfile_int.h"
#include "util/util.h"

// Initialised before main. No start-up code of another file uses the library, and
// clang cannot constant-initialise the std::string the record holds.
pfile_detail::PfileState pfile_detail::state;

int& parerr = pfile_detail::state.error;

const char* const paramerrmsg[NParamErrors] = {
    "parameter error?",
    "parameter not found",
    "parameter not unique",
    "parameter file not found",
    "parameter argument error",
    "positional parameters must come before absolutes",
    "parameter has unknown type",
    "parameter has bad minimum value",
    "parameter has bad maximum value",
    "parameter below minimum",
    "parameter above maximum",
    "parameter pointer missing",
    "cannot convert parameter value",
    "parameter has no value",
    "command arguments missunderstood",
    "no parameter file",
    "no parameter converter",
    "bad value for parameter",
    "bad subfield name",
    "can't specify range and max field",
    "bad range specification",
    "parameter type doesn't support range",
    "value must be in range",
    "to many positional arguments",
    "error reading paramfile",
    "enumerated value not unique",
    "can't evaluate indirect parameter",
    "can't open parameter list file",
    "invalid enumerated value",
    "can't copy reference parameter file to user directory",
    "can't find reference parameter file",
};

namespace {

int& exit_on_error = pfile_detail::state.exit_on_error;

// An out-of-table code must not index past the table.
const char* message_of(int code) {
  if (code < 0 || code >= NParamErrors) {
    return paramerrmsg[PARAM_OK];
  }
  return paramerrmsg[code];
}

}  // namespace

int c_paramerr(int level, const char* label, const char* name) {
  pfile_detail::stream_printf(stderr, "%s: %s : %s\n", label ? label : "", message_of(parerr),
                              name ? name : "");
  if (level != 0 && exit_on_error) {
    pfile_detail::pfile_exit(level);
  }
  parerr = PARAM_OK;
  return level;
}

const char* c_paramerrstr(void) {
  const char* text = message_of(parerr);
  parerr = PARAM_OK;
  return text;
}

int set_paramerror(int flag) {
  int old = exit_on_error;
  exit_on_error = flag;
  return old;
}

void pfile_detail::pfile_exit(int status) { std::exit(status); }

void pfile_detail::stream_printf(FILE* stream, const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  std::va_list again;
  va_copy(again, args);
  const int n = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  if (n > 0) {
    std::string text(static_cast<std::size_t>(n) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, again);
    util_stream_write(stream, text.data(), static_cast<std::size_t>(n));
  }
  va_end(again);
}

void pfile_detail::reset_state() {
  while (state.open_files != nullptr) {
    c_paramclose(state.open_files);
  }
  ValueClear(&state.line_value);
  state = PfileState{};
}
