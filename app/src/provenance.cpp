// Provenance of the output file: who made it (CREATOR), when (DATE), from what
// (TELESCOP and INSTRUME of the event file, HISTORY cards naming the inputs and
// every parameter's effective value) and for how many source positions
// (NSOURCE). The mission keys are read from the one open event dataset; the
// keys are written through the data model while the output is being made.
#include <cstdio>
#include <string>

#include "app/varto.h"
#include "dm/dm.h"
#include "util/util.h"

namespace {

// The string key name of block into value (PROV_KEY_LEN + 1 bytes); false
// when the block does not have it as a string.
bool read_text_key(dmBlock* block, const char* name, char* value) {
  char text[PROV_KEY_LEN + 1] = "";
  if (dmKeyRead_c(block, name, text, sizeof text) == nullptr) return false;
  std::snprintf(value, PROV_KEY_LEN + 1, "%s", text);
  return true;
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

void provenance_read_mission(provenance* p, dmDataset* events, const char* extname) {
  if (p == nullptr) return;
  p->telescop[0] = '\0';
  p->instrume[0] = '\0';
  if (events == nullptr) return;
  dmBlock* primary = dmDatasetGetPrimary(events);
  bool have_tel = read_text_key(primary, "TELESCOP", p->telescop);
  bool have_ins = read_text_key(primary, "INSTRUME", p->instrume);
  if (!have_tel || !have_ins) {
    dmBlock* table = dmBlockOpen(events, extname);
    if (!have_tel) have_tel = read_text_key(table, "TELESCOP", p->telescop);
    if (!have_ins) have_ins = read_text_key(table, "INSTRUME", p->instrume);
  }
  if (!have_tel) p->telescop[0] = '\0';
  if (!have_ins) p->instrume[0] = '\0';
}

int varto_write_provenance(dmBlock* block, const provenance* p) {
  if (p == nullptr || block == nullptr) return 0;
  int status = 0;
  auto keep = [&status](int s) {
    if (status == 0) status = s;
  };
  char creator[64];
  std::snprintf(creator, sizeof creator, "varto %s", VARTO_VERSION);
  keep(dmKeyWrite_c(block, "CREATOR", creator, "Program that wrote this file"));
  keep(dmKeyWriteDate(block));
  if (p->telescop[0] != '\0')
    keep(dmKeyWrite_c(block, "TELESCOP", p->telescop, "Mission, from the event file"));
  if (p->instrume[0] != '\0')
    keep(dmKeyWrite_c(block, "INSTRUME", p->instrume, "Instrument, from the event file"));
  keep(dmKeyWrite_l(block, "NSOURCE", p->nsource, "Number of source positions"));
  for (int i = 0; i < p->count; ++i) keep(dmHistoryWrite(block, p->lines[i]));
  return status;
}
