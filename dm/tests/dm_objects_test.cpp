// dm/tests/dm_objects_test.cpp -- the data model's inner layer on real FITS
// files: specification parsing, lazy block finding and scanning, capacities,
// descriptors made from the kernel, closed blocks and the allocation trace.
#include <unistd.h>

#include <map>
#include <regex>
#include <sstream>
#include <string>

#include "dm_helpers.h"
#include "fits_int.h"
#include "util/util.h"

using dmtest::Column;
using dmtest::corpus;
using dmtest::DatasetKeeper;

namespace {

class DmObjectsTest : public dmtest::DmFixture {};

int hduCount(dmDataset* ds) { return static_cast<FITS_Dataset*>(ds->kernel_dataset)->hdu_count; }

}  // namespace

TEST_F(DmObjectsTest, dmiSyntaxParse_splitsFileAndBlock) {
  char ds[DM_SPEC_DATASET_BUF];
  char bl[DM_SPEC_BLOCK_BUF];
  dmiSyntaxParse("gain.fits[RHRI_GAIN]", ds, bl);
  EXPECT_STREQ(ds, "gain.fits");
  EXPECT_STREQ(bl, "RHRI_GAIN");
  dmiSyntaxParse("gain.fits[RHRI_GAIN", ds, bl);
  EXPECT_STREQ(ds, "gain.fits");
  EXPECT_STREQ(bl, "RHRI_GAIN");
  dmiSyntaxParse("bas.fits", ds, bl);
  EXPECT_STREQ(ds, "bas.fits");
  EXPECT_STREQ(bl, " ");
  dmiSyntaxParse("[STDEVT]", ds, bl);
  EXPECT_STREQ(ds, "");
  EXPECT_STREQ(bl, "STDEVT");
  dmiSyntaxParse("a.fits[2]junk", ds, bl);
  EXPECT_STREQ(bl, "2");
  dmiSyntaxParse("a]b.fits[X]", ds, bl);  // the first "]" lies before the "["
  EXPECT_STREQ(ds, "a]b.fits");
  EXPECT_STREQ(bl, "");
}

TEST_F(DmObjectsTest, dmiSyntaxParse_longPartsAreCutToTheirBuffers) {
  const std::string spec = std::string(1100, 'f') + "[" + std::string(200, 'b') + "]";
  char ds[DM_SPEC_DATASET_BUF];
  char bl[DM_SPEC_BLOCK_BUF];
  dmiSyntaxParse(spec.c_str(), ds, bl);
  EXPECT_EQ(std::string(ds), std::string(DM_SPEC_DATASET_BUF - 1, 'f'));
  EXPECT_EQ(std::string(bl), std::string(DM_SPEC_BLOCK_BUF - 1, 'b'));
}

TEST_F(DmObjectsTest, dmDatasetTableOpen_specificationsOnARealFile) {
  const std::string path = folder.path("blocks.fits");
  dmtest::writeFits(path, [](fitsfile* f, int* st) {
    dmtest::addEmptyPrimary(f, st);
    dmtest::addTable(f, "FIRST", {{"A", "1D", ""}}, 1, st);
    dmtest::addTable(f, "SECOND", {{"B", "1D", ""}}, 1, st);
    dmtest::addTable(f, "2", {{"C", "1D", ""}}, 1, st);
  });
  char name[DM_NAME_LEN + 1];

  // "[2]" names a block called 2, which is the third block of this file.
  dmBlock* b = dmDatasetTableOpen((path + "[2]").c_str());
  ASSERT_NE(b, nullptr);
  dmBlockGetNameC(b, name, DM_NAME_LEN);
  EXPECT_STREQ(name, "2");
  EXPECT_EQ(dmBlockGetNo(b), 3);
  EXPECT_NE(dmTableOpenColumn(b, "C"), nullptr);
  dmDatasetTableClose(b);

  // A missing "]" still names the block; no brackets opens the first block.
  b = dmDatasetTableOpen((path + "[SECOND").c_str());
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(dmBlockGetNo(b), 2);
  dmDatasetTableClose(b);
  b = dmDatasetTableOpen(path.c_str());
  ASSERT_NE(b, nullptr);
  dmBlockGetNameC(b, name, DM_NAME_LEN);
  EXPECT_STREQ(name, "FIRST");
  dmDatasetTableClose(b);

  // A leading "[" leaves no file name: nothing is opened and no slot is used.
  const int used = context->count;
  EXPECT_EQ(dmDatasetTableOpen("[FIRST]"), nullptr);
  EXPECT_EQ(dmiErrorGet(), DM_ERROR_NONE);
  EXPECT_EQ(context->count, used);
}

