// dm/src/dm_api.cpp -- the dm… operations: datasets, blocks, the "file[block]"
// shortcuts, columns, row-wise reading and writing, keys and coordinates,
// descriptor names, the type tables and the kernel queries. Records and block
// finding live in the inner layer (dm_objects.cpp); file access goes through
// the kernel slots only.
#include "dm_int.h"

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "util/util.h"

namespace {

constexpr const char* kDataTypeNames[] = {"s", "i",  "r",  "d",  "c", "br",
                                          "q", "ub", "us", "ul", " "};
constexpr int kNumDataTypeNames =
    static_cast<int>(sizeof(kDataTypeNames) / sizeof(kDataTypeNames[0]));

// Descriptor and type-name output buffers hold at least 8 bytes; the names
// written into them are shorter.
void putText(char* buf, const char* text) {
  if (buf) std::snprintf(buf, 8, "%s", text);
}

// Copies at most n characters of a descriptor field, or " " for no descriptor.
void putField(const char* field, char* buf, int n) {
  if (!buf) return;
  cs_copy_siz(field ? field : " ", buf, n);
}

// The block's kernel, or null when it has no kernel block any more.
dmKernel* liveKernel(const dmBlock* block) {
  if (!block || !block->kernel_block) return nullptr;
  return block->dataset->kernel;
}

// The block a value operation works on: only columns with a live block qualify.
// Writes "Unsupported" (or the given text) for a descriptor of another kind.
dmBlock* columnBlock(dmDescriptor* col, const char* unsupported) {
  if (!col) return nullptr;
  if (col->kind != DM_KIND_COLUMN) {
    tmsg(unsupported);
    return nullptr;
  }
  if (!liveKernel(col->block)) return nullptr;
  return col->block;
}

// Notes a failed column read on the column's block. The first failure is
// reported with the file, the column and the kernel's reason; later ones only
// keep the block marked, so that a damaged table gives one message.
void readFailed(dmDescriptor* col) {
  dmBlock* block = col->block;
  if (block->read_error != DM_ERROR_NONE) return;
  block->read_error = dmiErrorGet() != DM_ERROR_NONE ? dmiErrorGet() : DM_ERROR_FAILED;
  char reason[DM_ERROR_TEXT_LEN + 1];
  dmErrorGetText(reason, sizeof reason);
  std::string line = std::string("Failed to read column ") + col->name + " of " +
                     block->dataset->name + ": " + reason;
  tmsg(line.c_str());
}

dmDescriptor* findKey(dmBlock* block, const char* name) {
  if (!block || !block->keys || !name || cs_is_blank(name)) return nullptr;
  for (int i = 0; i < block->nkeys; i++) {
    if (block->keys[i] && cs_uceq(block->keys[i]->name, name)) return block->keys[i];
  }
  return nullptr;
}

// Opens "file[block]" for reading; the dataset is closed again when the block
// cannot be opened, since the caller has no handle to close it with.
dmBlock* openSpec(const char* spec) {
  if (!spec) return nullptr;
  char dsname[DM_SPEC_DATASET_BUF];
  char blockname[DM_SPEC_BLOCK_BUF];
  dmiSyntaxParse(spec, dsname, blockname);
  dmsg1(1, "Dataset: ", dsname);
  dmsg1(1, "Block:", blockname);
  dmDataset* ds = dmDatasetOpen(dsname);
  if (!ds) return nullptr;
  dmBlock* block = dmBlockOpen(ds, blockname);
  if (!block) {
    // A block that was found but could not be read has its own reason already.
    if (!dmiDatasetGetBlock(ds, blockname)) {
      const std::string reason = std::string("the file has no block ") + blockname;
      dmiErrorReport(dmiErrorGet(), reason.c_str());
    }
    dmDatasetClose(ds);
  }
  return block;
}

// Creates "file[block]" with a block of the given type; as openSpec, a dataset
// whose block could not be made is closed.
dmBlock* createSpec(const char* spec, int blocktype) {
  if (!spec) return nullptr;
  char dsname[DM_SPEC_DATASET_BUF];
  char blockname[DM_SPEC_BLOCK_BUF];
  dmiSyntaxParse(spec, dsname, blockname);
  dmsg1(1, "Dataset: ", dsname);
  dmsg1(1, "Block:", blockname);
  dmDataset* ds = dmDatasetCreate(dsname);
  if (!ds) return nullptr;
  dmsg1(1, "Dataset create OK", dsname);
  dmBlock* block = dmBlockCreate(ds, blockname, blocktype);
  if (!block) dmDatasetClose(ds);
  return block;
}

}  // namespace

