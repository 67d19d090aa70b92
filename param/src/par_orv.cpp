// param/src/par_orv.cpp -- hand-off of IRAF-syntax parameter files from the
// parameter table to the parameter-file library: every parameter of the file
// is got as text and set in the table.
#include "param/par.h"

#include "param/pfile.h"

void orv_par_open(const char* filename, par_table* table) {
  // A missing file gives no handle, no match list and no names: the table keeps
  // what the command line put in it.
  ParamFile* handle = c_paramopen(filename, nullptr, 0, "r");
  ParamMatchList* names = pmatchopen(handle, "*");
  // c_pgetstr fills 255 bytes without a terminator when the value is that long;
  // the spare byte keeps the text terminated (such a value is cut to 255 characters).
  char value[PAR_LINE_LEN + 1];
  while (const char* name = pmatchnext(names)) {
    if (c_pgetstr(handle, name, value, PAR_LINE_LEN) == nullptr) continue;
    value[PAR_LINE_LEN] = '\0';
    par_set(table, name, value);
  }
  pmatchclose(names);
  c_paramclose(handle);
}
