// One fault per row on the sample observation: the varto binary runs in a copy
// of a folder that already holds the result of a good run, and each row checks
// the exit status, a fragment of the message, and that every file of the folder
// (inputs and the earlier output) is byte-identical afterwards, with no file
// added. To add a fault, add a row: its words, an optional step that damages or
// adds files, and what the run must say. A row for a hazard the run survives
// also names the files it replaces; everything else stays as it was.

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "fits_edit.h"
#include "varto_helpers.h"

namespace varto_test {
namespace {

struct FaultRow {
  const char* label;
  std::string words;     // command-line words, shell-quoted
  int status;            // exit status
  std::string fragment;  // expected in standard output or standard error
  std::function<void(const fs::path&)> prepare = nullptr;  // damages or adds files first
  std::string shell = "";    // shell commands run before the binary (limits, traps)
  std::string changed = "";  // "changed NAME" lines of the files a good run replaces
};

void write_file(const fs::path& file, const std::string& text) { std::ofstream(file) << text; }

std::string positions(int count) {
  std::string text;
  for (int i = 0; i < count; ++i) text += "4096 4097\n";
  return text;
}

// Overwrites bytes of a file in place.
void patch_bytes(const fs::path& file, long at, const std::string& bytes) {
  std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
  f.seekp(at);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Byte offset of the first header card starting with key (0 when none).
long card_offset(const fs::path& file, const std::string& key) {
  std::ifstream in(file, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  for (size_t at = 0; at + 80 <= bytes.size(); at += 80) {
    if (bytes.compare(at, key.size(), key) == 0) return static_cast<long>(at);
  }
  return 0;
}

// Puts value, right-aligned, into the value field of the first card starting with key.
void patch_card(const fs::path& file, const std::string& key, const std::string& value) {
  const std::string field(20 - std::min<size_t>(value.size(), 20), ' ');
  patch_bytes(file, card_offset(file, key) + 10, field + value);
}

void edit_table(const fs::path& file, const char* extname, int col, std::vector<double> values) {
  EXPECT_EQ(sample::write_column(file.string(), extname, col, values), 0) << file;
}

void keep_rows(const fs::path& file, const char* extname, long keep) {
  EXPECT_EQ(sample::keep_rows(file.string(), extname, keep), 0) << file;
}

// Replaces the gain-map table by one whose maps hold 100 values.
void narrow_gain_table(const fs::path& file) {
  fs::remove(file);
  EXPECT_EQ(sample::append_table(file.string(), "RHRI_GAIN", {"TIME", "GAIN_MAP"}, {"1D", "100E"},
                                 2, {{48000.0, 50000.0}}),
            0);
}

// Replaces the ASPECT table's TIME column by a string column of the same name.
void string_aspect_time(const fs::path& file) {
  EXPECT_EQ(sample::replace_column(file.string(), "ASPECT", "TIME", "16A"), 0);
}

// Sets string keys of the events table.
void set_event_keys(const fs::path& dir,
                    const std::vector<std::pair<const char*, const char*>>& keys) {
  for (const auto& [key, value] : keys)
    EXPECT_EQ(sample::set_key_str((dir / "bas.fits").string(), "STDEVT", key, value), 0);
}

// Twenty circles of radius 4,900 about the field's centre: most of the field
// twenty times over.
std::string twenty_circles() {
  std::string text = "physical\n";
  for (int i = 0; i < 20; ++i)
    text += "circle(" + std::to_string(4096 + 0.5 * i) + "," + std::to_string(4097 + 0.3 * i) +
            ",4900)\n";
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
      {"ghist of two numbers: width 0", "ghist=3,7", 1, "Invalid ghist: the bin width must be"},
      {"ghist giving one bin", "ghist=1e17,1e17,1", 1, "Invalid ghist: it gives no usable bin"},
      {"bso of four numbers", "bso=48,40,0,1", 1, "holds more than three numbers"},
      {"region with no pixel centre inside", "pos=tiny.reg", 1,
       "Region tiny.reg line 2: no pixel centre",
       [](const fs::path& d) {
         write_file(d / "tiny.reg", "physical\ncircle(4096.5,4096.5,0.6)\n");
       }},
      {"region of an unknown shape", "pos=text.reg", 1,
       "Region text.reg line 2: unknown shape text",
       [](const fs::path& d) { write_file(d / "text.reg", "physical\ntext(4096,4096)\n"); }},
      {"region in image coordinates", "pos=image.reg", 1,
       "Region image.reg line 1: image coordinates depend on how the viewer binned",
       [](const fs::path& d) { write_file(d / "image.reg", "image;circle(100,100,5)\n"); }},
      {"region in galactic coordinates", "pos=gal.reg", 1,
       "Region gal.reg line 1: coordinate system galactic is not supported",
       [](const fs::path& d) { write_file(d / "gal.reg", "galactic;circle(184.5,-5.8,5\")\n"); }},
      {"region line malformed", "pos=bad.reg", 1,
       "Region bad.reg line 3: circle needs x, y and a radius",
       [](const fs::path& d) { write_file(d / "bad.reg", "# x\nphysical\ncircle(4096,4097)\n"); }},
      {"region file holding a NUL byte", "pos=nul.reg", 1, "Region nul.reg line 2: a NUL byte",
       [](const fs::path& d) {
         write_file(d / "nul.reg", std::string("physical\ncircle(4096,4097,3)\0\n", 30));
       }},
      {"sky region without celestial keys", "pos=sky.reg", 1,
       "Region sky.reg line 1: sky coordinates need the celestial coordinate keys",
       [](const fs::path& d) {
         write_file(d / "sky.reg", "fk5;circle(83.6331,22.0145,5\")\n");
         const std::string events = (d / "bas.fits").string();
         EXPECT_EQ(sample::set_key_str(events, "STDEVT", "TCTYP2", "X"), 0);
         EXPECT_EQ(sample::set_key_str(events, "STDEVT", "TCTYP3", "Y"), 0);
       }},
      {"sky region, X with a pixel step of 0", "pos=sky.reg", 1,
       "Region sky.reg line 1: sky coordinates cannot be used: the event file's TCDLT2, the pixel "
       "step, is 0",
       [](const fs::path& d) {
         write_file(d / "sky.reg", "fk5;circle(83.6331,22.0145,5\")\n");
         EXPECT_EQ(sample::set_key_dbl((d / "bas.fits").string(), "STDEVT", "TCDLT2", 0.0), 0);
       }},
      {"ra and dec in an FK4 event file", "ra=83.6331 dec=22.0145", 1,
       "the event file's RADESYS is FK4, not FK5 or ICRS",
       [](const fs::path& d) {
         set_event_keys(d, {{"RADESYS", "FK4"}});
       }},
      {"ra and dec in a galactic event file", "ra=83.6331 dec=22.0145", 1,
       "the event file's X and Y are GLON-TAN and GLAT-TAN, not equatorial RA and DEC",
       [](const fs::path& d) {
         set_event_keys(d, {{"TCTYP2", "GLON-TAN"}, {"TCTYP3", "GLAT-TAN"}});
       }},
      {"pos together with ra", "pos=one.txt ra=83.6331", 1,
       "Parameters pos and ra, dec both give the source position: give only one",
       [](const fs::path& d) { write_file(d / "one.txt", positions(1)); }},
      {"ra without dec", "ra=83.6331", 1, "Parameters ra and dec go together"},
      {"dec not a declination", "ra=83.6331 dec=95", 1, "Parameter dec: not a declination"},
      {"debug level not a number", "d=1x", 1, "Parameter d: \"1x\" is not a whole number"},
      {"steps line not a number", "steps=bad.steps", 1,
       "Bad gain step in bad.steps line 3: abc is not a finite MJD",
       [](const fs::path& d) { write_file(d / "bad.steps", "# steps\n48100\nabc\n"); }},
      {"steps file of nan", "steps=nan.steps", 1, "Bad gain step in nan.steps line 1: nan",
       [](const fs::path& d) { write_file(d / "nan.steps", "nan\n"); }},
      {"position line of 100 kB", "pos=long.txt", 1, "Position line too long in long.txt line 1",
       [](const fs::path& d) {
         write_file(d / "long.txt", "4096 4097" + std::string(100000, '7'));
       }},
      {"position file is a folder", "pos=pdir", 1,
       "Cannot read position file pdir: it is a directory",
       [](const fs::path& d) { fs::create_directory(d / "pdir"); }},
      {"steps file is a folder", "steps=sdir", 1, "Cannot read steps file sdir: it is a directory",
       [](const fs::path& d) { fs::create_directory(d / "sdir"); }},
      {"position file of comments only", "pos=none.txt", 1,
       "Position file none.txt holds no positions",
       [](const fs::path& d) { write_file(d / "none.txt", "# region\n\n"); }},
      {"position not finite", "pos=nan.txt", 1,
       "Bad position in nan.txt line 2: x and y must be finite",
       [](const fs::path& d) { write_file(d / "nan.txt", "4096 4097\nnan 4097\n"); }},
      {"position file holding a NUL byte", "pos=nul.txt", 1,
       "Cannot read position file nul.txt: line 1 holds a NUL byte",
       [](const fs::path& d) { write_file(d / "nul.txt", std::string("4096\0 4097\n", 11)); }},
      {"steps file holding a NUL byte", "steps=nul.steps", 1,
       "Cannot read steps file nul.steps: line 2 holds a NUL byte",
       [](const fs::path& d) { write_file(d / "nul.steps", std::string("48100\n4\08200\n", 13)); }},
      {"steps line of 300 characters", "steps=long.steps", 1,
       "Steps line too long in long.steps line 1 (more than 255 characters)",
       [](const fs::path& d) {
         write_file(d / "long.steps", "48100" + std::string(295, ' ') + "\n");
       }},
      {"good time table without rows", "", 1,
       "event file bas.fits: its good time table has no rows",
       [](const fs::path& d) { keep_rows(d / "bas.fits", "STDGTI", 0); }},
      {"bso not finite", "bso=48,40,nan", 1, "Parameter bso: \"48,40,nan\" holds a number"},
      {"ghist infinite", "ghist=3,inf,0.05", 1, "Parameter ghist: \"3,inf,0.05\" holds a number"},
      {"event file truncated in its header", "", 1, "Failed to open GTI",
       [](const fs::path& d) { fs::resize_file(d / "bas.fits", 2880 + 1000); }},
      {"aspect file truncated in its data", "", 1,
       "Cannot read block ASPECT of anc.fits: the header claims",
       [](const fs::path& d) {
         fs::resize_file(d / "anc.fits", fs::file_size(d / "anc.fits") / 2);
       }},
      {"header byte outside ASCII", "", 1, "holds the byte 0xff",
       [](const fs::path& d) {
         patch_bytes(d / "bas.fits", card_offset(d / "bas.fits", "TTYPE1  ") + 12, "\xff");
       }},
      {"gain-map rows not in the file", "", 1, "claims 2000000000 rows",
       [](const fs::path& d) { patch_card(d / "gain.fits", "NAXIS2  =", "2000000000"); }},
      {"good time interval stops before it starts", "", 1,
       "event file bas.fits: good time interval 1 has START",
       [](const fs::path& d) { edit_table(d / "bas.fits", "STDGTI", 2, {-1.0}); }},
      {"one aspect record", "", 1, "aspect file anc.fits: it holds 1 record",
       [](const fs::path& d) { keep_rows(d / "anc.fits", "ASPECT", 1); }},
      {"aspect TIME column of strings", "", 1,
       "aspect file anc.fits: column TIME does not hold real numbers",
       [](const fs::path& d) { string_aspect_time(d / "anc.fits"); }},
      {"gain map not 32 x 32", "", 1, "GAIN_MAP holds 100 values a row",
       [](const fs::path& d) { narrow_gain_table(d / "gain.fits"); }},
      {"event file path beyond 1023 characters", "events=" + std::string(1024, 'e'), 1,
       "Parameter value of EVENTS longer than 1023 characters"},
      {"more than 500 parameters", "par=many.par", 1, "Parameter table full (500 names)",
       [](const fs::path& d) {
         std::string text;
         for (int i = 0; i <= 500; ++i) text += "p" + std::to_string(i) + " 1\n";
         write_file(d / "many.par", text);
       }},
      {"parameter file is a folder", "par=pdir", 1,
       "Cannot read parameter file pdir: it is a directory",
       [](const fs::path& d) { fs::create_directory(d / "pdir"); }},
      {"parameter file of binary garbage", "par=junk.par", 1,
       "Error in parameter file: line 2: field Value",
       [](const fs::path& d) {
         write_file(d / "junk.par", std::string("# x\nevents \x7f\x01\0\x02\xff\n", 17));
       }},
      {"malformed IRAF parameter file", "parkernel=iraf par=task.par", 1,
       "Cannot read parameter file task.par",
       [](const fs::path& d) {
         write_file(d / "task.par", "events,f,a,\"bas.fits\" x,,,\"Event file\"\n");
       }},
      {"dangling link at gain.time", "d=1", 0,
       "Mean Gain:", [](const fs::path& d) { fs::create_symlink(d / "victim", d / "gain.time"); },
       "", "changed gain.time\nchanged varto.fits\n"},
      {"link at gain.time to another file", "d=1", 0, "Mean Gain:",
       [](const fs::path& d) {
         write_file(d / "victim", "someone else's");
         fs::create_symlink("victim", d / "gain.time");
       },
       "", "changed gain.time\nchanged varto.fits\n"},
      {"outfile a link to another file", "", 0, "Mean Gain:",
       [](const fs::path& d) {
         fs::rename(d / "varto.fits", d / "theirs.fits");
         fs::create_symlink("theirs.fits", d / "varto.fits");
       },
       "", "changed varto.fits\n"},
      {"region of twenty circles of radius 4900", "pos=c20.reg", 0, "used: 999 positions",
       [](const fs::path& d) { write_file(d / "c20.reg", twenty_circles()); }, "",
       "changed varto.fits\n"},
      {"circle over the whole field", "pos=whole.reg", 0,
       "Region whole.reg: 52707248 pixels, one in every 52761 used: 999 positions",
       [](const fs::path& d) {
         write_file(d / "whole.reg", "physical;circle(4096.5,4096.5,4096)\n");
       },
       "", "changed varto.fits\n"},
      {"thin diagonal box", "pos=diag.reg", 0,
       "Region diag.reg: 1200 pixels, one in every 2 used: 600 positions",
       [](const fs::path& d) {
         write_file(d / "diag.reg", "physical;box(4095.5,4097.5,1697.06,0.3,-45)\n");
       },
       "", "changed varto.fits\n"},
      {"region file starting with a byte-order mark", "pos=bom.reg", 0, "Read 25 pixel positions",
       [](const fs::path& d) {
         write_file(d / "bom.reg", "\xEF\xBB\xBFphysical;circle(4096,4097,3)\n");
       },
       "", "changed varto.fits\n"},
      {"positions piped into /dev/stdin", "pos=/dev/stdin", 0, "Read 2 pixel positions", nullptr,
       "printf '4096 4097\\n4090 4090\\n' |", "changed varto.fits\n"},
      {"help", "--help", 0, "Exit status:"},
      {"version", "--version", 0, "varto " VARTO_VERSION "\nCFITSIO "},
  };
}

// Every file below dir with its bytes (a link as the name it holds), the
// run's own stdout and stderr files aside.
std::map<std::string, std::string> snapshot(const fs::path& dir) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    const std::string name = entry.path().lexically_relative(dir).string();
    if (name == "run_stdout.txt" || name == "run_stderr.txt") continue;
    if (entry.is_symlink()) {
      files[name] = "link to " + fs::read_symlink(entry.path()).string();
    } else if (entry.is_regular_file()) {
      std::ifstream in(entry.path(), std::ios::binary);
      files[name] =
          std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
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
    if (it == after.end())
      list += "removed " + name + "\n";
    else if (it->second != bytes)
      list += "changed " + name + "\n";
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
    EXPECT_EQ(changes(before, snapshot(d)), row.changed);
  }
}

}  // namespace
}  // namespace varto_test
