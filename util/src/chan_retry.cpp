// chan_retry.cpp -- opening with a second chance: when the retry flag is set, a
// failed open asks on the terminal for another name until one opens or the user
// gives up with Q. The named opens of the channel table all come through here.
#include "util/util.h"

#include <string>

#include "chan_int.h"
#include "util_int.h"

namespace {

constexpr int kReplyLen = UTIL_PATH_LEN + 1;
int& retry = util_int::state.retry;

}  // namespace

bool util_int::retry_enabled() { return retry != 0; }

void fio_set_retry(int flag) { retry = flag; }
int fio_get_retry(void) { return retry; }

int fio_open_retry(const char* name, const char* mode, int recl) {
  if (util_int::is_terminal_name(name)) return 0;
  dbg_push("UTILS IO", "FIO OPEN RETRY");
  std::string current = util_int::trimmed(name, UTIL_PATH_LEN);
  int ch = 0;
  for (;;) {
    util_int::OpenResult r = util_int::open_once(current.c_str(), mode, recl, &ch);
    if (r != util_int::OpenResult::Failed || !retry) break;
    fio_write_prompt(util_int::err_channel(), "OPEN RETRY: Try again, full filename (Q to quit): ");
    char reply[kReplyLen];
    bool got = fio_read(0, reply, sizeof reply) == 1;
    // An end of input abandons too: there is no one left to answer.
    if (!got || cs_eq(reply, "Q") || cs_eq(reply, "q")) {
      std::string text = "OPEN RETRY: Abandoning attempt to open file " + current;
      err_msg(text.c_str());
      break;
    }
    if (util_int::is_terminal_name(reply)) break;
    current = util_int::trimmed(reply, UTIL_PATH_LEN);
  }
  dbg_pop();
  return ch;
}
