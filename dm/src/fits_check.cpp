// dm/src/fits_check.cpp -- checks on a FITS file that must pass before CFITSIO
// is let loose on its contents. When a file is opened, every header in it is
// read as raw bytes through CFITSIO's byte layer (which sees the decompressed
// bytes of a compressed file too) and refused when it holds a byte outside
// ASCII 32-126, describes a tile-compressed image with a tile size that is not
// positive, or a table with more columns (TFIELDS) than TFORMn cards: CFITSIO
// overruns a buffer on the first, divides by zero on the second and allocates a
// record per claimed column on the third while it moves to such an HDU. It is
// refused too when its sizes give the data no possible length (a negative
// NAXISn, say), because CFITSIO then reads arbitrary bytes as the next header,
// and when a string value has no closing quote, on which WCSLIB's header
// parser overruns a buffer. When a
// table is opened, the rows its header claims are held against the bytes
// actually present, before anyone sizes an allocation by them. Before a
// compressed file is opened at all, the uncompressed size it claims is held
// against what its compressed bytes can produce, because CFITSIO allocates the
// claimed size in one piece.
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fits_int.h"

// CFITSIO's routine that tells whether a file it is about to open is compressed,
// resolving the name the way its open does (trying .gz, .Z and the other
// suffixes when the name itself is absent). Declared in CFITSIO's internal header.
extern "C" int file_is_compressed(char* filename);
extern "C" int file_openfile(char* filename, int rwmode, FILE** diskfile);

// CFITSIO's reader of raw bytes at the current byte position. It is exported by
// the library but declared only in CFITSIO's internal header.
extern "C" int ffgbyt(fitsfile* fptr, LONGLONG nbytes, void* buffer, int* status);

namespace {

constexpr int kReportEof = 0;  // ffmbyt: a position past the end is an error
constexpr int kCard = 80;
constexpr int kBlock = 2880;
constexpr int kCardsPerBlock = kBlock / kCard;

// What the walk needs from one header.
struct HeaderFacts {
  long long bitpix = 0;
  long long naxis = 0;
  long long axes[1000] = {};  // NAXISn; FITS allows at most 999 axes
  long long pcount = 0;
  long long gcount = 1;
  bool zimage = false;
  long long znaxis = 0;
  long long znaxes[1000] = {};
  long long ztiles[1000] = {};
  bool has_ztile[1000] = {};
  bool table = false;  // XTENSION = 'BINTABLE' or 'TABLE'
  long long tfields = 0;
  int tforms = 0;          // TFORMn cards
  std::string unreadable;  // first structural keyword whose value is not a whole number
};

// The keyword of a card: up to its first blank, as CFITSIO reads it (at most 8 characters).
std::string keyword(const char* card) {
  int n = 0;
  while (n < 8 && card[n] != ' ') ++n;
  return std::string(card, static_cast<size_t>(n));
}

// The value field of a card (columns 11-80 up to a comment), trimmed.
std::string value(const char* card) {
  if (std::strncmp(card + 8, "= ", 2) != 0) return "";
  std::string v(card + 10, kCard - 10);
  if (!v.empty() && v.find('\'') == std::string::npos) v = v.substr(0, v.find('/'));
  const size_t first = v.find_first_not_of(' ');
  if (first == std::string::npos) return "";
  v = v.substr(first, v.find_last_not_of(' ') - first + 1);
  // CFITSIO takes a value that is not a string to end at the first blank, so
  // "T   GCO" is true and "2   0" is 2: read it the same way.
  if (v[0] != '\'') v = v.substr(0, v.find(' '));
  return v;
}

// A whole integer value; false for anything else (a real, a string, nothing).
bool integer(const std::string& text, long long* out) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const long long v = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || end == text.c_str() || *end != '\0') return false;
  *out = v;
  return true;
}

// n of a keyword base followed by 1-999 (e.g. "NAXIS12" -> 12), else 0.
int indexed(const std::string& key, const char* base) {
  const size_t len = std::strlen(base);
  if (key.size() <= len || key.compare(0, len, base) != 0) return 0;
  long long n = 0;
  for (size_t i = len; i < key.size(); ++i) {
    if (std::isdigit(static_cast<unsigned char>(key[i])) == 0) return 0;
    n = n * 10 + (key[i] - '0');
    if (n > 999) return 0;
  }
  return static_cast<int>(n);
}

