// Tests of the varto driver's start: parameters from the command line and the
// parameter file, the parameter listing, the archival data type and the banner.
// Each test runs the varto binary in its own empty folder.
#include <string>

#include "varto_helpers.h"

namespace varto_test {
namespace {

class DriverTest : public AppTest {
 protected:
  // Runs varto with the given words (already shell-quoted) in the test folder.
  RunResult run(const std::string& words) const { return run_varto(dir_.string(), words); }
};

TEST_F(DriverTest, bannerWithDefaultsShowsRdf) {
  const RunResult r = run("");
  const std::string dashes(45, '-');
  EXPECT_TRUE(contains(
      r.out, dashes + "\nSOURCE GAIN HISTOGRAM\nArchival data type: RDF\n" + dashes + "\n"))
      << r.out;
  // With no words and no parameter file the table is empty and nothing is listed.
  EXPECT_EQ(r.out.rfind(dashes, 0), 0u) << r.out;
}

TEST_F(DriverTest, archivalDataTypeFromTheAspectFileName) {
  EXPECT_TRUE(contains(run("aspect=rh700001.ao").out, "Archival data type: REV0"));
  EXPECT_TRUE(contains(run("aspect=rh700001_anc.fits").out, "Archival data type: RDF"));
  EXPECT_TRUE(contains(run("aspect=data.ao.gz").out, "Archival data type: RDF"));
  EXPECT_TRUE(contains(run("aspect=noextension").out, "Archival data type: RDF"));
}

TEST_F(DriverTest, modeParameterIsShownAsGiven) {
  EXPECT_TRUE(contains(run("mode=rdf").out, "Archival data type: rdf"));
  EXPECT_TRUE(contains(run("mode=RDF aspect=x.ao").out, "Archival data type: RDF"));
}

TEST_F(DriverTest, commandLineOverridesTheParameterFileAndListingIsPadded) {
  write_text("varto.par", "# sample\nxpos 4096\nevents bas.fits\n");
  const RunResult r = run("XPOS=10 verbose");
  EXPECT_TRUE(contains(r.out, "XPOS" + std::string(28, ' ') + " 10\n")) << r.out;
  // The value is one blank, and listing lines lose their trailing blanks.
  EXPECT_TRUE(contains(r.out, "\nVERBOSE\n")) << r.out;
  // Entries keep the order of first setting: the command-line words come first.
  EXPECT_LT(r.out.find("XPOS"), r.out.find("VERBOSE"));
  EXPECT_LT(r.out.find("VERBOSE"), r.out.find("EVENTS"));
}

TEST_F(DriverTest, parWordSelectsTheParameterFile) {
  write_text("other.par", "mode REV0\n");
  EXPECT_TRUE(contains(run("par=other.par").out, "Archival data type: REV0"));
}

TEST_F(DriverTest, invalidGhistIsRefusedBeforeAnyInputIsRead) {
  for (const char* bad :
       {"ghist=3,7,0", "ghist=3,7,-0.05", "'ghist=7 3 0.05'", "ghist=3,7,1e-12"}) {
    // The position file does not exist: it must not even be looked at.
    const RunResult r = run(std::string(bad) + " pos=absent.txt");
    EXPECT_EQ(r.status, 1) << bad;
    EXPECT_TRUE(contains(r.err, "Invalid ghist")) << bad << r.err;
    EXPECT_FALSE(contains(r.out, "Failed to open source file")) << bad;
    EXPECT_FALSE(contains(r.out, "Reading event file")) << bad;
    EXPECT_FALSE(contains(r.out, "SOURCE GAIN HISTOGRAM")) << bad;
  }
}

TEST_F(DriverTest, unknownNamesAreWarnedWithTheClosestKnownName) {
  write_text("varto.par", "evnets bas.fits\nGHIST 3,7,0.05\n");
  const RunResult r = run("Xpoz=10 verbose mpas=gain.fits");
  EXPECT_TRUE(contains(r.err, "Warning: varto has no parameter xpoz (did you mean xpos?)\n"))
      << r.err;
  EXPECT_TRUE(contains(r.err, "Warning: varto has no parameter verbose\n")) << r.err;
  EXPECT_TRUE(contains(r.err, "Warning: varto has no parameter mpas (did you mean maps?)\n"))
      << r.err;
  EXPECT_TRUE(contains(r.err, "Warning: varto has no parameter evnets (did you mean events?)\n"))
      << r.err;
  EXPECT_FALSE(contains(r.err, "parameter ghist")) << r.err;
  // The names still go into the table.
  EXPECT_TRUE(contains(r.out, "XPOZ" + std::string(28, ' ') + " 10\n")) << r.out;
}

TEST_F(DriverTest, debugLevelShowsTheParameterInterfaceAndLevelLine) {
  const RunResult r = run("d=1");
  EXPECT_TRUE(contains(r.err, "QEL parameter interface")) << r.err;
  EXPECT_TRUE(contains(r.err, "[*] Debug level set to [*1]")) << r.err;
  EXPECT_TRUE(contains(r.err, "No position file: using xpos and ypos parameters")) << r.err;
}

}  // namespace
}  // namespace varto_test
