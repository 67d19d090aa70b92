// Tests of the message routines, the debug levels with package levels and the
// routine stack, the version registry and the library start-up.
#include <unistd.h>

#include <fcntl.h>
#include <string>

#include "util_test_helpers.h"

namespace {

class MsgTest : public UtilTest {};

TEST_F(MsgTest, Msg_trailingBlanksAndPrompts) {
  Captured c = capture([] {
    msg("abc   ");
    msgl("prompt: ");
    msgl("x");
    msg_endline();
    msg_endline();  // nothing to end
    tmsg("term  ");
    tmsgl("> ");
  });
  EXPECT_EQ(c.out, "abc\nprompt: x\nterm\n> ");
  EXPECT_EQ(c.err, "");
}

TEST_F(MsgTest, ErrMsg_goesToErrorChannel) {
  Captured c = capture([] {
    err_msg("bad  ");
    err_msg1("text", "item");
  });
  EXPECT_EQ(c.err, "bad\ntext item\n");
  EXPECT_EQ(c.out, "");
}

TEST_F(MsgTest, Msg_orderWithDirectPrints) {
  Captured c = capture([] {
    std::printf("one\n");
    msg("two");
    std::printf("three\n");
    tmsg("four");
    std::fputs("five\n", stdout);
  });
  EXPECT_EQ(c.out, "one\ntwo\nthree\nfour\nfive\n");
}

TEST_F(MsgTest, Msg_longTextWrittenWhole) {
  std::string text(600, 'm');
  text.back() = 'E';
  Captured c = capture([&] {
    msg(text.c_str());
    err_msg1(text.c_str(), "tail");
    dmsg(0, text.c_str());
  });
  EXPECT_EQ(c.out, text + "\n");
  EXPECT_EQ(c.err, text + " tail\n" + "[*0]  " + text + "\n");
}

TEST_F(MsgTest, Dashline_zeroAndHundred) {
  Captured c = capture([] {
    dashline(0);
    dashline(100);
    dashline(-3);
  });
  EXPECT_EQ(c.out, "\n" + std::string(100, '-') + "\n\n");
}

TEST_F(MsgTest, DbgSet_announcesPositiveLevels) {
  Captured c = capture([] { dbg_set(0); });
  EXPECT_EQ(c.err, "");
  c = capture([] { dbg_set(3); });
  EXPECT_EQ(c.err, "[*] Debug level set to [*3]\n");
  EXPECT_EQ(dbg_get(), 3);
  EXPECT_TRUE(dbg_level(3));
  EXPECT_FALSE(dbg_level(4));
}

TEST_F(MsgTest, Dmsg_tagPaddingAndLevel) {
  char tag[32];
  dmsg_tag(12, tag);
  EXPECT_STREQ(tag, "[*12]");
  Captured c = capture([] {
    dbg_set(1);
    dmsg(2, "hidden");
    dbg_set(2);
  });
  c = capture([] {
    dmsg(2, "x");
    dmsg1(1, "key=", "val");
    dmsg(12, "too deep");
  });
  EXPECT_EQ(c.err, "[*2]  x\n[*1]  key=val\n");
  EXPECT_EQ(c.out, "");
  dbg_set(100);
  c = capture([] { dmsg(100, "wide"); });
  EXPECT_EQ(c.err, "[*100]wide\n");
}

TEST_F(MsgTest, DbgGet_packageLevelOfInnermostRoutine) {
  capture([] { dbg_setpkg("PKG A", 2); });
  EXPECT_EQ(dbg_get(), 0);
  dbg_push("PKG A", "ROUTINE 1");
  EXPECT_EQ(dbg_get(), 2);
  Captured c = capture([] { dmsg(2, "shown"); });
  EXPECT_EQ(c.err, "[*2]  shown\n");
  dbg_push("PKG B", "ROUTINE 2");
  EXPECT_EQ(dbg_get(), 0);  // only the innermost routine's package counts
  dbg_pop();
  EXPECT_EQ(dbg_get(), 2);
  dbg_pop();
  EXPECT_EQ(dbg_get(), 0);
  capture([] { dbg_set(1); });
  EXPECT_EQ(dbg_get(), 1);
}

TEST_F(MsgTest, DbgSetpkg_allLeavesGlobal) {
  dbg_addpkg("P1");
  dbg_addpkg("P2");
  dbg_setpkg("ALL", 5);
  EXPECT_EQ(dbg_get(), 0);
  dbg_push("P2", "R");
  EXPECT_EQ(dbg_get(), 5);
  dbg_pop();
  EXPECT_EQ(dbg_addpkg("P1  "), dbg_addpkg("P1"));
}

TEST_F(MsgTest, DbgPush_overflowKeepsPairing) {
  dbg_setpkg("OUTER", 4);
  dbg_push("OUTER", "R0");
  for (int k = 1; k < 30; ++k) dbg_push("INNER", "RX");
  EXPECT_EQ(dbg_get(), 0);
  // The 19 stacked and 10 ignored inner pushes are popped; the outer routine remains.
  for (int k = 1; k < 30; ++k) dbg_pop();
  EXPECT_EQ(dbg_get(), 4);
  dbg_pop();
  dbg_pop();  // a pop on an empty stack does nothing
  EXPECT_EQ(dbg_get(), 0);
}

// Runs in its own process: filling the package list would change later tests.
TEST(MsgOverflow, DbgAddpkg_listOverflow) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        ::dup2(2, 1);  // the terminal message becomes visible to the death test
        rirade_init();
        int first = dbg_addpkg("OVF 0");
        int n = 1;
        while (n < 20 && dbg_addpkg(("OVF " + std::to_string(n)).c_str()) >= 0) ++n;
        // The 21st name overflows, is refused and changes no level.
        dbg_setpkg("ALL", 3);
        dbg_setpkg("OVF NEW", 9);
        bool refused = dbg_addpkg("OVF NEW") == -1;
        // A push under the unregistered package still pairs with its pop.
        dbg_push("OVF 0", "OUTER");
        dbg_push("OVF NEW", "INNER");
        bool unlevelled = dbg_get() == 0;
        dbg_pop();
        bool back = dbg_get() == 3 && dbg_addpkg("OVF 0") == first;
        std::fflush(stdout);
        std::exit(refused && unlevelled && back ? 0 : 1);
      },
      testing::ExitedWithCode(0), "Routine list_add: list overflow\n");
}

