// Which sky-pixel centres a region covers: the membership test of each pixel
// shape, the scan of the whole-number grid within the included shapes'
// bounding box, and the thinning to every k-th pixel when a region holds more
// positions than the source list can take.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include "region/region.h"

namespace {

constexpr double kDegToRad = 0.017453292519943295;

// Bounding box of a pixel shape, in sky pixels.
struct Box {
  double x0, y0, x1, y1;
};

Box bounds(const region_shape& s) {
  if (s.kind == region_kind::polygon || s.kind == region_kind::point) {
    const auto [xlo, xhi] = std::minmax_element(s.xs.begin(), s.xs.end());
    const auto [ylo, yhi] = std::minmax_element(s.ys.begin(), s.ys.end());
    return {*xlo, *ylo, *xhi, *yhi};
  }
  double reach = 0.0;
  switch (s.kind) {
    case region_kind::circle: reach = s.size[0]; break;
    case region_kind::annulus: reach = s.size[1]; break;
    case region_kind::ellipse: reach = std::max(s.size[0], s.size[1]); break;
    case region_kind::box: reach = 0.5 * std::hypot(s.size[0], s.size[1]); break;
    default: break;
  }
  // A little room for rounding in the rotated shapes.
  reach = reach * (1.0 + 1e-9) + 1e-9;
  return {s.xs[0] - reach, s.ys[0] - reach, s.xs[0] + reach, s.ys[0] + reach};
}

// The whole-number X and Y within b; false when the box is not finite or spans
// more than REGION_MAX_SPAN centres.
bool grid_of(const Box& b, long* x0, long* y0, long* x1, long* y1) {
  if (!std::isfinite(b.x0) || !std::isfinite(b.y0) || !std::isfinite(b.x1) || !std::isfinite(b.y1))
    return false;
  const double nx = std::floor(b.x1) - std::ceil(b.x0) + 1;
  const double ny = std::floor(b.y1) - std::ceil(b.y0) + 1;
  if (nx > 0 && ny > 0 && nx * ny > REGION_MAX_SPAN) return false;
  if (std::fabs(b.x0) > 1e12 || std::fabs(b.x1) > 1e12 || std::fabs(b.y0) > 1e12 ||
      std::fabs(b.y1) > 1e12)
    return false;
  *x0 = static_cast<long>(std::ceil(b.x0));
  *y0 = static_cast<long>(std::ceil(b.y0));
  *x1 = static_cast<long>(std::floor(b.x1));
  *y1 = static_cast<long>(std::floor(b.y1));
  return true;
}

bool in_polygon(const region_shape& s, double x, double y) {
  const std::size_t n = s.xs.size();
  bool inside = false;
  for (std::size_t i = 0, j = n - 1; i < n; j = i++) {
    const double xi = s.xs[i], yi = s.ys[i], xj = s.xs[j], yj = s.ys[j];
    if (((yi > y) != (yj > y)) && (x < (xj - xi) * (y - yi) / (yj - yi) + xi)) inside = !inside;
  }
  return inside;
}

struct Region {
  const std::vector<region_shape>& shapes;
  std::vector<Box> boxes;

  // Inside an included area shape and outside every excluded one.
  bool covers(double x, double y) const {
    bool in = false;
    for (std::size_t k = 0; k < shapes.size() && !in; ++k) {
      const region_shape& s = shapes[k];
      if (s.exclude || s.kind == region_kind::point) continue;
      const Box& b = boxes[k];
      if (x < b.x0 || x > b.x1 || y < b.y0 || y > b.y1) continue;
      in = region_contains(s, x, y);
    }
    return in && !excluded(x, y);
  }

  bool excluded(double x, double y) const {
    for (std::size_t k = 0; k < shapes.size(); ++k) {
      if (shapes[k].exclude && region_contains(shapes[k], x, y)) return true;
    }
    return false;
  }
};

}  // namespace

