// The readers: source positions, gain steps, the event file header and good
// time intervals, the aspect history in both layouts, and the gain maps.
#include <unistd.h>

#include <cmath>
#include <numbers>
#include <string>
#include <vector>

#include "app/varto.h"
#include "fits_edit.h"
#include "util/util.h"
#include "varto_helpers.h"

namespace varto_test {
namespace {

class ReadersTest : public AppTest {
 protected:
  // Adds a real or integer key to the HDU named extname of file.
  void add_key(const std::string& file, const char* extname, const char* name, double value) {
    ASSERT_EQ(sample::set_key_dbl(file, extname, name, value), 0);
  }
  void add_int_key(const std::string& file, const char* extname, const char* name, long value) {
    ASSERT_EQ(sample::set_key_lng(file, extname, name, value), 0);
  }
  // Appends a table of two columns START and STOP named extname.
  void add_gti(const std::string& file, const char* extname, double start, double stop) {
    ASSERT_EQ(
        sample::append_table(file, extname, {"START", "STOP"}, {"1D", "1D"}, 1, {{start}, {stop}}),
        0);
  }

  sample::EventFile events() const {
    sample::EventFile e;
    e.gti_start = {100.0, 400.0};
    e.gti_stop = {300.0, 650.0};
    e.nevents = 5;
    return e;
  }

  obs* read_events(const sample::EventFile& e, const char* extname, std::string* out) {
    EXPECT_EQ(sample::write_event_file(path("ev.fits"), e), 0);
    return read_events_file(extname, out);
  }
  obs* read_events_file(const char* extname, std::string* out) {
    testing::internal::CaptureStdout();
    obs* record = varto_read_event_file(path("ev.fits").c_str(), extname);
    *out = testing::internal::GetCapturedStdout();
    return record;
  }

  asp* read_aspect(const std::string& file, int rev0, const char* const* names, const double* bso,
                   const double* nominal, double pixsize, std::string* out) {
    char** cols = alloc_array_c(80, 4);
    for (int k = 0; k < 4; ++k) cs_copy_siz(names[k], cols[k], 80);
    testing::internal::CaptureStdout();
    asp* history = varto_read_aspect(file.c_str(), rev0, cols, bso, nominal, pixsize);
    *out = testing::internal::GetCapturedStdout();
    free_array_c(cols);
    return history;
  }
};

// ---------------------------------------------------------------------------
// Source positions
// ---------------------------------------------------------------------------

TEST_F(ReadersTest, SourceRead_separatorsCommentsAndBlankLinesAndCount) {
  write_text("pos.txt", "# region\n4100.5,4090\n\n   \n4100.5 4090\n#4 4\n4000;3000 extra words\n");
  testing::internal::CaptureStdout();
  source* list = source_read(path("pos.txt").c_str(), 1000);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Read 3 pixel positions\n");
  ASSERT_NE(list, nullptr);
  ASSERT_EQ(list->count, 3);
  const double want[3][2] = {{4100.5, 4090.0}, {4100.5, 4090.0}, {4000.0, 3000.0}};
  for (int k = 0; k < 3; ++k) {
    EXPECT_EQ(list->xs[k], want[k][0]) << k;
    EXPECT_EQ(list->ys[k], want[k][1]) << k;
  }
  free_source(list);
}

TEST_F(ReadersTest, SourceRead_refusesTooManyPositionsBadNumbersAndMissingFiles) {
  // Capacity 3 holds two positions; comment lines do not count against it.
  write_text("two.txt", "# a\n1 2\n# b\n3 4\n");
  testing::internal::CaptureStdout();
  source* list = source_read(path("two.txt").c_str(), 3);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Read 2 pixel positions\n");
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->count, 2);
  free_source(list);

  const struct {
    std::string text;
    const char* message;
  } cases[] = {
      {"1 2\n3 4\n5 6\n", "Too many pixels in region\n"},
      {"1 2\n\n3 y\n", " line 3: x and y must be numbers\n"},
      {"1\n", " line 1: x and y must be numbers\n"},
      {"1.5e 2\n", " line 1: x and y must be numbers\n"},
      {"1 2\n, 2\n", " line 2: x and y must be numbers\n"},
      {"1 2\nnan 2\n", " line 2: x and y must be finite numbers\n"},
      {"# nothing\n\n", "bad.txt holds no positions\n"},
      {std::string("1 2\n3\0 4\n", 9), "bad.txt: line 2 holds a NUL byte\n"},
      {"1 2 " + std::string(252, '0') + "\n", " line 1 (more than 255 characters)\n"},
  };
  for (const auto& c : cases) {
    write_text("bad.txt", c.text);
    testing::internal::CaptureStdout();
    EXPECT_EQ(source_read(path("bad.txt").c_str(), 3), nullptr) << c.text;
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(contains(out, c.message)) << c.text << out;
  }

