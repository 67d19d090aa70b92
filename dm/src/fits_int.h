// dm/src/fits_int.h -- the FITS kernel's own records (one per file, one per HDU,
// one per header card), header reading, and the translation tables between
// CFITSIO's codes and the data model's codes. Only the FITS kernel uses them.
#pragma once

#include <fitsio.h>

#include <cstddef>

#include "dm_kernel.h"
#include "store.h"
#include "trace_int.h"

/// Room for a column name, unit or TFORM as CFITSIO hands them out.
constexpr int FITS_COL_TEXT = FLEN_VALUE;
/// Names and units of created columns are cut to this many characters.
constexpr int FITS_COL_NAME_LEN = 31;
/// Column lists made for a table that declares no columns, and the most a
/// created table can hold.
constexpr int FITS_DEFAULT_COLS = 100;
/// Comments of header cards keep at most this many characters.
constexpr int FITS_COMMENT_LEN = 80;

/// Kernel key types of header cards.
constexpr int FITS_KEY_REAL = 0;
constexpr int FITS_KEY_INT = 1;
constexpr int FITS_KEY_STRING = 2;
constexpr int FITS_KEY_LOGICAL = 3;
constexpr int FITS_KEY_COMMENT = 4;  // COMMENT, HISTORY and blank-keyword cards
constexpr int FITS_KEY_OTHER = 5;

/// HDU types (CFITSIO's for HDUs met in a file; 3 for created "other" blocks).
constexpr int FITS_HDU_IMAGE = 0;
constexpr int FITS_HDU_ASCII = 1;
constexpr int FITS_HDU_BINARY = 2;
constexpr int FITS_HDU_OTHER = 3;

/// The HDU type given to tables created from now on (2 binary, 1 ASCII); binary
/// again after dmInit. A field of dm_state.
extern int& FITS_TABLE_FLAG;

/// The kernel dataset: one open or created FITS file.
struct FITS_Dataset {
  fitsfile* fptr = nullptr;  // CFITSIO file
  int hdu_count = 0;         // HDUs stepped through or created; next block is hdu_count+1
  Store* store = nullptr;    // values of every header card read from this file
  int write_status = 0;      // first CFITSIO status of a failed write, returned at close
};

/// One header card.
struct FITS_Key {
  char name[FLEN_KEYWORD] = "";  // keyword
  char base[FLEN_KEYWORD] = "";  // keyword without its trailing digits
  int index = 0;                 // number formed by those digits, 0 if none
  int keytype = FITS_KEY_OTHER;  // FITS_KEY_REAL ... FITS_KEY_OTHER
  void* value = nullptr;         // into the value store: double, int32, int, or char** slot
  char comment[FITS_COMMENT_LEN + 1] = "";
  int special = 0;  // structural card, not offered as a key
};

/// The kernel block: one HDU met in the file or created.
struct FITS_Block {
  int hdu = 0;                   // HDU number, 1-based
  int hdutype = FITS_HDU_IMAGE;  // FITS_HDU_IMAGE ... FITS_HDU_OTHER
  FITS_Dataset* dataset = nullptr;
  FITS_Key* header = nullptr;        // one record per card, null until read
  char name[DM_NAME_LEN + 1] = " ";  // EXTNAME
  int nkeys = 0;                     // header cards
  int nrows = 0;
  int ncols = 0;
  int maxcols = 0;         // room in the column lists
  char** ttype = nullptr;  // column lists (FITS_COL_TEXT characters each)
  char** tunit = nullptr;
  char** tform = nullptr;
  int* datatype = nullptr;  // data-model type code per column
  int* nelem = nullptr;     // element count per column
  int* scaled = nullptr;    // 1 for a column with TSCALn other than 1 or TZEROn other than 0
  long heap = 0;            // PCOUNT of a binary table; 0 when created
  int naxis = 2;            // image shape
  long naxes[DM_MAX_DIMS] = {0, 0};
  int bitpix = 8;
  int header_written = 0;  // 1 once the HDU header exists in the file
  int writable = 0;        // 1 for a created block
};

/// New kernel dataset for an open CFITSIO file (null for a null file pointer).
FITS_Dataset* FITS_DatasetAlloc(fitsfile* fptr);
/// Frees the value store, then the record (the file is not closed). Null ignored.
void FITS_DatasetFree(FITS_Dataset* ds);

