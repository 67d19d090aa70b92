// Error code and message table of the parameter-file library, and the
// routines that report the current code.
#include <cstdio>
#include <cstdlib>

#include "pfile/pfile.h"

int parerr = PARAM_OK;

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

int exit_on_error = 1;

// An out-of-table code must not index past the table.
const char* message_of(int code) {
    if (code < 0 || code >= NParamErrors) {
        return paramerrmsg[PARAM_OK];
    }
    return paramerrmsg[code];
}

}  // namespace

int c_paramerr(int level, const char* label, const char* name) {
    std::fprintf(stderr, "%s: %s : %s\n", label ? label : "", message_of(parerr), name ? name : "");
    if (level != 0 && exit_on_error) {
        std::exit(level);
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
