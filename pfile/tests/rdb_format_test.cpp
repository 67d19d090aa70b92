// Tests of the tab-separated parameter-file reader and writer on real files.
#include "rdb_format.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "pfile_int.h"
#include "pfile_test_helpers.h"

namespace {

const char* const kHeader = "name\ttype\tmode\tvalue\tmin\tmax\tprompt\n";
const char* const kDashes = "----\t----\t----\t-----\t---\t---\t------\n";

const char* text(const Value& v) { return static_cast<const char*>(v.value); }

class RdbFormatTest : public TempDirTest {};

TEST_F(RdbFormatTest, RDBParOpen_readsHeaderDashesAndRecords) {
  std::string p = write("t.rdb", std::string(kHeader) + kDashes +
                                     "infile\tf\tq\tbas.fits\t\t\tEvent file\n"
                                     "count\ti\th\t3\t1\t10\t\n"
                                     "flag\tb\tal\tyes\n");
  ListKeeper k{RDBParOpen(p.c_str(), "r")};
  ASSERT_NE(k.list, nullptr);
  ASSERT_NE(k.list, ParamFileCant);
  ASSERT_EQ(k.list->nparam, 3);
  EXPECT_EQ(k.list->param[3], nullptr);
  EXPECT_EQ(k.list->read, RDBParRead);
  EXPECT_EQ(k.list->writ, RDBParWrit);
  EXPECT_STREQ(k.list->mode, "r");

  const Parameter* in = k.list->param[0];
  EXPECT_STREQ(in->pname, "infile");
  EXPECT_EQ(in->ptype, FileType);
  EXPECT_EQ(in->pmode, QueryMode);
  EXPECT_STREQ(text(in->pvalue), "bas.fits");
  EXPECT_EQ(in->pmin.value, nullptr);
  EXPECT_STREQ(in->pprompt, "Event file");

  const Parameter* count = k.list->param[1];
  EXPECT_EQ(count->ptype, IntegerType);
  EXPECT_EQ(count->pmode, HiddenMode);
  EXPECT_STREQ(text(count->pmin), "1");
  EXPECT_STREQ(text(count->pmax), "10");
  EXPECT_EQ(count->pprompt, nullptr);

  const Parameter* flag = k.list->param[2];  // a short line: the missing fields stay absent
  EXPECT_EQ(flag->pmode, AutoMode | LearnMode);
  EXPECT_STREQ(text(flag->pvalue), "yes");
  EXPECT_EQ(flag->pmax.value, nullptr);
  EXPECT_EQ(parerr, PARAM_OK);
}

TEST_F(RdbFormatTest, RDBParOpen_columnsInAnyOrder) {
  std::string p = write("o.rdb",
                        "prompt\tvalue\tmode\ttype\tname\n"
                        "------\t-----\t----\t----\t----\n"
                        "Source x\t4096.5\th\tr\txpos\n"
                        "\t\tq\ts\tevents\n");
  ListKeeper k{RDBParOpen(p.c_str(), "r")};
  ASSERT_NE(k.list, nullptr);
  ASSERT_NE(k.list, ParamFileCant);
  ASSERT_EQ(k.list->nparam, 2);
  EXPECT_STREQ(k.list->param[0]->pname, "xpos");
  EXPECT_EQ(k.list->param[0]->ptype, RealType);
  EXPECT_EQ(k.list->param[0]->pmode, HiddenMode);
  EXPECT_STREQ(text(k.list->param[0]->pvalue), "4096.5");
  EXPECT_STREQ(k.list->param[0]->pprompt, "Source x");
  // A record without a value gets the empty string.
  EXPECT_STREQ(text(k.list->param[1]->pvalue), "");
}

TEST_F(RdbFormatTest, RDBParOpen_badHeaderFailsTheFile) {
  struct Case {
    const char* what;
    std::string header;
  };
  const Case cases[] = {
      {"capital letter", "Name\ttype\tmode\n"},
      {"blank between words", "name type\tmode\n"},
      {"unknown column", "name\ttype\tmode\tcolour\n"},
      {"repeated column", "name\ttype\tmode\tname\n"},
      {"eight columns", "name\ttype\tmode\tvalue\tmin\tmax\tprompt\tvalue\n"},
      {"empty column", "name\t\ttype\tmode\n"},
      {"empty file", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string p = write("h.rdb", c.header + (c.header.empty() ? ""
                                                                : "----\n"
                                                                  "a\ts\th\tx\n"));
    EXPECT_EQ(RDBParOpen(p.c_str(), "r"), ParamFileCant);
  }
}

TEST_F(RdbFormatTest, RDBParOpen_headerAndDashesOnlyFails) {
  std::string p = write("empty.rdb", std::string(kHeader) + kDashes);
  EXPECT_EQ(RDBParOpen(p.c_str(), "r"), ParamFileCant);
  // Lines that all drop out leave no parameter either.
  std::string q = write("bad.rdb", std::string(kHeader) + kDashes + "a\tzz\th\tx\n\n");
  testing::internal::CaptureStderr();
  EXPECT_EQ(RDBParOpen(q.c_str(), "r"), ParamFileCant);
  testing::internal::GetCapturedStderr();
}

TEST_F(RdbFormatTest, RDBParOpen_missingFileOrNullName) {
  EXPECT_EQ(RDBParOpen(nullptr, "r"), nullptr);
  EXPECT_EQ(RDBParOpen(path("absent.rdb").c_str(), "r"), nullptr);
}

TEST_F(RdbFormatTest, RDBParOpen_findsNameWithoutExtension) {
  write("task.rdb", std::string(kHeader) + kDashes + "a\ts\th\tx\n");
  ListKeeper k{RDBParOpen(path("task").c_str(), "r")};
  ASSERT_NE(k.list, nullptr);
  ASSERT_NE(k.list, ParamFileCant);
  EXPECT_EQ(std::string(k.list->filename), path("task.rdb"));
}

TEST_F(RdbFormatTest, RDBParOpen_badTypeOrModeDropsTheRecord) {
  std::string p = write("d.rdb", std::string(kHeader) + kDashes +
                                     "a\ts\th\tfirst\n"
                                     "b\tzz\th\tx\n"
                                     "c\ts\txyz\tx\n"
                                     "d\ts\th\tlast\n");
  testing::internal::CaptureStderr();
  ListKeeper k{RDBParOpen(p.c_str(), "r")};
  std::string err = testing::internal::GetCapturedStderr();
  ASSERT_NE(k.list, nullptr);
  ASSERT_NE(k.list, ParamFileCant);
  ASSERT_EQ(k.list->nparam, 2);
  EXPECT_STREQ(k.list->param[0]->pname, "a");
  EXPECT_STREQ(k.list->param[1]->pname, "d");
  EXPECT_NE(err.find("rdb parser: parameter has unknown type : b\n"), std::string::npos);
  EXPECT_NE(err.find("rdb parser: cannot convert parameter value : c\n"), std::string::npos);
  EXPECT_EQ(parerr, PARAM_OK);
}

TEST_F(RdbFormatTest, RDBParOpen_otherCharactersOnDashesLineGoToStdout) {
  std::string p = write("s.rdb", std::string(kHeader) + "--x--\t-S-\n" + "a\ts\th\tv\n");
  testing::internal::CaptureStdout();
  ListKeeper k{RDBParOpen(p.c_str(), "r")};
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "xS");
  ASSERT_NE(k.list, nullptr);
  EXPECT_EQ(k.list->nparam, 1);
}

TEST_F(RdbFormatTest, RDBParOpen_extraFieldsAreIgnored) {
  std::string p = write("x.rdb",
                        "name\ttype\tmode\n----\t----\t----\n"
                        "a\ts\th\tvalue\tmin\tmax\tprompt\tmore\tand\tmore\n");
  ListKeeper k{RDBParOpen(p.c_str(), "r")};
  ASSERT_NE(k.list, nullptr);
  ASSERT_NE(k.list, ParamFileCant);
  ASSERT_EQ(k.list->nparam, 1);
  EXPECT_STREQ(text(k.list->param[0]->pvalue), "");
  EXPECT_EQ(k.list->param[0]->pmin.value, nullptr);
  EXPECT_EQ(k.list->param[0]->pprompt, nullptr);

  std::string q = write("y.rdb", std::string(kHeader) + kDashes + "a\ts\th\tv\t1\t2\tP\tQ\tR\n");
  ListKeeper k2{RDBParOpen(q.c_str(), "r")};
  ASSERT_NE(k2.list, ParamFileCant);
  EXPECT_STREQ(k2.list->param[0]->pprompt, "P");
}

TEST_F(RdbFormatTest, RDBParWrit_blanksSurviveWriteAndRead) {
  std::string p =
      write("w.rdb", std::string(kHeader) + kDashes + "title\ts\tl\told\t\t\tA title\n");
  {
    ListKeeper k{RDBParOpen(p.c_str(), "rw")};
    ASSERT_NE(k.list, nullptr);
    ASSERT_NE(k.list, ParamFileCant);
    ASSERT_EQ(ValueSetString(&k.list->param[0]->pvalue, "  two  words "), 0);
    RDBParWrit(k.list->file, k.list, "rw");
  }
  EXPECT_EQ(slurp(p), std::string(kHeader) + kDashes + "title\ts\tl\t  two  words \t\t\tA title\n");
  ListKeeper k{RDBParOpen(p.c_str(), "r")};
  ASSERT_NE(k.list, ParamFileCant);
  EXPECT_STREQ(text(k.list->param[0]->pvalue), "  two  words ");
  EXPECT_STREQ(k.list->param[0]->pprompt, "A title");
}

TEST_F(RdbFormatTest, RDBParWrit_escapesTabAndNewline) {
  std::string p = write("e.rdb", std::string(kHeader) + kDashes + "a\ts\th\tx\n" + "b\ts\th\ty\n");
  {
    ListKeeper k{RDBParOpen(p.c_str(), "rw")};
    ASSERT_NE(k.list, ParamFileCant);
    ASSERT_EQ(ValueSetString(&k.list->param[0]->pvalue, "one\ttwo\nthree"), 0);
    k.list->param[0]->pprompt = pfile_detail::dup_string("tab\there");
    RDBParWrit(k.list->file, k.list, "rw");
  }
  EXPECT_EQ(slurp(p), std::string(kHeader) + kDashes +
                          "a\ts\th\tone\\ttwo\\nthree\t\t\ttab\\there\n" + "b\ts\th\ty\t\t\t\n");
  ListKeeper k{RDBParOpen(p.c_str(), "r")};
  ASSERT_NE(k.list, ParamFileCant);
  ASSERT_EQ(k.list->nparam, 2);
  EXPECT_STREQ(text(k.list->param[0]->pvalue), "one\\ttwo\\nthree");
  EXPECT_STREQ(text(k.list->param[1]->pvalue), "y");
}

TEST_F(RdbFormatTest, RDBParWrit_truncatesAndLeavesOutComments) {
  std::string p =
      write("c.rdb", std::string(kHeader) + kDashes + "a\ts\th\tx\t\t\tA long prompt text\n" +
                         "b\ts\th\ty\t\t\tAnother long prompt text\n");
  {
    ListKeeper k{RDBParOpen(p.c_str(), "rw")};
    ASSERT_NE(k.list, ParamFileCant);
    Parameter* b = k.list->param[1];
    ASSERT_EQ(PListDel(k.list, b), 0);
    ParamFree(b);
    Parameter* comment = ParamAlloc();
    comment->pname = pfile_detail::dup_string("#");
    comment->ptype = CommentType;
    ASSERT_EQ(ValueSetString(&comment->pvalue, "# a comment"), 0);
    ASSERT_EQ(PListAdd(k.list, comment), 0);
    RDBParWrit(k.list->file, k.list, "rw");
  }
  EXPECT_EQ(slurp(p), std::string(kHeader) + kDashes + "a\ts\th\tx\t\t\tA long prompt text\n");
}

TEST_F(RdbFormatTest, RDBParRead_rewindsAndReadsAgain) {
  std::string p = write("r.rdb", std::string(kHeader) + kDashes + "a\ti\th\t7\n");
  ListKeeper k{RDBParOpen(p.c_str(), "r")};
  ASSERT_NE(k.list, ParamFileCant);
  ListKeeper again{RDBParRead(k.list->file, "r")};
  ASSERT_NE(again.list, nullptr);
  again.list->file = nullptr;  // the stream belongs to the first list
  ASSERT_EQ(again.list->nparam, 1);
  EXPECT_STREQ(text(again.list->param[0]->pvalue), "7");
  EXPECT_EQ(RDBParRead(nullptr, "r"), nullptr);
}

TEST_F(RdbFormatTest, c_paramopen_headerAndDashesOnlyIsCode24) {
  std::string p = write("empty.rdb", std::string(kHeader) + kDashes);
  EXPECT_EQ(c_paramopen(p.c_str(), nullptr, 0, "r"), nullptr);
  EXPECT_EQ(parerr, PARAM_FILE_READ_ERROR);
}

TEST_F(RdbFormatTest, c_paramclose_valuesWithBlanksAndTabsSurvive) {
  std::string p =
      write("task.rdb", std::string(kHeader) + kDashes + "title\ts\th\told\t\t\tTitle\n" +
                            "bins\ti\th\t5\t1\t10\tBins\n");
  ParamFile* f = c_paramopen(p.c_str(), nullptr, 0, "rwH");
  ASSERT_NE(f, nullptr);
  c_pputstr(f, "title", " a b\tc ");
  c_pputi(f, "bins", 7);
  c_paramclose(f);

  f = c_paramopen(p.c_str(), nullptr, 0, "rH");
  ASSERT_NE(f, nullptr);
  char buf[64] = {};
  EXPECT_STREQ(c_pgetstr(f, "title", buf, sizeof buf - 1), " a b\tc ");
  EXPECT_EQ(c_pgeti(f, "bins"), 7);
  c_paramclose(f);
}

}  // namespace