// --- library start ---------------------------------------------------------

int dmInit(int arg) {
  dmiInit();
  return arg;
}

// --- datasets --------------------------------------------------------------

dmDataset* dmDatasetOpen(const char* name) {
  if (!name || cs_is_blank(name)) return nullptr;
  for (int n = 1; n <= dmiKernelCount(); n++) {
    dmKernel* k = dmiKernelNo(n);
    dmiTrace(1, "Attempt kernel open");
    void* kds = k->DatasetOpen(name);
    if (!kds) continue;
    dmDataset* ds = dmiDatasetAlloc(name, k, kds, "R");
    if (ds) dmiTrace(1, "Opened dataset %s", name);
    if (!ds) {
      // The file is open but cannot be recorded: close it rather than leak it.
      k->DatasetClose(kds);
      dmiErrorSet(DM_ERROR_FAILED);
    }
    return ds;
  }
  dmsg1(1, "Failed to open ", name);
  dmiErrorSet(DM_ERROR_OPEN_FAILED);
  return nullptr;
}

dmDataset* dmDatasetCreate(const char* name) {
  if (!name || cs_is_blank(name)) return nullptr;
  // Creating replaces an existing file: refuse before the kernel deletes it
  // when no dataset slot is left to record the new one.
  if (context && context->count >= DM_MAX_DATASETS) {
    dmiErrorSet(DM_ERROR_TOO_MANY_DATASETS);
    return nullptr;
  }
  dmKernel* k = CreateKernel ? CreateKernel : dmiKernelNo(1);
  void* kds = k->DatasetCreate(name);
  if (!kds) return nullptr;
  dmDataset* ds = dmiDatasetAlloc(name, k, kds, "W");
  if (!ds) {
    const int code = dmiErrorGet();
    k->DatasetClose(kds);
    dmiErrorSet(code);
  }
  return ds;
}

int dmDatasetClose(dmDataset* ds) {
  if (!ds) return 0;
  for (int i = 0; i < ds->nblocks; i++) dmBlockClose(ds->blocks[i]);
  if (ds->primary) {
    dmBlockClose(ds->primary);
    dmiBlockFree(ds->primary);
    ds->primary = nullptr;
  }
  const int status = ds->kernel->DatasetClose(ds->kernel_dataset);
  ds->kernel_dataset = nullptr;
  dmiDatasetFree(ds);
  return status;
}

int dmDatasetGetNoBlocks(dmDataset* ds) {
  if (!ds) return 0;
  if (!ds->scanned) dmiDatasetScan(ds, 0);
  return ds->nblocks;
}

void dmDatasetGetNameC(dmDataset* ds, char* buf, int size) {
  if (!buf || size < 1) return;
  std::snprintf(buf, static_cast<size_t>(size), "%s", ds ? ds->name : " ");
}

dmBlock* dmDatasetGetPrimary(dmDataset* ds) {
  if (!ds) return nullptr;
  if (ds->primary) return ds->primary->kernel_block ? ds->primary : nullptr;
  void* kb = ds->kernel->PrimaryOpen(ds->kernel_dataset);
  if (!kb) return nullptr;
  dmBlock* block = new (std::nothrow) dmBlock();
  if (!block || dmiBlockStructAlloc(block) != 0) {
    delete block;
    ds->kernel->BlockClose(kb);
    return nullptr;
  }
  block->kernel_block = kb;
  block->dataset = ds;
  block->number = 0;
  block->type = DM_BLOCK_IMAGE;
  std::snprintf(block->name, sizeof block->name, "%s", "PRIMARY");
  // Its keys as the file holds them; a created file's are written, not read.
  if (!ds->writable) dmiHeaderOpen(block);
  ds->primary = block;
  return block;
}