/// New kernel block; mode "R" marks its header as present in the file, any
/// other mode as pending. Freed by FITS_BlockFree.
FITS_Block* FITS_BlockAlloc(FITS_Dataset* ds, int hdutype, int hdu, const char* mode);
/// Frees the header cards, the column lists and the record. Null ignored.
void FITS_BlockFree(FITS_Block* block);

/// Makes the six column lists for n columns (FITS_DEFAULT_COLS when n is 0);
/// any previous lists are freed first. 0, or 1 when memory runs out.
int FITS_AllocCols(FITS_Block* block, int n);
void FITS_FreeCols(FITS_Block* block);

/// Reads every card of the block's HDU into memory, values into the store. 0,
/// or the CFITSIO status when the HDU or one of its cards cannot be read (the
/// block then holds no header).
int FITS_HeaderOpen(FITS_Block* block);
void FITS_HeaderClose(FITS_Block* block);
/// Reads card k: keyword (FLEN_KEYWORD), value (FLEN_CARD), comment (FLEN_CARD).
/// Returns the kernel key type; a card that cannot be read sets *status.
int FITS_ReadKeyNo(fitsfile* fptr, int k, char* keyword, char* value, char* comment, int* status);
/// Sets base name, index and special flag of every card of the header.
void FITS_SpecialKeys(FITS_Block* block);
/// Splits the trailing digits (never the first character) off keyword.
/// base holds FLEN_KEYWORD bytes.
void FITS_StripKeyIndex(const char* keyword, char* base, int* index);
/// Writes the extension name (or "PRIMARY"/" ") into name (DM_NAME_LEN+1 bytes)
/// and into the block.
void FITS_GetBlockName(FITS_Block* block, char* name);

/// Decodes a TFORM into data type, repeat and width. Returns the CFITSIO status.
int FITS_ColumnParseType(const char* tform, int* datatype, long* repeat, long* width);
/// Composes a TFORM (FLEN_VALUE bytes) for a created column.
void FITS_ColumnComposeType(int datatype, int repeat, int size, char* tform);

/// Writes the HDU header of a created block. Returns the CFITSIO status.
int FITS_BlockInit(FITS_Block* block);
/// Takes the next HDU of the file as a read-mode block, or null at the end.
FITS_Block* FITS_BlockGetNext(FITS_Dataset* ds, char* name, int* blocktype);

/// Translation tables.
int FITS_TypeToBitpix(int datatype);
int FITS_BitpixToType(int bitpix);
int FITS_KeyTypeToType(int keytype);
int FITS_LetterToKeyType(char letter);
int FITS_TformCodeToType(int typecode);
int FITS_GetBlockType(int hdutype);
int FITS_SetBlockType(int blocktype);
void FITS_SetTableType(int hdutype);

/// Records a nonzero CFITSIO status as the library error code, with CFITSIO's
/// text for it as the reason (dmErrorGetText), and clears CFITSIO's message
/// stack. Returns status.
int FITS_Failed(int status);

/// Reads every header of a file CFITSIO has just opened as raw bytes and
/// refuses the file (nonzero result, reason recorded) when a header holds a
/// byte outside ASCII 32-126, ends before its END card, or gives a compressed
/// image a tile size that is not positive. 0 when every header passes.
int FITS_CheckHeaders(fitsfile* fptr, const char* filename);

/// Refuses (DM_ERROR_REFUSED, reason recorded) a gzip or zip file whose claimed
/// uncompressed size its compressed bytes cannot produce; 0 for any other file.
/// Called before CFITSIO opens the file, since it allocates the claim at once.
int FITS_CheckCompressedSize(const char* filename);
/// Refuses the current HDU's table (nonzero result, reason recorded) when the
/// file does not hold the rows and heap its header claims. 0 when it does.
int FITS_CheckTableSize(FITS_Block* block);

/// Bounded copy into a buffer of room bytes, always terminated; null copies "".
void FITS_CopyText(const char* src, char* dst, size_t room);

/// Makes the block's HDU the file's current HDU, so that reads and writes go
/// to the right place whichever block was touched last. CFITSIO status.
int FITS_SelectHDU(FITS_Block* block);
