// dm/tests/dm_api_test.cpp -- the dm… interface on real FITS files: row-wise
// reading, keys, writing a table and reading it back, the type tables, and
// null handles.
#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>
#include <string>
#include <vector>

#include "dm_helpers.h"
#include "util/util.h"

using dmtest::Column;
using dmtest::DatasetKeeper;

namespace {

class DmApiTest : public dmtest::DmFixture {
 protected:
  void SetUp() override {
    DmFixture::SetUp();
    events = folder.path("evt.fits");
    dmtest::writeEventFile(events);
  }
  std::string events;
};

bool noDatasetOpen() {
  for (dmDataset* ds : context->datasets) {
    if (ds) return false;
  }
  return true;
}

}  // namespace

TEST_F(DmApiTest, dmTableNextRow_walksRowsThenStops) {
  dmBlock* b = dmDatasetTableOpen((events + "[STDEVT]").c_str());
  ASSERT_NE(b, nullptr);
  ASSERT_EQ(dmTableGetNoRows(b), 3);
  dmDescriptor* t = dmTableOpenColumn(b, "TIME");
  dmDescriptor* x = dmTableOpenColumn(b, "X");
  EXPECT_DOUBLE_EQ(dmGetScalar_d(t), 100.5);  // row 1 before the first call
  EXPECT_FLOAT_EQ(dmGetScalar_r(x), 4096.0F);
  EXPECT_EQ(dmTableNextRow(b), 2);
  EXPECT_DOUBLE_EQ(dmGetScalar_d(t), 101.25);
  EXPECT_EQ(dmTableNextRow(b), 3);
  EXPECT_DOUBLE_EQ(dmGetScalar_d(x), 4200.0);
  EXPECT_EQ(dmTableNextRow(b), -1);
  EXPECT_DOUBLE_EQ(dmGetScalar_d(t), 102.0);  // the cursor stays on the last row
  EXPECT_EQ(dmTableNextRow(b), -1);
  dmDatasetTableClose(b);
}

TEST_F(DmApiTest, dmGetScalars_d_readsWholeColumnAndMovesCursor) {
  dmBlock* b = dmDatasetTableOpen((events + "[STDGTI]").c_str());
  ASSERT_NE(b, nullptr);
  double start[2] = {0, 0};
  double stop[2] = {0, 0};
  EXPECT_EQ(dmGetScalars_d(dmTableOpenColumnNo(b, 1), start, 1, 2), 2);
  EXPECT_EQ(dmGetScalars_d(dmTableOpenColumnNo(b, 2), stop, 1, 2), 2);
  EXPECT_DOUBLE_EQ(start[1], 30.0);
  EXPECT_DOUBLE_EQ(stop[0], 20.0);
  EXPECT_EQ(dmTableNextRow(b), -1);  // current row is now 2, the last
  EXPECT_EQ(dmGetScalars_d(dmTableOpenColumnNo(b, 1), start, 0, 2), 0);
  // Rows past the end of the table are not counted as read.
  double more[5] = {};
  EXPECT_EQ(dmGetScalars_d(dmTableOpenColumnNo(b, 2), more, 2, 5), 1);
  EXPECT_DOUBLE_EQ(more[0], 45.0);
  EXPECT_EQ(dmGetScalars_d(dmTableOpenColumnNo(b, 2), more, 3, 1), 0);
  dmDatasetTableClose(b);
}