void take(const char* card, HeaderFacts& f) {
  const std::string key = keyword(card);
  const std::string v = value(card);
  long long n = 0;
  int i = 0;
  // The sizes that place the next header must be read the one way CFITSIO
  // reads them; a value that is no whole number leaves the layout unknown.
  const auto size = [&](long long* out) {
    if (!integer(v, out) && f.unreadable.empty()) f.unreadable = key;
  };
  if (key == "BITPIX")
    size(&f.bitpix);
  else if (key == "NAXIS")
    size(&f.naxis);
  else if (key == "PCOUNT")
    size(&f.pcount);
  else if (key == "GCOUNT")
    size(&f.gcount);
  else if (key == "ZIMAGE")
    f.zimage = v == "T";
  else if (key == "XTENSION")
    f.table = v.rfind("'BINTABLE", 0) == 0 || v.rfind("'TABLE ", 0) == 0;
  else if (key == "TFIELDS")
    size(&f.tfields);
  else if (indexed(key, "TFORM") > 0)
    ++f.tforms;
  else if (key == "ZNAXIS")
    size(&f.znaxis);
  else if ((i = indexed(key, "NAXIS")) > 0) {
    size(&n);
    f.axes[i] = n;
  } else if ((i = indexed(key, "ZNAXIS")) > 0 && integer(v, &n))
    f.znaxes[i] = n;
  else if ((i = indexed(key, "ZTILE")) > 0) {
    f.has_ztile[i] = true;
    // A value that is not a whole number counts as no usable tile size.
    f.ztiles[i] = integer(v, &n) ? n : 0;
  }
}

// Bytes of the data part the header describes, rounded up to whole blocks;
// -1 when the header's numbers give no sensible size.
long long data_bytes(const HeaderFacts& f) {
  if (f.naxis < 0 || f.naxis > 999 || f.pcount < 0 || f.gcount < 0) return -1;
  if (f.naxis == 0) return 0;
  const long long width = (f.bitpix < 0 ? -f.bitpix : f.bitpix) / 8;
  // Random groups (NAXIS1 = 0) leave the first axis out of the count.
  long long count = 1;
  for (long long i = f.axes[1] == 0 ? 2 : 1; i <= f.naxis; ++i) {
    if (f.axes[i] < 0) return -1;
    if (f.axes[i] != 0 && count > LLONG_MAX / 4 / f.axes[i]) return -1;
    count *= f.axes[i];
  }
  if (count > LLONG_MAX / 4 - f.pcount) return -1;
  count += f.pcount;
  if (f.gcount != 0 && count > LLONG_MAX / 4 / f.gcount) return -1;
  count *= f.gcount;
  if (width != 0 && count > LLONG_MAX / 4 / width) return -1;
  const long long bytes = count * width;
  return (bytes + kBlock - 1) / kBlock * kBlock;
}

// Whether a card with a value holds a string without its closing quote ('' is
// a quote inside the string). WCSLIB's header parser overruns a buffer on one.
// Commentary cards (COMMENT, HISTORY, a blank keyword) hold no value.
bool unclosed_string(const char* card) {
  const std::string key = keyword(card);
  if (key.empty() || key == "COMMENT" || key == "HISTORY") return false;
  if (std::strncmp(card + 8, "= ", 2) != 0) return false;
  int c = 10;
  while (c < kCard && card[c] == ' ') ++c;
  if (c == kCard || card[c] != '\'') return false;
  for (++c; c < kCard; ++c) {
    if (card[c] != '\'') continue;
    if (c + 1 < kCard && card[c + 1] == '\'') {
      ++c;
      continue;
    }
    return false;
  }
  return true;
}

// Reads n bytes at byte position at; false when the file ends first.
bool read_bytes(fitsfile* fptr, long long at, long long n, char* buf) {
  int status = 0;
  ffmbyt(fptr, at, kReportEof, &status);
  if (status == 0) ffgbyt(fptr, n, buf, &status);
  if (status != 0) fits_clear_errmsg();
  return status == 0;
}

// Reads block number k of the file (2880 bytes); false when it is not all there.
bool read_block(fitsfile* fptr, long long k, char* buf) {
  return read_bytes(fptr, k * kBlock, kBlock, buf);
}

int refuse(const char* filename, const std::string& what) {
  const std::string reason = std::string(filename) + ": " + what;
  dmiErrorReport(DM_ERROR_REFUSED, reason.c_str());
  return DM_ERROR_REFUSED;
}

}  // namespace

