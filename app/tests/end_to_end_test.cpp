// End-to-end runs of the varto binary on small observations written by the
// tests, whose histograms are worked out by hand (see HandObservation), and on
// the sample observation.
#include <cmath>
#include <cstdlib>
#include <string>

#include "varto_helpers.h"

namespace varto_test {
namespace {

// The words that make detector positions equal the sky positions.
const std::string kPlain = "bso=0,0,0 ";

class EndToEndTest : public AppTest {
 protected:
  std::string out_file() const { return path("varto.fits"); }
  std::vector<double> exposure() const {
    return read_fits_column(out_file(), "GAIN_HIST", "EXPOSURE");
  }
};

constexpr const char* kOneBinLine =
    "  5.00    1.0000  400.0000      100.00      600.00 4096.0 +/-    0.0  4096.0 +/-    0.0"
    "     0.0 +/-    0.0     0.0 +/-    0.0     0.0 +/-    0.0\n";

TEST_F(EndToEndTest, Varto_onePositionRdf_fillsOneBinWithItsTimeRanges) {
  write_hand_observation(dir_.string(), HandObservation{});
  const RunResult r = run_varto(dir_.string(), kPlain + "xpos=4096 ypos=4096");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, "Archival data type: RDF\n"));
  EXPECT_TRUE(contains(r.out, "GTI records:      2 Total time 400.000000\n")) << r.out;
  EXPECT_TRUE(contains(r.out, "Detector center: 4096.000000 4096.000000\n"));
  EXPECT_TRUE(contains(r.out, "Nominal pointing: 150.000000 30.000000 0.000000\n"));
  EXPECT_TRUE(contains(r.out, "Pixel size: 0.000139   Zero time: 49050.000000\n"));
  EXPECT_TRUE(contains(r.out, "Found table ASPECT  Aspect records 15\n"));
  EXPECT_TRUE(contains(r.out, "Aspect records: 15\n"));
  EXPECT_TRUE(contains(r.out, "Read 2 maps from gain calibration table\n"));
  EXPECT_TRUE(contains(r.out, kOneBinLine)) << r.out;
  EXPECT_TRUE(contains(r.out, "\nMean Gain:       5.00\n"));
  EXPECT_TRUE(contains(r.out, "Gain   Time filter\n  5.00  (100.00:300.00,400.00:600.00)\n"))
      << r.out;

  // Bin 40 (centre 5.00) holds the 400 s of good time; all 82 rows are written.
  const std::vector<double> exp = exposure();
  ASSERT_EQ(exp.size(), 82u);
  EXPECT_DOUBLE_EQ(exp[40], 400.0);
  EXPECT_NEAR(read_fits_key(out_file(), "GAIN_HIST", "AVG_GAIN"), 5.0, 1e-9);
  const std::vector<double> gain = read_fits_column(out_file(), "GAIN_HIST", "GAIN");
  ASSERT_EQ(gain.size(), 82u);
  EXPECT_NEAR(gain[0], 3.0, 1e-12);
  EXPECT_NEAR(gain[81], 7.05, 1e-12);
}

TEST_F(EndToEndTest, Varto_rolledPointingWithBoresight_carriesTheSourceToTheDetector) {
  // Roll 90 and boresight (48, 40): the offset vector is rot(48, -40, -90) =
  // (-40, -48) with roll 90, so the source at the centre lands on
  // (4096, 4096) + rot(40, 48, 90) = (4048, 4136), where gx = 15.8125 blends
  // cells 14 and 15: 0.1875 * 4.9 + 0.8125 * 5.0 = 4.98, bin centre 5.00.
  HandObservation obs;
  obs.roll = 90.0;
  write_hand_observation(dir_.string(), obs);
  const RunResult r = run_varto(dir_.string(), "xpos=4096 ypos=4096");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(
      contains(r.out,
               "  5.00    1.0000  400.0000      100.00      600.00 4048.0 +/-    0.0  "
               "4136.0 +/-    0.0   -40.0 +/-    0.0   -48.0 +/-    0.0    90.0 +/-    0.0\n"))
      << r.out;
}

