// End-to-end: varto run on a terminal with an IRAF-syntax varto.par whose event
// file parameter has query mode asks for it with line editing and uses the
// answer; a query-mode parameter given on the command line is not asked for.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "pty_helpers.h"

namespace fs = std::filesystem;

namespace {

TEST(VartoQueryTest, queryModeEventFileIsAskedOnTheTerminal) {
  const char* env = std::getenv("VARTO_BIN");
  const std::string bin = env != nullptr ? env : std::string(VARTO_BINARY_DIR) + "/app/varto";
  const fs::path dir = fs::path(testing::TempDir()) / ("varto_query_" + std::to_string(getpid()));
  fs::create_directories(dir);
  std::ofstream(dir / "varto.par") << "# varto parameters\n"
                                      "events,f,q,\"bas.fits\",,,\"Event file\"\n"
                                      "aspect,f,h,\"anc.fits\",,,\"Aspect file\"\n"
                                      "outfile,f,a,\"varto.fits\",,,\"Output file\"\n"
                                      "mode,s,h,\"ql\",,,\n";

  const std::string out_path = (dir / "stdout.txt").string();
  // Typed: "ob.fits", then back to the start, two characters right, insert "s".
  const pty_test::PtyRun run = pty_test::runOnPty(
      [&](int) {
        if (chdir(dir.c_str()) != 0) _exit(126);
        const int fd = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0) _exit(126);
        dup2(fd, STDOUT_FILENO);
        close(fd);
        execl(bin.c_str(), "varto", "OUTFILE=out.fits", static_cast<char*>(nullptr));
        _exit(127);
      },
      {{"Event file (bas.fits): ", "ob.fits\x01\x06\x06s\r"}});
  ASSERT_FALSE(run.timedOut) << run.screen;
  ASSERT_TRUE(WIFEXITED(run.status));
  EXPECT_EQ(run.screen.find("Output file"), std::string::npos) << run.screen;

  std::ifstream in(out_path);
  const std::string out((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(out.find("Detected IRAF syntax: using ORV parameter interface"), std::string::npos)
      << out;
  EXPECT_NE(out.find("EVENTS" + std::string(26, ' ') + " obs.fits\n"), std::string::npos) << out;
  EXPECT_NE(out.find("Reading event file obs.fits"), std::string::npos) << out;
  EXPECT_NE(out.find("OUTFILE" + std::string(25, ' ') + " out.fits\n"), std::string::npos) << out;
  // obs.fits does not exist: the run stops as for any unreadable input.
  EXPECT_EQ(WEXITSTATUS(run.status), 1);

  std::error_code ec;
  fs::remove_all(dir, ec);
}

}  // namespace
