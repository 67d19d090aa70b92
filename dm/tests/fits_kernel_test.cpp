// dm/tests/fits_kernel_test.cpp -- the FITS kernel over real files: HDU
// stepping, block names, which cards become keys and with what type, column
// coordinates, the column read type rules, writing a table that fitsverify
// accepts, and a walk over every file of the corpus.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "dm/dm.h"
#include "dm_helpers.h"
#include "util/util.h"

using dmtest::addCard;
using dmtest::addTable;
using dmtest::CfitsioFile;
using dmtest::corpus;
using dmtest::KernelFile;
using dmtest::listFiles;
using dmtest::writeFits;

namespace {

constexpr const char* kVerify = "/usr/bin/fitsverify";

class FitsKernelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    rirade_init();
    dmInit(0);
  }

  // Empty primary, then STDEVT (3 rows) and STDGTI.
  std::string events_file() {
    std::string p = tmp.path("events.fits");
    writeFits(p, [](fitsfile* f, int* st) {
      fits_create_img(f, BYTE_IMG, 0, nullptr, st);
      addTable(f, "STDEVT", {{"TIME", "1D", ""}, {"PI", "1J", ""}}, 0, st);
      double t[3] = {1.0, 2.0, 3.0};
      fits_write_col_dbl(f, 1, 1, 1, 3, t, st);
      addTable(f, "STDGTI", {{"START", "1D", ""}, {"STOP", "1D", ""}}, 0, st);
    });
    return p;
  }

  // Offered keys of a block as name -> data type, in order.
  static std::vector<std::pair<std::string, int>> offered(FITS_Block* b) {
    std::vector<std::pair<std::string, int>> keys;
    char name[DM_NAME_LEN + 1];
    char unit[DM_NAME_LEN + 1];
    char comment[DM_NAME_LEN + 1];
    int type = -1;
    void* value = nullptr;
    for (int pos = FITS_NextKey(b, 0, name, &type, unit, comment, &value); pos >= 0;
         pos = FITS_NextKey(b, pos, name, &type, unit, comment, &value))
      keys.emplace_back(name, type);
    return keys;
  }

  static void* key_value(FITS_Block* b, const char* wanted) {
    for (int k = 0; k < b->nkeys; ++k)
      if (std::string(b->header[k].name) == wanted) return b->header[k].value;
    return nullptr;
  }

  dmtest::Folder tmp;
};

// --- stepping through HDUs -----------------------------------------------------

TEST_F(FitsKernelTest, FITS_BlockOpenNext_skipsEmptyPrimaryAndEndsWithMoveStatus) {
  KernelFile kf(FITS_DatasetOpen(events_file().c_str()));
  ASSERT_NE(kf.ds, nullptr);
  char name[DM_NAME_LEN + 1];
  int type = -1;
  FITS_Block* b = kf.next(name, &type);
  ASSERT_NE(b, nullptr);
  EXPECT_STREQ(name, "STDEVT");
  EXPECT_EQ(b->hdu, 2);
  EXPECT_EQ(type, DM_BLOCK_TABLE);
  b = kf.next(name, &type);
  ASSERT_NE(b, nullptr);
  EXPECT_STREQ(name, "STDGTI");
  EXPECT_EQ(dmiErrorGet(), DM_ERROR_NONE);
  EXPECT_EQ(kf.next(name, &type), nullptr);
  EXPECT_STREQ(name, " ");
  EXPECT_EQ(type, DM_BLOCK_OTHER);
  EXPECT_EQ(dmiErrorGet(), END_OF_FILE);
}

TEST_F(FitsKernelTest, FITS_BlockOpenNext_primaryWithDataAndUnnamedExtension) {
  std::string p = tmp.path("image.fits");
  writeFits(p, [](fitsfile* f, int* st) {
    long axes[2] = {2, 2};
    fits_create_img(f, SHORT_IMG, 2, axes, st);
    addTable(f, nullptr, {{"X", "1E", ""}}, 0, st);
  });
  KernelFile kf(FITS_DatasetOpen(p.c_str()));
  ASSERT_NE(kf.ds, nullptr);
  char name[DM_NAME_LEN + 1];
  int type = -1;
  FITS_Block* b = kf.next(name, &type);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->hdu, 1);
  EXPECT_STREQ(name, "PRIMARY");
  EXPECT_EQ(type, DM_BLOCK_IMAGE);
  b = kf.next(name, &type);
  ASSERT_NE(b, nullptr);
  EXPECT_STREQ(name, " ");
  EXPECT_STREQ(b->name, " ");
  EXPECT_EQ(dmiErrorGet(), DM_ERROR_NONE);
}

