// util_int.h -- what the utility library's source files share: its state
// record, the message channels (tops of the channel stacks, io_stack.cpp) and
// small string helpers. Not part of the public interface.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "util/util.h"

namespace util_int {

// --- the library state: every value the library changes while it runs ---

// Message channels (io_stack.cpp): stacks of current input and output channels.
struct IoStacks {
  std::array<int, UTIL_IO_STACK> input{};
  std::array<int, UTIL_IO_STACK> output{};
  int ilevel = 1;
  int olevel = 1;
  int err = 0;  // 0 before io_init: messages then go to the terminal
};

// The terminal pager (chan_pager.cpp).
struct Terminal {
  int pos = 0;  // column reached by prompts on the current line
  bool pager_on = false;
  int page_len = 40;
  int line = 0;        // lines written on the current page
  bool quiet = false;  // set by a 'q' reply, cleared by the next terminal read
};

// The QELPATH search path and the current directory (chan_path.cpp).
struct PathState {
  char entries[UTIL_MAX_PATH][UTIL_LINE_LEN + 1] = {};
  int npath = 0;
  std::string dir;  // current directory string of fio_change_dir
};

// One entry of the channel table (chan_table.cpp).
struct Channel {
  char name[UTIL_PATH_LEN + 1] = " ";
  char type[13] = " ";  // mode name
  int status = 0;       // 0 free, 1 open and good, -1 end of file or error
  int lineno = 0;
  int pos = 0;
  int recl = 0;
  int fd = -1;
  FILE* fp = nullptr;
};

struct ChanTable {
  std::array<Channel, UTIL_MAX_CHAN + 1> ch{};  // entry 0 unused: channel 0 is the terminal
  int nfiles = 7;
  bool ready = false;  // the standard streams are entered on first use
};

// Debug levels and the routine stack (msg.cpp).
struct DebugState {
  long global = 0;
  char pkgnam[UTIL_MAX_PKG][UTIL_NAME_LEN + 1] = {};
  long pkglev[UTIL_MAX_PKG] = {};
  int npkg = 0;
  int ntree = 0;
  int tree_num[UTIL_MAX_TREE] = {};  // package index, -1 when the package list was full
  char tree_rtn[UTIL_MAX_TREE][UTIL_NAME_LEN + 1] = {};
  int ignored = 0;  // pushes beyond the stack depth, waiting for their pops
  bool trace = false;
};

// The version registry (msg.cpp).
struct Versions {
  char program[UTIL_MAX_VER][UTIL_VALUE_LEN + 1] = {};
  char version[UTIL_MAX_VER][UTIL_NAME_LEN + 1] = {};
  int nver = 0;
};

// Command-token buffers and unit registers (msg.cpp): set up empty at start-up
// for the command processor and the unit register, which varto itself does not use.
constexpr int kTpioBuffers = 5;
constexpr int kTpioLen = 512;
constexpr int kUnits = 20;
struct TokenBuffers {
  char buf[kTpioBuffers][kTpioLen + 1] = {};
  const char* ptr[kTpioBuffers] = {};
};
struct UnitRegister {
  char name[kUnits][UTIL_NAME_LEN + 1] = {};
  double factor[kUnits] = {};
  int n = 0;
};

// Null and infinity values of each numeric type (num.cpp), set by nan_init.
struct Specials {
  int16_t s[3] = {0, 0, 0};  // null, plus infinity, minus infinity
  int32_t i[3] = {0, 0, 0};
  float r[3] = {0.0f, 0.0f, 0.0f};
  double d[3] = {0.0, 0.0, 0.0};
};

// The tokeniser's special characters (str.cpp), indexed by ESC_….
struct EscEntry {
  char current;
  char deflt;
  const char* name;
};

struct UtilState {
  // Set by the start-up, each by its own step of rirade_layer1_init.
  Specials specials;
  IoStacks io;
  EscEntry esc[10] = {
      {'\\', '\\', "ESC"},  {'(', '(', "LPAR"}, {')', ')', "RPAR"}, {',', ',', "WORD"},
      {';', ';', "STRING"}, {'$', '$', "SYS"},  {'$', '$', "CONT"}, {'#', '#', "CMT"},
      {'$', '$', "MACRO"},  {' ', ' ', "ARG"},
  };
  PathState paths;  // the search path; its current directory lives from load
  TokenBuffers tpio;
  UnitRegister units[2];
  // Live from load: the start-up leaves them as they are.
  Versions ver;
  int retry = 0;  // fio_set_retry
  ChanTable chans;
};

// The one instance.
extern UtilState state;

// Each thread's own: its debug levels and routine stack, its terminal column
// and pager, and where its messages go. A run on one thread neither sees nor
// changes another's.
extern thread_local DebugState dbg;
extern thread_local Terminal term;

// This thread's sink (util_set_sink): null for the standard streams.
struct Sink {
  util_sink_fn fn = nullptr;
  void* context = nullptr;
  int column[2] = {0, 0};  // prompt columns of the sink's output and error text
};
extern thread_local Sink sink;

enum class Reset {
  StartUp,  // what rirade_layer1_init sets up, in its order; the rest is kept
  Whole,    // every open file channel closed, everything as at load, then rirade_init
};
// Puts the state back. The start-up uses StartUp; tests use Whole so that no
// test depends on another.
void reset_state(Reset what);

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

// Fills the n characters at out with the random letters and digits of a name of
// sys_own_file. Tests put a fixed sequence in its place.
using OwnLetters = void (*)(char* out, std::size_t n);
extern OwnLetters own_letters;

}  // namespace util_int
