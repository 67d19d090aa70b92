// Fixture of the tests of open parameter files: a private folder, the search
// variables cleared, and small helpers to open and read back files.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <string>

#include "pfile/pfile.h"
#include "pfile_test_helpers.h"

class PfileAccessTest : public TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    cwd_ = cwd;
    for (const char* v : {"PDIRS", "PFILES", "UPARM", "PFEXTN", "PINCLASSDB"}) {
      unsetenv(v);
    }
  }
  void TearDown() override {
    pfile_detail::reset_state();  // closes the files still open
    ASSERT_EQ(chdir(cwd_.c_str()), 0);
    TempDirTest::TearDown();
  }
  // Opens the file name (in the test folder) with mode.
  ParamFile* open(const std::string& name, const char* mode) {
    return c_paramopen(path(name).c_str(), nullptr, 0, mode);
  }
  // The value as c_pgetstr gives it (exit-on-error must be off for failures).
  static std::string get(ParamFile* pf, const char* name) {
    char buf[ParamFieldSize + 1] = {};
    if (c_pgetstr(pf, name, buf, ParamFieldSize) == nullptr) {
      return "<fail>";
    }
    return buf;
  }
  // The raw result of ParamGetX as text with the file's mode; failed(parerr) when null.
  static std::string getx(ParamFile* pf, const char* name) {
    parerr = PARAM_OK;
    const void* got = ParamGetX(pf, name, StringType, &pf->mode);
    if (got == nullptr) {
      return failed(parerr);
    }
    return static_cast<const char*>(got);
  }
  static std::string failed(int code) { return "<fail:" + std::to_string(code) + ">"; }
  std::string cwd_;
};

// The same with exit-on-error off, for tests whose gets and puts are meant to fail.
class PfileQuietTest : public PfileAccessTest {
 protected:
  void SetUp() override {
    PfileAccessTest::SetUp();
    set_paramerror(0);
  }
};
