// The world coordinate system of the event file's sky pixels, through WCSLIB:
// built with its binary-table header parser from the header cards the data
// model hands out for the X and Y column keys of the events table (TCTYPn, TCRVLn, TCRPXn, TCDLTn,
// or the CTYPEn, CRVALn, CRPIXn, CDELTn spelling the event reader also takes), and the one place
// where sky positions and region shapes become sky pixels. The aspect arithmetic keeps to its own
// nominal-pointing formulas; this frame serves positions only.
#include <wcslib/wcs.h>
#include <wcslib/wcsfix.h>
#include <wcslib/wcshdr.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/varto.h"
#include "dm/dm.h"
#include "region/region.h"

struct sky_frame {
  int nwcs = 0;                  // representations wcsbth found
  struct wcsprm* all = nullptr;  // all of them (wcsvfree)
  struct wcsprm* wcs = nullptr;  // the celestial one of X and Y
  int xaxis = 0;                 // axis of the X column in wcs
  int yaxis = 1;                 // axis of the Y column
};

namespace {

constexpr double kDegToRad = 0.017453292519943295;
constexpr double kRadToDeg = 57.29577951308232;
// The step north by which the local scale and north direction are measured.
constexpr double kNorthStepDeg = 1.0 / 3600.0;

// The header cards, with the image spelling of the X and Y column keys (CTYPEn,
// CRPIXn, CRVALn, CDELTn) renamed to the table spelling when the table
// spelling is absent.
std::string header_cards(const char* text, int ncards, int xcol, int ycol) {
  std::string cards(text, static_cast<std::size_t>(ncards) * 80);
  const char* const image[] = {"CTYPE", "CRPIX", "CRVAL", "CDELT"};
  const char* const table[] = {"TCTYP", "TCRPX", "TCRVL", "TCDLT"};
  for (int col : {xcol, ycol}) {
    for (int k = 0; k < 4; ++k) {
      char want[16];
      char have[16];
      std::snprintf(want, sizeof want, "%s%d", table[k], col);
      std::snprintf(have, sizeof have, "%s%d", image[k], col);
      auto find = [&](const char* key) {
        const std::size_t len = std::strlen(key);
        for (std::size_t at = 0; at + 80 <= cards.size(); at += 80) {
          if (cards.compare(at, len, key) == 0 &&
              (cards[at + len] == ' ' || cards[at + len] == '='))
            return static_cast<long>(at);
        }
        return -1L;
      };
      if (find(want) >= 0) continue;
      const long at = find(have);
      if (at < 0) continue;
      std::string name(want);
      name.resize(8, ' ');
      cards.replace(static_cast<std::size_t>(at), 8, name);
    }
  }
  return cards;
}

// The number (1-based) of the block's first column named name, ignoring case;
// 0 when there is none.
int column_number(dmBlock* block, const char* name) {
  dmDescriptor* col = dmTableOpenColumn(block, name);
  if (col == nullptr) return 0;
  for (int n = 1;; ++n) {
    dmDescriptor* at = dmTableOpenColumnNo(block, n);
    if (at == nullptr) return 0;
    if (at == col) return n;
  }
}

}  // namespace

sky_frame* sky_frame_read(dmDataset* events, const char* extname) {
  dmBlock* block = dmBlockOpen(events, extname);
  if (block == nullptr) return nullptr;
  const int xcol = column_number(block, "X");
  const int ycol = column_number(block, "Y");
  if (xcol == 0 || ycol == 0) return nullptr;
  int ncards = 0;
  char* text = dmBlockGetCards(block, &ncards);
  if (text == nullptr) return nullptr;
  sky_frame* frame = sky_frame_from_header(text, ncards, xcol, ycol);
  dmFreeCards(text);
  return frame;
}