TEST_F(DmApiTest, dmKeyRead_wrongTypeWarnsAndStillReturnsTheKey) {
  dmBlock* b = dmDatasetTableOpen((events + "[STDEVT]").c_str());
  ASSERT_NE(b, nullptr);
  double d = -1.0;
  testing::internal::CaptureStdout();
  dmDescriptor* key = dmKeyRead_d(b, "MJDREFI", &d);
  const std::string out = testing::internal::GetCapturedStdout();
  ASSERT_NE(key, nullptr);
  EXPECT_DOUBLE_EQ(d, -1.0);
  EXPECT_NE(out.find("Bad key datatype"), std::string::npos) << out;
  char type[8];
  dmGetDataTypeNameC(key, type);
  EXPECT_STREQ(type, "i");

  int i = 0;
  EXPECT_EQ(dmKeyRead_l(b, "MJDREFI", &i), key);
  EXPECT_EQ(i, 48043);
  EXPECT_NE(dmKeyRead_d(b, "mjdreff  ", &d), nullptr);  // case and trailing blanks ignored
  EXPECT_DOUBLE_EQ(d, 0.5);
  char comment[DM_NAME_LEN + 1];
  dmGetDescC(key, comment);
  EXPECT_STREQ(comment, "integer day");
  EXPECT_EQ(dmKeyRead_d(b, "NOSUCH", &d), nullptr);
  EXPECT_EQ(dmKeyRead_d(b, " ", &d), nullptr);
  EXPECT_EQ(dmKeyRead_d(b, "TTYPE1", &d), nullptr);  // structural cards are not keys
  dmDatasetTableClose(b);
}

TEST_F(DmApiTest, dmGetScalar_d_vectorColumnGivesFirstElement) {
  const std::string path = folder.path("vec.fits");
  dmtest::writeFits(path, [](fitsfile* f, int* st) {
    dmtest::addEmptyPrimary(f, st);
    dmtest::addTable(f, "RHRI_GAIN", {{"TIME", "1D", "d"}, {"GAIN_MAP", "5D", ""}}, 2, st);
    dmtest::putColumn(f, 1, {49000.0, 49010.0}, st);
    dmtest::putColumn(f, 2, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, st);
  });
  dmBlock* b = dmDatasetTableOpen((path + "[RHRI_GAIN]").c_str());
  ASSERT_NE(b, nullptr);
  dmDescriptor* map = dmTableOpenColumn(b, "GAIN_MAP");
  ASSERT_NE(map, nullptr);
  EXPECT_DOUBLE_EQ(dmGetScalar_d(map), 1.0);
  double cell[5] = {};
  EXPECT_EQ(dmGetStaticArray_d(map, cell, 5), map);
  EXPECT_DOUBLE_EQ(cell[4], 5.0);
  EXPECT_EQ(dmTableNextRow(b), 2);
  EXPECT_DOUBLE_EQ(dmGetScalar_d(map), 6.0);
  EXPECT_FLOAT_EQ(dmGetScalar_r(map), 6.0F);  // narrowed, still the first element
  dmGetStaticArray_d(map, cell, 5);
  EXPECT_DOUBLE_EQ(cell[0], 6.0);
  EXPECT_DOUBLE_EQ(cell[4], 10.0);

  // Reading the column whole takes each row's first element, not the first
  // row's elements.
  double first[2] = {};
  EXPECT_EQ(dmGetScalars_d(map, first, 1, 2), 2);
  EXPECT_DOUBLE_EQ(first[0], 1.0);
  EXPECT_DOUBLE_EQ(first[1], 6.0);
  dmDatasetTableClose(b);
}

TEST_F(DmApiTest, readingAfterAnotherBlockWasOpenedUsesItsOwnBlock) {
  DatasetKeeper keep(dmDatasetOpen(events.c_str()));
  ASSERT_NE(keep.ds, nullptr);
  dmBlock* evt = dmBlockOpen(keep.ds, "STDEVT");
  ASSERT_NE(evt, nullptr);
  dmDescriptor* t = dmTableOpenColumn(evt, "TIME");
  ASSERT_NE(dmBlockOpen(keep.ds, "STDGTI"), nullptr);
  EXPECT_EQ(dmDatasetGetNoBlocks(keep.ds), 2);  // moves the file past the last block
  EXPECT_DOUBLE_EQ(dmGetScalar_d(t), 100.5);
  EXPECT_EQ(dmDatasetMoveToBlock(keep.ds, 2)->number, 2);
  EXPECT_EQ(dmTableNextRow(evt), 2);
  EXPECT_DOUBLE_EQ(dmGetScalar_d(t), 101.25);
}

