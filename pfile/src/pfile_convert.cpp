// Conversion of parameter data between the types of the type table: converter
// tables per target type, the INDEF forms, the compare functions, and the value
// copies and escapes shared by the getters and setters.
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "pfile/pfile.h"
#include "pfile_int.h"
#include "pfile_value_int.h"

namespace {

using pfile_detail::Datum;
using pfile_detail::is_text;

const char* text_of(const void* data) {
  return data != nullptr ? static_cast<const char*>(data) : "";
}
int int_of(const void* data) { return data != nullptr ? *static_cast<const int*>(data) : 0; }
double real_of(const void* data) {
  return data != nullptr ? *static_cast<const double*>(data) : 0.0;
}

bool fail(int code) {
  parerr = code;
  return false;
}

bool blank(char c) { return c == ' ' || c == '\t'; }

// Text without surrounding blanks and tabs.
std::string trimmed(const char* s) {
  const char* b = s;
  while (blank(*b)) ++b;
  const char* e = b + std::strlen(b);
  while (e > b && blank(e[-1])) --e;
  return std::string(b, static_cast<std::size_t>(e - b));
}

// ---- to string ----------------------------------------------------------

bool mode_to_str(const void* d, Datum& o) {
  o.s = pfile_detail::mode_letters(int_of(d));
  return true;
}
bool int_to_str(const void* d, Datum& o) {
  o.s = pfile_detail::int_text(int_of(d));
  return true;
}
bool real_to_str(const void* d, Datum& o) {
  o.s = pfile_detail::real_text(real_of(d));
  return true;
}
bool bool_to_str(const void* d, Datum& o) {
  o.s = int_of(d) ? "yes" : "no";
  return true;
}
bool text_copy(const void* d, Datum& o) {
  o.s = text_of(d);
  return true;
}
bool range_to_str(const void* d, Datum& o) {
  Value v{RangeType, const_cast<void*>(d), nullptr};
  o.s = pfile_detail::value_text(&v);
  return true;
}

// ---- to boolean ---------------------------------------------------------

bool str_to_bool(const void* d, Datum& o) {
  std::string s = trimmed(text_of(d));
  if (s == "n" || s == "no") {
    o.i = 0;
  } else if (s == "y" || s == "ye" || s == "yes") {
    o.i = 1;
  } else {
    return fail(PARAM_CANNOT_CONVERT);
  }
  return true;
}
bool int_to_bool(const void* d, Datum& o) {
  o.i = int_of(d) != 0;
  return true;
}
bool real_to_bool(const void* d, Datum& o) {
  o.i = real_of(d) != 0.0;
  return true;
}

// ---- to integer ---------------------------------------------------------

bool str_to_int(const void* d, Datum& o) {
  std::string s = trimmed(text_of(d));
  if (s == "INDEF" || s == "INDEFI") {
    o.i = IndefInt;
    return true;
  }
  std::size_t i = 0;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
    negative = s[i] == '-';
    ++i;
  }
  long long v = 0;
  std::size_t digits = 0;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i, ++digits) {
    v = v * 10 + (s[i] - '0');
    if (v > static_cast<long long>(INT_MAX) + 1) {
      return fail(PARAM_CANNOT_CONVERT);
    }
  }
  // A fraction is dropped; any other trailing text is not an integer.
  if (digits == 0 || (i < s.size() && s[i] != '.')) {
    return fail(PARAM_CANNOT_CONVERT);
  }
  if (negative) v = -v;
  if (v > INT_MAX || v < INT_MIN) {
    return fail(PARAM_CANNOT_CONVERT);
  }
  o.i = static_cast<int>(v);
  return true;
}
bool real_to_int(const void* d, Datum& o) {
  double v = real_of(d);
  if (v == IndefReal) {
    o.i = IndefInt;
    return true;
  }
  if (!(v > static_cast<double>(INT_MIN) - 1.0 && v < static_cast<double>(INT_MAX) + 1.0)) {
    return fail(PARAM_CANNOT_CONVERT);
  }
  o.i = static_cast<int>(v);
  return true;
}
bool bool_to_int(const void* d, Datum& o) {
  o.i = int_of(d) ? 1 : 0;
  return true;
}

// ---- to real ------------------------------------------------------------

