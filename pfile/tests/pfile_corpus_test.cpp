// Every parameter file of the corpus of real files: each one that opens has
// all its parameters got and is written back; the rewritten file must open
// again and give the same values.
#include <filesystem>
#include <map>
#include <string>

#include <gtest/gtest.h>

#include "pfile/pfile.h"
#include "pfile_access_helpers.h"

namespace {

namespace fs = std::filesystem;

class PfileCorpusTest : public PfileQuietTest {
 protected:
  // The values of every parameter that can be got (list parameters are left
  // alone: their values name files to read).
  static std::map<std::string, std::string> values(ParamFile* pf) {
    std::map<std::string, std::string> got;
    ParamMatchList* ml = pmatchopen(pf, "*");
    while (const char* name = pmatchnext(ml)) {
      Parameter* p = ParamLookup(pf->psets, name);
      if (p == nullptr || (p->ptype & ListType)) continue;
      int mode = pf->mode;
      if (const void* v = ParamGetX(pf, name, StringType, &mode)) {
        got[name] = static_cast<const char*>(v);
      }
    }
    pmatchclose(ml);
    parerr = PARAM_OK;
    return got;
  }
};

TEST_F(PfileCorpusTest, c_paramopen_corpusFilesRewriteToSameValues) {
  if (!fs::is_directory(std::string(VARTO_CORPUS_DIR) + "/par"))
    GTEST_SKIP() << "no corpus at " VARTO_CORPUS_DIR;
  ASSERT_EQ(chdir(dir_.c_str()), 0);
  int opened = 0;
  int files = 0;
  int values_seen = 0;
  for (const auto& entry :
       fs::recursive_directory_iterator(std::string(VARTO_CORPUS_DIR) + "/par")) {
    if (!entry.is_regular_file() || entry.path().extension() != ".par") continue;
    ++files;
    write("c.par", slurp(entry.path().string()));
    testing::internal::CaptureStderr();
    ParamFile* pf = open("c.par", "rwH");
    std::map<std::string, std::string> first;
    if (pf != nullptr) {
      ++opened;
      first = values(pf);
      c_paramclose(pf);
    }
    ParamFile* again = pf != nullptr ? open("c.par", "rH") : nullptr;
    std::map<std::string, std::string> second;
    if (again != nullptr) {
      second = values(again);
      c_paramclose(again);
    }
    testing::internal::GetCapturedStderr();
    if (pf == nullptr) continue;
    ASSERT_NE(again, nullptr) << entry.path() << "\n" << slurp(path("c.par"));
    EXPECT_EQ(second, first) << entry.path() << "\n" << slurp(path("c.par"));
    values_seen += static_cast<int>(first.size());
  }
  EXPECT_GT(files, 2000);
  EXPECT_GT(opened, files / 2);
  EXPECT_GT(values_seen, 10000);
}

}  // namespace