TEST_F(FitsKernelTest, FITS_DatasetOpen_missingAndNonFitsFilesSetTheStatus) {
  EXPECT_EQ(FITS_DatasetOpen(tmp.path("absent.fits").c_str()), nullptr);
  EXPECT_EQ(dmiErrorGet(), FILE_NOT_OPENED);
  std::string junk = tmp.path("junk.fits");
  std::ofstream(junk) << "not a FITS file\n";
  dmiErrorSet(DM_ERROR_NONE);
  EXPECT_EQ(FITS_DatasetOpen(junk.c_str()), nullptr);
  EXPECT_NE(dmiErrorGet(), DM_ERROR_NONE);
}

// --- header cards ------------------------------------------------------------------

TEST_F(FitsKernelTest, FITS_NextKey_offersUserCardsWithTheirTypes) {
  std::string p = tmp.path("keys.fits");
  writeFits(p, [](fitsfile* f, int* st) {
    long axes[2] = {2, 2};
    fits_create_img(f, SHORT_IMG, 2, axes, st);
    fits_write_date(f, st);
    addCard(f, "NAXIS0  =                    5 / index 0 is no axis", st);
    addCard(f, "MJDREFI =                49353 / integer day", st);
    addCard(f, "MJDREFF =              49353.0 / same number, real", st);
    addCard(f, "TELESCOP= 'ROSAT   '           / mission", st);
    addCard(f, "COMMENT   a comment card", st);
    addCard(f, "HISTORY   a history card", st);
    addCard(f, "TTYPE1  = 'X       '", st);
    addCard(f, "REPEAT  =                    1 / first", st);
    addCard(f, "REPEAT  =                    2 / second", st);
  });
  KernelFile kf(FITS_DatasetOpen(p.c_str()));
  ASSERT_NE(kf.ds, nullptr);
  char name[DM_NAME_LEN + 1];
  int type = -1;
  FITS_Block* b = kf.next(name, &type);
  ASSERT_NE(b, nullptr);
  ASSERT_EQ(FITS_ImageOpen(b), 0);
  std::vector<std::pair<std::string, int>> expected = {
      {"SIMPLE", DM_TYPE_Q},   {"EXTEND", DM_TYPE_Q},  {"DATE", DM_TYPE_C},
      {"NAXIS0", DM_TYPE_I},   {"MJDREFI", DM_TYPE_I}, {"MJDREFF", DM_TYPE_D},
      {"TELESCOP", DM_TYPE_C}, {"REPEAT", DM_TYPE_I},  {"REPEAT", DM_TYPE_I}};
  EXPECT_EQ(offered(b), expected);

  EXPECT_EQ(*static_cast<int32_t*>(key_value(b, "MJDREFI")), 49353);
  EXPECT_EQ(*static_cast<double*>(key_value(b, "MJDREFF")), 49353.0);
  EXPECT_STREQ(*static_cast<char**>(key_value(b, "TELESCOP")), "ROSAT");
  EXPECT_EQ(*static_cast<int*>(key_value(b, "SIMPLE")), 1);
  // Commentary text is taken from column 10 of the card.
  bool found = false;
  for (int k = 0; k < b->nkeys; ++k)
    if (b->header[k].keytype == FITS_KEY_COMMENT &&
        std::string(*static_cast<char**>(b->header[k].value)) == " a comment card")
      found = true;
  EXPECT_TRUE(found);
  // Each card keeps its own value even when a keyword repeats.
  const FITS_Key* last = &b->header[b->nkeys - 1];
  const FITS_Key* before = &b->header[b->nkeys - 2];
  EXPECT_EQ(*static_cast<int32_t*>(before->value), 1);
  EXPECT_EQ(*static_cast<int32_t*>(last->value), 2);

  char comment[DM_NAME_LEN + 1];
  char unit[DM_NAME_LEN + 1];
  void* value = nullptr;
  int pos = FITS_NextKey(b, 0, name, &type, unit, comment, &value);
  EXPECT_EQ(pos, 1);  // SIMPLE is card 1
  EXPECT_STREQ(unit, " ");
}

TEST_F(FitsKernelTest, FITS_HeaderOpen_integerWiderThan32BitsIsKeptAsReal) {
  std::string p = tmp.path("wide.fits");
  writeFits(p, [](fitsfile* f, int* st) {
    long axes[1] = {1};
    fits_create_img(f, BYTE_IMG, 1, axes, st);
    addCard(f, "BIGINT  =          10000000000 / over 32 bits", st);
  });
  KernelFile kf(FITS_DatasetOpen(p.c_str()));
  char name[DM_NAME_LEN + 1];
  int type = -1;
  FITS_Block* b = kf.next(name, &type);
  ASSERT_NE(b, nullptr);
  FITS_ImageOpen(b);
  auto keys = offered(b);
  ASSERT_FALSE(keys.empty());
  EXPECT_EQ(keys.back(), (std::pair<std::string, int>{"BIGINT", DM_TYPE_D}));
  EXPECT_EQ(*static_cast<double*>(key_value(b, "BIGINT")), 1e10);
}