bool str_to_real(const void* d, Datum& o) {
  std::string s = trimmed(text_of(d));
  if (s == "INDEF" || s == "INDEFD") {
    o.d = IndefReal;
    return true;
  }
  if (s.empty()) {
    return fail(PARAM_CANNOT_CONVERT);
  }
  errno = 0;
  char* end = nullptr;
  double v = std::strtod(s.c_str(), &end);
  if (end == s.c_str() || *end != '\0' || !std::isfinite(v)) {
    return fail(PARAM_CANNOT_CONVERT);
  }
  o.d = v;
  return true;
}
bool int_to_real(const void* d, Datum& o) {
  int v = int_of(d);
  o.d = v == IndefInt ? IndefReal : static_cast<double>(v);
  return true;
}
bool bool_to_real(const void* d, Datum& o) {
  o.d = int_of(d) ? 1.0 : 0.0;
  return true;
}

// ---- to mode ------------------------------------------------------------

bool str_to_mode(const void* d, Datum& o) {
  o.i = ParamModeBits(text_of(d));
  return o.i != 0;  // ParamModeBits set PARAM_CANNOT_CONVERT
}

// ---- converter tables ---------------------------------------------------

using ConvFn = bool (*)(const void*, Datum&);
struct Converter {
  int from;
  ConvFn fn;
};

constexpr Converter ToString[] = {
    {ModeType, mode_to_str},    {IntegerType, int_to_str}, {RealType, real_to_str},
    {BooleanType, bool_to_str}, {PsetType, text_copy},     {StructType, text_copy},
    {FileType, text_copy},      {GType, text_copy},        {RangeType, range_to_str},
};
constexpr Converter ToBoolean[] = {
    {StringType, str_to_bool}, {IntegerType, int_to_bool}, {RealType, real_to_bool}};
constexpr Converter ToInteger[] = {
    {StringType, str_to_int}, {RealType, real_to_int}, {BooleanType, bool_to_int}};
constexpr Converter ToReal[] = {
    {StringType, str_to_real}, {IntegerType, int_to_real}, {BooleanType, bool_to_real}};
constexpr Converter ToMode[] = {{StringType, str_to_mode}};
constexpr Converter FromString[] = {{StringType, text_copy}};

struct ConverterTable {
  int to;
  const Converter* list;
  std::size_t count;
};

template <std::size_t N>
constexpr ConverterTable table(int to, const Converter (&list)[N]) {
  return {to, list, N};
}

constexpr ConverterTable Converters[] = {
    table(StringType, ToString),  table(BooleanType, ToBoolean), table(IntegerType, ToInteger),
    table(RealType, ToReal),      table(ModeType, ToMode),       table(FileType, FromString),
    table(GType, FromString),     table(StructType, FromString), table(GcurType, FromString),
    table(ImcurType, FromString), table(PsetType, FromString),
};

// ---- compare functions --------------------------------------------------

bool compare_result(int order, int oper) {
  switch (oper) {
    case 1: return order == 0;
    case 2: return order != 0;
    case 3: return order > 0;
    case 4: return order >= 0;
    case 5: return order < 0;
    case 6: return order <= 0;
    default: return false;
  }
}

int compare_int(const void* left, int oper, const void* right) {
  int l = int_of(left), r = int_of(right);
  if (l == IndefInt || r == IndefInt) return 1;
  return compare_result(l < r ? -1 : (l > r ? 1 : 0), oper) ? 1 : 0;
}

int compare_real(const void* left, int oper, const void* right) {
  double l = real_of(left), r = real_of(right);
  if (l == IndefReal || r == IndefReal) return 1;
  return compare_result(l < r ? -1 : (l > r ? 1 : 0), oper) ? 1 : 0;
}

int compare_text(const void* left, int oper, const void* right) {
  const char* r = text_of(right);
  if (*r == '\0') return 1;
  return compare_result(std::strcmp(text_of(left), r), oper) ? 1 : 0;
}

}  // namespace

