// The whole run as one call: the same report, table and status as the
// program, from two threads at once, and a missing parameter with queries off.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "app/run.h"
#include "varto_helpers.h"

namespace varto_test {
namespace {

using RunEntryTest = AppTest;

// A run through the entry point with its report kept by stream.
struct Captured {
  varto::RunResult result;
  std::string out;
  std::string err;
};

Captured run_words(const std::vector<std::string>& words, bool queries = true,
                   const std::string& cwd = "") {
  Captured c;
  varto::RunOptions options;
  options.words = words;
  options.queries = queries;
  options.cwd = cwd;
  options.sink = [&c](varto::Stream stream, std::string_view text) {
    (stream == varto::Stream::out ? c.out : c.err).append(text);
  };
  c.result = varto::run(options);
  return c;
}

std::string shell_words(const std::vector<std::string>& words) {
  std::string line;
  for (const std::string& w : words) line += " '" + w + "'";
  return line;
}

TEST_F(RunEntryTest, TwoThreadsAtOnce_giveWhatTheProgramGives) {
  write_hand_observation(dir_.string(), HandObservation{});
  write_text("pos.txt", "4096 4096\n4352 4096\n4608 4096\n");
  const std::string in = path("");
  const std::vector<std::string> common = {"events=" + in + "bas.fits", "aspect=" + in + "anc.fits",
                                           "maps=" + in + "gain.fits[RHRI_GAIN]", "bso=0,0,0"};
  std::vector<std::string> one = common;
  one.insert(one.end(), {"xpos=4352", "ypos=4096", "outfile=" + in + "one.fits"});
  std::vector<std::string> many = common;
  many.insert(many.end(), {"pos=" + in + "pos.txt", "outfile=" + in + "many.fits"});

  // The program first, each table then moved aside.
  const varto_test::RunResult program_one = run_varto(dir_.string(), shell_words(one));
  fs::rename(path("one.fits"), path("program_one.fits"));
  const varto_test::RunResult program_many = run_varto(dir_.string(), shell_words(many));
  fs::rename(path("many.fits"), path("program_many.fits"));
  ASSERT_EQ(program_one.status, 0) << program_one.err;
  ASSERT_EQ(program_many.status, 0) << program_many.err;

  Captured a;
  Captured b;
  std::thread first([&] { a = run_words(one); });
  std::thread second([&] { b = run_words(many); });
  first.join();
  second.join();
  for (const auto& [got, program, table] :
       {std::tuple{&a, &program_one, "one.fits"}, std::tuple{&b, &program_many, "many.fits"}}) {
    EXPECT_EQ(got->result.status, 0);
    EXPECT_TRUE(got->result.wrote_output);
    EXPECT_EQ(got->out, program->out);
    EXPECT_EQ(got->err, program->err);
    const std::string file = path(table);
    const std::string program_file = path(std::string("program_") + table);
    EXPECT_EQ(got->result.weight, read_fits_column(program_file, "GAIN_HIST", "WEIGHT"));
    EXPECT_EQ(got->result.exposure, read_fits_column(file, "GAIN_HIST", "EXPOSURE"));
    EXPECT_NEAR(got->result.avg_gain, read_fits_key(program_file, "GAIN_HIST", "AVG_GAIN"), 1e-6);
    ASSERT_EQ(got->result.ledger.size(), 8u);
    for (const auto& [key, seconds] : got->result.ledger) {
      EXPECT_EQ(seconds, read_fits_key(program_file, "GAIN_HIST", key)) << key;
    }
    EXPECT_EQ(got->result.x, read_fits_column(program_file, "SOURCE_POS", "X"));
  }
  EXPECT_EQ(b.result.x.size(), 3u);

  // Written again elsewhere, the table holds the same rows and keys.
  ASSERT_EQ(varto::write_output(b.result, path("again.fits"), nullptr), 0);
  EXPECT_EQ(read_fits_column(path("again.fits"), "GAIN_HIST", "WEIGHT"), b.result.weight);
  EXPECT_EQ(read_fits_key(path("again.fits"), "GAIN_HIST", "DUPTIME"),
            read_fits_key(path("many.fits"), "GAIN_HIST", "DUPTIME"));
}

// Relative names, the parameter file found through either reader and gain.time
// at d=1 are all taken in cwd; nothing lands in the working folder.
TEST_F(RunEntryTest, Cwd_takesRelativeNamesInThatFolder) {
  write_hand_observation(dir_.string(), HandObservation{});
  write_text("pos.txt", "4096 4096\n4352 4096\n");
  write_text("varto.par",
             "pos,f,h,\"pos.txt\",,,\"Positions\"\nbso,s,h,\"0,0,0\",,,\"Boresight\"\n"
             "mode,s,h,\"ql\"\n");
  const varto_test::RunResult program = run_varto(dir_.string(), "outfile=program.fits d=1");
  ASSERT_EQ(program.status, 0) << program.err;
  fs::remove(path("gain.time"));
  const std::string program_file = path("program.fits");
  for (const char* kernel : {"qel", "iraf"}) {
    SCOPED_TRACE(kernel);
    const std::string outfile = std::string(kernel) + ".fits";
    const Captured got = run_words(
        {std::string("parkernel=") + kernel, "outfile=" + outfile, "d=1"}, true, dir_.string());
    ASSERT_EQ(got.result.status, 0) << got.err;
    EXPECT_TRUE(fs::exists(path(outfile)));
    EXPECT_FALSE(fs::exists(outfile));
    EXPECT_TRUE(fs::exists(path("gain.time")));
    EXPECT_FALSE(fs::exists("gain.time"));
    fs::remove(path("gain.time"));
    EXPECT_EQ(got.result.x, read_fits_column(program_file, "SOURCE_POS", "X"));
    EXPECT_EQ(got.result.exposure, read_fits_column(program_file, "GAIN_HIST", "EXPOSURE"));
    EXPECT_EQ(read_fits_column(path(outfile), "GAIN_HIST", "WEIGHT"),
              read_fits_column(program_file, "GAIN_HIST", "WEIGHT"));
  }
  // A reader's message names the file as given, whether or not cwd ends in '/'.
  const Captured missing =
      run_words({"events=none.fits", "outfile=none.fits"}, true, dir_.string() + "/");
  EXPECT_EQ(missing.result.status, 1);
  EXPECT_EQ(missing.result.error, "Failed to open event file none.fits");
}

TEST_F(RunEntryTest, StoppedRuns_returnTheirErrorAndTheProcessGoesOn) {
  write_hand_observation(dir_.string(), HandObservation{});
  // A parameter the IRAF-syntax file would ask for, with queries off.
  write_text("ask.par", "events,f,a,\"\",,,\"Event file\"\nmode,s,h,\"ql\"\n");
  const Captured asked =
      run_words({"parkernel=iraf", "par=" + path("ask.par"), "outfile=" + path("x.fits")}, false);
  EXPECT_EQ(asked.result.status, 1);
  EXPECT_FALSE(asked.result.wrote_output);
  EXPECT_EQ(asked.result.error,
            "Parameter events would be asked for on the terminal: queries are off")
      << asked.err;
  EXPECT_FALSE(fs::exists(path("x.fits")));

  // An observation outside the calibrated period stops the binning, as the program does.
  HandObservation late;
  late.mjdref_day = 49300;
  write_hand_observation(dir_.string(), late);
  const std::string in = path("");
  const std::vector<std::string> words = {"events=" + in + "bas.fits", "aspect=" + in + "anc.fits",
                                          "maps=" + in + "gain.fits", "outfile=" + in + "y.fits"};
  const Captured stopped = run_words(words);
  const varto_test::RunResult program = run_varto(dir_.string(), shell_words(words));
  EXPECT_EQ(stopped.result.status, 1);
  EXPECT_EQ(program.status, 1);
  EXPECT_EQ(stopped.out, program.out);
  EXPECT_EQ(stopped.result.error, "*** Observation time outside calibrated period ***");
  EXPECT_EQ(stopped.result.output, nullptr);
  EXPECT_EQ(varto::write_output(stopped.result, path("z.fits"), nullptr), 1);
  EXPECT_FALSE(fs::exists(path("y.fits")));
}

}  // namespace
}  // namespace varto_test