TEST_F(EndToEndTest, Varto_twoPositions_shareEachIntervalAndListNoTimes) {
  write_hand_observation(dir_.string(), HandObservation{});
  write_text("region.txt", "4096 4096\n4352,4096\n");
  const RunResult r = run_varto(dir_.string(), kPlain + "pos=region.txt");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, "Read 2 pixel positions\n"));
  // 4352 = 256 * 17 lies on cell 16 of the x axis: gain 3.5 + 1.6.
  EXPECT_TRUE(
      contains(r.out,
               "  5.10    0.5000  200.0000      100.00      600.00 4352.0 +/-    0.0  "
               "4096.0 +/-    0.0     0.0 +/-    0.0     0.0 +/-    0.0     0.0 +/-    0.0\n"))
      << r.out;
  EXPECT_TRUE(contains(r.out, "  5.00    0.5000  200.0000"));
  EXPECT_TRUE(contains(r.out, "\nMean Gain:       5.05\n"));
  EXPECT_FALSE(contains(r.out, "Time filter"));
  const std::vector<double> exp = exposure();
  ASSERT_EQ(exp.size(), 82u);
  EXPECT_DOUBLE_EQ(exp[40], 200.0);
  EXPECT_DOUBLE_EQ(exp[42], 200.0);
  EXPECT_NEAR(read_fits_key(out_file(), "GAIN_HIST", "AVG_GAIN"), 5.05, 1e-9);
}

TEST_F(EndToEndTest, Varto_rev0Layout_readsAoBlocksAndGivesTheRdfResult) {
  HandObservation obs;
  obs.rev0 = true;
  write_hand_observation(dir_.string(), obs);
  const RunResult r =
      run_varto(dir_.string(),
                kPlain + "xpos=4096 ypos=4096 aspect=asp.ao aspcols=TIME,ASP_DX,ASP_DY,ASP_ROLL");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, "Archival data type: REV0\n"));
  EXPECT_TRUE(contains(r.out, "Found table AO Aspect records 8\n")) << r.out;
  EXPECT_TRUE(contains(r.out, "Found table AO Aspect records 7\n"));
  EXPECT_TRUE(contains(r.out, "Process table 2 block 2\n"));
  EXPECT_TRUE(contains(r.out, "Aspect records: 15\n"));
  EXPECT_TRUE(contains(r.out, kOneBinLine)) << r.out;
  EXPECT_TRUE(contains(r.out, "  5.00  (100.00:300.00,400.00:600.00)\n"));
}

TEST_F(EndToEndTest, Varto_rev0With150AoBlocks_givesTheHistogramOfTheSameRecordsIn3Blocks) {
  HandObservation obs;
  obs.rev0 = true;
  write_hand_observation(dir_.string(), obs);
  // 300 records over the whole observation, drifting across gain-map cells.
  std::vector<sample::AspectRow> rows;
  for (int k = 0; k < 300; ++k) rows.push_back({2.5 * k, -400.0 + 2.0 * k, 0.0, 0.0});
  const std::string words =
      kPlain + "xpos=4096 ypos=4096 aspect=asp.ao aspcols=TIME,ASP_DX,ASP_DY,ASP_ROLL";
  std::vector<double> hist[2];
  const int nblocks[2] = {3, 150};
  for (int i = 0; i < 2; ++i) {
    std::vector<std::vector<sample::AspectRow>> blocks(static_cast<size_t>(nblocks[i]));
    for (int k = 0; k < 300; ++k)
      blocks[static_cast<size_t>(k * nblocks[i] / 300)].push_back(rows[k]);
    ASSERT_EQ(sample::write_aspect_rev0(path("asp.ao"), blocks), 0);
    const RunResult r = run_varto(dir_.string(), words);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(contains(r.out, "Aspect records: 300\n")) << r.out;
    hist[i] = exposure();
  }
  EXPECT_EQ(hist[0], hist[1]);
}

