// Tests of the query line editor, driven through a pseudo-terminal: the child
// edits on its controlling terminal, the test types keys on the master side and
// the child reports the result and whether its terminal settings came back.
#include "pfile/readline.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "pty_helpers.h"

namespace {

using pty_test::Step;

const std::string kA = "\x01", kB = "\x02", kC = "\x03", kD = "\x04", kE = "\x05", kF = "\x06";
const std::string kH = "\x08", kK = "\x0b", kL = "\x0c", kN = "\x0e", kP = "\x10", kR = "\x12";
const std::string kU = "\x15", kW = "\x17", kZ = "\x1a", kQuit = "\x1c", kDel = "\x7f";
const std::string kEnter = "\r";
const char* const kPrompt = "Value (x): ";

// Child-side state, reachable from signal handlers.
int g_tty = -1;
int g_report = -1;
termios g_before{};
volatile sig_atomic_t g_signalSaw = 0;  // 1: normal settings in force, 2: editing settings

bool sameSettings(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
         a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

bool settingsRestored() {
  termios now{};
  return tcgetattr(g_tty, &now) == 0 && sameSettings(now, g_before);
}

void noteSignal(int) {
  g_signalSaw = settingsRestored() ? 1 : 2;
  const char* text = g_signalSaw == 1 ? "signal-restored\n" : "signal-raw\n";
  ssize_t ignored = write(g_report, text, std::strlen(text));
  (void)ignored;
}

struct EditOptions {
  std::vector<std::string> history;
  int max = READLINE_BUFSIZE;
  // Special characters put on the terminal before editing (VERASE etc.).
  std::vector<std::pair<int, cc_t>> specials;
  int catchSignal = 0;  // a signal whose handler checks the settings, or 0
};

struct EditResult {
  int rc = -99;
  std::string line;
  bool restored = false;  // settings after readline equal those before
  bool guardIntact = false;
  std::string report;
  pty_test::PtyRun run;
};

constexpr int kGuard = 64;

EditResult edit(const std::vector<Step>& steps, const EditOptions& opt = {}) {
  auto body = [&opt](int reportFd) {
    g_report = reportFd;
    g_tty = open("/dev/tty", O_RDONLY);
    termios t{};
    tcgetattr(g_tty, &t);
    for (const auto& [slot, value] : opt.specials) t.c_cc[slot] = value;
    tcsetattr(g_tty, TCSANOW, &t);
    tcgetattr(g_tty, &g_before);
    if (opt.catchSignal != 0) signal(opt.catchSignal, noteSignal);

    hist* newest = nullptr;
    hist* oldest = nullptr;
    for (const auto& h : opt.history) {
      newest = add_history(newest, h.c_str());
      if (oldest == nullptr) oldest = newest;
    }
    std::vector<char> buf(static_cast<size_t>(std::max(opt.max, 0)) + kGuard, 'G');
    int rc = readline(kPrompt, buf.data(), opt.max, newest);
    bool restored = settingsRestored();
    bool guard = true;
    for (size_t i = static_cast<size_t>(std::max(opt.max, 0)); i < buf.size(); ++i)
      guard = guard && buf[i] == 'G';
    kil_history(oldest);

    char head[64];
    std::snprintf(head, sizeof head, "%d %d %d\n", rc, restored ? 1 : 0, guard ? 1 : 0);
    std::string text = head;
    if (rc > 0) text.append(buf.data(), static_cast<size_t>(rc));
    pty_test::writeReport(reportFd, text);
  };
  EditResult res;
  res.run = pty_test::runOnPty(body, steps);
  const std::string& rep = res.run.report;
  // Lines from signal handlers come first; the result line is the last header.
  size_t pos = 0;
  while (pos < rep.size() && rep.compare(pos, 7, "signal-") == 0) {
    size_t nl = rep.find('\n', pos);
    res.report += rep.substr(pos, nl - pos + 1);
    pos = nl + 1;
  }
  int restored = 0, guard = 0, used = 0;
  if (std::sscanf(rep.c_str() + pos, "%d %d %d\n%n", &res.rc, &restored, &guard, &used) >= 3) {
    res.restored = restored == 1;
    res.guardIntact = guard == 1;
    res.line = rep.substr(pos + static_cast<size_t>(used));
  }
  return res;
}

EditResult type(const std::string& keys, const EditOptions& opt = {}) {
  return edit({{kPrompt, keys}}, opt);
}

struct Case {
  const char* what;
  std::string keys;
  std::string expect;
};

void expectCases(const std::vector<Case>& cases, const EditOptions& opt = {}) {
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EditResult r = type(c.keys + kEnter, opt);
    ASSERT_FALSE(r.run.timedOut);
    EXPECT_EQ(r.line, c.expect);
    EXPECT_EQ(r.rc, static_cast<int>(c.expect.size()));
    EXPECT_TRUE(r.restored);
  }
}

TEST(LineEditorTest, readline_insertAndDelete) {
  expectCases({
      {"insert in the middle", "helo" + kB + "l", "hello"},
      {"DEL erases before the cursor", "abc" + kDel, "ab"},
      {"Ctrl-H erases inside the line", "abc" + kB + kH, "ac"},
      {"erase at the start does nothing", "ab" + kA + kDel + kH, "ab"},
      {"Ctrl-D deletes at the cursor", "abc" + kA + kD, "bc"},
      {"Ctrl-D at the end of a line does nothing", "abc" + kD, "abc"},
      {"tab and other control keys are ignored", "a\tb\x07\x0f", "ab"},
  });
}

TEST(LineEditorTest, readline_killAndWordErase) {
  expectCases({
      {"kill clears the whole line", "abc def" + kU + "x", "x"},
      {"kill from the middle clears everything", "abc" + kB + kU + "z", "z"},
      {"word-erase at the end skips blanks, then the word", "one two  " + kW, "one "},
      {"word-erase in the middle cuts after the cursor",
       "one two three" + std::string(6, '\x02') + kW + "X", "one X"},
      {"word-erase at the start cuts the whole line", "ab" + kA + kW, ""},
  });
}

TEST(LineEditorTest, readline_cursorKeys) {
  expectCases({
      {"Ctrl-A and Ctrl-E", "bc" + kA + "a" + kE + "d", "abcd"},
      {"Ctrl-F moves right", "abd" + kA + kF + kF + "c", "abcd"},
      {"Ctrl-B and Ctrl-F stop at the ends", "x" + kF + kF + "y" + kA + kB + kB + "w", "wxy"},
      {"Ctrl-K deletes to the end", "abcdef" + kA + kF + kF + kK, "ab"},
      {"Ctrl-K at the end does nothing", "abc" + kK, "abc"},
      {"Ctrl-L and Ctrl-R keep the line", "ab" + kL + "c" + kR, "abc"},
      {"newline accepts like return", "ab\n", "ab"},
  });
}

TEST(LineEditorTest, readline_terminalSpecialCharacters) {
  EditOptions opt;
  opt.specials = {{VERASE, '#'}, {VKILL, '@'}, {VWERASE, 0x07}, {VREPRINT, 0x19}, {VEOF, 0x18}};
  expectCases(
      {
          {"terminal erase", "ab#c", "ac"},
          {"terminal kill", "xyz@q", "q"},
          {"terminal word-erase", "one two\x07x", "one x"},
          {"terminal reprint",
           "ab\x19"
           "c",
           "abc"},
          {"terminal end of file deletes inside a line", "ab" + kA + "\x18", "b"},
      },
      opt);

  EditResult r = type("\x18", opt);
  EXPECT_EQ(r.rc, 0);
  EXPECT_TRUE(r.restored);
}

TEST(LineEditorTest, readline_reprintRedrawsPromptAndLine) {
  EditResult r = type("ab" + kB + kL + kEnter);
  EXPECT_EQ(r.line, "ab");
  size_t first = r.run.screen.find(kPrompt);
  ASSERT_NE(first, std::string::npos);
  size_t second = r.run.screen.find(std::string(kPrompt) + "ab", first + 1);
  EXPECT_NE(second, std::string::npos);
}

TEST(LineEditorTest, readline_history) {
  EditOptions opt;
  opt.history = {"old", "mid", "new"};
  expectCases(
      {
          {"first Ctrl-P shows the newest", kP, "new"},
          {"second Ctrl-P shows an older one", kP + kP, "mid"},
          {"Ctrl-P at the oldest does nothing", kP + kP + kP + kP + kP, "old"},
          {"Ctrl-N goes back to newer", kP + kP + kP + kN, "mid"},
          {"Ctrl-N past the newest empties the line", kP + kN, ""},
          {"Ctrl-N before any Ctrl-P does nothing", "abc" + kN, "abc"},
          {"an entry can be edited", kP + kB + "X", "neXw"},
          {"Ctrl-P replaces typed text", "typed" + kP, "new"},
      },
      opt);
  expectCases({{"no history", "a" + kP + kN, "a"}});
}

TEST(LineEditorTest, readline_acceptAndEndOfFile) {
  EditResult empty = type(kEnter);
  EXPECT_EQ(empty.rc, 0);
  EXPECT_EQ(empty.line, "");
  EXPECT_TRUE(empty.restored);

  EditResult eof = type(kD);
  EXPECT_EQ(eof.rc, 0);
  EXPECT_TRUE(eof.restored);

  EditResult cleared = type("abc" + kU + kD);
  EXPECT_EQ(cleared.rc, 0);
  EXPECT_TRUE(cleared.restored);
}

TEST(LineEditorTest, readline_neverWritesPastTheLimit) {
  EditOptions big;
  EditResult r = type(std::string(2100, 'a') + kEnter, big);
  ASSERT_FALSE(r.run.timedOut);
  EXPECT_EQ(r.rc, READLINE_MAXLINE);
  EXPECT_EQ(r.line, std::string(READLINE_MAXLINE, 'a'));
  EXPECT_TRUE(r.guardIntact);
  EXPECT_TRUE(r.restored);
  EXPECT_NE(r.run.screen.find('\a'), std::string::npos);

  // A larger buffer does not raise the limit.
  EditOptions larger;
  larger.max = 4096;
  EditResult l = type(std::string(2100, 'b') + kEnter, larger);
  EXPECT_EQ(l.rc, READLINE_MAXLINE);

  // A small buffer: inserting in the middle of a full line changes nothing.
  EditOptions small;
  small.max = 8;
  EditResult s = type("abcdefghij" + kA + "x" + kEnter, small);
  EXPECT_EQ(s.line, "abcdefg");
  EXPECT_TRUE(s.guardIntact);

  // A history entry longer than the buffer is cut to fit.
  small.history = {"0123456789"};
  EditResult h = type(kP + kEnter, small);
  EXPECT_EQ(h.line, "0123456");
  EXPECT_TRUE(h.guardIntact);
}

TEST(LineEditorTest, readline_echoGoesToStandardError) {
  EditResult r = type("hello" + kEnter);
  EXPECT_EQ(r.line, "hello");
  EXPECT_NE(r.run.screen.find(std::string(kPrompt) + "hello"), std::string::npos);

  // With standard error elsewhere nothing reaches the terminal. The child enters
  // the editing settings itself and says "ready" so that no key is typed earlier.
  auto body = [](int reportFd) {
    int tty = open("/dev/tty", O_RDWR);
    set_termio(tty);
    pty_test::writeReport(tty, "ready");
    int devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, STDERR_FILENO);
    char line[READLINE_BUFSIZE];
    int rc = readline("Quiet: ", line, sizeof line, nullptr);
    pty_test::writeReport(reportFd, std::to_string(rc) + " " + line);
  };
  pty_test::PtyRun quiet = pty_test::runOnPty(body, {{"ready", "secret" + kEnter}});
  EXPECT_EQ(quiet.report, "6 secret");
  EXPECT_EQ(quiet.screen.find("secret"), std::string::npos);
  EXPECT_EQ(quiet.screen.find("Quiet"), std::string::npos);
}

