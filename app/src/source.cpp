// Source positions: one sky position held in the record, or a region read from a
// file of "x y" lines. With several positions each aspect interval's time is
// shared equally among them.
#include <cstdio>

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

source* source_read(const char* file, int capacity) {
  char line[320];
  const int ch = fio_open_r(file);
  if (ch == 0) {
    std::snprintf(line, sizeof line, "Failed to open source file %s\n", file);
    tmsg(line);
    return nullptr;
  }
  source* list = alloc_source(capacity);
  int lines = 0;
  char text[81];
  while (fio_read(ch, text, sizeof text) != 0) {
    ++lines;
    // The line numbered capacity would not fit: the region is refused whole.
    if (lines >= capacity) {
      tmsg("Too many pixels in region");
      fio_close(ch);
      list->count = 0;
      return list;
    }
    const char* cursor = text;
    list->xs[lines - 1] = cs_get_d(&cursor);
    list->ys[lines - 1] = cs_get_d(&cursor);
  }
  fio_close(ch);
  std::snprintf(line, sizeof line, "Read %d pixel positions", lines);
  tmsg(line);
  list->count = lines;
  return list;
}
