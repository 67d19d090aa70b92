// pfile_value_int.h -- helpers shared by the value-access sources of the
// parameter-file library: data conversion, value copies, field suffixes,
// value escapes and the guard against endless indirect references.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "pfile/pfile.h"

namespace pfile_detail {

/// Converted data of one type: i for boolean/integer/mode, d for real, s for text.
struct Datum {
  int type = VoidType;
  int i = 0;
  double d = 0.0;
  std::string s;
};

/// Converts data of type from to type to; false with parerr PARAM_NO_CONVERTER or
/// PARAM_CANNOT_CONVERT.
bool convert(const void* data, int from, int to, Datum& out);
/// Converts v's data to type to; an absent value converts as the empty string.
bool convert_data(const Value* v, int to, Datum& out);
/// Heap data of a datum as a Value holds it.
void* make_data(const Datum& d);
/// A datum as a get delivers it into out: text (cut to ParamConvertSize bytes,
/// terminated), a double or an int. Returns out.
void* store_datum(const Datum& d, void* out);
/// Frees v's data and puts data (heap, of type) in its place; the indirect text stays.
void replace_data(Value* v, int type, void* data);
/// Converts v's data in place to type to, keeping its indirect text. An absent
/// value converts as the empty string. False (v unchanged) on failure.
bool convert_value(Value* v, int to);
/// Deep copy of src into dst (dst cleared first). False when out of memory.
bool copy_value(Value* dst, const Value* src);
/// The data pointer a compare function takes for an item of a Range of type.
const void* item_data(const Check& c, int type);
/// Fills the compare and access functions of VTypeList (idempotent).
void install_value_access();

/// Field selected by a name's suffix.
enum class Field { Value, PValue, Min, Max, Mode, Prompt, Bad };
/// Splits name at its first '.' into base and field.
Field split_field(const char* name, std::string& base);
/// Length of the field suffix (".p_value", ".p_min", ...) that ends name, or 0; a
/// name that is nothing but a suffix has none.
std::size_t field_suffix_length(std::string_view name);

/// Newline and tab as the two-character escapes, and back.
std::string escape_value(const std::string& text);
std::string unescape_value(const std::string& text);

/// The value's text for showing: an indirect value as its reference, " -> ",
/// and the resolved value or "INDEF".
std::string shown_value(ParamFile* file, Parameter* p, const Value* v);

/// Checks v (already of p's type) against p's enumeration or minimum and maximum.
bool check_limits(ParamFile* file, Parameter* p, Value* v);

/// True when v is indirect: it keeps a reference text, or its string data begins
/// with ')' (a reference, or a "))" command, not yet followed).
bool is_indirect(const Value* v);

/// True once a reference cycle was met since the last clear; a query cannot mend it.
bool cycle_met();
void clear_cycle();

}  // namespace pfile_detail
