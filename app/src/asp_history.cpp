// Aspect history: the pointing of the telescope against time, read from an
// "ASPECT" table (sky angles, RDF layout) or from every "AO" block (pixel
// offsets and roll in radians, REV0 layout), and turned into offset vectors
// against the observation's nominal pointing after the boresight correction.
#include <climits>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "app/varto.h"
#include "dm/dm.h"
#include "util/util.h"

namespace {

// One terminal line written whole: a blank block or column name at its end
// keeps its blanks.
void whole_line(const char* text) {
  tmsgl(text);
  fio_write_eol(0);
}

// Radians per degree; a REV0 roll is divided by it.
constexpr double kRadiansPerDegree = 0.017453292519943295;

// One aspect table found in the file.
struct AspectTable {
  int block_no = 0;
  int rows = 0;
};

// Finds the aspect tables: the block "ASPECT" if there is one, else every block
// named "AO" in block order. The list grows as needed, so files with many "AO"
// blocks are read whole.
std::vector<AspectTable> find_aspect_tables(dmDataset* ds) {
  char line[UTIL_MSG_BUF];
  std::vector<AspectTable> tables;
  dmBlock* block = dmBlockOpen(ds, "ASPECT");
  if (block != nullptr) {
    const AspectTable table{dmBlockGetNo(block), dmTableGetNoRows(block)};
    tables.push_back(table);
    std::snprintf(line, sizeof line, "Found table ASPECT  Aspect records %d", table.rows);
    tmsg(line);
    return tables;
  }
  const int nblocks = dmDatasetGetNoBlocks(ds);
  std::snprintf(line, sizeof line, "ASPECT dataset has %d blocks", nblocks);
  tmsg(line);
  // A file with more blocks than the data model holds would lose its later
  // "AO" blocks: the data model has said so, and no table is offered.
  if (dmiErrorGet() == DM_ERROR_TOO_MANY_BLOCKS) return tables;
  for (int n = 1; n <= nblocks; ++n) {
    block = dmDatasetMoveToBlock(ds, n);
    char name[81] = "";
    dmBlockGetNameC(block, name, 80);
    if (block != nullptr && cs_eq(name, "AO")) {
      const AspectTable table{n, dmTableGetNoRows(block)};
      tables.push_back(table);
      std::snprintf(line, sizeof line, "Found table %s Aspect records %d", name, table.rows);
      tmsg(line);
    } else {
      std::snprintf(line, sizeof line, "Found table %s", name);
      whole_line(line);
    }
  }
  return tables;
}

}  // namespace

asp* alloc_asp(int n) {
  auto* history = new asp;
  history->capacity = n > 0 ? n : 0;
  const int slots = history->capacity > 0 ? history->capacity : 1;
  history->times = new double[slots]();
  history->offsets = vec_alloc_d(slots);
  return history;
}

void free_asp(asp* history) {
  if (history == nullptr) return;
  delete[] history->times;
  vec_free_d(history->offsets);
  delete history;
}

double ra_difference(double ra, double ra0) {
  // fmod leaves a difference already in range exactly as it is.
  double d = std::fmod(ra - ra0, 360.0);
  if (d < -180.0) d += 360.0;
  if (d >= 180.0) d -= 360.0;
  return d;
}

void point_to_asp(const double* attitude, const double* nominal, double pixsize, double* offset) {
  const double x = -(ra_difference(attitude[0], nominal[0]) * dcosd(nominal[1])) / pixsize;
  const double y = (attitude[1] - nominal[1]) / pixsize;
  offset[2] = attitude[2] - nominal[2];
  rotate2_d(x, y, nominal[2], &offset[0], &offset[1]);
}

void bore_correct(const double* bso, double* offset) {
  double u = 0.0;
  double v = 0.0;
  rotate2_d(bso[0], bso[1], offset[2], &u, &v);
  offset[0] += u;
  offset[1] -= v;
  offset[2] -= bso[2];
}