TEST(LineEditorTest, readline_interruptRestoresThenExits) {
  EditOptions opt;
  opt.catchSignal = SIGINT;
  EditResult r = type("abc" + kC, opt);
  EXPECT_EQ(r.report, "signal-restored\n");
  ASSERT_TRUE(WIFEXITED(r.run.status));
  EXPECT_EQ(WEXITSTATUS(r.run.status), 1);
}

TEST(LineEditorTest, readline_quitRestoresFirst) {
  EditOptions opt;
  opt.catchSignal = SIGQUIT;
  EditResult r = type("abc" + kQuit, opt);
  EXPECT_EQ(r.report, "signal-restored\n");
  ASSERT_TRUE(WIFEXITED(r.run.status));
  EXPECT_EQ(WEXITSTATUS(r.run.status), 1);
}

TEST(LineEditorTest, readline_suspendRestoresAndResumesEditing) {
  EditOptions opt;
  opt.catchSignal = SIGTSTP;
  EditResult r = edit({{kPrompt, "ab" + kZ}, {std::string(kPrompt) + "ab", "c" + kEnter}}, opt);
  ASSERT_FALSE(r.run.timedOut);
  EXPECT_EQ(r.report, "signal-restored\n");
  EXPECT_EQ(r.line, "abc");
  EXPECT_TRUE(r.restored);
}

