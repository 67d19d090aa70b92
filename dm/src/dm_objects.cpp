// dm/src/dm_objects.cpp -- the data model's inner layer: library state, the
// kernel list, dataset specifications, dataset/block/descriptor records with
// their allocation trace, lazy block finding, filling a block's descriptors
// from its kernel, and the status and block listings.
#include "dm_int.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "util/util.h"

namespace {

// The kernels asked, in order, to open a dataset.
dmKernel* const kKernels[] = {&FITS};
constexpr int kNumKernels = static_cast<int>(sizeof(kKernels) / sizeof(kKernels[0]));

// Bounded copy of src into a buffer of DM_NAME_LEN + 1 bytes.
void copyName(const char* src, char* dst) { cs_copy_siz(src ? src : "", dst, DM_NAME_LEN); }

// Asks the kernel for the dataset's next block and records it. Null at the end
// of the file (the dataset is then scanned) or when no record could be made.
dmBlock* scanNext(dmDataset* ds) {
  char name[DM_NAME_LEN + 1] = " ";
  int type = DM_BLOCK_OTHER;
  void* kb = ds->kernel->BlockOpenNext(ds->kernel_dataset, name, &type);
  name[DM_NAME_LEN] = '\0';
  if (!kb) {
    ds->scanned = 1;
    return nullptr;
  }
  dmBlock* block = dmiBlockAlloc(ds, kb, name, type);
  if (!block && ds->nblocks >= DM_MAX_BLOCKS) {
    const std::string line = std::string("File ") + ds->name + " holds more than " +
                             std::to_string(DM_MAX_BLOCKS) + " blocks; the rest are not read";
    tmsg(line.c_str());
  }
  if (!block) {
    // A block that cannot be recorded is out of reach: release it and stop
    // scanning so that later blocks are not numbered wrongly.
    ds->kernel->BlockClose(kb);
    ds->scanned = 1;
    return nullptr;
  }
  return block;
}

}  // namespace

// Constant-initialised, so that it is ready before any other file's start-up code runs.
constinit DmState dm_state;
Context*& context = dm_state.context;
dmKernel*& CreateKernel = dm_state.create_kernel;

void dmiTrace(long level, const char* fmt, ...) {
  if (!dbg_level(level)) return;
  char buf[512];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  dmsg(level, buf);
}

long dmiAddr(const void* p) { return static_cast<long>(reinterpret_cast<std::uintptr_t>(p)); }

// --- library state -------------------------------------------------------------

void dmiInit(void) {
  dm_state = DmState{};
  dm_state.context = &dm_state.slots;  // not the slots of the record copied from
}

void dmiFree(void) { context = nullptr; }

int dmiKernelCount(void) { return kNumKernels; }

dmKernel* dmiKernelNo(int n) {
  if (n < 1 || n > kNumKernels) return nullptr;
  return kKernels[n - 1];
}

// --- specifications ------------------------------------------------------------

// The block part is always a name, never a number: "[2]" looks for a block
// named 2, so a block whose name is made of digits is still found by it.
void dmiSyntaxParse(const char* spec, char* dsname, char* blockname) {
  if (!dsname || !blockname) return;
  const char* s = spec ? spec : "";
  const char* open = std::strchr(s, '[');
  if (!open) {
    cs_copy_siz(s, dsname, DM_SPEC_DATASET_BUF - 1);
    cs_copy_siz(" ", blockname, DM_SPEC_BLOCK_BUF - 1);
    return;
  }
  const int p = static_cast<int>(open - s);  // characters before "["
  const int dslen = p < DM_SPEC_DATASET_BUF - 1 ? p : DM_SPEC_DATASET_BUF - 1;
  std::memcpy(dsname, s, static_cast<size_t>(dslen));
  dsname[dslen] = '\0';

  // The first "]" anywhere ends the block name; one at or before the "[" gives
  // an empty name, and none takes everything after the "[".
  const char* close = std::strchr(s, ']');
  const char* begin = open + 1;
  int len = 0;
  if (close) {
    len = close > begin ? static_cast<int>(close - begin) : 0;
  } else {
    len = static_cast<int>(std::strlen(begin));
  }
  if (len > DM_SPEC_BLOCK_BUF - 1) len = DM_SPEC_BLOCK_BUF - 1;
  std::memcpy(blockname, begin, static_cast<size_t>(len));
  blockname[len] = '\0';
}

// --- records -------------------------------------------------------------------