TEST_F(FitsKernelTest, FITS_StripKeyIndex_splitsTrailingDigits) {
  char base[FLEN_KEYWORD];
  int index = -1;
  FITS_StripKeyIndex("TTYPE12", base, &index);
  EXPECT_STREQ(base, "TTYPE");
  EXPECT_EQ(index, 12);
  FITS_StripKeyIndex("NAXIS", base, &index);
  EXPECT_STREQ(base, "NAXIS");
  EXPECT_EQ(index, 0);
  FITS_StripKeyIndex("12345", base, &index);
  EXPECT_STREQ(base, "1");
  EXPECT_EQ(index, 2345);
}

// Image-style coordinate cards in a table describe the column just as the
// table spelling does; in an image they keep their own name.
TEST_F(FitsKernelTest, FITS_GetSpecialKey_d_crpixInTableActsAsTcrpx) {
  auto make = [this](const char* file, const char* prefix) {
    std::string p = tmp.path(file);
    std::string pfx = prefix;
    writeFits(p, [&](fitsfile* f, int* st) {
      addTable(f, "EVENTS", {{"A", "1D", ""}, {"B", "1D", ""}, {"X", "1D", ""}}, 0, st);
      fits_write_key_dbl(f, (pfx + (pfx == "T" ? "CRPX3" : "CRPIX3")).c_str(), 4096.5, 10, "", st);
      fits_write_key_dbl(f, (pfx + (pfx == "T" ? "CRVL3" : "CRVAL3")).c_str(), 123.25, 10, "", st);
      fits_write_key_dbl(f, (pfx + (pfx == "T" ? "CDLT3" : "CDELT3")).c_str(), -1.4e-4, 10, "", st);
    });
    return p;
  };
  std::vector<std::vector<double>> got;
  for (auto [file, prefix] : {std::pair{"t.fits", "T"}, std::pair{"c.fits", ""}}) {
    KernelFile kf(FITS_DatasetOpen(make(file, prefix).c_str()));
    char name[DM_NAME_LEN + 1];
    int type = -1;
    FITS_Block* b = kf.next(name, &type);
    ASSERT_NE(b, nullptr);
    int ncols = 0;
    int nrows = 0;
    ASSERT_EQ(FITS_TableOpen(b, &ncols, &nrows), 0);
    ASSERT_EQ(ncols, 3);
    std::vector<double> all;
    for (const char* base : {"TCRPX", "TCRVL", "TCDLT"}) {
      double v[3] = {9, 9, 9};
      EXPECT_EQ(FITS_GetSpecialKey_d(b, base, 3, v), 1);
      EXPECT_EQ(v[0], 0.0);
      all.push_back(v[2]);
    }
    for (const auto& k : offered(b)) EXPECT_EQ(k.first.find("CRPIX"), std::string::npos);
    got.push_back(all);
  }
  EXPECT_EQ(got[0], (std::vector<double>{4096.5, 123.25, -1.4e-4}));
  EXPECT_EQ(got[0], got[1]);

  std::string img = tmp.path("img.fits");
  writeFits(img, [](fitsfile* f, int* st) {
    long axes[2] = {4, 4};
    fits_create_img(f, FLOAT_IMG, 2, axes, st);
    fits_write_key_dbl(f, "CRPIX1", 2.5, 10, "", st);
  });
  KernelFile kf(FITS_DatasetOpen(img.c_str()));
  char name[DM_NAME_LEN + 1];
  int type = -1;
  FITS_Block* b = kf.next(name, &type);
  ASSERT_NE(b, nullptr);
  FITS_ImageOpen(b);
  double v[2];
  EXPECT_EQ(FITS_GetSpecialKey_d(b, "TCRPX", 2, v), 0);
  EXPECT_EQ(FITS_GetSpecialKey_d(b, "crpix", 2, v), 1);
  EXPECT_EQ(v[0], 2.5);
}

// --- columns -----------------------------------------------------------------------