TEST_F(DmApiTest, dmGetScalar_d_nonColumnDescriptorsAreUnsupported) {
  dmBlock* b = dmDatasetTableOpen((events + "[STDEVT]").c_str());
  ASSERT_NE(b, nullptr);
  dmDescriptor* key = dmKeyRead_d(b, "MJDREFF", nullptr);
  ASSERT_NE(key, nullptr);
  testing::internal::CaptureStdout();
  EXPECT_DOUBLE_EQ(dmGetScalar_d(key), 0.0);
  EXPECT_EQ(dmGetStaticArray_d(key, nullptr, 0), key);
  EXPECT_EQ(dmSetScalar_d(key, 1.0), 0);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("Unsupported\n"), std::string::npos) << out;
  EXPECT_NE(out.find("Unsupported 2"), std::string::npos) << out;
  dmDatasetTableClose(b);
}

TEST_F(DmApiTest, dmDatasetTableOpen_failuresLeaveNoDatasetOpen) {
  char reason[DM_ERROR_TEXT_LEN + 1];
  EXPECT_EQ(dmDatasetTableOpen((events + "[NOPE]").c_str()), nullptr);
  EXPECT_TRUE(noDatasetOpen());
  dmErrorGetText(reason, sizeof reason);
  EXPECT_STREQ(reason, "the file has no block NOPE");
  EXPECT_EQ(dmDatasetTableOpen(folder.path("missing.fits").c_str()), nullptr);
  EXPECT_EQ(dmiErrorGet(), DM_ERROR_OPEN_FAILED);
  dmErrorGetText(reason, sizeof reason);
  EXPECT_STREQ(reason, "could not open the named file (CFITSIO status 104)");
  const std::string text = folder.path("text.fits");
  FILE* f = std::fopen(text.c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fputs("not a FITS file\n", f);
  std::fclose(f);
  EXPECT_EQ(dmDatasetOpen(text.c_str()), nullptr);
  EXPECT_EQ(dmiErrorGet(), DM_ERROR_OPEN_FAILED);
  EXPECT_EQ(dmDatasetOpen("   "), nullptr);
  EXPECT_TRUE(noDatasetOpen());
}

TEST_F(DmApiTest, dmDatasetTableCreate_roundTripIsReadBackAndVerified) {
  const std::string path = folder.path("out.fits");
  const std::string spec = path + "[GAIN_HIST]";
  constexpr int kRows = 25;
  dmBlock* b = dmDatasetTableCreate(spec.c_str());
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(dmTableGetNoRows(b), 0);
  dmDescriptor* gain = dmColumnCreate(b, "GAIN", DM_TYPE_D, 0, " ", "gain bin");
  dmDescriptor* weight = dmColumnCreate(b, "WEIGHT", DM_TYPE_D, 0, " ", " ");
  dmDescriptor* expo = dmColumnCreate(b, "EXPOSURE", DM_TYPE_D, 0, "s", "good time");
  ASSERT_TRUE(gain && weight && expo);
  EXPECT_EQ(expo->number, 3);
  for (int r = 1; r <= kRows; r++) {
    EXPECT_EQ(dmTablePutRow(b, 0), r);
    dmSetScalar_d(gain, 0.5 * r);
    dmSetScalar_d(weight, 1.0 / r);
    dmSetScalar_d(expo, 100.0 * r + 0.125);
    if (r == 1) {
      testing::internal::CaptureStdout();
      EXPECT_EQ(dmColumnCreate(b, "LATE", DM_TYPE_D, 0, " ", " "), nullptr);
      const std::string out = testing::internal::GetCapturedStdout();
      EXPECT_NE(out.find("Cannot create columns after rows have been written"), std::string::npos);
    }
  }
  // All blocks of a created dataset are known: counting them leaves the file alone.
  EXPECT_EQ(dmDatasetGetNoBlocks(dmBlockGetDataset(b)), 1);
  dmDescriptor* key = dmKeyWrite_d(b, "AVG_GAIN", 6.28125, "adu", "Mean gain");
  ASSERT_NE(key, nullptr);
  char name[DM_NAME_LEN + 1];
  dmGetNameC(key, name);
  EXPECT_STREQ(name, "AVG_GAIN");
  EXPECT_EQ(dmDatasetTableClose(b), DM_ERROR_NONE);
  dmDescriptorFree(key);

  dmBlock* in = dmDatasetTableOpen(spec.c_str());
  ASSERT_NE(in, nullptr);
  ASSERT_EQ(dmTableGetNoRows(in), kRows);
  ASSERT_EQ(in->ncols, 3);
  double avg = 0;
  ASSERT_NE(dmKeyRead_d(in, "AVG_GAIN", &avg), nullptr);
  EXPECT_DOUBLE_EQ(avg, 6.28125);
  dmDescriptor* g = dmTableOpenColumn(in, "GAIN");
  dmDescriptor* w = dmTableOpenColumn(in, "WEIGHT");
  dmDescriptor* e = dmTableOpenColumn(in, "EXPOSURE");
  char unit[DM_NAME_LEN + 1];
  dmGetUnitC(e, unit);
  EXPECT_STREQ(unit, "s");
  for (int r = 1; r <= kRows; r++) {
    EXPECT_DOUBLE_EQ(dmGetScalar_d(g), 0.5 * r);
    EXPECT_DOUBLE_EQ(dmGetScalar_d(w), 1.0 / r);
    EXPECT_DOUBLE_EQ(dmGetScalar_d(e), 100.0 * r + 0.125);
    EXPECT_EQ(dmTableNextRow(in), r < kRows ? r + 1 : -1);
  }
  // A table read from a file refuses new columns: it is not writable.
  EXPECT_EQ(dmColumnCreate(in, "MORE", DM_TYPE_D, 0, " ", " "), nullptr);
  dmDatasetTableClose(in);

  const std::string cmd = "/usr/bin/fitsverify -q '" + path + "' > '" + path + ".txt' 2>&1";
  EXPECT_EQ(std::system(cmd.c_str()), 0);
  FILE* report = std::fopen((path + ".txt").c_str(), "r");
  ASSERT_NE(report, nullptr);
  char line[512] = "";
  ASSERT_NE(std::fgets(line, sizeof line, report), nullptr);
  std::fclose(report);
  EXPECT_NE(std::string(line).find("verification OK"), std::string::npos) << line;
}

TEST_F(DmApiTest, dmImageCreate_pixelDescriptorHasTheShape) {
  const std::string path = folder.path("img.fits");
  const long dims[2] = {4, 3};
  dmBlock* b = dmImageCreateC((path + "[MAP]").c_str(), "s", dims, 2);
  ASSERT_NE(b, nullptr);
  dmDescriptor* pix = dmTableOpenColumnNo(b, 1);
  ASSERT_NE(pix, nullptr);
  char text[DM_NAME_LEN + 1];
  dmGetNameC(pix, text);
  EXPECT_STREQ(text, "MAP");
  EXPECT_EQ(dmGetArrDim(pix), 2);
  EXPECT_EQ(pix->dims[1], 3);
  EXPECT_EQ(dmTableGetNoRows(b), 1);
  EXPECT_EQ(dmTablePutRow(b, 0), -1);
  dmImageClose(b);

  fitsfile* f = nullptr;
  int status = 0;
  fits_open_file(&f, path.c_str(), READONLY, &status);  // the image is the primary array
  ASSERT_EQ(status, 0);
  long naxes[2] = {0, 0};
  int naxis = 0;
  fits_get_img_dim(f, &naxis, &status);
  fits_get_img_size(f, 2, naxes, &status);
  fits_close_file(f, &status);
  EXPECT_EQ(naxis, 2);
  EXPECT_EQ(naxes[0], 4);
  EXPECT_EQ(naxes[1], 3);

  EXPECT_EQ(dmImageCreate((path + "[BAD]").c_str(), DM_TYPE_S, dims, DM_MAX_DIMS + 1), nullptr);
  EXPECT_TRUE(noDatasetOpen());
}

TEST_F(DmApiTest, dmDescriptorFree_releasesOnlyCallerOwnedDescriptors) {
  dmBlock* b = dmDatasetTableOpen((events + "[STDEVT]").c_str());
  ASSERT_NE(b, nullptr);
  dmDescriptor* key = dmKeyRead_d(b, "MJDREFF", nullptr);
  dmDescriptorFree(key);  // held by the block: ignored
  dmDescriptorFree(dmTableOpenColumn(b, "TIME"));
  dmDescriptorFree(nullptr);
  EXPECT_NE(dmKeyRead_d(b, "MJDREFF", nullptr), nullptr);
  // A read-only dataset gets no new keys or blocks.
  EXPECT_EQ(dmBlockCreate(dmBlockGetDataset(b), "NEW", DM_BLOCK_TABLE), nullptr);
  dmDatasetTableClose(b);
}

TEST_F(DmApiTest, dmBlockPrint_listsKeysAndColumns) {
  dmBlock* b = dmDatasetTableOpen((events + "[STDEVT]").c_str());
  ASSERT_NE(b, nullptr);
  testing::internal::CaptureStdout();
  dmBlockPrint(b, "HEADER COLNAMES");
  const std::string out = testing::internal::GetCapturedStdout();
  dmDatasetTableClose(b);
  EXPECT_NE(out.find("NKEYS: "), std::string::npos);
  char line[256];
  std::snprintf(line, sizeof line, "%-8s %-16s %-20s %-20s %-20s", "d", "MJDREFF", "0.5", " ",
                "fraction");
  std::string expect(line);
  expect.erase(expect.find_last_not_of(' ') + 1);
  EXPECT_NE(out.find(expect + "\n"), std::string::npos) << out;
  std::snprintf(line, sizeof line, "%-8s %-16s %-20s %-20s", "i", "MJDREFI", "48043", " ");
  EXPECT_NE(out.find(line), std::string::npos) << out;
  std::snprintf(line, sizeof line, "%-8s %-16s %-20s %s\n", "r", "X", "COL 2", "pixel");
  EXPECT_NE(out.find(line), std::string::npos) << out;
}

TEST_F(DmApiTest, typeTables) {
  EXPECT_EQ(dmKTBDataType("l"), DM_TYPE_I);
  EXPECT_EQ(dmKTBDataType("f"), DM_TYPE_R);
  EXPECT_EQ(dmKTBDataType("ub"), DM_TYPE_UB);
  EXPECT_EQ(dmKTBDataType("d  "), DM_TYPE_D);
  EXPECT_EQ(dmKTBDataType("x"), DM_TYPE_NONE);
  EXPECT_EQ(dmKTBDataType("D"), DM_TYPE_NONE);
  char buf[8];
  dmKTBDataTypeName(42, buf);
  EXPECT_STREQ(buf, " ");
  dmKTBDataTypeName(-1, buf);
  EXPECT_STREQ(buf, " ");
  dmKTBDataTypeName(DM_TYPE_UL, buf);
  EXPECT_STREQ(buf, "ul");
  EXPECT_EQ(dmKTBBlockType("IMAGE"), DM_BLOCK_IMAGE);
  EXPECT_EQ(dmKTBBlockType("table"), DM_BLOCK_OTHER);
  dmKTBBlockTypeName(DM_BLOCK_TABLE, buf);
  EXPECT_STREQ(buf, "TABLE");
  dmKTBBlockTypeName(7, buf);
  EXPECT_STREQ(buf, " ");
}

TEST_F(DmApiTest, nullHandlesDoNothing) {
  char buf[DM_NAME_LEN + 1] = "x";
  double d = 3;
  EXPECT_EQ(dmDatasetClose(nullptr), 0);
  EXPECT_EQ(dmDatasetMoveToBlock(nullptr, 1), nullptr);
  EXPECT_EQ(dmBlockGetTypeName(nullptr, buf), 4);
  EXPECT_STREQ(buf, " ");
  EXPECT_EQ(dmTableNextRow(nullptr), -1);
  EXPECT_EQ(dmTablePutRow(nullptr, 0), -1);
  EXPECT_EQ(dmKeyRead_d(nullptr, "K", &d), nullptr);
  EXPECT_DOUBLE_EQ(d, 3);
  dmGetNameC(nullptr, buf);
  EXPECT_STREQ(buf, " ");
}

TEST_F(DmApiTest, dmColumnCreate_refusedPastTheKernelsColumnCapacity) {
  dmBlock* b = dmDatasetTableCreate(folder.path("wide.fits[WIDE]").c_str());
  ASSERT_NE(b, nullptr);
  int made = 0;
  for (int i = 1; i <= 120; i++) {
    const std::string name = "C" + std::to_string(i);
    if (dmColumnCreate(b, name.c_str(), DM_TYPE_D, 0, " ", " ")) made++;
  }
  EXPECT_EQ(made, 100);
  EXPECT_EQ(b->ncols, 100);
  dmDatasetTableClose(b);
}

TEST_F(DmApiTest, dmBlockGetReadError_dataCutAwayAfterOpeningIsReportedOnce) {
  const std::string path = folder.path("long.fits");
  const long rows = 100000;  // far more than CFITSIO keeps in its buffers
  dmtest::writeFits(path, [&](fitsfile* f, int* st) {
    dmtest::addEmptyPrimary(f, st);
    dmtest::addTable(f, "T", {{"TIME", "1D", "s"}}, rows, st);
  });
  dmBlock* b = dmDatasetTableOpen((path + "[T]").c_str());
  ASSERT_NE(b, nullptr);
  ASSERT_EQ(truncate(path.c_str(), 3 * 2880 + 8 * 100), 0);
  std::vector<double> values(rows, -1.0);
  testing::internal::CaptureStdout();
  const int first = dmGetScalars_d(dmTableOpenColumn(b, "TIME"), values.data(), 1, rows);
  const int again = dmGetScalars_d(dmTableOpenColumn(b, "TIME"), values.data(), rows / 2, 5);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_LT(first, rows);
  EXPECT_LT(again, 5);
  EXPECT_NE(dmBlockGetReadError(b), DM_ERROR_NONE);
  EXPECT_EQ(dmBlockGetReadError(b), dmiErrorGet());
  EXPECT_EQ(values[rows - 1], 0.0);
  const std::string head = "Failed to read column TIME of " + path + ": ";
  ASSERT_NE(out.find(head), std::string::npos) << out;
  EXPECT_NE(out.find("(CFITSIO status "), std::string::npos);
  EXPECT_EQ(out.find(head), out.rfind(head)) << "reported once";
  char stacked[FLEN_ERRMSG] = "";
  EXPECT_EQ(fits_read_errmsg(stacked), 0) << "CFITSIO's message stack left: " << stacked;
  dmDatasetTableClose(b);
}

TEST_F(DmApiTest, dmGetStaticArray_d_scaled32BitRealsMatchCfitsio64BitRead) {
  const std::string path = folder.path("gain.fits");
  std::vector<double> map(2 * 1024);
  for (size_t i = 0; i < map.size(); ++i) map[i] = 4.0 + 0.0007 * static_cast<double>(i);
  dmtest::writeFits(path, [&](fitsfile* f, int* st) {
    dmtest::addEmptyPrimary(f, st);
    dmtest::addTable(f, "RHRI_GAIN", {{"TIME", "1E", "d"}, {"GAIN_MAP", "1024E", ""}}, 2, st);
    dmtest::addCard(f, "TZERO1  =              48000.0", st);
    dmtest::addCard(f, "TSCAL2  =                0.001", st);
    dmtest::addCard(f, "TZERO2  =                  4.1", st);
    fits_set_hdustruc(f, st);
    const double times[2] = {48350.123, 49000.625};
    fits_write_col_dbl(f, 1, 1, 1, 2, const_cast<double*>(times), st);
    fits_write_col_dbl(f, 2, 1, 1, static_cast<LONGLONG>(map.size()), map.data(), st);
  });
  std::vector<double> want(map.size());
  double want_t[2] = {};
  {
    dmtest::CfitsioFile c(path);
    int hdutype = 0;
    int anynul = 0;
    fits_movabs_hdu(c.f, 2, &hdutype, &c.status);
    fits_read_col_dbl(c.f, 1, 1, 1, 2, 0.0, want_t, &anynul, &c.status);
    fits_read_col_dbl(c.f, 2, 1, 1, static_cast<LONGLONG>(want.size()), 0.0, want.data(), &anynul,
                      &c.status);
    ASSERT_EQ(c.status, 0);
  }
  dmBlock* b = dmDatasetTableOpen((path + "[RHRI_GAIN]").c_str());
  ASSERT_NE(b, nullptr);
  dmDescriptor* t = dmTableOpenColumn(b, "TIME");
  dmDescriptor* g = dmTableOpenColumn(b, "GAIN_MAP");
  std::vector<double> got(map.size(), -1.0);
  for (int row = 0; row < 2; ++row) {
    EXPECT_EQ(dmGetScalar_d(t), want_t[row]);
    dmGetStaticArray_d(g, got.data() + row * 1024, 1024);
    dmTableNextRow(b);
  }
  EXPECT_EQ(got, want);
  EXPECT_EQ(dmBlockGetReadError(b), DM_ERROR_NONE);
  dmDatasetTableClose(b);
}

// Files that CFITSIO must never parse or that cannot back their row counts:
// the reproducers kept for the fuzz replay, and a header cut short.
TEST_F(DmApiTest, dmDatasetTableOpen_refusesDamagedFilesWithAReason) {
  const std::string cut = folder.path("cut.fits");
  dmtest::writeEventFile(cut);
  ASSERT_EQ(truncate(cut.c_str(), 2880 + 1000), 0);
  const std::string dir = std::string(VARTO_SOURCE_DIR) + "/fuzz/regressions/fits/";
  const struct {
    std::string file;
    const char* reason;
  } cases[] = {
      {dir + "header_byte_0xff.fits", "header card 9 holds the byte 0xff"},
      {dir + "header_byte_0xff.fits.gz", "header card 9 holds the byte 0xff"},
      {dir + "ztile_zero.fits", "tile size ZTILE1 is not a positive whole number"},
      {dir + "naxis2_lie.fits", "claims 2000000000 rows of 16 bytes, more than the file holds"},
      {dir + "tfields_lie.fits", "TFIELDS = 1000000 but the header describes 1 columns"},
      {dir + "gzip_size_claim.fits.gz", "gzip trailer claims 3287622737 bytes uncompressed"},
      {dir + "negative_naxis2.fits", "HDU 2: NAXIS, NAXISn, PCOUNT and GCOUNT give its data no"},
      {dir + "unclosed_ctype_string.fits", "HDU 2, header card 10: its string value has no closing"},
      {cut, "the file ends inside the header"},
  };
  for (const auto& c : cases) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(dmDatasetTableOpen((c.file + "[STDGTI]").c_str()), nullptr) << c.file;
    const std::string out = testing::internal::GetCapturedStdout();
    char reason[DM_ERROR_TEXT_LEN + 1];
    dmErrorGetText(reason, sizeof reason);
    EXPECT_NE(std::string(reason).find(c.reason), std::string::npos) << c.file << ": " << reason;
    EXPECT_TRUE(noDatasetOpen()) << c.file;
  }
}

