// app/main.cpp -- the varto program: the usage text and version, the clean-up
// of a half-written output on SIGINT, SIGTERM and SIGHUP, then one run with
// its report on standard output and standard error and its status as the
// exit status.
#include <string>

#include "app/run.h"
#include "app/varto.h"
#include "util/util.h"

int main(int argc, char** argv) {
  // The usage text and the version read and write nothing.
  const int asked = varto_usage_or_version(argc, argv);
  if (asked >= 0) return asked;

  sys_own_file_catch_signals();
  varto::RunOptions options;
  for (int k = 1; k < argc; ++k) options.words.emplace_back(argv[k] != nullptr ? argv[k] : "");
  return varto::run(options).status;
}
