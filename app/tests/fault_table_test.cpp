// One fault per row on the sample observation: the varto binary runs in a copy
// of a folder that already holds the result of a good run, and each row checks
// the exit status, a fragment of the message, and that every file of the folder
// (inputs and the earlier output) is byte-identical afterwards, with no file
// added. To add a fault, add a row: its words, an optional step that damages or
// adds files, and what the run must say.
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "varto_helpers.h"

namespace varto_test {
namespace {

struct FaultRow {
  const char* label;
  std::string words;     // command-line words, shell-quoted
  int status;            // exit status
  std::string fragment;  // expected in standard output or standard error
  std::function<void(const fs::path&)> prepare = nullptr;  // damages or adds files first
  std::string shell = "";  // shell commands run before the binary (limits, traps)
};

void write_file(const fs::path& file, const std::string& text) { std::ofstream(file) << text; }

std::string positions(int count) {
  std::string text;
  for (int i = 0; i < count; ++i) text += "4096 4097\n";
  return text;
}

std::vector<FaultRow> fault_rows() {
  return {
      {"output folder missing", "outfile=nodir/out.fits", 1, "Failed to create output file\n"},
      {"output disk full", "", 1, "Failed to create output file\n", nullptr,
       "trap '' XFSZ; ulimit -f 6;"},
      {"outfile is the event file", "outfile=./bas.fits", 1, "is the event file bas.fits"},
      {"outfile is the aspect file", "outfile=anc.fits", 1, "is the aspect file anc.fits"},
      {"outfile is the gain-map file, by a link", "outfile=maps.fits", 1,
       "Output file maps.fits is the gain-map file gain.fits[RHRI_GAIN]",
       [](const fs::path& d) { fs::create_symlink("gain.fits", d / "maps.fits"); }},
      {"outfile is the steps file", "'outfile=!gain.steps'", 1, "is the steps file gain.steps"},
      {"outfile is the position file", "pos=region.txt outfile=region.txt", 1,
       "is the position file region.txt",
       [](const fs::path& d) { write_file(d / "region.txt", positions(2)); }},
      {"outfile is the parameter file", "outfile=varto.par", 1, "is the parameter file varto.par"},
      {"steps file missing", "steps=none.steps", 1, "Failed to open steps file none.steps"},
      {"aspect column missing", "aspcols=TIME,RA_SC,DEC_NOM,ROAN_SC", 1,
       "Error opening table columns DEC_NOM"},
      {"1000 positions", "pos=p1000.txt", 1, "Too many pixels in region",
       [](const fs::path& d) { write_file(d / "p1000.txt", positions(1000)); }},
      {"bad position line", "pos=bad.txt", 1, "Bad position in bad.txt line 3",
       [](const fs::path& d) { write_file(d / "bad.txt", "# region\n4096 4097\n4096 y\n"); }},
      {"xpos not a number", "xpos=abc", 1, "READ_D error  abc"},
      {"ghist of two numbers", "ghist=3,7", 1, "Parameter ghist: \"3,7\" is not three numbers"},
      {"debug level not a number", "d=1x", 1, "Parameter d: \"1x\" is not a whole number"},
      {"steps line not a number", "steps=bad.steps", 1,
       "Bad gain step in bad.steps line 3: abc is not a finite MJD",
       [](const fs::path& d) { write_file(d / "bad.steps", "# steps\n48100\nabc\n"); }},
      {"steps file of nan", "steps=nan.steps", 1, "Bad gain step in nan.steps line 1: nan",
       [](const fs::path& d) { write_file(d / "nan.steps", "nan\n"); }},
      {"position line of 100 kB", "pos=long.txt", 1, "Position line too long in long.txt line 1",
       [](const fs::path& d) { write_file(d / "long.txt", "4096 4097" + std::string(100000, '7')); }},
      {"bso not finite", "bso=48,40,nan", 1, "Parameter bso: \"48,40,nan\" holds a number"},
      {"ghist infinite", "ghist=3,inf,0.05", 1, "Parameter ghist: \"3,inf,0.05\" holds a number"},
      {"event file truncated in its header", "", 1, "Failed to open GTI",
       [](const fs::path& d) { fs::resize_file(d / "bas.fits", 2880 + 1000); }},
      {"help", "--help", 0, "Exit status:"},
      {"version", "--version", 0, "varto " VARTO_VERSION "\nCFITSIO "},
  };
}

// Every file below dir (links as their targets' names) with its bytes, the
// run's own stdout and stderr files aside.
std::map<std::string, std::string> snapshot(const fs::path& dir) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    const std::string name = fs::relative(entry.path(), dir).string();
    if (name == "run_stdout.txt" || name == "run_stderr.txt") continue;
    if (entry.is_symlink()) {
      files[name] = "link to " + fs::read_symlink(entry.path()).string();
    } else if (entry.is_regular_file()) {
      std::ifstream in(entry.path(), std::ios::binary);
      files[name] = std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    } else {
      files[name] = "folder";
    }
  }
  return files;
}

// Names of the files added, removed or changed between two snapshots.
std::string changes(const std::map<std::string, std::string>& before,
                    const std::map<std::string, std::string>& after) {
  std::string list;
  for (const auto& [name, bytes] : before) {
    const auto it = after.find(name);
    if (it == after.end()) list += "removed " + name + "\n";
    else if (it->second != bytes) list += "changed " + name + "\n";
  }
  for (const auto& [name, bytes] : after) {
    if (before.count(name) == 0) list += "added " + name + "\n";
  }
  return list;
}

class FaultTableTest : public AppTest {};

TEST_F(FaultTableTest, everyFaultStopsWithItsStatusAndMessageAndChangesNoFile) {
  const fs::path good = dir_ / "good";
  fs::create_directories(good);
  ASSERT_TRUE(sample::write_sample_observation(good.string(), sample::SampleOptions{}));
  const RunResult first = run_varto(good.string(), "");
  ASSERT_EQ(first.status, 0) << first.out << first.err;
  ASSERT_TRUE(fs::exists(good / "varto.fits"));

  int n = 0;
  for (const FaultRow& row : fault_rows()) {
    SCOPED_TRACE(row.label);
    const fs::path d = dir_ / ("row" + std::to_string(++n));
    fs::copy(good, d, fs::copy_options::recursive);
    if (row.prepare) row.prepare(d);
    const auto before = snapshot(d);
    const RunResult r = run_varto(d.string(), row.words, row.shell);
    EXPECT_EQ(r.status, row.status) << r.out << r.err;
    EXPECT_TRUE(contains(r.out + r.err, row.fragment)) << r.out << r.err;
    EXPECT_EQ(changes(before, snapshot(d)), "");
  }
}

}  // namespace
}  // namespace varto_test
