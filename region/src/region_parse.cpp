// Reading region files: comments and properties after '#', "global" lines, a
// coordinate system on a line of its own or before a shape ("fk5;circle(...)"),
// shapes with a leading '-' for exclusion, sky positions in degrees or
// sexagesimal and sky sizes with '"', '\'' or 'd'. Each shape keeps its line so
// that a later refusal can name it.
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "region/region.h"
#include "util/util.h"

namespace {

enum class Frame { physical, sky };

constexpr const char* kSkySystems[] = {"fk5", "icrs", "j2000"};
// Systems a viewer may write that varto does not convert.
constexpr const char* kOtherSkySystems[] = {"galactic", "fk4", "b1950", "ecliptic"};
constexpr const char* kOtherSystems[] = {"linear", "amplifier", "detector", "wcs"};

struct ShapeName {
  const char* name;
  region_kind kind;
};
constexpr ShapeName kShapes[] = {
    {"point", region_kind::point},     {"circle", region_kind::circle},
    {"ellipse", region_kind::ellipse}, {"box", region_kind::box},
    {"polygon", region_kind::polygon}, {"annulus", region_kind::annulus},
};

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

template <std::size_t N>
bool one_of(const std::string& word, const char* const (&list)[N]) {
  for (const char* w : list)
    if (word == w) return true;
  return false;
}

// A coordinate-system word: the ones read, the ones refused, and WCS letters.
bool system_word(const std::string& w) {
  if (one_of(w, kSkySystems) || one_of(w, kOtherSkySystems) || one_of(w, kOtherSystems))
    return true;
  if (w == "physical" || w == "image") return true;
  return w.size() == 4 && w.compare(0, 3, "wcs") == 0 && w[3] >= 'a' && w[3] <= 'z';
}

// The statement without its comment or properties.
std::string_view strip_comment(std::string_view line) {
  const std::size_t hash = line.find('#');
  return hash == std::string_view::npos ? line : line.substr(0, hash);
}

// The leading word of a statement (letters and digits) in lower case.
std::string leading_word(std::string_view s) {
  std::size_t n = 0;
  while (n < s.size() && std::isalnum(static_cast<unsigned char>(s[n]))) ++n;
  return lower(s.substr(0, n));
}

// A whole finite number, with nothing after it but blanks.
bool plain_number(std::string_view token, double* value) {
  const std::string text(trim(token));
  if (text.empty()) return false;
  char* end = nullptr;
  *value = std::strtod(text.c_str(), &end);
  return end == text.c_str() + text.size() && std::isfinite(*value);
}

// "a:b:c" or "a<u1>b<u2>c<u3>" (u the unit letters, the last one optional) as
// a + b/60 + c/3600 with the sign of a; false for other text.
bool sexagesimal(std::string_view text, const char* units, double* value) {
  std::string s(trim(text));
  if (s.empty()) return false;
  bool negative = false;
  if (s[0] == '+' || s[0] == '-') {
    negative = s[0] == '-';
    s.erase(0, 1);
  }
  const bool colons = s.find(':') != std::string::npos;
  double parts[3] = {0, 0, 0};
  std::size_t at = 0;
  for (int k = 0; k < 3; ++k) {
    if (at >= s.size()) return false;
    const char* start = s.c_str() + at;
    char* end = nullptr;
    parts[k] = std::strtod(start, &end);
    if (end == start || !std::isfinite(parts[k]) || parts[k] < 0 || *start == '-' || *start == '+')
      return false;
    // Degrees or hours and minutes are whole numbers.
    if (k < 2 && parts[k] != std::floor(parts[k])) return false;
    at = static_cast<std::size_t>(end - s.c_str());
    const char sep = at < s.size() ? static_cast<char>(std::tolower(s[at])) : '\0';
    if (k < 2) {
      if (sep != (colons ? ':' : units[k])) return false;
      ++at;
    } else if (!colons && sep == units[2]) {
      ++at;
    }
  }
  if (at != s.size() || parts[1] >= 60 || parts[2] >= 60) return false;
  const double v = parts[0] + parts[1] / 60.0 + parts[2] / 3600.0;
  *value = negative ? -v : v;
  return true;
}

// Degrees given as a number, optionally followed by 'd'.
bool degrees(std::string_view token, double* value) {
  std::string_view t = trim(token);
  if (!t.empty() && (t.back() == 'd' || t.back() == 'D')) t.remove_suffix(1);
  return plain_number(t, value);
}

// A sky size in degrees: '"' arcseconds, '\'' arcminutes, 'd' or nothing degrees.
bool sky_size(std::string_view token, double* value) {
  std::string_view t = trim(token);
  double scale = 1.0;
  if (!t.empty() && t.back() == '"') {
    scale = 1.0 / 3600.0;
    t.remove_suffix(1);
  } else if (!t.empty() && t.back() == '\'') {
    scale = 1.0 / 60.0;
    t.remove_suffix(1);
  }
  if (!degrees(t, value)) return false;
  *value *= scale;
  return true;
}

// A size in a physical shape: pixels only.
bool pixel_size(std::string_view token, double* value) { return plain_number(token, value); }

class Parser {
 public:
  explicit Parser(region_file* out) : out_(out) {}