int dmDatasetGetCurrentBlockNo(dmDataset* ds) { return ds ? ds->current : 0; }

dmBlock* dmDatasetMoveToBlock(dmDataset* ds, int n) {
  if (!ds) return nullptr;
  if (n < 1) {
    dmiErrorSet(DM_ERROR_BAD_BLOCK_NUMBER);
    return nullptr;
  }
  if (dmiDatasetScan(ds, n) == 0) return nullptr;
  dmBlock* block = ds->blocks[n - 1];
  // A closed block has released its kernel block and is not reopened.
  if (!block->kernel_block) return nullptr;
  ds->current = n;
  dmiTrace(1, "Move to block %ld\n", static_cast<long>(n));
  ds->kernel->MoveToBlock(block->kernel_block);
  if (dmiBlockOpen(block)) return nullptr;
  return block;
}

dmBlock* dmDatasetNextBlock(dmDataset* ds) {
  return ds ? dmDatasetMoveToBlock(ds, ds->current + 1) : nullptr;
}

dmBlock* dmDatasetAdvanceBlocks(dmDataset* ds, int k) {
  if (!ds) return nullptr;
  long long n = static_cast<long long>(ds->current) + k;
  if (n > INT_MAX) n = INT_MAX;
  if (n < INT_MIN) n = INT_MIN;
  return dmDatasetMoveToBlock(ds, static_cast<int>(n));
}

void dmDatasetGetBlockTypeName(dmDataset* ds, int n, char* buf) {
  if (!buf) return;
  if (!ds || n < 1 || dmiDatasetScan(ds, n) == 0) {
    putText(buf, " ");
    return;
  }
  dmKTBBlockTypeName(ds->blocks[n - 1]->type, buf);
}

// --- blocks ----------------------------------------------------------------

dmBlock* dmBlockOpen(dmDataset* ds, const char* name) {
  const char* want = name ? name : "";
  dmsg1(1, "BlockOpen: ", want);
  dmBlock* block = dmiBlockFind(ds, want);
  if (!block) return nullptr;
  if (dmiBlockOpen(block)) return nullptr;
  return block;
}

int dmBlockClose(dmBlock* block) {
  if (!block) return 0;
  dmDataset* ds = block->dataset;
  dmiTrace(1, "Close block No = %d Kernel=%ld\n", block->number, dmiAddr(block->kernel_block));
  dmStatus(ds);
  if (block->kernel_block) {
    ds->kernel->BlockClose(block->kernel_block);
    block->kernel_block = nullptr;
  }
  dmiTrace(1, "DMI Block struct close");
  dmiBlockStructFree(block);
  return dmiErrorGet();
}

dmBlock* dmBlockCreate(dmDataset* ds, const char* name, int blocktype) {
  if (!ds || !ds->writable) return nullptr;
  const char* bname = name ? name : " ";
  dmsg1(1, "Block create ", bname);
  void* kb = ds->kernel->BlockCreate(ds->kernel_dataset, bname, blocktype);
  if (!kb) return nullptr;
  dmsg1(1, "Block alloc ", bname);
  dmBlock* block = dmiBlockAlloc(ds, kb, bname, blocktype);
  if (!block) {
    ds->kernel->BlockClose(kb);
    return nullptr;
  }
  dmsg1(1, "Alloc OK ", bname);
  if (dmiBlockCreate(block)) return nullptr;
  return block;
}

dmBlock* dmBlockCreateC(dmDataset* ds, const char* name, const char* type_name) {
  return dmBlockCreate(ds, name, dmKTBBlockType(type_name));
}

int dmBlockGetNo(dmBlock* block) { return block ? block->number : 0; }

dmDataset* dmBlockGetDataset(dmBlock* block) { return block ? block->dataset : nullptr; }

void dmBlockGetNameC(dmBlock* block, char* buf, int size) {
  if (!buf) return;
  if (size < 1) {
    buf[0] = '\0';
    return;
  }
  cs_copy_siz(block ? block->name : " ", buf, size);
}

