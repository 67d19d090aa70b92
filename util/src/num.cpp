// num.cpp -- number reading and writing and the null and infinity values of
// each numeric type. Null values are large finite numbers (not IEEE NaN) so
// that plain equality finds them; a null is written as "  -  ".
#include "util/util.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "util_int.h"

namespace {

util_int::Specials& specials = util_int::state.specials;

constexpr const char* kNanString = "  -  ";
constexpr std::size_t kNanLen = 5;

// Leading blanks are skipped too, so that the null text "  -  " that the
// writers put out reads back as the null value.
bool is_nancode(const char* s) {
  while (*s == ' ') ++s;
  return cs_eq(s, "-") || cs_eq(s, "NA") || cs_eq(s, "NAN") || cs_eq(s, "NaN");
}

// Copies the null text cut to n characters.
void put_nan(char* buf, int n) {
  std::size_t k = n > 0 ? std::min<std::size_t>(static_cast<std::size_t>(n), kNanLen) : 0;
  std::memcpy(buf, kNanString, k);
  buf[k] = '\0';
}

void put_cut(const std::string& text, char* buf, int n) {
  util_int::copy_bounded(text, buf, n > 0 ? static_cast<std::size_t>(n) + 1 : 1);
}

// The bits of a pattern in base B, O or Z, least significant digit last.
// Returns false for a character that is not a digit of the base.
bool pattern_bits(const char* text, char base, uint64_t* out) {
  unsigned shift = 0;
  switch (base) {
    case 'B':
    case 'b': shift = 1; break;
    case 'O':
    case 'o': shift = 3; break;
    case 'Z':
    case 'z': shift = 4; break;
    default: return false;
  }
  std::string t = util_int::trimmed(text);
  std::size_t k = 0;
  while (k < t.size() && t[k] == ' ') ++k;
  uint64_t v = 0;
  for (; k < t.size(); ++k) {
    char c = t[k];
    unsigned d = 0;
    if (c >= '0' && c <= '9')
      d = static_cast<unsigned>(c - '0');
    else if (c >= 'A' && c <= 'F')
      d = static_cast<unsigned>(c - 'A' + 10);
    else if (c >= 'a' && c <= 'f')
      d = static_cast<unsigned>(c - 'a' + 10);
    else
      return false;
    if (d >= (1u << shift)) return false;
    v = (v << shift) | d;
  }
  *out = v;
  return true;
}

uint64_t read_pattern(const char* text, char base) {
  uint64_t v = 0;
  if (!pattern_bits(text, base, &v)) {
    err_msg1("READ_BINARY error", text ? text : "");
    return 0;
  }
  return v;
}

bool rest_blank(const char* end) { return cs_is_blank(end); }

// Short form of a floating value: fixed or exponent format, leading zero put in,
// leading blanks dropped, trailing fraction zeros removed, "E+00" dropped.
std::string short_form(double v) {
  char tmp[64];
  double a = std::fabs(v);
  std::snprintf(tmp, sizeof tmp, (a > 100000.0 || a < 0.001) ? "%12.5E" : "%12.5f", v);
  const std::string_view text(tmp);
  const std::size_t b = text.find_first_not_of(' ');
  if (b == std::string_view::npos) return "0";
  const std::string_view body = text.substr(b);
  // A bare point gets its leading zero: ".5" reads 0.5 and "-.5" -0.5.
  std::string s;
  s.reserve(body.size() + 1);
  if (body.rfind("-.", 0) == 0) {
    s.append("-0");
    s.append(body.substr(1));
  } else {
    if (body.front() == '.') s.push_back('0');
    s.append(body);
  }
  std::size_t e = s.find('E');
  std::string mant = s.substr(0, e);
  std::string expo = e == std::string::npos ? std::string() : s.substr(e);
  if (mant.find('.') != std::string::npos) {
    while (!mant.empty() && mant.back() == '0') mant.pop_back();
    if (!mant.empty() && mant.back() == '.') mant.pop_back();
  }
  if (expo != "E+00") mant += expo;
  return mant;
}

// Leading zero for user formats: " .5" becomes "0.5", "  -.5" becomes " -0.5";
// other leading blanks stay.
std::string leading_zero(std::string s) {
  std::size_t b = s.find_first_not_of(' ');
  if (b == 0 || b == std::string::npos) return s;
  if (s.compare(b, 2, "-.") == 0) {
    s[b - 1] = '-';
    s[b] = '0';
  } else if (s[b] == '.') {
    s[b - 1] = '0';
  }
  return s;
}

enum class FmtKind { Int, Long, LongLong, Float, Bad };

// Widest field width or precision a format may ask for: the formatted text goes
// through a 128-byte buffer, and a huge width would make the formatter pad
// billions of characters first.
constexpr long kMaxFieldWidth = 127;

// Classifies a caller's printf format by its one conversion, so that the value
// is passed with the type the format expects. Formats with no conversion, more
// than one, a '*' width, a width or precision above kMaxFieldWidth or a
// non-numeric conversion are refused.
FmtKind fmt_kind(const char* fmt) {
  FmtKind kind = FmtKind::Bad;
  int conversions = 0;
  for (const char* p = fmt; *p; ++p) {
    if (*p != '%') continue;
    ++p;
    if (*p == '%') continue;
    int longs = 0;
    long number = 0;
    for (; *p && std::strchr("-+ #0123456789.", *p); ++p) {
      if (*p >= '0' && *p <= '9') {
        number = number * 10 + (*p - '0');
        if (number > kMaxFieldWidth) return FmtKind::Bad;
      } else {
        number = 0;
      }
    }
    while (*p && std::strchr("hlLqjzt", *p)) {
      if (*p == 'l')
        ++longs;
      else if (*p != 'h')
        return FmtKind::Bad;
      ++p;
    }
    if (*p == '\0' || longs > 2) return FmtKind::Bad;
    ++conversions;
    if (std::strchr("diouxXc", *p))
      kind = longs == 2 ? FmtKind::LongLong : longs == 1 ? FmtKind::Long : FmtKind::Int;
    else if (std::strchr("fFeEgGaA", *p))
      kind = FmtKind::Float;
    else
      return FmtKind::Bad;
  }
  return conversions == 1 ? kind : FmtKind::Bad;
}

std::string format_int(long v, const char* fmt, FmtKind kind) {
  char tmp[128];
  if (kind == FmtKind::LongLong)
    std::snprintf(tmp, sizeof tmp, fmt, static_cast<long long>(v));
  else if (kind == FmtKind::Long)
    std::snprintf(tmp, sizeof tmp, fmt, v);
  else if (kind == FmtKind::Int)
    std::snprintf(tmp, sizeof tmp, fmt, static_cast<int>(v));
  else
    std::snprintf(tmp, sizeof tmp, fmt, static_cast<double>(v));
  return tmp;
}

std::string format_real(double v, const char* fmt) {
  char tmp[128];
  std::snprintf(tmp, sizeof tmp, fmt, v);
  return leading_zero(tmp);
}

// Integer conversions of floating values outside the integer range saturate
// rather than invoking undefined behaviour.
long to_long(double v) {
  if (!(v == v)) return 0;
  if (v >= static_cast<double>(LONG_MAX)) return LONG_MAX;
  if (v <= static_cast<double>(LONG_MIN)) return LONG_MIN;
  return static_cast<long>(v);
}

}  // namespace

