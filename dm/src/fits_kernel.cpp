// dm/src/fits_kernel.cpp -- the FITS kernel: the 26 operations of the kernel
// table over CFITSIO. Datasets are FITS files, blocks are HDUs, columns are
// binary-table columns and keys are header cards. Tables are written header
// first (at the first row), then cell by cell, with NAXIS2 fixed at close.
#include "fits_int.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "util/util.h"

dmKernel FITS = {
    "FITS",
    FITS_DatasetOpen,
    FITS_DatasetCreate,
    FITS_DatasetClose,
    FITS_BlockOpenNext,
    FITS_BlockCreate,
    FITS_MoveToBlock,
    FITS_BlockClose,
    FITS_TableOpen,
    FITS_ImageOpen,
    FITS_ImageSpec,
    FITS_ColumnOpenNo,
    FITS_ColumnCreate,
    FITS_kBlockInit,
    FITS_NextKey,
    FITS_GetSpecialKey_d,
    FITS_ColumnRead_d,
    FITS_ColumnRead_r,
    FITS_ColumnWrite_d,
    FITS_KeyWrite_d,
    FITS_PutRow,
    FITS_BlockPrintKernel,
    FITS_SetKernelOption,
    FITS_PrimaryOpen,
    FITS_CardWrite,
    FITS_HeaderCards,
    FITS_Version,
};

namespace {

FITS_Block* as_block(void* kb) { return static_cast<FITS_Block*>(kb); }

bool column_ok(const FITS_Block* block, int col) {
  return block->ttype != nullptr && col >= 1 && col <= block->ncols;
}

void bad_column(const char* what, int col) {
  char line[UTIL_MSG_BUF];
  std::snprintf(line, sizeof line, "Warning: attempt to %s bad FITS column no. %d\n", what, col);
  tmsg(line);
}

// The kernel dataset for a file CFITSIO has just opened or created (status
// its outcome). The file is closed again when no record can be made for it.
FITS_Dataset* dataset_for(fitsfile* fptr, int status) {
  if (status != 0) {
    FITS_Failed(status);
    return nullptr;
  }
  FITS_Dataset* ds = FITS_DatasetAlloc(fptr);
  if (ds == nullptr) {
    status = 0;
    fits_close_file(fptr, &status);
  }
  return ds;
}

// The CFITSIO column read and the data-model type code of each real type.
void read_cells(fitsfile* fptr, int col, long long row, long long elem, long long n, double* values,
                int* status) {
  int anynul = 0;
  fits_read_col_dbl(fptr, col, row, elem, n, 0.0, values, &anynul, status);
}
void read_cells(fitsfile* fptr, int col, long long row, long long elem, long long n, float* values,
                int* status) {
  int anynul = 0;
  fits_read_col_flt(fptr, col, row, elem, n, 0.0F, values, &anynul, status);
}
constexpr int real_type(const double*) { return DM_TYPE_D; }
constexpr int real_type(const float*) { return DM_TYPE_R; }

// Reads nrows rows of nelem elements from a real column into values of type
// T; a column of the other real type (Other) is converted on the way. A 32-bit
// real column that is scaled (TSCALn, TZEROn) is read into 64-bit values by
// CFITSIO itself, so that the scaling is done at 64-bit precision. Returns the
// rows read, or -1 when CFITSIO reports a failure (recorded by FITS_Failed).
template <typename Other, typename T>
int read_reals(FITS_Block* block, int col, int firstrow, int nrows, T* values, int nelem,
               const char* mismatch) {
  if (block == nullptr || block->dataset == nullptr || values == nullptr) return 0;
  if (!column_ok(block, col)) {
    bad_column("read from", col);
    return nrows;
  }
  if (nrows < 1 || nelem < 1) return 0;
  int status = FITS_SelectHDU(block);
  if (status != 0) {
    FITS_Failed(status);
    return -1;
  }
  fitsfile* fptr = block->dataset->fptr;
  long long total = static_cast<long long>(nrows) * nelem;
  const int type = block->datatype[col - 1];
  const bool direct =
      type == real_type(values) ||
      (type == DM_TYPE_R && real_type(values) == DM_TYPE_D && block->scaled[col - 1] != 0);
  if (direct && type == real_type(values)) {
    read_cells(fptr, col, firstrow, 1, total, values, &status);
  } else if (direct || type == real_type(static_cast<const Other*>(nullptr))) {
    // CFITSIO takes no first element beyond a row's end, so each element is
    // addressed by its own row and place within the row.
    for (long long k = 0; k < total && status == 0; ++k) {
      if (direct) {
        read_cells(fptr, col, firstrow + k / nelem, 1 + k % nelem, 1, values + k, &status);
        continue;
      }
      Other v = 0;
      read_cells(fptr, col, firstrow + k / nelem, 1 + k % nelem, 1, &v, &status);
      values[k] = static_cast<T>(v);
    }
  } else {
    tmsg(mismatch);
    std::fill(values, values + nelem, T{0});
    return 0;
  }
  if (status != 0) {
    // Cells a failed read may have left half-written read as 0.
    std::fill(values, values + total, T{0});
    FITS_Failed(status);
    return -1;
  }
  return nrows;
}

// 1 when the header gives column col a TSCALn other than 1 or a TZEROn other than 0.
int column_scaled(const FITS_Block* block, int col) {
  for (int k = 0; k < block->nkeys; ++k) {
    const FITS_Key& key = block->header[k];
    if (key.index != col || key.value == nullptr) continue;
    const bool scal = std::strcmp(key.base, "TSCAL") == 0;
    if (!scal && std::strcmp(key.base, "TZERO") != 0) continue;
    double v = 0.0;
    if (key.keytype == FITS_KEY_REAL)
      v = *static_cast<const double*>(key.value);
    else if (key.keytype == FITS_KEY_INT)
      v = *static_cast<const int32_t*>(key.value);
    else
      continue;
    if (v != (scal ? 1.0 : 0.0)) return 1;
  }
  return 0;
}

// The value of a card as a listing shows it (at most 80 characters).
void format_value(const FITS_Key& key, char* out, size_t room) {
  char num[UTIL_NUM_LEN + 1];
  if (key.value == nullptr) {
    FITS_CopyText(" ", out, room);
    return;
  }
  switch (key.keytype) {
    case FITS_KEY_REAL:
      write_d(*static_cast<double*>(key.value), num, UTIL_NUM_LEN);
      FITS_CopyText(num, out, room);
      break;
    case FITS_KEY_INT:
      write_i(*static_cast<int32_t*>(key.value), num, UTIL_NUM_LEN);
      FITS_CopyText(num, out, room);
      break;
    case FITS_KEY_LOGICAL:
      FITS_CopyText(*static_cast<int*>(key.value) != 0 ? "T" : "F", out, room);
      break;
    case FITS_KEY_STRING:
    case FITS_KEY_COMMENT: FITS_CopyText(*static_cast<char**>(key.value), out, room); break;
    default: FITS_CopyText(" ", out, room); break;
  }
}

}  // namespace