dmDataset* dmiDatasetAlloc(const char* name, dmKernel* kernel, void* kds, const char* mode) {
  dmiTrace(1, "dmiDatasetAlloc");
  if (!kds) return nullptr;
  if (!context) dmiInit();
  if (context->count >= DM_MAX_DATASETS) {
    dmiErrorSet(DM_ERROR_TOO_MANY_DATASETS);
    return nullptr;
  }
  auto* ds = new (std::nothrow) dmDataset;
  if (!ds) return nullptr;
  ds->blocks = new (std::nothrow) dmBlock*[DM_MAX_BLOCKS]();
  if (!ds->blocks) {
    delete ds;
    return nullptr;
  }
  // Slots are handed out in increasing order and not reused, so a slot number
  // names one dataset for the whole run, even after it is closed.
  context->count++;
  ds->slot = context->count;
  context->datasets[ds->slot - 1] = ds;
  cs_copy_siz(name ? name : "", ds->name, DM_FILENAME_LEN);
  ds->kernel = kernel;
  ds->kernel_dataset = kds;
  ds->writable = (mode && mode[0] == 'W') ? 1 : 0;
  // A created file holds only the blocks made through this dataset; asking the
  // kernel for further HDUs would move the file away from a header still being
  // written.
  ds->scanned = ds->writable;
  dmiTrace(1, "*** ALLOC %12ld dmDataset ***", dmiAddr(ds));
  return ds;
}

void dmiDatasetFree(dmDataset* ds) {
  if (!ds) return;
  dmiTrace(1, "Dataset Free");
  if (context && ds->slot >= 1 && ds->slot <= DM_MAX_DATASETS &&
      context->datasets[ds->slot - 1] == ds) {
    context->datasets[ds->slot - 1] = nullptr;
  }
  for (int i = 0; i < ds->nblocks; i++) dmiBlockFree(ds->blocks[i]);
  delete[] ds->blocks;
  dmiTrace(1, "*** FREE  %12ld dmDataset ***", dmiAddr(ds));
  delete ds;
  dmiTrace(1, "Dataset Free OK");
}

dmBlock* dmiBlockAlloc(dmDataset* ds, void* kb, const char* name, int blocktype) {
  dmiTrace(1, "dmiBlockAlloc");
  if (!ds) return nullptr;
  if (ds->nblocks >= DM_MAX_BLOCKS) {
    dmiErrorSet(DM_ERROR_TOO_MANY_BLOCKS);
    return nullptr;
  }
  auto* block = new (std::nothrow) dmBlock;
  if (!block) return nullptr;
  ds->nblocks++;
  block->number = ds->nblocks;
  ds->blocks[block->number - 1] = block;
  block->dataset = ds;
  copyName(name, block->name);
  block->type = blocktype;
  block->kernel_block = kb;
  dmiTrace(2, "*** ALLOC %12ld dmBlock %s", dmiAddr(block), block->name);
  return block;
}

void dmiBlockFree(dmBlock* block) {
  if (!block) return;
  dmiBlockStructFree(block);
  dmiTrace(2, "*** FREE  %12ld dmBlock ***", dmiAddr(block));
  delete block;
}

int dmiBlockStructAlloc(dmBlock* block) {
  if (!block) return 1;
  block->keys = new (std::nothrow) dmDescriptor*[DM_MAX_DESCRIPTORS]();
  block->cols = new (std::nothrow) dmDescriptor*[DM_MAX_DESCRIPTORS]();
  block->dss = new (std::nothrow) dmDescriptor*[DM_MAX_DESCRIPTORS]();
  if (!block->keys || !block->cols || !block->dss) {
    delete[] block->keys;
    delete[] block->cols;
    delete[] block->dss;
    block->keys = block->cols = block->dss = nullptr;
    dmiErrorSet(DM_ERROR_FAILED);
    return 1;
  }
  block->nkeys = block->ncols = block->ndss = 0;
  dmiTrace(2, "*** ALLOC %12ld dmDescriptors ***", dmiAddr(block->keys));
  return 0;
}

void dmiBlockStructFree(dmBlock* block) {
  if (!block || !block->keys) return;
  dmiTrace(3, "Free keys %d", block->nkeys);
  for (int i = 0; i < block->nkeys; i++) dmiDescriptorFree(block->keys[i]);
  dmiTrace(3, "Free cols");
  for (int i = 0; i < block->ncols; i++) dmiDescriptorFree(block->cols[i]);
  dmiTrace(3, "Free dss");
  for (int i = 0; i < block->ndss; i++) dmiDescriptorFree(block->dss[i]);
  dmiTrace(3, "Free descriptor arrays");
  dmiTrace(2, "*** FREE  %12ld dmDescriptors ***", dmiAddr(block->keys));
  delete[] block->keys;
  delete[] block->cols;
  delete[] block->dss;
  block->keys = block->cols = block->dss = nullptr;
  block->nkeys = block->ncols = block->ndss = 0;
}

