// Source positions: one sky position held in the record, or a region read from a
// file of "x y" lines. With several positions each aspect interval's time is
// shared equally among them.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/varto.h"
#include "util/util.h"

source* alloc_source(int capacity) {
  auto* list = new source;
  list->capacity = capacity;
  if (capacity < 2) {
    list->count = 1;
    list->xs = &list->x;
    list->ys = &list->y;
  } else {
    list->xs = new double[capacity]();
    list->ys = new double[capacity]();
  }
  return list;
}

void free_source(source* list) {
  if (list == nullptr) return;
  if (list->capacity > 1) {
    delete[] list->xs;
    delete[] list->ys;
  }
  delete list;
}

namespace {

constexpr std::size_t kPositionLineLimit = 255;  // characters of a position line

// True when token is one number and nothing else.
bool position_number(const char* token, double* value) {
  if (cs_is_blank(token)) return false;
  char* end = nullptr;
  *value = std::strtod(token, &end);
  if (end == token) return false;
  while (*end == ' ') ++end;
  return *end == '\0';
}

}  // namespace

source* source_read(const char* file, int capacity) {
  char line[1400];
  const int ch = fio_open_r(file);
  if (ch == 0) {
    std::snprintf(line, sizeof line, "Failed to open source file %s\n", file);
    tmsg(line);
    return nullptr;
  }
  source* list = alloc_source(capacity);
  int positions = 0;
  int line_no = 0;
  // One character more than the longest line, so that a longer one shows.
  char text[kPositionLineLimit + 2];
  while (fio_read(ch, text, sizeof text) != 0) {
    ++line_no;
    if (std::strlen(text) > kPositionLineLimit) {
      std::snprintf(line, sizeof line,
                    "Position line too long in %s line %d (more than %zu characters)", file,
                    line_no, kPositionLineLimit);
      tmsg(line);
      fio_close(ch);
      free_source(list);
      return nullptr;
    }
    // Blank lines and lines whose first word begins with '#' hold no position.
    if (cs_is_blank(text)) continue;
    char x_token[sizeof text] = "";
    char y_token[sizeof text] = "";
    const char* cursor = text;
    cs_get_c(&cursor, x_token, sizeof text - 1);
    if (x_token[0] == '#') continue;
    ++positions;
    // The position numbered capacity would not fit: the region is refused whole.
    if (positions >= capacity) {
      tmsg("Too many pixels in region");
      fio_close(ch);
      free_source(list);
      return nullptr;
    }
    cs_get_c(&cursor, y_token, sizeof text - 1);
    double x = 0.0;
    double y = 0.0;
    if (!position_number(x_token, &x) || !position_number(y_token, &y)) {
      std::snprintf(line, sizeof line, "Bad position in %s line %d: x and y must be numbers", file,
                    line_no);
      tmsg(line);
      fio_close(ch);
      free_source(list);
      return nullptr;
    }
    list->xs[positions - 1] = x;
    list->ys[positions - 1] = y;
  }
  fio_close(ch);
  std::snprintf(line, sizeof line, "Read %d pixel positions", positions);
  tmsg(line);
  list->count = positions;
  return list;
}