  testing::internal::CaptureStdout();
  EXPECT_EQ(source_read(path("none.txt").c_str(), 1000), nullptr);
  EXPECT_TRUE(contains(testing::internal::GetCapturedStdout(), "Failed to open source file "));
}

// ---------------------------------------------------------------------------
// Gain steps
// ---------------------------------------------------------------------------

TEST_F(ReadersTest, ReadGainStepsFile_skipsCommentsAndBlankLines) {
  write_text("steps.txt", "# steps\n\n49500.0\n49800.5 after the HV change\n");
  gain_data* set = alloc_gain_data(2, GAIN_STEP_CAPACITY);
  testing::internal::CaptureStdout();
  read_gain_steps_file(set, path("steps.txt").c_str());
  read_gain_steps_file(set, " ");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Read 2 steps from gain steps file\n\n");
  ASSERT_EQ(set->step_count, 2);
  EXPECT_EQ(set->steps[0], 49500.0);
  EXPECT_EQ(set->steps[1], 49800.5);
  free_gain_data(set);
}

TEST_F(ReadersTest, ReadGainStepsFile_sortsUnsortedStepsWithOneWarning) {
  write_text("steps.txt", "49800.5\n49500\n49600\n");
  gain_data* set = alloc_gain_data(2, GAIN_STEP_CAPACITY);
  testing::internal::CaptureStdout();
  EXPECT_EQ(read_gain_steps_file(set, path("steps.txt").c_str()), 0);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(contains(out, "steps.txt were not in time order: sorted\nRead 3 steps")) << out;
  ASSERT_EQ(set->step_count, 3);
  EXPECT_EQ(set->steps[0], 49500.0);
  EXPECT_EQ(set->steps[2], 49800.5);
  free_gain_data(set);
}

TEST_F(ReadersTest, ReadGainStepsFile_keepsTheFirstFiftySteps) {
  std::string text;
  for (int i = 0; i < 55; ++i) text += std::to_string(49000 + i) + "\n";
  write_text("steps.txt", text);
  gain_data* set = alloc_gain_data(2, GAIN_STEP_CAPACITY);
  testing::internal::CaptureStdout();
  read_gain_steps_file(set, path("steps.txt").c_str());
  read_gain_steps_file(set, path("none.txt").c_str());
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(contains(out, "Warning: more than 50 gain steps; the rest of the file is ignored\n"));
  EXPECT_TRUE(contains(out, "Read 50 steps from gain steps file\n"));
  EXPECT_TRUE(contains(out, "Failed to open steps file "));
  ASSERT_EQ(set->step_count, 50);
  EXPECT_EQ(set->steps[49], 49049.0);
  free_gain_data(set);
}

// ---------------------------------------------------------------------------
// Event file header and good time intervals
// ---------------------------------------------------------------------------

TEST_F(ReadersTest, VartoReadEventFile_rdfFrameAndGoodTime) {
  sample::EventFile e = events();
  e.mjdref_day = 50000;
  e.mjdref_frac = 0.25;
  std::string out;
  ASSERT_EQ(sample::write_event_file(path("ev.fits"), e), 0);
  add_key(path("ev.fits"), "STDEVT", "MJDREF", 1.0);  // MJDREFI and MJDREFF come first
  obs* record = read_events_file("STDEVT", &out);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->mjdref, 50000.25);
  EXPECT_EQ(record->x0, 4096.5);
  EXPECT_EQ(record->ra_nom, e.ra_nom);
  EXPECT_EQ(record->dec_nom, e.dec_nom);
  EXPECT_EQ(record->pixsize, e.pixsize);
  EXPECT_EQ(record->roll_nom, 12.5);
  ASSERT_EQ(record->gtis->count, 2);
  EXPECT_EQ(record->gtis->stops[1], 650.0);
  EXPECT_EQ(record->gtis->total, 450.0);
  EXPECT_EQ(out,
            "GTI records:      2 Total time 450.000000\n"
            "Detector center: 4096.500000 4096.500000\n"
            "Nominal pointing: 83.633100 22.014500 12.500000\n"
            "Pixel size: 0.000139   Zero time: 50000.250000\n");
  free_obs(record);
}