sky_frame* sky_frame_from_header(const char* text, int ncards, int xcol, int ycol) {
  if (text == nullptr || ncards <= 0) return nullptr;
  std::string cards = header_cards(text, ncards, xcol, ycol);
  auto* frame = new sky_frame;
  int colsel[3] = {2, xcol, ycol};
  int nreject = 0;
  if (wcsbth(cards.data(), static_cast<int>(cards.size() / 80), WCSHDR_all, 0, WCSHDR_PIXLIST,
             colsel, &nreject, &frame->nwcs, &frame->all) != 0) {
    delete frame;
    return nullptr;
  }
  // The primary representation (no alternate letter) of a celestial pair.
  for (int i = 0; i < frame->nwcs && frame->wcs == nullptr; ++i) {
    struct wcsprm* w = frame->all + i;
    if (w->alt[0] != ' ' && w->alt[0] != '\0') continue;
    if (w->naxis != 2 || w->colax == nullptr) continue;
    int stat[NWCSFIX];
    wcsfix(7, nullptr, w, stat);
    if (wcsset(w) != 0 || w->lng < 0 || w->lat < 0) continue;
    frame->wcs = w;
    frame->xaxis = w->colax[0] == xcol ? 0 : 1;
    frame->yaxis = 1 - frame->xaxis;
  }
  if (frame->wcs == nullptr) {
    free_sky_frame(frame);
    return nullptr;
  }
  return frame;
}

void free_sky_frame(sky_frame* frame) {
  if (frame == nullptr) return;
  if (frame->all != nullptr) wcsvfree(&frame->nwcs, &frame->all);
  delete frame;
}

int sky_to_pixel(const sky_frame* frame, double ra, double dec, double* x, double* y) {
  double world[2], imgcrd[2], pixcrd[2], phi = 0, theta = 0;
  int stat = 0;
  world[frame->wcs->lng] = ra;
  world[frame->wcs->lat] = dec;
  if (wcss2p(frame->wcs, 1, 2, world, &phi, &theta, imgcrd, pixcrd, &stat) != 0) return 1;
  *x = pixcrd[frame->xaxis];
  *y = pixcrd[frame->yaxis];
  return std::isfinite(*x) && std::isfinite(*y) ? 0 : 1;
}

int pixel_to_sky(const sky_frame* frame, double x, double y, double* ra, double* dec) {
  double pixcrd[2], imgcrd[2], world[2], phi = 0, theta = 0;
  int stat = 0;
  pixcrd[frame->xaxis] = x;
  pixcrd[frame->yaxis] = y;
  if (wcsp2s(frame->wcs, 1, 2, pixcrd, imgcrd, &phi, &theta, world, &stat) != 0) return 1;
  *ra = world[frame->wcs->lng];
  *dec = world[frame->wcs->lat];
  return 0;
}

int sky_shape_to_pixels(const sky_frame* frame, const region_shape& in, region_shape* out) {
  *out = in;
  out->sky = false;
  for (std::size_t k = 0; k < in.xs.size(); ++k) {
    if (sky_to_pixel(frame, in.xs[k], in.ys[k], &out->xs[k], &out->ys[k]) != 0) return 1;
  }
  if (in.kind == region_kind::point || in.kind == region_kind::polygon) return 0;
  // Sizes and angles at the centre: the pixel step of a point one arcsecond to
  // the north gives the scale and the direction of north on the pixel grid.
  const double lat = in.ys[0] * kDegToRad;
  const double step = kNorthStepDeg * kDegToRad;
  const double north = std::asin(std::sin(lat) * std::cos(step) + std::cos(lat) * std::sin(step));
  double nx = 0.0, ny = 0.0;
  if (sky_to_pixel(frame, in.xs[0], north * kRadToDeg, &nx, &ny) != 0) return 1;
  const double dx = nx - out->xs[0];
  const double dy = ny - out->ys[0];
  const double scale = 1.0 / std::hypot(dx, dy);  // arcseconds per pixel
  for (double& size : out->size) size = size * 3600.0 / scale;
  const double north_angle = std::atan2(dy, dx) * kRadToDeg;
  out->angle = in.angle + (north_angle - 90.0);
  return 0;
}
