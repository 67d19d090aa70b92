// Provenance of the output file: who made it (CREATOR), when (DATE), from what
// (TELESCOP and INSTRUME of the event file, HISTORY cards naming the inputs and
// every parameter's effective value) and for how many source positions
// (NSOURCE), in the primary header and in the GAIN_HIST table; the region file
// and its sampling step in the SOURCE_POS table. The keys are
// written with CFITSIO into the closed table file before it takes its final
// name, because the data model writes only numeric keys into table blocks.
#include <fitsio.h>

#include <cstdio>
#include <string>

#include "app/varto.h"
#include "util/util.h"

namespace {

// Copies the string key name of the open HDU into value; false when absent.
bool read_text_key(fitsfile* fptr, const char* name, char* value) {
  int status = 0;
  char comment[FLEN_COMMENT];
  fits_read_key_str(fptr, name, value, comment, &status);
  return status == 0;
}

// TELESCOP and INSTRUME of the event file: its primary header first, then the
// events block. Either stays empty when the file does not have it.
void read_mission(const char* file, const char* extname, char* telescop, char* instrume) {
  telescop[0] = '\0';
  instrume[0] = '\0';
  fitsfile* fptr = nullptr;
  int status = 0;
  if (fits_open_file(&fptr, file, READONLY, &status) != 0) return;
  bool have_tel = read_text_key(fptr, "TELESCOP", telescop);
  bool have_ins = read_text_key(fptr, "INSTRUME", instrume);
  if ((!have_tel || !have_ins) &&
      fits_movnam_hdu(fptr, ANY_HDU, const_cast<char*>(extname), 0, &status) == 0) {
    if (!have_tel) have_tel = read_text_key(fptr, "TELESCOP", telescop);
    if (!have_ins) have_ins = read_text_key(fptr, "INSTRUME", instrume);
  }
  if (!have_tel) telescop[0] = '\0';
  if (!have_ins) instrume[0] = '\0';
  status = 0;
  fits_close_file(fptr, &status);
}

// The provenance keys and cards of p into the current HDU.
void write_keys(fitsfile* fptr, const provenance* p, const char* telescop, const char* instrume,
                int* status) {
  char creator[64];
  std::snprintf(creator, sizeof creator, "varto %s", VARTO_VERSION);
  fits_update_key_str(fptr, "CREATOR", creator, "Program that wrote this file", status);
  fits_write_date(fptr, status);
  if (telescop[0] != '\0')
    fits_update_key_str(fptr, "TELESCOP", telescop, "Mission, from the event file", status);
  if (instrume[0] != '\0')
    fits_update_key_str(fptr, "INSTRUME", instrume, "Instrument, from the event file", status);
  fits_update_key_lng(fptr, "NSOURCE", p->nsource, "Number of source positions", status);
  for (int i = 0; i < p->count; ++i) fits_write_history(fptr, p->lines[i], status);
}

}  // namespace

provenance* alloc_provenance(void) { return new provenance{}; }

void free_provenance(provenance* p) { delete p; }

void provenance_add(provenance* p, const char* label, const char* value) {
  if (p == nullptr || p->count >= PROV_MAX_LINES) return;
  std::string text(value != nullptr ? value : "");
  const std::size_t first = text.find_first_not_of(' ');
  text = first == std::string::npos ? std::string()
                                    : text.substr(first, text.find_last_not_of(' ') - first + 1);
  std::snprintf(p->lines[p->count], sizeof p->lines[p->count], "%s%s", label, text.c_str());
  ++p->count;
}

int varto_write_provenance(const char* file, const provenance* p) {
  if (p == nullptr) return 0;
  char telescop[FLEN_VALUE];
  char instrume[FLEN_VALUE];
  read_mission(p->event_file, p->event_ext, telescop, instrume);
  fitsfile* fptr = nullptr;
  int status = 0;
  if (fits_open_file(&fptr, file, READWRITE, &status) != 0) return status;
  write_keys(fptr, p, telescop, instrume, &status);
  if (status == 0 &&
      fits_movnam_hdu(fptr, BINARY_TBL, const_cast<char*>("GAIN_HIST"), 0, &status) == 0) {
    write_keys(fptr, p, telescop, instrume, &status);
  }
  if (status == 0 && p->positions != nullptr &&
      fits_movnam_hdu(fptr, BINARY_TBL, const_cast<char*>("SOURCE_POS"), 0, &status) == 0) {
    if (p->region[0] != '\0') {
      fits_update_key_longstr(fptr, "REGION", const_cast<char*>(p->region),
                              "Region file of the positions", &status);
    }
    fits_update_key_lng(fptr, "STEP", p->positions->step,
                        "Every STEP-th pixel in X and Y of the region was used", &status);
  }
  int close_status = 0;
  fits_close_file(fptr, &close_status);
  return status != 0 ? status : close_status;
}
