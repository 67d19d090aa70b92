// io_stack.cpp -- the message channels: the stacks of current input and output
// channels (20 levels each) and the error channel that msg, err_msg and
// io_input write through. A pop closes the channel it leaves unless it is the
// terminal's.
#include "util/util.h"

#include <cstdio>

#include "chan_int.h"
#include "util_int.h"

namespace {

util_int::IoStacks& io = util_int::state.io;

using util_int::kTermErr;
using util_int::kTermIn;
using util_int::kTermOut;

}  // namespace

namespace util_int {
int cur_output() { return io.output[static_cast<std::size_t>(io.olevel - 1)]; }
int cur_input() { return io.input[static_cast<std::size_t>(io.ilevel - 1)]; }
int err_channel() { return io.err; }
}  // namespace util_int

void io_init(void) {
  io.ilevel = 1;
  io.olevel = 1;
  io.input[0] = kTermIn;
  io.output[0] = kTermOut;
  io.err = kTermErr;
}

void io_out(int ch) {
  io.output[static_cast<std::size_t>(io.olevel - 1)] = ch == 0 ? kTermOut : ch;
}
void io_in(int ch) { io.input[static_cast<std::size_t>(io.ilevel - 1)] = ch == 0 ? kTermIn : ch; }
void io_err(int ch) { io.err = ch == 0 ? kTermErr : ch; }
int io_chan(int flag) { return flag ? util_int::cur_output() : util_int::cur_input(); }
int io_input(char* buf, int size) { return fio_read(util_int::cur_input(), buf, size); }
int tty_input(char* buf, int size) { return fio_read(0, buf, size); }

void io_print_state(void) {
  char line[64];
  msg(" ");
  dashline(40);
  msg(" RIRADE Basic IO (BIO) Status ");
  dashline(40);
  std::snprintf(line, sizeof line, "  Input Channel:  %ld",
                static_cast<long>(util_int::cur_input()));
  msg(line);
  std::snprintf(line, sizeof line, "  Output Channel: %ld",
                static_cast<long>(util_int::cur_output()));
  msg(line);
  std::snprintf(line, sizeof line, "  Error Channel:  %ld", static_cast<long>(io.err));
  msg(line);
}

void io_ipush(int ch) {
  if (io.ilevel >= UTIL_IO_STACK)
    err_msg("Too many files on input IO stack");
  else
    ++io.ilevel;
  io.input[static_cast<std::size_t>(io.ilevel - 1)] = ch;
}

void io_opush(int ch) {
  if (io.olevel >= UTIL_IO_STACK)
    err_msg("Too many files on output IO stack");
  else
    ++io.olevel;
  io.output[static_cast<std::size_t>(io.olevel - 1)] = ch;
}

void io_ipop(void) {
  int cur = util_int::cur_input();
  if (!fio_int(cur)) fio_close(cur);
  if (--io.ilevel < 1) {
    io.ilevel = 1;
    io.input[0] = kTermIn;
  }
}

void io_opop(void) {
  int cur = util_int::cur_output();
  if (!fio_int(cur)) fio_close(cur);
  if (--io.olevel < 1) {
    io.olevel = 1;
    io.output[0] = kTermOut;
    dmsg(1, "Output to *");
  }
}
