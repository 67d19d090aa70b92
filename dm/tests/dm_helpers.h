// dm/tests/dm_helpers.h -- fixtures shared by the data-model and FITS kernel
// tests: a private temp folder per test, FITS files written straight through
// CFITSIO (so expected values never depend on the code under test), and
// keepers that close datasets and kernel records when an assertion ends a
// test early.
#pragma once

#include <fitsio.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "dm_int.h"
#include "fits_int.h"

namespace dmtest {

/// A unique folder under the gtest temp dir, removed with its files at exit.
class Folder {
 public:
  Folder();
  ~Folder();
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;
  std::string path(const std::string& name) const { return dir_ + "/" + name; }

 private:
  std::string dir_;
};

/// One binary-table column: name, TFORM and unit.
struct Column {
  std::string name;
  std::string form;
  std::string unit;
};

/// Creates a new FITS file at path; body adds HDUs and cards. Fails the test
/// when CFITSIO reports an error.
void writeFits(const std::string& path, const std::function<void(fitsfile*, int*)>& body);

/// Appends a binary table of nrows rows (cells zero) with the given columns;
/// a blank unit writes no TUNIT card.
void addTable(fitsfile* f, const char* extname, const std::vector<Column>& cols, long nrows,
              int* status);

/// Writes a column of doubles (converted by CFITSIO to the column's type) from row 1.
void putColumn(fitsfile* f, int col, const std::vector<double>& values, int* status);

/// Appends an empty primary array (NAXIS 0).
void addEmptyPrimary(fitsfile* f, int* status);

/// Appends one raw 80-column card to the current HDU.
void addCard(fitsfile* f, const char* card, int* status);

/// Writes a file with an empty primary and tables "STDEVT" (TIME, X, Y; 3 rows)
/// and "STDGTI" (START, STOP; 2 rows), values as listed in dm_helpers.cpp.
void writeEventFile(const std::string& path);

/// Path of a file of the shared FITS corpus, given relative to its folder.
std::string corpus(const std::string& rel);

/// Every regular file below dir, recursively, in sorted order.
std::vector<std::string> listFiles(const std::string& dir);

/// Closes the dataset at scope exit unless released.
struct DatasetKeeper {
  dmDataset* ds = nullptr;
  explicit DatasetKeeper(dmDataset* d) : ds(d) {}
  ~DatasetKeeper() { dmDatasetClose(ds); }
  DatasetKeeper(const DatasetKeeper&) = delete;
  DatasetKeeper& operator=(const DatasetKeeper&) = delete;
  dmDataset* release() {
    dmDataset* d = ds;
    ds = nullptr;
    return d;
  }
};

/// Closes the kernel dataset (and any blocks still held) at scope exit.
struct KernelFile {
  FITS_Dataset* ds = nullptr;
  std::vector<FITS_Block*> blocks;
  explicit KernelFile(void* kds) : ds(static_cast<FITS_Dataset*>(kds)) {}
  ~KernelFile();
  KernelFile(const KernelFile&) = delete;
  KernelFile& operator=(const KernelFile&) = delete;
  /// Next block through slot 4, held until the keeper closes; null at the end.
  FITS_Block* next(char* name, int* type);
};

/// The CFITSIO view of a file written by the code under test, for checking it back.
struct CfitsioFile {
  fitsfile* f = nullptr;
  int status = 0;
  explicit CfitsioFile(const std::string& path);
  ~CfitsioFile();
  CfitsioFile(const CfitsioFile&) = delete;
  CfitsioFile& operator=(const CfitsioFile&) = delete;
};

/// Base fixture: library start-up, debug level 0, a fresh data model and a folder.
class DmFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  Folder folder;
};

}  // namespace dmtest