// --- slots 1-3: datasets -----------------------------------------------------

void* FITS_DatasetOpen(const char* filename) {
  if (filename == nullptr) return nullptr;
  if (FITS_CheckCompressedSize(filename) != 0) return nullptr;
  fitsfile* fptr = nullptr;
  int status = 0;
  fits_open_file(&fptr, filename, READONLY, &status);
  // Opening has parsed only the primary header; no other header reaches
  // CFITSIO unless every header passes the check.
  if (status == 0 && FITS_CheckHeaders(fptr, filename) != 0) {
    int close_status = 0;
    fits_close_file(fptr, &close_status);
    fits_clear_errmsg();
    return nullptr;
  }
  return dataset_for(fptr, status);
}

void* FITS_DatasetCreate(const char* filename) {
  if (filename == nullptr) return nullptr;
  if (fio_inquire(filename)) sys_delete(filename);
  fitsfile* fptr = nullptr;
  int status = 0;
  // A disk file named ".gz" is written compressed. CFITSIO decides that from
  // the first ".gz" anywhere in the path, so a folder such as "a.gz.d/" would
  // make it write b.fits.gz plain and c.fits compressed: the driver is named.
  const std::string name(filename);
  const bool gzip = name.size() > 3 && name.compare(name.size() - 3, 3, ".gz") == 0 &&
                    name.find("://") == std::string::npos && name != "-";
  const std::string url = gzip ? "compressoutfile://" + name : name;
  fits_create_file(&fptr, url.c_str(), &status);
  return dataset_for(fptr, status);
}

