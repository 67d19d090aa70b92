// param/par.h -- the parameter table: the application's name-to-text table of
// parameters, filled once at start-up from the command-line words, a parameter
// file (plain layout, or IRAF syntax through the parameter-file library), and
// the command-line words again so that they win. Names are stored upper-cased
// and looked up without regard to case; entries keep the order of first setting.
#pragma once

constexpr int PAR_TABLE_CAPACITY = 500;  // parameters held by par_open's table
constexpr int PAR_NAME_LEN = 31;         // characters of a parameter name
constexpr int PAR_VALUE_LEN = 1023;      // characters of a parameter value (archive paths)
constexpr int PAR_LINE_LEN = 2047;       // characters of a plain parameter-file line

/// Finds a table's entries by name; private to the parameter table.
struct par_index;

/// The parameter table. names[i] and values[i] (i < count) are entry i.
struct par_table {
  char** names = nullptr;      // capacity slots of PAR_NAME_LEN characters, upper-cased
  char** values = nullptr;     // capacity slots of PAR_VALUE_LEN characters
  int count = 0;               // entries in use
  int capacity = 0;            // fixed at creation
  par_index* index = nullptr;  // owned by the table, released by par_free
};

/// Empty table of the given capacity. Released with par_free.
par_table* par_alloc(int capacity);
/// Releases the table; null is ignored.
void par_free(par_table* table);

/// Sets name (case-insensitive) to value and returns 0. A null value stores "".
/// A name longer than PAR_NAME_LEN, a value longer than PAR_VALUE_LEN (trailing
/// blanks not counted) or a new name for a full table is refused: a message on
/// the error channel, the table unchanged, and -1.
int par_set(par_table* table, const char* name, const char* value);

/// Copies the value of name into out (PAR_VALUE_LEN+1 bytes) and returns its index;
/// -1 and "" when absent.
int par_get_g(par_table* table, const char* name, char* out);
/// As par_get_g, but out receives def when the name is absent.
int par_get(par_table* table, const char* name, const char* def, char* out);
/// The value read as an integer (read_i), or def when absent.
int par_get_i(par_table* table, const char* name, int def);
/// The value read as a real (read_d), or def when absent.
double par_get_d(par_table* table, const char* name, double def);
/// Three reals from the value (separated by blanks, commas or semicolons; a missing
/// one reads as 0), or the three elements of def when absent.
void par_get_vec_d(par_table* table, const char* name, const double* def, double* out);
/// One line "%-32s %s" per entry on the current output channel.
void par_list(par_table* table);

/// Reads a plain parameter file (one name and value a line, '#' comments) into the
/// table; a file whose first line is in IRAF syntax is handed to orv_par_open.
/// 0 when the file was read or does not exist (the table is then unchanged).
/// -1 when it exists but cannot be read (a directory, an unreadable file, a line
/// with control characters or longer than PAR_LINE_LEN: the file, line and field
/// are named on the error channel) or when a setting was refused (par_set).
int par_read_file(const char* filename, par_table* table);
/// Applies words[1..count-1]: "name=value" sets name; a bare word sets name to " ".
/// 0, or -1 when a word was refused (par_set); the other words are still applied.
int par_set_args(char** words, int count, par_table* table);
/// Loads every parameter of an IRAF-syntax file through the parameter-file library.
/// A name the table already holds keeps its entry and is not got from the file,
/// so that a value given on the command line is never asked for. 0 when the file
/// was loaded or does not exist; -1 when it exists but cannot be opened or parsed
/// (the file is named on the error channel) or a setting was refused.
int orv_par_open(const char* filename, par_table* table);

/// Table of the given capacity from the words and the plain file named by "par"
/// (default deffile); never uses the parameter-file library. Null, after the
/// messages, when a word or the file was refused.
par_table* par_init(const char* deffile, int capacity, char** words, int count);
/// The application's entry: words, then the file named by "par" (default deffile)
/// read by the library chosen with "parkernel" (default defkernel: "orv" or "iraf"
/// select the parameter-file library), then the words again. Null, after the
/// messages and a last line saying that the parameters could not be read, when
/// a word, a value or the file was refused: the caller stops.
par_table* par_open(const char* defkernel, const char* deffile, char** words, int count);

/// Flags of par_open_with.
constexpr int PAR_NO_QUERIES = 1;  // a value the file would ask for on the terminal is refused
constexpr int PAR_NO_FILE = 2;     // no parameter file is read: the words and the defaults count
/// par_open with flags: par_open_with(k, f, w, n, 0) is par_open(k, f, w, n).
par_table* par_open_with(const char* defkernel, const char* deffile, char** words, int count,
                         int flags);
