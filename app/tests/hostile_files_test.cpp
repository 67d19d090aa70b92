// Every hostile and every foreign FITS file, in every role a FITS file plays,
// through the real program on the sample observation: the kept fuzz findings
// and the corpus of files written by other software, each given in turn as the
// event file, the aspect file and the gain-map file. None of them is a valid
// input for that role, so each run must end within 10 s, by itself, with exit
// status 1 and a message saying why.
#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "varto_helpers.h"

namespace varto_test {
namespace {

class HostileFilesTest : public AppTest {};

// Regular files under folder, in name order; none when it is absent.
std::vector<fs::path> files_under(const fs::path& folder) {
  std::vector<fs::path> files;
  std::error_code ec;
  if (!fs::is_directory(folder, ec)) return files;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    if (entry.is_regular_file() && name != "README.md" && name != "fits_index.txt")
      files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

// What a refused run says: the reader's failure line or the data model's reason.
bool says_why(const RunResult& r) {
  for (const char* mark : {"Failed", "ERROR", "Error", "Reason:", "***", "refused", "Too many"}) {
    if (contains(r.out, mark) || contains(r.err, mark)) return true;
  }
  return false;
}

TEST_F(HostileFilesTest, Varto_everyHostileFileInEveryRole_endsWithStatus1AndAMessage) {
  ASSERT_TRUE(sample::write_sample_observation(dir_.string(), sample::SampleOptions{}));
  std::vector<fs::path> files = files_under(fs::path(VARTO_SOURCE_DIR) / "fuzz/regressions/fits");
  ASSERT_FALSE(files.empty());
  const std::vector<fs::path> corpus = files_under(fs::path(VARTO_CORPUS_DIR) / "fits");
  files.insert(files.end(), corpus.begin(), corpus.end());
  const char* const roles[] = {"events", "aspect", "maps"};
  int runs = 0;
  for (const fs::path& file : files) {
    for (const char* role : roles) {
      // timeout gives 124 when the run takes longer, and a signal shows as
      // 128 plus its number: only 1 passes.
      const RunResult r =
          run_varto(dir_.string(), std::string(role) + "='" + file.string() + "' outfile=out.fits",
                    "timeout -s KILL 10");
      ++runs;
      EXPECT_EQ(r.status, 1) << role << "=" << file << "\n" << r.out << r.err;
      EXPECT_TRUE(says_why(r)) << role << "=" << file << "\n" << r.out << r.err;
      // Under the sanitizers a report also ends with status 1: it must not be there.
      EXPECT_FALSE(contains(r.err, "Sanitizer") || contains(r.err, "runtime error:"))
          << role << "=" << file << "\n"
          << r.err;
      EXPECT_FALSE(fs::exists(path("out.fits"))) << role << "=" << file;
    }
  }
  RecordProperty("runs", runs);
  std::printf("%zu files x 3 roles = %d runs%s\n", files.size(), runs,
              corpus.empty() ? " (corpus absent: the kept findings only)" : "");
}

}  // namespace
}  // namespace varto_test