int FITS_DatasetClose(void* kds) {
  FITS_Dataset* ds = static_cast<FITS_Dataset*>(kds);
  if (ds == nullptr) return 0;
  dmsg(1, "Close FITS file");
  int status = 0;
  fits_close_file(ds->fptr, &status);
  // A write that failed earlier (a full disk) makes the whole file unusable.
  if (status == 0) status = ds->write_status;
  FITS_DatasetFree(ds);
  if (status != 0) FITS_Failed(status);
  return status;
}

// --- slots 4-7: blocks -------------------------------------------------------

FITS_Block* FITS_BlockGetNext(FITS_Dataset* ds, char* name, int* blocktype) {
  int next = ds->hdu_count + 1;
  dmiTrace(1, "Move to HDU %d", next);
  int status = 0;
  int hdutype = 0;
  fits_movabs_hdu(ds->fptr, next, &hdutype, &status);
  if (status != 0) {
    dmsg(1, "FITS block move error");
    FITS_Failed(status);
    if (name != nullptr) FITS_CopyText(" ", name, DM_NAME_LEN + 1);
    if (blocktype != nullptr) *blocktype = DM_BLOCK_OTHER;
    return nullptr;
  }
  ds->hdu_count = next;
  FITS_Block* block = FITS_BlockAlloc(ds, hdutype, next, "R");
  if (blocktype != nullptr) *blocktype = FITS_GetBlockType(hdutype);
  if (block == nullptr) {
    if (name != nullptr) FITS_CopyText(" ", name, DM_NAME_LEN + 1);
    return nullptr;
  }
  FITS_GetBlockName(block, name);
  dmsg1(1, "FITS: Allocated block for ", block->name);
  return block;
}

void* FITS_BlockOpenNext(void* kds, char* name, int* blocktype) {
  FITS_Dataset* ds = static_cast<FITS_Dataset*>(kds);
  if (ds == nullptr) return nullptr;
  FITS_Block* block = FITS_BlockGetNext(ds, name, blocktype);
  if (block != nullptr && block->hdu == 1) {
    long naxis = 0;
    int status = 0;
    fits_read_key_lng(ds->fptr, "NAXIS", &naxis, nullptr, &status);
    if (naxis == 0) {
      dmsg(1, "NULL primary: get another block");
      FITS_BlockFree(block);
      block = FITS_BlockGetNext(ds, name, blocktype);
    }
  }
  return block;
}

void* FITS_BlockCreate(void* kds, const char* name, int blocktype) {
  FITS_Dataset* ds = static_cast<FITS_Dataset*>(kds);
  if (ds == nullptr) return nullptr;
  int hdutype = FITS_SetBlockType(blocktype);
  int status = 0;
  if (hdutype != FITS_HDU_IMAGE && ds->hdu_count == 0) {
    // Tables live in extensions: the file starts with an empty primary array.
    fits_create_img(ds->fptr, BYTE_IMG, 0, nullptr, &status);
    ds->hdu_count += 1;
  }
  status = 0;
  fits_create_hdu(ds->fptr, &status);
  ds->hdu_count += 1;
  FITS_Block* block = FITS_BlockAlloc(ds, hdutype, ds->hdu_count, "W");
  if (block == nullptr) return nullptr;
  FITS_CopyText(name != nullptr ? name : " ", block->name, sizeof block->name);
  if (FITS_AllocCols(block, FITS_DEFAULT_COLS) != 0) {
    FITS_BlockFree(block);
    return nullptr;
  }
  return block;
}

int FITS_MoveToBlock(void* kb) {
  FITS_Block* block = as_block(kb);
  if (block == nullptr || block->dataset == nullptr) return 0;
  dmiTrace(1, "FITS: Move to HDU %d\n", block->hdu);
  int status = 0;
  int hdutype = 0;
  fits_movabs_hdu(block->dataset->fptr, block->hdu, &hdutype, &status);
  if (status != 0) FITS_Failed(status);
  return status;
}

int FITS_BlockClose(void* kb) {
  FITS_Block* block = as_block(kb);
  if (block == nullptr) return 0;
  if (block->header_written == 0) {
    dmsg(1, "Flush init");
    FITS_BlockInit(block);
  }
  // Rows are counted as they are put, so the final count is written last.
  // Only a created block can need it; a file opened for reading is read-only.
  if (block->writable != 0 && block->hdutype != FITS_HDU_IMAGE && block->dataset != nullptr &&
      block->header_written != 0) {
    FITS_SelectHDU(block);
    int status = 0;
    fits_modify_key_lng(block->dataset->fptr, "NAXIS2", block->nrows, "Number of rows", &status);
  }
  FITS_BlockFree(block);
  return 0;
}

