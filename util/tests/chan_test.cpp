// Tests of the channel table: opening with mode names and the QELPATH search,
// line reading and writing, channel reuse, stacks, the pager and the retry prompt.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "util_test_helpers.h"

namespace {

class ChanTest : public UtilTest {};

TEST_F(ChanTest, FioOpen_terminalNamesOpenNothing) {
  EXPECT_EQ(fio_open_r("*"), 0);
  EXPECT_EQ(fio_open_r("   "), 0);
  EXPECT_EQ(fio_open_w(""), 0);
  EXPECT_EQ(fio_open_file("*", "SEQ R", 0), 0);
  EXPECT_EQ(fio_open_r(path("missing.txt").c_str()), 0);  // silently, without retry
}

TEST_F(ChanTest, FioOpen_reusesLowestFreeChannel) {
  std::string a = write_file("a.txt", "A\n");
  std::string b = write_file("b.txt", "B\n");
  int ch1 = fio_open_r(a.c_str());
  ASSERT_GT(ch1, 0);
  EXPECT_NE(ch1, 5);
  EXPECT_NE(ch1, 6);
  EXPECT_NE(ch1, 7);
  int ch2 = fio_open_r(b.c_str());
  ASSERT_GT(ch2, 0);
  EXPECT_NE(ch2, ch1);
  fio_close(ch1);
  EXPECT_STREQ(fio_get_name(ch1), " ");
  int ch3 = fio_open_r(b.c_str());
  EXPECT_EQ(ch3, ch1);
  EXPECT_STREQ(fio_get_name(ch3), b.c_str());
  EXPECT_STREQ(fio_get_type(ch3), "SEQ R");
  fio_close(ch2);
  fio_close(ch3);
  fio_close(0);
  fio_close(-4);
}

// Archive paths pass 255 characters; the channel opens the whole name, never a cut one.
TEST_F(ChanTest, FioOpen_longPathOpensWhole) {
  std::string dir = path(std::string(200, 'd'));
  ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
  dir += "/" + std::string(200, 'e');
  ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
  std::string name = dir + "/x.txt";
  {
    std::FILE* fp = std::fopen(name.c_str(), "w");
    ASSERT_NE(fp, nullptr);
    std::fputs("X\n", fp);
    std::fclose(fp);
  }
  int ch = fio_open_r(name.c_str());
  ASSERT_GT(ch, 0);
  EXPECT_EQ(std::string(fio_get_name(ch)), name);
  fio_close(ch);
}

TEST(ChanFresh, FioOpen_firstChannelIsOne) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        rirade_init();
        int first = fio_open_w("/dev/null");
        fio_close(first);
        int again = fio_open_r("/dev/null");
        std::exit(first == 1 && again == 1 ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

TEST_F(ChanTest, FioOpen_tableOverflow) {
  std::vector<int> open;
  Captured c = capture([&] {
    for (int k = 0; k < 120; ++k) {
      int ch = fio_open_r("/dev/null");
      if (ch == 0) break;
      open.push_back(ch);
    }
  });
  // Channels 5, 6 and 7 are taken by the standard streams.
  EXPECT_EQ(open.size(), 97u);
  EXPECT_EQ(c.out, "QEL FILE Overflow\n");
  for (int ch : open) fio_close(ch);
  int again = fio_open_r("/dev/null");
  EXPECT_EQ(again, 1);
  fio_close(again);
}

TEST_F(ChanTest, FioRead_lastLineWithoutNewline) {
  std::string p = write_file("lines.txt", "first\r\nsecond\nlast");
  int ch = fio_open_r(p.c_str());
  ASSERT_GT(ch, 0);
  char buf[64];
  EXPECT_EQ(fio_read(ch, buf, sizeof buf), 1);
  EXPECT_STREQ(buf, "first");
  EXPECT_EQ(fio_read(ch, buf, sizeof buf), 1);
  EXPECT_STREQ(buf, "second");
  EXPECT_EQ(fio_read(ch, buf, sizeof buf), 1);
  EXPECT_STREQ(buf, "last");
  EXPECT_EQ(fio_get_lineno(ch), 3);
  EXPECT_FALSE(fio_test_eof(ch));
  EXPECT_EQ(fio_read(ch, buf, sizeof buf), 0);
  EXPECT_STREQ(buf, " ");
  EXPECT_TRUE(fio_test_eof(ch));
  fio_clear_eof(ch);
  EXPECT_FALSE(fio_test_eof(ch));
  fio_close(ch);
  EXPECT_EQ(fio_read(ch, buf, sizeof buf), 0);  // a closed channel reads nothing
  EXPECT_STREQ(buf, " ");
}

TEST_F(ChanTest, FioRead_longLineCutToBuffer) {
  std::string p = write_file("long.txt", std::string(100, 'x') + "\nnext\n");
  int ch = fio_open_r(p.c_str());
  char buf[11];
  EXPECT_EQ(fio_read(ch, buf, sizeof buf), 1);
  EXPECT_EQ(std::string(buf), std::string(10, 'x'));
  EXPECT_EQ(fio_read(ch, buf, sizeof buf), 1);
  EXPECT_STREQ(buf, "next");
  fio_close(ch);
}

TEST_F(ChanTest, FioWrite_longLineInPieces) {
  std::string text(3000, 'a');
  for (std::size_t k = 0; k < text.size(); ++k) text[k] = static_cast<char>('a' + k % 26);
  int ch = fio_open_w(path("out.txt").c_str());
  ASSERT_GT(ch, 0);
  EXPECT_EQ(fio_write(ch, (text + "   ").c_str()), 1);
  EXPECT_EQ(fio_write_prompt(ch, "p: "), 1);
  EXPECT_EQ(fio_get_pos(ch), 3);
  EXPECT_EQ(fio_write_eol(ch), 1);
  EXPECT_EQ(fio_get_pos(ch), 0);
  EXPECT_EQ(fio_write_eol(ch), 1);  // nothing to end
  fio_close(ch);
  EXPECT_EQ(read_file(path("out.txt")), text + "\np: \n");
}

TEST_F(ChanTest, FioOpenW_neverSearchesPath) {
  std::string sub = path("dir1");
  std::filesystem::create_directories(sub);
  write_file("dir1/w.txt", "old\n");
  fio_path_set(sub.c_str());
  std::filesystem::path before = std::filesystem::current_path();
  std::filesystem::current_path(dir_);
  int ch = fio_open_w("w.txt");
  std::filesystem::current_path(before);
  ASSERT_GT(ch, 0);
  fio_write(ch, "new");
  fio_close(ch);
  EXPECT_EQ(read_file(path("w.txt")), "new\n");
  EXPECT_EQ(read_file(path("dir1/w.txt")), "old\n");
}

TEST_F(ChanTest, FioOpenR_searchesQelpath) {
  std::filesystem::create_directories(path("d1"));
  std::filesystem::create_directories(path("d2"));
  write_file("d2/found.txt", "from d2\n");
  ::setenv("QELPATH", (path("d1") + " ; " + path("d2")).c_str(), 1);
  fio_path_init();
  int ch = fio_open_r("found.txt");
  ASSERT_GT(ch, 0);
  EXPECT_STREQ(fio_get_name(ch), "found.txt");
  char buf[32];
  fio_read(ch, buf, sizeof buf);
  EXPECT_STREQ(buf, "from d2");
  fio_close(ch);
  char out[256];
  EXPECT_TRUE(fio_inquire_path("found.txt", out, sizeof out));
  EXPECT_EQ(std::string(out), path("d2") + "/found.txt");
  // A name from the root is never searched.
  EXPECT_FALSE(fio_inquire_path("/found.txt", out, sizeof out));
  EXPECT_STREQ(out, "/found.txt");
  EXPECT_EQ(fio_open_r("/found.txt"), 0);
  // A result that does not fit the caller's buffer is not reported cut.
  char small[8];
  EXPECT_FALSE(fio_inquire_path("found.txt", small, sizeof small));
  EXPECT_STREQ(small, "found.t");
  ::unsetenv("QELPATH");
}

TEST_F(ChanTest, FioPathSet_dollarWordsAndListing) {
  std::filesystem::create_directories(path("env"));
  write_file("env/e.txt", "e\n");
  ::setenv("UTIL_TEST_DIR", path("env").c_str(), 1);
  fio_path_set("$UTIL_TEST_DIR,$UTIL_TEST_UNSET_VARIABLE");
  char out[256];
  EXPECT_TRUE(fio_inquire_path("e.txt", out, sizeof out));
  Captured c = capture([] { fio_path_list(); });
  EXPECT_EQ(c.out, "RIRADE directory search path:\n" + path("env") + "\n\n");
  ::unsetenv("UTIL_TEST_DIR");
}

TEST_F(ChanTest, FioPathSet_keepsFirstTwentyWords) {
  std::string text;
  for (int k = 1; k <= 25; ++k) text += "/nonexistent/p" + std::to_string(k) + " ";
  Captured c = capture([&] { fio_path_set(text.c_str()); });
  EXPECT_EQ(c.err,
            "RIRADE WARNING: QELPATH holds more than 20 directories; the rest are ignored\n");
  c = capture([] { fio_path_list(); });
  EXPECT_NE(c.out.find("/nonexistent/p20\n"), std::string::npos);
  EXPECT_EQ(c.out.find("/nonexistent/p21"), std::string::npos);
  c = capture([&] { fio_path_set("/a /b"); });
  EXPECT_EQ(c.err, "");
}

TEST_F(ChanTest, FioOpenFile_modes) {
  Captured c = capture([&] { EXPECT_EQ(fio_open_file(path("x").c_str(), "SEQ Q", 80), 0); });
  EXPECT_EQ(c.out, "FIO OPEN FILE: Bad mode x 80\n");
  c = capture([&] { EXPECT_EQ(fio_open_d(path("x").c_str(), 10), 0); });
  EXPECT_EQ(c.out, "FIO OPEN FILE: Bad mode x 10\n");

  int w = fio_open_file(path("cio.txt").c_str(), "CIO W", 0);
  ASSERT_GT(w, 0);
  EXPECT_EQ(fio_file_fptr(w), nullptr);
  EXPECT_GE(fio_get_cfd(w), 0);
  fio_write(w, "raw line");
  fio_close(w);
  struct stat st;
  ASSERT_EQ(::stat(path("cio.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777 & ~0022u, 0644u & ~0022u);
  int r = fio_open_file(path("cio.txt").c_str(), "CIO R", 0);
  char buf[32];
  EXPECT_EQ(fio_read(r, buf, sizeof buf), 1);
  EXPECT_STREQ(buf, "raw line");
  EXPECT_EQ(fio_read(r, buf, sizeof buf), 0);
  fio_close(r);

  int a = fio_open_a(path("cio.txt").c_str());
  fio_write(a, "appended");
  fio_set_recl(a, 132);
  EXPECT_EQ(fio_get_recl(a), 132);
  fio_close(a);
  EXPECT_EQ(read_file(path("cio.txt")), "raw line\nappended\n");
  int rw = fio_open_file(path("cio.txt").c_str(), "SIO RW", 0);
  EXPECT_GT(rw, 0);
  fio_close(rw);
  EXPECT_TRUE(fio_inquire(path("cio.txt").c_str()));
  EXPECT_EQ(sys_delete(path("cio.txt").c_str()), 0);
  EXPECT_FALSE(fio_inquire(path("cio.txt").c_str()));
  EXPECT_EQ(sys_delete(path("cio.txt").c_str()), -1);
}

TEST_F(ChanTest, FioChangeDir_prefixesRelativeNames) {
  std::filesystem::create_directories(path("cd"));
  write_file("cd/in.txt", "inside\n");
  fio_change_dir(path("cd").c_str());
  int ch = fio_open_r("in.txt");
  ASSERT_GT(ch, 0);
  char buf[32];
  fio_read(ch, buf, sizeof buf);
  EXPECT_STREQ(buf, "inside");
  fio_close(ch);
}

TEST_F(ChanTest, FioClose_keepsStandardStreams) {
  fio_close(6);
  fio_close(7);
  Captured c = capture([] {
    msg("still out");
    err_msg("still err");
  });
  EXPECT_EQ(c.out, "still out\n");
  EXPECT_EQ(c.err, "still err\n");
  EXPECT_STREQ(fio_get_name(5), "- TTY IN -");
  EXPECT_TRUE(fio_int(0));
  EXPECT_TRUE(fio_int(6));
  EXPECT_FALSE(fio_int(7));
}

TEST_F(ChanTest, IoStacks_pushPopAndOverflow) {
  int ch = fio_open_w(path("stack.txt").c_str());
  io_opush(ch);
  EXPECT_EQ(io_chan(1), ch);
  msg("stacked");
  io_opop();  // closes the file channel
  EXPECT_EQ(io_chan(1), 6);
  EXPECT_STREQ(fio_get_name(ch), " ");
  EXPECT_EQ(read_file(path("stack.txt")), "stacked\n");

  Captured c = capture([] {
    dbg_set(1);
    io_opop();  // below the bottom: back to the terminal
  });
  EXPECT_EQ(c.err, "[*] Debug level set to [*1]\n[*1]  Output to *\n");
  EXPECT_EQ(io_chan(1), 6);

  c = capture([] {
    for (int k = 0; k < 21; ++k) io_ipush(0);
  });
  EXPECT_EQ(c.err, "Too many files on input IO stack\nToo many files on input IO stack\n");
  for (int k = 0; k < 25; ++k) io_ipop();
  EXPECT_EQ(io_chan(0), 5);
  c = capture([] {
    for (int k = 0; k < 20; ++k) io_opush(6);
  });
  EXPECT_EQ(c.err, "Too many files on output IO stack\n");
  for (int k = 0; k < 20; ++k) io_opop();
}

// The pager and the retry prompt read standard input: each runs in its own
// process with its input taken from a file.
void stdin_from(const std::string& text) {
  std::string p = testing::TempDir() + "util_stdin_" + std::to_string(::getpid());
  FILE* f = std::fopen(p.c_str(), "w");
  std::fputs(text.c_str(), f);
  std::fclose(f);
  int fd = ::open(p.c_str(), O_RDONLY);
  ::dup2(fd, 0);
  ::close(fd);
  ::unlink(p.c_str());
}

TEST(ChanTerminal, Pager_promptsAndQuiets) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        ::dup2(2, 1);
        stdin_from("\nq\ntyped\n");
        rirade_init();
        pager_set(1);
        pager_set_length(2);
        for (int k = 1; k <= 6; ++k) tmsg(("line " + std::to_string(k)).c_str());
        char buf[32];
        fio_read(0, buf, sizeof buf);  // a terminal read ends the quiet spell
        tmsg(buf);
        std::exit(0);
      },
      testing::ExitedWithCode(0),
      "line 1\nline 2\n--Press Return to Continue--line 3\nline 4\n"
      "--Press Return to Continue--typed\n$");
}

TEST(ChanTerminal, FioOpenRetry_promptsUntilQuit) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        stdin_from("/nonexistent/second\nq\n");
        rirade_init();
        fio_set_retry(1);
        int ch = fio_open_retry("/nonexistent/first", "SEQ R", 0);
        std::exit(ch == 0 ? 0 : 1);
      },
      testing::ExitedWithCode(0),
      "OPEN RETRY: Try again, full filename \\(Q to quit\\): "
      "OPEN RETRY: Try again, full filename \\(Q to quit\\): "
      "OPEN RETRY: Abandoning attempt to open file /nonexistent/second\n");
}

TEST(ChanTerminal, FioOpenRetry_opensSecondName) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        stdin_from("/dev/null\n");
        rirade_init();
        fio_set_retry(1);
        int ch = fio_open_retry("/nonexistent/first", "SEQ R", 0);
        std::exit(ch > 0 && std::string(fio_get_name(ch)) == "/dev/null" ? 0 : 1);
      },
      testing::ExitedWithCode(0), "Try again");
}

TEST(ChanTerminal, TtyInput_readsStandardInput) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        stdin_from("first line\r\n");
        rirade_init();
        char buf[32];
        int a = tty_input(buf, sizeof buf);
        bool ok = a == 1 && std::string(buf) == "first line";
        int b = io_input(buf, sizeof buf);
        ok = ok && b == 0 && std::string(buf) == " ";
        std::exit(ok ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

}  // namespace