TEST_F(DmObjectsTest, dmBlockOpen_findsBlocksLazily) {
  const std::string path = folder.path("evt.fits");
  dmtest::writeEventFile(path);
  DatasetKeeper keep(dmDatasetOpen(path.c_str()));
  dmDataset* ds = keep.ds;
  ASSERT_NE(ds, nullptr);

  dmBlock* evt = dmBlockOpen(ds, "STDEVT");
  ASSERT_NE(evt, nullptr);
  EXPECT_EQ(dmBlockGetNo(evt), 1);
  EXPECT_EQ(ds->nblocks, 1);
  EXPECT_EQ(ds->scanned, 0);
  EXPECT_EQ(hduCount(ds), 2);  // the empty primary was skipped

  dmBlock* gti = dmBlockOpen(ds, "STDGTI");
  ASSERT_NE(gti, nullptr);
  EXPECT_EQ(dmBlockGetNo(gti), 2);
  EXPECT_EQ(ds->nblocks, 2);
  EXPECT_EQ(ds->scanned, 0);
  EXPECT_EQ(hduCount(ds), 3);

  // Asking again for a known block does not scan.
  EXPECT_EQ(dmBlockOpen(ds, "STDEVT"), evt);
  EXPECT_EQ(hduCount(ds), 3);

  // A name no block has scans to the end once.
  EXPECT_EQ(dmBlockOpen(ds, "RHRI_GAIN"), nullptr);
  EXPECT_EQ(ds->scanned, 1);
  EXPECT_EQ(ds->nblocks, 2);
  EXPECT_NE(dmiErrorGet(), DM_ERROR_NONE);  // the failed move past the last HDU

  // From now on the kernel is not asked for blocks again: no move is traced
  // and the error code stays as it was.
  dmiErrorSet(DM_ERROR_NONE);
  dbg_set(1);
  testing::internal::CaptureStderr();
  EXPECT_EQ(dmBlockOpen(ds, "OTHER"), nullptr);
  EXPECT_EQ(dmDatasetGetNoBlocks(ds), 2);
  EXPECT_EQ(dmDatasetMoveToBlock(ds, 3), nullptr);
  const std::string trace = testing::internal::GetCapturedStderr();
  dbg_set(0);
  EXPECT_EQ(trace.find("Move to HDU"), std::string::npos) << trace;
  EXPECT_NE(trace.find("BlockOpen: OTHER"), std::string::npos) << trace;
  EXPECT_EQ(dmiErrorGet(), DM_ERROR_NONE);
  EXPECT_EQ(hduCount(ds), 3);
}

TEST_F(DmObjectsTest, dmDatasetGetNoBlocks_emptyPrimaryAndTwoExtensions) {
  const std::string path = folder.path("evt.fits");
  dmtest::writeEventFile(path);
  DatasetKeeper keep(dmDatasetOpen(path.c_str()));
  ASSERT_NE(keep.ds, nullptr);
  EXPECT_EQ(dmDatasetGetNoBlocks(keep.ds), 2);
  EXPECT_EQ(keep.ds->scanned, 1);
  char type[8];
  dmDatasetGetBlockTypeName(keep.ds, 2, type);
  EXPECT_STREQ(type, "TABLE");
  dmDatasetGetBlockTypeName(keep.ds, 3, type);
  EXPECT_STREQ(type, " ");

  // Block numbers below 1 set error 5; beyond the last, null without a new code.
  const int after_scan = dmiErrorGet();
  EXPECT_EQ(dmDatasetMoveToBlock(keep.ds, 3), nullptr);
  EXPECT_EQ(dmiErrorGet(), after_scan);
  EXPECT_EQ(dmDatasetMoveToBlock(keep.ds, 0), nullptr);
  EXPECT_EQ(dmiErrorGet(), DM_ERROR_BAD_BLOCK_NUMBER);
  EXPECT_EQ(dmDatasetGetCurrentBlockNo(keep.ds), 0);
  EXPECT_NE(dmDatasetNextBlock(keep.ds), nullptr);
  EXPECT_EQ(dmDatasetGetCurrentBlockNo(keep.ds), 1);
  EXPECT_EQ(dmDatasetAdvanceBlocks(keep.ds, 1000000000), nullptr);
  EXPECT_EQ(dmDatasetAdvanceBlocks(keep.ds, 2147483647), nullptr);
}