// --- slots 8-13: tables, images, columns -------------------------------------

int FITS_TableOpen(void* kb, int* ncols, int* nrows) {
  if (ncols != nullptr) *ncols = 0;
  if (nrows != nullptr) *nrows = 0;
  FITS_Block* block = as_block(kb);
  if (block == nullptr || block->dataset == nullptr) return 0;
  int status = FITS_HeaderOpen(block);
  dmsg(1, "Search Columns");
  if (status != 0) return status;
  // Only binary tables are read column by column: an ASCII table is found and
  // named but offers no columns, so a reader reports a column missing rather
  // than misread text fields as numbers.
  if (block->hdutype != FITS_HDU_BINARY) return 0;

  fitsfile* fptr = block->dataset->fptr;
  status = FITS_SelectHDU(block);
  if (status != 0) {
    FITS_Failed(status);
    return status;
  }
  long tfields = 0;
  fits_read_key_lng(fptr, "TFIELDS", &tfields, nullptr, &status);
  if (status != 0) {
    FITS_Failed(status);
    return status;
  }
  if (tfields < 0 || tfields > DM_MAX_DESCRIPTORS) tfields = 0;
  if (FITS_AllocCols(block, static_cast<int>(tfields)) != 0) {
    FITS_Failed(MEMORY_ALLOCATION);
    return MEMORY_ALLOCATION;
  }
  long rows = 0;
  int found = 0;
  char extname[FLEN_VALUE];
  fits_read_btblhdr(fptr, block->maxcols, &rows, &found, block->ttype, block->tform, block->tunit,
                    extname, &block->heap, &status);
  if (status != 0) {
    FITS_Failed(status);
    return status;
  }
  // Readers size their arrays by the row count: it must be backed by data.
  status = FITS_CheckTableSize(block);
  if (status != 0) return status;
  block->ncols = std::clamp(found, 0, block->maxcols);
  block->nrows = static_cast<int>(std::clamp(rows, 0L, static_cast<long>(INT32_MAX)));
  // Types are known from the start so that reads check them whichever
  // columns were described.
  for (int i = 0; i < block->ncols; ++i) {
    long repeat = 0;
    FITS_ColumnParseType(block->tform[i], &block->datatype[i], &repeat, nullptr);
    block->nelem[i] = static_cast<int>(std::clamp(repeat, 0L, static_cast<long>(INT32_MAX)));
    block->scaled[i] = block->header != nullptr ? column_scaled(block, i + 1) : 0;
  }
  if (ncols != nullptr) *ncols = block->ncols;
  if (nrows != nullptr) *nrows = block->nrows;
  return 0;
}

int FITS_ImageOpen(void* kb) { return FITS_HeaderOpen(as_block(kb)); }

int FITS_ImageSpec(void* kb, int datatype, const long* dims, int ndim) {
  FITS_Block* block = as_block(kb);
  if (block == nullptr) return 0;
  block->bitpix = FITS_TypeToBitpix(datatype);
  block->naxis = std::clamp(ndim, 0, DM_MAX_DIMS);
  for (int i = 0; i < block->naxis; ++i) block->naxes[i] = dims != nullptr ? dims[i] : 0;
  return FITS_BlockInit(block);
}

int FITS_ColumnOpenNo(void* kb, int n, char* name, int* datatype, char* unit, char* desc,
                      int* nelem) {
  FITS_Block* block = as_block(kb);
  if (block == nullptr || !column_ok(block, n)) return 0;
  int i = n - 1;
  long repeat = 0;
  int type = DM_TYPE_NONE;
  FITS_ColumnParseType(block->tform[i], &type, &repeat, nullptr);
  block->datatype[i] = type;
  block->nelem[i] = static_cast<int>(std::clamp(repeat, 0L, static_cast<long>(INT32_MAX)));
  if (name != nullptr) FITS_CopyText(block->ttype[i], name, DM_NAME_LEN + 1);
  if (unit != nullptr) FITS_CopyText(block->tunit[i], unit, DM_NAME_LEN + 1);
  if (desc != nullptr) FITS_CopyText(" ", desc, DM_NAME_LEN + 1);
  if (datatype != nullptr) *datatype = type;
  if (nelem != nullptr) *nelem = block->nelem[i];
  return 0;
}