TEST(LineEditorTest, readline_withoutTerminalGivesMinusOne) {
  char line[16] = "unchanged";
  EXPECT_EQ(readline("p", nullptr, 16, nullptr), -1);
  EXPECT_EQ(readline("p", line, 0, nullptr), -1);
  EXPECT_STREQ(line, "unchanged");

  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    setsid();  // a new session has no controlling terminal
    char buf[16];
    _exit(readline("p", buf, sizeof buf, nullptr) == -1 ? 0 : 1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(LineEditorTest, set_termio_twiceThenResetRestores) {
  auto body = [](int reportFd) {
    int fd = open("/dev/tty", O_RDONLY);
    termios before{}, editing{}, after{};
    tcgetattr(fd, &before);
    int a = set_termio(fd);
    int b = set_termio(fd);
    tcgetattr(fd, &editing);
    int c = reset_termio(fd);
    int d = reset_termio(fd);
    tcgetattr(fd, &after);
    char text[128];
    std::snprintf(text, sizeof text, "%d%d%d%d canon=%d echo=%d same=%d", a, b, c, d,
                  (editing.c_lflag & ICANON) ? 1 : 0, (editing.c_lflag & ECHO) ? 1 : 0,
                  sameSettings(before, after) ? 1 : 0);
    pty_test::writeReport(reportFd, text);
  };
  pty_test::PtyRun run = pty_test::runOnPty(body, {});
  EXPECT_EQ(run.report, "0000 canon=0 echo=0 same=1");
  EXPECT_EQ(set_termio(-1), -1);
}

TEST(LineEditorTest, add_history_kil_history) {
  hist* first = add_history(nullptr, nullptr);
  ASSERT_NE(first, nullptr);
  EXPECT_STREQ(first->line, "");
  hist* second = add_history(first, "two");
  // Appending through an older entry still appends after the newest.
  hist* third = add_history(first, "three");
  EXPECT_EQ(second->next, third);
  EXPECT_EQ(third->prev, second);
  EXPECT_STREQ(third->line, "three");

  kil_history(second);  // frees second and third; first becomes the newest
  EXPECT_EQ(first->next, nullptr);
  kil_history(first);
  kil_history(nullptr);
}

}  // namespace
