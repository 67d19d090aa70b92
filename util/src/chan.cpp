// chan.cpp -- numbered file and terminal channels: the process-wide channel
// table with its mode names, the QELPATH directory search, line reading and
// writing, the terminal pager, the retry prompt and the stacks of current input
// and output channels that the message routines write through.
#include "util/util.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <string>

#include "util_int.h"

namespace {

constexpr std::size_t kNameLen = 256;
constexpr std::size_t kTypeLen = 12;
constexpr std::size_t kPiece = 1023;  // a long line is written in pieces of this size
constexpr int kTermIn = 5;
constexpr int kTermOut = 6;
constexpr int kTermErr = 7;

struct Channel {
  char name[kNameLen] = " ";
  char type[kTypeLen + 1] = " ";
  int status = 0;  // 0 free, 1 open and good, -1 end of file or error
  int lineno = 0;
  int pos = 0;
  int recl = 0;
  int fd = -1;
  FILE* fp = nullptr;
};

struct ChanTable {
  std::array<Channel, UTIL_MAX_CHAN + 1> ch{};  // entry 0 unused: channel 0 is the terminal
  int nfiles = 7;
};

void set_entry(Channel& c, const char* name, const char* type, int fd, FILE* fp) {
  util_int::copy_bounded(name, c.name, sizeof c.name);
  util_int::copy_bounded(type, c.type, sizeof c.type);
  c.status = 1;
  c.lineno = 0;
  c.pos = 0;
  c.recl = 0;
  c.fd = fd;
  c.fp = fp;
}

ChanTable& table() {
  static ChanTable t = [] {
    ChanTable init;
    set_entry(init.ch[kTermIn], "- TTY IN -", "SEQ R", STDIN_FILENO, stdin);
    set_entry(init.ch[kTermOut], "- TTY OUT-", "SEQ W", STDOUT_FILENO, stdout);
    set_entry(init.ch[kTermErr], "- TTY ERR-", "SEQ W", STDERR_FILENO, stderr);
    return init;
  }();
  return t;
}

Channel* entry(int ch) {
  if (ch < 1 || ch > UTIL_MAX_CHAN) return nullptr;
  Channel& c = table().ch[static_cast<std::size_t>(ch)];
  return c.status == 0 ? nullptr : &c;
}

bool is_std_stream(const FILE* fp) { return fp == stdin || fp == stdout || fp == stderr; }

// Terminal (channel 0) and pager state.
struct Terminal {
  int pos = 0;
  bool pager_on = false;
  int page_len = 40;
  int line = 0;
  bool quiet = false;
};
Terminal term;

// Message channel stacks.
struct IoStacks {
  std::array<int, UTIL_IO_STACK> input{};
  std::array<int, UTIL_IO_STACK> output{};
  int ilevel = 1;
  int olevel = 1;
  int err = 0;
};
IoStacks io;

// Search path and open options.
struct PathState {
  char entries[UTIL_MAX_PATH][UTIL_LINE_LEN + 1] = {};
  int npath = 0;
  std::string dir;  // current directory string of fio_change_dir
  int retry = 0;
};
PathState paths;

struct Mode {
  const char* name;
  const char* stream_mode;  // null for a descriptor (CIO) mode
  int flags;
  bool searched;
};
constexpr Mode kModes[] = {
    {"SEQ R", "r", 0, true},   {"SEQ W", "w", 0, false},
    {"SEQ A", "a", 0, true},   {"SIO R", "r", 0, true},
    {"SIO W", "w", 0, false},  {"SIO RW", "r+", 0, true},
    {"CIO R", nullptr, O_RDONLY, true},
    {"CIO W", nullptr, O_WRONLY | O_CREAT | O_TRUNC, false},
    {"CIO RW", nullptr, O_RDWR, true},
};

const Mode* find_mode(const char* name) {
  for (const Mode& m : kModes)
    if (cs_eq(name, m.name)) return &m;
  return nullptr;
}

bool exists(const std::string& path) {
  struct stat st;
  return !path.empty() && ::stat(path.c_str(), &st) == 0;
}

bool write_all(int fd, const char* p, std::size_t n) {
  while (n > 0) {
    ssize_t w = ::write(fd, p, n);
    if (w <= 0) return false;
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

// Writes raw bytes on a channel entry: its stream, or its descriptor for CIO.
bool put_bytes(Channel& c, const char* p, std::size_t n) {
  if (n == 0) return true;
  // Text that callers printed directly on stdout comes before an error line.
  if (c.fp == stderr) std::fflush(stdout);
  if (c.fp != nullptr) return std::fwrite(p, 1, n, c.fp) == n;
  return c.fd >= 0 && write_all(c.fd, p, n);
}

// Standard streams are flushed after every write so that lines written here
// and text printed directly by callers, on stdout and stderr, keep their order.
bool finish_write(Channel& c, bool ok) {
  if (ok && c.fp != nullptr && is_std_stream(c.fp)) ok = std::fflush(c.fp) == 0;
  c.status = ok ? 1 : -1;
  return ok;
}

// Reads one line: from a stream, or byte by byte from a descriptor. Characters
// beyond size-1 are consumed and dropped. False at end of file with nothing read.
bool get_line(FILE* fp, int fd, char* buf, int size) {
  std::size_t cap = size > 0 ? static_cast<std::size_t>(size) - 1 : 0;
  std::size_t k = 0;
  bool any = false;
  for (;;) {
    int c;
    if (fp != nullptr) {
      c = std::getc(fp);
    } else {
      unsigned char b;
      c = (fd >= 0 && ::read(fd, &b, 1) == 1) ? b : EOF;
    }
    if (c == EOF) break;
    any = true;
    if (c == '\n') break;
    if (k < cap) buf[k++] = static_cast<char>(c);
  }
  if (size > 0) buf[k] = '\0';
  if (!any) return false;
  if (k > 0 && buf[k - 1] == '\r') buf[--k] = '\0';
  return true;
}

void set_blank(char* buf, int size) {
  if (size >= 2) std::memcpy(buf, " ", 2);
  else if (size == 1) buf[0] = '\0';
}

// The pager's view of one full terminal line; false when the write failed.
bool term_line(const char* text, std::size_t n) {
  if (term.quiet) return true;
  bool ok = std::fwrite(text, 1, n, stdout) == n && std::fputc('\n', stdout) != EOF;
  ok = std::fflush(stdout) == 0 && ok;
  term.pos = 0;
  term.line = (term.line + 1) % term.page_len;
  if (term.pager_on && term.line == 0) {
    std::fputs("--Press Return to Continue--", stdout);
    std::fflush(stdout);
    int c = std::getc(stdin);
    if (c == 'q' || c == 'Q') term.quiet = true;
    // The reply is one character; the rest of its line is not a later answer.
    while (c != '\n' && c != EOF) c = std::getc(stdin);
  }
  return ok;
}

bool is_terminal_name(const char* name) {
  return cs_is_blank(name) || cs_eq(name, "*");
}

enum class OpenResult { Opened, Failed, BadMode, Overflow };

OpenResult open_once(const char* name, const char* mode_name, int recl, int* chan) {
  *chan = 0;
  std::string nm = util_int::trimmed(name, UTIL_LINE_LEN);
  const Mode* mode = find_mode(mode_name);
  if (mode == nullptr) {
    std::printf("FIO OPEN FILE: Bad mode %s %d\n", "x", recl);
    std::fflush(stdout);
    return OpenResult::BadMode;
  }
  std::string full = nm;
  if (!paths.dir.empty() && !nm.empty() && nm[0] != '/') full = paths.dir + "/" + nm;
  std::string path = full;
  if (mode->searched) {
    char found[kNameLen * 2];
    fio_inquire_path(full.c_str(), found, sizeof found);
    path = found;
  }
  FILE* fp = nullptr;
  int fd = -1;
  if (mode->stream_mode != nullptr) {
    fp = std::fopen(path.c_str(), mode->stream_mode);
    if (fp == nullptr) return OpenResult::Failed;
    fd = fileno(fp);
  } else {
    fd = (mode->flags & O_CREAT) ? ::open(path.c_str(), mode->flags, 0644)
                                 : ::open(path.c_str(), mode->flags);
    if (fd < 0) return OpenResult::Failed;
  }
  ChanTable& t = table();
  int slot = 0;
  for (int k = 1; k <= t.nfiles; ++k)
    if (t.ch[static_cast<std::size_t>(k)].status == 0) {
      slot = k;
      break;
    }
  if (slot == 0) {
    if (t.nfiles >= UTIL_MAX_CHAN) {
      std::printf("QEL FILE Overflow\n");
      std::fflush(stdout);
      if (fp != nullptr) std::fclose(fp);
      else ::close(fd);
      return OpenResult::Overflow;
    }
    slot = ++t.nfiles;
  }
  Channel& c = t.ch[static_cast<std::size_t>(slot)];
  set_entry(c, nm.c_str(), mode->name, fd, fp);
  c.recl = recl;
  *chan = slot;
  return OpenResult::Opened;
}

int open_bracketed(const char* routine, const char* name, const char* mode, int recl) {
  dbg_push("UTILS IO", routine);
  int ch = fio_open_retry(name, mode, recl);
  dbg_pop();
  return ch;
}

}  // namespace

namespace util_int {
int cur_output() { return io.output[static_cast<std::size_t>(io.olevel - 1)]; }
int cur_input() { return io.input[static_cast<std::size_t>(io.ilevel - 1)]; }
int err_channel() { return io.err; }
}  // namespace util_int

// ----- message channels -----

void io_init(void) {
  io.ilevel = 1;
  io.olevel = 1;
  io.input[0] = kTermIn;
  io.output[0] = kTermOut;
  io.err = kTermErr;
}

void io_out(int ch) { io.output[static_cast<std::size_t>(io.olevel - 1)] = ch == 0 ? kTermOut : ch; }
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
  std::snprintf(line, sizeof line, "  Input Channel:  %ld", static_cast<long>(util_int::cur_input()));
  msg(line);
  std::snprintf(line, sizeof line, "  Output Channel: %ld", static_cast<long>(util_int::cur_output()));
  msg(line);
  std::snprintf(line, sizeof line, "  Error Channel:  %ld", static_cast<long>(io.err));
  msg(line);
}

void io_ipush(int ch) {
  if (io.ilevel >= UTIL_IO_STACK) err_msg("Too many files on input IO stack");
  else ++io.ilevel;
  io.input[static_cast<std::size_t>(io.ilevel - 1)] = ch;
}

void io_opush(int ch) {
  if (io.olevel >= UTIL_IO_STACK) err_msg("Too many files on output IO stack");
  else ++io.olevel;
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

// ----- opening and closing -----

int fio_open_r(const char* name) { return open_bracketed("FIO OPEN R", name, "SEQ R", 0); }
int fio_open_w(const char* name) { return open_bracketed("FIO OPEN W", name, "SEQ W", 0); }
int fio_open_a(const char* name) { return open_bracketed("FIO OPEN W", name, "SEQ A", 0); }

// Direct access has no mode in the table: the open is refused like any unknown mode.
int fio_open_d(const char* name, int recl) { return fio_open_file(name, "SEQ D", recl); }

int fio_open_retry(const char* name, const char* mode, int recl) {
  if (is_terminal_name(name)) return 0;
  dbg_push("UTILS IO", "FIO OPEN RETRY");
  std::string current = util_int::trimmed(name, UTIL_LINE_LEN);
  int ch = 0;
  for (;;) {
    OpenResult r = open_once(current.c_str(), mode, recl, &ch);
    if (r != OpenResult::Failed || !paths.retry) break;
    fio_write_prompt(util_int::err_channel(), "OPEN RETRY: Try again, full filename (Q to quit): ");
    char reply[kNameLen];
    bool got = fio_read(0, reply, sizeof reply) == 1;
    // An end of input abandons too: there is no one left to answer.
    if (!got || cs_eq(reply, "Q") || cs_eq(reply, "q")) {
      std::string text = "OPEN RETRY: Abandoning attempt to open file " + current;
      err_msg(text.c_str());
      break;
    }
    if (is_terminal_name(reply)) break;
    current = util_int::trimmed(reply, UTIL_LINE_LEN);
  }
  dbg_pop();
  return ch;
}

int fio_open_file(const char* name, const char* mode, int recl) {
  if (is_terminal_name(name)) return 0;
  int ch = 0;
  open_once(name, mode, recl, &ch);
  return ch;
}

// The standard streams are never closed: later messages still need them.
void fio_close(int ch) {
  Channel* c = entry(ch);
  if (c == nullptr || is_std_stream(c->fp)) return;
  if (std::strncmp(c->type, "CIO", 3) == 0) {
    if (c->fd >= 0) ::close(c->fd);
  } else if (c->fp != nullptr) {
    std::fclose(c->fp);
  }
  *c = Channel{};
}

// ----- reading and writing -----

int fio_read(int ch, char* buf, int size) {
  if (ch == 0) {
    term.line = 0;
    term.quiet = false;
    if (get_line(stdin, -1, buf, size)) return 1;
    set_blank(buf, size);
    return 0;
  }
  Channel* c = entry(ch);
  if (c == nullptr) {
    set_blank(buf, size);
    return 0;
  }
  if (!get_line(c->fp, c->fd, buf, size)) {
    c->status = -1;
    set_blank(buf, size);
    return 0;
  }
  c->status = 1;
  ++c->lineno;
  c->pos = 0;
  return 1;
}

int fio_write(int ch, const char* text) {
  const char* t = text ? text : "";
  std::size_t n = util_int::trimmed_len(t);
  if (ch == 0) return term_line(t, n) ? 1 : 0;
  Channel* c = entry(ch);
  if (c == nullptr) return 0;
  bool ok = true;
  while (ok && n > kPiece) {
    ok = put_bytes(*c, t, kPiece);
    t += kPiece;
    n -= kPiece;
  }
  ok = ok && put_bytes(*c, t, n) && put_bytes(*c, "\n", 1);
  if (!finish_write(*c, ok)) return 0;
  ++c->lineno;
  c->pos = 0;
  return 1;
}

int fio_write_prompt(int ch, const char* text) {
  const char* t = text ? text : "";
  std::size_t n = std::strlen(t);
  if (ch == 0) {
    if (term.quiet) return 1;
    bool ok = std::fwrite(t, 1, n, stdout) == n;
    ok = std::fflush(stdout) == 0 && ok;
    term.pos += static_cast<int>(n);
    return ok ? 1 : 0;
  }
  Channel* c = entry(ch);
  if (c == nullptr) return 0;
  if (!finish_write(*c, put_bytes(*c, t, n))) return 0;
  c->pos += static_cast<int>(n);
  return 1;
}

int fio_write_eol(int ch) {
  if (ch == 0) {
    if (term.pos > 0) return term_line("", 0) ? 1 : 0;
    return 1;
  }
  Channel* c = entry(ch);
  if (c == nullptr) return 0;
  if (c->pos <= 0) return 1;
  if (!finish_write(*c, put_bytes(*c, "\n", 1))) return 0;
  ++c->lineno;
  c->pos = 0;
  return 1;
}

// ----- queries -----

const char* fio_get_name(int ch) {
  Channel* c = entry(ch);
  return c ? c->name : " ";
}

const char* fio_get_type(int ch) {
  Channel* c = entry(ch);
  return c ? c->type : " ";
}

int fio_get_pos(int ch) {
  if (ch == 0) return term.pos;
  Channel* c = entry(ch);
  return c ? c->pos : 0;
}

int fio_get_lineno(int ch) {
  Channel* c = entry(ch);
  return c ? c->lineno : 0;
}

bool fio_test_eof(int ch) {
  Channel* c = entry(ch);
  return c != nullptr && c->status == -1;
}

void fio_clear_eof(int ch) {
  Channel* c = entry(ch);
  if (c == nullptr) return;
  c->status = 1;
  if (c->fp != nullptr) std::clearerr(c->fp);
}

// The terminal channel 0 writes to standard output, so its stream is stdout.
FILE* fio_file_fptr(int ch) {
  if (ch == 0) return stdout;
  Channel* c = entry(ch);
  return c ? c->fp : nullptr;
}

int fio_get_cfd(int ch) {
  if (ch == 0) return STDOUT_FILENO;
  Channel* c = entry(ch);
  return c ? c->fd : -1;
}

bool fio_inquire(const char* name) { return exists(util_int::trimmed(name)); }

bool fio_int(int ch) { return ch == 0 || ch == kTermIn || ch == kTermOut; }

void fio_set_recl(int ch, int recl) {
  if (Channel* c = entry(ch)) c->recl = recl;
}

int fio_get_recl(int ch) {
  Channel* c = entry(ch);
  return c ? c->recl : 0;
}

void fio_set_retry(int flag) { paths.retry = flag; }
int fio_get_retry(void) { return paths.retry; }

// The directory is put in front of relative names by later opens.
void fio_change_dir(const char* dir) { paths.dir = util_int::trimmed(dir, UTIL_VALUE_LEN); }

// ----- search path -----

void fio_path_init(void) {
  const char* v = std::getenv("QELPATH");
  fio_path_set(v ? v : "");
}

// Only the first 20 words are kept; more are reported once and ignored.
void fio_path_set(const char* text) {
  char* slots[UTIL_MAX_PATH];
  for (int k = 0; k < UTIL_MAX_PATH; ++k) slots[k] = paths.entries[k];
  int n = list_parse(text, slots, UTIL_LINE_LEN, UTIL_MAX_PATH);
  // One more word would mean the list was cut.
  char extra[UTIL_LINE_LEN + 1];
  char* extra_slot[UTIL_MAX_PATH + 1];
  for (int k = 0; k <= UTIL_MAX_PATH; ++k) extra_slot[k] = extra;
  if (list_parse(text, extra_slot, UTIL_LINE_LEN, UTIL_MAX_PATH + 1) > UTIL_MAX_PATH)
    err_msg("RIRADE WARNING: QELPATH holds more than 20 directories; the rest are ignored");
  for (int k = 0; k < n; ++k) {
    if (paths.entries[k][0] != '$') continue;
    const char* v = std::getenv(paths.entries[k] + 1);
    util_int::copy_bounded(v ? v : "", paths.entries[k], UTIL_LINE_LEN + 1);
  }
  paths.npath = n;
}

void fio_path_list(void) {
  msg("RIRADE directory search path:");
  for (int k = 0; k < paths.npath; ++k) msg(paths.entries[k]);
}

bool fio_inquire_path(const char* name, char* out, int room) {
  std::string nm = util_int::trimmed(name);
  std::size_t size = room > 0 ? static_cast<std::size_t>(room) : 0;
  util_int::copy_bounded(nm, out, size);
  if (nm.empty()) return false;
  // A name that does not fit the caller's buffer could only be reported cut.
  if (exists(nm)) return nm.size() < size;
  if (nm[0] == '/') return false;
  for (int k = 0; k < paths.npath; ++k) {
    std::string dir = util_int::trimmed(paths.entries[k]);
    std::string cand = dir.empty() ? nm : dir + "/" + nm;
    if (cand.size() + 1 > size) continue;
    if (exists(cand)) {
      util_int::copy_bounded(cand, out, size);
      return true;
    }
  }
  return false;
}

// ----- pager -----

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
