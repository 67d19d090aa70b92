// util_int.h -- state shared between the utility library's source files:
// the message channels (tops of the channel stacks, io_stack.cpp) and small
// string helpers. Not part of the public interface.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace util_int {

// Current output, input and error channels of the message routines.
int cur_output();
int cur_input();
int err_channel();

// Length of s without its trailing blanks (null gives 0).
std::size_t trimmed_len(const char* s);
// s without its trailing blanks, cut to at most max characters first.
std::string trimmed(const char* s, std::size_t max = std::string::npos);
// Copies src into dst of size bytes (size >= 1), always terminated.
void copy_bounded(std::string_view src, char* dst, std::size_t size);

}  // namespace util_int