dmDescriptor* dmiDescriptorAlloc(dmBlock* block, const char* name, int datatype, int kind,
                                 int number) {
  auto* desc = new (std::nothrow) dmDescriptor;
  if (!desc) return nullptr;
  copyName(name, desc->name);
  desc->datatype = datatype;
  desc->kind = kind;
  desc->block = block;
  desc->number = number;
  dmiTrace(3, "Alloc dd %s", desc->name);
  return desc;
}

void dmiDescriptorFree(dmDescriptor* desc) {
  if (!desc) return;
  dmiDescriptorFree(desc->coord);
  desc->coord = nullptr;
  if (desc->transform) {
    dmiTrace(3, "Free transform");
    delete[] desc->transform;
    desc->transform = nullptr;
  }
  dmiTrace(3, "Free dd %s", desc->name);
  delete desc;
}

// --- finding blocks ------------------------------------------------------------

dmBlock* dmiDatasetGetBlock(dmDataset* ds, const char* name) {
  if (!ds || !name) return nullptr;
  for (int i = 0; i < ds->nblocks; i++) {
    if (cs_eq(ds->blocks[i]->name, name)) return ds->blocks[i];
  }
  return nullptr;
}

dmBlock* dmiBlockFind(dmDataset* ds, const char* name) {
  if (!ds) return nullptr;
  const char* want = name ? name : "";
  dmBlock* known = dmiDatasetGetBlock(ds, want);
  if (known) {
    // A closed block has no kernel block left to move to.
    if (!known->kernel_block) return nullptr;
    ds->kernel->MoveToBlock(known->kernel_block);
    return known;
  }
  if (ds->scanned) return nullptr;
  dmiTrace(1, "Search for block");
  const bool blank = cs_is_blank(want);
  for (;;) {
    dmBlock* block = scanNext(ds);
    if (!block) return nullptr;
    if (blank || cs_eq(block->name, want)) return block;
  }
}

int dmiDatasetScan(dmDataset* ds, int n) {
  if (!ds) return 0;
  if (n >= 1 && ds->nblocks >= n) return n;
  if (ds->scanned) return 0;
  for (;;) {
    dmBlock* block = scanNext(ds);
    if (!block) return 0;
    if (n >= 1 && block->number >= n) return n;
  }
}

// --- opening and creating blocks -------------------------------------------------

int dmiBlockOpen(dmBlock* block) {
  if (!block) return 1;
  dmDataset* ds = block->dataset;
  dmiTrace(1, "dmiBlockOpen %s", block->name);
  if (ds->nblocks > 1) dmStatus(ds);
  if (block->keys) return 0;
  // Reopening after dmBlockClose would need the kernel block that the close
  // released; such a block stays closed.
  if (!block->kernel_block || block->refused) return 1;
  if (dmiBlockStructAlloc(block)) return 1;
  block->row = 1;
  block->read_error = DM_ERROR_NONE;
  dmKernel* k = ds->kernel;
  int ncols = 0;
  int nrows = 0;
  const int failed = block->type != DM_BLOCK_TABLE
                         ? k->ImageOpen(block->kernel_block)
                         : k->TableOpen(block->kernel_block, &ncols, &nrows);
  if (failed) {
    // A block whose header cannot be read whole is not offered at all.
    char reason[DM_ERROR_TEXT_LEN + 1];
    dmErrorGetText(reason, sizeof reason);
    std::string line =
        std::string("Cannot read block ") + block->name + " of " + ds->name + ": " + reason;
    tmsg(line.c_str());
    block->refused = true;
    dmiBlockStructFree(block);
    return 1;
  }

  if (block->type != DM_BLOCK_TABLE) {
    // The kernel gives no name, type or shape for the pixel array: the block's
    // one column is described by the block name with no data type and no axes.
    dmDescriptor* pix = dmiDescriptorAlloc(block, block->name, DM_TYPE_NONE, DM_KIND_COLUMN, 1);
    if (pix) pix->kernel_index = 1;
    block->cols[0] = pix;
    block->ncols = 1;
    block->nrows = 1;
  } else {
    if (ncols < 0) ncols = 0;
    if (ncols > DM_MAX_DESCRIPTORS) ncols = DM_MAX_DESCRIPTORS;
    for (int n = 1; n <= ncols; n++) {
      char name[DM_NAME_LEN + 1] = " ";
      char unit[DM_NAME_LEN + 1] = " ";
      char desc[DM_NAME_LEN + 1] = " ";
      int datatype = DM_TYPE_NONE;
      int nelem = 1;
      k->ColumnOpenNo(block->kernel_block, n, name, &datatype, unit, desc, &nelem);
      name[DM_NAME_LEN] = unit[DM_NAME_LEN] = desc[DM_NAME_LEN] = '\0';
      dmDescriptor* col = dmiDescriptorAlloc(block, name, datatype, DM_KIND_COLUMN, n);
      if (col) {
        col->kernel_index = n;
        copyName(unit, col->unit);
        copyName(desc, col->desc);
        if (nelem > 1) {
          col->ndims = 1;
          col->dims[0] = nelem;
        }
      }
      block->cols[n - 1] = col;
    }
    block->ncols = ncols;
    block->nrows = nrows > 0 ? nrows : 0;
  }
  dmiHeaderOpen(block);
  return 0;
}

