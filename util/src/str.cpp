// str.cpp -- the string toolkit: fixed-buffer copying, comparison with
// insignificant trailing blanks, searching, string lists, the tokeniser and the
// table of special characters that steers it.
#include "util/util.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <type_traits>

#include "util_int.h"

namespace util_int {

std::size_t trimmed_len(const char* s) {
  if (s == nullptr) return 0;
  std::size_t n = std::strlen(s);
  while (n > 0 && s[n - 1] == ' ') --n;
  return n;
}

std::string trimmed(const char* s, std::size_t max) {
  if (s == nullptr) return {};
  std::size_t n = strnlen(s, max == std::string::npos ? std::strlen(s) : max);
  while (n > 0 && s[n - 1] == ' ') --n;
  return std::string(s, n);
}

void copy_bounded(std::string_view src, char* dst, std::size_t size) {
  if (dst == nullptr || size == 0) return;
  std::size_t n = std::min(src.size(), size - 1);
  std::memcpy(dst, src.data(), n);
  dst[n] = '\0';
}

}  // namespace util_int

namespace {

util_int::EscEntry (&esc_data)[10] = util_int::state.esc;

std::size_t len_of(const char* s) { return s == nullptr ? 0 : std::strlen(s); }

bool all_blank(const char* s, std::size_t from, std::size_t to) {
  for (std::size_t k = from; k < to; ++k)
    if (s[k] != ' ') return false;
  return true;
}

// The comparison behind cs_eq and cs_eq_siz: the first n characters of a
// (length la) and b (length lb) agree, or one ends within them and the whole
// rest of the other is blank.
bool eq_n(const char* a, std::size_t la, const char* b, std::size_t lb, std::size_t n) {
  std::size_t m = std::min({la, lb, n});
  for (std::size_t k = 0; k < m; ++k)
    if (a[k] != b[k]) return false;
  if (m == n) return true;
  return all_blank(a, m, la) && all_blank(b, m, lb);
}

bool is_sep(char c, int mode) {
  if (mode == CS_TOKEN_WORD)
    return c == ' ' || c == esc_data[ESC_WORD].current || c == esc_data[ESC_STRING].current;
  return c == esc_data[ESC_STRING].current;
}

}  // namespace

void esc_init(void) {
  for (auto& e : esc_data) e.current = e.deflt;
}

char esc_get_char(int k) { return (k >= 0 && k < 10) ? esc_data[k].current : '\0'; }

void cs_copy(const char* src, char* dst) {
  if (src == nullptr) {
    dst[0] = '\0';
    return;
  }
  std::memmove(dst, src, std::strlen(src) + 1);
}

// A count below 1 gives an empty dst: the caller's buffer holds at least one byte.
void cs_copy_siz(const char* src, char* dst, int n) {
  if (src == nullptr || n < 1) {
    dst[0] = '\0';
    return;
  }
  std::size_t len = strnlen(src, static_cast<std::size_t>(n));
  std::memmove(dst, src, len);
  dst[len] = '\0';
}

void cs_get_ss(const char* s, char* dst, int i, int j) {
  if (i < 1) i = 1;
  std::size_t len = len_of(s);
  std::size_t k = 0;
  for (long p = i; p <= j && static_cast<std::size_t>(p) <= len; ++p) dst[k++] = s[p - 1];
  dst[k] = '\0';
}

void cs_put_ss(const char* src, char* dst, int i, int j) {
  if (i < 1) i = 1;
  std::size_t len = len_of(src);
  for (long p = i; p <= j; ++p) {
    std::size_t k = static_cast<std::size_t>(p - i);
    dst[p - 1] = k < len ? src[k] : ' ';
  }
}

void cs_zero(char* s) { s[0] = '\0'; }

void cs_null(char* s, int n) {
  if (n > 0) std::memset(s, 0, static_cast<std::size_t>(n));
}

void cs_denull(char* s, int n) {
  for (int k = 0; k < n; ++k)
    if (s[k] == '\0') s[k] = ' ';
}

