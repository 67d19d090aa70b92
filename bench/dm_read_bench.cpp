// bench/dm_read_bench.cpp -- row-wise reading speed of the data model: a
// 200,000-row table of four columns (two 64-bit, two 32-bit reals) written with
// CFITSIO, then read cell by cell with dmGetScalar_d and dmTableNextRow.
// Prints rows per second for the best of several passes.
#include <fitsio.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "dm/dm.h"
#include "util/util.h"

namespace {

constexpr long kRows = 200000;
constexpr int kPasses = 5;

bool writeTable(const std::string& path) {
  fitsfile* f = nullptr;
  int status = 0;
  const std::string name = "!" + path;
  fits_create_file(&f, name.c_str(), &status);
  fits_create_img(f, BYTE_IMG, 0, nullptr, &status);
  char* names[] = {const_cast<char*>("TIME"), const_cast<char*>("X"), const_cast<char*>("Y"),
                   const_cast<char*>("PHA")};
  char* forms[] = {const_cast<char*>("1D"), const_cast<char*>("1E"), const_cast<char*>("1E"),
                   const_cast<char*>("1D")};
  char* units[] = {const_cast<char*>("s"), const_cast<char*>("pixel"), const_cast<char*>("pixel"),
                   const_cast<char*>("chan")};
  fits_create_tbl(f, BINARY_TBL, kRows, 4, names, forms, units, "STDEVT", &status);
  std::vector<double> v(kRows);
  for (int c = 1; c <= 4; c++) {
    for (long r = 0; r < kRows; r++) v[r] = c * 1000.0 + static_cast<double>(r) * 0.5;
    fits_write_col(f, TDOUBLE, c, 1, 1, kRows, v.data(), &status);
  }
  fits_close_file(f, &status);
  return status == 0;
}

// One pass over the table; returns the seconds taken and the sum of all cells.
double readPass(const std::string& spec, double* sum, long* rows) {
  const auto t0 = std::chrono::steady_clock::now();
  dmBlock* b = dmDatasetTableOpen(spec.c_str());
  if (!b) return -1.0;
  dmDescriptor* cols[4] = {dmTableOpenColumn(b, "TIME"), dmTableOpenColumn(b, "X"),
                           dmTableOpenColumn(b, "Y"), dmTableOpenColumn(b, "PHA")};
  const int n = dmTableGetNoRows(b);
  double s = 0.0;
  long count = 0;
  for (int r = 0; r < n; r++) {
    for (dmDescriptor* c : cols) s += dmGetScalar_d(c);
    count++;
    if (dmTableNextRow(b) < 0) break;
  }
  dmDatasetTableClose(b);
  const auto t1 = std::chrono::steady_clock::now();
  *sum = s;
  *rows = count;
  return std::chrono::duration<double>(t1 - t0).count();
}

}  // namespace

int main() {
  rirade_init();
  dmInit(0);
  const std::string path =
      (std::filesystem::temp_directory_path() / "varto_dm_read_bench.fits").string();
  if (!writeTable(path)) {
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
    return 1;
  }
  // The expected sum: each column c holds c*1000 + r/2 for r = 0 … kRows-1.
  const double half_sum = 0.5 * static_cast<double>(kRows) * static_cast<double>(kRows - 1) / 2.0;
  const double expect = 10000.0 * kRows + 4.0 * half_sum;
  double best = -1.0;
  for (int p = 0; p < kPasses; p++) {
    double sum = 0.0;
    long rows = 0;
    const double secs = readPass(path + "[STDEVT]", &sum, &rows);
    if (secs < 0.0 || rows != kRows || sum != expect) {
      std::fprintf(stderr, "pass %d read %ld rows, sum %.3f (expected %.3f)\n", p + 1, rows, sum,
                   expect);
      std::filesystem::remove(path);
      return 1;
    }
    if (best < 0.0 || secs < best) best = secs;
  }
  std::filesystem::remove(path);
  std::printf("dm_read_bench: %ld rows x 4 columns in %.3f s (best of %d): %.0f rows/s\n", kRows,
              best, kPasses, static_cast<double>(kRows) / best);
  return 0;
}
