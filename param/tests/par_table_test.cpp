// Tests of the parameter table facade: setting and getting by name, the
// command-line words, the plain parameter-file reader and its IRAF detection.
#include "param/par.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "util/util.h"

namespace fs = std::filesystem;

namespace {

class ParTableTest : public testing::Test {
 protected:
  void SetUp() override {
    rirade_init();
    const auto* info = testing::UnitTest::GetInstance()->current_test_info();
    dir_ = fs::path(testing::TempDir()) /
           (std::string("par_table_") + info->name() + "_" + std::to_string(::getpid()));
    fs::create_directories(dir_);
    table_ = par_alloc(PAR_TABLE_CAPACITY);
  }
  void TearDown() override {
    par_free(table_);
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  std::string write_file(const std::string& name, const std::string& text) {
    const fs::path p = dir_ / name;
    std::ofstream(p) << text;
    return p.string();
  }

  std::string get(const char* name) {
    char out[PAR_VALUE_LEN + 1];
    par_get_g(table_, name, out);
    return out;
  }

  fs::path dir_;
  par_table* table_ = nullptr;
};

// Runs fn with standard output captured; the channel table writes through C streams.
template <typename Fn>
std::string capture_stdout(Fn fn) {
  testing::internal::CaptureStdout();
  fn();
  std::fflush(stdout);
  return testing::internal::GetCapturedStdout();
}

template <typename Fn>
std::string capture_stderr(Fn fn) {
  testing::internal::CaptureStderr();
  fn();
  std::fflush(stderr);
  return testing::internal::GetCapturedStderr();
}

TEST_F(ParTableTest, par_set_namesIgnoreCaseAndKeepFirstSetOrder) {
  par_set(table_, "xpos", "4096");
  par_set(table_, "Events", "bas.fits");
  par_set(table_, "XPOS", "10");
  EXPECT_EQ(table_->count, 2);
  EXPECT_STREQ(table_->names[0], "XPOS");
  EXPECT_STREQ(table_->names[1], "EVENTS");
  EXPECT_EQ(get("xPoS"), "10");
  char out[PAR_VALUE_LEN + 1];
  EXPECT_EQ(par_get_g(table_, "events", out), 1);
}

TEST_F(ParTableTest, par_set_nullValueStoresEmptyString) {
  par_set(table_, "steps", nullptr);
  EXPECT_EQ(table_->count, 1);
  EXPECT_EQ(get("steps"), "");
}

TEST_F(ParTableTest, par_set_fullTableRefusesNewNamesButChangesOldOnes) {
  par_table* small = par_alloc(2);
  EXPECT_EQ(par_set(small, "a", "1"), 0);
  par_set(small, "b", "2");
  const std::string err = capture_stderr([&] { EXPECT_EQ(par_set(small, "c", "3"), -1); });
  EXPECT_NE(err.find("Parameter table full (2 names), C ignored"), std::string::npos) << err;
  EXPECT_EQ(par_set(small, "a", "9"), 0);
  EXPECT_EQ(small->count, 2);
  char out[PAR_VALUE_LEN + 1];
  EXPECT_EQ(par_get_g(small, "c", out), -1);
  EXPECT_STREQ(out, "");
  EXPECT_EQ(par_get_g(small, "a", out), 0);
  EXPECT_STREQ(out, "9");
  par_free(small);
}

TEST_F(ParTableTest, par_set_refusesOverlongNamesAndValuesWithAMessage) {
  const std::string name32(32, 'n');
  const std::string name31(31, 'n');
  const std::string too_long(PAR_VALUE_LEN + 1, 'v');
  const std::string longest(PAR_VALUE_LEN, 'v');
  const std::string err = capture_stderr([&] {
    EXPECT_EQ(par_set(table_, name32.c_str(), "x"), -1);
    EXPECT_EQ(par_set(table_, "events", too_long.c_str()), -1);
  });
  EXPECT_EQ(table_->count, 0);
  EXPECT_NE(err.find("Parameter name too long"), std::string::npos);
  EXPECT_NE(err.find("EVENTS longer than 1023 characters"), std::string::npos);

  EXPECT_EQ(par_set(table_, name31.c_str(), longest.c_str()), 0);
  EXPECT_EQ(get(name31.c_str()), longest);
  // Trailing blanks do not count against the value's length.
  par_set(table_, "events", (longest + "     ").c_str());
  EXPECT_EQ(get("events"), longest);
}

TEST_F(ParTableTest, par_get_absentNameGivesDefaultAndMinusOne) {
  char out[PAR_VALUE_LEN + 1];
  EXPECT_EQ(par_get(table_, "maps", "gain.fits[RHRI_GAIN]", out), -1);
  EXPECT_STREQ(out, "gain.fits[RHRI_GAIN]");
  EXPECT_EQ(par_get_i(table_, "d", 7), 7);
  EXPECT_DOUBLE_EQ(par_get_d(table_, "xpos", 4096.0), 4096.0);
  par_set(table_, "d", "3");
  par_set(table_, "xpos", "4100.5");
  EXPECT_EQ(par_get_i(table_, "D", 7), 3);
  EXPECT_DOUBLE_EQ(par_get_d(table_, "XPOS", 0.0), 4100.5);
}

TEST_F(ParTableTest, par_get_vec_d_separatorsAndMissingElements) {
  const double def[3] = {3, 7, 0.05};
  double a[3];
  double b[3];
  par_set(table_, "ghist", "2,8,0.1");
  par_get_vec_d(table_, "ghist", def, a);
  par_set(table_, "ghist", "2 8 0.1");
  par_get_vec_d(table_, "ghist", def, b);
  for (int k = 0; k < 3; ++k) EXPECT_EQ(a[k], b[k]);
  EXPECT_DOUBLE_EQ(a[0], 2.0);
  EXPECT_DOUBLE_EQ(a[1], 8.0);
  EXPECT_DOUBLE_EQ(a[2], 0.1);

  par_set(table_, "bso", "10 20");
  par_get_vec_d(table_, "bso", def, a);
  EXPECT_DOUBLE_EQ(a[0], 10.0);
  EXPECT_DOUBLE_EQ(a[1], 20.0);
  EXPECT_DOUBLE_EQ(a[2], 0.0);

  par_get_vec_d(table_, "absent", def, a);
  EXPECT_DOUBLE_EQ(a[2], 0.05);
}

TEST_F(ParTableTest, par_set_args_namedBareAndEmptyNames) {
  char w0[] = "varto", w1[] = "events=a.fits", w2[] = "verbose", w3[] = "=x",
       w4[] = "ghist=2 8 0.1";
  char* words[] = {w0, w1, w2, w3, w4};
  par_set_args(words, 5, table_);
  EXPECT_EQ(table_->count, 4);
  EXPECT_EQ(get("events"), "a.fits");
  EXPECT_EQ(get("VERBOSE"), " ");
  EXPECT_EQ(get(""), "x");
  EXPECT_EQ(get("ghist"), "2 8 0.1");
  // Word 0, the program name, never becomes a parameter.
  char out[PAR_VALUE_LEN + 1];
  EXPECT_EQ(par_get_g(table_, "varto", out), -1);
}

TEST_F(ParTableTest, par_list_upperCaseNamesPaddedTo32Columns) {
  par_set(table_, "xpos", "4096");
  par_set(table_, "events", "bas.fits");
  const std::string out = capture_stdout([&] { par_list(table_); });
  EXPECT_EQ(out, std::string("XPOS") + std::string(28, ' ') + " 4096\n" + "EVENTS" +
                     std::string(26, ' ') + " bas.fits\n");
}

TEST_F(ParTableTest, par_read_file_plainLayoutWithCommentsAndBlankLines) {
  const std::string file = write_file("varto.par",
                                      "# varto parameters\n"
                                      "\n"
                                      "events   bas.fits\n"
                                      "   # indented comment\n"
                                      "aspcols TIME,RA_SC,DEC_SC,ROAN_SC\n"
                                      "ghist 2, 8, 0.1\n"
                                      "steps\n");
  par_read_file(file.c_str(), table_);
  EXPECT_EQ(table_->count, 4);
  EXPECT_EQ(get("events"), "bas.fits");
  EXPECT_EQ(get("aspcols"), "TIME,RA_SC,DEC_SC,ROAN_SC");
  EXPECT_EQ(get("ghist"), "2, 8, 0.1");
  EXPECT_EQ(get("steps"), "");
}

TEST_F(ParTableTest, par_read_file_missingFileChangesNothingSilently) {
  par_set(table_, "events", "a.fits");
  std::string out;
  const std::string err = capture_stderr(
      [&] { out = capture_stdout([&] { par_read_file((dir_ / "absent.par").c_str(), table_); }); });
  EXPECT_EQ(out, "");
  EXPECT_EQ(err, "");
  EXPECT_EQ(table_->count, 1);
  // A blank name would mean the terminal: nothing may be read from standard input.
  par_read_file(" ", table_);
  EXPECT_EQ(table_->count, 1);
}

TEST_F(ParTableTest, par_read_file_detectsIrafSyntaxOnlyWhenFirstWordEndsAtFirstComma) {
  const std::string iraf = write_file("iraf.par",
                                      "# comment first\n"
                                      "events,s,a,\"bas.fits\",,,Event file\n");
  const std::string out = capture_stdout([&] { par_read_file(iraf.c_str(), table_); });
  EXPECT_NE(out.find("Detected IRAF syntax: using ORV parameter interface"), std::string::npos);

  par_table* plain = par_alloc(10);
  const std::string spaced = write_file("spaced.par", "aspcols TIME,RA_SC\nevents, b.fits\n");
  const std::string out2 = capture_stdout([&] { par_read_file(spaced.c_str(), plain); });
  EXPECT_EQ(out2.find("Detected IRAF syntax"), std::string::npos);
  char value[PAR_VALUE_LEN + 1];
  par_get_g(plain, "aspcols", value);
  EXPECT_STREQ(value, "TIME,RA_SC");
  par_get_g(plain, "events", value);
  EXPECT_STREQ(value, "b.fits");
  par_free(plain);
}

TEST_F(ParTableTest, par_open_commandLineWinsOverTheFileAndParSelectsTheFile) {
  write_file("my.par", "events b.fits\nxpos 4096\naspect c.fits\n");
  const fs::path here = fs::current_path();
  fs::current_path(dir_);
  char w0[] = "varto", w1[] = "events=a.fits", w2[] = "XPOS=10", w3[] = "par=my.par";
  char* words[] = {w0, w1, w2, w3};
  par_table* t = nullptr;
  capture_stderr([&] { t = par_open("qel", "varto.par", words, 4); });
  fs::current_path(here);
  char value[PAR_VALUE_LEN + 1];
  par_get_g(t, "events", value);
  EXPECT_STREQ(value, "a.fits");
  par_get_g(t, "xpos", value);
  EXPECT_STREQ(value, "10");
  par_get_g(t, "aspect", value);
  EXPECT_STREQ(value, "c.fits");
  EXPECT_STREQ(t->names[1], "XPOS");
  par_free(t);
}

TEST_F(ParTableTest, par_init_readsThePlainFileWithoutTheLibrary) {
  const std::string file = write_file("init.par", "events b.fits\n");
  const std::string par_word = "par=" + file;
  char w0[] = "varto";
  char* words[] = {w0, const_cast<char*>(par_word.c_str())};
  par_table* t = par_init("varto.par", 20, words, 2);
  EXPECT_EQ(t->capacity, 20);
  char value[PAR_VALUE_LEN + 1];
  par_get_g(t, "events", value);
  EXPECT_STREQ(value, "b.fits");
  par_free(t);
}

// Everything par_open cannot take whole stops the run: null, the cause named on
// the error channel, and the last line saying so. A missing file does not.
TEST_F(ParTableTest, par_open_refusesWhatItCannotReadWhole) {
  const std::string longest(PAR_VALUE_LEN, 'p');
  std::string many;
  for (int k = 0; k <= PAR_TABLE_CAPACITY; ++k) many += "p" + std::to_string(k) + " 1\n";
  struct Case {
    const char* what;
    std::string file;  // contents of varto.par; "/" makes it a directory, "" leaves it absent
    std::string word;  // one command-line word
    const char* message;
  } cases[] = {
      {"value beyond the limit", "", "events=" + longest + "x",
       "EVENTS longer than 1023 characters"},
      {"same in the file", "events " + longest + "x\n", "", "EVENTS longer than 1023 characters"},
      {"line beyond the limit", "events " + std::string(PAR_LINE_LEN, 'x') + "\n", "",
       "line 1: field Value"},
      {"binary garbage", "# ok\nev\x01\x7f\xff\x02", "", "line 2: field Name"},
      {"NUL inside a value", std::string("events a.fits\0b.fits\n", 22), "", "line 1: field Value"},
      {"a directory", "/", "", "varto.par: it is a directory"},
      {"a directory for the library", "/", "parkernel=iraf",
       "Cannot read parameter file varto.par"},
      {"malformed IRAF file", "events,f,a,\"bas.fits\" x,,,\n", "", "line 1: field Value"},
      {"more names than the table holds", many, "",
       "Parameter table full (500 names), P500 ignored"},
  };
  const fs::path here = fs::current_path();
  for (const Case& c : cases) {
    fs::remove_all(dir_ / "varto.par");
    if (c.file == "/") {
      fs::create_directory(dir_ / "varto.par");
    } else if (!c.file.empty()) {
      std::ofstream(dir_ / "varto.par", std::ios::binary) << c.file;
    }
    fs::current_path(dir_);
    char w0[] = "varto";
    char* words[] = {w0, const_cast<char*>(c.word.c_str())};
    par_table* t = reinterpret_cast<par_table*>(1);
    std::string err;
    capture_stdout([&] {
      err =
          capture_stderr([&] { t = par_open("qel", "varto.par", words, c.word.empty() ? 1 : 2); });
    });
    fs::current_path(here);
    EXPECT_EQ(t, nullptr) << c.what;
    EXPECT_NE(err.find(c.message), std::string::npos) << c.what << "\n" << err;
    EXPECT_NE(err.find("Parameters could not be read: stopping"), std::string::npos) << c.what;
    // A file that cannot be parsed is named after its line and field.
    if (std::string(c.message).rfind("line ", 0) == 0) {
      EXPECT_NE(err.find("Cannot read parameter file varto.par"), std::string::npos)
          << c.what << "\n"
          << err;
    }
    par_free(t);
  }

  // A value at the limit is taken whole, from the file and the command line; a
  // missing file is no error.
  std::ofstream(dir_ / "long.par") << "events " << longest << "\n";
  fs::current_path(dir_);
  const std::string out_word = "outfile=" + longest;
  char w0[] = "varto", w1[] = "par=long.par";
  char* words[] = {w0, w1, const_cast<char*>(out_word.c_str())};
  par_table* t = par_open("qel", "varto.par", words, 3);
  char w2[] = "par=absent.par";
  char* absent_words[] = {w0, w2};
  par_table* none = par_open("qel", "varto.par", absent_words, 2);
  fs::current_path(here);
  ASSERT_NE(t, nullptr);
  char value[PAR_VALUE_LEN + 1];
  par_get_g(t, "events", value);
  EXPECT_EQ(value, longest);
  par_get_g(t, "outfile", value);
  EXPECT_EQ(value, longest);
  EXPECT_NE(none, nullptr);
  par_free(t);
  par_free(none);
}

}  // namespace
