// dm/src/fits_records.cpp -- the FITS kernel's records and their lifetimes,
// the reading of a whole HDU header into card records (values kept in the
// file's value store), the classing of structural cards, the extension name,
// and the tables that translate CFITSIO codes into data-model codes.
#include "fits_int.h"

#include <cctype>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <new>

#include "util/util.h"

int& FITS_TABLE_FLAG = dm_state.table_flag;
static_assert(DmState{}.table_flag == FITS_HDU_BINARY,
              "tables are created binary until an option says otherwise");

namespace {

// Cards that describe the HDU's structure rather than carry user keys.
constexpr const char* kStructural[] = {"BITPIX",   "NAXIS",   "PCOUNT", "GCOUNT",
                                       "XTENSION", "TFIELDS", "EXTNAME"};
// Indexed families that are structural when they carry an index above 0.
constexpr const char* kStructuralIndexed[] = {"TTYPE", "TFORM", "NAXIS", "TUNIT", "TCRPX",
                                              "TCRVL", "TCDLT", "CRPIX", "CRVAL", "CDELT"};

// Image-style coordinate families and the table names they take in a table.
constexpr const char* kTableCoordNames[][2] = {
    {"CRPIX", "TCRPX"}, {"CRVAL", "TCRVL"}, {"CDELT", "TCDLT"}};

bool in_list(const char* word, const char* const* list, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (std::strcmp(word, list[i]) == 0) return true;
  return false;
}

}  // namespace

void FITS_CopyText(const char* src, char* dst, size_t room) {
  if (room == 0) return;
  std::snprintf(dst, room, "%s", src != nullptr ? src : "");
}

int FITS_Failed(int status) {
  if (status == 0) return 0;
  char text[FLEN_STATUS] = "";
  fits_get_errstatus(status, text);
  char reason[DM_ERROR_TEXT_LEN + 1];
  std::snprintf(reason, sizeof reason, "%s (CFITSIO status %d)", text, status);
  dmiErrorReport(status, reason);
  fits_clear_errmsg();
  return status;
}

// --- records ---------------------------------------------------------------

FITS_Dataset* FITS_DatasetAlloc(fitsfile* fptr) {
  if (fptr == nullptr) return nullptr;
  FITS_Dataset* ds = new (std::nothrow) FITS_Dataset();
  if (ds == nullptr) return nullptr;
  ds->fptr = fptr;
  ds->store = store_alloc();
  dmiTrace(1, "*** ALLOC %12ld FITS DS ***", dmiAddr(ds));
  return ds;
}

void FITS_DatasetFree(FITS_Dataset* ds) {
  if (ds == nullptr) return;
  dmsg(1, "Free store");
  store_free(ds->store);
  dmiTrace(1, "*** FREE  %12ld FITS DS ***", dmiAddr(ds));
  delete ds;
  dmsg(1, "Free FITS DS OK");
}

FITS_Block* FITS_BlockAlloc(FITS_Dataset* ds, int hdutype, int hdu, const char* mode) {
  FITS_Block* block = new (std::nothrow) FITS_Block();
  if (block == nullptr) return nullptr;
  block->dataset = ds;
  block->hdutype = hdutype;
  block->hdu = hdu;
  if (mode != nullptr && std::strcmp(mode, "R") == 0) {
    block->header_written = 1;
    dmsg(1, "Init flag cleared on open");
  } else {
    block->writable = 1;
    dmsg(1, "Init flag set on create");
  }
  dmiTrace(1, "*** ALLOC %12ld FITS BLOCK %d ***", dmiAddr(block), hdu);
  return block;
}

void FITS_BlockFree(FITS_Block* block) {
  if (block == nullptr) return;
  FITS_HeaderClose(block);
  dmsg(1, "Free cols");
  FITS_FreeCols(block);
  dmsg(1, "Free table ok");
  dmiTrace(1, "*** FREE  %12ld FITS BLOCK %d ***", dmiAddr(block), block->hdu);
  delete block;
}

int FITS_AllocCols(FITS_Block* block, int n) {
  if (block == nullptr) return 1;
  FITS_FreeCols(block);
  if (n <= 0) n = FITS_DEFAULT_COLS;
  // CFITSIO copies names, units and forms of up to FLEN_VALUE-1 characters
  // into these slots, so they are that wide whatever is kept of them later.
  block->ttype = alloc_array_c(FITS_COL_TEXT - 1, n);
  block->tunit = alloc_array_c(FITS_COL_TEXT - 1, n);
  block->tform = alloc_array_c(FITS_COL_TEXT - 1, n);
  block->datatype = new (std::nothrow) int[static_cast<size_t>(n)]();
  block->nelem = new (std::nothrow) int[static_cast<size_t>(n)]();
  block->scaled = new (std::nothrow) int[static_cast<size_t>(n)]();
  if (block->ttype == nullptr || block->tunit == nullptr || block->tform == nullptr ||
      block->datatype == nullptr || block->nelem == nullptr || block->scaled == nullptr) {
    FITS_FreeCols(block);
    return 1;
  }
  block->maxcols = n;
  dmiTrace(1, "*** ALLOC %12ld FITS Table ***", dmiAddr(block->ttype));
  return 0;
}

