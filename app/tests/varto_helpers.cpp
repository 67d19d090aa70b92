// Shared pieces of the application tests (see varto_helpers.h).
#include "varto_helpers.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

#include "dm/dm.h"
#include "fits_edit.h"
#include "util/util.h"

namespace varto_test {

namespace {

std::string slurp(const fs::path& p) {
  std::ifstream in(p);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

void AppTest::SetUp() {
  dmInit(rirade_init());
  dbg_set(0);
  const auto* info = testing::UnitTest::GetInstance()->current_test_info();
  dir_ = fs::path(testing::TempDir()) / (std::string("varto_") + info->test_suite_name() + "_" +
                                         info->name() + "_" + std::to_string(::getpid()));
  fs::remove_all(dir_);
  fs::create_directories(dir_);
}

void AppTest::TearDown() {
  std::error_code ec;
  fs::remove_all(dir_, ec);
}

void AppTest::write_text(const std::string& name, const std::string& text) const {
  std::ofstream(dir_ / name) << text;
}

std::string AppTest::read_text(const std::string& name) const { return slurp(dir_ / name); }

std::vector<double> linear_maps(int count, double base, double slope_x, double slope_y) {
  std::vector<double> maps(static_cast<std::size_t>(count) * 1024);
  for (int m = 0; m < count; ++m) {
    for (int ix = 0; ix < 32; ++ix) {
      for (int iy = 0; iy < 32; ++iy) {
        maps[static_cast<std::size_t>(m) * 1024 + ix * 32 + iy] =
            base + slope_x * ix + slope_y * iy;
      }
    }
  }
  return maps;
}

void write_hand_observation(const std::string& dir, const HandObservation& obs) {
  sample::EventFile events;
  events.rev0 = obs.rev0;
  events.crpix_x = 4096.0;
  events.crpix_y = 4096.0;
  events.ra_nom = 150.0;
  events.dec_nom = 30.0;
  events.pixsize = 1.388888889e-4;
  events.roll = obs.roll;
  events.mjdref_day = obs.mjdref_day;
  events.mjdref_frac = 0.0;
  events.gti_start = {100.0, 400.0};
  events.gti_stop = {300.0, 600.0};
  events.nevents = 10;
  ASSERT_EQ(sample::write_event_file(dir + "/bas.fits", events), 0);

  std::vector<sample::AspectRow> rows;
  for (int k = 0; k <= 14; ++k) {
    const double t = 50.0 * k;
    if (obs.rev0) {
      rows.push_back({t, 0.0, 0.0, 0.0});
    } else {
      rows.push_back({t, events.ra_nom, events.dec_nom, obs.roll});
    }
  }
  if (obs.rev0) {
    const std::vector<std::vector<sample::AspectRow>> blocks = {{rows.begin(), rows.begin() + 8},
                                                                {rows.begin() + 8, rows.end()}};
    ASSERT_EQ(sample::write_aspect_rev0(dir + "/asp.ao", blocks), 0);
  } else {
    ASSERT_EQ(sample::write_aspect_rdf(dir + "/anc.fits", rows), 0);
  }

  const int n = static_cast<int>(obs.map_times.size());
  std::vector<double> maps = linear_maps(n, 3.5, 0.1, 0.0);
  for (int m = 0; m < n; ++m) {
    for (int c = 0; c < 1024; ++c)
      maps[static_cast<std::size_t>(m) * 1024 + c] += obs.map_offsets[m];
  }
  ASSERT_EQ(sample::write_gain_table(dir + "/gain.fits", obs.map_times, maps), 0);
}

RunResult run_varto(const std::string& dir, const std::string& words, const std::string& shell) {
  const char* bin = std::getenv("VARTO_BIN");
  const std::string binary = bin != nullptr ? bin : std::string(VARTO_BINARY_DIR) + "/app/varto";
  // A shell step ending in '|' pipes its output into varto's standard input.
  const bool piped = !shell.empty() && shell.back() == '|';
  const std::string cmd = "cd '" + dir + "' && " + shell + " '" + binary + "' " + words +
                          " >run_stdout.txt 2>run_stderr.txt" + (piped ? "" : " </dev/null");
  RunResult r;
  const int raw = std::system(cmd.c_str());
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  r.out = slurp(fs::path(dir) / "run_stdout.txt");
  r.err = slurp(fs::path(dir) / "run_stderr.txt");
  return r;
}

std::vector<double> read_fits_column(const std::string& file, const std::string& extname,
                                     const std::string& column) {
  return sample::read_column(file, extname, column);
}

double read_fits_key(const std::string& file, const std::string& extname, const std::string& key) {
  return sample::read_key(file, extname, key);
}

std::string read_fits_header(const std::string& file, int hdu) {
  return sample::read_header(file, hdu);
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

}  // namespace varto_test