void cs_conc(const char* a, const char* b, char* out) {
  std::size_t la = util_int::trimmed_len(a);
  std::size_t lb = len_of(b);
  std::memmove(out, a, la);
  std::memmove(out + la, b, lb);
  out[la + lb] = '\0';
}

void cs_conc1(const char* a, const char* b, char* out) {
  std::size_t la = util_int::trimmed_len(a);
  std::size_t lb = len_of(b);
  std::memmove(out, a, la);
  out[la] = ' ';
  std::memmove(out + la + 1, b, lb);
  out[la + 1 + lb] = '\0';
}

void cs_remove_nl(char* s) {
  std::size_t n = std::strlen(s);
  if (n > 0 && s[n - 1] == '\n') s[--n] = '\0';
  if (n > 0 && s[n - 1] == '\r') s[--n] = '\0';
}

void cs_upper(char* s) {
  for (; *s; ++s) *s = static_cast<char>(std::toupper(static_cast<unsigned char>(*s)));
}

void cs_lower(char* s) {
  for (; *s; ++s) *s = static_cast<char>(std::tolower(static_cast<unsigned char>(*s)));
}

void cs_mixcase(char* s) {
  if (*s == '\0') return;
  s[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(s[0])));
  cs_lower(s + 1);
}

int cs_ends(const char* s) { return static_cast<int>(util_int::trimmed_len(s)); }

int cs_begs(const char* s) {
  std::size_t len = len_of(s);
  if (len == 0) return 1;
  for (std::size_t k = 0; k < len; ++k)
    if (s[k] != ' ') return static_cast<int>(k + 1);
  // A blank string gives its last position, so that cs_begs..cs_ends is empty.
  return static_cast<int>(len);
}

bool cs_is_blank(const char* s) { return util_int::trimmed_len(s) == 0; }

void cs_advptr(const char** p) {
  if (p == nullptr || *p == nullptr) return;
  while (**p == ' ') ++*p;
}

char cs_logic(bool flag) { return flag ? 'Y' : 'N'; }
bool digit_char(int c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }
bool alpha_char(int c) { return std::isalpha(static_cast<unsigned char>(c)) != 0; }
bool numeric_char(int c) { return digit_char(c) || c == '+' || c == '-' || c == '.'; }

bool cs_eq(const char* a, const char* b) {
  if (a == nullptr) a = "";
  if (b == nullptr) b = "";
  std::size_t la = std::strlen(a), lb = std::strlen(b);
  return eq_n(a, la, b, lb, std::max(la, lb));
}

// Compares the whole of both strings case-insensitively, however long: the
// result equals cs_eq of upper-cased copies without cutting either side.
bool cs_uceq(const char* a, const char* b) {
  if (a == nullptr) a = "";
  if (b == nullptr) b = "";
  std::size_t la = std::strlen(a), lb = std::strlen(b);
  std::size_t m = std::min(la, lb);
  for (std::size_t k = 0; k < m; ++k)
    if (std::toupper(static_cast<unsigned char>(a[k])) !=
        std::toupper(static_cast<unsigned char>(b[k])))
      return false;
  return all_blank(a, m, la) && all_blank(b, m, lb);
}

bool cs_eq_siz(const char* a, const char* b, int n) {
  if (a == nullptr) a = "";
  if (b == nullptr) b = "";
  if (n < 0) n = 0;
  return eq_n(a, std::strlen(a), b, std::strlen(b), static_cast<std::size_t>(n));
}

bool cs_eq_ss(const char* s, int i, int j, const char* t) {
  if (i < 1) i = 1;
  if (t == nullptr) t = "";
  std::size_t len = len_of(s);
  std::size_t start = static_cast<std::size_t>(i - 1);
  std::size_t width = j >= i ? static_cast<std::size_t>(j - i + 1) : 0;
  std::size_t sub = start < len ? std::min(width, len - start) : 0;
  const char* base = sub > 0 ? s + start : "";
  return eq_n(base, sub, t, std::strlen(t), width);
}