TEST_F(FitsKernelTest, FITS_ColumnRead_typeRulesAndVectorCells) {
  std::string p = tmp.path("cols.fits");
  writeFits(p, [](fitsfile* f, int* st) {
    addTable(
        f, "T",
        {{"J", "1J", ""}, {"E", "1E", ""}, {"D", "1D", ""}, {"V", "1024D", ""}, {"S", "20A", ""}},
        0, st);
    int32_t j[2] = {7, 8};
    float e[2] = {1.5F, 0.1F};
    double d[2] = {0.1, 2.0};
    std::vector<double> vec(2048);
    for (size_t i = 0; i < vec.size(); ++i) vec[i] = static_cast<double>(i) + 0.25;
    fits_write_col_int(f, 1, 1, 1, 2, j, st);
    fits_write_col_flt(f, 2, 1, 1, 2, e, st);
    fits_write_col_dbl(f, 3, 1, 1, 2, d, st);
    fits_write_col_dbl(f, 4, 1, 1, 2048, vec.data(), st);
  });
  KernelFile kf(FITS_DatasetOpen(p.c_str()));
  char name[DM_NAME_LEN + 1];
  int type = -1;
  FITS_Block* b = kf.next(name, &type);
  ASSERT_NE(b, nullptr);
  int ncols = 0;
  int nrows = 0;
  ASSERT_EQ(FITS_TableOpen(b, &ncols, &nrows), 0);
  EXPECT_EQ(ncols, 5);
  EXPECT_EQ(nrows, 2);

  char unit[DM_NAME_LEN + 1];
  char desc[DM_NAME_LEN + 1];
  int nelem = 0;
  FITS_ColumnOpenNo(b, 4, name, &type, unit, desc, &nelem);
  EXPECT_STREQ(name, "V");
  EXPECT_EQ(type, DM_TYPE_D);
  EXPECT_EQ(nelem, 1024);
  FITS_ColumnOpenNo(b, 5, name, &type, unit, desc, &nelem);
  EXPECT_EQ(type, DM_TYPE_C);
  EXPECT_EQ(nelem, 20);

  testing::internal::CaptureStdout();
  double out[2] = {5, 5};
  EXPECT_EQ(FITS_ColumnRead_d(b, 1, 1, 1, out, 1), 0);
  float fout[1] = {5};
  EXPECT_EQ(FITS_ColumnRead_r(b, 1, 1, 1, fout, 1), 0);
  EXPECT_EQ(FITS_ColumnRead_d(b, 9, 1, 1, out, 1), 1);
  std::string msgs = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out[0], 0.0);
  EXPECT_EQ(fout[0], 0.0F);
  EXPECT_NE(msgs.find("type mismatch - not real*8 column\n"), std::string::npos);
  EXPECT_NE(msgs.find("type mismatch - not real*4 column\n"), std::string::npos);
  EXPECT_NE(msgs.find("Warning: attempt to read from bad FITS column no. 9"), std::string::npos);

  EXPECT_EQ(FITS_ColumnRead_d(b, 2, 1, 2, out, 1), 2);
  EXPECT_EQ(out[0], 1.5);
  EXPECT_EQ(out[1], static_cast<double>(0.1F));
  // Several rows of a 32-bit column: each row's own value, not a run past row 1.
  float rows_r[2] = {0, 0};
  double d_rows[2] = {0, 0};
  EXPECT_EQ(FITS_ColumnRead_r(b, 3, 1, 2, rows_r, 1), 2);
  EXPECT_EQ(rows_r[1], 2.0F);
  EXPECT_EQ(FITS_ColumnRead_d(b, 3, 1, 2, d_rows, 1), 2);
  EXPECT_EQ(d_rows[0], 0.1);
  EXPECT_EQ(FITS_ColumnRead_r(b, 3, 2, 1, fout, 1), 1);
  EXPECT_EQ(fout[0], 2.0F);

  std::vector<double> cell(1024, -1.0);
  EXPECT_EQ(FITS_ColumnRead_d(b, 4, 2, 1, cell.data(), 1024), 1);
  EXPECT_EQ(cell.front(), 1024.25);
  EXPECT_EQ(cell.back(), 2047.25);
}

TEST_F(FitsKernelTest, FITS_TableOpen_asciiTableOffersNoColumns) {
  std::string p = tmp.path("ascii.fits");
  writeFits(p, [](fitsfile* f, int* st) {
    char* ttype[] = {const_cast<char*>("N")};
    char* tform[] = {const_cast<char*>("I5")};
    fits_create_tbl(f, ASCII_TBL, 2, 1, ttype, tform, nullptr, "ASC", st);
  });
  KernelFile kf(FITS_DatasetOpen(p.c_str()));
  char name[DM_NAME_LEN + 1];
  int type = -1;
  FITS_Block* b = kf.next(name, &type);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(type, DM_BLOCK_TABLE);
  int ncols = -1;
  int nrows = -1;
  EXPECT_EQ(FITS_TableOpen(b, &ncols, &nrows), 0);
  EXPECT_EQ(ncols, 0);
  EXPECT_EQ(nrows, 0);
  EXPECT_GT(b->nkeys, 0);
}