TEST_F(MsgTest, DbgListpkg_levels) {
  dbg_setpkg("LISTED", 4);
  Captured c = capture([] { dbg_listpkg(); });
  EXPECT_EQ(c.err.rfind("[*] DEBUG PACKAGES ACTIVE\n*Package*                       Level\n\n"
                        "GLOBAL                          [*0]\n",
                        0),
            0u);
  EXPECT_NE(c.err.find("\nLISTED                          [*4]\n"), std::string::npos);
}

TEST_F(MsgTest, DbgDisptree_wrapsLongStacks) {
  Captured c = capture([] {
    dbg_push("T", "FIRST");
    dbg_push("T", "SECOND");
    dbg_disptree();
    dbg_disppkg();
    dbg_pop();
    dbg_pop();
  });
  // The final '/' becomes a blank, which the line writer drops.
  EXPECT_EQ(c.err, "[*->] FIRST/SECOND\nT                               SECOND\n");
  std::string name(30, 'N');
  c = capture([&] {
    for (int k = 0; k < 4; ++k) dbg_push("T", name.c_str());
    dbg_disptree();
    for (int k = 0; k < 4; ++k) dbg_pop();
  });
  // Two names and part of the third fill the first line; the third starts the next.
  std::string first = "[*->] " + name + "/" + name + "/" + name.substr(0, 20);
  std::string second = "      " + name + "/" + name;
  EXPECT_EQ(c.err, first + "\n" + second + "\n");
}

