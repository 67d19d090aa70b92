// Tests of value checks and resolution: enumerations, minimum and maximum,
// indirect references (same file, other file, field suffixes, shell
// commands, cycles), list-structured parameters, psets and indirect classing.
#include <sys/stat.h>
#include <sys/time.h>

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "pfile/pfile.h"
#include "pfile_access_helpers.h"

namespace {

class PfileIndirectTest : public PfileQuietTest {
 protected:
  // Sets name to text and reports the resulting parerr (PARAM_OK on success).
  static int put(ParamFile* pf, const char* name, const char* text) {
    parerr = PARAM_OK;
    return ParamSetX(pf, name, StringType, text) == 0 ? PARAM_OK : parerr;
  }
};

TEST_F(PfileIndirectTest, Enumeration_uniqueAmbiguousAndAbsentPrefixes) {
  write("e.par",
        "colour,s,h,\"gr\",red|green|grey|blue,,\"Colour\"\n"
        "n,i,h,2,1|2|3,,\n"
        "bad,i,h,1,1|x,,\n"
        "both,s,h,a,a|b,z,\n"
        "flag,b,h,yes,yes|no,,\n");
  ParamFile* pf = open("e.par", "rwH");
  ASSERT_NE(pf, nullptr);
  EXPECT_EQ(getx(pf, "colour"), failed(PARAM_ENUM_NOT_UNIQUE));  // green or grey
  EXPECT_EQ(put(pf, "colour", "bl"), PARAM_OK);
  EXPECT_EQ(getx(pf, "colour"), "blue");  // completed
  EXPECT_EQ(put(pf, "colour", "red"), PARAM_OK);
  EXPECT_EQ(put(pf, "colour", "purple"), PARAM_BAD_ENUM);
  EXPECT_EQ(put(pf, "colour", ""), PARAM_ENUM_NOT_UNIQUE);  // the beginning of every item
  EXPECT_EQ(getx(pf, "colour"), "red");                     // failed sets changed nothing
  EXPECT_EQ(getx(pf, "colour.p_min"), "red|green|grey|blue");

  EXPECT_EQ(getx(pf, "n"), "2");
  EXPECT_EQ(put(pf, "n", "4"), PARAM_NOT_IN_RANGE);
  EXPECT_EQ(getx(pf, "bad"), failed(PARAM_BAD_RANGE));
  EXPECT_EQ(getx(pf, "both"), failed(PARAM_RANGE_AND_MAX));
  EXPECT_EQ(getx(pf, "flag"), failed(PARAM_TYPE_NO_RANGE));
  c_paramclose(pf);
  // The enumeration is written back as its items joined by "|".
  EXPECT_NE(slurp(path("e.par")).find("colour,s,h,\"red\",red|green|grey|blue,,\"Colour\"\n"),
            std::string::npos);
}

TEST_F(PfileIndirectTest, MinMax_indefMinimumAndMaximumTen) {
  write("m.par", "n,i,h,5,INDEF,10,\nr,r,h,0.5,0.,1.,\ns,s,h,m,b,y,\nb,b,h,yes,no,,\n");
  ParamFile* pf = open("m.par", "rH");
  ASSERT_NE(pf, nullptr);
  EXPECT_EQ(getx(pf, "n"), "5");
  EXPECT_EQ(put(pf, "n", "INDEF"), PARAM_OK);
  EXPECT_EQ(getx(pf, "n"), "INDEF");
  EXPECT_EQ(put(pf, "n", "11"), PARAM_ABOVE_MAXIMUM);
  EXPECT_EQ(put(pf, "n", "-1000"), PARAM_OK);
  EXPECT_EQ(put(pf, "r", "1.5"), PARAM_ABOVE_MAXIMUM);
  EXPECT_EQ(put(pf, "r", "-0.1"), PARAM_BELOW_MINIMUM);
  EXPECT_EQ(put(pf, "s", "a"), PARAM_BELOW_MINIMUM);
  EXPECT_EQ(put(pf, "s", "z"), PARAM_ABOVE_MAXIMUM);
  EXPECT_EQ(getx(pf, "b"), failed(PARAM_BELOW_MINIMUM));  // booleans cannot be compared
  EXPECT_EQ(getx(pf, "r.p_max"), "1");
}

TEST_F(PfileIndirectTest, Indirect_sameFileSuffixesAndErrors) {
  write("i.par",
        "base,i,h,7,2,9,\"Base\"\n"
        "ref,i,h,)base,,,\n"
        "lo,i,h,)base.p_min,,,\n"
        "pr,s,h,)base.p_prompt,,,\n"
        "self,s,h,)self,,,\n"
        "missing,s,h,)nosuch,,,\n"
        "a,s,h,)b,,,\n"
        "b,s,h,)a,,,\n"
        "star,i,h,)*base,,,\n");
  ParamFile* pf = open("i.par", "rwH");
  ASSERT_NE(pf, nullptr);
  EXPECT_EQ(c_pgeti(pf, "ref"), 7);
  EXPECT_EQ(c_pgeti(pf, "lo"), 2);
  EXPECT_EQ(get(pf, "pr"), "Base");
  EXPECT_EQ(c_pgeti(pf, "star"), 7);
  EXPECT_EQ(getx(pf, "self"), failed(PARAM_INDIRECT_FAILED));
  EXPECT_EQ(getx(pf, "missing"), failed(PARAM_INDIRECT_FAILED));
  EXPECT_EQ(getx(pf, "a"), failed(PARAM_INDIRECT_FAILED));  // a -> b -> a
  // References are followed afresh on every access.
  c_pputi(pf, "base", 8);
  EXPECT_EQ(c_pgeti(pf, "ref"), 8);
  char info[ParamFieldSize];
  ASSERT_EQ(ParamInfo(pf, "ref", nullptr, nullptr, info, nullptr, nullptr, nullptr), 1);
  EXPECT_STREQ(info, ")base");
  c_paramclose(pf);
  // The reference is written back, not the value it gave.
  std::string text = slurp(path("i.par"));
  EXPECT_NE(text.find("ref,i,h,)base,,,\n"), std::string::npos) << text;
  EXPECT_NE(text.find("base,i,h,8,2,9,\"Base\"\n"), std::string::npos) << text;
}

TEST_F(PfileIndirectTest, Indirect_malformedReferencesFail) {
  write("bad.par",
        "a,s,h,),,,\n"
        "b,s,h,)*,,,\n"
        "c,s,h,)x.,,,\n"
        "d,s,h,)).p_min,,,\n"
        "e,s,h,)a.p_bogus,,,\n"
        "f,s,h,)nofile.a,,,\n"
        "g,s,h,)),,,\n"
        "h,s,h,).p_min,,,\n");
  ParamFile* pf = open("bad.par", "rH");
  ASSERT_NE(pf, nullptr);
  for (const char* name : {"a", "b", "c", "d", "e", "f", "g", "h"}) {
    EXPECT_EQ(getx(pf, name), failed(PARAM_INDIRECT_FAILED)) << name;
  }
  EXPECT_EQ(getx(pf, "."), failed(PARAM_BAD_SUBFIELD));
  EXPECT_EQ(getx(pf, ".p_min"), failed(PARAM_OK));
  EXPECT_EQ(getx(pf, ""), failed(PARAM_OK));
}

TEST_F(PfileIndirectTest, Indirect_filesReferringToEachOtherStop) {
  // Each open of one file resolves its task mode through the other, which is
  // not open yet: the chain of opens must end with PARAM_INDIRECT_FAILED, not exhaust the stack.
  write("a.par", "x,i,h,)" + path("b") + ".x,,,\nmode,s,h,)" + path("b") + ".mode,,,\n");
  write("b.par", "x,i,h,)" + path("a") + ".x,,,\nmode,s,h,)" + path("a") + ".mode,,,\n");
  ParamFile* pf = open("a.par", "rH");
  ASSERT_NE(pf, nullptr);
  EXPECT_EQ(pf->mode, NoQueryMode);
  EXPECT_EQ(getx(pf, "x"), failed(PARAM_INDIRECT_FAILED));
  EXPECT_EQ(PFList, pf);
  EXPECT_EQ(pf->next, nullptr);
}

TEST_F(PfileIndirectTest, Indirect_otherFileAndShellCommand) {
  write("other.par", "v,r,h,2.5,,,\n");
  write("main.par", "x,r,h,)" + path("other") +
                        ".v,,,\n"
                        "sh,i,h,))echo 5,,,\n"
                        "multi,s,h,\"))printf 'one\\ntwo\\n'\",,,\n"
                        "none,s,h,))true,,,\n");
  ParamFile* pf = open("main.par", "rwH");
  ASSERT_NE(pf, nullptr);
  EXPECT_DOUBLE_EQ(c_pgetd(pf, "x"), 2.5);
  EXPECT_EQ(ParamFileLookup(path("other.par").c_str()), nullptr);  // opened for the get only
  EXPECT_EQ(c_pgeti(pf, "sh"), 5);
  EXPECT_EQ(get(pf, "multi"), "one");
  EXPECT_EQ(getx(pf, "none"), failed(PARAM_INDIRECT_FAILED));
  c_paramclose(pf);
  std::string text = slurp(path("main.par"));
  EXPECT_NE(text.find("sh,i,h,))echo 5,,,\n"), std::string::npos) << text;
}

TEST_F(PfileIndirectTest, ListParameter_yieldsValidLinesThenFails) {
  write("vals.txt", "3\nabc\n12\n\n7\n");
  write("l.par", "n,*i,h," + path("vals.txt") + ",1,10,\n");
  ParamFile* pf = open("l.par", "rH");
  ASSERT_NE(pf, nullptr);
  EXPECT_EQ(getx(pf, "n"), "3");
  EXPECT_EQ(getx(pf, "n"), "7");  // "abc", 12 and the empty line fail
  EXPECT_EQ(getx(pf, "."), failed(PARAM_BAD_SUBFIELD));
  // Setting the parameter starts again from the new file.
  write("more.txt", "4\n");
  EXPECT_EQ(put(pf, "n", path("more.txt").c_str()), PARAM_OK);
  EXPECT_EQ(getx(pf, "n"), "4");
  EXPECT_EQ(put(pf, "n", path("nofile").c_str()), PARAM_OK);
  EXPECT_EQ(getx(pf, "n"), failed(PARAM_LIST_FILE_OPEN));
}

TEST_F(PfileIndirectTest, Pset_valueOrOwnName) {
  write("p.par", "ps,pset,h,\"other\",,,\nown,pset,h,,,,\n");
  ParamFile* pf = open("p.par", "rH");
  ASSERT_NE(pf, nullptr);
  EXPECT_EQ(getx(pf, "ps"), "other");
  EXPECT_EQ(getx(pf, "own"), "");  // empty, not absent
  Parameter* own = ParamLookup(pf->psets, "own");
  ASSERT_NE(own, nullptr);
  ValueClear(&own->pvalue);
  EXPECT_EQ(getx(pf, "own"), "own");
}

TEST_F(PfileIndirectTest, IndirectClassing_redirectsAndReloadsChangedDatabase) {
  write("target.par", "t1,s,h,\"from t1\",,,\nt2,s,h,\"from t2\",,,\n");
  write("task.par", "p,s,h,\"own\",,,\nq,s,h,\"own q\",,,\n");
  std::string db = write("class.db", "# classing\ntask p " + path("target") + " t1\nbroken line\n");
  setenv("PINCLASSDB", db.c_str(), 1);
  ParamFile* pf = open("task.par", "rH");
  ASSERT_NE(pf, nullptr);
  testing::internal::CaptureStderr();
  EXPECT_EQ(getx(pf, "p"), "from t1");
  EXPECT_NE(testing::internal::GetCapturedStderr().find(
                "Warning: illegal indirect classing line:\nbroken line"),
            std::string::npos);
  EXPECT_EQ(getx(pf, "q"), "own q");
  char checked[ParamFieldSize];
  EXPECT_EQ(paramvalid(pf, "p", "mine", checked), 1);
  EXPECT_STREQ(checked, "mine");  // a candidate value is not classed
  char ipfile[ParamFieldSize], iparam[ParamFieldSize];
  ASSERT_EQ(LookupInClass("task", "p", ipfile, iparam), 1);
  EXPECT_STREQ(iparam, "t1");
  char* names[4] = {};
  ASSERT_EQ(GetIndirectPFiles(names, 4), 1);
  EXPECT_EQ(std::string(names[0]), path("target"));
  std::free(names[0]);

  // The database edited while open is read again; a template beginning with a
  // wildcard matches too.
  write("class.db", "# classing\n'*'  \"[pq]\" " + path("target") + " t2\n");
  struct timeval later[2] = {{2000000000, 0}, {2000000000, 0}};
  ASSERT_EQ(utimes(db.c_str(), later), 0);
  EXPECT_EQ(getx(pf, "p"), "from t2");
  EXPECT_EQ(getx(pf, "q"), "from t2");

  setenv("PINCLASSDB", "NONE", 1);
  EXPECT_EQ(UsingIndirectClassing(), 0);
  EXPECT_EQ(getx(pf, "q"), "from t2");  // the classed value was taken in
  setenv("PINCLASSDB", path("nodb").c_str(), 1);
  testing::internal::CaptureStderr();
  EXPECT_EQ(UsingIndirectClassing(), 0);
  EXPECT_EQ(UsingIndirectClassing(), 0);
  std::string warned = testing::internal::GetCapturedStderr();
  EXPECT_EQ(warned, "Warning: indirect classing file '" + path("nodb") + "' does not exist\n");
}

TEST_F(PfileIndirectTest, paramvalid_checksWithoutStoring) {
  write("v.par", "c,s,h,\"red\",red|blue,,\nn,i,h,1,0,5,\n");
  ParamFile* pf = open("v.par", "rH");
  ASSERT_NE(pf, nullptr);
  char out[ParamFieldSize];
  EXPECT_EQ(paramvalid(pf, "c", "bl", out), 1);
  EXPECT_STREQ(out, "blue");
  EXPECT_EQ(paramvalid(pf, "n", "6", out), 0);
  EXPECT_EQ(paramvalid(pf, "n", "4.5", out), 1);
  EXPECT_STREQ(out, "4");
  EXPECT_EQ(getx(pf, "c"), "red");
  EXPECT_EQ(getx(pf, "n"), "1");
}

}  // namespace
