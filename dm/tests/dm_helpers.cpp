// dm/tests/dm_helpers.cpp -- the data-model test fixtures (see dm_helpers.h).
#include "dm_helpers.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>

#include "util/util.h"

namespace dmtest {

namespace fs = std::filesystem;

Folder::Folder() {
  static std::atomic<int> serial{0};
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = info != nullptr ? std::string(info->test_suite_name()) + "_" + info->name()
                                     : std::string("dm");
  std::replace(name.begin(), name.end(), '/', '_');
  dir_ = ::testing::TempDir() + "varto_dm_" + name + "_" + std::to_string(::getpid()) + "_" +
         std::to_string(serial++);
  fs::create_directories(dir_);
}

Folder::~Folder() {
  std::error_code ec;
  fs::remove_all(dir_, ec);
}

void writeFits(const std::string& path, const std::function<void(fitsfile*, int*)>& body) {
  fitsfile* f = nullptr;
  int status = 0;
  std::string name = "!" + path;
  fits_create_file(&f, name.c_str(), &status);
  ASSERT_EQ(status, 0) << "create " << path;
  body(f, &status);
  EXPECT_EQ(status, 0) << "writing " << path;
  int cstatus = 0;
  fits_close_file(f, &cstatus);
  ASSERT_EQ(cstatus, 0) << "close " << path;
}

void addTable(fitsfile* f, const char* extname, const std::vector<Column>& cols, long nrows,
              int* status) {
  std::vector<char*> names, forms, units;
  for (const Column& c : cols) {
    names.push_back(const_cast<char*>(c.name.c_str()));
    forms.push_back(const_cast<char*>(c.form.c_str()));
    units.push_back(const_cast<char*>(c.unit.c_str()));
  }
  fits_create_tbl(f, BINARY_TBL, nrows, static_cast<int>(cols.size()), names.data(), forms.data(),
                  units.data(), extname, status);
}

void putColumn(fitsfile* f, int col, const std::vector<double>& values, int* status) {
  fits_write_col(f, TDOUBLE, col, 1, 1, static_cast<LONGLONG>(values.size()),
                 const_cast<double*>(values.data()), status);
}

void addEmptyPrimary(fitsfile* f, int* status) { fits_create_img(f, BYTE_IMG, 0, nullptr, status); }

void addCard(fitsfile* f, const char* card, int* status) { fits_write_record(f, card, status); }

void writeEventFile(const std::string& path) {
  writeFits(path, [](fitsfile* f, int* st) {
    addEmptyPrimary(f, st);
    addTable(f, "STDEVT", {{"TIME", "1D", "s"}, {"X", "1E", "pixel"}, {"Y", "1E", "pixel"}}, 3, st);
    putColumn(f, 1, {100.5, 101.25, 102.0}, st);
    putColumn(f, 2, {4096, 4100, 4200}, st);
    putColumn(f, 3, {4097, 4000, 3900}, st);
    double mjdreff = 0.5;
    int mjdrefi = 48043;
    fits_write_key(f, TDOUBLE, "MJDREFF", &mjdreff, "fraction", st);
    fits_write_key(f, TINT, "MJDREFI", &mjdrefi, "integer day", st);
    double crpix = 4096.5, crval = 150.25, cdelt = -1.38e-4;
    fits_write_key(f, TDOUBLE, "TCRPX2", &crpix, nullptr, st);
    fits_write_key(f, TDOUBLE, "TCRVL2", &crval, nullptr, st);
    fits_write_key(f, TDOUBLE, "TCDLT2", &cdelt, nullptr, st);
    addTable(f, "STDGTI", {{"START", "1D", "s"}, {"STOP", "1D", "s"}}, 2, st);
    putColumn(f, 1, {10.0, 30.0}, st);
    putColumn(f, 2, {20.0, 45.0}, st);
  });
}

std::string corpus(const std::string& rel) {
  return std::string(VARTO_CORPUS_DIR) + "/fits/" + rel;
}

std::vector<std::string> listFiles(const std::string& dir) {
  std::vector<std::string> out;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    if (it->is_regular_file(ec)) out.push_back(it->path().string());
  }
  std::sort(out.begin(), out.end());
  return out;
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

CfitsioFile::CfitsioFile(const std::string& path) {
  fits_open_file(&f, path.c_str(), READONLY, &status);
}

CfitsioFile::~CfitsioFile() {
  int s = 0;
  if (f != nullptr) fits_close_file(f, &s);
}

void DmFixture::SetUp() {
  rirade_init();
  dbg_set(0);
  dmInit(0);
}

void DmFixture::TearDown() { dbg_set(0); }

}  // namespace dmtest