void dmiHeaderOpen(dmBlock* block) {
  if (!block || !block->keys || !block->kernel_block) return;
  dmDataset* ds = block->dataset;
  dmKernel* k = ds->kernel;
  dmiTrace(1, "Open Header %s", block->name);
  dmStatus(ds);

  // Keys beyond the list's capacity are left out rather than overrunning it.
  int pos = 0;
  while (block->nkeys < DM_MAX_DESCRIPTORS) {
    char name[DM_NAME_LEN + 1] = " ";
    char unit[DM_NAME_LEN + 1] = " ";
    char comment[DM_NAME_LEN + 1] = " ";
    int datatype = DM_TYPE_NONE;
    void* value = nullptr;
    const int next = k->NextKey(block->kernel_block, pos, name, &datatype, unit, comment, &value);
    if (next < 0 || next <= pos) break;
    name[DM_NAME_LEN] = unit[DM_NAME_LEN] = comment[DM_NAME_LEN] = '\0';
    dmDescriptor* key = dmiDescriptorAlloc(block, name, datatype, DM_KIND_KEY, block->nkeys + 1);
    if (!key) break;
    copyName(unit, key->unit);
    copyName(comment, key->desc);
    key->kernel_index = next;
    key->value = value;
    block->keys[block->nkeys++] = key;
    pos = next;
  }

  const int c = block->ncols;
  if (c > 0) {
    std::vector<double> refpix(static_cast<size_t>(c), 0.0);
    std::vector<double> refval(static_cast<size_t>(c), 0.0);
    std::vector<double> delta(static_cast<size_t>(c), 0.0);
    k->GetSpecialKey_d(block->kernel_block, "TCRPX", c, refpix.data());
    k->GetSpecialKey_d(block->kernel_block, "TCRVL", c, refval.data());
    k->GetSpecialKey_d(block->kernel_block, "TCDLT", c, delta.data());
    for (int i = 0; i < c; i++) {
      if (refpix[i] == 0.0 && refval[i] == 0.0 && delta[i] == 0.0) continue;
      if (!block->cols[i]) continue;
      dmiTrace(1, "Create coord");
      dmiStoreCoord(block->cols[i], refpix[i], refval[i], delta[i]);
    }
  }
  dmiTrace(1, "Done header");
  dmStatus(ds);
}

void dmiStoreCoord(dmDescriptor* col, double refpix, double refval, double delta) {
  if (!col) return;
  dmDescriptor* coord = dmiDescriptorAlloc(col->block, "COORD", DM_TYPE_D, DM_KIND_COORD, 0);
  if (!coord) return;
  coord->transform = new (std::nothrow) double[3];
  if (!coord->transform) {
    dmiDescriptorFree(coord);
    return;
  }
  dmiTrace(3, "Alloc Transform %s", coord->name);
  coord->transform[0] = refpix;
  coord->transform[1] = refval;
  coord->transform[2] = delta;
  dmiDescriptorFree(col->coord);
  col->coord = coord;
}