int cs_index(const char* s, const char* p) {
  const char* hit = std::strstr(s, p);
  return hit ? static_cast<int>(hit - s) + 1 : 0;
}

int cs_eindex(const char* s, int i, const char* p) {
  if (i < 0) return 0;
  if (i < 1) i = 1;
  std::size_t len = std::strlen(s);
  if (static_cast<std::size_t>(i) > len + 1) return 0;
  const char* hit = std::strstr(s + i - 1, p);
  return hit ? static_cast<int>(hit - s) + 1 : 0;
}

int cs_index_char(const char* s, char c) {
  if (c == '\0') return 0;
  const char* hit = std::strchr(s, c);
  return hit ? static_cast<int>(hit - s) + 1 : 0;
}

bool cs_ss(const char* s, const char* p) { return cs_index(s, p) > 0; }
bool cs_ss_char(const char* s, char c) { return cs_index_char(s, c) > 0; }

void subcmd_split(const char* s, char* head, char* tail, char c) {
  int pos = cs_index_char(s, c);
  if (pos == 0) {
    cs_copy(s, head);
    std::memcpy(tail, " ", 2);
    return;
  }
  if (pos == 1) {
    std::memcpy(head, " ", 2);
  } else {
    std::memmove(head, s, static_cast<std::size_t>(pos - 1));
    head[pos - 1] = '\0';
  }
  cs_copy(s + pos, tail);
}

int match_c(const char* s, char** list, int n) {
  for (int k = 0; k < n; ++k)
    if (cs_eq(s, list[k])) return k + 1;
  return 0;
}

int cmatch(const char* s, char** list, int n) { return match_c(s, list, n); }

int cmatch_c(const char* s, char** list, int n) { return match_c(s, list, n) - 1; }

int matchr_c(const char* s, char** list, int i, int j) {
  if (i < 1) i = 1;
  for (int k = i; k <= j; ++k)
    if (cs_eq(s, list[k - 1])) return k;
  return 0;
}

int cs_match(const char* s, const char* packed, int n, int w) {
  if (w < 0) return 0;
  // Each packed slot is terminated at w characters whether or not it holds a NUL.
  std::size_t slot = static_cast<std::size_t>(w) + 1;
  std::size_t ls = len_of(s);
  for (int k = 0; k < n; ++k) {
    const char* e = packed + static_cast<std::size_t>(k) * slot;
    std::size_t le = strnlen(e, static_cast<std::size_t>(w));
    if (eq_n(s, ls, e, le, std::max(ls, le))) return k + 1;
  }
  return 0;
}

// The list's slots must be wide enough for s: a string list does not record its width.
int cs_list_add(char** list, int* n, int max, const char* s) {
  int hit = match_c(s, list, *n);
  if (hit > 0) return hit;
  if (*n >= max) {
    tmsg("Routine list_add: list overflow");
    return 0;
  }
  cs_copy(s, list[*n]);
  ++*n;
  return *n;
}

int list_parse(const char* s, char** list, int w, int max) {
  if (cs_is_blank(s)) return 0;
  const char* cur = s;
  int k = 0;
  while (cur != nullptr && k < max) {
    cs_get_c(&cur, list[k], w);
    ++k;
  }
  return k;
}

int cs_get_token(const char** cursor, char* buf, int mode, int n) {
  if (cursor == nullptr || *cursor == nullptr) {
    buf[0] = '\0';
    return 0;
  }
  if (mode != CS_TOKEN_WORD && mode != CS_TOKEN_PHRASE && mode != CS_TOKEN_LINE) {
    tmsg("Bad token mode");
    return 0;
  }
  if (n < 0) n = 0;
  const char* p = *cursor;
  std::size_t copied = 0;
  const std::size_t limit = static_cast<std::size_t>(n);
  if (mode == CS_TOKEN_LINE) {
    // Bounded by n like the other modes, so a short buffer is never overrun.
    std::size_t len = strnlen(p, limit);
    std::memcpy(buf, p, len);
    buf[len] = '\0';
    *cursor = nullptr;
    return 0;
  }
  const char lpar = esc_data[ESC_LPAR].current;
  const char rpar = esc_data[ESC_RPAR].current;
  int sep = 0;
  while (*p == ' ') ++p;
  if (*p != '\0') {
    int depth = 0;
    for (; *p != '\0'; ++p) {
      char c = *p;
      if (c == lpar) {
        ++depth;
      } else if (c == rpar) {
        --depth;
      } else if (depth <= 0 && is_sep(c, mode)) {
        sep = static_cast<unsigned char>(c);
        ++p;
        break;
      }
      if (copied < limit) buf[copied++] = c;
    }
    while (*p == ' ') ++p;
  }
  buf[copied] = '\0';
  *cursor = cs_is_blank(p) ? nullptr : p;
  return sep;
}

