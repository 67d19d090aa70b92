// The plain-text inputs of a run, read whole once and served line by line with
// their faults refused.
#include "text_input.h"

#include <sys/stat.h>

#include <cctype>
#include <cstring>
#include <string_view>

#include "util/util.h"

TextInput::TextInput(const char* file, const char* role) : file_(file), role_(role) {}

void TextInput::refuse(const std::string& what) {
  const std::string line = "Cannot read " + role_ + " file " + file_ + ": " + what;
  tmsg(line.c_str());
  failed_ = true;
}

bool TextInput::open() {
  const int channel = fio_open_r(file_.c_str());
  if (channel == 0) return false;
  // A folder opens for reading and reads as an empty file.
  struct stat st {};
  if (::fstat(fio_get_cfd(channel), &st) == 0 && S_ISDIR(st.st_mode)) {
    fio_close(channel);
    refuse("it is a directory");
    return false;
  }
  char text[REGION_LINE_LIMIT + 2];
  std::size_t length = 0;
  while (fio_read_len(channel, text, sizeof text, &length) != 0) lines_.push_back({text, length});
  fio_close(channel);
  constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
  if (!lines_.empty() && lines_.front().text.starts_with(kByteOrderMark)) {
    lines_.front().text.erase(0, kByteOrderMark.size());
    lines_.front().length -= kByteOrderMark.size();
  }
  return true;
}

bool TextInput::next(char* text, std::size_t size) {
  if (failed_ || static_cast<std::size_t>(line_no_) >= lines_.size() || size == 0) return false;
  const region_text_line& line = lines_[static_cast<std::size_t>(line_no_++)];
  const std::size_t kept = std::min(line.text.size(), size - 1);
  std::memcpy(text, line.text.data(), kept);
  text[kept] = '\0';
  if (line.length > kTextLineLimit) {
    std::string message = role_ + " line too long in " + file_ + " line " +
                          std::to_string(line_no_) + " (more than " +
                          std::to_string(kTextLineLimit) + " characters)";
    message[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(message[0])));
    tmsg(message.c_str());
    failed_ = true;
    return false;
  }
  if (kept < line.length) {
    refuse("line " + std::to_string(line_no_) + " holds a NUL byte");
    return false;
  }
  return true;
}
