// Shared helpers of the parameter-file tests: a private temporary folder per
// test, small file utilities, and the owner of a list opened by a format reader.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "pfile/pfile.h"
#include "pfile_int.h"

// The library afresh and a new folder under the test temporary directory,
// removed at the end.
class TempDirTest : public testing::Test {
 protected:
  void SetUp() override {
    pfile_detail::reset_state();
    std::string templ = testing::TempDir() + "pfileXXXXXX";
    ASSERT_NE(mkdtemp(templ.data()), nullptr);
    dir_ = templ;
  }
  void TearDown() override {
    std::string cmd = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
  }
  std::string path(const std::string& name) const { return dir_ + "/" + name; }
  std::string write(const std::string& name, const std::string& text) const {
    std::string p = path(name);
    std::ofstream(p, std::ios::binary) << text;
    return p;
  }
  static std::string slurp(const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }
  std::string dir_;
};

// Closes the stream and frees a list when a test ends, whatever its outcome.
struct ListKeeper {
  ParamList* list = nullptr;
  ~ListKeeper() {
    if (list != nullptr && list != ParamFileCant) {
      if (list->file != nullptr) std::fclose(list->file);
      PListFree(list);
    }
  }
};