int dmBlockGetTypeName(dmBlock* block, char* buf) {
  if (!block) {
    putText(buf, " ");
    return 4;
  }
  dmKTBBlockTypeName(block->type, buf);
  return 0;
}

int dmBlockPrint(dmBlock* block, const char* what) {
  if (!block || !what) return 0;
  if (std::strstr(what, "HEADER")) dmiBlockPrintHeader(block);
  if (std::strstr(what, "COLNAMES")) dmiBlockPrintTable(block);
  return 0;
}

int dmBlockGetReadError(dmBlock* block) { return block ? block->read_error : DM_ERROR_NONE; }

int dmBlockPrintKernel(dmBlock* block) {
  dmKernel* k = liveKernel(block);
  return k ? k->BlockPrintKernel(block->kernel_block) : 0;
}

// --- table and image shortcuts ------------------------------------------------

dmBlock* dmDatasetTableOpen(const char* spec) { return openSpec(spec); }

int dmDatasetTableClose(dmBlock* block) {
  if (!block) return 0;
  dmDatasetClose(block->dataset);
  return dmiErrorGet();
}

dmBlock* dmImageOpen(const char* spec) { return openSpec(spec); }

int dmImageClose(dmBlock* block) { return dmDatasetTableClose(block); }

dmBlock* dmDatasetTableCreate(const char* spec) { return createSpec(spec, DM_BLOCK_TABLE); }

dmBlock* dmImageCreate(const char* spec, int datatype, const long* dims, int ndim) {
  dmBlock* block = createSpec(spec, DM_BLOCK_IMAGE);
  if (!block) return nullptr;
  if (dmiImageSpec(block, datatype, dims, ndim)) {
    dmDatasetClose(block->dataset);
    return nullptr;
  }
  return block;
}

dmBlock* dmImageCreateC(const char* spec, const char* type_name, const long* dims, int ndim) {
  return dmImageCreate(spec, dmKTBDataType(type_name), dims, ndim);
}

// --- columns ---------------------------------------------------------------

int dmTableGetNoRows(dmBlock* block) { return block ? block->nrows : 0; }

dmDescriptor* dmTableOpenColumn(dmBlock* block, const char* name) {
  if (!block || !block->cols || !name) return nullptr;
  for (int i = 0; i < block->ncols; i++) {
    if (block->cols[i] && cs_uceq(block->cols[i]->name, name)) return block->cols[i];
  }
  return nullptr;
}

dmDescriptor* dmTableOpenColumnNo(dmBlock* block, int n) {
  if (!block || !block->cols || n < 1 || n > block->ncols) return nullptr;
  return block->cols[n - 1];
}

int dmGetArrDim(dmDescriptor* desc) { return desc ? desc->ndims : 0; }

int dmGetArrLen(dmDescriptor* desc) {
  if (!desc) return 0;
  long long n = 1;
  for (int i = 0; i < desc->ndims && i < DM_MAX_DIMS; i++) {
    n *= desc->dims[i] > 0 ? desc->dims[i] : 0;
    if (n > INT_MAX) return INT_MAX;
  }
  return static_cast<int>(n);
}

dmDescriptor* dmColumnCreate(dmBlock* block, const char* name, int datatype, int size,
                             const char* unit, const char* description) {
  dmKernel* k = liveKernel(block);
  if (!k || !block->cols || !block->dataset->writable) return nullptr;
  if (block->nrows > 0 || block->row > 0) {
    tmsg("Cannot create columns after rows have been written");
    return nullptr;
  }
  if (block->ncols >= DM_MAX_DESCRIPTORS) return nullptr;
  const char* cname = name ? name : " ";
  const char* cunit = unit ? unit : " ";
  const char* cdesc = description ? description : " ";
  const int kcol = k->ColumnCreate(block->kernel_block, cname, datatype, size, cunit, cdesc);
  if (kcol <= 0) return nullptr;
  dmDescriptor* col = dmiDescriptorAlloc(block, cname, datatype, DM_KIND_COLUMN, block->ncols + 1);
  if (!col) return nullptr;
  col->kernel_index = kcol;
  cs_copy_siz(cunit, col->unit, DM_NAME_LEN);
  cs_copy_siz(cdesc, col->desc, DM_NAME_LEN);
  if (datatype == DM_TYPE_C && size > 1) {
    col->ndims = 1;
    col->dims[0] = size;
  }
  block->cols[block->ncols++] = col;
  return col;
}