int cs_get_c(const char** cursor, char* buf, int n) {
  return cs_get_token(cursor, buf, CS_TOKEN_WORD, n);
}
int cs_get_cs(const char** cursor, char* buf, int n) {
  return cs_get_token(cursor, buf, CS_TOKEN_PHRASE, n);
}
int cs_get_cl(const char** cursor, char* buf, int n) {
  return cs_get_token(cursor, buf, CS_TOKEN_LINE, n);
}

namespace {

// The next word of the text (cs_get_c, cut to a number's length) read as a
// number; a blank word gives def (the read routines themselves give 0).
template <typename T>
T next_number(const char** cursor, T (*read)(const char*), std::type_identity_t<T> def) {
  char w[UTIL_NUM_LEN + 1];
  cs_get_c(cursor, w, UTIL_NUM_LEN);
  return cs_is_blank(w) ? def : read(w);
}

// Writes v as a number (at most a number's length) followed by a blank.
template <typename T>
void put_number(std::type_identity_t<T> v, void (*write)(T, char*, int), char** cursor, int* room) {
  char w[UTIL_NUM_LEN + 1];
  write(v, w, UTIL_NUM_LEN);
  cs_put_token(w, cursor, ' ', room);
}

}  // namespace

int cs_get_i(const char** cursor) { return next_number(cursor, read_i, 0); }
int16_t cs_get_s(const char** cursor) { return next_number(cursor, read_s, 0); }
float cs_get_r(const char** cursor) { return next_number(cursor, read_r, 0); }
double cs_get_d(const char** cursor) { return next_number(cursor, read_d, 0); }
bool cs_get_q(const char** cursor) { return next_number(cursor, read_q, false); }

int cs_getd_i(const char** cursor, int def) { return next_number(cursor, read_i, def); }
int16_t cs_getd_s(const char** cursor, int16_t def) { return next_number(cursor, read_s, def); }
float cs_getd_r(const char** cursor, float def) { return next_number(cursor, read_r, def); }
double cs_getd_d(const char** cursor, double def) { return next_number(cursor, read_d, def); }

void cs_put_token(const char* text, char** cursor, char sep, int* room) {
  const char* t = text ? text : "";
  while (*room > 0 && *t != '\0') {
    *(*cursor)++ = *t++;
    --*room;
  }
  // The room counts text only: the routine-stack display breaks its line exactly
  // when a name's own characters run out of room, not one separator earlier.
  if (*room > 0 && sep != '\0') *(*cursor)++ = sep;
  **cursor = '\0';
}

void cs_put_c(const char* text, char** cursor, int* room) { cs_put_token(text, cursor, ' ', room); }
void cs_put_cs(const char* text, char** cursor, int* room) {
  cs_put_token(text, cursor, esc_data[ESC_STRING].current, room);
}
void cs_put_cn(const char* text, char** cursor, int* room) {
  cs_put_token(text, cursor, '\0', room);
}

void cs_put_i(int v, char** cursor, int* room) { put_number(v, write_i, cursor, room); }
void cs_put_s(int16_t v, char** cursor, int* room) { put_number(v, write_s, cursor, room); }
void cs_put_r(float v, char** cursor, int* room) { put_number(v, write_r, cursor, room); }
void cs_put_d(double v, char** cursor, int* room) { put_number(v, write_d, cursor, room); }
