// dm/tests/fits_helpers.cpp -- temp folders, CFITSIO file writers and record
// keepers shared by the FITS kernel tests.
#include "fits_helpers.h"

#include <algorithm>
#include <atomic>
#include <filesystem>

#include <unistd.h>

namespace fs = std::filesystem;

TempFolder::TempFolder() {
  static std::atomic<int> serial{0};
  const auto* info = testing::UnitTest::GetInstance()->current_test_info();
  std::string name = info != nullptr ? std::string(info->test_suite_name()) + "_" + info->name()
                                     : std::string("fits");
  std::replace(name.begin(), name.end(), '/', '_');
  dir_ = testing::TempDir() + "varto_dm_" + name + "_" + std::to_string(::getpid()) + "_" +
         std::to_string(serial++);
  fs::create_directories(dir_);
}

TempFolder::~TempFolder() {
  std::error_code ec;
  fs::remove_all(dir_, ec);
}

void write_fits(const std::string& path, const std::function<void(fitsfile*, int*)>& body) {
  fitsfile* f = nullptr;
  int status = 0;
  ffinit(&f, path.c_str(), &status);
  ASSERT_EQ(status, 0) << "cannot create " << path;
  body(f, &status);
  EXPECT_EQ(status, 0) << "CFITSIO failed writing " << path;
  int close_status = 0;
  ffclos(f, &close_status);
  EXPECT_EQ(close_status, 0);
}

void add_table(fitsfile* f, const char* extname, const std::vector<std::string>& names,
               const std::vector<std::string>& forms, int* status) {
  std::vector<char*> ttype;
  std::vector<char*> tform;
  for (const auto& n : names) ttype.push_back(const_cast<char*>(n.c_str()));
  for (const auto& t : forms) tform.push_back(const_cast<char*>(t.c_str()));
  ffcrtb(f, BINARY_TBL, 0, static_cast<int>(names.size()), ttype.data(), tform.data(), nullptr,
         extname, status);
}

void add_card(fitsfile* f, const char* card, int* status) { ffprec(f, card, status); }

std::vector<std::string> list_files(const std::string& dir) {
  std::vector<std::string> files;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, ec); it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    if (ec) break;
    if (it->is_regular_file()) files.push_back(it->path().string());
  }
  std::sort(files.begin(), files.end());
  return files;
}

KernelFile::~KernelFile() {
  for (FITS_Block* b : blocks) FITS_BlockClose(b);
  FITS_DatasetClose(ds);
}

FITS_Block* KernelFile::next(char* name, int* type) {
  auto* b = static_cast<FITS_Block*>(FITS_BlockOpenNext(ds, name, type));
  if (b != nullptr) blocks.push_back(b);
  return b;
}

CfitsioFile::CfitsioFile(const std::string& path) { ffopen(&f, path.c_str(), READONLY, &status); }

CfitsioFile::~CfitsioFile() {
  int s = 0;
  if (f != nullptr) ffclos(f, &s);
}
