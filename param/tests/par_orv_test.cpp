// Tests of orv_par_open, the parameter table's hand-off to the parameter-file
// library: values loaded within the table's buffers, queries on a terminal, and
// first runs that copy the reference file while others read it.
#include <sys/stat.h>
#include <sys/wait.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "param/par.h"
#include "pfile/pfile.h"
#include "pfile_access_helpers.h"
#include "pty_helpers.h"
#include "util/util.h"

namespace {

class ParOrvTest : public PfileAccessTest {};

TEST_F(ParOrvTest, orv_par_open_loadsEveryParameterWithinItsBuffers) {
  // A value as long as the table holds loads whole; one character more is
  // refused, naming the parameter, and never cut.
  const std::string longest(PAR_VALUE_LEN, 'v');
  write("v.par",
        "events,f,h,\"bas.fits\",,,\nlong,s,h,\"" + longest + "\",,,\nxpos,r,h,4096.50,,,\n");
  par_table* table = par_alloc(10);
  EXPECT_EQ(orv_par_open(path("v.par").c_str(), table), 0);
  char out[PAR_VALUE_LEN + 1];
  EXPECT_EQ(par_get_g(table, "events", out), 0);
  EXPECT_STREQ(out, "bas.fits");
  EXPECT_EQ(par_get_g(table, "long", out), 1);
  EXPECT_EQ(out, longest);
  EXPECT_EQ(par_get_g(table, "xpos", out), 2);
  EXPECT_STREQ(out, "4096.5");
  EXPECT_EQ(PFList, nullptr);  // the file was closed again

  // A missing file leaves the table as it was.
  EXPECT_EQ(orv_par_open(path("none.par").c_str(), table), 0);
  EXPECT_EQ(table->count, 3);

  write("w.par", "wide,s,h,\"" + longest + "w\",,,\n");
  rirade_init();  // messages go to the error channel
  testing::internal::CaptureStderr();
  EXPECT_EQ(orv_par_open(path("w.par").c_str(), table), -1);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("WIDE longer than 1023"),
            std::string::npos);
  EXPECT_EQ(table->count, 3);
  par_free(table);
}

// Eight first runs at once, sharing a user directory that starts empty: each
// one copies the reference file there, and each one must read it whole.
TEST_F(ParOrvTest, orv_par_open_concurrentFirstRunsReadTheWholeReferenceCopy) {
  std::string ref = path("ref");
  ASSERT_EQ(mkdir(ref.c_str(), 0755), 0);
  constexpr int Params = 300;
  std::string text = "# reference\n";
  for (int i = 0; i < Params; ++i) {
    text += "p" + std::to_string(i) + ",s,h,\"" + std::string(40, 'v') + "\",,,\"Parameter\"\n";
  }
  write("ref/varto.par", text);
  for (int round = 0; round < 10; ++round) {
    std::string user = path("user" + std::to_string(round));
    ASSERT_EQ(mkdir(user.c_str(), 0755), 0);
    setenv("PFILES", (user + ";" + ref).c_str(), 1);
    std::vector<pid_t> runs;
    for (int k = 0; k < 8; ++k) {
      pid_t pid = fork();
      ASSERT_GE(pid, 0);
      if (pid == 0) {
        par_table* table = par_alloc(PAR_TABLE_CAPACITY);
        int status = orv_par_open("varto.par", table);
        _exit(status == 0 && table->count == Params ? 0 : 1);
      }
      runs.push_back(pid);
    }
    for (pid_t pid : runs) {
      int status = -1;
      ASSERT_EQ(waitpid(pid, &status, 0), pid);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "round " << round;
    }
    EXPECT_EQ(slurp(user + "/varto.par"), text);
  }
}

TEST_F(ParOrvTest, orv_par_open_asksQueryParametersOnTerminal) {
  std::string file = write("q.par", "events,f,h,\"a.fits\",,,\nn,i,q,5,1,10,\"Bins\"\n");
  pty_test::PtyRun run = pty_test::runOnPty(
      [&](int fd) {
        par_table* table = par_alloc(10);
        orv_par_open(file.c_str(), table);
        char out[PAR_VALUE_LEN + 1];
        par_get_g(table, "n", out);
        pty_test::writeReport(fd, "[" + std::string(out) + "]");
        par_free(table);
      },
      {{"Bins (1:10) (5): ", "8\r"}});
  ASSERT_FALSE(run.timedOut) << run.screen;
  EXPECT_EQ(run.report, "[8]") << run.screen;
}

}  // namespace
