// util/util_limits.h -- fixed capacities of the utility library and the common
// text widths used across varto. Capacities are fixed, never grown: a full
// table takes its documented failure path instead. Each value says why it is
// what it is; a width counts characters, its buffer holds one more.
#pragma once

// Names (debug packages, routines, parameters) and number texts: 31 characters
// fill a 32-byte slot, ample for a name; longer names are cut to it.
constexpr int UTIL_NAME_LEN = 31;
// Parameter values, column names and text-file lines: a FITS header card is 80
// columns, so no name or value read from a header is wider.
constexpr int UTIL_VALUE_LEN = 80;
// Lines: 255 characters fill a 256-byte buffer with the terminator.
constexpr int UTIL_LINE_LEN = 255;
// File names given to the channels: parameter values hold 1023 characters, and
// archive paths routinely pass 255, so a channel never opens a cut name.
constexpr int UTIL_PATH_LEN = 1023;
// Buffer a caller formats one message line into before msg, tmsg or err_msg:
// a line and its terminator (the message routines write longer text whole).
constexpr int UTIL_MSG_BUF = 256;
// Debug packages: each library and the program register one or two; 20 leaves
// room, and the 21st is refused with an overflow line.
constexpr int UTIL_MAX_PKG = 20;
// Depth of the routine stack: routines nest a few levels; deeper pushes are
// counted and ignored, so the stack shows the 20 outer routines.
constexpr int UTIL_MAX_TREE = 20;
// Version registry slots; only 39 are used: once 39 are held each new package
// overwrites entry 39, so the earliest registrations (the libraries) are kept.
constexpr int UTIL_MAX_VER = 40;
// Channel table entries: channel numbers are small integers; 100 covers every
// file a run holds at once and stays well under the process's descriptor limit.
constexpr int UTIL_MAX_CHAN = 100;
// QELPATH directory entries: more are reported once and ignored.
constexpr int UTIL_MAX_PATH = 20;
// Levels of the input and output channel stacks, the nesting of redirected
// input and output; a push beyond replaces the top with a message.
constexpr int UTIL_IO_STACK = 20;
// Formatted numbers: the short form of a real needs at most 13 characters and
// a 32-bit integer 11, so 31 (a name's width) always holds them.
constexpr int UTIL_NUM_LEN = 31;
