// pfile_int.h -- what the sources of the parameter-file library share: its
// state record, the routine that ends the process, search defaults, mode
// letters, text copies and forms, and the file streams of the two formats.
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "pfile/pfile.h"

namespace pfile_detail {

// --- the library state: every value the library changes while it runs ---

/// Characters of the name last asked of c_paramopen that pfilelast keeps.
constexpr std::size_t LastNameMax = 128;

/// One line of the indirect classing database: pfile.param is found as ipfile.iparam.
struct IndirEntry {
  std::string pfile, param, ipfile, iparam;
};
struct IndirDB {
  std::vector<IndirEntry> entry;
};
/// The indirect classing database named by PINCLASSDB, as last read.
struct ClassDB {
  std::string name;  // the database file loaded
  bool loaded = false;
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  struct timespec mtime {};
  IndirDB group[27][27];             // by first letter of file and parameter, 26 for any other
  std::vector<std::string> ipfiles;  // distinct targets, in the order first seen
  std::vector<std::string> warned;   // missing files already reported
};

/// Terminal settings shared by set_termio and reset_termio: the settings found
/// when editing began, and whether the editing settings are in force.
struct TermState {
  termios saved{};
  bool editing = false;
};

struct PfileState {
  int error = PARAM_OK;                  // parerr
  int exit_on_error = 1;                 // set_paramerror
  ParamFile* open_files = nullptr;       // PFList, newest first
  char last_name[LastNameMax + 1] = "";  // the name last asked of c_paramopen
  char found[ParamPathMax] = "";         // a search result, kept until the next search
  alignas(double) char conversion[ParamConvertSize] = {};  // what a get returns
  int get_depth = 0;                    // gets in progress (a reference runs one inside another)
  std::vector<const Value*> resolving;  // values being resolved, innermost last
  bool cycle = false;                   // a reference cycle met since the outermost get began
  ClassDB classdb;
  Value line_value{};  // the value NextListValue returns
  TermState term;
};

/// The one instance; parerr and PFList name two of its fields.
extern PfileState state;

/// Puts the state back as at load: open files closed as c_paramclose closes
/// them, held values freed. Used by the tests, so that no test depends on another.
void reset_state();

/// Ends the process with status: a get that cannot be had with exit-on-error set,
/// records that contradict each other, or an interrupted query leave nothing to go on with.
[[noreturn]] void pfile_exit(int status);

/// Writes the formatted text on stream (stdout or stderr), or to the calling
/// thread's message sink when it has one (util_set_sink).
void stream_printf(FILE* stream, const char* format, ...) __attribute__((format(printf, 2, 3)));

/// The extensions and the directory list a task's parameter file is searched with.
constexpr const char* DefaultExtensions = ".par .rdb $PFEXTN";
constexpr const char* DefaultSearchPath = "$PDIRS $PFILES $UPARM .";
/// Most records (lines) a parameter file may give. Real files hold hundreds; a
/// file of millions would take hundreds of megabytes to hold, and getting every
/// parameter by name (as the parameter table's hand-off does) grows with the
/// square of the count.
constexpr int MaxFileRecords = 5000;

/// True when v (may be null) holds data or an indirect reference.
inline bool is_present(const Value* v) {
  return v != nullptr && (v->value != nullptr || v->indir != nullptr);
}

/// True when the mode letters (null: none) hold c.
inline bool has_letter(const char* mode, char c) {
  return mode != nullptr && std::strchr(mode, c) != nullptr;
}

/// Heap copy (malloc) of text, or null for null text or when out of memory.
char* dup_string(const char* text);
/// Copies text into buf of size bytes, cut to fit and always terminated; a null
/// buf or a size below 1 is left alone.
void copy_text(const std::string& text, char* buf, int size);
/// True for the types whose data is a heap char* text.
bool is_text(int type);
/// Written forms of an integer and a real ("INDEF" for their INDEF values).
std::string int_text(int v);
std::string real_text(double v);
/// String form of a value as ValueString gives it, without a length limit.
std::string value_text(const Value* v);
/// Written type word and mode letters of a parameter.
std::string type_word(int ptype);
std::string mode_letters(int mode);

/// The rest of stream as text.
std::string read_stream(FILE* stream);
/// Opens path ("r+" when mode holds 'w', else "r") and parses it with parse into
/// a list that owns the stream and carries path, mode, read and writ. Null when
/// the file cannot be opened; ParamFileCant when it does not parse.
ParamList* open_list_file(const char* path, const char* mode, ParamList* (*parse)(FILE*),
                          ParamReader read, ParamWriter writ);
/// Rewrites the file from its start: head, then line(p) of every record; flushes
/// and truncates the file at its new end.
void rewrite_stream(FILE* stream, const ParamList* list, const char* head,
                    std::string (*line)(const Parameter*));
/// Writes list with its writer into a new file in a private folder beside path and
/// renames that over path (over the file a link at path names), so that a
/// reader of path finds the old file or the new one whole, never a part. The
/// file keeps the permissions path had (a new file gets 0666 less the umask).
/// Returns the new stream, open for reading and writing, or null with path
/// untouched and errno set.
FILE* replace_file(const std::string& path, ParamList* list, const char* mode);

}  // namespace pfile_detail
