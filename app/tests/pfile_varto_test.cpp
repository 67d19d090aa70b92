// End-to-end tests of varto with an IRAF-syntax parameter file: detected from
// its first line or chosen with parkernel=iraf, it gives the same parameter
// listing and results as the plain layout; a missing one stops nothing.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "varto_helpers.h"

namespace varto_test {
namespace {

class PfileVartoTest : public AppTest {};

// The plain layout and the IRAF syntax of the same parameters. Every IRAF
// parameter is hidden so that no run can ask on a terminal.
const char* const PlainPar =
    "# varto parameters\n"
    "events bas.fits\n"
    "xpos 1280\n"
    "ypos 4097\n"
    "bso 0,0,0\n"
    "ghist 3.5,4.5,0.1\n"
    "outfile hist.fits\n";

const char* const IrafPar =
    "# varto parameters\n"
    "events,f,h,\"bas.fits\",,,\"Event file\"\n"
    "xpos,r,h,1280.0,,,\"Source x\"\n"
    "ypos,r,h,4097,0,8192,\"Source y\"\n"
    "bso,s,h,\"0,0,0\",,,\"Boresight offset\"\n"
    "ghist,s,h,\"3.5,4.5,0.1\",,,\"Histogram bins\"\n"
    "outfile,f,h,\"hist.fits\",,,\"Output\"\n";

// The lines of the parameter listing: from the first line up to the banner.
std::string listing(const std::string& out) {
  std::string lines;
  std::size_t pos = 0;
  while (pos < out.size()) {
    std::size_t end = out.find('\n', pos);
    if (end == std::string::npos) end = out.size();
    std::string line = out.substr(pos, end - pos);
    pos = end + 1;
    if (line.rfind("-----", 0) == 0) break;
    if (line.find("Detected IRAF syntax") != std::string::npos) continue;
    lines += line + "\n";
  }
  return lines;
}

TEST_F(PfileVartoTest, Varto_irafParameterFileGivesSameListing) {
  write_hand_observation(dir_.string(), HandObservation{});
  write_text("varto.par", PlainPar);
  RunResult plain = run_varto(dir_.string(), "");
  ASSERT_EQ(plain.status, 0) << plain.err;
  EXPECT_TRUE(contains(plain.out, "XPOS                             1280")) << plain.out;
  const std::vector<double> plain_weights =
      read_fits_column(path("hist.fits"), "GAIN_HIST", "WEIGHT");
  ASSERT_FALSE(plain_weights.empty());

  write_text("varto.par", IrafPar);
  RunResult detected = run_varto(dir_.string(), "");
  ASSERT_EQ(detected.status, 0) << detected.err;
  EXPECT_TRUE(
      contains(detected.out + detected.err, "Detected IRAF syntax: using ORV parameter interface"));
  EXPECT_EQ(listing(detected.out), listing(plain.out));

  // Chosen on the command line, under another name.
  write_text("task.par", IrafPar);
  RunResult chosen = run_varto(dir_.string(), "par=task.par parkernel=IRAF");
  ASSERT_EQ(chosen.status, 0) << chosen.err;
  EXPECT_TRUE(contains(chosen.err, "ORV/IRAF parameter interface")) << chosen.err;
  EXPECT_EQ(read_fits_column(path("hist.fits"), "GAIN_HIST", "WEIGHT"), plain_weights);
  std::string got = listing(chosen.out);
  // The command-line words come first in the table, then the file's names.
  EXPECT_TRUE(contains(got, "PAR                              task.par")) << got;
  EXPECT_TRUE(contains(got, "XPOS                             1280\n")) << got;
  EXPECT_TRUE(contains(got, "GHIST                            3.5,4.5,0.1\n")) << got;
}

TEST_F(PfileVartoTest, Varto_irafTaskModeLineIsNoArchivalDataType) {
  write_hand_observation(dir_.string(), HandObservation{});
  write_text("varto.par", PlainPar);
  ASSERT_EQ(run_varto(dir_.string(), "").status, 0);
  const std::vector<double> plain_weights =
      read_fits_column(path("hist.fits"), "GAIN_HIST", "WEIGHT");
  ASSERT_FALSE(plain_weights.empty());

  // Most IRAF-syntax files end with the task mode: it must not select REV0.
  write_text("varto.par", std::string(IrafPar) + "mode,s,h,\"ql\",,,\"\"\n");
  RunResult r = run_varto(dir_.string(), "");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, "Archival data type: RDF\n")) << r.out;
  EXPECT_EQ(read_fits_column(path("hist.fits"), "GAIN_HIST", "WEIGHT"), plain_weights);
}

TEST_F(PfileVartoTest, Varto_missingIrafFileLeavesTableEmpty) {
  write_hand_observation(dir_.string(), HandObservation{});
  RunResult run =
      run_varto(dir_.string(), "parkernel=iraf par=none.par xpos=1280 bso=0,0,0 outfile=h.fits");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(contains(run.out, "XPOS                             1280")) << run.out;
  EXPECT_FALSE(contains(run.out, "EVENTS")) << run.out;
}

}  // namespace
}  // namespace varto_test