int FITS_ColumnCreate(void* kb, const char* name, int datatype, int size, const char* unit,
                      const char* /*desc: not kept in the file*/) {
  FITS_Block* block = as_block(kb);
  if (block == nullptr || block->ttype == nullptr) return 0;
  if (block->ncols >= block->maxcols) {
    tmsg("Too many columns for a FITS table");
    return 0;
  }
  int i = block->ncols++;
  char text[FITS_COL_NAME_LEN + 1];
  cs_copy_siz(name != nullptr ? name : " ", text, FITS_COL_NAME_LEN);
  FITS_CopyText(text, block->ttype[i], FITS_COL_TEXT);
  // A blank unit writes no TUNIT card.
  cs_copy_siz(unit != nullptr && !cs_is_blank(unit) ? unit : "", text, FITS_COL_NAME_LEN);
  FITS_CopyText(text, block->tunit[i], FITS_COL_TEXT);
  FITS_ColumnComposeType(datatype, 1, size, block->tform[i]);
  block->datatype[i] = datatype;
  block->nelem[i] = 1;
  return block->ncols;
}

int FITS_kBlockInit(void* kb) { return FITS_BlockInit(as_block(kb)); }

int FITS_BlockInit(FITS_Block* block) {
  if (block == nullptr || block->dataset == nullptr) return 0;
  FITS_SelectHDU(block);
  fitsfile* fptr = block->dataset->fptr;
  int status = 0;
  if (block->hdutype == FITS_HDU_IMAGE) {
    fits_write_imghdr(fptr, block->bitpix, block->naxis, block->naxes, &status);
    if (status != 0) FITS_Failed(status);
  } else if (block->hdutype == FITS_HDU_ASCII || block->hdutype == FITS_HDU_BINARY) {
    if (block->hdutype == FITS_HDU_ASCII) {
      // There is no ASCII-table writer; the columns and rows are kept by
      // writing the table as a binary table instead.
      tmsg("ASCII table output not supported: writing a binary table");
      block->hdutype = FITS_HDU_BINARY;
    }
    dmsg(1, "Write Table header");
    const char* extname = cs_is_blank(block->name) ? nullptr : block->name;
    fits_write_btblhdr(fptr, block->nrows, block->ncols, block->ttype, block->tform, block->tunit,
                       extname, block->heap, &status);
  }
  if (status != 0 && block->dataset->write_status == 0) block->dataset->write_status = status;
  dmsg(1, "Init flag cleared after flush");
  block->header_written = 1;
  return status;
}

// --- slots 14-15: keys -------------------------------------------------------

int FITS_NextKey(void* kb, int pos, char* name, int* datatype, char* unit, char* comment,
                 void** value) {
  FITS_Block* block = as_block(kb);
  if (block == nullptr || block->header == nullptr) return -1;
  for (int k = std::max(pos, 0); k < block->nkeys; ++k) {
    const FITS_Key& key = block->header[k];
    if (key.special != 0 || key.keytype == FITS_KEY_COMMENT) continue;
    if (name != nullptr) FITS_CopyText(key.name, name, DM_NAME_LEN + 1);
    if (datatype != nullptr) *datatype = FITS_KeyTypeToType(key.keytype);
    if (unit != nullptr) FITS_CopyText(" ", unit, DM_NAME_LEN + 1);
    if (comment != nullptr) FITS_CopyText(key.comment, comment, DM_NAME_LEN + 1);
    if (value != nullptr) *value = key.value;
    return k + 1;
  }
  return -1;
}

int FITS_GetSpecialKey_d(void* kb, const char* base, int n, double* values) {
  if (values == nullptr || n < 1) return 0;
  std::fill(values, values + n, 0.0);
  FITS_Block* block = as_block(kb);
  if (block == nullptr || block->header == nullptr || base == nullptr) return 0;
  int count = 0;
  for (int k = 0; k < block->nkeys; ++k) {
    const FITS_Key& key = block->header[k];
    if (key.special == 0 || key.index < 1 || key.index > n || !cs_uceq(key.base, base)) continue;
    double v = 0.0;
    if (key.keytype == FITS_KEY_REAL && key.value != nullptr)
      v = *static_cast<double*>(key.value);
    else if (key.keytype == FITS_KEY_INT && key.value != nullptr)
      v = *static_cast<int32_t*>(key.value);
    values[key.index - 1] = v;
    ++count;
  }
  return count;
}