TEST_F(DmApiTest, dmDatasetTableOpen_fileNameOf1000CharactersIsKeptWhole) {
  std::string path = folder.path("");
  while (path.size() < 1000 - 250) {
    path += std::string(240, 'd') + "/";
    ASSERT_EQ(mkdir(path.c_str(), 0700), 0) << path;
  }
  path += std::string(1000 - path.size() - 5, 'f') + ".fits";
  ASSERT_EQ(path.size(), 1000u);
  dmtest::writeEventFile(path);
  dmBlock* b = dmDatasetTableOpen((path + "[STDGTI]").c_str());
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(std::string(b->dataset->name), path);
  EXPECT_EQ(dmTableGetNoRows(b), 2);
  dmDatasetTableClose(b);
}

// Header cards written while a table is made land in its own header or in the
// primary header, and read back through the data model: string keys (a long
// one on CONTINUE cards), integer keys, HISTORY and DATE; the cards come back
// as 80-character text for a header parser.
TEST_F(DmApiTest, headerCards_writtenWhileMade_readBackFromBothHeaders) {
  const std::string file = folder.path("prov.fits");
  dmBlock* b = dmDatasetTableCreate((file + "[HIST]").c_str());
  ASSERT_NE(b, nullptr);
  dmDescriptor* col = dmColumnCreate(b, "GAIN", DM_TYPE_D, 0, " ", "Gain");
  dmTablePutRow(b, 0);
  dmSetScalar_d(col, 4.5);
  const std::string long_value(150, 'r');
  dmBlock* primary = dmDatasetGetPrimary(dmBlockGetDataset(b));
  ASSERT_NE(primary, nullptr);
  for (dmBlock* target : {b, primary}) {
    EXPECT_EQ(dmKeyWrite_c(target, "TELESCOP", "ROSAT", "Mission"), 0);
    EXPECT_EQ(dmKeyWrite_c(target, "REGION", long_value.c_str(), "Region file"), 0);
    EXPECT_EQ(dmKeyWrite_l(target, "NSOURCE", 7, "Positions"), 0);
    EXPECT_EQ(dmHistoryWrite(target, "events=bas.fits"), 0);
    EXPECT_EQ(dmKeyWriteDate(target), 0);
  }
  EXPECT_EQ(dmKeyWrite_c(nullptr, "X", "y", ""), 0);
  EXPECT_EQ(dmDatasetTableClose(b), DM_ERROR_NONE);

  DatasetKeeper in(dmDatasetOpen(file.c_str()));
  ASSERT_NE(in.ds, nullptr);
  for (dmBlock* block : {dmDatasetGetPrimary(in.ds), dmBlockOpen(in.ds, "HIST")}) {
    ASSERT_NE(block, nullptr);
    char text[DM_NAME_LEN + 1] = "";
    ASSERT_NE(dmKeyRead_c(block, "TELESCOP", text, sizeof text), nullptr);
    EXPECT_STREQ(text, "ROSAT");
    int n = 0;
    ASSERT_NE(dmKeyRead_l(block, "NSOURCE", &n), nullptr);
    EXPECT_EQ(n, 7);
    EXPECT_NE(dmKeyRead_c(block, "DATE", text, sizeof text), nullptr);
    int ncards = 0;
    char* cards = dmBlockGetCards(block, &ncards);
    ASSERT_NE(cards, nullptr);
    const std::string all(cards, static_cast<size_t>(ncards) * 80);
    dmFreeCards(cards);
    EXPECT_NE(all.find("HISTORY events=bas.fits"), std::string::npos);
    EXPECT_NE(all.find("CONTINUE"), std::string::npos);
    EXPECT_EQ(all.find("END     "), std::string::npos);
  }
  EXPECT_EQ(dmBlockGetCards(nullptr, nullptr), nullptr);
  char version[40];
  dmGetKernelVersion(version, sizeof version);
  EXPECT_EQ(std::string(version).rfind("CFITSIO ", 0), 0u) << version;
}
