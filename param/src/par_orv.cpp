// param/src/par_orv.cpp -- hand-off of IRAF-syntax parameter files from the
// parameter table to the parameter-file library.
#include "param/par.h"

#include "util/util.h"

void orv_par_open(const char* filename, par_table* table) {
  (void)table;
  // The parameter-file library's reader is not linked into this build yet.
  err_msg1("IRAF-syntax parameter files cannot be read by this build:", filename);
}