TEST_F(EndToEndTest, Varto_stepsFile_keepsBothMapsOnOneSideOfTheStep) {
  // Maps 4, 4, 6, 6 at MJD 49000, 49040, 49060, 49100; observation at MJD 49045.
  HandObservation obs;
  obs.mjdref_day = 49045;
  obs.map_times = {49000.0, 49040.0, 49060.0, 49100.0};
  obs.map_offsets = {-1.0, -1.0, 1.0, 1.0};
  write_hand_observation(dir_.string(), obs);
  write_text("gain.steps", "# gain steps\n\n49050.0 abrupt gain change\n");

  // Without the step the maps at 49040 and 49060 are blended: gain about 4.5.
  RunResult r = run_varto(dir_.string(), kPlain + "xpos=4096 ypos=4096");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, "\nMean Gain:       4.50\n")) << r.out;

  // With it only the maps before the step count: gain 4.
  r = run_varto(dir_.string(), kPlain + "xpos=4096 ypos=4096 steps=gain.steps");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(
      contains(r.out, "Reading gain steps file gain.steps\nRead 1 steps from gain steps file\n\n"))
      << r.out;
  EXPECT_TRUE(contains(r.out, "\nMean Gain:       4.00\n")) << r.out;
  EXPECT_DOUBLE_EQ(exposure()[20], 400.0);
}

TEST_F(EndToEndTest, Varto_positionFiles_take999Lines) {
  write_hand_observation(dir_.string(), HandObservation{});
  std::string lines;
  for (int i = 0; i < 999; ++i) lines += "4096 4096\n";
  write_text("p999.txt", lines);

  RunResult r = run_varto(dir_.string(), kPlain + "pos=p999.txt");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, "Read 999 pixel positions\n"));
  EXPECT_NEAR(exposure()[40], 400.0, 1e-9);
  EXPECT_FALSE(contains(r.out, "Time filter"));
}

TEST_F(EndToEndTest, Varto_positionComments_giveTheTableOfThePlainFile) {
  write_hand_observation(dir_.string(), HandObservation{});
  write_text("plain.txt", "4096 4096\n4352,4096\n");
  write_text("commented.txt", "# region\n\n4096 4096\n   \n#4352 4352\n4352,4096\n\n");
  ASSERT_EQ(run_varto(dir_.string(), kPlain + "pos=plain.txt outfile=plain.fits").status, 0);
  const RunResult r = run_varto(dir_.string(), kPlain + "pos=commented.txt outfile=commented.fits");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, "Read 2 pixel positions\n"));
  for (const char* column : {"GAIN", "WEIGHT", "EXPOSURE"}) {
    const std::vector<double> plain = read_fits_column(path("plain.fits"), "GAIN_HIST", column);
    ASSERT_EQ(plain.size(), 82u);
    EXPECT_EQ(read_fits_column(path("commented.fits"), "GAIN_HIST", column), plain) << column;
  }
}

TEST_F(EndToEndTest, Varto_timeOutsideCalibratedPeriod_stopsWithoutOutput) {
  HandObservation obs;
  obs.mjdref_day = 48000;
  write_hand_observation(dir_.string(), obs);
  const RunResult r = run_varto(dir_.string(), kPlain);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.out,
                       "*** Observation time outside calibrated period ***\n"
                       "Calibrated period is: MJD 48950.000000 to 49150.000000\n"
                       "Observation time is: MJD 48000.001157\n"))
      << r.out;
  EXPECT_FALSE(fs::exists(out_file()));
  EXPECT_FALSE(contains(r.out, "Mean Gain"));
}

TEST_F(EndToEndTest, Varto_missingInput_exitsWithStatus1) {
  write_hand_observation(dir_.string(), HandObservation{});
  RunResult r = run_varto(dir_.string(), "events=none.fits");
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.out, "Failed to open GTI")) << r.out;
  EXPECT_FALSE(contains(r.out, "Reading aspect file"));

  r = run_varto(dir_.string(), "aspect=none.fits");
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.out, "Failed to open aspect file")) << r.out;
  EXPECT_FALSE(contains(r.out, "Reading gain map calibrations"));

  r = run_varto(dir_.string(), "'maps=none.fits[RHRI_GAIN]'");
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.out, "Failed to open gain calibration dataset")) << r.out;

  r = run_varto(dir_.string(), "pos=none.txt");
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.out, "Failed to open source file none.txt")) << r.out;
  EXPECT_FALSE(fs::exists(out_file()));
}