  // One line; false after the first fault.
  bool line(std::string_view text, int number) {
    line_ = number;
    std::string_view rest = strip_comment(text);
    // Statements on one line are separated by ';' ("fk5;circle(...)").
    while (true) {
      const std::size_t semi = rest.find(';');
      const std::string_view statement = trim(rest.substr(0, semi));
      if (!statement.empty() && !this->statement(statement)) return false;
      if (semi == std::string_view::npos) return true;
      rest.remove_prefix(semi + 1);
    }
  }

  // At the end: a region of no shape is refused.
  bool finish(int last_line) {
    if (!out_->shapes.empty()) return true;
    line_ = last_line > 0 ? last_line : 1;
    return fail("the region file holds no shape");
  }

 private:
  bool fail(const std::string& what) {
    out_->error_line = line_;
    out_->error = what;
    out_->shapes.clear();
    return false;
  }

  bool statement(std::string_view s) {
    const std::string word = leading_word(s);
    if (word == "global" && (s.size() == 6 || std::isspace(static_cast<unsigned char>(s[6]))))
      return true;
    if (word.size() == s.size()) return system(word);
    return shape(s);
  }

  bool system(const std::string& word) {
    if (word == "physical") {
      frame_ = Frame::physical;
      return true;
    }
    if (one_of(word, kSkySystems)) {
      frame_ = Frame::sky;
      return true;
    }
    if (word == "image") {
      return fail(
          "image coordinates depend on how the viewer binned the events: save the region in "
          "physical or fk5");
    }
    if (one_of(word, kOtherSkySystems)) {
      return fail("coordinate system " + word +
                  " is not supported: save the region in physical or fk5");
    }
    return fail("unknown coordinate system " + word + ": save the region in physical or fk5");
  }

  bool shape(std::string_view s) {
    region_shape shape;
    shape.line = line_;
    shape.sky = frame_ == Frame::sky;
    if (s.front() == '-' || s.front() == '+') {
      shape.exclude = s.front() == '-';
      s = trim(s.substr(1));
    }
    const std::string word = leading_word(s);
    const std::string_view after = trim(s.substr(word.size()));
    if (word.empty() || after.empty() || after.front() != '(') {
      if (!word.empty() && system_word(word)) return system(word);
      return fail("not a region shape: " + std::string(s));
    }
    bool known = false;
    for (const ShapeName& n : kShapes) {
      if (word == n.name) {
        shape.kind = n.kind;
        known = true;
      }
    }
    if (!known) return fail("unknown shape " + word);
    const std::size_t close = after.find(')');
    if (close == std::string_view::npos || !trim(after.substr(close + 1)).empty())
      return fail(word + ": the arguments must end with ')' and nothing may follow");
    std::vector<std::string_view> args;
    std::string_view inner = after.substr(1, close - 1);
    while (true) {
      const std::size_t comma = inner.find(',');
      args.push_back(trim(inner.substr(0, comma)));
      if (comma == std::string_view::npos) break;
      inner.remove_prefix(comma + 1);
    }
    return arguments(word, args, &shape);
  }

