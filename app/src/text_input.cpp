// The plain-text inputs of a run, read line by line with their faults refused.
#include "text_input.h"

#include <sys/stat.h>

#include <cctype>
#include <cstring>

#include "util/util.h"

TextInput::TextInput(const char* file, const char* role) : file_(file), role_(role) {}

TextInput::~TextInput() {
  if (channel_ != 0) fio_close(channel_);
}

void TextInput::refuse(const std::string& what) {
  const std::string line = "Cannot read " + role_ + " file " + file_ + ": " + what;
  tmsg(line.c_str());
  failed_ = true;
}

bool TextInput::open() {
  channel_ = fio_open_r(file_.c_str());
  if (channel_ == 0) return false;
  // A folder opens for reading and reads as an empty file.
  struct stat st {};
  if (::fstat(fio_get_cfd(channel_), &st) == 0 && S_ISDIR(st.st_mode)) {
    refuse("it is a directory");
    return false;
  }
  return true;
}

bool TextInput::next(char* text, std::size_t size) {
  if (channel_ == 0 || failed_) return false;
  std::size_t length = 0;
  if (fio_read_len(channel_, text, static_cast<int>(size), &length) == 0) return false;
  ++line_no_;
  const std::size_t kept = std::strlen(text);
  if (length > kTextLineLimit) {
    std::string line = role_ + " line too long in " + file_ + " line " + std::to_string(line_no_) +
                       " (more than " + std::to_string(kTextLineLimit) + " characters)";
    line[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(line[0])));
    tmsg(line.c_str());
    failed_ = true;
    return false;
  }
  if (kept < length) {
    refuse("line " + std::to_string(line_no_) + " holds a NUL byte");
    return false;
  }
  return true;
}