asp* aspect_read(dmDataset* ds, const double* bso, const double* nominal, double pixsize, int rev0,
                 char** cols) {
  dmsg(1, "Open Aspect block");
  const std::vector<AspectTable> tables = find_aspect_tables(ds);
  if (tables.empty()) tmsg("Failed to open aspect table");
  dmsg(1, "Open Aspect table");
  long capacity = 0;
  for (const AspectTable& t : tables) capacity += t.rows > 0 ? t.rows : 0;
  if (capacity > INT_MAX) {
    tmsg("ERROR: the aspect tables hold more records than can be read");
    return nullptr;
  }
  asp* history = alloc_asp(static_cast<int>(capacity));

  for (std::size_t t = 0; t < tables.size(); ++t) {
    const int table_no = static_cast<int>(t) + 1;
    char line[UTIL_MSG_BUF];
    std::snprintf(line, sizeof line, "Process table %d block %d", table_no, tables[t].block_no);
    tmsg(line);
    dmBlock* block = dmDatasetMoveToBlock(ds, tables[t].block_no);
    if (block == nullptr) {
      tmsg("Error moving to aspect table");
      continue;
    }
    dmDescriptor* time_col = dmTableOpenColumn(block, cols[0]);
    dmDescriptor* att_cols[3];
    for (int m = 0; m < 3; ++m) att_cols[m] = dmTableOpenColumn(block, cols[m + 1]);
    if (time_col == nullptr) {
      whole_line((std::string("Error opening aspect table column ") + cols[0]).c_str());
    }
    bool missing = time_col == nullptr;
    for (int m = 0; m < 3; ++m) {
      if (att_cols[m] != nullptr) continue;
      whole_line((std::string("Error opening table columns ") + cols[m + 1]).c_str());
      missing = true;
    }
    // Without its time or an attitude the history would be read as zeros.
    if (missing) {
      dmBlockClose(block);
      free_asp(history);
      return nullptr;
    }
    // Times and attitudes are read as reals: a column of another type would
    // give nothing but zeros.
    for (dmDescriptor* col : {time_col, att_cols[0], att_cols[1], att_cols[2]}) {
      char type[8] = "";
      dmGetDataTypeNameC(col, type);
      if (cs_eq(type, "r") || cs_eq(type, "d")) continue;
      char name[81] = "";
      char file[DM_FILENAME_LEN + 1] = "";
      dmGetNameC(col, name);
      dmDatasetGetNameC(ds, file, sizeof file);
      const std::string message = std::string("ERROR: aspect file ") + file + ": column " + name +
                                  " does not hold real numbers";
      tmsg(message.c_str());
      dmBlockClose(block);
      free_asp(history);
      return nullptr;
    }
    whole_line((std::string("Reading columns ") + cols[1] + " " + cols[2] + " " + cols[3]).c_str());
    std::snprintf(line, sizeof line, "Read Aspect table %d\n", table_no);
    dmsg(1, line);

    // Rows beyond the room counted at the search are never stored.
    int rows = tables[t].rows > 0 ? tables[t].rows : 0;
    if (rows > history->capacity - history->count) rows = history->capacity - history->count;
    for (int row = 0; row < rows; ++row) {
      const int k = history->count + row;
      history->times[k] = dmGetScalar_d(time_col);
      double offset[3];
      if (rev0 != 0) {
        // Pixel offsets and a roll in radians, as 32-bit reals.
        offset[0] = dmGetScalar_r(att_cols[0]);
        offset[1] = -dmGetScalar_r(att_cols[1]);
        offset[2] = dmGetScalar_r(att_cols[2]) / kRadiansPerDegree;
      } else {
        const double attitude[3] = {dmGetScalar_d(att_cols[0]), dmGetScalar_d(att_cols[1]),
                                    dmGetScalar_d(att_cols[2])};
        point_to_asp(attitude, nominal, pixsize, offset);
      }
      dmTableNextRow(block);
      bore_correct(bso, offset);
      double* stored = history->offsets[k];
      rotate2_d(offset[0], offset[1], -nominal[2], &stored[0], &stored[1]);
      stored[2] = offset[2] + nominal[2];
    }
    const int read_error = dmBlockGetReadError(block);
    dmsg(1, "Close Aspect table");
    dmBlockClose(block);
    if (read_error != DM_ERROR_NONE) {
      // The data model has reported the failed read; no history is kept.
      free_asp(history);
      return nullptr;
    }
    history->count += rows;
  }
  {
    char line[UTIL_MSG_BUF];
    std::snprintf(line, sizeof line, "Aspect records: %d", history->count);
    tmsg(line);
  }
  return history;
}

asp* varto_read_aspect(const char* file, int rev0, char** cols, const double* bso,
                       const double* nominal, double pixsize) {
  dmDataset* ds = dmDatasetOpen(file);
  if (ds == nullptr) {
    tmsg("Failed to open aspect file");
    print_open_reason();
    return nullptr;
  }
  dmsg(1, "Opened Aspect DS");
  asp* history = aspect_read(ds, bso, nominal, pixsize, rev0, cols);
  if (history == nullptr) {
    dmDatasetClose(ds);
    return nullptr;
  }
  dmDatasetClose(ds);
  if (history->count == 0) {
    // Without a single pointing there is nothing to follow the source with.
    tmsg("Failed to read aspect");
    free_asp(history);
    return nullptr;
  }
  // The pointing between records is interpolated: that takes two records with
  // times that are numbers.
  std::string problem;
  if (history->count < 2) problem = "it holds 1 record; at least 2 are needed";
  for (int k = 0; k < history->count && problem.empty(); ++k) {
    if (!std::isfinite(history->times[k]))
      problem = "the time of record " + std::to_string(k + 1) + " is not a number";
  }
  if (!problem.empty()) {
    const std::string line = std::string("ERROR: aspect file ") + file + ": " + problem;
    tmsg(line.c_str());
    free_asp(history);
    return nullptr;
  }
  return history;
}