TEST_F(DmObjectsTest, dmiDatasetAlloc_hundredSlotsUntilDmInit) {
  const std::string path = folder.path("evt.fits");
  dmtest::writeEventFile(path);
  for (int i = 0; i < DM_MAX_DATASETS; i++) {
    dmDataset* ds = dmDatasetOpen(path.c_str());
    ASSERT_NE(ds, nullptr) << "dataset " << i + 1;
    EXPECT_EQ(ds->slot, i + 1);
    dmDatasetClose(ds);
  }
  // The refused create leaves the file of that name as it was.
  EXPECT_EQ(dmDatasetCreate(path.c_str()), nullptr);
  EXPECT_EQ(dmiErrorGet(), DM_ERROR_TOO_MANY_DATASETS);
  EXPECT_EQ(dmDatasetOpen(path.c_str()), nullptr);
  EXPECT_EQ(dmiErrorGet(), DM_ERROR_FAILED);
  EXPECT_EQ(dmDatasetTableOpen(path.c_str()), nullptr);

  dmInit(0);
  EXPECT_EQ(dmiErrorGet(), DM_ERROR_NONE);
  DatasetKeeper keep(dmDatasetOpen(path.c_str()));
  ASSERT_NE(keep.ds, nullptr);
  EXPECT_EQ(keep.ds->slot, 1);
  EXPECT_EQ(dmDatasetGetNoBlocks(keep.ds), 2);
}

TEST_F(DmObjectsTest, dmiBlockAlloc_blockLimitPerDatasetIsReported) {
  // An empty primary and one extension more than a dataset holds.
  const std::string path = folder.path("many.fits");
  dmtest::writeFits(path, [](fitsfile* f, int* st) {
    for (int i = 0; i <= DM_MAX_BLOCKS + 1; ++i) fits_create_img(f, BYTE_IMG, 0, nullptr, st);
  });
  DatasetKeeper keep(dmDatasetOpen(path.c_str()));
  ASSERT_NE(keep.ds, nullptr);
  testing::internal::CaptureStdout();
  const int n = dmDatasetGetNoBlocks(keep.ds);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(n, DM_MAX_BLOCKS);
  EXPECT_EQ(dmiErrorGet(), DM_ERROR_TOO_MANY_BLOCKS);
  EXPECT_NE(out.find("holds more than 1000 blocks; the rest are not read"), std::string::npos);
  EXPECT_NE(dmDatasetMoveToBlock(keep.ds, DM_MAX_BLOCKS), nullptr);
  EXPECT_EQ(dmDatasetMoveToBlock(keep.ds, DM_MAX_BLOCKS + 1), nullptr);
}

TEST_F(DmObjectsTest, dmiHeaderOpen_keysBeyondTheListCapacityAreLeftOut) {
  // A table with 1222 header cards.
  const std::string path = corpus("generated/many_keys_1200.fits");
  if (access(path.c_str(), R_OK) != 0) GTEST_SKIP() << "corpus file not found: " << path;
  DatasetKeeper keep(dmDatasetOpen(path.c_str()));
  ASSERT_NE(keep.ds, nullptr);
  dmBlock* b = dmBlockOpen(keep.ds, "MANYKEYS");
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->nkeys, DM_MAX_DESCRIPTORS);
  EXPECT_EQ(b->keys[DM_MAX_DESCRIPTORS - 1]->number, DM_MAX_DESCRIPTORS);
}