TEST_F(ReadersTest, VartoReadEventFile_rev0KeywordsAndGtiBlock) {
  sample::EventFile e = events();
  e.rev0 = true;
  e.mjdref_day = 48043;
  e.mjdref_frac = 0.5;
  e.roll = -12.5;  // written as XS-DANG = 12.5
  std::string out;
  obs* record = read_events(e, "EVENTS", &out);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->mjdref, 48043.5);
  EXPECT_EQ(record->roll_nom, -12.5);
  EXPECT_EQ(record->gtis->count, 2);  // from the block "GTI"
  free_obs(record);

  // XS-DANG wins over ROLL_NOM.
  add_key(path("ev.fits"), "EVENTS", "ROLL_NOM", 33.0);
  record = read_events_file("EVENTS", &out);
  EXPECT_EQ(record->roll_nom, -12.5);
  free_obs(record);
}

TEST_F(ReadersTest, VartoReadEventFile_stdgtiIsPreferredToGti) {
  ASSERT_EQ(sample::write_event_file(path("ev.fits"), events()), 0);
  add_gti(path("ev.fits"), "GTI", 0.0, 5000.0);
  std::string out;
  obs* record = read_events_file("STDEVT", &out);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->gtis->total, 450.0);
  free_obs(record);
}

TEST_F(ReadersTest, VartoReadEventFile_missingKeywordsAndBlocks) {
  sample::EventFile e = events();
  e.write_mjdref_frac = false;
  e.mjdref_day = 50000;
  e.write_roll = false;
  std::string out;
  obs* record = read_events(e, "STDEVT", &out);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->mjdref, 50000.0);  // MJDREFI without MJDREFF: fraction 0
  EXPECT_EQ(record->roll_nom, 0.0);
  EXPECT_TRUE(contains(out, "No ROLL NOM in header\n"));
  free_obs(record);

  // The RDF reader on a REV0 file: no "STDEVT", so no frame: the file is refused.
  e = events();
  e.rev0 = true;
  EXPECT_EQ(read_events(e, "STDEVT", &out), nullptr);
  EXPECT_TRUE(contains(out, "Failed to open table STDEVT\nERROR: event file ")) << out;
  EXPECT_TRUE(contains(out, ": no table STDEVT could be read\n"));

  testing::internal::CaptureStdout();
  EXPECT_EQ(varto_read_event_file(path("none.fits").c_str(), "STDEVT"), nullptr);
  EXPECT_TRUE(contains(testing::internal::GetCapturedStdout(), "Failed to open GTI\n"));
}

TEST_F(ReadersTest, ObsPrint_listsIntervalsAndPixelSizeInArcseconds) {
  sample::EventFile e = events();
  e.pixsize = 0.000138888889;
  std::string out;
  obs* record = read_events(e, "STDEVT", &out);
  testing::internal::CaptureStdout();
  obs_print(record);
  const std::string listing = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(contains(listing,
                       "Good time intervals:\n     1           100.000000           300.000000\n"));
  EXPECT_TRUE(contains(listing, "Pixel size:      0.500000 arcsec\n")) << listing;
  free_obs(record);
}

// ---------------------------------------------------------------------------
// Aspect history
// ---------------------------------------------------------------------------

TEST_F(ReadersTest, PointToAsp_pixelOffsetsOfRaAndDec) {
  const double nominal[3] = {150.0, 60.0, 0.0};
  const double s = 1.0e-4;
  double off[3];
  const double up[3] = {150.0, 60.0 + s, 0.0};
  point_to_asp(up, nominal, s, off);
  EXPECT_NEAR(off[0], 0.0, 1e-9);
  EXPECT_NEAR(off[1], 1.0, 1e-9);
  const double east[3] = {150.0 + s / 0.5, 60.0, 2.0};  // cos 60 = 0.5
  point_to_asp(east, nominal, s, off);
  EXPECT_NEAR(off[0], -1.0, 1e-9);
  EXPECT_NEAR(off[1], 0.0, 1e-9);
  EXPECT_NEAR(off[2], 2.0, 1e-12);
}

TEST_F(ReadersTest, RaDifference_takesTheShorterWayRound) {
  const struct {
    double ra, ra0, want;
  } cases[] = {{83.7, 83.6, 83.7 - 83.6}, {0.01, 359.99, 0.02}, {359.99, 0.01, -0.02},
               {180.0, 0.0, -180.0},      {0.0, 180.0, -180.0}, {-0.5, 359.0, 0.5},
               {720.25, 0.0, 0.25}};
  for (const auto& c : cases) {
    const double d = ra_difference(c.ra, c.ra0);
    EXPECT_NEAR(d, c.want, 1e-9) << c.ra << " " << c.ra0;
    EXPECT_TRUE(d >= -180.0 && d < 180.0) << d;
  }
  EXPECT_TRUE(std::isnan(ra_difference(std::nan(""), 10.0)));
  // Across 0/360 the offset is that of the same step away from 0.
  const double nominal[3] = {359.999, 22.0, 0.0};
  const double across[3] = {0.001, 22.0, 0.0};
  const double near[3] = {0.002, 22.0, 0.0};
  const double zero[3] = {0.0, 22.0, 0.0};
  double a[3];
  double b[3];
  point_to_asp(across, nominal, 1e-4, a);
  point_to_asp(near, zero, 1e-4, b);
  EXPECT_NEAR(a[0], b[0], 1e-6);
}

