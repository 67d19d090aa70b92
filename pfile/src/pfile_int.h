// pfile_int.h -- helpers shared by the sources of the parameter-file library:
// search defaults, mode letters, text copies and forms, and the file streams
// of the two formats.
#pragma once

#include <cstdio>
#include <cstring>
#include <string>

#include "pfile/pfile.h"

namespace pfile_detail {

/// The extensions and the directory list a task's parameter file is searched with.
constexpr const char* DefaultExtensions = ".par .rdb $PFEXTN";
constexpr const char* DefaultSearchPath = "$PDIRS $PFILES $UPARM .";
/// Most records (lines) a parameter file may give. Real files hold hundreds; a
/// file of millions would take hundreds of megabytes to hold, and getting every
/// parameter by name (as the parameter table's hand-off does) grows with the
/// square of the count.
constexpr int MaxFileRecords = 5000;

/// True when v (may be null) holds data or an indirect reference.
inline bool is_present(const Value* v) { return v != nullptr && (v->value != nullptr || v->indir != nullptr); }

/// True when the mode letters (null: none) hold c.
inline bool has_letter(const char* mode, char c) { return mode != nullptr && std::strchr(mode, c) != nullptr; }

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
ParamList* open_list_file(const char* path, const char* mode, ParamList* (*parse)(FILE*), ParamReader read,
                          ParamWriter writ);
/// Rewrites the file from its start: head, then line(p) of every record; flushes
/// and truncates the file at its new end.
void rewrite_stream(FILE* stream, const ParamList* list, const char* head, std::string (*line)(const Parameter*));
/// Writes list with its writer into a new file in the directory of path and
/// renames that over path (over the file a link at path names), so that a
/// reader of path finds the old file or the new one whole, never a part. The
/// file keeps the permissions path had (a new file gets 0666 less the umask).
/// Returns the new stream, open for reading and writing, or null with path
/// untouched and errno set.
FILE* replace_file(const std::string& path, ParamList* list, const char* mode);

}  // namespace pfile_detail