TEST_F(DmObjectsTest, dmiHeaderOpen_coordinatesOnlyWhereKeysAreNonzero) {
  const std::string path = folder.path("coords.fits");
  dmtest::writeFits(path, [](fitsfile* f, int* st) {
    dmtest::addEmptyPrimary(f, st);
    dmtest::addTable(f, "STDEVT",
                     {{"TIME", "1D", "s"}, {"X", "1E", ""}, {"Y", "1E", ""}, {"PHA", "1J", ""}}, 1,
                     st);
    double zero = 0.0, crpix = 4096.5, crval = 150.25, cdelt = -1.38e-4, only = 2.0;
    fits_write_key(f, TDOUBLE, "TCRPX2", &crpix, nullptr, st);
    fits_write_key(f, TDOUBLE, "TCRVL2", &crval, nullptr, st);
    fits_write_key(f, TDOUBLE, "TCDLT2", &cdelt, nullptr, st);
    fits_write_key(f, TDOUBLE, "TCRPX3", &zero, nullptr, st);
    fits_write_key(f, TDOUBLE, "TCRVL3", &zero, nullptr, st);
    fits_write_key(f, TDOUBLE, "TCDLT3", &zero, nullptr, st);
    fits_write_key(f, TDOUBLE, "TCDLT4", &only, nullptr, st);  // one of three is enough
  });
  dmBlock* b = dmDatasetTableOpen(path.c_str());
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(dmDescriptorGetCoord(dmTableOpenColumn(b, "TIME")), nullptr);
  EXPECT_EQ(dmDescriptorGetCoord(dmTableOpenColumn(b, "Y")), nullptr);
  dmDescriptor* x = dmDescriptorGetCoord(dmTableOpenColumn(b, "X"));
  ASSERT_NE(x, nullptr);
  dmDescriptor* pha = dmDescriptorGetCoord(dmTableOpenColumn(b, "PHA"));
  ASSERT_NE(pha, nullptr);

  double rp = -1, rv = -1, dl = -1;
  dmCoordGetTransform_d(x, &rp, &rv, &dl, 1);
  EXPECT_DOUBLE_EQ(rp, 4096.5);
  EXPECT_DOUBLE_EQ(rv, 150.25);
  EXPECT_DOUBLE_EQ(dl, -1.38e-4);
  dmCoordGetTransform_d(pha, &rp, &rv, &dl, 1);
  EXPECT_DOUBLE_EQ(dl, 2.0);
  EXPECT_DOUBLE_EQ(rp, 0.0);
  rp = rv = dl = 7.0;
  dmCoordGetTransform_d(x, &rp, &rv, &dl, 2);  // two axes: outputs untouched
  EXPECT_DOUBLE_EQ(rp, 7.0);
  dmCoordGetTransform_d(dmTableOpenColumn(b, "X"), &rp, &rv, &dl, 1);  // not a coordinate
  EXPECT_DOUBLE_EQ(rp, 0.0);
  char name[DM_NAME_LEN + 1];
  dmGetNameC(x, name);
  EXPECT_STREQ(name, "COORD");
  dmDatasetTableClose(b);
}

TEST_F(DmObjectsTest, dmiBlockOpen_columnShapes) {
  const std::string path = folder.path("shapes.fits");
  dmtest::writeFits(path, [](fitsfile* f, int* st) {
    dmtest::addEmptyPrimary(f, st);
    dmtest::addTable(f, "T", {{"NAME", "20A", ""}, {"TIME", "1D", "s"}, {"MAP", "5E", "adu"}}, 1,
                     st);
  });
  dmBlock* b = dmDatasetTableOpen(path.c_str());
  ASSERT_NE(b, nullptr);
  char type[DM_NAME_LEN + 1];
  char unit[DM_NAME_LEN + 1];
  dmDescriptor* s = dmTableOpenColumnNo(b, 1);
  dmGetDataTypeNameC(s, type);
  EXPECT_STREQ(type, "c");
  EXPECT_EQ(dmGetArrDim(s), 1);
  EXPECT_EQ(s->dims[0], 20);
  dmDescriptor* t = dmTableOpenColumn(b, "time");  // case ignored
  ASSERT_EQ(t, dmTableOpenColumnNo(b, 2));
  EXPECT_EQ(dmGetArrDim(t), 0);
  dmGetUnitC(t, unit);
  EXPECT_STREQ(unit, "s");
  dmDescriptor* m = dmTableOpenColumnNo(b, 3);
  dmGetDataTypeNameC(m, type);
  EXPECT_STREQ(type, "r");
  EXPECT_EQ(m->dims[0], 5);
  EXPECT_EQ(dmTableOpenColumnNo(b, 0), nullptr);
  EXPECT_EQ(dmTableOpenColumnNo(b, 4), nullptr);
  dmDatasetTableClose(b);
}

TEST_F(DmObjectsTest, dmiBlockOpen_imageBlockForReading) {
  const std::string path = folder.path("img.fits");
  dmtest::writeFits(path, [](fitsfile* f, int* st) {
    long axes[2] = {4, 3};
    fits_create_img(f, SHORT_IMG, 2, axes, st);
    dmtest::addTable(f, "AFTER", {{"A", "1D", ""}}, 1, st);
  });
  DatasetKeeper keep(dmDatasetOpen(path.c_str()));
  ASSERT_NE(keep.ds, nullptr);
  dmBlock* img = dmDatasetMoveToBlock(keep.ds, 1);
  ASSERT_NE(img, nullptr);
  char text[DM_NAME_LEN + 1];
  dmBlockGetTypeName(img, text);
  EXPECT_STREQ(text, "IMAGE");
  EXPECT_EQ(dmTableGetNoRows(img), 1);
  EXPECT_EQ(img->ncols, 1);

  // The pixel array is described by the block name, with no type and no axes.
  dmDescriptor* pix = dmTableOpenColumnNo(img, 1);
  ASSERT_NE(pix, nullptr);
  dmGetNameC(pix, text);
  EXPECT_STREQ(text, "PRIMARY");
  dmGetDataTypeNameC(pix, text);
  EXPECT_STREQ(text, " ");
  EXPECT_EQ(dmGetArrDim(pix), 0);
  double values[3] = {9, 9, 9};
  EXPECT_EQ(dmGetStaticArray_d(pix, values, 3), pix);
  EXPECT_DOUBLE_EQ(values[0], 9);
  EXPECT_EQ(dmTableNextRow(img), -1);

  EXPECT_NE(dmDatasetNextBlock(keep.ds), nullptr);
  EXPECT_EQ(dmBlockClose(img), dmiErrorGet());
}