TEST_F(MsgTest, DbgTrace_showsPushes) {
  dbg_trace(1);
  Captured c = capture([] {
    dbg_push("T", "TRACED");
    dbg_pop();
  });
  dbg_trace(0);
  EXPECT_EQ(c.err, "[*->] TRACED\n[*->]\n");
}

TEST_F(MsgTest, VerInit_registersOnceAndWarns) {
  EXPECT_EQ(ver_init("MY PKG", "1.0"), 0);
  EXPECT_EQ(ver_init("MY PKG", "1.0"), 1);
  Captured c = capture([] { EXPECT_EQ(ver_init("RIRADE UTILS", "CV9"), 1); });
  EXPECT_EQ(c.err, "RIRADE WARNING: Package version mismatch  RIRADE UTILS\n");
  EXPECT_EQ(rirade_init(), 0);
  char v[32];
  rirade_ver(v);
  EXPECT_STREQ(v, "CV1.4");
  c = capture([] { ver_msg(); });
  EXPECT_NE(c.out.find("RIRADE UTILS CV1.4\n"), std::string::npos);
  EXPECT_NE(c.out.find("MY PKG 1.0\n"), std::string::npos);
}

TEST_F(MsgTest, VerInit_reportsAtLevelOne) {
  capture([] { dbg_set(1); });
  Captured c = capture([] { ver_init("TRACED PKG", "2.0"); });
  EXPECT_EQ(c.err, "[*1]  Init TRACED PKG 2.0\n\n");
}

TEST_F(MsgTest, VerInit_keepsThirtyNineEntries) {
  for (int k = 0; k < 45; ++k) ver_init(("FILL " + std::to_string(k)).c_str(), "1");
  Captured c = capture([] { ver_msg(); });
  int lines = 0;
  for (char ch : c.out) lines += ch == '\n';
  EXPECT_EQ(lines, 39);
  EXPECT_NE(c.out.find("FILL 44 1"), std::string::npos);
}

TEST_F(MsgTest, IoOut_redirectsMsgToFile) {
  int ch = fio_open_w(path("listing.txt").c_str());
  ASSERT_GT(ch, 0);
  io_out(ch);
  EXPECT_EQ(io_chan(1), ch);
  Captured c = capture([] { msg("to the file"); });
  io_out(0);
  EXPECT_EQ(io_chan(1), 6);
  fio_close(ch);
  EXPECT_EQ(c.out, "");
  EXPECT_EQ(read_file(path("listing.txt")), "to the file\n");
}

TEST_F(MsgTest, IoPrintState_lists) {
  Captured c = capture([] { io_print_state(); });
  std::string dashes(40, '-');
  EXPECT_EQ(c.out, "\n" + dashes + "\n RIRADE Basic IO (BIO) Status\n" + dashes +
                       "\n  Input Channel:  5\n  Output Channel: 6\n  Error Channel:  7\n");
}

// Both standard streams go to one file, as with "2>&1": an error line comes
// after text printed directly on stdout before it.
TEST(MsgOrder, ErrMsg_afterPendingStdout) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        ::dup2(2, 1);
        std::setvbuf(stdout, nullptr, _IOFBF, 4096);
        rirade_init();
        std::printf("printed first\n");
        err_msg("error second");
        std::exit(0);
      },
      testing::ExitedWithCode(0), "printed first\nerror second\n");
}

// Runs in a fresh process, before any start-up: messages and errors both
// reach standard output.
TEST(MsgBeforeInit, Msg_writesToStdoutBeforeInit) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        // Standard output is sent where the death test reads; standard error is dropped.
        int err = ::dup(2);
        ::dup2(err, 1);
        int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 2);
        msg("MSG BEFORE");
        err_msg("ERR BEFORE");
        rirade_init();
        err_msg("ERR AFTER");
        std::exit(0);
      },
      testing::ExitedWithCode(0), "MSG BEFORE\nERR BEFORE\n$");
}

}  // namespace