TEST_F(FitsKernelTest, FITS_typeTables_edgeCodes) {
  char tform[FLEN_VALUE];
  FITS_ColumnComposeType(DM_TYPE_C, 1, 0, tform);
  EXPECT_STREQ(tform, "0A");
  FITS_ColumnComposeType(DM_TYPE_UB, 1, 0, tform);
  EXPECT_STREQ(tform, "1A");
  testing::internal::CaptureStdout();
  EXPECT_EQ(FITS_TypeToBitpix(11), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Bad data type\n");
  EXPECT_EQ(FITS_TypeToBitpix(DM_TYPE_Q), 0);
  int dt = -1;
  FITS_ColumnParseType("16X", &dt, nullptr, nullptr);
  EXPECT_EQ(dt, DM_TYPE_UB);
  FITS_ColumnParseType("1K", &dt, nullptr, nullptr);
  EXPECT_EQ(dt, DM_TYPE_NONE);
  FITS_SetKernelOption("TABLE=ASCII");
  FITS_SetKernelOption("TABLE=OTHER");
  EXPECT_EQ(FITS_SetBlockType(DM_BLOCK_TABLE), FITS_HDU_ASCII);
  EXPECT_STREQ(FITS.name, "FITS");
  EXPECT_EQ(FITS.SetKernelOption, &FITS_SetKernelOption);
}

// --- writing -------------------------------------------------------------------------

// Writes the three-column table of the output histogram through the kernel
// slots in the order the data model uses them.
void write_histogram(const std::string& path, int rows) {
  void* kds = FITS_DatasetCreate(path.c_str());
  ASSERT_NE(kds, nullptr);
  void* kb = FITS_BlockCreate(kds, "GAIN_HIST", DM_BLOCK_TABLE);
  ASSERT_NE(kb, nullptr);
  EXPECT_EQ(FITS_ColumnCreate(kb, "GAIN", DM_TYPE_D, 0, " ", "gain"), 1);
  EXPECT_EQ(FITS_ColumnCreate(kb, "WEIGHT", DM_TYPE_D, 0, " ", ""), 2);
  EXPECT_EQ(FITS_ColumnCreate(kb, "EXPOSURE", DM_TYPE_D, 0, "s", ""), 3);
  for (int r = 1; r <= rows; ++r) {
    EXPECT_EQ(FITS_PutRow(kb, r), r);
    for (int c = 1; c <= 3; ++c) {
      double v = r * 10.0 + c + 0.125;
      EXPECT_EQ(FITS_ColumnWrite_d(kb, c, r, 1, &v, 1), 1);
    }
  }
  EXPECT_EQ(FITS_KeyWrite_d(kb, "AVG_GAIN", 123.456, "s", "Exposure time per bin"), 0);
  EXPECT_EQ(FITS_BlockClose(kb), 0);
  EXPECT_EQ(FITS_DatasetClose(kds), 0);
}

std::string run_verify(const std::string& path) {
  std::string cmd = std::string(kVerify) + " '" + path + "' 2>&1";
  std::string out;
  FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) return out;
  char buf[512];
  while (std::fgets(buf, sizeof buf, p) != nullptr) out += buf;
  pclose(p);
  return out;
}

TEST_F(FitsKernelTest, FITS_writeTable_passesFitsverify) {
  if (std::FILE* f = std::fopen(kVerify, "r"))
    std::fclose(f);
  else
    GTEST_SKIP() << kVerify << " is not installed";
  std::string p = tmp.path("varto.fits");
  write_histogram(p, 5);
  std::string report = run_verify(p);
  EXPECT_NE(report.find("0 warning(s) and 0 error(s)"), std::string::npos) << report;
}

TEST_F(FitsKernelTest, FITS_writeTable_readsBackExactly) {
  std::string p = tmp.path("varto.fits");
  write_histogram(p, 5);

  CfitsioFile cf(p);
  ASSERT_EQ(cf.status, 0);
  fits_movnam_hdu(cf.f, BINARY_TBL, const_cast<char*>("GAIN_HIST"), 0, &cf.status);
  ASSERT_EQ(cf.status, 0);
  long naxis2 = 0;
  fits_read_key_lng(cf.f, "NAXIS2", &naxis2, nullptr, &cf.status);
  EXPECT_EQ(naxis2, 5);
  for (int c = 1; c <= 3; ++c) {
    double v[5];
    int anynul = 0;
    fits_read_col_dbl(cf.f, c, 1, 1, 5, 0.0, v, &anynul, &cf.status);
    for (int r = 1; r <= 5; ++r) EXPECT_EQ(v[r - 1], r * 10.0 + c + 0.125);
  }
  double avg = 0;
  char comment[FLEN_COMMENT];
  fits_read_key_dbl(cf.f, "AVG_GAIN", &avg, comment, &cf.status);
  EXPECT_EQ(avg, 123.456);
  EXPECT_STREQ(comment, "[s] Exposure time per bin");
  char unit[FLEN_VALUE];
  fits_read_key_str(cf.f, "TUNIT3", unit, nullptr, &cf.status);
  EXPECT_STREQ(unit, "s");
  EXPECT_EQ(cf.status, 0);
  int exists = 0;
  fits_read_key_str(cf.f, "TUNIT1", unit, nullptr, &exists);
  EXPECT_EQ(exists, KEY_NO_EXIST);
}

