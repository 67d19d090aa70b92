// tools/varto_plot.py on the sample observation's result: a complete PNG of the
// histogram with the nearest gain map beside it.
#include <sys/wait.h>

#include <cstdlib>
#include <string>

#include "varto_helpers.h"

namespace varto_test {
namespace {

class PlotTest : public AppTest {};

// A PNG's 32-bit big-endian number at offset at.
unsigned be32(const std::string& s, std::size_t at) {
  unsigned v = 0;
  for (std::size_t i = 0; i < 4; ++i) v = (v << 8) | static_cast<unsigned char>(s[at + i]);
  return v;
}

TEST_F(PlotTest, VartoPlot_sampleResultWithMap_writesAWholePng) {
  const std::string python = VARTO_PYTHON;
  if (std::system(("'" + python + "' -c 'import matplotlib' 2>/dev/null").c_str()) != 0) {
    GTEST_SKIP() << "matplotlib is not installed for " << python;
  }
  ASSERT_TRUE(sample::write_sample_observation(dir_.string(), sample::SampleOptions{}));
  ASSERT_EQ(run_varto(dir_.string(), "").status, 0);
  const std::string cmd = "cd '" + dir_.string() + "' && '" + python + "' '" + VARTO_SOURCE_DIR +
                          "/tools/varto_plot.py' varto.fits --maps 'gain.fits[RHRI_GAIN]' "
                          "--time 49176 -o plot.png >plot.out 2>&1";
  const int raw = std::system(cmd.c_str());
  ASSERT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 0) << read_text("plot.out");
  EXPECT_EQ(read_text("plot.out"), "plot.png\n");

  // Signature, the IHDR chunk first with the figure's size in pixels (two
  // panels of 640 x 480), and the IEND chunk last.
  const std::string png = read_text("plot.png");
  ASSERT_GT(png.size(), 1000u);
  EXPECT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
  EXPECT_EQ(png.substr(12, 4), "IHDR");
  EXPECT_EQ(be32(png, 16), 1280u);
  EXPECT_EQ(be32(png, 20), 480u);
  EXPECT_EQ(png.substr(png.size() - 8, 4), "IEND");
}

// With --region a third panel: the events near the source, the outline and the
// positions of the SOURCE_POS table.
TEST_F(PlotTest, VartoPlot_regionRun_addsTheEventPanel) {
  const std::string python = VARTO_PYTHON;
  if (std::system(("'" + python + "' -c 'import matplotlib, regions' 2>/dev/null").c_str()) != 0) {
    GTEST_SKIP() << "matplotlib or regions is not installed for " << python;
  }
  ASSERT_TRUE(sample::write_sample_observation(dir_.string(), sample::SampleOptions{}));
  write_text("src.reg",
             "physical\ncircle(4096.3,4097.2,8.1)\nfk5;-circle(83.6331,22.0145,1.5\")\n");
  ASSERT_EQ(run_varto(dir_.string(), "pos=src.reg").status, 0);
  const std::string cmd = "cd '" + dir_.string() + "' && '" + python + "' '" + VARTO_SOURCE_DIR +
                          "/tools/varto_plot.py' varto.fits --maps 'gain.fits[RHRI_GAIN]' "
                          "--time 49176 --region src.reg -o plot.png >plot.out 2>&1";
  const int raw = std::system(cmd.c_str());
  ASSERT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 0) << read_text("plot.out");
  const std::string png = read_text("plot.png");
  ASSERT_GT(png.size(), 1000u);
  EXPECT_EQ(be32(png, 16), 1920u);
}

}  // namespace
}  // namespace varto_test