namespace pfile_detail {

bool convert(const void* data, int from, int to, Datum& out) {
  from = TypeCode(from);
  to = TypeCode(to);
  out = Datum{};
  out.type = to;
  if (from == to) {
    if (is_text(to)) {
      out.s = text_of(data);
    } else if (to == RealType) {
      out.d = real_of(data);
    } else if (to == BooleanType || to == IntegerType || to == ModeType) {
      out.i = int_of(data);
    } else {
      return fail(PARAM_NO_CONVERTER);
    }
    return true;
  }
  for (const ConverterTable& t : Converters) {
    if (t.to != to) continue;
    for (std::size_t i = 0; i < t.count; ++i) {
      if (t.list[i].from == from) {
        return t.list[i].fn(data, out);
      }
    }
    break;
  }
  return fail(PARAM_NO_CONVERTER);
}

void* make_data(const Datum& d) {
  if (is_text(d.type)) {
    return dup_string(d.s.c_str());
  }
  if (d.type == RealType) {
    auto* p = static_cast<double*>(std::malloc(sizeof(double)));
    if (p != nullptr) *p = d.d;
    return p;
  }
  auto* p = static_cast<int*>(std::malloc(sizeof(int)));
  if (p != nullptr) *p = d.i;
  return p;
}

void* store_datum(const Datum& d, void* out) {
  if (is_text(d.type)) {
    copy_text(d.s, static_cast<char*>(out), ParamConvertSize);
  } else if (d.type == RealType) {
    std::memcpy(out, &d.d, sizeof d.d);
  } else {
    std::memcpy(out, &d.i, sizeof d.i);
  }
  return out;
}

bool convert_data(const Value* v, int to, Datum& out) {
  if (v->value == nullptr) {
    return convert("", StringType, to, out);
  }
  return convert(v->value, v->type, to, out);
}

void replace_data(Value* v, int type, void* data) {
  char* indir = v->indir;
  v->indir = nullptr;
  ValueClear(v);
  v->type = type;
  v->value = data;
  v->indir = indir;
}

bool convert_value(Value* v, int to) {
  to = TypeCode(to);
  if (v->value != nullptr && TypeCode(v->type) == to) {
    return true;
  }
  Datum d;
  if (!convert_data(v, to, d)) {
    return false;
  }
  void* fresh = make_data(d);
  if (fresh == nullptr) {
    return false;
  }
  replace_data(v, to, fresh);
  return true;
}

bool copy_value(Value* dst, const Value* src) {
  ValueClear(dst);
  if (src == nullptr) {
    return true;
  }
  int type = TypeCode(src->type);
  if (src->value != nullptr) {
    if (type == RangeType) {
      // A copied range is its text: it is parsed again when checked.
      if (ValueSetString(dst, value_text(src).c_str()) != 0) return false;
    } else {
      Datum d;
      if (!convert(src->value, type, type, d)) return false;
      dst->value = make_data(d);
      if (dst->value == nullptr) return false;
      dst->type = type;
    }
  }
  if (src->indir != nullptr) {
    dst->indir = dup_string(src->indir);
    if (dst->indir == nullptr) return false;
  }
  return true;
}

const void* item_data(const Check& c, int type) {
  if (is_text(TypeCode(type))) {
    const char* text = nullptr;
    std::memcpy(&text, c.v, sizeof text);
    return text;
  }
  return c.v;
}

void install_value_access() {
  static bool done = false;
  if (done) return;
  done = true;
  VTypeList[IntegerType].compare = compare_int;
  VTypeList[RealType].compare = compare_real;
  for (int t : {StringType, FileType, GType, StructType, GcurType, ImcurType, PsetType}) {
    VTypeList[t].compare = compare_text;
  }
  for (int t = 0; t < NTypes; ++t) {
    VTypeList[t].access = VXAcce;
  }
  VTypeList[PsetType].access = VAcce;
}

std::string escape_value(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else {
      out += c;
    }
  }
  return out;
}

std::string unescape_value(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size() && (text[i + 1] == 'n' || text[i + 1] == 't')) {
      out += text[i + 1] == 'n' ? '\n' : '\t';
      ++i;
    } else {
      out += text[i];
    }
  }
  return out;
}

}  // namespace pfile_detail

void* Convert(const void* value, int from, void* out, int to) {
  if (out == nullptr) {
    return nullptr;
  }
  pfile_detail::Datum d;
  if (!pfile_detail::convert(value, from, to, d)) {
    return nullptr;
  }
  return pfile_detail::store_datum(d, out);
}