TEST_F(FitsKernelTest, FITS_DatasetCreate_replacesExistingFile) {
  std::string p = tmp.path("varto.fits");
  std::ofstream(p) << "an older file that is not FITS at all\n";
  write_histogram(p, 2);
  CfitsioFile cf(p);
  ASSERT_EQ(cf.status, 0);
  int n = 0;
  fits_get_num_hdus(cf.f, &n, &cf.status);
  EXPECT_EQ(n, 2);
}

TEST_F(FitsKernelTest, FITS_BlockClose_tableWithoutRowsGetsItsHeader) {
  std::string p = tmp.path("empty.fits");
  void* kds = FITS_DatasetCreate(p.c_str());
  void* kb = FITS_BlockCreate(kds, "EMPTY", DM_BLOCK_TABLE);
  FITS_ColumnCreate(kb, "NAME", DM_TYPE_C, 12, "", "");
  FITS_BlockClose(kb);
  FITS_DatasetClose(kds);
  CfitsioFile cf(p);
  ASSERT_EQ(cf.status, 0);
  fits_movnam_hdu(cf.f, BINARY_TBL, const_cast<char*>("EMPTY"), 0, &cf.status);
  char tform[FLEN_VALUE];
  long naxis2 = -1;
  fits_read_key_str(cf.f, "TFORM1", tform, nullptr, &cf.status);
  fits_read_key_lng(cf.f, "NAXIS2", &naxis2, nullptr, &cf.status);
  EXPECT_EQ(cf.status, 0);
  EXPECT_STREQ(tform, "12A");
  EXPECT_EQ(naxis2, 0);
}

// There is no ASCII-table writer: a table asked for as ASCII is written as a
// binary table, so its rows are kept and the file stays valid.
TEST_F(FitsKernelTest, FITS_BlockInit_asciiOptionWritesBinaryTable) {
  FITS_SetKernelOption("TABLE=ASCII");
  std::string p = tmp.path("ascii_out.fits");
  testing::internal::CaptureStdout();
  write_histogram(p, 3);
  std::string msgs = testing::internal::GetCapturedStdout();
  EXPECT_NE(msgs.find("ASCII table output not supported"), std::string::npos);
  CfitsioFile cf(p);
  ASSERT_EQ(cf.status, 0);
  int hdutype = -1;
  fits_movabs_hdu(cf.f, 2, &hdutype, &cf.status);
  EXPECT_EQ(hdutype, BINARY_TBL);
  long naxis2 = 0;
  fits_read_key_lng(cf.f, "NAXIS2", &naxis2, nullptr, &cf.status);
  EXPECT_EQ(naxis2, 3);
}

TEST_F(FitsKernelTest, FITS_ImageSpec_writesImageHeader) {
  std::string p = tmp.path("img.fits");
  void* kds = FITS_DatasetCreate(p.c_str());
  void* kb = FITS_BlockCreate(kds, "IMG", DM_BLOCK_IMAGE);
  ASSERT_NE(kb, nullptr);
  long dims[2] = {3, 4};
  EXPECT_EQ(FITS_ImageSpec(kb, DM_TYPE_D, dims, 2), 0);
  EXPECT_EQ(FITS_ImageOpen(kb), 0);
  FITS_BlockClose(kb);
  FITS_DatasetClose(kds);
  CfitsioFile cf(p);
  ASSERT_EQ(cf.status, 0);
  int bitpix = 0;
  int naxis = 0;
  long axes[2] = {0, 0};
  fits_get_img_param(cf.f, 2, &bitpix, &naxis, axes, &cf.status);
  EXPECT_EQ(bitpix, DOUBLE_IMG);
  EXPECT_EQ(naxis, 2);
  EXPECT_EQ(axes[1], 4);
}

// Reads and writes go to their own block's HDU whichever HDU the file was
// moved to last.
TEST_F(FitsKernelTest, FITS_ColumnRead_d_afterScanningPastTheBlock) {
  KernelFile kf(FITS_DatasetOpen(events_file().c_str()));
  char name[DM_NAME_LEN + 1];
  int type = -1;
  FITS_Block* evt = kf.next(name, &type);
  ASSERT_NE(evt, nullptr);
  int ncols = 0;
  int nrows = 0;
  FITS_TableOpen(evt, &ncols, &nrows);
  while (kf.next(name, &type) != nullptr) {
  }
  double t[3] = {0, 0, 0};
  EXPECT_EQ(FITS_ColumnRead_d(evt, 1, 1, 3, t, 1), 3);
  EXPECT_EQ(t[2], 3.0);
}

