// pfile_int.h -- helpers shared by the sources of the parameter-file library.
#pragma once

#include <cstring>
#include <string>

#include "param/pfile.h"

namespace pfile_detail {

/// The extensions and the directory list a task's parameter file is searched with.
constexpr const char* DefaultExtensions = ".par .rdb $PFEXTN";
constexpr const char* DefaultSearchPath = "$PDIRS $PFILES $UPARM .";

/// True when the mode letters (null: none) hold c.
inline bool has_letter(const char* mode, char c) { return mode != nullptr && std::strchr(mode, c) != nullptr; }

/// Heap copy (malloc) of text, or null for null text or when out of memory.
char* dup_string(const char* text);
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

}  // namespace pfile_detail
