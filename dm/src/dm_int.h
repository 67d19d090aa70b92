// dm/src/dm_int.h -- the data model's inner layer: the library state, the
// records behind the dmDataset, dmBlock and dmDescriptor handles, and the dmi…
// operations that parse specifications, find and number blocks, and fill a
// block's descriptors from its kernel. Internal to varto_dm and its tests.
#pragma once

#include "dm/dm.h"
#include "dm_kernel.h"
#include "trace_int.h"

/// The dataset slots while the library is active (set by dmiInit): dm_state.context.
extern Context*& context;

struct dmDataset {
  dmKernel* kernel = nullptr;      // kernel that opened or created the file
  void* kernel_dataset = nullptr;  // the kernel's handle for the file
  int slot = 0;                    // 1…DM_MAX_DATASETS in Context
  char name[DM_FILENAME_LEN + 1] = {};
  int writable = 0;            // 1 when created (mode "W")
  int nblocks = 0;             // blocks known so far
  int current = 0;             // block last moved to with dmDatasetMoveToBlock
  int scanned = 0;             // 1 once the kernel reported no further block
  dmBlock** blocks = nullptr;  // DM_MAX_BLOCKS entries; block n at index n-1
  dmBlock* primary = nullptr;  // the primary header once asked for (number 0, no columns)
};

struct dmBlock {
  void* kernel_block = nullptr;  // null after dmBlockClose
  dmDataset* dataset = nullptr;
  int number = 0;             // 1-based position in the dataset
  int type = DM_BLOCK_OTHER;  // DM_BLOCK_TABLE, DM_BLOCK_IMAGE, DM_BLOCK_OTHER
  char name[DM_NAME_LEN + 1] = {};
  int nkeys = 0;
  int ncols = 0;
  int ndss = 0;  // entries of the third list: always 0
  int nrows = 0;
  int row = 0;                     // current row: 1 after opening, 0 after creating
  int read_error = DM_ERROR_NONE;  // error code of the first failed column read since opening
  bool refused = false;  // its header could not be read whole: reported once, never offered
  dmDescriptor** keys = nullptr;  // DM_MAX_DESCRIPTORS entries; exists while open
  dmDescriptor** cols = nullptr;  // DM_MAX_DESCRIPTORS entries
  dmDescriptor** dss = nullptr;   // DM_MAX_DESCRIPTORS entries, never filled
};

struct dmDescriptor {
  char name[DM_NAME_LEN + 1] = {};
  char unit[DM_NAME_LEN + 1] = {};
  char desc[DM_NAME_LEN + 1] = {};  // for a key, its comment
  int datatype = DM_TYPE_NONE;
  int kind = DM_KIND_COLUMN;
  dmBlock* block = nullptr;
  int number = 0;        // position in the block's list; 0 for loose descriptors
  int kernel_index = 0;  // kernel column number, or the key's header position
  int ndims = 0;         // 0 scalar, 1 vector column, or an image's axes
  int dims[DM_MAX_DIMS] = {};
  const void* value = nullptr;    // key: its value in the kernel's store (not owned)
  double* transform = nullptr;    // coordinate: owned refpix, refval, delta
  dmDescriptor* coord = nullptr;  // column: owned coordinate descriptor
  bool caller_owned = false;      // made by dmKeyWrite_d, released by dmDescriptorFree
};

/// The kernel used by dmDatasetCreate (the "FITS" kernel after dmInit): dm_state.create_kernel.
extern dmKernel*& CreateKernel;

// --- library state -----------------------------------------------------------

/// Puts dm_state back as at load: no slots used, DM_ERROR_NONE and no error text,
/// the "FITS" kernel to create with, created tables binary. dmInit and the tests use it.
void dmiInit(void);
/// Detaches the library state.
void dmiFree(void);

// --- kernel list ---------------------------------------------------------------

int dmiKernelCount(void);
/// Kernel n (1-based) of the kernel list, or null.
dmKernel* dmiKernelNo(int n);

// --- specifications ------------------------------------------------------------

/// Splits "file[block]" into dsname (DM_SPEC_DATASET_BUF bytes) and blockname
/// (DM_SPEC_BLOCK_BUF bytes). A missing block part gives " ".
void dmiSyntaxParse(const char* spec, char* dsname, char* blockname);

// --- records -------------------------------------------------------------------

/// Records a dataset opened by kernel. Null for a null kernel dataset, or with
/// DM_ERROR_TOO_MANY_DATASETS when every slot has been used since dmInit.
dmDataset* dmiDatasetAlloc(const char* name, dmKernel* kernel, void* kds, const char* mode);
/// Frees the dataset record, its blocks and their descriptors (not the kernel handles).
void dmiDatasetFree(dmDataset* ds);
/// Records the dataset's next block; null with DM_ERROR_TOO_MANY_BLOCKS at
/// DM_MAX_BLOCKS blocks.
dmBlock* dmiBlockAlloc(dmDataset* ds, void* kb, const char* name, int blocktype);
void dmiBlockFree(dmBlock* block);
/// Makes the three descriptor lists (DM_ERROR_FAILED and result 1 on failure).
int dmiBlockStructAlloc(dmBlock* block);
/// Frees the descriptor lists and every descriptor in them.
void dmiBlockStructFree(dmBlock* block);
/// A new descriptor (not stored in any list), or null when allocation fails.
dmDescriptor* dmiDescriptorAlloc(dmBlock* block, const char* name, int datatype, int kind,
                                 int number);
/// Frees a descriptor, its coordinate descriptor and its transform.
void dmiDescriptorFree(dmDescriptor* desc);

// --- finding blocks ------------------------------------------------------------

/// The known block of that name (trailing blanks ignored, case significant), or null.
dmBlock* dmiDatasetGetBlock(dmDataset* ds, const char* name);
/// The block of that name, scanning on when it is not known yet; a blank name
/// takes the next block not yet known.
dmBlock* dmiBlockFind(dmDataset* ds, const char* name);
/// Makes at least n blocks known: n, or 0 when the file ended first. n <= 0 scans
/// the whole file.
int dmiDatasetScan(dmDataset* ds, int n);

// --- opening and creating blocks -------------------------------------------------

/// Fills the block's descriptors from the kernel. 0, or 1 on failure.
int dmiBlockOpen(dmBlock* block);
/// Prepares the descriptor lists of a block just created. 0, or 1 on failure.
int dmiBlockCreate(dmBlock* block);
void dmiHeaderOpen(dmBlock* block);
/// Sets a created image's shape and makes its pixel descriptor (column 1). 0, or 1.
int dmiImageSpec(dmBlock* block, int datatype, const long* dims, int ndim);
/// Hangs a coordinate descriptor with the given transform on a column.
void dmiStoreCoord(dmDescriptor* col, double refpix, double refval, double delta);

// --- listings ------------------------------------------------------------------

void dmiBlockPrintHeader(dmBlock* block);
void dmiBlockPrintTable(dmBlock* block);
void dmiBlockPrintKey(dmDescriptor* key);
void dmiBlockPrintColumn(dmDescriptor* col);
/// Writes a key's value as text (at most size-1 characters; " " when it has none).
void dmiDescriptorFormatValue(const dmDescriptor* desc, char* buf, int size);