// --- slots 16-18: column values ----------------------------------------------

int FITS_ColumnRead_d(void* kb, int col, int firstrow, int nrows, double* values, int nelem) {
  return read_reals<float>(as_block(kb), col, firstrow, nrows, values, nelem,
                           "type mismatch - not real*8 column");
}

int FITS_ColumnRead_r(void* kb, int col, int firstrow, int nrows, float* values, int nelem) {
  return read_reals<double>(as_block(kb), col, firstrow, nrows, values, nelem,
                            "type mismatch - not real*4 column");
}

int FITS_ColumnWrite_d(void* kb, int col, int firstrow, int nrows, const double* values,
                       int nelem) {
  FITS_Block* block = as_block(kb);
  if (block == nullptr || block->dataset == nullptr) return 0;
  if (!column_ok(block, col)) {
    bad_column("write to", col);
    return nrows;
  }
  if (block->datatype[col - 1] != DM_TYPE_D) {
    tmsg("type mismatch");
    return 0;
  }
  if (values == nullptr || nrows < 1 || nelem < 1) return 0;
  FITS_SelectHDU(block);
  int status = 0;
  // CFITSIO only reads from the array it is given.
  fits_write_col_dbl(block->dataset->fptr, col, firstrow, 1, static_cast<long long>(nrows) * nelem,
                     const_cast<double*>(values), &status);
  if (status != 0 && block->dataset->write_status == 0) block->dataset->write_status = status;
  return nrows;
}

// --- slots 19-22: keys written, rows, listing, options -----------------------

int FITS_KeyWrite_d(void* kb, const char* name, double value, const char* unit,
                    const char* comment) {
  FITS_Block* block = as_block(kb);
  if (block == nullptr || block->dataset == nullptr || name == nullptr) return 0;
  char card_comment[FITS_COMMENT_LEN + 1];
  const char* text = comment != nullptr ? comment : "";
  if (unit == nullptr || cs_is_blank(unit))
    FITS_CopyText(text, card_comment, sizeof card_comment);
  else
    std::snprintf(card_comment, sizeof card_comment, "[%s] %s", unit, text);
  FITS_SelectHDU(block);
  int status = 0;
  fits_write_key_dbl(block->dataset->fptr, name, value, dm_state.key_decimals, card_comment,
                     &status);
  if (status != 0 && block->dataset->write_status == 0) block->dataset->write_status = status;
  return 0;
}

int FITS_PutRow(void* kb, int row) {
  FITS_Block* block = as_block(kb);
  if (block == nullptr) return 0;
  if (block->nrows == 0 && block->header_written == 0) FITS_BlockInit(block);
  block->nrows = std::max(block->nrows, row);
  return block->nrows;
}

int FITS_BlockPrintKernel(void* kb) {
  FITS_Block* block = as_block(kb);
  if (block == nullptr) return 0;
  char line[UTIL_MSG_BUF + 200];
  std::snprintf(line, sizeof line, "HDU Number %d Type %d", block->hdu, block->hdutype);
  msg(line);
  std::snprintf(line, sizeof line, "Columns: %d Rows: %d", block->ncols, block->nrows);
  msg(line);
  std::snprintf(line, sizeof line, "Header: %d keys", block->nkeys);
  msg(line);
  for (int k = 0; k < block->nkeys && block->header != nullptr; ++k) {
    const FITS_Key& key = block->header[k];
    char value[FITS_COMMENT_LEN + 1];
    format_value(key, value, sizeof value);
    std::snprintf(line, sizeof line, "%-10s %-40s %s", key.name, value, key.comment);
    msg(line);
  }
  msg("Columns:");
  for (int i = 0; i < block->ncols && block->ttype != nullptr; ++i) {
    std::snprintf(line, sizeof line, "%-20s %-20s %-20s", block->ttype[i], block->tunit[i],
                  block->tform[i]);
    msg(line);
  }
  msg(" ");
  return 0;
}

int FITS_SetKernelOption(const char* option) {
  if (option == nullptr) return 0;
  if (cs_eq(option, "TABLE=BINTABLE"))
    FITS_SetTableType(FITS_HDU_BINARY);
  else if (cs_eq(option, "TABLE=ASCII"))
    FITS_SetTableType(FITS_HDU_ASCII);
  else if (cs_eq(option, "KEY=EXACT"))
    dm_state.key_decimals = 16;  // 17 significant digits: the value reads back unchanged
  else if (cs_eq(option, "KEY=SHORT"))
    dm_state.key_decimals = 8;
  return 0;
}

