// chan_int.h -- what the channel files share: the numbers of the terminal
// channels, one open attempt of the channel table, the terminal pager and the
// open options kept with the search path. Not part of the public interface.
#pragma once

#include <cstddef>
#include <string>

namespace util_int {

// Channels bound at load to standard input, output and error.
constexpr int kTermIn = 5;
constexpr int kTermOut = 6;
constexpr int kTermErr = 7;

// --- channel table (chan_table.cpp) ---
// A blank name or "*" names the terminal: opening it opens nothing.
bool is_terminal_name(const char* name);
enum class OpenResult { Opened, Failed, BadMode, Overflow };
// One attempt to open name with a mode name; *chan receives the channel or 0.
OpenResult open_once(const char* name, const char* mode_name, int recl, int* chan);

// --- terminal pager (chan_pager.cpp), the writer behind channel 0 ---
// One full line (n characters of text and a newline); false when the write failed.
bool term_line(const char* text, std::size_t n);
// Text without a line end; the column advances, no line is counted.
bool term_prompt(const char* text, std::size_t n);
// Ends the terminal line when a prompt left the column above 0.
bool term_eol();
// Column reached by prompts on the current terminal line.
int term_pos();
// A terminal read starts a new page and ends a quiet spell.
void term_read_started();

// --- search path and open options (chan_path.cpp, chan_retry.cpp) ---
// The directory of fio_change_dir, put in front of relative names ("" when unset).
const std::string& current_dir();
// True when a failed open asks the user for another name.
bool retry_enabled();

}  // namespace util_int