TEST_F(ReadersTest, VartoReadAspect_rdfAtNominalGivesTheBoresightVector) {
  const double nominal[3] = {83.0, 22.0, 30.0};
  ASSERT_EQ(sample::write_aspect_rdf(path("anc.fits"),
                                     {{10.0, 83.0, 22.0, 30.0}, {12.0, 83.0, 22.0, 30.0}}),
            0);
  const double bso[3] = {48.0, 40.0, 0.0};
  std::string out;
  asp* history =
      read_aspect(path("anc.fits"), 0, sample::kRdfAspectColumns, bso, nominal, 1.4e-4, &out);
  ASSERT_NE(history, nullptr);
  ASSERT_EQ(history->count, 2);
  double x, y;
  rotate2_d(48.0, -40.0, -30.0, &x, &y);
  EXPECT_NEAR(history->offsets[1][0], x, 1e-9);
  EXPECT_NEAR(history->offsets[1][1], y, 1e-9);
  EXPECT_NEAR(history->offsets[1][2], 30.0, 1e-12);
  EXPECT_EQ(history->times[1], 12.0);
  EXPECT_EQ(out,
            "Found table ASPECT  Aspect records 2\n"
            "Process table 1 block 1\n"
            "Reading columns RA_SC DEC_SC ROAN_SC\n"
            "Aspect records: 2\n");
  free_asp(history);
}

TEST_F(ReadersTest, VartoReadAspect_rev0BlocksInOrderWithRollInRadians) {
  std::vector<std::vector<sample::AspectRow>> blocks(3);
  const int sizes[3] = {10, 20, 5};
  int t = 0;
  for (int b = 0; b < 3; ++b)
    for (int r = 0; r < sizes[b]; ++r, ++t)
      blocks[b].push_back({double(t), 2.0, 3.0, std::numbers::pi / 2});
  ASSERT_EQ(sample::write_aspect_rev0(path("a.ao"), blocks), 0);
  const double zero[3] = {0.0, 0.0, 0.0};
  std::string out;
  asp* history = read_aspect(path("a.ao"), 1, sample::kRev0AspectColumns, zero, zero, 1.4e-4, &out);
  ASSERT_NE(history, nullptr);
  ASSERT_EQ(history->count, 35);
  for (int k = 0; k < 35; ++k) EXPECT_EQ(history->times[k], double(k));
  EXPECT_NEAR(history->offsets[34][0], 2.0, 1e-6);
  EXPECT_NEAR(history->offsets[34][1], -3.0, 1e-6);
  EXPECT_NEAR(history->offsets[34][2], 90.0, 1e-5);
  EXPECT_TRUE(contains(out, "ASPECT dataset has 3 blocks\nFound table AO Aspect records 10\n"));
  EXPECT_TRUE(contains(out, "Process table 3 block 3\nReading columns ASP_DX ASP_DY ASP_ROLL\n"));
  free_asp(history);
}

TEST_F(ReadersTest, VartoReadAspect_moreThan99AoBlocksAreAllRead) {
  // 100 blocks is as many as a dataset can hold.
  std::vector<std::vector<sample::AspectRow>> blocks(100);
  for (int b = 0; b < 100; ++b) blocks[b] = {{2.0 * b, 1, 1, 0}, {2.0 * b + 1, 1, 1, 0}};
  ASSERT_EQ(sample::write_aspect_rev0(path("many.ao"), blocks), 0);
  const double zero[3] = {0.0, 0.0, 0.0};
  std::string out;
  asp* history =
      read_aspect(path("many.ao"), 1, sample::kRev0AspectColumns, zero, zero, 1.4e-4, &out);
  ASSERT_NE(history, nullptr);
  ASSERT_EQ(history->count, 200);
  EXPECT_EQ(history->times[199], 199.0);
  EXPECT_TRUE(contains(out, "Process table 100 block 100\n"));
  free_asp(history);
}

