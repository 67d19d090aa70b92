// Source positions: one sky position held in the record, or a region read from a
// file of "x y" lines or from a region file in the image viewers' format. With
// several positions each aspect interval's time is shared equally among them.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <string>

#include "app/varto.h"
#include "param/par.h"
#include "region/region.h"
#include "text_input.h"
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

// True when token is one finite number and nothing else; *value is what it
// reads as (0 when it is no number at all).
bool position_number(const char* token, double* value) {
  *value = 0.0;
  if (cs_is_blank(token)) return false;
  char* end = nullptr;
  *value = std::strtod(token, &end);
  if (end == token) return false;
  while (*end == ' ') ++end;
  return *end == '\0' && std::isfinite(*value);
}

}  // namespace

namespace {

// "Failed to open source file NAME" unless the input said why itself.
void open_failure(const char* file, const TextInput& input) {
  if (input.failed()) return;
  char line[1400];
  std::snprintf(line, sizeof line, "Failed to open source file %s\n", file);
  tmsg(line);
}

// The "x y" lines of an opened input.
source* read_position_lines(const char* file, int capacity, TextInput* input) {
  char line[1400];
  source* list = alloc_source(capacity);
  int positions = 0;
  char text[kTextLineLimit + 2];
  while (input->next(text, sizeof text)) {
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
      free_source(list);
      return nullptr;
    }
    cs_get_c(&cursor, y_token, sizeof text - 1);
    double x = 0.0;
    double y = 0.0;
    if (!position_number(x_token, &x) || !position_number(y_token, &y)) {
      const bool finite = std::isfinite(x) && std::isfinite(y);
      std::snprintf(line, sizeof line, "Bad position in %s line %d: x and y must be %snumbers",
                    file, input->line_number(), finite ? "" : "finite ");
      tmsg(line);
      free_source(list);
      return nullptr;
    }
    list->xs[positions - 1] = x;
    list->ys[positions - 1] = y;
  }
  if (input->failed()) {
    free_source(list);
    return nullptr;
  }
  // An empty region would give a table without weight and no sign of why.
  if (positions == 0) {
    std::snprintf(line, sizeof line, "Position file %s holds no positions", file);
    tmsg(line);
    free_source(list);
    return nullptr;
  }
  std::snprintf(line, sizeof line, "Read %d pixel positions", positions);
  tmsg(line);
  list->count = positions;
  return list;
}

source* read_region_lines(const char* file, int capacity, const sky_frame* frame,
                          const char* sky_fault, const std::vector<region_text_line>& lines);

}  // namespace

bool varto_sky_position_given(par_table* table) {
  char ra[PAR_VALUE_LEN + 1];
  char dec[PAR_VALUE_LEN + 1];
  par_get(table, "ra", " ", ra);
  par_get(table, "dec", " ", dec);
  return !cs_is_blank(ra) || !cs_is_blank(dec);
}

source* source_read(const char* file, int capacity) {
  TextInput input(file, "position");
  if (!input.open()) {
    open_failure(file, input);
    return nullptr;
  }
  return read_position_lines(file, capacity, &input);
}

source* source_read_region(const char* file, int capacity, const sky_frame* frame,
                           const char* sky_fault) {
  TextInput input(file, "position");
  if (!input.open()) {
    open_failure(file, input);
    return nullptr;
  }
  return read_region_lines(file, capacity, frame, sky_fault, input.lines());
}

source* source_read_file(const char* file, int capacity, const sky_frame* frame,
                         const char* sky_fault, bool* region) {
  *region = false;
  TextInput input(file, "position");
  if (!input.open()) {
    open_failure(file, input);
    return nullptr;
  }
  *region = region_lines_are_region(input.lines());
  return *region ? read_region_lines(file, capacity, frame, sky_fault, input.lines())
                 : read_position_lines(file, capacity, &input);
}

namespace {

// "Region FILE line N: WHAT" on the terminal.
void region_refusal(const char* file, int line, const std::string& what) {
  const std::string text =
      std::string("Region ") + file + " line " + std::to_string(line) + ": " + what;
  tmsg(text.c_str());
}

source* read_region_lines(const char* file, int capacity, const sky_frame* frame,
                          const char* sky_fault, const std::vector<region_text_line>& lines) {
  region_file parsed;
  if (region_parse_lines(lines, &parsed) != 0) {
    region_refusal(file, parsed.error_line, parsed.error);
    return nullptr;
  }
  std::vector<region_shape> shapes;
  for (const region_shape& s : parsed.shapes) {
    if (!s.sky) {
      shapes.push_back(s);
      continue;
    }
    if (sky_fault != nullptr && sky_fault[0] != '\0') {
      region_refusal(file, s.line, std::string("sky coordinates cannot be used: ") + sky_fault);
      return nullptr;
    }
    if (frame == nullptr) {
      region_refusal(file, s.line,
                     "sky coordinates need the celestial coordinate keys of the event file's X "
                     "and Y columns, and it has none: save the region in physical");
      return nullptr;
    }
    region_shape pixels;
    if (sky_shape_to_pixels(frame, s, &pixels) != 0) {
      region_refusal(file, s.line, "a sky position of the shape has no sky pixel");
      return nullptr;
    }
    shapes.push_back(pixels);
  }
  region_positions found;
  int error_line = 0;
  std::string error;
  if (region_positions_of(shapes, capacity - 1, &found, &error_line, &error) != 0) {
    region_refusal(file, error_line, error);
    return nullptr;
  }
  const int count = static_cast<int>(found.xs.size());
  char line[1400];
  if (found.step > 1) {
    std::snprintf(line, sizeof line, "Region %s: %ld pixels, one in every %d used: %d positions",
                  file, found.pixels, found.step, count);
    tmsg(line);
  }
  source* list = alloc_source(capacity);
  for (int i = 0; i < count; ++i) {
    list->xs[i] = found.xs[i];
    list->ys[i] = found.ys[i];
  }
  list->count = count;
  list->step = found.step;
  std::snprintf(line, sizeof line, "Read %d pixel positions", count);
  tmsg(line);
  return list;
}

}  // namespace
