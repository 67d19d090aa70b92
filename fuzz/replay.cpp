// fuzz/replay.cpp -- replays files through a hostile-input target without
// libFuzzer: every regular file under each folder named on the command line
// (absent folders are skipped), in name order. A failing input aborts, so the
// test that runs this driver fails and its output names the file.
//   varto_fuzz_replay TARGET PATH...
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

#include "fuzz_targets.h"

namespace fs = std::filesystem;

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: varto_fuzz_replay TARGET PATH...\n");
    return 2;
  }
  const varto_fuzz::Target* target = varto_fuzz::find_target(argv[1]);
  if (target == nullptr) {
    std::fprintf(stderr, "varto_fuzz_replay: no target %s\n", argv[1]);
    return 2;
  }
  std::vector<fs::path> files;
  for (int k = 2; k < argc; ++k) {
    std::error_code ec;
    if (fs::is_regular_file(argv[k], ec)) {
      files.emplace_back(argv[k]);
      continue;
    }
    if (!fs::is_directory(argv[k], ec)) {
      std::fprintf(stderr, "varto_fuzz_replay: %s absent, skipped\n", argv[k]);
      continue;
    }
    for (const auto& entry : fs::recursive_directory_iterator(argv[k])) {
      if (entry.is_regular_file()) files.push_back(entry.path());
    }
  }
  std::sort(files.begin(), files.end());
  varto_fuzz::setup();
  // The readers' reports on the terminal would drown the file names.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) return 2;
  for (const fs::path& file : files) {
    std::fprintf(stderr, "varto_fuzz_replay: %s\n", file.c_str());
    std::ifstream in(file, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    target->run(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  }
  std::fprintf(stderr, "%s: %zu inputs replayed\n", target->name, files.size());
  return 0;
}