// --- reading values ----------------------------------------------------------
// A scalar read asks the kernel for one element of the current row: for a
// vector column that is the cell's first element, read without a cell buffer.

double dmGetScalar_d(dmDescriptor* col) {
  dmBlock* block = columnBlock(col, "Unsupported");
  if (!block) return 0.0;
  double value = 0.0;
  if (block->dataset->kernel->ColumnRead_d(block->kernel_block, col->kernel_index, block->row, 1,
                                           &value, 1) < 0) {
    readFailed(col);
  }
  return value;
}

float dmGetScalar_r(dmDescriptor* col) {
  dmBlock* block = columnBlock(col, "Unsupported");
  if (!block) return 0.0F;
  float value = 0.0F;
  if (block->dataset->kernel->ColumnRead_r(block->kernel_block, col->kernel_index, block->row, 1,
                                           &value, 1) < 0) {
    readFailed(col);
  }
  return value;
}

int dmGetScalars_d(dmDescriptor* col, double* values, int firstrow, int nrows) {
  dmBlock* block = columnBlock(col, "Unsupported");
  if (!block || !values || firstrow < 1 || nrows < 1 || firstrow > INT_MAX - nrows) return 0;
  // A table read from a file holds a known number of rows; rows past its end
  // are not reported as read.
  if (!block->dataset->writable) {
    if (firstrow > block->nrows) return 0;
    if (nrows > block->nrows - firstrow + 1) nrows = block->nrows - firstrow + 1;
  }
  dmKernel* k = block->dataset->kernel;
  for (int i = 0; i < nrows; i++) values[i] = 0.0;
  int got = 0;
  if (col->ndims > 0 && col->dims[0] > 1) {
    // The kernel reads elements consecutively across rows; for a vector column
    // each row's first element is fetched on its own.
    while (got < nrows) {
      const int r = k->ColumnRead_d(block->kernel_block, col->kernel_index, firstrow + got, 1,
                                    values + got, 1);
      if (r < 0) readFailed(col);
      if (r != 1) break;
      got++;
    }
  } else {
    got = k->ColumnRead_d(block->kernel_block, col->kernel_index, firstrow, nrows, values, 1);
    if (got < 0) {
      readFailed(col);
      got = 0;
    }
  }
  block->row = firstrow + got - 1;
  return got;
}

dmDescriptor* dmGetStaticArray_d(dmDescriptor* col, double* values, int n) {
  if (!col) return nullptr;
  dmBlock* block = columnBlock(col, "Unsupported 2");
  if (!block || block->type != DM_BLOCK_TABLE || !values || n < 1) return col;
  if (block->dataset->kernel->ColumnRead_d(block->kernel_block, col->kernel_index, block->row, 1,
                                           values, n) < 0) {
    readFailed(col);
  }
  return col;
}

int dmTableNextRow(dmBlock* block) {
  if (!block || block->type != DM_BLOCK_TABLE) return -1;
  if (block->row >= block->nrows) return -1;
  return ++block->row;
}

// --- writing values --------------------------------------------------------

// The second argument is kept in the signature because callers pass it (as 0);
// a row is always added at the end.
int dmTablePutRow(dmBlock* block, int /*unused*/) {
  dmKernel* k = liveKernel(block);
  if (!k || block->type != DM_BLOCK_TABLE) return -1;
  block->row++;
  k->PutRow(block->kernel_block, block->row);
  return block->row;
}

int dmSetScalar_d(dmDescriptor* col, double value) {
  dmBlock* block = columnBlock(col, "Unsupported");
  if (!block) return 0;
  block->dataset->kernel->ColumnWrite_d(block->kernel_block, col->kernel_index, block->row, 1,
                                        &value, 1);
  return 0;
}