bool region_contains(const region_shape& s, double x, double y) {
  const double dx = x - s.xs[0];
  const double dy = y - s.ys[0];
  switch (s.kind) {
    case region_kind::point: return dx == 0.0 && dy == 0.0;
    case region_kind::circle: return std::hypot(dx, dy) < s.size[0];
    case region_kind::annulus: {
      const double d = std::hypot(dx, dy);
      return (d < s.size[1]) != (d < s.size[0]);
    }
    case region_kind::ellipse: {
      const double c = std::cos(s.angle * kDegToRad);
      const double sn = std::sin(s.angle * kDegToRad);
      const double u = 2 * (c * dx + sn * dy) / (2 * s.size[0]);
      const double v = 2 * (sn * dx - c * dy) / (2 * s.size[1]);
      return u * u + v * v <= 1.0;
    }
    case region_kind::box: {
      const double c = std::cos(s.angle * kDegToRad);
      const double sn = std::sin(s.angle * kDegToRad);
      return std::fabs(c * dx + sn * dy) < s.size[0] * 0.5 &&
             std::fabs(sn * dx - c * dy) < s.size[1] * 0.5;
    }
    case region_kind::polygon: return in_polygon(s, x, y);
  }
  return false;
}

int region_positions_of(const std::vector<region_shape>& shapes, int limit, region_positions* out,
                        int* error_line, std::string* error) {
  *out = region_positions{};
  Region region{shapes, {}};
  bool any_area = false;
  long gx0 = 0, gy0 = 0, gx1 = -1, gy1 = -1;  // grid of the included shapes together
  int points = 0;
  for (const region_shape& s : shapes) {
    region.boxes.push_back(bounds(s));
    long x0, y0, x1, y1;
    if (!grid_of(region.boxes.back(), &x0, &y0, &x1, &y1)) {
      *error_line = s.line;
      *error = "the shape spans more than 100000000 pixels";
      return 1;
    }
    if (s.kind == region_kind::point) {
      ++points;
      continue;
    }
    if (s.exclude) continue;
    // Each included shape must hold a pixel centre of its own.
    bool holds = false;
    for (long y = y0; y <= y1 && !holds; ++y)
      for (long x = x0; x <= x1 && !holds; ++x) holds = region_contains(s, x, y);
    if (!holds) {
      *error_line = s.line;
      *error = "no pixel centre (whole-number X and Y) lies inside the shape";
      return 1;
    }
    if (!any_area) {
      gx0 = x0, gy0 = y0, gx1 = x1, gy1 = y1;
      any_area = true;
    } else {
      gx0 = std::min(gx0, x0), gy0 = std::min(gy0, y0);
      gx1 = std::max(gx1, x1), gy1 = std::max(gy1, y1);
    }
  }
  if (gx0 <= gx1 && static_cast<double>(gx1 - gx0 + 1) * (gy1 - gy0 + 1) > REGION_MAX_SPAN) {
    *error_line = shapes.front().line;
    *error = "the included shapes together span more than 100000000 pixels";
    return 1;
  }
  if (points > limit) {
    *error_line = shapes.back().line;
    *error = "more than " + std::to_string(limit) + " points";
    return 1;
  }

  // First pass: the centres inside, and the smallest X and Y among them.
  long count = 0;
  long xmin = gx1, ymin = gy1;
  for (long y = gy0; y <= gy1; ++y) {
    for (long x = gx0; x <= gx1; ++x) {
      if (!region.covers(x, y)) continue;
      ++count;
      xmin = std::min(xmin, x);
      ymin = std::min(ymin, y);
    }
  }
  // The smallest step that leaves at most limit positions with the points.
  int step = 1;
  long kept = count;
  while (kept + points > limit) {
    ++step;
    kept = 0;
    for (long y = ymin; y <= gy1; y += step)
      for (long x = xmin; x <= gx1; x += step) kept += region.covers(x, y) ? 1 : 0;
  }
  out->pixels = count;
  out->step = step;
  for (long y = step > 1 ? ymin : gy0; y <= gy1; y += step) {
    for (long x = step > 1 ? xmin : gx0; x <= gx1; x += step) {
      if (!region.covers(x, y)) continue;
      out->xs.push_back(static_cast<double>(x));
      out->ys.push_back(static_cast<double>(y));
    }
  }
  for (const region_shape& s : shapes) {
    if (s.kind != region_kind::point || region.excluded(s.xs[0], s.ys[0])) continue;
    out->xs.push_back(s.xs[0]);
    out->ys.push_back(s.ys[0]);
  }
  if (out->xs.empty()) {
    *error_line = shapes.back().line;
    *error = "no position is left once the excluded shapes are taken away";
    return 1;
  }
  return 0;
}