int FITS_CheckCompressedSize(const char* filename) {
  if (filename == nullptr) return 0;
  // Only a disk file is opened through the compressed-file reader that trusts
  // the claim; the name may carry CFITSIO's own bracketed or typed parts.
  char url[FLEN_FILENAME + 8] = "";
  if (std::strlen(filename) >= FLEN_FILENAME) return 0;
  std::snprintf(url, sizeof url, "%s", filename);
  char urltype[FLEN_FILENAME] = "";
  char infile[FLEN_FILENAME + 8] = "";
  char outfile[FLEN_FILENAME] = "";
  char extspec[FLEN_FILENAME] = "";
  char rowfilter[FLEN_FILENAME] = "";
  char binspec[FLEN_FILENAME] = "";
  char colspec[FLEN_FILENAME] = "";
  int status = 0;
  fits_parse_input_url(url, urltype, infile, outfile, extspec, rowfilter, binspec, colspec,
                       &status);
  if (status != 0) {
    fits_clear_errmsg();
    return 0;  // CFITSIO's open refuses the name itself
  }
  if (urltype[0] != '\0' && std::strcmp(urltype, "file://") != 0) return 0;
  if (infile[0] == '\0' || std::strlen(infile) > FLEN_FILENAME - 6) return 0;
  if (file_is_compressed(infile) == 0) return 0;
  // CFITSIO reads the size of the uncompressed file from the gzip trailer (the
  // last 4 bytes) or from a zip file's first local header (bytes 22-25).
  FILE* file = nullptr;
  if (file_openfile(infile, READONLY, &file) != 0 || file == nullptr) return 0;
  unsigned char magic[2] = {0, 0};
  unsigned char size[4] = {0, 0, 0, 0};
  long long bytes = -1;
  const char* kind = nullptr;
  bool gzip = false;
  if (std::fread(magic, 1, 2, file) == 2 && std::fseek(file, 0, SEEK_END) == 0) {
    bytes = std::ftell(file);
    if (magic[0] == 0x1f && magic[1] == 0x8b && bytes >= 4 && std::fseek(file, -4, SEEK_END) == 0 &&
        std::fread(size, 1, 4, file) == 4) {
      kind = "gzip trailer";
      gzip = true;
    } else if (magic[0] == 'P' && magic[1] == 'K' && bytes >= 26 &&
               std::fseek(file, 22, SEEK_SET) == 0 && std::fread(size, 1, 4, file) == 4) {
      kind = "zip header";
    }
  }
  std::fclose(file);
  if (kind == nullptr) return 0;
  unsigned long long claim =
      size[0] | (size[1] << 8) | (size[2] << 16) | (static_cast<unsigned long long>(size[3]) << 24);
  // The gzip size is kept modulo 2^32; CFITSIO takes a file larger than its
  // claim to mean one 2^32 more.
  if (gzip && static_cast<unsigned long long>(bytes) > claim) claim += 1ULL << 32;
  // Deflate packs at most 1032 bytes into one compressed byte (258-byte matches
  // of 2 bits each); a larger claim is a lie, however the file was made.
  constexpr unsigned long long kMaxRatio = 1032;
  if (claim <= static_cast<unsigned long long>(bytes) * kMaxRatio) return 0;
  char what[DM_ERROR_TEXT_LEN + 1];
  std::snprintf(what, sizeof what,
                "the %s claims %llu bytes uncompressed, more than %lld compressed bytes can "
                "hold (at most %llu each)",
                kind, claim, bytes, kMaxRatio);
  return refuse(filename, what);
}

