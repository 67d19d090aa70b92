// Shared pieces of the application tests: a fresh folder per test, a small
// observation whose histogram can be worked out by hand, running the varto
// binary, and reading text and FITS results back.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "sample.h"

namespace varto_test {

namespace fs = std::filesystem;

/// Starts the utility library and the data model, and makes a folder unique to
/// the running test; removes it afterwards.
class AppTest : public testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  /// Absolute path of name inside the test folder.
  std::string path(const std::string& name) const { return (dir_ / name).string(); }
  void write_text(const std::string& name, const std::string& text) const;
  std::string read_text(const std::string& name) const;

  fs::path dir_;
};

/// A hand-computable observation: nominal roll 0, every aspect record at the
/// nominal pointing (so detector = sky position with bso 0,0,0), good time
/// [100, 300] and [400, 600] out of aspect records every 50 s from 0 to 700,
/// MJD reference 49050, and maps at MJD 49000 and 49100 with cell (ix, iy) =
/// 3.5 + 0.1 ix. A position at detx = 256 (ix + 1) meets gain 3.5 + 0.1 ix.
struct HandObservation {
  bool rev0 = false;
  int mjdref_day = 49050;
  double roll = 0.0;  // nominal roll and the roll of every aspect record (RDF)
  std::vector<double> map_times = {49000.0, 49100.0};
  /// Gain of each map: 3.5 + 0.1 ix plus the map's offset.
  std::vector<double> map_offsets = {0.0, 0.0};
};

/// Writes bas.fits, the aspect file (anc.fits, or asp.ao in two "AO" blocks for
/// REV0) and gain.fits of obs into dir.
void write_hand_observation(const std::string& dir, const HandObservation& obs);

/// Gain maps with cell (ix, iy) = base + slope_x ix + slope_y iy, one per time.
std::vector<double> linear_maps(int count, double base, double slope_x, double slope_y);

struct RunResult {
  int status = -1;
  std::string out;
  std::string err;
};

/// Runs the varto binary in dir with the given (shell-quoted) words, after the
/// shell commands of shell (limits, traps) when given.
RunResult run_varto(const std::string& dir, const std::string& words,
                    const std::string& shell = "");

/// A column of 64-bit reals of the table extname of a FITS file, and a key.
std::vector<double> read_fits_column(const std::string& file, const std::string& extname,
                                     const std::string& column);
double read_fits_key(const std::string& file, const std::string& extname, const std::string& key);

/// Every card of HDU number hdu (1 is the primary header) of a FITS file, one a line.
std::string read_fits_header(const std::string& file, int hdu);

bool contains(const std::string& text, const std::string& part);

}  // namespace varto_test
