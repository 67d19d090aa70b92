// Installing: the build installed into a temporary prefix runs on the sample
// observation by itself, its manual page renders cleanly, and its IRAF-syntax
// parameter file, found through PFILES, gives the plain file's table.
#include <sys/wait.h>

#include <cstdlib>
#include <string>

#include "varto_helpers.h"

namespace varto_test {
namespace {

class InstallTest : public AppTest {
 protected:
  // Runs a shell command with a bare environment in which only the installed
  // programs and the system's are on PATH; stdout and stderr go to files.
  int sh(const std::string& command) const {
    const std::string full = "env -i HOME=\"$HOME\" PATH='" + path("prefix/bin") +
                             ":/usr/bin:/bin' sh -c '" + command + "' >'" + path("sh.out") +
                             "' 2>'" + path("sh.err") + "' </dev/null";
    const int raw = std::system(full.c_str());
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  }
};

TEST_F(InstallTest, Install_temporaryPrefix_runsWithoutTheBuildTree) {
  const std::string install = std::string("'") + VARTO_CMAKE_COMMAND + "' --install '" +
                              VARTO_BINARY_DIR + "' --prefix '" + path("prefix") + "' >'" +
                              path("install.log") + "' 2>&1";
  ASSERT_EQ(std::system(install.c_str()), 0) << read_text("install.log");
  for (const char* file :
       {"bin/varto", "bin/varto_make_sample", "bin/varto_batch", "share/man/man1/varto.1",
        "share/man/man1/varto_batch.1", "share/varto/varto.par", "share/varto/varto_slurm_array.sh",
        "share/doc/varto/README.md"}) {
    EXPECT_TRUE(fs::exists(dir_ / "prefix" / file)) << file;
  }

  // The installed programs make the sample observation and run on it; the
  // report is the build tree's report.
  fs::create_directories(dir_ / "obs");
  fs::create_directories(dir_ / "ref");
  ASSERT_EQ(sh("varto_make_sample " + path("obs")), 0) << read_text("sh.err");
  ASSERT_EQ(sh("cd " + path("obs") + " && varto"), 0) << read_text("sh.err");
  ASSERT_TRUE(sample::write_sample_observation(path("ref"), sample::SampleOptions{}));
  EXPECT_EQ(read_text("sh.out"), run_varto(path("ref"), "").out);

  // The installed varto_batch finds the installed varto beside it.
  write_text("manifest.txt", "obs\n");
  ASSERT_EQ(sh("varto_batch -j 1 -o " + path("") + " " + path("manifest.txt")), 0)
      << read_text("sh.out") << read_text("sh.err");
  EXPECT_EQ(read_text("sh.out"), "1 observations: 1 ok, 0 failed\n");

  // The manual pages: groff and man report no warnings.
  for (const char* name : {"varto.1", "varto_batch.1"}) {
    const std::string page = path("prefix/share/man/man1/") + name;
    EXPECT_EQ(sh("groff -ww -z -man " + page), 0) << name;
    EXPECT_EQ(read_text("sh.err"), "") << name;
    if (std::system("command -v man >/dev/null 2>&1") == 0) {
      EXPECT_EQ(sh("MANWIDTH=80 man --warnings -l " + page), 0) << name;
      EXPECT_EQ(read_text("sh.err"), "") << name;
      EXPECT_TRUE(contains(read_text("sh.out"), "EXIT STATUS")) << name;
    }
  }

  // The installed IRAF file through PFILES: its defaults plus the sample's steps
  // file give the plain file's table; events and outfile, given here, are not asked.
  ASSERT_EQ(sh("cd " + path("obs") + " && PFILES=" + path("prefix/share/varto") +
               " varto parkernel=iraf steps=gain.steps events=bas.fits outfile=iraf.fits"),
            0)
      << read_text("sh.out") << read_text("sh.err");
  const std::string listing = read_text("sh.out");
  EXPECT_TRUE(contains(listing, "GHIST                            3,7,0.05\n")) << listing;
  EXPECT_TRUE(contains(listing, "Archival data type: RDF\n")) << listing;
  for (const char* column : {"GAIN", "WEIGHT", "EXPOSURE"}) {
    EXPECT_EQ(read_fits_column(path("obs/iraf.fits"), "GAIN_HIST", column),
              read_fits_column(path("obs/varto.fits"), "GAIN_HIST", column))
        << column;
  }
}

}  // namespace
}  // namespace varto_test