void FITS_FreeCols(FITS_Block* block) {
  if (block == nullptr) return;
  if (block->ttype != nullptr) dmiTrace(1, "*** FREE  %12ld FITS Table ***", dmiAddr(block->ttype));
  free_array_c(block->ttype);
  free_array_c(block->tunit);
  free_array_c(block->tform);
  delete[] block->datatype;
  delete[] block->nelem;
  delete[] block->scaled;
  block->ttype = block->tunit = block->tform = nullptr;
  block->datatype = block->nelem = block->scaled = nullptr;
  block->maxcols = 0;
}

// --- header ----------------------------------------------------------------

int FITS_ReadKeyNo(fitsfile* fptr, int k, char* keyword, char* value, char* comment, int* status) {
  keyword[0] = value[0] = comment[0] = '\0';
  fits_read_keyn(fptr, k, keyword, value, comment, status);
  if (*status != 0) return FITS_KEY_OTHER;
  // Blank-keyword cards are commentary like COMMENT and HISTORY: their text
  // follows column 8 and they carry no value.
  bool blank = keyword[0] == '\0';
  if (blank || std::strcmp(keyword, "COMMENT") == 0 || std::strcmp(keyword, "HISTORY") == 0) {
    char card[FLEN_CARD] = "";
    fits_read_record(fptr, k, card, status);
    FITS_CopyText(std::strlen(card) > 9 ? card + 9 : "", value, FLEN_CARD);
    FITS_CopyText(" ", comment, FLEN_CARD);
    return FITS_KEY_COMMENT;
  }
  char letter = ' ';
  int type_status = 0;
  fits_get_keytype(value, &letter, &type_status);
  return FITS_LetterToKeyType(letter);
}

int FITS_HeaderOpen(FITS_Block* block) {
  if (block == nullptr || block->dataset == nullptr) return 0;
  FITS_Dataset* ds = block->dataset;
  fitsfile* fptr = ds->fptr;
  int status = 0;
  int hdutype = 0;
  int ncards = 0;
  if (fits_movabs_hdu(fptr, block->hdu, &hdutype, &status) == 0) {
    int position = 0;
    fits_get_hdrpos(fptr, &ncards, &position, &status);
    if (ncards < 0) ncards = 0;
  } else {
    // Another HDU's cards must not be taken for this one's: the header stays empty.
    FITS_Failed(status);
    FITS_HeaderClose(block);
    return status;
  }

  FITS_HeaderClose(block);
  block->header = new (std::nothrow) FITS_Key[static_cast<size_t>(ncards > 0 ? ncards : 1)];
  if (block->header == nullptr) return 0;
  block->nkeys = ncards;
  dmiTrace(1, "*** ALLOC %12ld FITS HEADER TO BLOCK %12ld NKEYS %d ***", dmiAddr(block->header),
           dmiAddr(block), ncards);

  for (int k = 1; k <= ncards; ++k) {
    FITS_Key& key = block->header[k - 1];
    char keyword[FLEN_KEYWORD];
    char value[FLEN_CARD];
    char comment[FLEN_CARD];
    status = 0;
    key.keytype = FITS_ReadKeyNo(fptr, k, keyword, value, comment, &status);
    if (status != 0) {
      // A card that cannot be read leaves the header incomplete: the block is
      // not offered with part of its keys.
      FITS_HeaderClose(block);
      return FITS_Failed(status);
    }
    FITS_CopyText(keyword, key.name, sizeof key.name);
    FITS_CopyText(comment, key.comment, sizeof key.comment);

    // A search by keyword starts at the current card, so stepping back to
    // card k-1 first makes the typed reads below find card k itself even
    // when the keyword occurs more than once in the header.
    char card[FLEN_CARD];
    status = 0;
    fits_read_record(fptr, k - 1, card, &status);
    status = 0;
    switch (key.keytype) {
      case FITS_KEY_INT: {
        long j = 0;
        fits_read_key_lng(fptr, keyword, &j, nullptr, &status);
        if (j >= INT32_MIN && j <= INT32_MAX) {
          int32_t i = static_cast<int32_t>(j);
          key.value = store_i(ds->store, &i, 1);
          break;
        }
        // Wider than a 32-bit integer: kept whole as a real, read again from
        // card k.
        key.keytype = FITS_KEY_REAL;
        status = 0;
        fits_read_record(fptr, k - 1, card, &status);
        status = 0;
        [[fallthrough]];
      }
      case FITS_KEY_REAL: {
        double d = 0.0;
        fits_read_key_dbl(fptr, keyword, &d, nullptr, &status);
        key.value = store_d(ds->store, &d, 1);
        break;
      }
      case FITS_KEY_LOGICAL: {
        int q = 0;
        fits_read_key_log(fptr, keyword, &q, nullptr, &status);
        key.value = store_q(ds->store, &q, 1);
        break;
      }
      case FITS_KEY_STRING: {
        char text[FLEN_VALUE] = "";
        fits_read_key_str(fptr, keyword, text, nullptr, &status);
        key.value = store_c(ds->store, text);
        break;
      }
      case FITS_KEY_COMMENT: key.value = store_c(ds->store, value); break;
      default:
        tmsg("Unknown key type");
        tmsg(value);
        break;
    }
    // A value the store could not take leaves a card without a value, which
    // is what key type 5 means to every reader of the card list.
    if (key.value == nullptr) key.keytype = FITS_KEY_OTHER;
  }
  FITS_SpecialKeys(block);
  return 0;
}