namespace {

// One card through the kernel into the block's header.
int writeCard(dmBlock* block, int kind, const char* name, const char* text, long number,
              const char* comment) {
  if (!block || !block->kernel_block) return 0;
  return block->dataset->kernel->CardWrite(block->kernel_block, kind, name, text, number,
                                           comment ? comment : "");
}

}  // namespace

int dmKeyWrite_c(dmBlock* block, const char* name, const char* value, const char* comment) {
  if (!name || cs_is_blank(name)) return 0;
  return writeCard(block, DM_CARD_STRING, name, value ? value : "", 0, comment);
}

int dmKeyWrite_l(dmBlock* block, const char* name, long value, const char* comment) {
  if (!name || cs_is_blank(name)) return 0;
  return writeCard(block, DM_CARD_INT, name, nullptr, value, comment);
}

int dmHistoryWrite(dmBlock* block, const char* text) {
  return writeCard(block, DM_CARD_HISTORY, nullptr, text ? text : "", 0, nullptr);
}

int dmKeyWriteDate(dmBlock* block) {
  return writeCard(block, DM_CARD_DATE, nullptr, nullptr, 0, nullptr);
}

dmDescriptor* dmKeyWrite_d(dmBlock* block, const char* name, double value, const char* unit,
                           const char* comment) {
  dmKernel* k = liveKernel(block);
  if (!k || !name || cs_is_blank(name)) return nullptr;
  const char* kunit = unit ? unit : " ";
  const char* kcomment = comment ? comment : " ";
  k->KeyWrite_d(block->kernel_block, name, value, kunit, kcomment);
  dmDescriptor* key = dmiDescriptorAlloc(block, name, DM_TYPE_D, DM_KIND_KEY, 0);
  if (!key) return nullptr;
  cs_copy_siz(kunit, key->unit, DM_NAME_LEN);
  cs_copy_siz(kcomment, key->desc, DM_NAME_LEN);
  key->caller_owned = true;
  return key;
}

void dmDescriptorFree(dmDescriptor* desc) {
  // Descriptors held in a block's lists are released with the block.
  if (!desc || !desc->caller_owned) return;
  dmiDescriptorFree(desc);
}

// --- header keys and coordinates ---------------------------------------------

dmDescriptor* dmKeyRead_d(dmBlock* block, const char* name, double* value) {
  dmDescriptor* key = findKey(block, name);
  if (!key) return nullptr;
  if (key->datatype == DM_TYPE_D) {
    if (value && key->value) *value = *static_cast<const double*>(key->value);
  } else {
    tmsg("Bad key datatype");
  }
  // The key is returned even when its type did not fit: it exists, and callers
  // test the result for presence; the message says the value was not taken.
  return key;
}

dmDescriptor* dmKeyRead_l(dmBlock* block, const char* name, int* value) {
  dmDescriptor* key = findKey(block, name);
  if (!key) return nullptr;
  if (key->datatype == DM_TYPE_I) {
    if (value && key->value) *value = *static_cast<const int32_t*>(key->value);
  } else {
    tmsg("Bad key datatype");
  }
  return key;
}

dmDescriptor* dmKeyRead_c(dmBlock* block, const char* name, char* value, int size) {
  dmDescriptor* key = findKey(block, name);
  if (!key) return nullptr;
  if (key->datatype == DM_TYPE_C) {
    // The store hands out the address of the slot holding the string's address.
    const char* text = key->value ? *static_cast<const char* const*>(key->value) : nullptr;
    if (value && size > 0) std::snprintf(value, static_cast<size_t>(size), "%s", text ? text : "");
  } else {
    tmsg("Bad key datatype");
  }
  return key;
}

char* dmBlockGetCards(dmBlock* block, int* ncards) {
  if (ncards) *ncards = 0;
  if (!block || !block->kernel_block) return nullptr;
  char* text = nullptr;
  int count = 0;
  if (block->dataset->kernel->HeaderCards(block->kernel_block, &text, &count) != 0) return nullptr;
  if (ncards) *ncards = count;
  return text;
}

