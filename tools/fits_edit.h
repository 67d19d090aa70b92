// tools/fits_edit.h -- reading FITS files back and editing them in place for
// the tests, straight through CFITSIO so that what a test expects does not
// depend on varto's data model. Each edit opens the file, moves to the binary
// table extname, makes its change and closes the file again; each returns
// CFITSIO's status, 0 on success.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace sample {

/// Sets a string, real (15 significant digits) or integer key of table extname.
int set_key_str(const std::string& file, const char* extname, const char* key, const char* value);
int set_key_dbl(const std::string& file, const char* extname, const char* key, double value);
int set_key_lng(const std::string& file, const char* extname, const char* key, long value);
/// Writes values into column col (1-based) from row 1 on.
int write_column(const std::string& file, const char* extname, int col,
                 const std::vector<double>& values);
/// Reads the real column whole (every element of every row), lets change alter
/// it, and writes it back in place.
int rewrite_column(const std::string& file, const char* extname, const char* column,
                   const std::function<void(std::vector<double>&)>& change);
/// Deletes every row after the first keep.
int keep_rows(const std::string& file, const char* extname, long keep);
/// Replaces the column of that name by an empty one of the same name with the given TFORM.
int replace_column(const std::string& file, const char* extname, const char* column,
                   const char* tform);
/// Appends a binary table extname with columns names of forms, and the given
/// values (one vector per column, row by row; fewer vectors leave columns empty).
/// A missing file is created first with an empty primary array.
int append_table(const std::string& file, const char* extname,
                 const std::vector<std::string>& names, const std::vector<std::string>& forms,
                 long rows, const std::vector<std::vector<double>>& values);

/// A column of 64-bit reals of the table extname (empty when it cannot be read).
std::vector<double> read_column(const std::string& file, const std::string& extname,
                                const std::string& column);
/// A real key of the table extname, or -999 when it cannot be read.
double read_key(const std::string& file, const std::string& extname, const std::string& key);
/// Every card of HDU number hdu (1 is the primary header), one a line.
std::string read_header(const std::string& file, int hdu);

}  // namespace sample
