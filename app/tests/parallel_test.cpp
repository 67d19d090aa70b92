// Many observations at once: eight different sample observations run under GNU
// parallel with four jobs give the tables of a serial run, and a second run in
// the same folder with another outfile, at the same time, disturbs nothing.
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
    ASSERT_EQ(run_varto(path(obs), "outfile=serial.fits").status, 0) << obs;
    // Two runs in every folder, only their output names differ.
    jobs += obs + " a.fits\n" + obs + " b.fits\n";
  }
  write_text("jobs.txt", jobs);

  const char* bin = std::getenv("VARTO_BIN");
  const std::string varto = bin != nullptr ? bin : std::string(VARTO_BINARY_DIR) + "/app/varto";
  const std::string cmd = "cd '" + dir_.string() + "' && parallel --will-cite -j4 --colsep ' ' " +
                          "--halt now,fail=1 'cd {1} && " + varto +
                          " outfile={2} >{2}.txt 2>&1' :::: jobs.txt >parallel.log 2>&1";
  const int raw = std::system(cmd.c_str());
  ASSERT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 0) << read_text("parallel.log");

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
    // The five inputs, serial.fits and its two report files, a and b with theirs.
    EXPECT_EQ(entries, 12) << obs;
  }
}

}  // namespace
}  // namespace varto_test
