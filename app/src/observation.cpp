// Observation header: the event file's good time intervals and, from the events
// table's header, the sky-pixel frame, the nominal roll and the MJD reference.
// No events are read.
#include <cmath>
#include <cstdio>
#include <string>

#include "app/varto.h"
#include "dm/dm.h"
#include "util/util.h"

namespace {

// What varto_get_pointing_info finds wrong with the events table.
constexpr int kNoEventsTable = 1;
constexpr int kNoSkyFrame = 2;
constexpr int kNoPixelSize = 3;

// Reference pixel, value and increment of a column's coordinate transform;
// all 0, and false, when the column or its transform is missing.
bool column_transform(dmBlock* block, const char* name, double* refpix, double* refval,
                      double* delta) {
  *refpix = 0.0;
  *refval = 0.0;
  *delta = 0.0;
  dmDescriptor* coord = dmDescriptorGetCoord(dmTableOpenColumn(block, name));
  dmCoordGetTransform_d(coord, refpix, refval, delta, 1);
  return coord != nullptr;
}

// What is wrong with the good time intervals ("" when nothing): there must be
// one at least, and every range must be two numbers with the stop not before
// the start.
std::string gti_problem(const gti* list) {
  // No good time: every interval would count nothing, with no sign of why.
  if (list->count == 0) return "its good time table has no rows";
  for (int i = 0; i < list->count; ++i) {
    const double start = list->starts[i];
    const double stop = list->stops[i];
    if (std::isfinite(start) && std::isfinite(stop) && stop >= start) continue;
    char text[160];
    std::snprintf(text, sizeof text, "good time interval %d has START %g and STOP %g", i + 1, start,
                  stop);
    return text;
  }
  return "";
}

// The MJD reference from the first keyword set present. A day number without
// its fraction keyword takes 0 for the fraction.
double read_mjdref(dmBlock* block) {
  int day = 0;
  double fraction = 0.0;
  if (dmKeyRead_l(block, "MJDREFI", &day) != nullptr) {
    dmKeyRead_d(block, "MJDREFF", &fraction);
    return day + fraction;
  }
  double mjdref = 0.0;
  if (dmKeyRead_d(block, "MJDREF", &mjdref) != nullptr) return mjdref;
  if (dmKeyRead_l(block, "XS-MJDRD", &day) != nullptr) {
    dmKeyRead_d(block, "XS-MJDRF", &fraction);
    return day + fraction;
  }
  tmsg("No MJDREF keyword found");
  return 0.0;
}

double read_roll(dmBlock* block) {
  double value = 0.0;
  if (dmKeyRead_d(block, "XS-DANG", &value) != nullptr) return -value;
  value = 0.0;
  if (dmKeyRead_d(block, "ROLL_NOM", &value) != nullptr) return value;
  tmsg("No ROLL NOM in header");
  return 0.0;
}

}  // namespace

obs* alloc_obs(void) { return new obs; }

void free_obs(obs* record) {
  if (record == nullptr) return;
  free_gti(record->gtis);
  delete record;
}

int varto_get_pointing_info(dmDataset* ds, const char* extname, obs* record) {
  dmsg(1, "Open events");
  dmBlock* block = dmBlockOpen(ds, extname);
  if (block == nullptr) {
    char line[UTIL_MSG_BUF];
    std::snprintf(line, sizeof line, "Failed to open table %s", extname);
    tmsg(line);
    return kNoEventsTable;
  }
  dmsg(1, "Get coords");
  double xpix = 0.0, xval = 0.0, xdelta = 0.0;
  double ypix = 0.0, yval = 0.0, ydelta = 0.0;
  if (!column_transform(block, "X", &xpix, &xval, &xdelta) ||
      !column_transform(block, "Y", &ypix, &yval, &ydelta)) {
    return kNoSkyFrame;
  }
  dmsg(1, "Get time keywords");
  const double mjdref = read_mjdref(block);
  dmsg(1, "Got MJDREF");
  const double roll = read_roll(block);
  dmsg(1, "Got ROLL");

  record->mjdref = mjdref;
  record->ra_nom = xval;
  record->dec_nom = yval;
  record->roll_nom = roll;
  record->x0 = xpix;
  record->y0 = ypix;
  record->pixsize = ydelta;

  char line[UTIL_MSG_BUF];
  std::snprintf(line, sizeof line, "Detector center: %f %f", record->x0, record->y0);
  tmsg(line);
  std::snprintf(line, sizeof line, "Nominal pointing: %f %f %f", record->ra_nom, record->dec_nom,
                record->roll_nom);
  tmsg(line);
  std::snprintf(line, sizeof line, "Pixel size: %f   Zero time: %f", record->pixsize,
                record->mjdref);
  tmsg(line);
  // Offsets are divided by the pixel size.
  if (record->pixsize == 0.0 || !std::isfinite(record->pixsize)) return kNoPixelSize;
  return 0;
}

obs* varto_read_event_file(const char* file, const char* extname) {
  dmsg1(1, "Open DS ", file);
  dmDataset* ds = dmDatasetOpen(file);
  obs* record = varto_read_events(ds, file, extname);
  dmsg(1, "Close DS");
  dmDatasetClose(ds);
  return record;
}

obs* varto_read_events(dmDataset* ds, const char* file, const char* extname) {
  if (ds == nullptr) {
    const std::string line = std::string("Failed to open event file ") + file;
    tmsg(line.c_str());
    print_open_reason();
  } else {
    dmsg(1, "Open DS OK, now get GTI");
  }
  // An unreadable file ends like a file without good time intervals.
  gti* list = dataset_get_gti(ds);
  if (list == nullptr) return nullptr;
  obs* record = alloc_obs();
  record->gtis = list;
  std::string problem = gti_problem(list);
  if (problem.empty()) {
    switch (varto_get_pointing_info(ds, extname, record)) {
      case kNoEventsTable: problem = std::string("no table ") + extname + " could be read"; break;
      case kNoSkyFrame:
        problem = std::string("table ") + extname +
                  " gives no sky coordinate keys (TCRPX, TCRVL, TCDLT) for X and Y";
        break;
      case kNoPixelSize: problem = "the pixel size (TCDLT of Y) is 0"; break;
      default: break;
    }
  }
  if (!problem.empty()) {
    const std::string line = std::string("ERROR: event file ") + file + ": " + problem;
    tmsg(line.c_str());
    free_obs(record);
    return nullptr;
  }
  if (dbg_level(1)) obs_print(record);
  return record;
}

void print_open_reason(void) {
  char reason[DM_ERROR_TEXT_LEN + 1];
  dmErrorGetText(reason, sizeof reason);
  if (cs_is_blank(reason)) return;
  const std::string line = std::string("Reason: ") + reason;
  tmsg(line.c_str());
}

void obs_print(const obs* record) {
  if (record == nullptr) return;
  char line[160];
  msg(" ");
  msg("Good time intervals:");
  if (record->gtis != nullptr) {
    for (int i = 0; i < record->gtis->count; ++i) {
      std::snprintf(line, sizeof line, "%6d %20.6f %20.6f", i + 1, record->gtis->starts[i],
                    record->gtis->stops[i]);
      msg(line);
    }
  }
  msg("Pointing direction:");
  std::snprintf(line, sizeof line, "RA: %12.6f deg   Dec: %12.6f deg  Roll: %12.6f deg",
                record->ra_nom, record->dec_nom, record->roll_nom);
  msg(line);
  std::snprintf(line, sizeof line, "Pixel size:  %12.6f arcsec", record->pixsize * 3600.0);
  msg(line);
}
