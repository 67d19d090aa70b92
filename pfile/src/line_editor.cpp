// pfile/src/line_editor.cpp -- the query line editor behind parameter queries:
// one line edited on "/dev/tty" with control keys, the terminal's own special
// characters and a history list; echo and redraws go to standard error using
// only backspace, blank and newline, so any terminal shows them correctly.
#include "pfile/readline.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "pfile_int.h"

namespace {

constexpr unsigned char ctrl(char c) { return static_cast<unsigned char>(c & 0x1f); }

constexpr unsigned char kCtrlA = ctrl('A');
constexpr unsigned char kCtrlB = ctrl('B');
constexpr unsigned char kCtrlC = ctrl('C');
constexpr unsigned char kCtrlD = ctrl('D');
constexpr unsigned char kCtrlE = ctrl('E');
constexpr unsigned char kCtrlF = ctrl('F');
constexpr unsigned char kCtrlH = ctrl('H');
constexpr unsigned char kCtrlJ = ctrl('J');
constexpr unsigned char kCtrlK = ctrl('K');
constexpr unsigned char kCtrlL = ctrl('L');
constexpr unsigned char kCtrlM = ctrl('M');
constexpr unsigned char kCtrlN = ctrl('N');
constexpr unsigned char kCtrlP = ctrl('P');
constexpr unsigned char kCtrlR = ctrl('R');
constexpr unsigned char kCtrlU = ctrl('U');
constexpr unsigned char kCtrlW = ctrl('W');
constexpr unsigned char kDel = 0x7f;

pfile_detail::TermState& g_term = pfile_detail::state.term;

// The terminal's own special characters, as set in the normal settings (in the
// editing settings some slots may be reused, e.g. VMIN and VEOF on some systems).
struct SpecialKeys {
  cc_t erase, kill, eof, intr, quit, susp, reprint, werase;

  static SpecialKeys from(const termios& t) {
    return {t.c_cc[VERASE], t.c_cc[VKILL], t.c_cc[VEOF],     t.c_cc[VINTR],
            t.c_cc[VQUIT],  t.c_cc[VSUSP], t.c_cc[VREPRINT], t.c_cc[VWERASE]};
  }
};

bool isKey(cc_t key, unsigned char c) {
  return key != static_cast<cc_t>(_POSIX_VDISABLE) && key == c;
}

void writeAll(int fd, const std::string& text) {
  const char* p = text.data();
  size_t left = text.size();
  while (left > 0) {
    ssize_t n = write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // echo is a courtesy; a closed stderr must not stop editing
    p += n;
    left -= static_cast<size_t>(n);
  }
}

// Owns the opened terminal for one readline call: the settings are restored and
// the device closed whichever way the call ends.
class TtySession {
 public:
  explicit TtySession(int fd) : fd_(fd) {}
  TtySession(const TtySession&) = delete;
  TtySession& operator=(const TtySession&) = delete;
  ~TtySession() { finish(); }

  int fd() const { return fd_; }

