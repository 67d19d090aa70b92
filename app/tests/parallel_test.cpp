// Many observations at once: eight different sample observations run under GNU
// parallel with four jobs give the tables of a serial run, and a second run in
// the same folder with another outfile, at the same time, disturbs nothing.
// Then eight runs at once in one folder, half of them writing gain.time, give
// the same tables and gain.time and leave no temporary file behind.
#include <sys/wait.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "varto_helpers.h"

namespace varto_test {
namespace {

class ParallelTest : public AppTest {};

TEST_F(ParallelTest, GnuParallel_eightObservations_giveTheSerialTables) {
  if (std::system("command -v parallel >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "GNU parallel is not installed";
  }
  constexpr int kObservations = 8;
  std::string jobs;
  for (int k = 1; k <= kObservations; ++k) {
    const std::string obs = "obs" + std::to_string(k);
    fs::create_directories(dir_ / obs);
    sample::SampleOptions options;
    options.seed = k;
    ASSERT_TRUE(sample::write_sample_observation(path(obs), options));
    // The first also writes gain.time, for the runs at once below.
    ASSERT_EQ(
        run_varto(path(obs), k == 1 ? "d=1 outfile=serial.fits" : "outfile=serial.fits").status, 0)
        << obs;
    // Two runs in every folder, only their output names differ.
    jobs += obs + " a.fits\n" + obs + " b.fits\n";
  }
  write_text("jobs.txt", jobs);

  const char* bin = std::getenv("VARTO_BIN");
  const std::string varto = bin != nullptr ? bin : std::string(VARTO_BINARY_DIR) + "/app/varto";
  const auto run_parallel = [&](int jobs, const std::string& words) {
    const std::string cmd = "cd '" + dir_.string() + "' && parallel --will-cite -j" +
                            std::to_string(jobs) + " --colsep ' ' --halt now,fail=1 'cd {1} && " +
                            varto + " " + words +
                            " >{2}.txt 2>&1' :::: jobs.txt >parallel.log 2>&1";
    const int raw = std::system(cmd.c_str());
    return WIFEXITED(raw) && WEXITSTATUS(raw) == 0;
  };
  const std::string serial_gain_time = read_text("obs1/gain.time");
  ASSERT_FALSE(serial_gain_time.empty());
  ASSERT_TRUE(run_parallel(4, "outfile={2}")) << read_text("parallel.log");

  std::vector<double> first;
  for (int k = 1; k <= kObservations; ++k) {
    const std::string obs = "obs" + std::to_string(k);
    for (const char* column : {"GAIN", "WEIGHT", "EXPOSURE"}) {
      const std::vector<double> serial =
          read_fits_column(path(obs + "/serial.fits"), "GAIN_HIST", column);
      ASSERT_EQ(serial.size(), 82u) << obs;
      EXPECT_EQ(read_fits_column(path(obs + "/a.fits"), "GAIN_HIST", column), serial)
          << obs << column;
      EXPECT_EQ(read_fits_column(path(obs + "/b.fits"), "GAIN_HIST", column), serial)
          << obs << column;
    }
    // Each observation is a different one.
    const std::vector<double> weight =
        read_fits_column(path(obs + "/serial.fits"), "GAIN_HIST", "WEIGHT");
    if (k == 1)
      first = weight;
    else
      EXPECT_NE(weight, first) << obs;
    // Nothing but the two outputs and their reports was added to the folder.
    int entries = 0;
    for (const auto& entry : fs::directory_iterator(dir_ / obs)) {
      (void)entry;
      ++entries;
    }
    // The five inputs, serial.fits and its two report files, a and b with theirs,
    // and gain.time in obs1.
    EXPECT_EQ(entries, k == 1 ? 13 : 12) << obs;
  }

  // Eight at once in obs1, every other one at debug level 1.
  jobs.clear();
  for (int k = 1; k <= 8; ++k)
    jobs += "obs1 c" + std::to_string(k) + ".fits " + std::to_string(k % 2) + "\n";
  write_text("jobs.txt", jobs);
  ASSERT_TRUE(run_parallel(8, "d={3} outfile={2}")) << read_text("parallel.log");
  const std::vector<double> serial =
      read_fits_column(path("obs1/serial.fits"), "GAIN_HIST", "WEIGHT");
  for (int k = 1; k <= 8; ++k) {
    const std::string out = "obs1/c" + std::to_string(k) + ".fits";
    EXPECT_EQ(read_fits_column(path(out), "GAIN_HIST", "WEIGHT"), serial) << out;
  }
  EXPECT_EQ(read_text("obs1/gain.time"), serial_gain_time);
  int entries = 0;
  for (const auto& entry : fs::directory_iterator(dir_ / "obs1")) {
    EXPECT_NE(entry.path().filename().string().front(), '.') << entry.path();
    ++entries;
  }
  EXPECT_EQ(entries, 13 + 16);  // and the eight tables with their reports
}

}  // namespace
}  // namespace varto_test
