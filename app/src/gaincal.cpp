// Gain calibration: the table of 32 x 32 gain maps against MJD, the optional
// list of gain steps (MJDs of abrupt gain changes), and the debug listing of the
// maps in the file "gain.time".
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/varto.h"
#include "text_input.h"
#include "dm/dm.h"
#include "util/util.h"

gain_data* alloc_gain_data(int n, int step_capacity) {
  auto* set = new gain_data;
  set->count = n > 0 ? n : 0;
  set->step_capacity = step_capacity > 0 ? step_capacity : 0;
  set->times = new double[set->count > 0 ? set->count : 1]();
  set->maps =
      new double[static_cast<std::size_t>(set->count > 0 ? set->count : 1) * GAIN_MAP_SIZE]();
  set->steps = new double[set->step_capacity > 0 ? set->step_capacity : 1]();
  return set;
}

void free_gain_data(gain_data* set) {
  if (set == nullptr) return;
  delete[] set->times;
  delete[] set->maps;
  delete[] set->steps;
  delete set;
}

gain_data* varto_cal_read(const char* spec, const char* time_file) {
  dmBlock* table = dmDatasetTableOpen(spec);
  if (table == nullptr) {
    tmsg("Failed to open gain calibration dataset");
    print_open_reason();
    return nullptr;
  }
  const int n = dmTableGetNoRows(table);
  gain_data* set = alloc_gain_data(n, GAIN_STEP_CAPACITY);
  dmDescriptor* time_col = dmTableOpenColumn(table, "TIME");
  dmDescriptor* map_col = dmTableOpenColumn(table, "GAIN_MAP");
  if (time_col == nullptr || map_col == nullptr) {
    // Without both columns there are no maps to interpolate: the run cannot go on.
    tmsg("ERROR: TIME and GAIN_MAP columns not found");
    dmDatasetTableClose(table);
    free_gain_data(set);
    return nullptr;
  }
  if (dmGetArrLen(map_col) != GAIN_MAP_SIZE) {
    // Each row must hold one whole map of 32 x 32 cells.
    const std::string line = std::string("ERROR: gain map table ") + spec + ": GAIN_MAP holds " +
                             std::to_string(dmGetArrLen(map_col)) +
                             " values a row; a map needs 32 x 32 = 1024";
    tmsg(line.c_str());
    dmDatasetTableClose(table);
    free_gain_data(set);
    return nullptr;
  }
  dmsg(1, "Map  Time");
  for (int i = 0; i < set->count; ++i) {
    double* map = set->maps + static_cast<std::size_t>(i) * GAIN_MAP_SIZE;
    set->times[i] = dmGetScalar_d(time_col);
    dmGetStaticArray_d(map_col, map, GAIN_MAP_SIZE);
    if (dbg_level(1)) {
      char line[160];
      std::snprintf(line, sizeof line, "%6d %p %20.6f %f %f %f", i + 1, static_cast<void*>(map_col),
                    set->times[i], map[0], map[200], map[500]);
      dmsg(1, line);
    }
    dmTableNextRow(table);
  }
  if (dmBlockGetReadError(table) != DM_ERROR_NONE) {
    // The data model has reported the failed read; no maps are kept.
    dmDatasetTableClose(table);
    free_gain_data(set);
    return nullptr;
  }
  for (int i = 0; i < set->count; ++i) {
    if (std::isfinite(set->times[i])) continue;
    const std::string line = std::string("ERROR: gain map table ") + spec + ": the TIME of map " +
                             std::to_string(i + 1) + " is not a number";
    tmsg(line.c_str());
    dmDatasetTableClose(table);
    free_gain_data(set);
    return nullptr;
  }
  char line[UTIL_MSG_BUF];
  std::snprintf(line, sizeof line, "Read %d maps from gain calibration table", set->count);
  tmsg(line);
  dmDatasetTableClose(table);

  // Interpolation in time needs a pair of maps.
  if (set->count < 2) {
    char line[128];
    std::snprintf(line, sizeof line,
                  "ERROR: gain calibration table holds %d maps; at least 2 are needed", set->count);
    tmsg(line);
    free_gain_data(set);
    return nullptr;
  }
  if (dbg_level(1)) time_slice(set, time_file);
  return set;
}

int read_gain_steps_file(gain_data* set, const char* file) {
  if (set == nullptr || file == nullptr || cs_is_blank(file)) return 0;
  char line[1400];
  TextInput input(file, "steps");
  if (!input.open()) {
    if (!input.failed()) {
      std::snprintf(line, sizeof line, "Failed to open steps file %s", file);
      tmsg(line);
    }
    return 1;
  }
  bool warned = false;
  char text[kTextLineLimit + 2];
  while (input.next(text, sizeof text)) {
    char token[sizeof text] = "";
    const char* cursor = text;
    cs_get_c(&cursor, token, sizeof text - 1);
    if (token[0] == '#' || cs_is_blank(token)) continue;
    // A step that is not a finite MJD would place the map selection nowhere.
    char* end = nullptr;
    const double step = std::strtod(token, &end);
    if (end == token || *end != '\0' || !std::isfinite(step)) {
      std::snprintf(line, sizeof line, "Bad gain step in %s line %d: %s is not a finite MJD", file,
                    input.line_number(), token);
      tmsg(line);
      return 1;
    }
    if (set->step_count >= set->step_capacity) {
      // The record holds a fixed number of steps; later ones are refused.
      if (!warned) {
        std::snprintf(line, sizeof line,
                      "Warning: more than %d gain steps; the rest of the file is ignored",
                      set->step_capacity);
        tmsg(line);
        warned = true;
      }
      continue;
    }
    set->steps[set->step_count++] = step;
  }
  if (input.failed()) return 1;
  double* first = set->steps;
  double* last = set->steps + set->step_count;
  if (!std::is_sorted(first, last)) {
    std::sort(first, last);
    std::snprintf(line, sizeof line, "Warning: gain steps in %s were not in time order: sorted",
                  file);
    tmsg(line);
  }
  std::snprintf(line, sizeof line, "Read %d steps from gain steps file\n", set->step_count);
  tmsg(line);
  return 0;
}

void time_slice(const gain_data* set, const char* file) {
  if (set == nullptr) return;
  // Written to a file of varto's own and renamed into place: a link planted at
  // gain.time is replaced, never followed.
  char temp[UTIL_PATH_LEN + 1];
  if (sys_own_file(file, temp, sizeof temp) != 0) {
    tmsg("Failed to open gain.time");
    return;
  }
  const int ch = fio_open_w(temp);
  if (ch == 0) {
    sys_own_file_remove(temp);
    tmsg("Failed to open gain.time");
    return;
  }
  io_out(ch);
  msg("BIN  TIME       GAIN");
  for (int i = 0; i < set->count; ++i) {
    const double* map = set->maps + static_cast<std::size_t>(i) * GAIN_MAP_SIZE;
    const double centre = interp_gain(map, 16.0, 16.0);
    double mean = 0.0;
    double var = 0.0;
    ar_stats_d(map, GAIN_MAP_SIZE, &mean, &var);
    char line[128];
    std::snprintf(line, sizeof line, "%4d %20.3f %10.3f %10.3f %10.3f", i, set->times[i], centre,
                  mean, var);
    msg(line);
  }
  io_out(0);
  FILE* stream = fio_file_fptr(ch);
  const bool written = stream != nullptr && std::fflush(stream) == 0 && std::ferror(stream) == 0;
  fio_close(ch);
  if (!written || sys_own_file_commit(temp, file) != 0) {
    sys_own_file_remove(temp);
    tmsg("Failed to write gain.time");
  }
}
