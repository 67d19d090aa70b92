// dm/tests/fits_helpers.h -- fixtures for the FITS kernel tests: a private temp
// folder per test, small FITS files written straight through CFITSIO, and
// keepers that release kernel records when an assertion ends a test early.
#pragma once

#include <fitsio.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "fits_int.h"

/// A unique folder under the gtest temp dir, removed with its files at exit.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  std::string path(const std::string& name) const { return dir_ + "/" + name; }

 private:
  std::string dir_;
};

/// Writes a new FITS file at path; body adds HDUs and cards. Fails the test
/// when CFITSIO reports an error.
void write_fits(const std::string& path, const std::function<void(fitsfile*, int*)>& body);

/// Appends a binary table with the given columns and rows 0 to the open file.
void add_table(fitsfile* f, const char* extname, const std::vector<std::string>& names,
               const std::vector<std::string>& forms, int* status);

/// Appends one raw 80-column card to the current HDU.
void add_card(fitsfile* f, const char* card, int* status);

/// Every file below dir, recursively, in sorted order.
std::vector<std::string> list_files(const std::string& dir);

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

/// The CFITSIO view of a file written by the kernel, for checking it back.
struct CfitsioFile {
  fitsfile* f = nullptr;
  int status = 0;
  explicit CfitsioFile(const std::string& path);
  ~CfitsioFile();
  CfitsioFile(const CfitsioFile&) = delete;
  CfitsioFile& operator=(const CfitsioFile&) = delete;
};