void nan_init(void) {
  const char* pats[4][3] = {
      {"8000", "8001", "8002"},
      {"7FFFFFFF", "7F800000", "FF800000"},
      {"77FFFFFF", "7EFFFFFF", "FEFFFFFF"},
      {"77FFFFFFFFFFFFFF", "7EFFFFFFFFFFFFFF", "FEFFFFFFFFFFFFFF"},
  };
  for (int k = 0; k < 3; ++k) {
    specials.s[k] = read_binary_s(pats[0][k], 'Z');
    specials.i[k] = read_binary_i(pats[1][k], 'Z');
    specials.r[k] = read_binary_r(pats[2][k], 'Z');
    specials.d[k] = read_binary_d(pats[3][k], 'Z');
  }
}

int16_t nan_s(void) { return specials.s[0]; }
int32_t nan_i(void) { return specials.i[0]; }
float nan_r(void) { return specials.r[0]; }
double nan_d(void) { return specials.d[0]; }
int16_t infinity_s(int sign) { return specials.s[sign < 0 ? 2 : 1]; }
int32_t infinity_i(int sign) { return specials.i[sign < 0 ? 2 : 1]; }
float infinity_r(int sign) { return specials.r[sign < 0 ? 2 : 1]; }
double infinity_d(int sign) { return specials.d[sign < 0 ? 2 : 1]; }
bool qnan_s(int16_t v) { return v == specials.s[0]; }
bool qnan_i(int32_t v) { return v == specials.i[0]; }
bool qnan_r(float v) { return v == specials.r[0]; }
bool qnan_d(double v) { return v == specials.d[0]; }
bool qinf_s(int16_t v) { return v == specials.s[1] || v == specials.s[2]; }
bool qinf_i(int32_t v) { return v == specials.i[1] || v == specials.i[2]; }
bool qinf_r(float v) { return v == specials.r[1] || v == specials.r[2]; }
bool qinf_d(double v) { return v == specials.d[1] || v == specials.d[2]; }

int16_t read_binary_s(const char* text, char base) {
  return static_cast<int16_t>(static_cast<uint16_t>(read_pattern(text, base)));
}

int32_t read_binary_i(const char* text, char base) {
  return static_cast<int32_t>(static_cast<uint32_t>(read_pattern(text, base)));
}

float read_binary_r(const char* text, char base) {
  uint32_t bits = static_cast<uint32_t>(read_pattern(text, base));
  float v;
  std::memcpy(&v, &bits, sizeof v);
  return v;
}

