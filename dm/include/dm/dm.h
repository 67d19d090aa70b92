// dm/dm.h -- the data model: a file seen as a dataset of numbered, named blocks
// (tables and images) carrying column, key and coordinate descriptors. All file
// access goes through the kernel table; the one kernel, "FITS", uses CFITSIO.
//
// Every operation accepts a null handle and then does nothing, returning 0,
// null, -1 or a blank string as stated. The library owns every dataset, block
// and descriptor record (except a descriptor of dmKeyWrite_d); handles obtained
// from a dataset become invalid when the dataset is closed. Names are compared
// with trailing blanks ignored, and column and key names also ignoring case.
// Failures also set the library error code (dmiErrorGet), which only dmInit clears.
#pragma once

#include "dm/dm_limits.h"

struct dmDataset;
struct dmBlock;
struct dmDescriptor;
struct dmKernel;

/// Data-type codes of columns, keys and images.
constexpr int DM_TYPE_S = 0;   // "s"  16-bit integer
constexpr int DM_TYPE_I = 1;   // "i"  32-bit integer (also "l")
constexpr int DM_TYPE_R = 2;   // "r"  32-bit real (also "f")
constexpr int DM_TYPE_D = 3;   // "d"  64-bit real
constexpr int DM_TYPE_C = 4;   // "c"  character string
constexpr int DM_TYPE_BR = 5;  // "br"
constexpr int DM_TYPE_Q = 6;   // "q"  logical
constexpr int DM_TYPE_UB = 7;  // "ub" unsigned byte
constexpr int DM_TYPE_US = 8;  // "us" unsigned 16-bit integer
constexpr int DM_TYPE_UL = 9;  // "ul" unsigned 32-bit integer
constexpr int DM_TYPE_NONE = 10;

/// Block-type codes.
constexpr int DM_BLOCK_TABLE = 0;
constexpr int DM_BLOCK_IMAGE = 1;
constexpr int DM_BLOCK_OTHER = 2;

/// Descriptor kinds.
constexpr int DM_KIND_COLUMN = 0;
constexpr int DM_KIND_KEY = 1;
constexpr int DM_KIND_COORD = 3;

/// The library error codes (dmiErrorGet). Any other value is a kernel's own
/// failure status: for the FITS kernel, the CFITSIO status of the failing call.
/// The numbers are fixed: callers and tests rely on them.
enum DmErrorCode : int {
  DM_ERROR_NONE = 0,               // nothing failed since dmInit
  DM_ERROR_FAILED = 1,             // a record could not be made (a block's descriptor lists,
                                   // or a dataset for a file a kernel opened), or a
                                   // column read failed without a status of its own
  DM_ERROR_TOO_MANY_DATASETS = 2,  // every dataset slot has been used since dmInit
  DM_ERROR_TOO_MANY_BLOCKS = 3,    // the dataset already holds DM_MAX_BLOCKS blocks
  DM_ERROR_BAD_BLOCK_NUMBER = 5,   // dmDatasetMoveToBlock got a block number below 1
  DM_ERROR_OPEN_FAILED = 6,        // no kernel could open the file
  DM_ERROR_REFUSED = 7,            // a file or table refused before its contents were trusted
                                   // (a damaged header, or a table larger than the file)
};

// --- library start ---------------------------------------------------------

/// Resets the library state (no open datasets, DM_ERROR_NONE), selects the "FITS"
/// kernel for creation, and returns arg unchanged.
int dmInit(int arg);
/// The library error code: DM_ERROR_NONE when nothing failed since dmInit.
int dmiErrorGet(void);
/// Copies the reason of the last failure a kernel reported (for the FITS kernel
/// CFITSIO's own text and status) into buf, at most size-1 characters; "" when
/// none was reported since dmInit.
void dmErrorGetText(char* buf, int size);

// --- datasets --------------------------------------------------------------

