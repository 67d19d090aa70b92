// varto_make_sample: writes the synthetic sample observation (event file,
// aspect file, gain maps, gain steps and a parameter file) into a folder.
// Usage: varto_make_sample [--rev0] [--seed N] [folder]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sample.h"

int main(int argc, char** argv) {
  sample::SampleOptions options;
  std::string dir = ".";
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--rev0") == 0) {
      options.rev0 = true;
    } else if (std::strcmp(argv[i], "--seed") == 0 && i + 1 < argc) {
      // Another pointing and other map textures: a different observation.
      char* end = nullptr;
      const long seed = std::strtol(argv[++i], &end, 10);
      if (*end != '\0' || end == argv[i] || seed < 0 || seed > 1000) {
        std::fprintf(stderr, "%s: --seed takes a number from 0 to 1000\n", argv[0]);
        return 2;
      }
      options.seed = static_cast<int>(seed);
    } else if (argv[i][0] == '-') {  // --help, or an unknown option
      std::fprintf(stderr, "Usage: %s [--rev0] [--seed N] [folder]\n", argv[0]);
      return std::strcmp(argv[i], "--help") == 0 ? 0 : 2;
    } else {
      dir = argv[i];
    }
  }
  if (!sample::write_sample_observation(dir, options)) {
    std::fprintf(stderr, "varto_make_sample: cannot write the sample observation into %s\n",
                 dir.c_str());
    return 1;
  }
  std::printf("Sample %s observation written to %s\n", options.rev0 ? "REV0" : "RDF", dir.c_str());
  return 0;
}