void FITS_HeaderClose(FITS_Block* block) {
  if (block == nullptr || block->header == nullptr) return;
  dmiTrace(1, "*** FREE  %12ld FITS HEADER ***", dmiAddr(block->header));
  delete[] block->header;
  block->header = nullptr;
  block->nkeys = 0;
}

void FITS_StripKeyIndex(const char* keyword, char* base, int* index) {
  *index = 0;
  if (keyword == nullptr) {
    base[0] = '\0';
    return;
  }
  size_t len = std::strlen(keyword);
  size_t cut = len;
  while (cut > 1 && std::isdigit(static_cast<unsigned char>(keyword[cut - 1])) != 0) --cut;
  size_t keep = cut < FLEN_KEYWORD ? cut : FLEN_KEYWORD - 1;
  std::memcpy(base, keyword, keep);
  base[keep] = '\0';
  long long n = 0;
  for (size_t i = cut; i < len; ++i) {
    n = n * 10 + (keyword[i] - '0');
    if (n > INT_MAX) {
      n = INT_MAX;
      break;
    }
  }
  *index = static_cast<int>(n);
}

void FITS_SpecialKeys(FITS_Block* block) {
  if (block == nullptr || block->header == nullptr) return;
  for (int k = 0; k < block->nkeys; ++k) {
    FITS_Key& key = block->header[k];
    FITS_StripKeyIndex(key.name, key.base, &key.index);
    key.special =
        in_list(key.name, kStructural, std::size(kStructural)) ||
        (key.index > 0 && in_list(key.base, kStructuralIndexed, std::size(kStructuralIndexed)));
    // In a table, image-style coordinate cards describe columns: give them the
    // table names so that both spellings reach the column coordinates.
    if (block->hdutype == FITS_HDU_IMAGE) continue;
    for (const auto& [image, table] : kTableCoordNames) {
      if (std::strcmp(key.base, image) == 0) {
        FITS_CopyText(table, key.base, sizeof key.base);
        break;
      }
    }
  }
}

void FITS_GetBlockName(FITS_Block* block, char* name) {
  if (block == nullptr || block->dataset == nullptr) {
    if (name != nullptr) FITS_CopyText(" ", name, DM_NAME_LEN + 1);
    return;
  }
  char extname[FLEN_VALUE] = "";
  int status = 0;
  fits_read_key_str(block->dataset->fptr, "EXTNAME", extname, nullptr, &status);
  if (status == KEY_NO_EXIST) {
    FITS_CopyText(block->hdu == 1 ? "PRIMARY" : " ", extname, sizeof extname);
  } else if (status != 0) {
    FITS_CopyText(" ", extname, sizeof extname);
    FITS_Failed(status);
  } else if (extname[0] == '\0') {
    FITS_CopyText(" ", extname, sizeof extname);
  }
  FITS_CopyText(extname, block->name, sizeof block->name);
  if (name != nullptr) FITS_CopyText(extname, name, DM_NAME_LEN + 1);
}

// --- type codes --------------------------------------------------------------