/// Opens a file (a plain name, no block part) read-only; close it with
/// dmDatasetClose. At debug level 1 each open is traced as "Opened dataset NAME". Null for a null
/// or blank name (no error code), or when no kernel opens it (DM_ERROR_OPEN_FAILED) or the open
/// file cannot be recorded, as when all dataset slots are used (DM_ERROR_FAILED; the file is closed
/// again).
dmDataset* dmDatasetOpen(const char* name);
/// Creates a file, replacing one of that name; close it with dmDatasetClose.
/// Null for a null or blank name, a full dataset table (DM_ERROR_TOO_MANY_DATASETS,
/// the old file left alone) or a kernel failure (its status as error code).
dmDataset* dmDatasetCreate(const char* name);
/// Closes every block, closes the file and frees the dataset with all its blocks
/// and descriptors. Returns the kernel's close status (0 on success or for null).
int dmDatasetClose(dmDataset* ds);
/// Number of blocks in the file, scanning it to its end first if needed.
int dmDatasetGetNoBlocks(dmDataset* ds);
/// Copies the name the dataset was opened or created with, at most size-1
/// characters; " " for a null dataset.
void dmDatasetGetNameC(dmDataset* ds, char* buf, int size);
/// The primary header of the file as a block for its keys: read from a file
/// opened for reading, written into a created one (where it exists once the
/// first block has been created). It is no numbered block and holds no
/// columns. Null for null, or when the file has no primary header yet. The
/// block belongs to the dataset and is closed with it.
dmBlock* dmDatasetGetPrimary(dmDataset* ds);
/// Number of the block last moved to (0 if none).
int dmDatasetGetCurrentBlockNo(dmDataset* ds);
/// Block n (1-based) opened and made current, or null: n below 1
/// (DM_ERROR_BAD_BLOCK_NUMBER), no block n (no error code) or a block closed with
/// dmBlockClose.
dmBlock* dmDatasetMoveToBlock(dmDataset* ds, int n);
/// dmDatasetMoveToBlock to the block after the current one.
dmBlock* dmDatasetNextBlock(dmDataset* ds);
/// dmDatasetMoveToBlock to the current block number plus k.
dmBlock* dmDatasetAdvanceBlocks(dmDataset* ds, int k);
/// Writes "TABLE", "IMAGE" or " " for block n into buf (at least 8 bytes); " "
/// for a null dataset or no block n. A null buf is ignored.
void dmDatasetGetBlockTypeName(dmDataset* ds, int n, char* buf);

// --- blocks ----------------------------------------------------------------

/// The block of that exact name, opened (columns, keys, coordinates); a blank or
/// null name takes the next block not yet known. Null when there is none or it
/// was closed. The block belongs to its dataset.
dmBlock* dmBlockOpen(dmDataset* ds, const char* name);
/// Closes the block (a block being written gets its header and row count) and
/// frees its descriptors; the block keeps its number and name, and closing it
/// again is harmless. Returns the library error code (0 for null).
int dmBlockClose(dmBlock* block);
/// A new block of blocktype (DM_BLOCK_...) named name (null: " ") at the end of
/// a created dataset. Null for a null or read-only dataset or a kernel failure.
dmBlock* dmBlockCreate(dmDataset* ds, const char* name, int blocktype);
/// dmBlockCreate with the type given by name ("TABLE", "IMAGE"; see dmKTBBlockType).
dmBlock* dmBlockCreateC(dmDataset* ds, const char* name, const char* type_name);
/// The block's number in its dataset (1-based; 0 for null).
int dmBlockGetNo(dmBlock* block);
/// The dataset that owns the block (null for null).
dmDataset* dmBlockGetDataset(dmBlock* block);
/// Copies the block name, at most size characters (buf holds size+1 bytes); " "
/// for a null block, "" for size below 1. A null buf is ignored.
void dmBlockGetNameC(dmBlock* block, char* buf, int size);
/// Writes "TABLE", "IMAGE" or " " into buf (at least 8 bytes). 0, or 4 for a null block.
int dmBlockGetTypeName(dmBlock* block, char* buf);
/// Lists the block's keys when what contains "HEADER", its columns when it
/// contains "COLNAMES". Returns 0.
int dmBlockPrint(dmBlock* block, const char* what);
/// The kernel's own listing of the block; returns the kernel's status (0 for null
/// or a closed block).
int dmBlockPrintKernel(dmBlock* block);
/// DM_ERROR_NONE while every column read from the block has worked since it was opened;
/// otherwise the library error code of the first read that failed. The first
/// failure is reported on the terminal with the file, the column and the reason.
int dmBlockGetReadError(dmBlock* block);
/// At debug level 1, one line per block of the dataset: number, name, open or closed.
void dmStatus(dmDataset* ds);

// --- table and image shortcuts ("file[block]" specifications) -------------

