// dm/tests/dm_corpus_test.cpp -- every file of the shared FITS corpus (real
// files written by other software, some damaged or not FITS at all) opened
// through the data model and walked block by block, column by column and key
// by key; run under the sanitizers this shows no crash, overrun or leak.
#include <unistd.h>

#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "dm_helpers.h"
#include "util/util.h"

namespace {

class DmCorpusTest : public dmtest::DmFixture {};

// Touches everything a block offers; returns the number of descriptors seen.
int walkBlock(dmBlock* b) {
  int seen = 0;
  char text[DM_NAME_LEN + 1];
  dmBlockGetNameC(b, text, DM_NAME_LEN);
  dmBlockGetTypeName(b, text);
  const int rows = dmTableGetNoRows(b);
  for (int c = 1; c <= b->ncols; c++) {
    dmDescriptor* col = dmTableOpenColumnNo(b, c);
    if (!col) continue;
    seen++;
    dmGetNameC(col, text);
    dmGetUnitC(col, text);
    dmGetDescC(col, text);
    dmGetDataTypeNameC(col, text);
    EXPECT_GE(dmGetArrDim(col), 0);
    double rp = 0, rv = 0, dl = 0;
    dmDescriptor* coord = dmDescriptorGetCoord(col);
    if (coord) {
      seen++;
      dmCoordGetTransform_d(coord, &rp, &rv, &dl, 1);
      EXPECT_TRUE(rp != 0.0 || rv != 0.0 || dl != 0.0);
    }
    // Real columns are read on their first row; the others give their message.
    if (rows > 0 && b->type == DM_BLOCK_TABLE &&
        (col->datatype == DM_TYPE_D || col->datatype == DM_TYPE_R)) {
      dmGetScalar_d(col);
      dmGetScalar_r(col);
      std::vector<double> cell(static_cast<size_t>(col->ndims > 0 ? col->dims[0] : 1) + 1);
      dmGetStaticArray_d(col, cell.data(), static_cast<int>(cell.size()) - 1);
    }
  }
  for (int k = 0; k < b->nkeys; k++) {
    dmDescriptor* key = b->keys[k];
    seen++;
    double d = 0;
    int i = 0;
    if (key->datatype == DM_TYPE_D) {
      EXPECT_NE(dmKeyRead_d(b, key->name, &d), nullptr);
    }
    if (key->datatype == DM_TYPE_I) {
      EXPECT_NE(dmKeyRead_l(b, key->name, &i), nullptr);
    }
    char value[DM_NAME_LEN + 1];
    dmiDescriptorFormatValue(key, value, sizeof value);
  }
  if (b->type == DM_BLOCK_TABLE) {
    int steps = 0;
    while (dmTableNextRow(b) > 0) steps++;
    EXPECT_EQ(steps, rows > 0 ? rows - 1 : 0);
  }
  dmBlockPrint(b, "HEADER COLNAMES");
  return seen;
}

struct Walk {
  int files = 0;
  int opened = 0;
  int blocks = 0;
  int descriptors = 0;
};

// Opens every corpus file, walks all its blocks, and closes it again.
Walk walkCorpus() {
  Walk w;
  const std::vector<std::string> files = dmtest::listFiles(std::string(VARTO_CORPUS_DIR) + "/fits");
  w.files = static_cast<int>(files.size());
  testing::internal::CaptureStdout();  // listings and kernel warnings
  for (const std::string& path : files) {
    SCOPED_TRACE(path);
    dmInit(0);
    dmDataset* ds = dmDatasetOpen(path.c_str());
    if (!ds) continue;
    w.opened++;
    const int n = dmDatasetGetNoBlocks(ds);
    EXPECT_LE(n, DM_MAX_BLOCKS);
    for (int i = 1; i <= n; i++) {
      dmBlock* b = dmDatasetMoveToBlock(ds, i);
      if (!b) continue;
      w.blocks++;
      w.descriptors += walkBlock(b);
      if (i % 2 == 0) dmBlockClose(b);  // closed and still-open blocks both go at close
    }
    dmDatasetClose(ds);
  }
  testing::internal::GetCapturedStdout();
  return w;
}

}  // namespace

TEST_F(DmCorpusTest, everyFileOpensOrFailsCleanly) {
  if (access(VARTO_CORPUS_DIR "/fits", R_OK) != 0) GTEST_SKIP() << "no corpus at " VARTO_CORPUS_DIR;
  const Walk w = walkCorpus();
  EXPECT_GT(w.files, 90);
  EXPECT_GT(w.opened, 85);
  EXPECT_GT(w.blocks, 250);
  EXPECT_GT(w.descriptors, 5000);
  std::printf("corpus: %d files, %d opened, %d blocks, %d descriptors\n", w.files, w.opened,
              w.blocks, w.descriptors);
}

TEST_F(DmCorpusTest, everyFileWithFullTracePairsItsAllocations) {
  if (access(VARTO_CORPUS_DIR "/fits", R_OK) != 0) GTEST_SKIP() << "no corpus at " VARTO_CORPUS_DIR;
  dbg_set(3);
  testing::internal::CaptureStderr();
  const Walk w = walkCorpus();
  const std::string trace = testing::internal::GetCapturedStderr();
  dbg_set(0);
  EXPECT_GT(w.blocks, 250);

  // Every data-model record allocated is released, matched by address.
  std::map<std::string, int> live;
  int allocs = 0;
  std::istringstream in(trace);
  for (std::string l; std::getline(in, l);) {
    const size_t a = l.find("*** ALLOC ");
    const size_t f = l.find("*** FREE  ");
    if (a == std::string::npos && f == std::string::npos) continue;
    std::istringstream rest(l.substr((a != std::string::npos ? a : f) + 10));
    std::string address, kind;
    rest >> address >> kind;
    if (kind.rfind("dm", 0) != 0) continue;
    live[kind + "@" + address] += a != std::string::npos ? 1 : -1;
    if (a != std::string::npos) allocs++;
  }
  EXPECT_GT(allocs, 2 * w.blocks);
  for (const auto& [key, n] : live) EXPECT_EQ(n, 0) << key;
}
