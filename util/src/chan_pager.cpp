// chan_pager.cpp -- the terminal, channel 0: full lines and prompts written to
// standard output through the pager, which counts lines modulo the page length
// and, when paging is on, waits for Return at the end of each page.
#include "util/util.h"

#include <cstdio>

#include "chan_int.h"
#include "util_int.h"

using util_int::term;

thread_local util_int::Terminal util_int::term;

namespace util_int {

bool term_line(const char* text, std::size_t n) {
  if (term.quiet) return true;
  bool ok = util_stream_write(stdout, text, n) && util_stream_write(stdout, "\n", 1);
  term.pos = 0;
  term.line = (term.line + 1) % term.page_len;
  if (term.pager_on && term.line == 0) {
    util_stream_write(stdout, "--Press Return to Continue--", 28);
    int c = std::getc(stdin);
    if (c == 'q' || c == 'Q') term.quiet = true;
    // The reply is one character; the rest of its line is not a later answer.
    while (c != '\n' && c != EOF) c = std::getc(stdin);
  }
  return ok;
}

bool term_prompt(const char* text, std::size_t n) {
  if (term.quiet) return true;
  const bool ok = util_stream_write(stdout, text, n);
  term.pos += static_cast<int>(n);
  return ok;
}

bool term_eol() { return term.pos > 0 ? term_line("", 0) : true; }

int term_pos() { return term.pos; }

void term_read_started() {
  term.line = 0;
  term.quiet = false;
}

}  // namespace util_int

void pager_set(int flag) { term.pager_on = flag != 0; }

// A page length below 1 is ignored: the line counter runs modulo it.
void pager_set_length(int n) {
  if (n >= 1) term.page_len = n;
}

void pager_print_state(void) {
  char line[64];
  std::snprintf(line, sizeof line, "  Pager:       %s", term.pager_on ? "ON" : "OFF");
  msg(line);
  std::snprintf(line, sizeof line, "  Page length: %d", term.page_len);
  msg(line);
  std::snprintf(line, sizeof line, "  Line:        %d", term.line);
  msg(line);
  std::snprintf(line, sizeof line, "  Quiet:       %s", term.quiet ? "ON" : "OFF");
  msg(line);
}