/// Opens the file and its named block (no block part: the first block). Null when
/// either fails; the dataset is then closed again. Release with dmDatasetTableClose.
dmBlock* dmDatasetTableOpen(const char* spec);
/// Closes the block's whole dataset; returns the library error code (0 for null).
int dmDatasetTableClose(dmBlock* block);
/// The same as dmDatasetTableOpen, for an image block.
dmBlock* dmImageOpen(const char* spec);
/// The same as dmDatasetTableClose.
int dmImageClose(dmBlock* block);
/// Creates the file and a table named by the block part. Null when either fails
/// (the dataset is then closed). Release with dmDatasetTableClose.
dmBlock* dmDatasetTableCreate(const char* spec);
/// Creates the file, an image block and its pixel descriptor of datatype with ndim
/// axis lengths dims. Null when any step fails (the dataset is then closed).
dmBlock* dmImageCreate(const char* spec, int datatype, const long* dims, int ndim);
/// dmImageCreate with the data type given by name (see dmKTBDataType).
dmBlock* dmImageCreateC(const char* spec, const char* type_name, const long* dims, int ndim);

// --- columns ---------------------------------------------------------------

/// Rows of the block: a read table's row count, 1 for an image, 0 for a table
/// being written (rows put are not counted here) or null.
int dmTableGetNoRows(dmBlock* block);
/// The first column named name, or null (also for a null name or a closed block).
/// The descriptor belongs to the block.
dmDescriptor* dmTableOpenColumn(dmBlock* block, const char* name);
/// Column n (1-based), or null when n is out of range. The descriptor belongs to the block.
dmDescriptor* dmTableOpenColumnNo(dmBlock* block, int n);
/// Array dimensions: 0 scalar, 1 vector cells, an image's axes (0 for null).
int dmGetArrDim(dmDescriptor* desc);
/// Values in one cell of a column: 1 for a scalar, else the product of its
/// dimensions; 0 for a null descriptor.
int dmGetArrLen(dmDescriptor* desc);
/// A new column of a created table (size: the width of a "c" column, else ignored;
/// null texts become " "). Null for a read-only or closed block, once rows exist
/// ("Cannot create columns after rows have been written"), with 1000 columns, or
/// on a kernel failure. The descriptor belongs to the block.
dmDescriptor* dmColumnCreate(dmBlock* block, const char* name, int datatype, int size,
                             const char* unit, const char* description);

// --- reading values (current row) -------------------------------------------

/// The current row's cell (a vector cell's first element) as a 64-bit real; 0 for
/// null, a closed block, or a descriptor that is not a column ("Unsupported").
double dmGetScalar_d(dmDescriptor* col);
/// As dmGetScalar_d, as a 32-bit real.
float dmGetScalar_r(dmDescriptor* col);
/// Reads the cells (first elements) of rows firstrow..firstrow+nrows-1 into values
/// and returns the number of rows read (cut at a read table's end; 0 for null
/// values or a bad range). The current row becomes the last row read.
int dmGetScalars_d(dmDescriptor* col, double* values, int firstrow, int nrows);
/// Reads n elements of the current row's cell into values; returns col (null for
/// null). An image block, or a non-column ("Unsupported 2"), reads nothing.
dmDescriptor* dmGetStaticArray_d(dmDescriptor* col, double* values, int n);
/// Advances the current row: the new row number, or -1 for a null or non-table
/// block or when the current row is the last (the row then stays).
int dmTableNextRow(dmBlock* block);

// --- writing values --------------------------------------------------------

/// Adds a row to a table being written (the header goes out at the first) and
/// makes it current; returns its number, or -1 for a null, closed or non-table block.
int dmTablePutRow(dmBlock* block, int unused);
/// Writes value into the current row's cell. Returns 0 (also when nothing is
/// written: null, a closed block, a non-column with "Unsupported").
int dmSetScalar_d(dmDescriptor* col, double value);
/// Writes a 64-bit real header key at once. The returned descriptor belongs to
/// the caller, who releases it with dmDescriptorFree; it is not in the block's
/// key list. Null for a null or closed block or a null or blank name.
dmDescriptor* dmKeyWrite_d(dmBlock* block, const char* name, double value, const char* unit,
                           const char* comment);
/// Writes a string key at once, replacing a key of that name; a value longer
/// than one card continues on CONTINUE cards. A table being written gets its
/// header first. 0, or the kernel's status (recorded as the library error code
/// and returned again by dmDatasetClose). 0, writing nothing, for a null or
/// closed block or a null or blank name.
int dmKeyWrite_c(dmBlock* block, const char* name, const char* value, const char* comment);
/// As dmKeyWrite_c for an integer key.
int dmKeyWrite_l(dmBlock* block, const char* name, long value, const char* comment);
/// Appends a HISTORY record of text (longer text continues on further records),
/// as dmKeyWrite_c.
int dmHistoryWrite(dmBlock* block, const char* text);
/// Writes the key DATE, the time now in UTC ("YYYY-MM-DDThh:mm:ss"), as dmKeyWrite_c.
int dmKeyWriteDate(dmBlock* block);
/// Releases a descriptor the caller owns (the result of dmKeyWrite_d). Null is ignored.
void dmDescriptorFree(dmDescriptor* desc);