  // Positions are pairs from the first argument; sizes and the angle follow.
  bool arguments(const std::string& word, const std::vector<std::string_view>& args,
                 region_shape* shape) {
    std::size_t pairs = 1;
    std::size_t sizes = 0;
    bool angle = false;
    const char* needs = "";
    switch (shape->kind) {
      case region_kind::point: needs = "point needs x and y"; break;
      case region_kind::circle:
        sizes = 1;
        needs = "circle needs x, y and a radius";
        break;
      case region_kind::ellipse:
        sizes = 2;
        angle = args.size() == 5;
        needs = "ellipse needs x, y, two radii and an angle";
        break;
      case region_kind::box:
        sizes = 2;
        angle = args.size() == 5;
        needs = "box needs x, y, width, height and an angle";
        break;
      case region_kind::annulus:
        sizes = 2;
        needs = "annulus needs x, y, an inner and an outer radius";
        break;
      case region_kind::polygon:
        pairs = args.size() / 2;
        needs = "polygon needs three or more x, y pairs";
        if (args.size() % 2 != 0 || pairs < 3) return fail(needs);
        break;
    }
    if (args.size() != 2 * pairs + sizes + (angle ? 1 : 0)) return fail(needs);
    if (shape->kind == region_kind::point && shape->exclude)
      return fail("an excluded point covers no pixel: exclude a shape with an area");
    for (std::size_t p = 0; p < pairs; ++p) {
      double x = 0.0;
      double y = 0.0;
      const std::string_view xt = args[2 * p];
      const std::string_view yt = args[2 * p + 1];
      if (shape->sky) {
        const std::string xs(xt);
        const std::string ys(yt);
        if (!region_parse_ra(xs.c_str(), &x) || !region_parse_dec(ys.c_str(), &y))
          return fail(word + ": bad sky position " + xs + ", " + ys);
      } else if (!plain_number(xt, &x) || !plain_number(yt, &y)) {
        return fail(word + ": bad pixel position " + std::string(xt) + ", " + std::string(yt) +
                    " (physical positions are sky pixels)");
      }
      shape->xs.push_back(x);
      shape->ys.push_back(y);
    }
    for (std::size_t k = 0; k < sizes; ++k) {
      const std::string_view t = args[2 * pairs + k];
      const bool ok = shape->sky ? sky_size(t, &shape->size[k]) : pixel_size(t, &shape->size[k]);
      if (!ok) {
        return fail(word + ": bad size " + std::string(t) +
                    (shape->sky ? "" : " (physical sizes are sky pixels, without a unit)"));
      }
      const bool inner = shape->kind == region_kind::annulus && k == 0;
      if (inner ? shape->size[k] < 0 : shape->size[k] <= 0)
        return fail(word + ": size " + std::string(t) + " is not above 0");
    }
    if (shape->kind == region_kind::annulus && !(shape->size[0] < shape->size[1]))
      return fail("annulus: the inner radius must be below the outer one");
    if (angle && !degrees(args.back(), &shape->angle))
      return fail(word + ": bad angle " + std::string(args.back()));
    out_->shapes.push_back(*shape);
    return true;
  }

  region_file* out_;
  Frame frame_ = Frame::physical;
  int line_ = 0;
};

// Splits text into lines and parses them.
int parse_lines(const char* text, region_file* out) {
  out->shapes.clear();
  out->error_line = 0;
  out->error.clear();
  Parser parser(out);
  std::string_view rest(text != nullptr ? text : "");
  int number = 0;
  while (!rest.empty()) {
    const std::size_t nl = rest.find('\n');
    std::string_view line = rest.substr(0, nl);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    ++number;
    if (!parser.line(line, number)) return 1;
    if (nl == std::string_view::npos) break;
    rest.remove_prefix(nl + 1);
  }
  return parser.finish(number) ? 0 : 1;
}

}  // namespace