int FITS_CheckHeaders(fitsfile* fptr, const char* filename) {
  if (fptr == nullptr) return 0;
  const char* name = filename != nullptr ? filename : " ";
  char buf[kBlock];
  long long at = 0;  // block number where the next header starts
  for (int hdu = 1;; ++hdu) {
    if (!read_block(fptr, at, buf)) {
      // The file ends after the last HDU, unless a new header begins in the
      // bytes that are left.
      char start[8];
      if (read_bytes(fptr, at * kBlock, 8, start) && std::strncmp(start, "XTENSION", 8) == 0) {
        return refuse(name, "HDU " + std::to_string(hdu) +
                                ": the file ends inside the header, before its END card");
      }
      return 0;
    }
    // Whatever follows the last HDU without starting a new one is never read
    // as a header.
    if (hdu > 1 && std::strncmp(buf, "XTENSION", 8) != 0) return 0;
    HeaderFacts facts;
    bool ended = false;
    for (int card_no = 1; !ended; ++card_no) {
      const int slot = (card_no - 1) % kCardsPerBlock;
      if (slot == 0 && card_no > 1 && !read_block(fptr, at + (card_no - 1) / kCardsPerBlock, buf)) {
        return refuse(name, "HDU " + std::to_string(hdu) +
                                ": the file ends inside the header, before its END card");
      }
      const char* card = buf + slot * kCard;
      for (int c = 0; c < kCard; ++c) {
        const unsigned char byte = static_cast<unsigned char>(card[c]);
        if (byte < 32 || byte > 126) {
          char what[160];
          std::snprintf(what, sizeof what,
                        "HDU %d, header card %d holds the byte 0x%02x; a FITS header holds "
                        "only ASCII 32-126",
                        hdu, card_no, byte);
          return refuse(name, what);
        }
      }
      if (unclosed_string(card)) {
        char what[160];
        std::snprintf(what, sizeof what,
                      "HDU %d, header card %d: its string value has no closing quote", hdu,
                      card_no);
        return refuse(name, what);
      }
      if (keyword(card) == "END") {
        ended = true;
        at += (card_no + kCardsPerBlock - 1) / kCardsPerBlock;
      } else {
        take(card, facts);
      }
    }
    // Every ZTILEn present counts, whatever ZIMAGE and ZNAXIS say: CFITSIO may
    // take a header for a compressed image that this walk reads otherwise.
    for (long long i = 1; i <= 999; ++i) {
      if (!facts.has_ztile[i] && !(facts.zimage && i <= facts.znaxis)) continue;
      // Without ZTILEn a tile is one row of the image.
      const long long tile = facts.has_ztile[i] ? facts.ztiles[i] : (i == 1 ? facts.znaxes[1] : 1);
      if (tile <= 0) {
        return refuse(name, "HDU " + std::to_string(hdu) + ": compressed image tile size ZTILE" +
                                std::to_string(i) + " is not a positive whole number");
      }
    }
    if (!facts.unreadable.empty()) {
      return refuse(name, "HDU " + std::to_string(hdu) + ": " + facts.unreadable +
                              " does not hold a whole number");
    }
    // CFITSIO sets up a record for every column TFIELDS claims before it reads
    // one TFORMn; a column without its TFORMn card cannot exist.
    if (facts.table && facts.tfields > facts.tforms) {
      return refuse(name, "HDU " + std::to_string(hdu) + ": TFIELDS = " +
                              std::to_string(facts.tfields) + " but the header describes " +
                              std::to_string(facts.tforms) + " columns (TFORMn cards)");
    }
    // CFITSIO places the next header by these sizes, and reads whatever lies
    // there as one, so a size that cannot be is refused here.
    const long long bytes = data_bytes(facts);
    if (bytes < 0) {
      return refuse(name, "HDU " + std::to_string(hdu) +
                              ": NAXIS, NAXISn, PCOUNT and GCOUNT give its data no possible size");
    }
    at += bytes / kBlock;
  }
}

int FITS_CheckTableSize(FITS_Block* block) {
  if (block == nullptr || block->dataset == nullptr) return 0;
  fitsfile* fptr = block->dataset->fptr;
  int status = 0;
  LONGLONG width = 0;
  LONGLONG rows = 0;
  fits_read_key_lnglng(fptr, "NAXIS1", &width, nullptr, &status);
  fits_read_key_lnglng(fptr, "NAXIS2", &rows, nullptr, &status);
  LONGLONG headstart = 0;
  LONGLONG datastart = 0;
  LONGLONG dataend = 0;
  fits_get_hduaddrll(fptr, &headstart, &datastart, &dataend, &status);
  if (status != 0) return FITS_Failed(status);
  const long long heap = block->heap > 0 ? block->heap : 0;
  // Rows of no bytes at all back no row count either.
  bool present = width >= 0 && rows >= 0 && (width > 0 || rows == 0);
  long long bytes = 0;
  if (present && width > 0 && rows > (LLONG_MAX - heap - datastart) / width) present = false;
  if (present) {
    bytes = width * rows + heap;
    if (bytes > 0) {
      // The last byte of the data must be there to be read.
      char last = 0;
      ffmbyt(fptr, datastart + bytes - 1, kReportEof, &status);
      if (status == 0) ffgbyt(fptr, 1, &last, &status);
      if (status != 0) {
        fits_clear_errmsg();
        present = false;
      }
    }
  }
  if (present) return 0;
  char reason[DM_ERROR_TEXT_LEN + 1];
  std::snprintf(reason, sizeof reason,
                "the header claims %lld rows of %lld bytes, more than the file holds",
                static_cast<long long>(rows), static_cast<long long>(width));
  dmiErrorReport(DM_ERROR_REFUSED, reason);
  return DM_ERROR_REFUSED;
}
