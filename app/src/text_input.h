// text_input.h -- the plain-text inputs of a run (the position or region file
// and the gain-steps file), read whole once when opened, so that a pipe serves
// as well as a file, and then served line by line, with the faults that would
// otherwise read as an empty or shortened file refused by name: a folder, a NUL
// byte, a line longer than the readers keep. A UTF-8 byte-order mark at the
// start is skipped.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "region/region.h"

/// The longest line a text input may hold, in characters.
constexpr std::size_t kTextLineLimit = 255;

/// One text input file, opened along the search path. role names it in
/// messages ("position", "steps": "Cannot read position file ...").
class TextInput {
 public:
  TextInput(const char* file, const char* role);

  /// Reads the whole file. False when it could not be opened (no message: the
  /// caller's own), or, after a message naming the file, when it is a folder.
  bool open();
  /// The next line into text (kTextLineLimit + 1 bytes at least); false at the
  /// end of the file, and false with failed() set, after a message naming the
  /// file and line, when the line holds a NUL byte or is too long.
  bool next(char* text, std::size_t size);
  bool failed() const { return failed_; }
  int line_number() const { return line_no_; }
  /// Every line as read (at most REGION_LINE_LIMIT + 1 characters kept of each).
  const std::vector<region_text_line>& lines() const { return lines_; }

 private:
  void refuse(const std::string& what);

  std::string file_;
  std::string role_;
  std::vector<region_text_line> lines_;
  int line_no_ = 0;
  bool failed_ = false;
};