bool region_line_is_region(const char* line) {
  const std::string_view s = trim(strip_comment(line != nullptr ? line : ""));
  if (s.empty()) return false;
  std::string_view body = s;
  if (body.front() == '-' || body.front() == '+') body = trim(body.substr(1));
  const std::string word = leading_word(body);
  if (word.empty() || std::isdigit(static_cast<unsigned char>(word[0]))) return false;
  if (word == "global" || system_word(word)) return true;
  // A word directly followed by '(' is a shape, known or not.
  const std::string_view after = trim(body.substr(word.size()));
  return !after.empty() && after.front() == '(';
}

namespace {

// The UTF-8 byte-order mark some editors put at the start of a text file.
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// The lines of a file as read, the byte-order mark of its first line dropped.
bool read_lines(const char* file, std::vector<region_text_line>* lines) {
  const int ch = fio_open_r(file);
  if (ch == 0) return false;
  char line[REGION_LINE_LIMIT + 2];
  std::size_t length = 0;
  while (fio_read_len(ch, line, sizeof line, &length) != 0) lines->push_back({line, length});
  fio_close(ch);
  if (!lines->empty() && lines->front().text.starts_with(kByteOrderMark)) {
    lines->front().text.erase(0, kByteOrderMark.size());
    lines->front().length -= kByteOrderMark.size();
  }
  return true;
}

}  // namespace

int region_file_test(const char* file) {
  std::vector<region_text_line> lines;
  if (!read_lines(file, &lines)) return -1;
  return region_lines_are_region(lines) ? 1 : 0;
}

bool region_lines_are_region(const std::vector<region_text_line>& lines) {
  for (const region_text_line& line : lines)
    if (region_line_is_region(line.text.c_str())) return true;
  return false;
}

int region_parse_text(const char* text, region_file* out) { return parse_lines(text, out); }

int region_read(const char* file, region_file* out) {
  std::vector<region_text_line> lines;
  if (!read_lines(file, &lines)) return -1;
  return region_parse_lines(lines, out);
}

int region_parse_lines(const std::vector<region_text_line>& lines, region_file* out) {
  std::string text;
  int number = 0;
  for (const region_text_line& line : lines) {
    ++number;
    const bool too_long = line.length > static_cast<std::size_t>(REGION_LINE_LIMIT);
    if (too_long || line.text.size() < line.length) {
      out->shapes.clear();
      out->error_line = number;
      out->error = too_long
                       ? "line longer than " + std::to_string(REGION_LINE_LIMIT) + " characters"
                       : std::string("a NUL byte in the line");
      return 1;
    }
    text += line.text;
    text += '\n';
  }
  std::string_view body = text;
  if (body.starts_with(kByteOrderMark)) body.remove_prefix(kByteOrderMark.size());
  return parse_lines(std::string(body).c_str(), out);
}

bool region_parse_ra(const char* text, double* value) {
  const std::string_view t = trim(text != nullptr ? text : "");
  double v = 0.0;
  const bool sexa = t.find(':') != std::string_view::npos || t.find('h') != std::string_view::npos;
  if (sexa ? !sexagesimal(t, "hms", &v) : !degrees(t, &v)) return false;
  if (sexa) v *= 15.0;
  if (!(v >= 0.0 && v < 360.0)) return false;
  *value = v;
  return true;
}

bool region_parse_dec(const char* text, double* value) {
  const std::string_view t = trim(text != nullptr ? text : "");
  double v = 0.0;
  const bool sexa = t.find(':') != std::string_view::npos || t.find('m') != std::string_view::npos;
  if (sexa ? !sexagesimal(t, "dms", &v) : !degrees(t, &v)) return false;
  if (!(v >= -90.0 && v <= 90.0)) return false;
  *value = v;
  return true;
}