TEST_F(DmObjectsTest, dmBlockClose_closedBlockIsNotReopened) {
  const std::string path = folder.path("evt.fits");
  dmtest::writeEventFile(path);
  DatasetKeeper keep(dmDatasetOpen(path.c_str()));
  ASSERT_NE(keep.ds, nullptr);
  dmBlock* evt = dmBlockOpen(keep.ds, "STDEVT");
  ASSERT_NE(evt, nullptr);
  dmBlockClose(evt);
  EXPECT_EQ(evt->keys, nullptr);
  EXPECT_EQ(evt->kernel_block, nullptr);

  // The block keeps its number and name but stays closed.
  EXPECT_EQ(dmBlockOpen(keep.ds, "STDEVT"), nullptr);
  EXPECT_EQ(dmDatasetMoveToBlock(keep.ds, 1), nullptr);
  EXPECT_EQ(dmDatasetGetCurrentBlockNo(keep.ds), 0);
  EXPECT_EQ(dmBlockGetNo(evt), 1);
  EXPECT_EQ(dmTableOpenColumn(evt, "TIME"), nullptr);
  EXPECT_EQ(dmKeyRead_d(evt, "MJDREFF", nullptr), nullptr);
  EXPECT_EQ(dmTablePutRow(evt, 0), -1);
  char name[DM_NAME_LEN + 1];
  dmBlockGetNameC(evt, name, DM_NAME_LEN);
  EXPECT_STREQ(name, "STDEVT");

  // Other blocks are still reachable, and closing twice is harmless.
  EXPECT_NE(dmDatasetMoveToBlock(keep.ds, 2), nullptr);
  dmBlockClose(evt);

  dbg_set(1);
  testing::internal::CaptureStderr();
  dmStatus(keep.ds);
  const std::string status = testing::internal::GetCapturedStderr();
  dbg_set(0);
  EXPECT_NE(status.find("STDEVT"), std::string::npos);
  EXPECT_NE(status.find(" Closed "), std::string::npos) << status;
  EXPECT_NE(status.find(" Open "), std::string::npos) << status;
}

TEST_F(DmObjectsTest, allocationTrace_everyRecordIsFreedAndTagged) {
  const std::string path = folder.path("evt.fits");
  dmtest::writeEventFile(path);
  dbg_set(3);
  testing::internal::CaptureStderr();
  dmBlock* b = dmDatasetTableOpen((path + "[STDEVT]").c_str());
  ASSERT_NE(b, nullptr);
  dmBlockOpen(dmBlockGetDataset(b), "STDGTI");
  dmDatasetTableClose(b);
  const std::string trace = testing::internal::GetCapturedStderr();
  dbg_set(0);

  // Lines pair up by address; each carries its level's tag padded to six columns.
  const std::regex line(R"(^\[\*(\d)\]\s*\*\*\* (ALLOC|FREE ) +(-?\d+) (dm\w+))");
  std::map<std::string, int> open;
  int allocs = 0;
  std::istringstream in(trace);
  for (std::string l; std::getline(in, l);) {
    std::smatch m;
    if (!std::regex_search(l, m, line)) continue;
    const std::string key = m[4].str() + "@" + m[3].str();
    EXPECT_EQ(l.substr(0, 6), "[*" + m[1].str() + "]  ") << l;
    const int level = m[1].str()[0] - '0';
    EXPECT_EQ(level, m[4].str() == "dmDataset" ? 1 : 2) << l;
    if (m[2].str() == "ALLOC") {
      open[key]++;
      allocs++;
    } else {
      open[key]--;
    }
  }
  EXPECT_EQ(allocs, 1 + 2 + 2);  // the dataset, two blocks, two descriptor lists
  for (const auto& [key, n] : open) EXPECT_EQ(n, 0) << key;
  EXPECT_NE(trace.find("[*3]  Free keys"), std::string::npos);
  EXPECT_NE(trace.find("[*3]  Alloc Transform COORD"), std::string::npos);
}