TEST_F(FitsKernelTest, FITS_BlockClose_twoCreatedTablesKeepTheirRowCounts) {
  std::string p = tmp.path("two.fits");
  void* kds = FITS_DatasetCreate(p.c_str());
  void* a = FITS_BlockCreate(kds, "A", DM_BLOCK_TABLE);
  FITS_ColumnCreate(a, "X", DM_TYPE_D, 0, "", "");
  for (int r = 1; r <= 2; ++r) {
    double v = r;
    FITS_PutRow(a, r);
    FITS_ColumnWrite_d(a, 1, r, 1, &v, 1);
  }
  void* b = FITS_BlockCreate(kds, "B", DM_BLOCK_TABLE);
  FITS_ColumnCreate(b, "Y", DM_TYPE_D, 0, "", "");
  for (int r = 1; r <= 3; ++r) {
    double v = 10.0 * r;
    FITS_PutRow(b, r);
    FITS_ColumnWrite_d(b, 1, r, 1, &v, 1);
  }
  FITS_KeyWrite_d(a, "AKEY", 1.5, "", "on A");
  FITS_BlockClose(a);
  FITS_BlockClose(b);
  FITS_DatasetClose(kds);

  CfitsioFile cf(p);
  ASSERT_EQ(cf.status, 0);
  long rows = 0;
  double akey = 0;
  fits_movnam_hdu(cf.f, BINARY_TBL, const_cast<char*>("A"), 0, &cf.status);
  fits_read_key_lng(cf.f, "NAXIS2", &rows, nullptr, &cf.status);
  fits_read_key_dbl(cf.f, "AKEY", &akey, nullptr, &cf.status);
  EXPECT_EQ(rows, 2);
  EXPECT_EQ(akey, 1.5);
  fits_movnam_hdu(cf.f, BINARY_TBL, const_cast<char*>("B"), 0, &cf.status);
  fits_read_key_lng(cf.f, "NAXIS2", &rows, nullptr, &cf.status);
  EXPECT_EQ(rows, 3);
  double y[3] = {0, 0, 0};
  int anynul = 0;
  fits_read_col_dbl(cf.f, 1, 1, 1, 3, 0.0, y, &anynul, &cf.status);
  EXPECT_EQ(cf.status, 0);
  EXPECT_EQ(y[2], 30.0);
}

// --- record accounting -------------------------------------------------------------

// At debug level 1 every kernel and store record is traced when made and when
// released; the lines pair up by address.
TEST_F(FitsKernelTest, FITS_records_traceAllocAndFreeInPairs) {
  std::string p = events_file();
  dbg_set(1);
  testing::internal::CaptureStderr();
  {
    KernelFile kf(FITS_DatasetOpen(p.c_str()));
    char name[DM_NAME_LEN + 1];
    int type = -1;
    while (FITS_Block* b = kf.next(name, &type)) {
      int ncols = 0;
      int nrows = 0;
      FITS_TableOpen(b, &ncols, &nrows);
    }
  }
  std::string err = testing::internal::GetCapturedStderr();
  dbg_set(0);
  std::map<std::string, int> open;
  std::istringstream lines(err);
  std::string line;
  std::regex alloc(
      R"(^\[\*1\]  \*\*\* ALLOC +(-?\d+) (FITS DS|FITS BLOCK \d+|FITS Table|FITS HEADER|STORE|Store)( |$).*)");
  std::regex release(
      R"(^\[\*1\]  \*\*\* FREE  +(-?\d+) (FITS DS|FITS BLOCK \d+|FITS Table|FITS HEADER|STORE|Store) \*\*\*$)");
  int allocs = 0;
  for (std::smatch m; std::getline(lines, line);) {
    if (std::regex_match(line, m, alloc)) {
      ++allocs;
      std::string kind = m[2].str().rfind("Store", 0) == 0 ? "Store" : m[2].str();
      ++open[kind + m[1].str()];
    } else if (std::regex_match(line, m, release)) {
      --open[m[2].str() + m[1].str()];
    }
  }
  EXPECT_GE(allocs, 8) << err;
  for (const auto& [key, count] : open) EXPECT_EQ(count, 0) << key;
  EXPECT_NE(err.find("NULL primary: get another block"), std::string::npos);
  EXPECT_NE(err.find("NKEYS"), std::string::npos);
}

// --- the corpus ------------------------------------------------------------------------

