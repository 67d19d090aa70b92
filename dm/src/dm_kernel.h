// dm/src/dm_kernel.h -- the kernel table: the contract between the data model's
// inner layer and a kernel that does the file access. A kernel is a short name
// and 26 operation slots. Kernel datasets and kernel blocks are opaque to the
// data model (void*) and are released only through slots 3 and 7.
//
// Output text buffers passed to the slots hold DM_NAME_LEN + 1 bytes.
#pragma once

#include "dm/dm.h"

struct dmKernel {
  const char* name;  // "FITS"
  /* 1 */ void* (*DatasetOpen)(const char* filename);
  /* 2 */ void* (*DatasetCreate)(const char* filename);
  /* 3 */ int (*DatasetClose)(void* kds);
  /* 4 */ void* (*BlockOpenNext)(void* kds, char* name, int* blocktype);
  /* 5 */ void* (*BlockCreate)(void* kds, const char* name, int blocktype);
  /* 6 */ int (*MoveToBlock)(void* kb);
  /* 7 */ int (*BlockClose)(void* kb);
  /* 8 */ int (*TableOpen)(void* kb, int* ncols, int* nrows);
  /* 9 */ int (*ImageOpen)(void* kb);
  /* 10 */ int (*ImageSpec)(void* kb, int datatype, const long* dims, int ndim);
  /* 11 */ int (*ColumnOpenNo)(void* kb, int n, char* name, int* datatype, char* unit, char* desc,
                               int* nelem);
  /* 12 */ int (*ColumnCreate)(void* kb, const char* name, int datatype, int size, const char* unit,
                               const char* desc);
  /* 13 */ int (*BlockInit)(void* kb);
  /* 14 */ int (*NextKey)(void* kb, int pos, char* name, int* datatype, char* unit, char* comment,
                          void** value);
  /* 15 */ int (*GetSpecialKey_d)(void* kb, const char* base, int n, double* values);
  /* 16 */ int (*ColumnRead_d)(void* kb, int col, int firstrow, int nrows, double* values,
                               int nelem);
  /* 17 */ int (*ColumnRead_r)(void* kb, int col, int firstrow, int nrows, float* values,
                               int nelem);
  /* 18 */ int (*ColumnWrite_d)(void* kb, int col, int firstrow, int nrows, const double* values,
                                int nelem);
  /* 19 */ int (*KeyWrite_d)(void* kb, const char* name, double value, const char* unit,
                             const char* comment);
  /* 20 */ int (*PutRow)(void* kb, int row);
  /* 21 */ int (*BlockPrintKernel)(void* kb);
  /* 22 */ int (*SetKernelOption)(const char* option);
  /* 23 */ void* (*PrimaryOpen)(void* kds);
  /* 24 */ int (*CardWrite)(void* kb, int kind, const char* name, const char* text, long number,
                            const char* comment);
  /* 25 */ int (*HeaderCards)(void* kb, char** text, int* ncards);
  /* 26 */ void (*Version)(char* buf, int size);
};

/// What a CardWrite slot writes: a string key, an integer key, a HISTORY
/// record, or the DATE key (now, UTC).
enum DmCardKind : int {
  DM_CARD_STRING = 0,
  DM_CARD_INT = 1,
  DM_CARD_HISTORY = 2,
  DM_CARD_DATE = 3
};

/// The FITS kernel object (defined by the FITS kernel).
extern dmKernel FITS;

/// The FITS kernel operations, in slot order.
void* FITS_DatasetOpen(const char* filename);
void* FITS_DatasetCreate(const char* filename);
int FITS_DatasetClose(void* kds);
void* FITS_BlockOpenNext(void* kds, char* name, int* blocktype);
void* FITS_BlockCreate(void* kds, const char* name, int blocktype);
int FITS_MoveToBlock(void* kb);
int FITS_BlockClose(void* kb);
int FITS_TableOpen(void* kb, int* ncols, int* nrows);
int FITS_ImageOpen(void* kb);
int FITS_ImageSpec(void* kb, int datatype, const long* dims, int ndim);
int FITS_ColumnOpenNo(void* kb, int n, char* name, int* datatype, char* unit, char* desc,
                      int* nelem);
int FITS_ColumnCreate(void* kb, const char* name, int datatype, int size, const char* unit,
                      const char* desc);
int FITS_kBlockInit(void* kb);
int FITS_NextKey(void* kb, int pos, char* name, int* datatype, char* unit, char* comment,
                 void** value);
int FITS_GetSpecialKey_d(void* kb, const char* base, int n, double* values);
int FITS_ColumnRead_d(void* kb, int col, int firstrow, int nrows, double* values, int nelem);
int FITS_ColumnRead_r(void* kb, int col, int firstrow, int nrows, float* values, int nelem);
int FITS_ColumnWrite_d(void* kb, int col, int firstrow, int nrows, const double* values, int nelem);
int FITS_KeyWrite_d(void* kb, const char* name, double value, const char* unit,
                    const char* comment);
int FITS_PutRow(void* kb, int row);
int FITS_BlockPrintKernel(void* kb);
int FITS_SetKernelOption(const char* option);
void* FITS_PrimaryOpen(void* kds);
int FITS_CardWrite(void* kb, int kind, const char* name, const char* text, long number,
                   const char* comment);
int FITS_HeaderCards(void* kb, char** text, int* ncards);
void FITS_Version(char* buf, int size);

/// The library error code, shared by the inner layer (dmiErrorSet) and the
/// kernels (dmkErrorSet). Never cleared except by dmInit.
void dmiErrorSet(int code);
void dmkErrorSet(int code);
/// Sets the error code and the text that dmErrorGetText hands out (the
/// reason of the failure, in the kernel's own words).
void dmiErrorReport(int code, const char* text);

// --- the library state: every value the data model changes while it runs ---

/// Dataset slots handed out since dmInit.
struct Context {
  int count = 0;                              // slots used; only dmInit lowers it
  dmDataset* datasets[DM_MAX_DATASETS] = {};  // slot k (1-based) at index k-1
};

struct DmState {
  Context slots;
  Context* context = &slots;                    // null once detached by dmiFree
  int error = DM_ERROR_NONE;                    // the library error code
  char error_text[DM_ERROR_TEXT_LEN + 1] = "";  // what dmErrorGetText hands out
  dmKernel* create_kernel = &FITS;
  int table_flag = 2;    // FITS_TABLE_FLAG: tables are created binary (FITS_HDU_BINARY)
  int key_decimals = 8;  // decimals of the real keys the FITS kernel writes
};

/// The one instance. context, CreateKernel and FITS_TABLE_FLAG name fields of it.
extern DmState dm_state;