// --- slots 23-26: the primary header, cards written and read, the version ----

void* FITS_PrimaryOpen(void* kds) {
  FITS_Dataset* ds = static_cast<FITS_Dataset*>(kds);
  if (ds == nullptr) return nullptr;
  // A created file has its primary header once its first block exists; a file
  // opened for reading always has one (its headers passed the check at open).
  int nhdus = 0;
  int status = 0;
  fits_get_num_hdus(ds->fptr, &nhdus, &status);
  if (status != 0 || nhdus < 1) {
    fits_clear_errmsg();
    return nullptr;
  }
  FITS_Block* block = FITS_BlockAlloc(ds, FITS_HDU_IMAGE, 1, "R");
  if (block == nullptr) return nullptr;
  FITS_CopyText("PRIMARY", block->name, sizeof block->name);
  status = FITS_HeaderOpen(block);
  if (status != 0) {
    FITS_BlockFree(block);
    return nullptr;
  }
  return block;
}

int FITS_CardWrite(void* kb, int kind, const char* name, const char* text, long number,
                   const char* comment) {
  FITS_Block* block = as_block(kb);
  if (block == nullptr || block->dataset == nullptr) return 0;
  if (kind != DM_CARD_HISTORY && kind != DM_CARD_DATE && (name == nullptr || cs_is_blank(name)))
    return 0;
  // Keys follow the structural cards, so a table being written gets its
  // header first, as at its first row.
  if (block->header_written == 0) FITS_BlockInit(block);
  fitsfile* fptr = block->dataset->fptr;
  int status = FITS_SelectHDU(block);
  char card_comment[FITS_COMMENT_LEN + 1];
  FITS_CopyText(comment, card_comment, sizeof card_comment);
  const char* value = text != nullptr ? text : "";
  switch (kind) {
    case DM_CARD_STRING:
      // A value of more than one card continues on CONTINUE cards.
      if (std::strlen(value) > 68)
        fits_update_key_longstr(fptr, name, value, card_comment, &status);
      else
        fits_update_key_str(fptr, name, value, card_comment, &status);
      break;
    case DM_CARD_INT: fits_update_key_lng(fptr, name, number, card_comment, &status); break;
    case DM_CARD_HISTORY: fits_write_history(fptr, value, &status); break;
    case DM_CARD_DATE: fits_write_date(fptr, &status); break;
    default: return 0;
  }
  if (status != 0) {
    if (block->dataset->write_status == 0) block->dataset->write_status = status;
    FITS_Failed(status);
  }
  return status;
}

int FITS_HeaderCards(void* kb, char** text, int* ncards) {
  if (text != nullptr) *text = nullptr;
  if (ncards != nullptr) *ncards = 0;
  FITS_Block* block = as_block(kb);
  if (block == nullptr || block->dataset == nullptr || text == nullptr) return 0;
  int status = FITS_SelectHDU(block);
  char* cards = nullptr;
  int count = 0;
  if (status == 0) fits_hdr2str(block->dataset->fptr, 0, nullptr, 0, &cards, &count, &status);
  if (status != 0) {
    if (cards != nullptr) {
      int free_status = 0;
      fits_free_memory(cards, &free_status);
    }
    return FITS_Failed(status);
  }
  // CFITSIO ends the text with the END card, which is no card of the header.
  if (count > 0 && std::strncmp(cards + static_cast<size_t>(count - 1) * 80, "END     ", 8) == 0)
    --count;
  // CFITSIO's buffer is released here; the copy is the caller's (delete[]).
  const size_t bytes = static_cast<size_t>(count) * 80;
  *text = new (std::nothrow) char[bytes + 1];
  if (*text != nullptr) {
    std::memcpy(*text, cards, bytes);
    (*text)[bytes] = '\0';
    if (ncards != nullptr) *ncards = count;
  }
  int free_status = 0;
  fits_free_memory(cards, &free_status);
  return 0;
}

void FITS_Version(char* buf, int size) {
  if (buf == nullptr || size < 1) return;
  float version = 0.0f;
  fits_get_version(&version);
  std::snprintf(buf, static_cast<size_t>(size), "CFITSIO %g", static_cast<double>(version));
}