TEST_F(ReadersTest, VartoReadAspect_noAspectTableOrNoFile) {
  ASSERT_EQ(sample::write_event_file(path("ev.fits"), events()), 0);
  const double zero[3] = {0.0, 0.0, 0.0};
  std::string out;
  EXPECT_EQ(read_aspect(path("ev.fits"), 0, sample::kRdfAspectColumns, zero, zero, 1.4e-4, &out),
            nullptr);
  EXPECT_TRUE(
      contains(out, "Found table STDEVT\nFound table STDGTI\nFailed to open aspect table\n"));
  EXPECT_TRUE(contains(out, "Failed to read aspect\n"));

  EXPECT_EQ(read_aspect(path("none.fits"), 0, sample::kRdfAspectColumns, zero, zero, 1.4e-4, &out),
            nullptr);
  EXPECT_EQ(out,
            "Failed to open aspect file\n"
            "Reason: could not open the named file (CFITSIO status 104)\n");
}

// ---------------------------------------------------------------------------
// Gain maps
// ---------------------------------------------------------------------------

TEST_F(ReadersTest, VartoCalRead_readsTimesAndMapsInCellOrder) {
  const std::vector<double> maps = linear_maps(3, 4.0, 0.125, 0.0078125);
  ASSERT_EQ(sample::write_gain_table(path("gain.fits"), {49000, 49100, 49200}, maps), 0);
  testing::internal::CaptureStdout();
  gain_data* set = varto_cal_read((path("gain.fits") + "[RHRI_GAIN]").c_str());
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Read 3 maps from gain calibration table\n");
  ASSERT_NE(set, nullptr);
  ASSERT_EQ(set->count, 3);
  EXPECT_EQ(set->times[2], 49200.0);
  EXPECT_EQ(set->maps[2 * 1024 + 5 * 32 + 7], 4.0 + 0.125 * 5 + 0.0078125 * 7);
  EXPECT_EQ(set->step_count, 0);
  EXPECT_EQ(set->step_capacity, 50);
  free_gain_data(set);
}

TEST_F(ReadersTest, VartoCalRead_refusesMissingColumnsAndSingleMaps) {
  ASSERT_EQ(sample::write_gain_table(path("one.fits"), {49000}, linear_maps(1, 4, 0, 0)), 0);
  testing::internal::CaptureStdout();
  EXPECT_EQ(varto_cal_read((path("one.fits") + "[RHRI_GAIN]").c_str()), nullptr);
  EXPECT_TRUE(contains(testing::internal::GetCapturedStdout(),
                       "ERROR: gain calibration table holds 1 maps; at least 2 are needed\n"));

  // A table without GAIN_MAP: the event file's STDGTI.
  ASSERT_EQ(sample::write_event_file(path("ev.fits"), events()), 0);
  testing::internal::CaptureStdout();
  EXPECT_EQ(varto_cal_read((path("ev.fits") + "[STDGTI]").c_str()), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "ERROR: TIME and GAIN_MAP columns not found\n");

  testing::internal::CaptureStdout();
  EXPECT_EQ(varto_cal_read((path("none.fits") + "[RHRI_GAIN]").c_str()), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Failed to open gain calibration dataset\n"
            "Reason: could not open the named file (CFITSIO status 104)\n");
  testing::internal::CaptureStdout();
  EXPECT_EQ(varto_cal_read((path("ev.fits") + "[RHRI_GAIN]").c_str()), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Failed to open gain calibration dataset\n"
            "Reason: the file has no block RHRI_GAIN\n");
}

TEST_F(ReadersTest, TimeSlice_writesOneLinePerMapAtDebugLevel1) {
  ASSERT_EQ(
      sample::write_gain_table(path("gain.fits"), {49000, 49100}, linear_maps(2, 4.0, 0.0, 0.0)),
      0);
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(dir_.c_str()), 0);
  dbg_set(1);
  testing::internal::CaptureStderr();
  testing::internal::CaptureStdout();
  gain_data* set = varto_cal_read("gain.fits[RHRI_GAIN]");
  const std::string out = testing::internal::GetCapturedStdout();
  testing::internal::GetCapturedStderr();
  dbg_set(0);
  ASSERT_EQ(chdir(cwd), 0);
  ASSERT_NE(set, nullptr);
  EXPECT_TRUE(contains(out, "Read 2 maps from gain calibration table\n"));
  EXPECT_EQ(read_text("gain.time"),
            "BIN  TIME       GAIN\n"
            "   0            49000.000      4.000      4.000      0.000\n"
            "   1            49100.000      4.000      4.000      0.000\n");
  // The report after the listing still reaches the terminal.
  testing::internal::CaptureStdout();
  msg("after");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "after\n");
  free_gain_data(set);
}

}  // namespace
}  // namespace varto_test