int FITS_ColumnParseType(const char* tform, int* datatype, long* repeat, long* width) {
  char form[FLEN_VALUE];
  FITS_CopyText(tform, form, sizeof form);
  int typecode = 0;
  long r = 0;
  long w = 0;
  int status = 0;
  fits_binary_tform(form, &typecode, &r, &w, &status);
  if (datatype != nullptr) *datatype = status == 0 ? FITS_TformCodeToType(typecode) : DM_TYPE_NONE;
  if (repeat != nullptr) *repeat = r;
  if (width != nullptr) *width = w;
  return status;
}

void FITS_ColumnComposeType(int datatype, int repeat, int size, char* tform) {
  char letter = 'A';
  int count = repeat;
  switch (datatype) {
    case DM_TYPE_S: letter = 'I'; break;
    case DM_TYPE_I: letter = 'J'; break;
    case DM_TYPE_R: letter = 'E'; break;
    case DM_TYPE_D: letter = 'D'; break;
    case DM_TYPE_Q: letter = 'L'; break;
    case DM_TYPE_C: count = size < 0 ? 0 : size; break;
    default: break;
  }
  std::snprintf(tform, FLEN_VALUE, "%d%c", count, letter);
}

int FITS_TypeToBitpix(int datatype) {
  switch (datatype) {
    case DM_TYPE_S: return SHORT_IMG;
    case DM_TYPE_I: return LONG_IMG;
    case DM_TYPE_R: return FLOAT_IMG;
    case DM_TYPE_D: return DOUBLE_IMG;
    case DM_TYPE_UB: return BYTE_IMG;
    case DM_TYPE_US: return SHORT_IMG;
    case DM_TYPE_UL: return LONG_IMG;
    case DM_TYPE_C:
    case DM_TYPE_BR:
    case DM_TYPE_Q:
    case DM_TYPE_NONE: return 0;
    default: tmsg("Bad data type"); return 0;
  }
}

int FITS_BitpixToType(int bitpix) {
  switch (bitpix) {
    case BYTE_IMG: return DM_TYPE_UB;
    case SHORT_IMG: return DM_TYPE_S;
    case LONG_IMG: return DM_TYPE_I;
    case FLOAT_IMG: return DM_TYPE_R;
    case DOUBLE_IMG: return DM_TYPE_D;
    default: return DM_TYPE_NONE;
  }
}

int FITS_KeyTypeToType(int keytype) {
  switch (keytype) {
    case FITS_KEY_REAL: return DM_TYPE_D;
    case FITS_KEY_INT: return DM_TYPE_I;
    case FITS_KEY_STRING: return DM_TYPE_C;
    case FITS_KEY_LOGICAL: return DM_TYPE_Q;
    default: return DM_TYPE_NONE;
  }
}

int FITS_LetterToKeyType(char letter) {
  switch (letter) {
    case 'C': return FITS_KEY_STRING;
    case 'F': return FITS_KEY_REAL;
    case 'I': return FITS_KEY_INT;
    case 'L': return FITS_KEY_LOGICAL;
    default: tmsg("Unknown key type"); return FITS_KEY_OTHER;
  }
}

int FITS_TformCodeToType(int typecode) {
  switch (typecode) {
    case TBIT:
    case TBYTE: return DM_TYPE_UB;
    case TLOGICAL: return DM_TYPE_Q;
    case TSTRING: return DM_TYPE_C;
    case TSHORT: return DM_TYPE_S;
    case TLONG: return DM_TYPE_I;
    case TFLOAT: return DM_TYPE_R;
    case TDOUBLE: return DM_TYPE_D;
    default: return DM_TYPE_NONE;
  }
}

int FITS_GetBlockType(int hdutype) {
  switch (hdutype) {
    case IMAGE_HDU: return DM_BLOCK_IMAGE;
    case ASCII_TBL:
    case BINARY_TBL: return DM_BLOCK_TABLE;
    default: return DM_BLOCK_OTHER;
  }
}

int FITS_SetBlockType(int blocktype) {
  switch (blocktype) {
    case DM_BLOCK_TABLE: return FITS_TABLE_FLAG;
    case DM_BLOCK_IMAGE: return FITS_HDU_IMAGE;
    default: return FITS_HDU_OTHER;
  }
}

void FITS_SetTableType(int hdutype) { FITS_TABLE_FLAG = hdutype; }

int FITS_SelectHDU(FITS_Block* block) {
  if (block == nullptr || block->dataset == nullptr) return 0;
  FITS_Dataset* ds = block->dataset;
  int now = 0;
  fits_get_hdu_num(ds->fptr, &now);
  if (now == block->hdu) return 0;
  int status = 0;
  int hdutype = 0;
  fits_movabs_hdu(ds->fptr, block->hdu, &hdutype, &status);
  return status;
}
