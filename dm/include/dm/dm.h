// dm/dm.h -- the data model: a file seen as a dataset of numbered, named blocks
// (tables and images) carrying column, key and coordinate descriptors. All file
// access goes through the kernel table; the one kernel, "FITS", uses CFITSIO.
//
// Every operation accepts a null handle and then does nothing, returning 0,
// null, -1 or a blank string as stated. Handles obtained from a dataset become
// invalid when the dataset is closed.
#pragma once

#include "dm/dm_limits.h"

struct dmDataset;
struct dmBlock;
struct dmDescriptor;
struct dmKernel;

/// Data-type codes of columns, keys and images.
constexpr int DM_TYPE_S = 0;    // "s"  16-bit integer
constexpr int DM_TYPE_I = 1;    // "i"  32-bit integer (also "l")
constexpr int DM_TYPE_R = 2;    // "r"  32-bit real (also "f")
constexpr int DM_TYPE_D = 3;    // "d"  64-bit real
constexpr int DM_TYPE_C = 4;    // "c"  character string
constexpr int DM_TYPE_BR = 5;   // "br"
constexpr int DM_TYPE_Q = 6;    // "q"  logical
constexpr int DM_TYPE_UB = 7;   // "ub" unsigned byte
constexpr int DM_TYPE_US = 8;   // "us" unsigned 16-bit integer
constexpr int DM_TYPE_UL = 9;   // "ul" unsigned 32-bit integer
constexpr int DM_TYPE_NONE = 10;

/// Block-type codes.
constexpr int DM_BLOCK_TABLE = 0;
constexpr int DM_BLOCK_IMAGE = 1;
constexpr int DM_BLOCK_OTHER = 2;

/// Descriptor kinds.
constexpr int DM_KIND_COLUMN = 0;
constexpr int DM_KIND_KEY = 1;
constexpr int DM_KIND_COORD = 3;

// --- library start ---------------------------------------------------------

/// Resets the library state (no open datasets, error code 0), selects the "FITS"
/// kernel for creation, and returns arg unchanged.
int dmInit(int arg);
/// The library error code: 0 when nothing failed since dmInit.
int dmiErrorGet(void);

// --- datasets --------------------------------------------------------------

dmDataset* dmDatasetOpen(const char* name);
dmDataset* dmDatasetCreate(const char* name);
int dmDatasetClose(dmDataset* ds);
int dmDatasetGetNoBlocks(dmDataset* ds);
int dmDatasetGetCurrentBlockNo(dmDataset* ds);
dmBlock* dmDatasetMoveToBlock(dmDataset* ds, int n);
dmBlock* dmDatasetNextBlock(dmDataset* ds);
dmBlock* dmDatasetAdvanceBlocks(dmDataset* ds, int k);
/// Writes "TABLE", "IMAGE" or " " into buf (at least 8 bytes).
void dmDatasetGetBlockTypeName(dmDataset* ds, int n, char* buf);

// --- blocks ----------------------------------------------------------------

dmBlock* dmBlockOpen(dmDataset* ds, const char* name);
int dmBlockClose(dmBlock* block);
dmBlock* dmBlockCreate(dmDataset* ds, const char* name, int blocktype);
dmBlock* dmBlockCreateC(dmDataset* ds, const char* name, const char* type_name);
int dmBlockGetNo(dmBlock* block);
dmDataset* dmBlockGetDataset(dmBlock* block);
/// Copies the block name, at most size characters (buf holds size+1 bytes).
void dmBlockGetNameC(dmBlock* block, char* buf, int size);
int dmBlockGetTypeName(dmBlock* block, char* buf);
int dmBlockPrint(dmBlock* block, const char* what);
int dmBlockPrintKernel(dmBlock* block);
void dmStatus(dmDataset* ds);

// --- table and image shortcuts ("file[block]" specifications) -------------

dmBlock* dmDatasetTableOpen(const char* spec);
int dmDatasetTableClose(dmBlock* block);
dmBlock* dmImageOpen(const char* spec);
int dmImageClose(dmBlock* block);
dmBlock* dmDatasetTableCreate(const char* spec);
dmBlock* dmImageCreate(const char* spec, int datatype, const long* dims, int ndim);
dmBlock* dmImageCreateC(const char* spec, const char* type_name, const long* dims, int ndim);

// --- columns ---------------------------------------------------------------

int dmTableGetNoRows(dmBlock* block);
dmDescriptor* dmTableOpenColumn(dmBlock* block, const char* name);
dmDescriptor* dmTableOpenColumnNo(dmBlock* block, int n);
int dmGetArrDim(dmDescriptor* desc);
dmDescriptor* dmColumnCreate(dmBlock* block, const char* name, int datatype, int size,
                             const char* unit, const char* description);

// --- reading values (current row) -------------------------------------------

double dmGetScalar_d(dmDescriptor* col);
float dmGetScalar_r(dmDescriptor* col);
int dmGetScalars_d(dmDescriptor* col, double* values, int firstrow, int nrows);
dmDescriptor* dmGetStaticArray_d(dmDescriptor* col, double* values, int n);
int dmTableNextRow(dmBlock* block);

// --- writing values --------------------------------------------------------

int dmTablePutRow(dmBlock* block, int unused);
int dmSetScalar_d(dmDescriptor* col, double value);
/// Writes a 64-bit real header key at once. The returned descriptor belongs to
/// the caller, who releases it with dmDescriptorFree.
dmDescriptor* dmKeyWrite_d(dmBlock* block, const char* name, double value, const char* unit,
                           const char* comment);
/// Releases a descriptor the caller owns (the result of dmKeyWrite_d). Null is ignored.
void dmDescriptorFree(dmDescriptor* desc);

// --- header keys and coordinates ---------------------------------------------

dmDescriptor* dmKeyRead_d(dmBlock* block, const char* name, double* value);
dmDescriptor* dmKeyRead_l(dmBlock* block, const char* name, int* value);
dmDescriptor* dmDescriptorGetCoord(dmDescriptor* col);
int dmCoordGetTransform_d(dmDescriptor* coord, double* refpix, double* refval, double* delta,
                          int naxes);

// --- names of descriptors (buffers of at least 81 bytes) ---------------------

void dmGetNameC(dmDescriptor* desc, char* buf);
void dmGetUnitC(dmDescriptor* desc, char* buf);
void dmGetDescC(dmDescriptor* desc, char* buf);
void dmGetDataTypeNameC(dmDescriptor* desc, char* buf);

// --- type tables -----------------------------------------------------------

int dmKTBBlockType(const char* name);
void dmKTBBlockTypeName(int code, char* buf);
int dmKTBDataType(const char* name);
void dmKTBDataTypeName(int code, char* buf);

// --- kernels ---------------------------------------------------------------

int dmGetNoKernels(void);
dmKernel* dmGetKernelNo(int n);
dmKernel* dmKernelGet(const char* name);
void dmKernelList(void);
int dmSetKernelOption(const char* option);