void dmFreeCards(char* cards) { delete[] cards; }

dmDescriptor* dmDescriptorGetCoord(dmDescriptor* col) { return col ? col->coord : nullptr; }

int dmCoordGetTransform_d(dmDescriptor* coord, double* refpix, double* refval, double* delta,
                          int naxes) {
  // A column's coordinate holds one axis; a two-axis request has no transform
  // of that shape here, and callers that ask for one keep their own values.
  if (naxes == 2) return 0;
  double t[3] = {0.0, 0.0, 0.0};
  if (coord && coord->kind == DM_KIND_COORD && coord->transform) {
    dmiTrace(1, "Found coord");
    t[0] = coord->transform[0];
    t[1] = coord->transform[1];
    t[2] = coord->transform[2];
  }
  if (refpix) *refpix = t[0];
  if (refval) *refval = t[1];
  if (delta) *delta = t[2];
  return 0;
}

// --- names of descriptors ------------------------------------------------------

void dmGetNameC(dmDescriptor* desc, char* buf) { putField(desc ? desc->name : nullptr, buf, 31); }

void dmGetUnitC(dmDescriptor* desc, char* buf) { putField(desc ? desc->unit : nullptr, buf, 31); }

void dmGetDescC(dmDescriptor* desc, char* buf) {
  putField(desc ? desc->desc : nullptr, buf, DM_NAME_LEN);
}

void dmGetDataTypeNameC(dmDescriptor* desc, char* buf) {
  if (!desc) {
    putText(buf, " ");
    return;
  }
  dmKTBDataTypeName(desc->datatype, buf);
}

// --- type tables -----------------------------------------------------------

int dmKTBBlockType(const char* name) {
  if (!name) return DM_BLOCK_OTHER;
  if (cs_eq(name, "TABLE")) return DM_BLOCK_TABLE;
  if (cs_eq(name, "IMAGE")) return DM_BLOCK_IMAGE;
  return DM_BLOCK_OTHER;
}

void dmKTBBlockTypeName(int code, char* buf) {
  switch (code) {
    case DM_BLOCK_TABLE: putText(buf, "TABLE"); break;
    case DM_BLOCK_IMAGE: putText(buf, "IMAGE"); break;
    default: putText(buf, " "); break;
  }
}

int dmKTBDataType(const char* name) {
  if (!name) return DM_TYPE_NONE;
  if (cs_eq(name, "l")) return DM_TYPE_I;
  if (cs_eq(name, "f")) return DM_TYPE_R;
  for (int i = 0; i < kNumDataTypeNames; i++) {
    if (cs_eq(name, kDataTypeNames[i])) return i;
  }
  return DM_TYPE_NONE;
}

void dmKTBDataTypeName(int code, char* buf) {
  putText(buf, code >= 0 && code < kNumDataTypeNames ? kDataTypeNames[code] : " ");
}

// --- kernels ---------------------------------------------------------------

void dmGetKernelVersion(char* buf, int size) {
  if (!buf || size < 1) return;
  dmKernel* k = CreateKernel ? CreateKernel : dmiKernelNo(1);
  k->Version(buf, size);
}

int dmGetNoKernels(void) { return dmiKernelCount(); }

dmKernel* dmGetKernelNo(int n) { return dmiKernelNo(n); }

dmKernel* dmKernelGet(const char* name) {
  if (!name) return nullptr;
  for (int n = 1; n <= dmiKernelCount(); n++) {
    dmKernel* k = dmiKernelNo(n);
    if (cs_eq(k->name, name)) return k;
  }
  return nullptr;
}

void dmKernelList(void) {
  for (int n = 1; n <= dmiKernelCount(); n++) msg(dmiKernelNo(n)->name);
}

int dmSetKernelOption(const char* option) {
  if (!option) return 0;
  int status = 0;
  for (int n = 1; n <= dmiKernelCount(); n++) {
    const int s = dmiKernelNo(n)->SetKernelOption(option);
    if (s != 0) status = s;
  }
  return status;
}
