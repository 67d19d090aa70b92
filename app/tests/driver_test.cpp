// Tests of the varto driver's start: parameters from the command line and the
// parameter file, the parameter listing, the archival data type and the banner.
// Each test runs the varto binary in its own empty folder.
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace {

struct RunResult {
  int status = -1;
  std::string out;  // standard output
  std::string err;  // standard error
};

class DriverTest : public testing::Test {
 protected:
  void SetUp() override {
    const char* bin = std::getenv("VARTO_BIN");
    bin_ = bin != nullptr ? bin : std::string(VARTO_BINARY_DIR) + "/app/varto";
    const auto* info = testing::UnitTest::GetInstance()->current_test_info();
    dir_ = fs::path(testing::TempDir()) /
           (std::string("driver_") + info->name() + "_" + std::to_string(::getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  void write_file(const std::string& name, const std::string& text) {
    std::ofstream(dir_ / name) << text;
  }

  static std::string slurp(const fs::path& p) {
    std::ifstream in(p);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  // Runs varto with the given words (already shell-quoted) in the test folder.
  RunResult run(const std::string& words) {
    const std::string cmd = "cd '" + dir_.string() + "' && '" + bin_ + "' " + words +
                            " >stdout.txt 2>stderr.txt </dev/null";
    RunResult r;
    const int raw = std::system(cmd.c_str());
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = slurp(dir_ / "stdout.txt");
    r.err = slurp(dir_ / "stderr.txt");
    return r;
  }

  std::string bin_;
  fs::path dir_;
};

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST_F(DriverTest, bannerWithDefaultsShowsRdf) {
  const RunResult r = run("");
  const std::string dashes(45, '-');
  EXPECT_TRUE(contains(r.out, dashes + "\nSOURCE GAIN HISTOGRAM\nArchival data type: RDF\n" +
                                  dashes + "\n"))
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
  write_file("varto.par", "# sample\nxpos 4096\nevents bas.fits\n");
  const RunResult r = run("XPOS=10 verbose");
  EXPECT_TRUE(contains(r.out, "XPOS" + std::string(28, ' ') + " 10\n")) << r.out;
  // The value is one blank, and listing lines lose their trailing blanks.
  EXPECT_TRUE(contains(r.out, "\nVERBOSE\n")) << r.out;
  // Entries keep the order of first setting: the command-line words come first.
  EXPECT_LT(r.out.find("XPOS"), r.out.find("VERBOSE"));
  EXPECT_LT(r.out.find("VERBOSE"), r.out.find("EVENTS"));
}

TEST_F(DriverTest, parWordSelectsTheParameterFile) {
  write_file("other.par", "mode REV0\n");
  EXPECT_TRUE(contains(run("par=other.par").out, "Archival data type: REV0"));
}

TEST_F(DriverTest, invalidGhistIsRefusedBeforeAnyInputIsRead) {
  for (const char* bad : {"ghist=3,7,0", "ghist=3,7,-0.05", "'ghist=7 3 0.05'", "ghist=3,7,1e-12"}) {
    const RunResult r = run(bad);
    EXPECT_EQ(r.status, 1) << bad;
    EXPECT_TRUE(contains(r.err, "Invalid ghist")) << bad << r.err;
    EXPECT_FALSE(contains(r.out, "Reading event file")) << bad;
    EXPECT_FALSE(contains(r.out, "SOURCE GAIN HISTOGRAM")) << bad;
  }
}

TEST_F(DriverTest, debugLevelShowsTheParameterInterfaceAndLevelLine) {
  const RunResult r = run("d=1");
  EXPECT_TRUE(contains(r.err, "QEL parameter interface")) << r.err;
  EXPECT_TRUE(contains(r.err, "[*] Debug level set to [*1]")) << r.err;
  EXPECT_TRUE(contains(r.err, "No position file: using xpos and ypos parameters")) << r.err;
}

}  // namespace