  void finish() {
    if (fd_ < 0) return;
    reset_termio(fd_);
    close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

// The line being edited, in the caller's buffer, and the echo it produces.
class Editor {
 public:
  Editor(const char* prompt, char* line, int cap, hist* history)
      : prompt_(prompt), line_(line), cap_(cap), newest_(history) {
    line_[0] = '\0';
  }

  int length() const { return max_pos_; }
  std::string& out() { return out_; }

  void insert(unsigned char c) {
    if (max_pos_ >= cap_) {
      out_ += '\a';  // full: refuse the character audibly rather than drop text
      return;
    }
    std::memmove(line_ + cur_pos_ + 1, line_ + cur_pos_, static_cast<size_t>(max_pos_ - cur_pos_));
    line_[cur_pos_] = static_cast<char>(c);
    ++max_pos_;
    line_[max_pos_] = '\0';
    out_.append(line_ + cur_pos_, static_cast<size_t>(max_pos_ - cur_pos_));
    ++cur_pos_;
    back(max_pos_ - cur_pos_);
  }

  void eraseBefore() {
    if (cur_pos_ == 0) return;
    --cur_pos_;
    out_ += '\b';
    removeAtCursor();
  }

  void deleteAtCursor() {
    if (cur_pos_ >= max_pos_) return;
    removeAtCursor();
  }

  void clearLine() {
    home();
    killToEnd();
  }

  void wordErase() {
    int p = cur_pos_;
    while (p > 0 && line_[p - 1] == ' ') --p;
    while (p > 0 && line_[p - 1] != ' ') --p;
    back(cur_pos_ - p);
    cur_pos_ = p;
    killToEnd();
  }

  void home() {
    back(cur_pos_);
    cur_pos_ = 0;
  }

  void end() {
    out_.append(line_ + cur_pos_, static_cast<size_t>(max_pos_ - cur_pos_));
    cur_pos_ = max_pos_;
  }

  void left() {
    if (cur_pos_ == 0) return;
    out_ += '\b';
    --cur_pos_;
  }

  void right() {
    if (cur_pos_ >= max_pos_) return;
    out_ += line_[cur_pos_];
    ++cur_pos_;
  }

  void killToEnd() {
    int n = max_pos_ - cur_pos_;
    out_.append(static_cast<size_t>(n), ' ');
    back(n);
    max_pos_ = cur_pos_;
    line_[max_pos_] = '\0';
  }

  void redraw() {
    out_ += '\n';
    out_ += prompt_;
    out_.append(line_, static_cast<size_t>(max_pos_));
    back(max_pos_ - cur_pos_);
  }

  // Ctrl-P: the first press shows the newest entry, later ones older entries.
  void historyPrev() {
    if (newest_ == nullptr) return;
    if (browse_ == nullptr) {
      browse_ = newest_;
    } else if (browse_->prev != nullptr) {
      browse_ = browse_->prev;
    } else {
      return;
    }
    show(browse_->line);
  }

  // Ctrl-N: newer entries; past the newest the line is emptied.
  void historyNext() {
    if (browse_ == nullptr) return;
    if (browse_ == newest_ || browse_->next == nullptr) {
      browse_ = nullptr;
      show("");
    } else {
      browse_ = browse_->next;
      show(browse_->line);
    }
  }

  void discard() {
    max_pos_ = cur_pos_ = 0;
    line_[0] = '\0';
  }

 private:
  void back(int n) {
    if (n > 0) out_.append(static_cast<size_t>(n), '\b');
  }

  void removeAtCursor() {
    std::memmove(line_ + cur_pos_, line_ + cur_pos_ + 1,
                 static_cast<size_t>(max_pos_ - cur_pos_ - 1));
    --max_pos_;
    line_[max_pos_] = '\0';
    out_.append(line_ + cur_pos_, static_cast<size_t>(max_pos_ - cur_pos_));
    out_ += ' ';
    back(max_pos_ - cur_pos_ + 1);
  }

  // Replaces the line with text (cut to the capacity), cursor at its end.
  void show(const char* text) {
    clearLine();
    size_t n = std::min(std::strlen(text != nullptr ? text : ""), static_cast<size_t>(cap_));
    if (n > 0) std::memcpy(line_, text, n);
    max_pos_ = cur_pos_ = static_cast<int>(n);
    line_[max_pos_] = '\0';
    out_.append(line_, n);
  }

  const char* prompt_;
  char* line_;
  int cap_;
  int cur_pos_ = 0;
  int max_pos_ = 0;
  hist* newest_;
  hist* browse_ = nullptr;
  std::string out_;
};

// Interrupt and quit: the terminal is given back before the process group is
// signalled, so the shell finds its settings intact.
[[noreturn]] void abandon(TtySession& tty, Editor& ed, int sig) {
  ed.out() += '\n';
  writeAll(STDERR_FILENO, ed.out());
  tty.finish();
  kill(0, sig);
  pfile_detail::pfile_exit(1);
}

}  // namespace

hist* add_history(hist* history, const char* line) {
  hist* newest = history;
  while (newest != nullptr && newest->next != nullptr) newest = newest->next;
  const char* text = line != nullptr ? line : "";
  size_t n = std::strlen(text);
  auto* entry = new (std::nothrow) hist;
  if (entry == nullptr) return history;
  entry->line = new (std::nothrow) char[n + 1];
  if (entry->line == nullptr) {
    delete entry;
    return history;
  }
  std::memcpy(entry->line, text, n + 1);
  entry->prev = newest;
  if (newest != nullptr) newest->next = entry;
  return entry;
}

void kil_history(hist* entry) {
  if (entry == nullptr) return;
  if (entry->prev != nullptr) entry->prev->next = nullptr;
  while (entry != nullptr) {
    hist* next = entry->next;
    delete[] entry->line;
    delete entry;
    entry = next;
  }
}

int set_termio(int fd) {
  if (g_term.editing) return 0;
  termios t{};
  if (tcgetattr(fd, &t) != 0) return -1;
  g_term.saved = t;
  // Signals are taken off the driver: the editor itself restores the terminal
  // before it passes interrupt, quit or suspend on to the process group.
  t.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHONL | ISIG | IEXTEN);
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  if (tcsetattr(fd, TCSANOW, &t) != 0) return -1;
  g_term.editing = true;
  return 0;
}

int reset_termio(int fd) {
  if (!g_term.editing) return 0;
  g_term.editing = false;
  return tcsetattr(fd, TCSANOW, &g_term.saved) == 0 ? 0 : -1;
}

int readline(const char* prompt, char* line, int max, hist* history) {
  if (line == nullptr || max < 1) return -1;
  line[0] = '\0';
  if (prompt == nullptr) prompt = "";

  int fd = open("/dev/tty", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  TtySession tty(fd);
  if (set_termio(fd) != 0) return -1;
  const SpecialKeys keys = SpecialKeys::from(g_term.saved);

  Editor ed(prompt, line, std::min(max - 1, READLINE_MAXLINE), history);
  ed.out() += prompt;
  for (;;) {
    writeAll(STDERR_FILENO, ed.out());
    ed.out().clear();

    unsigned char c = 0;
    ssize_t n = read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ed.discard();
      return 0;
    }

    if (isKey(keys.intr, c) || c == kCtrlC) {
      abandon(tty, ed, SIGINT);
    } else if (isKey(keys.quit, c)) {
      abandon(tty, ed, SIGQUIT);
    } else if (isKey(keys.susp, c)) {
      ed.out() += '\n';
      writeAll(STDERR_FILENO, ed.out());
      ed.out().clear();
      reset_termio(fd);
      kill(0, SIGTSTP);
      set_termio(fd);  // back in the foreground: edit on where the user left off
      ed.redraw();
    } else if (isKey(keys.eof, c) || c == kCtrlD) {
      if (ed.length() == 0) {
        writeAll(STDERR_FILENO, "\n");
        return 0;
      }
      ed.deleteAtCursor();
    } else if (isKey(keys.erase, c) || c == kCtrlH || c == kDel) {
      ed.eraseBefore();
    } else if (isKey(keys.kill, c) || c == kCtrlU) {
      ed.clearLine();
    } else if (isKey(keys.werase, c) || c == kCtrlW) {
      ed.wordErase();
    } else if (isKey(keys.reprint, c) || c == kCtrlL || c == kCtrlR) {
      ed.redraw();
    } else if (c == kCtrlJ || c == kCtrlM) {
      writeAll(STDERR_FILENO, "\n");
      return ed.length();
    } else if (c == kCtrlA) {
      ed.home();
    } else if (c == kCtrlE) {
      ed.end();
    } else if (c == kCtrlB) {
      ed.left();
    } else if (c == kCtrlF) {
      ed.right();
    } else if (c == kCtrlK) {
      ed.killToEnd();
    } else if (c == kCtrlP) {
      ed.historyPrev();
    } else if (c == kCtrlN) {
      ed.historyNext();
    } else if (c >= 0x20 && c != kDel) {
      // Bytes above 0x7f are kept so that 8-bit and UTF-8 text can be typed.
      ed.insert(c);
    }
  }
}
