// The exposure ledger on the sample observation and on copies that lose good
// time in each way the ledger names: every second of good time must be found
// again in the keys, the keys must agree with the table, and each loss must be
// reported by its warning line.
#include <cmath>
#include <cstdio>
#include <functional>
#include <map>
#include <numeric>
#include <string>
#include <vector>

#include "fits_edit.h"
#include "varto_helpers.h"

namespace varto_test {
namespace {

// Reads a real column of a table whole, changes it and writes it back in place.
void rewrite_column(const fs::path& file, const char* extname, const char* column,
                    const std::function<void(std::vector<double>&)>& change) {
  ASSERT_EQ(sample::rewrite_column(file.string(), extname, column, change), 0) << file;
}

struct LedgerCase {
  const char* label;
  std::string words;
  std::function<void(const fs::path&)> prepare;
  std::vector<std::string> lost;  // keys that must be above 0
};

std::vector<LedgerCase> ledger_cases() {
  return {
      {"sample observation", "", nullptr, {}},
      {"cells without a gain",
       "",
       [](const fs::path& d) {
         // Half of every map (cells of ix 16 and above), where the source wanders.
         rewrite_column(d / "gain.fits", "RHRI_GAIN", "GAIN_MAP", [](std::vector<double>& v) {
           for (std::size_t c = 0; c < v.size(); ++c)
             if (c % 1024 >= 512) v[c] = std::nan("");
         });
       },
       {"NOGNTIME"}},
      {"narrow histogram", "ghist=4.9,5.1,0.05", nullptr, {"OUTHTIME"}},
      {"source partly off the detector",
       "pos=half.txt",
       [](const fs::path& d) {
         std::FILE* f = std::fopen((d / "half.txt").c_str(), "w");
         std::fputs("4096 4097\n30000 4097\n", f);
         std::fclose(f);
       },
       {"OFFDTIME"}},
      {"source wholly off the detector", "xpos=30000 ypos=30000", nullptr, {"OFFDTIME"}},
      {"aspect times that run back",
       "",
       [](const fs::path& d) {
         // 100 records moved back by 150 s: good time counted twice; the last
         // 500 running backwards from there: the end of the good time uncovered.
         rewrite_column(d / "anc.fits", "ASPECT", "TIME", [](std::vector<double>& v) {
           for (std::size_t k = 1000; k < 1100; ++k) v[k] -= 150.0;
           const std::size_t n = v.size();
           for (std::size_t k = n - 500; k < n; ++k) v[k] = v[k - 1] - 2.0;
         });
       },
       {"DUPTIME", "NOASPTIM"}},
  };
}

constexpr const char* kKeys[] = {"ONTIME",   "ASPTIME",  "HISTTIME", "OFFDTIME",
                                 "NOGNTIME", "OUTHTIME", "NOASPTIM", "DUPTIME"};

void expect_equal_times(double got, double want, const char* what) {
  EXPECT_NEAR(got, want, 1e-9 * std::fabs(want) + 1e-9) << what;
}

class LedgerTest : public AppTest {};

TEST_F(LedgerTest, everySecondOfGoodTimeIsAccountedForAndEachLossReported) {
  const fs::path good = dir_ / "good";
  fs::create_directories(good);
  ASSERT_TRUE(sample::write_sample_observation(good.string(), sample::SampleOptions{}));
  int n = 0;
  for (const LedgerCase& c : ledger_cases()) {
    SCOPED_TRACE(c.label);
    const fs::path d = dir_ / ("case" + std::to_string(++n));
    fs::copy(good, d, fs::copy_options::recursive);
    if (c.prepare) c.prepare(d);
    const RunResult r = run_varto(d.string(), c.words);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const std::string out = (d / "varto.fits").string();
    std::map<std::string, double> key;
    for (const char* k : kKeys) key[k] = read_fits_key(out, "GAIN_HIST", k);
    for (const std::string& k : c.lost) EXPECT_GT(key[k], 0.0) << k;

    expect_equal_times(key["ASPTIME"],
                       key["HISTTIME"] + key["OFFDTIME"] + key["NOGNTIME"] + key["OUTHTIME"],
                       "ASPTIME = HISTTIME + OFFDTIME + NOGNTIME + OUTHTIME");
    expect_equal_times(key["ONTIME"], key["ASPTIME"] - key["DUPTIME"] + key["NOASPTIM"],
                       "ONTIME = ASPTIME - DUPTIME + NOASPTIM");
    const std::vector<double> exposure = read_fits_column(out, "GAIN_HIST", "EXPOSURE");
    expect_equal_times(key["HISTTIME"], std::accumulate(exposure.begin(), exposure.end(), 0.0),
                       "HISTTIME = the sum of EXPOSURE");
    // HISTGAIN: the mean gain of what was binned, absent (-999 here) when nothing was.
    const std::vector<double> gain = read_fits_column(out, "GAIN_HIST", "GAIN");
    const double histgain = read_fits_key(out, "GAIN_HIST", "HISTGAIN");
    if (key["HISTTIME"] > 0.0) {
      EXPECT_NEAR(
          histgain,
          std::inner_product(gain.begin(), gain.end(), exposure.begin(), 0.0) / key["HISTTIME"],
          1e-12);
    } else {
      EXPECT_EQ(histgain, -999.0);
    }

    // Each loss has its line, with the seconds the key holds, and only then.
    const struct {
      const char* key;
      std::string text;
      double shown_from;
    } lines[] = {
        {"OFFDTIME", " samples off the detector (%.3f s of exposure not counted)\n", 1e-300},
        {"NOGNTIME", " samples with no gain in the maps (%.3f s of exposure not counted)\n",
         1e-300},
        {"OUTHTIME", " samples outside the gain histogram (%.3f s of exposure not counted)\n",
         1e-300},
        {"NOASPTIM", "Warning: %.3f s of good time not covered by the aspect history\n", 0.0005},
        {"DUPTIME", "Warning: %.3f s of good time counted more than once (aspect times run back)\n",
         0.0005},
    };
    for (const auto& l : lines) {
      char text[160];
      std::snprintf(text, sizeof text, l.text.c_str(), key[l.key]);
      EXPECT_EQ(contains(r.out, text), key[l.key] >= l.shown_from) << l.key << "\n" << r.out;
    }
  }
}

}  // namespace
}  // namespace varto_test