TEST_F(EndToEndTest, Varto_outputFolderMissing_reportsListsAndFails) {
  write_hand_observation(dir_.string(), HandObservation{});
  const RunResult r =
      run_varto(dir_.string(), kPlain + "xpos=4096 ypos=4096 outfile=nodir/out.fits");
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.out, "Failed to create output file\n")) << r.out;
  EXPECT_TRUE(contains(r.out, kOneBinLine));
  EXPECT_TRUE(contains(r.out, "  5.00  (100.00:300.00,400.00:600.00)\n"));
  EXPECT_FALSE(fs::exists(path("nodir")));
}

// The keywords of every card of HDU hdu, in order, one a line; DATE's value
// aside, the cards of two runs agree when these do.
std::string keywords(const std::string& file, int hdu) {
  std::string names;
  const std::string header = read_fits_header(file, hdu);
  for (std::size_t at = 0; at < header.size();) {
    const std::size_t end = header.find('\n', at);
    names += header.substr(at, 8) + "\n";
    at = end == std::string::npos ? header.size() : end + 1;
  }
  return names;
}

// Every form of output name carries the same keys in the same blocks as a plain
// name: the provenance in the primary header and the table, STEP in SOURCE_POS.
TEST_F(EndToEndTest, Varto_everyOutputForm_writesTheSameTableAndKeys) {
  write_hand_observation(dir_.string(), HandObservation{});
  write_text("old.fits", "an earlier result");
  const struct {
    const char* word;
    const char* file;  // "" for standard output
    const char* table;
  } forms[] = {{"outfile=plain.fits", "plain.fits", "GAIN_HIST"},
               {"'outfile=!old.fits'", "old.fits", "GAIN_HIST"},
               {"outfile=out.fits.gz", "out.fits.gz", "GAIN_HIST"},
               {"'outfile=blk.fits[HIST]'", "blk.fits", "HIST"},
               {"outfile=-", "", "GAIN_HIST"}};
  std::string plain[3];
  for (const auto& f : forms) {
    const RunResult r = run_varto(dir_.string(), kPlain + "xpos=4096 ypos=4096 " + f.word);
    ASSERT_EQ(r.status, 0) << f.word << r.out << r.err;
    std::string file = f.file;
    if (file.empty()) {
      // Standard output holds the FITS file alone; the report went to standard error.
      file = "run_stdout.txt";
      EXPECT_EQ(r.out.rfind("SIMPLE  =", 0), 0u) << r.out.substr(0, 200);
      EXPECT_TRUE(contains(r.err, kOneBinLine)) << r.err;
    } else {
      EXPECT_TRUE(contains(r.out, kOneBinLine)) << f.word;
    }
    if (std::string(f.word).ends_with(".gz")) {
      const std::string bytes = read_text(file);
      ASSERT_GE(bytes.size(), 2u);
      EXPECT_EQ(bytes.substr(0, 2), "\x1f\x8b") << "not gzip";
    }
    const std::vector<double> exp = read_fits_column(path(file), f.table, "EXPOSURE");
    ASSERT_EQ(exp.size(), 82u) << f.word;
    EXPECT_DOUBLE_EQ(exp[40], 400.0) << f.word;
    for (int hdu = 1; hdu <= 3; ++hdu) {
      const std::string names = keywords(path(file), hdu);
      if (plain[hdu - 1].empty()) plain[hdu - 1] = names;
      EXPECT_EQ(names, plain[hdu - 1]) << f.word << " HDU " << hdu;
    }
  }
  for (const char* key : {"NSOURCE ", "CREATOR ", "DATE    ", "TELESCOP", "HISTORY "})
    EXPECT_TRUE(contains(plain[1], key)) << key << plain[1];
  EXPECT_TRUE(contains(plain[2], "STEP    ")) << plain[2];
  for (const auto& entry : fs::directory_iterator(dir_)) {
    EXPECT_NE(entry.path().filename().string().front(), '.') << entry.path();
  }
}

