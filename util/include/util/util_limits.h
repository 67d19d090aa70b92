// util/util_limits.h -- fixed capacities of the utility library and the common
// text widths used across varto. Capacities are fixed, never grown.
#pragma once

constexpr int UTIL_NAME_LEN = 31;     // names and number texts
constexpr int UTIL_VALUE_LEN = 80;    // parameter values, column names, text file lines
constexpr int UTIL_LINE_LEN = 255;    // lines and file names
constexpr int UTIL_MSG_BUF = 256;     // message routines format into this many bytes
constexpr int UTIL_MAX_PKG = 20;      // debug packages
constexpr int UTIL_MAX_TREE = 20;     // depth of the routine stack
constexpr int UTIL_MAX_VER = 40;      // version registry slots (39 used)
constexpr int UTIL_MAX_CHAN = 100;    // channel table entries
constexpr int UTIL_MAX_PATH = 20;     // QELPATH directory entries
constexpr int UTIL_IO_STACK = 20;     // input and output channel stacks
constexpr int UTIL_NUM_LEN = 31;      // formatted numbers
