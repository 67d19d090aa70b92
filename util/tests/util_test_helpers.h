// util_test_helpers.h -- shared set-up for the utility library's tests: a
// fixture that starts the library in a known state and a private temporary
// folder per test.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "util/util.h"
#include "util_int.h"

// Starts the library afresh, so that no test depends on another.
class UtilTest : public testing::Test {
 protected:
  void SetUp() override {
    util_int::reset_state(util_int::Reset::Whole);
    const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
    dir_ = std::filesystem::path(testing::TempDir()) /
           ("util_" + std::string(info->test_suite_name()) + "_" + info->name() + "_" +
            std::to_string(::getpid()));
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  std::string path(const std::string& name) const { return (dir_ / name).string(); }

  std::string write_file(const std::string& name, const std::string& text) const {
    std::string p = path(name);
    std::ofstream(p, std::ios::binary) << text;
    return p;
  }

  static std::string read_file(const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  std::filesystem::path dir_;
};

// Output captured from both standard streams while a callable runs.
struct Captured {
  std::string out;
  std::string err;
};

template <typename F>
Captured capture(F&& f) {
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  f();
  std::fflush(stdout);
  std::fflush(stderr);
  Captured c;
  c.err = testing::internal::GetCapturedStderr();
  c.out = testing::internal::GetCapturedStdout();
  return c;
}