double read_binary_d(const char* text, char base) {
  uint64_t bits = read_pattern(text, base);
  double v;
  std::memcpy(&v, &bits, sizeof v);
  return v;
}

double read_d(const char* s) {
  if (cs_is_blank(s)) return 0.0;
  if (is_nancode(s)) return nan_d();
  char* end = nullptr;
  double v = std::strtod(s, &end);
  if (!rest_blank(end)) err_msg1("READ_D error ", end);
  return v;
}

float read_r(const char* s) {
  if (cs_is_blank(s)) return 0.0f;
  if (is_nancode(s)) return nan_r();
  char* end = nullptr;
  float v = std::strtof(s, &end);
  if (!rest_blank(end)) err_msg1("READ_R error ", end);
  return v;
}

// Values beyond the 32-bit range are clamped to it, as strtol clamps to long.
int32_t read_i(const char* s) {
  if (cs_is_blank(s)) return 0;
  if (is_nancode(s)) return nan_i();
  char* end = nullptr;
  long v = std::strtol(s, &end, 10);
  if (!rest_blank(end)) {
    // Unlike the other readers, an integer complains on the terminal, in two
    // lines with a numbered code, as users of the integer reader have always seen.
    tmsg("READ_I ERROR 101");
    tmsg(end);
  }
  if (v > INT32_MAX) return INT32_MAX;
  if (v < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(v);
}

int16_t read_s(const char* s) {
  if (cs_is_blank(s)) return 0;
  if (is_nancode(s)) return nan_s();
  char* end = nullptr;
  long v = std::strtol(s, &end, 10);
  if (!rest_blank(end)) err_msg1("READ_S error ", end);
  return static_cast<int16_t>(v);
}

bool read_q(const char* s) {
  if (s == nullptr) return false;
  while (*s == ' ') ++s;
  return *s != '\0' && std::strchr("YyTt", *s) != nullptr;
}

void write_i(int32_t v, char* buf, int n) {
  if (qnan_i(v)) {
    put_nan(buf, n);
    return;
  }
  put_cut(std::to_string(static_cast<long>(v)), buf, n);
}

void write_s(int16_t v, char* buf, int n) {
  if (qnan_s(v)) {
    put_nan(buf, n);
    return;
  }
  put_cut(std::to_string(static_cast<int>(v)), buf, n);
}

void write_d(double v, char* buf, int n) {
  if (qnan_d(v)) {
    put_nan(buf, n);
    return;
  }
  // n only switches writing off: the short form is at most 13 characters, which
  // every caller's buffer holds, and a cut would change the number shown.
  if (n <= 0) return;
  std::string s = v == 0.0 ? std::string("0") : short_form(v);
  util_int::copy_bounded(s, buf, s.size() + 1);
}

void write_r(float v, char* buf, int n) {
  if (qnan_r(v)) {
    put_nan(buf, n);
    return;
  }
  if (n <= 0) return;
  std::string s = v == 0.0f ? std::string("0") : short_form(static_cast<double>(v));
  util_int::copy_bounded(s, buf, s.size() + 1);
}

char write_q(bool flag) { return flag ? 'T' : 'F'; }

void writef_i(int32_t v, const char* fmt, char* buf, int n) {
  FmtKind kind = fmt_kind(fmt ? fmt : "");
  if (cs_is_blank(fmt) || kind == FmtKind::Bad) return write_i(v, buf, n);
  if (qnan_i(v)) return put_nan(buf, n);
  put_cut(format_int(v, fmt, kind), buf, n);
}

void writef_s(int16_t v, const char* fmt, char* buf, int n) {
  FmtKind kind = fmt_kind(fmt ? fmt : "");
  if (cs_is_blank(fmt) || kind == FmtKind::Bad) return write_s(v, buf, n);
  if (qnan_s(v)) return put_nan(buf, n);
  put_cut(format_int(v, fmt, kind), buf, n);
}

void writef_r(float v, const char* fmt, char* buf, int n) {
  FmtKind kind = fmt_kind(fmt ? fmt : "");
  if (cs_is_blank(fmt) || kind == FmtKind::Bad) return write_r(v, buf, n);
  if (qnan_r(v)) return put_nan(buf, n);
  double d = static_cast<double>(v);
  put_cut(kind == FmtKind::Float ? format_real(d, fmt) : format_int(to_long(d), fmt, kind), buf, n);
}

void writef_d(double v, const char* fmt, char* buf, int n) {
  FmtKind kind = fmt_kind(fmt ? fmt : "");
  if (cs_is_blank(fmt) || kind == FmtKind::Bad) return write_d(v, buf, n);
  if (qnan_d(v)) return put_nan(buf, n);
  put_cut(kind == FmtKind::Float ? format_real(v, fmt) : format_int(to_long(v), fmt, kind), buf, n);
}