int dmiBlockCreate(dmBlock* block) {
  if (!block) return 1;
  dmiTrace(1, "Block Create %s", block->name);
  if (dmiBlockStructAlloc(block)) return 1;
  block->row = 0;
  if (block->type != DM_BLOCK_TABLE) {
    // The pixel descriptor comes with the image's shape (dmiImageSpec).
    block->dataset->kernel->ImageOpen(block->kernel_block);
    block->ncols = 1;
    block->nrows = 1;
  } else {
    dmiTrace(1, "Open columns");
    block->ncols = 0;
    block->nrows = 0;
  }
  return 0;
}

int dmiImageSpec(dmBlock* block, int datatype, const long* dims, int ndim) {
  if (!block || !block->cols || !block->kernel_block) return 1;
  if (ndim < 0 || ndim > DM_MAX_DIMS || (ndim > 0 && !dims)) return 1;
  block->dataset->kernel->ImageSpec(block->kernel_block, datatype, dims, ndim);
  dmDescriptor* pix = dmiDescriptorAlloc(block, block->name, datatype, DM_KIND_COLUMN, 1);
  if (!pix) return 1;
  pix->kernel_index = 1;
  pix->ndims = ndim;
  for (int i = 0; i < ndim; i++) pix->dims[i] = static_cast<int>(dims[i]);
  dmiDescriptorFree(block->cols[0]);
  block->cols[0] = pix;
  block->ncols = 1;
  return 0;
}

// --- listings ------------------------------------------------------------------

void dmStatus(dmDataset* ds) {
  if (!ds || !dbg_level(1)) return;
  for (int i = 0; i < ds->nblocks; i++) {
    const dmBlock* b = ds->blocks[i];
    dmiTrace(1, "%4d %20s %12ld %-6s %12ld", b->number, b->name, dmiAddr(b),
             b->keys ? "Open" : "Closed", dmiAddr(b->kernel_block));
  }
}

void dmiDescriptorFormatValue(const dmDescriptor* desc, char* buf, int size) {
  if (!buf || size < 1) return;
  if (size < 2) {
    buf[0] = '\0';
    return;
  }
  std::snprintf(buf, static_cast<size_t>(size), " ");
  if (!desc || !desc->value) return;
  char text[DM_NAME_LEN + 1] = " ";
  switch (desc->datatype) {
    case DM_TYPE_I: write_i(*static_cast<const int32_t*>(desc->value), text, DM_NAME_LEN); break;
    case DM_TYPE_D: write_d(*static_cast<const double*>(desc->value), text, DM_NAME_LEN); break;
    case DM_TYPE_C: {
      // The store hands out the address of the slot holding the string's address.
      const char* s = *static_cast<const char* const*>(desc->value);
      cs_copy_siz(s ? s : " ", text, DM_NAME_LEN);
      break;
    }
    case DM_TYPE_Q:
      text[0] = *static_cast<const int*>(desc->value) ? 'T' : 'F';
      text[1] = '\0';
      break;
    default: break;
  }
  std::snprintf(buf, static_cast<size_t>(size), "%s", text);
}

void dmiBlockPrintKey(dmDescriptor* key) {
  if (!key) return;
  char type[DM_NAME_LEN + 1];
  char value[DM_NAME_LEN + 1];
  char line[512];
  dmKTBDataTypeName(key->datatype, type);
  dmiDescriptorFormatValue(key, value, sizeof value);
  std::snprintf(line, sizeof line, "%-8s %-16s %-20s %-20s %-20s", type, key->name, value,
                key->unit, key->desc);
  msg(line);
}

void dmiBlockPrintColumn(dmDescriptor* col) {
  if (!col) return;
  char type[DM_NAME_LEN + 16];
  char number[32];
  char line[512];
  dmKTBDataTypeName(col->datatype, type);
  if (col->ndims > 0) {
    const size_t used = std::strlen(type);
    std::snprintf(type + used, sizeof type - used, "[%d]", col->dims[0]);
  }
  std::snprintf(number, sizeof number, "COL %d", col->number);
  std::snprintf(line, sizeof line, "%-8s %-16s %-20s %-20s %-20s", type, col->name, number,
                col->unit, col->desc);
  msg(line);
}

void dmiBlockPrintHeader(dmBlock* block) {
  if (!block) return;
  std::fprintf(stdout, "NKEYS: %d\n", block->nkeys);
  std::fflush(stdout);
  for (int i = 0; i < block->nkeys && block->keys; i++) dmiBlockPrintKey(block->keys[i]);
}

void dmiBlockPrintTable(dmBlock* block) {
  if (!block) return;
  msg(" ");
  for (int i = 0; i < block->ncols && block->cols; i++) dmiBlockPrintColumn(block->cols[i]);
}