// Files written by other software: an empty primary skipped, a primary with
// data named PRIMARY, an unnamed image extension, image-style coordinate
// cards on event columns.
TEST_F(FitsKernelTest, FITS_BlockOpenNext_corpusFiles) {
  std::string rosat = corpus("heasoft-6.20/ftools/guis/fv/sample_data/rosat.evt");
  std::FILE* probe = std::fopen(rosat.c_str(), "rb");
  if (probe == nullptr) GTEST_SKIP() << "corpus not found";
  std::fclose(probe);
  char name[DM_NAME_LEN + 1];
  int type = -1;
  {
    KernelFile kf(FITS_DatasetOpen(rosat.c_str()));
    FITS_Block* b = kf.next(name, &type);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->hdu, 2);
    EXPECT_STREQ(name, "GTI");
  }
  {
    KernelFile kf(FITS_DatasetOpen(corpus("astropy/io/fits/tests/data/arange.fits").c_str()));
    FITS_Block* b = kf.next(name, &type);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->hdu, 1);
    EXPECT_STREQ(name, "PRIMARY");
    EXPECT_EQ(type, DM_BLOCK_IMAGE);
  }
  {
    KernelFile kf(FITS_DatasetOpen(corpus("heasoft-6.20/heacore/cfitsio/testf77.std").c_str()));
    std::vector<std::string> names;
    std::vector<int> types;
    while (kf.next(name, &type) != nullptr) {
      names.emplace_back(name);
      types.push_back(type);
    }
    ASSERT_GE(names.size(), 4U);
    EXPECT_EQ(names[0], "PRIMARY");
    EXPECT_EQ(names[1], "Test-BINTABLE");
    EXPECT_EQ(names[2], " ");
    EXPECT_EQ(types[2], DM_BLOCK_IMAGE);
    EXPECT_EQ(names[3], "Test-ASCII");
    int ncols = -1;
    int nrows = -1;
    FITS_TableOpen(kf.blocks[3], &ncols, &nrows);
    EXPECT_EQ(ncols, 0);
    EXPECT_EQ(dmiErrorGet(), END_OF_FILE);
  }
  {
    KernelFile kf(FITS_DatasetOpen(corpus("heasoft-6.20/heacore/cfitsio/iter_c.fit").c_str()));
    FITS_Block* b = kf.next(name, &type);
    ASSERT_NE(b, nullptr);
    int ncols = 0;
    int nrows = 0;
    FITS_TableOpen(b, &ncols, &nrows);
    double crpx[5];
    double cdlt[5];
    EXPECT_EQ(FITS_GetSpecialKey_d(b, "TCRPX", ncols, crpx), 2);
    EXPECT_EQ(FITS_GetSpecialKey_d(b, "TCDLT", ncols, cdlt), 2);
    EXPECT_EQ(crpx[0], 7680.0);
    EXPECT_EQ(cdlt[0], -1.388889e-4);
    EXPECT_EQ(crpx[2], 0.0);
  }
}

// Steps through every HDU, card and column of every corpus file with the
// kernel slots; the sanitizer runs make this the memory-safety check.
TEST_F(FitsKernelTest, FITS_kernel_walksEveryCorpusFile) {
  std::string root = std::string(VARTO_CORPUS_DIR) + "/fits";
  std::vector<std::string> files = listFiles(root);
  if (files.empty()) GTEST_SKIP() << "no corpus at " << root;
  // Listings and key-type messages go to a scratch channel and stdout.
  int ch = fio_open_w(tmp.path("listing.txt").c_str());
  ASSERT_GT(ch, 0);
  io_out(ch);
  testing::internal::CaptureStdout();
  int opened = 0;
  int blocks = 0;
  int columns = 0;
  for (const auto& file : files) {
    void* kds = FITS_DatasetOpen(file.c_str());
    if (kds == nullptr) continue;
    ++opened;
    char name[DM_NAME_LEN + 1];
    int type = -1;
    while (FITS_Block* b = static_cast<FITS_Block*>(FITS_BlockOpenNext(kds, name, &type))) {
      ++blocks;
      int ncols = 0;
      int nrows = 0;
      if (type == DM_BLOCK_TABLE)
        FITS_TableOpen(b, &ncols, &nrows);
      else
        FITS_ImageOpen(b);
      char unit[DM_NAME_LEN + 1];
      char comment[DM_NAME_LEN + 1];
      void* value = nullptr;
      int dt = 0;
      for (int pos = FITS_NextKey(b, 0, name, &dt, unit, comment, &value); pos >= 0;
           pos = FITS_NextKey(b, pos, name, &dt, unit, comment, &value)) {
        if (dt == DM_TYPE_D) {
          EXPECT_NE(value, nullptr);
        }
      }
      std::vector<double> coord(static_cast<size_t>(ncols) + 1);
      FITS_GetSpecialKey_d(b, "TCRPX", ncols + 1, coord.data());
      for (int c = 1; c <= ncols; ++c) {
        int nelem = 0;
        FITS_ColumnOpenNo(b, c, name, &dt, unit, comment, &nelem);
        ++columns;
        if (nrows < 1 || nelem < 1) continue;
        std::vector<double> d(static_cast<size_t>(nelem));
        std::vector<float> r(static_cast<size_t>(nelem));
        FITS_ColumnRead_d(b, c, nrows, 1, d.data(), nelem);
        FITS_ColumnRead_r(b, c, 1, 1, r.data(), nelem);
      }
      FITS_BlockPrintKernel(b);
      FITS_BlockClose(b);
    }
    FITS_DatasetClose(kds);
  }
  testing::internal::GetCapturedStdout();
  io_out(0);
  fio_close(ch);
  EXPECT_GT(opened, 80);
  EXPECT_GT(blocks, 250);
  EXPECT_GT(columns, 500);
}

}  // namespace
