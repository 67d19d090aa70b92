// Runs side by side in one folder: eight runs of the sample observation at once
// under GNU parallel, differing only in outfile and half of them writing gain.time,
// give the serial table and gain.time and leave no temporary file behind.
// (varto_batch's own test covers many folders, one run each.)
#include <sys/wait.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "varto_helpers.h"

namespace varto_test {
namespace {

class ParallelTest : public AppTest {};

TEST_F(ParallelTest, GnuParallel_eightRunsInOneFolder_giveTheSerialTable) {
  if (std::system("command -v parallel >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "GNU parallel is not installed";
  }
  ASSERT_TRUE(sample::write_sample_observation(dir_.string(), sample::SampleOptions{}));
  ASSERT_EQ(run_varto(dir_.string(), "d=1 outfile=serial.fits").status, 0);
  const std::string serial_gain_time = read_text("gain.time");
  ASSERT_FALSE(serial_gain_time.empty());

  // Every other run at debug level 1.
  std::string jobs;
  for (int k = 1; k <= 8; ++k) jobs += "c" + std::to_string(k) + " " + std::to_string(k % 2) + "\n";
  write_text("jobs.txt", jobs);
  const char* bin = std::getenv("VARTO_BIN");
  const std::string varto = bin != nullptr ? bin : std::string(VARTO_BINARY_DIR) + "/app/varto";
  const std::string cmd = "cd '" + dir_.string() +
                          "' && parallel --will-cite -j8 --colsep ' ' --halt now,fail=1 '" + varto +
                          " d={2} outfile={1}.fits >{1}.txt 2>&1' :::: jobs.txt >parallel.log 2>&1";
  const int raw = std::system(cmd.c_str());
  ASSERT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 0) << read_text("parallel.log");

  for (const char* column : {"GAIN", "WEIGHT", "EXPOSURE"}) {
    const std::vector<double> serial = read_fits_column(path("serial.fits"), "GAIN_HIST", column);
    ASSERT_EQ(serial.size(), 82u);
    for (int k = 1; k <= 8; ++k) {
      const std::string out = "c" + std::to_string(k) + ".fits";
      EXPECT_EQ(read_fits_column(path(out), "GAIN_HIST", column), serial) << out << " " << column;
    }
  }
  EXPECT_EQ(read_text("gain.time"), serial_gain_time);
  // The five inputs, serial.fits with its two report files, gain.time, jobs.txt,
  // parallel.log, and the eight tables with their reports: no temporary file.
  int entries = 0;
  for (const auto& entry : fs::directory_iterator(dir_)) {
    EXPECT_NE(entry.path().filename().string().front(), '.') << entry.path();
    ++entries;
  }
  EXPECT_EQ(entries, 5 + 3 + 1 + 2 + 16);
}

}  // namespace
}  // namespace varto_test