TEST_F(EndToEndTest, Varto_sampleObservation_printsTheWholeReportInOrder) {
  ASSERT_TRUE(sample::write_sample_observation(dir_.string(), sample::SampleOptions{}));
  const RunResult r = run_varto(dir_.string(), "");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const char* in_order[] = {"SOURCE GAIN HISTOGRAM",
                            "Reading event file bas.fits",
                            "GTI records:",
                            "Detector center:",
                            "Nominal pointing:",
                            "Pixel size:",
                            "Reading aspect file anc.fits",
                            "Aspect records:",
                            "Reading gain map calibrations gain.fits[RHRI_GAIN]",
                            "Read 44 maps from gain calibration table",
                            "Read 3 steps from gain steps file",
                            "Gain histogram:",
                            "Mean Gain:",
                            "Gain   Time filter"};
  std::size_t at = 0;
  for (const char* text : in_order) {
    const std::size_t found = r.out.find(text, at);
    ASSERT_NE(found, std::string::npos) << text << "\n" << r.out;
    at = found;
  }
  EXPECT_EQ(exposure().size(), 82u);
  // Several bins receive weight.
  int filled = 0;
  for (double e : exposure()) filled += e > 0 ? 1 : 0;
  EXPECT_GE(filled, 5);
  // Provenance in the primary header and in GAIN_HIST: the program, the time,
  // the mission, the positions, every parameter (defaults too) and the inputs.
  for (int hdu : {1, 2}) {
    const std::string header = read_fits_header(out_file(), hdu);
    for (const char* card :
         {"CREATOR = 'varto " VARTO_VERSION "'", "DATE    = '20", "TELESCOP= 'ROSAT   '",
          "INSTRUME= 'HRI     '", "NSOURCE =                    1", "HISTORY d=0\n",
          "HISTORY events=bas.fits\n", "HISTORY steps=gain.steps\n", "HISTORY pos=\n",
          "HISTORY xpos=4096\n", "HISTORY mode=RDF\n", "HISTORY bso=48,40,0\n",
          "HISTORY ghist=3,7,0.05\n", "HISTORY parkernel=qel\n",
          "HISTORY Input event file bas.fits\n",
          "HISTORY Input gain maps gain.fits[RHRI_GAIN]\n"}) {
      EXPECT_TRUE(contains(header, card)) << hdu << ": " << card << "\n" << header;
    }
  }
  EXPECT_TRUE(contains(read_fits_header(out_file(), 2), "TUNIT3  = 's       '"));
  if (std::system("command -v fitsverify >/dev/null 2>&1") == 0) {
    const std::string cmd = "fitsverify -q '" + out_file() + "' >'" + path("verify.txt") + "' 2>&1";
    EXPECT_EQ(std::system(cmd.c_str()), 0) << read_text("verify.txt");
    EXPECT_TRUE(contains(read_text("verify.txt"), "OK")) << read_text("verify.txt");
  }
}

// The event file serves the sky frame, the observation header and the good
// time intervals from one open dataset; every other input is opened once too.
// The data model traces each open at debug level 1.
TEST_F(EndToEndTest, Varto_everyInputFile_isOpenedOnce) {
  ASSERT_TRUE(sample::write_sample_observation(dir_.string(), sample::SampleOptions{}));
  const RunResult r = run_varto(dir_.string(), "d=1 ra=83.6331 dec=22.0145");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  for (const char* file : {"bas.fits", "anc.fits", "gain.fits"}) {
    const std::string line = std::string("Opened dataset ") + file + "\n";
    std::size_t count = 0;
    for (std::size_t at = r.err.find(line); at != std::string::npos; at = r.err.find(line, at + 1))
      ++count;
    EXPECT_EQ(count, 1u) << file;
  }
}

TEST_F(EndToEndTest, Varto_sampleObservationRev0_matchesTheRdfHistogram) {
  const fs::path rdf = dir_ / "rdf";
  const fs::path rev0 = dir_ / "rev0";
  fs::create_directories(rdf);
  fs::create_directories(rev0);
  ASSERT_TRUE(sample::write_sample_observation(rdf.string(), sample::SampleOptions{}));
  sample::SampleOptions options;
  options.rev0 = true;
  ASSERT_TRUE(sample::write_sample_observation(rev0.string(), options));
  ASSERT_EQ(run_varto(rdf.string(), "").status, 0);
  const RunResult r = run_varto(rev0.string(), "");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, "Archival data type: REV0\n"));
  // The same pointing in both layouts (REV0 offsets are 32-bit) gives the same mean gain.
  const double avg_rdf = read_fits_key((rdf / "varto.fits").string(), "GAIN_HIST", "AVG_GAIN");
  const double avg_rev0 = read_fits_key((rev0 / "varto.fits").string(), "GAIN_HIST", "AVG_GAIN");
  EXPECT_NEAR(avg_rdf, avg_rev0, 0.01);
  EXPECT_GT(avg_rdf, 3.0);
  EXPECT_LT(avg_rdf, 7.0);
}