// --- header keys and coordinates ---------------------------------------------

/// The first key named name, or null (also for a null block or a null or blank
/// name); *value receives a 64-bit real key's value. Another type writes "Bad key
/// datatype", leaves *value and still returns the key. A null value is not written.
dmDescriptor* dmKeyRead_d(dmBlock* block, const char* name, double* value);
/// As dmKeyRead_d for a 32-bit integer key.
dmDescriptor* dmKeyRead_l(dmBlock* block, const char* name, int* value);
/// As dmKeyRead_d for a string key: copies its value (at most size-1 characters)
/// into value. A null value or a size below 1 is not written.
dmDescriptor* dmKeyRead_c(dmBlock* block, const char* name, char* value, int size);
/// Every header card of the block as one text of *ncards 80-character cards (no
/// END card), NUL-terminated; WCSLIB's header parsers take it as it is. Release
/// it with dmFreeCards. Null, *ncards 0, for a null or closed block or when the
/// header cannot be read (library error code set). A null ncards is not written.
char* dmBlockGetCards(dmBlock* block, int* ncards);
/// Releases the text of dmBlockGetCards; null is ignored.
void dmFreeCards(char* cards);
/// The column's coordinate descriptor (owned by the column), or null.
dmDescriptor* dmDescriptorGetCoord(dmDescriptor* col);
/// Reference pixel, reference value and increment of a coordinate descriptor (0 for
/// a null or other descriptor). With naxes 2 nothing is written. Null outputs are
/// skipped. Returns 0.
int dmCoordGetTransform_d(dmDescriptor* coord, double* refpix, double* refval, double* delta,
                          int naxes);

// --- names of descriptors (buffers of at least 81 bytes) ---------------------

/// The descriptor's name cut to 31 characters; " " for null. A null buf is ignored.
void dmGetNameC(dmDescriptor* desc, char* buf);
/// The unit cut to 31 characters, as dmGetNameC.
void dmGetUnitC(dmDescriptor* desc, char* buf);
/// The description (a key's comment) cut to 80 characters, as dmGetNameC.
void dmGetDescC(dmDescriptor* desc, char* buf);
/// The data-type name ("d", "i", ...; " " for none or null), as dmGetNameC.
void dmGetDataTypeNameC(dmDescriptor* desc, char* buf);

// --- type tables -----------------------------------------------------------

/// "TABLE" gives DM_BLOCK_TABLE, "IMAGE" DM_BLOCK_IMAGE, anything else (and null)
/// DM_BLOCK_OTHER.
int dmKTBBlockType(const char* name);
/// "TABLE", "IMAGE" or " " into buf (at least 8 bytes; null is ignored).
void dmKTBBlockTypeName(int code, char* buf);
/// The data-type code of a short name ("l" and "f" also accepted); DM_TYPE_NONE
/// for an unknown or null name.
int dmKTBDataType(const char* name);
/// The short name of a code into buf (at least 8 bytes); " " outside 0..10.
void dmKTBDataTypeName(int code, char* buf);

// --- kernels ---------------------------------------------------------------

/// Number of kernels (1: "FITS").
int dmGetNoKernels(void);
/// Kernel n (1-based), or null. Kernels belong to the library.
dmKernel* dmGetKernelNo(int n);
/// The kernel of that name, or null (also for null).
dmKernel* dmKernelGet(const char* name);
/// The version of the library under the creating kernel ("CFITSIO 4.2"), at
/// most size-1 characters. Opens no file.
void dmGetKernelVersion(char* buf, int size);
/// Writes each kernel's name as a message line.
void dmKernelList(void);
/// Passes an option to every kernel; returns the last nonzero kernel status, or 0
/// (also for null). The FITS kernel knows "TABLE=BINTABLE" and "TABLE=ASCII" (the
/// type of tables created), and "KEY=EXACT" and "KEY=SHORT" (real keys written
/// with 16 decimals, so that they read back unchanged, or with 8, the default).
int dmSetKernelOption(const char* option);
