// tools/fits_edit.cpp -- the tests' own reading and editing of FITS files,
// through CFITSIO directly.
#include "fits_edit.h"

#include <fitsio.h>

#include <filesystem>

namespace sample {

namespace {

// Opens file for writing at its table extname, runs edit, closes it.
int with_table(const std::string& file, const char* extname,
               const std::function<void(fitsfile*, int*)>& edit) {
  fitsfile* f = nullptr;
  int status = 0;
  fits_open_file(&f, file.c_str(), READWRITE, &status);
  fits_movnam_hdu(f, BINARY_TBL, const_cast<char*>(extname), 0, &status);
  if (status == 0) edit(f, &status);
  int close_status = 0;
  if (f != nullptr) fits_close_file(f, &close_status);
  return status != 0 ? status : close_status;
}

}  // namespace

int set_key_str(const std::string& file, const char* extname, const char* key, const char* value) {
  return with_table(file, extname,
                    [&](fitsfile* f, int* st) { fits_update_key_str(f, key, value, nullptr, st); });
}

int set_key_dbl(const std::string& file, const char* extname, const char* key, double value) {
  return with_table(file, extname, [&](fitsfile* f, int* st) {
    fits_update_key_dbl(f, key, value, -15, nullptr, st);
  });
}

int set_key_lng(const std::string& file, const char* extname, const char* key, long value) {
  return with_table(file, extname,
                    [&](fitsfile* f, int* st) { fits_update_key_lng(f, key, value, nullptr, st); });
}

int write_column(const std::string& file, const char* extname, int col,
                 const std::vector<double>& values) {
  return with_table(file, extname, [&](fitsfile* f, int* st) {
    fits_write_col_dbl(f, col, 1, 1, static_cast<LONGLONG>(values.size()),
                       const_cast<double*>(values.data()), st);
  });
}

int rewrite_column(const std::string& file, const char* extname, const char* column,
                   const std::function<void(std::vector<double>&)>& change) {
  return with_table(file, extname, [&](fitsfile* f, int* st) {
    int col = 0;
    long rows = 0;
    int type = 0;
    long repeat = 0;
    long width = 0;
    fits_get_colnum(f, CASEINSEN, const_cast<char*>(column), &col, st);
    fits_get_num_rows(f, &rows, st);
    fits_get_coltype(f, col, &type, &repeat, &width, st);
    if (*st != 0) return;
    std::vector<double> values(static_cast<std::size_t>(rows * repeat));
    fits_read_col_dbl(f, col, 1, 1, static_cast<LONGLONG>(values.size()), 0.0, values.data(),
                      nullptr, st);
    change(values);
    fits_write_col_dbl(f, col, 1, 1, static_cast<LONGLONG>(values.size()), values.data(), st);
  });
}

int keep_rows(const std::string& file, const char* extname, long keep) {
  return with_table(file, extname, [&](fitsfile* f, int* st) {
    long rows = 0;
    fits_get_num_rows(f, &rows, st);
    if (rows > keep) fits_delete_rows(f, keep + 1, rows - keep, st);
  });
}

int replace_column(const std::string& file, const char* extname, const char* column,
                   const char* tform) {
  return with_table(file, extname, [&](fitsfile* f, int* st) {
    int col = 0;
    fits_get_colnum(f, CASEINSEN, const_cast<char*>(column), &col, st);
    fits_delete_col(f, col, st);
    fits_insert_col(f, col, const_cast<char*>(column), const_cast<char*>(tform), st);
  });
}

int append_table(const std::string& file, const char* extname,
                 const std::vector<std::string>& names, const std::vector<std::string>& forms,
                 long rows, const std::vector<std::vector<double>>& values) {
  fitsfile* f = nullptr;
  int status = 0;
  if (std::filesystem::exists(file)) {
    fits_open_file(&f, file.c_str(), READWRITE, &status);
  } else {
    fits_create_file(&f, file.c_str(), &status);
    fits_create_img(f, BYTE_IMG, 0, nullptr, &status);
  }
  std::vector<char*> n;
  std::vector<char*> t;
  for (const std::string& s : names) n.push_back(const_cast<char*>(s.c_str()));
  for (const std::string& s : forms) t.push_back(const_cast<char*>(s.c_str()));
  fits_create_tbl(f, BINARY_TBL, rows, static_cast<int>(n.size()), n.data(), t.data(), nullptr,
                  extname, &status);
  for (std::size_t c = 0; c < values.size(); ++c) {
    fits_write_col_dbl(f, static_cast<int>(c + 1), 1, 1, static_cast<LONGLONG>(values[c].size()),
                       const_cast<double*>(values[c].data()), &status);
  }
  int close_status = 0;
  if (f != nullptr) fits_close_file(f, &close_status);
  return status != 0 ? status : close_status;
}

std::vector<double> read_column(const std::string& file, const std::string& extname,
                                const std::string& column) {
  std::vector<double> values;
  fitsfile* fptr = nullptr;
  int status = 0;
  fits_open_file(&fptr, file.c_str(), READONLY, &status);
  fits_movnam_hdu(fptr, BINARY_TBL, const_cast<char*>(extname.c_str()), 0, &status);
  int colnum = 0;
  fits_get_colnum(fptr, CASEINSEN, const_cast<char*>(column.c_str()), &colnum, &status);
  long rows = 0;
  fits_get_num_rows(fptr, &rows, &status);
  if (status == 0 && rows > 0) {
    values.resize(static_cast<std::size_t>(rows));
    fits_read_col_dbl(fptr, colnum, 1, 1, rows, 0.0, values.data(), nullptr, &status);
  }
  int close_status = 0;
  if (fptr != nullptr) fits_close_file(fptr, &close_status);
  if (status != 0) values.clear();
  return values;
}

double read_key(const std::string& file, const std::string& extname, const std::string& key) {
  fitsfile* fptr = nullptr;
  int status = 0;
  double value = -999.0;
  fits_open_file(&fptr, file.c_str(), READONLY, &status);
  fits_movnam_hdu(fptr, BINARY_TBL, const_cast<char*>(extname.c_str()), 0, &status);
  fits_read_key_dbl(fptr, key.c_str(), &value, nullptr, &status);
  int close_status = 0;
  if (fptr != nullptr) fits_close_file(fptr, &close_status);
  return status == 0 ? value : -999.0;
}

std::string read_header(const std::string& file, int hdu) {
  std::string cards;
  fitsfile* fptr = nullptr;
  int status = 0;
  fits_open_file(&fptr, file.c_str(), READONLY, &status);
  fits_movabs_hdu(fptr, hdu, nullptr, &status);
  int count = 0;
  fits_get_hdrspace(fptr, &count, nullptr, &status);
  char card[FLEN_CARD];
  for (int k = 1; status == 0 && k <= count; ++k) {
    if (fits_read_record(fptr, k, card, &status) == 0) cards += std::string(card) + "\n";
  }
  int close_status = 0;
  if (fptr != nullptr) fits_close_file(fptr, &close_status);
  return cards;
}

}  // namespace sample