TEST_F(EndToEndTest, Varto_pointingAcrossRaZero_givesTheUnrotatedHistogram) {
  const fs::path plain = dir_ / "plain";
  const fs::path across = dir_ / "across";
  fs::create_directories(plain);
  fs::create_directories(across);
  ASSERT_TRUE(sample::write_sample_observation(plain.string(), sample::SampleOptions{}));
  sample::SampleOptions options;
  options.ra_nom = 0.02;  // the wobble of 0.05 / cos Dec degrees crosses RA 0/360
  ASSERT_TRUE(sample::write_sample_observation(across.string(), options));
  ASSERT_EQ(run_varto(plain.string(), "").status, 0);
  ASSERT_EQ(run_varto(across.string(), "").status, 0);
  for (const char* column : {"GAIN", "WEIGHT", "EXPOSURE"}) {
    const auto a = read_fits_column((plain / "varto.fits").string(), "GAIN_HIST", column);
    const auto b = read_fits_column((across / "varto.fits").string(), "GAIN_HIST", column);
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i)
      EXPECT_NEAR(b[i], a[i], 1e-9 * std::fabs(a[i])) << column << i;
  }
}

TEST_F(EndToEndTest, Varto_sourceOffTheDetector_addsNothingAndWarns) {
  ASSERT_TRUE(sample::write_sample_observation(dir_.string(), sample::SampleOptions{}));
  const RunResult r = run_varto(dir_.string(), "xpos=9000 ypos=4097");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  for (double e : exposure()) EXPECT_EQ(e, 0.0);
  EXPECT_TRUE(contains(r.out, " samples off the detector (")) << r.out;
  EXPECT_TRUE(contains(r.out, " s of exposure not counted)\n")) << r.out;
}

TEST_F(EndToEndTest, Varto_anyThreadCount_givesTheSameTableAndReport) {
  ASSERT_TRUE(sample::write_sample_observation(dir_.string(), sample::SampleOptions{}));
  // Several positions (two of them off the detector, for the warning), and one
  // position with its time-filter listing.
  std::string positions;
  for (int j = 0; j < 60; ++j)
    positions +=
        std::to_string(3900 + 13 * (j % 12)) + " " + std::to_string(3950 + 41 * (j / 12)) + "\n";
  write_text("region.txt", positions + "100 4000\n4000 8300\n");
  for (const std::string words : {"pos=region.txt", "xpos=4100 ypos=4050"}) {
    std::string first_out;
    std::string first_table;
    for (const char* threads : {"1", "2", "7"}) {
      ::setenv("VARTO_THREADS", threads, 1);
      const RunResult r = run_varto(dir_.string(), words);
      ::unsetenv("VARTO_THREADS");
      ASSERT_EQ(r.status, 0) << words << " " << threads << r.out << r.err;
      // The table without its creation date, the one card that may differ.
      std::string table = read_text("varto.fits");
      for (std::size_t at = 0; at + 80 <= table.size(); at += 80)
        if (table.compare(at, 10, "DATE    = ") == 0) table.replace(at, 80, 80, ' ');
      if (first_out.empty()) {
        first_out = r.out;
        first_table = table;
        continue;
      }
      EXPECT_EQ(r.out, first_out) << words << " " << threads;
      EXPECT_TRUE(table == first_table) << words << " " << threads;
    }
    EXPECT_TRUE(
        contains(first_out, words[0] == 'p' ? "samples off the detector" : "Gain   Time filter"))
        << first_out;
  }
}

}  // namespace
}  // namespace varto_test
