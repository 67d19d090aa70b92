// Which sky-pixel centres a region covers: the membership test of each pixel
// shape, the spans of whole-number X that each shape covers on a row (worked
// out in closed form and settled at their ends by the membership test itself),
// the row-by-row sweep that joins the included spans and takes the excluded
// ones away, and the thinning to one centre in every m in scan order when a
// region holds more positions than the source list can take.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>

#include "region/region.h"

namespace {

constexpr double kDegToRad = 0.017453292519943295;

// Cosine and sine of an angle in degrees; whole multiples of 90 degrees turn
// exactly, so that a shape and its quarter turns cover the same centres.
void turn(double degrees, double* c, double* s) {
  if (std::isfinite(degrees) && std::fmod(degrees, 90.0) == 0.0) {
    static constexpr double kQuarter[4][2] = {{1, 0}, {0, 1}, {-1, 0}, {0, -1}};
    const double q = std::fmod(degrees / 90.0, 4.0);
    const int k = (static_cast<int>(q) + 4) % 4;
    *c = kQuarter[k][0];
    *s = kQuarter[k][1];
    return;
  }
  *c = std::cos(degrees * kDegToRad);
  *s = std::sin(degrees * kDegToRad);
}

// A shape with the cosine and sine of its angle worked out once.
struct Shape {
  const region_shape* s = nullptr;
  double c = 1.0, sn = 0.0;
  long row0 = 0, row1 = -1;  // the rows of whole-number Y its bounds cross

  explicit Shape(const region_shape& shape) : s(&shape) { turn(shape.angle, &c, &sn); }

  bool contains(double x, double y) const {
    const double dx = x - s->xs[0];
    const double dy = y - s->ys[0];
    switch (s->kind) {
      case region_kind::point: return dx == 0.0 && dy == 0.0;
      case region_kind::circle: return std::hypot(dx, dy) < s->size[0];
      case region_kind::annulus: {
        const double d = std::hypot(dx, dy);
        return (d < s->size[1]) != (d < s->size[0]);
      }
      case region_kind::ellipse: {
        const double u = 2 * (c * dx + sn * dy) / (2 * s->size[0]);
        const double v = 2 * (sn * dx - c * dy) / (2 * s->size[1]);
        return u * u + v * v <= 1.0;
      }
      case region_kind::box:
        return std::fabs(c * dx + sn * dy) < s->size[0] * 0.5 &&
               std::fabs(sn * dx - c * dy) < s->size[1] * 0.5;
      case region_kind::polygon: return in_polygon(x, y);
    }
    return false;
  }

  bool in_polygon(double x, double y) const {
    const std::size_t n = s->xs.size();
    bool inside = false;
    for (std::size_t i = 0, j = n - 1; i < n; j = i++) {
      const double xi = s->xs[i], yi = s->ys[i], xj = s->xs[j], yj = s->ys[j];
      if (((yi > y) != (yj > y)) && (x < (xj - xi) * (y - yi) / (yj - yi) + xi)) inside = !inside;
    }
    return inside;
  }
};

// Whole-number X from a to b, both included.
struct Span {
  long a, b;
};

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

// The whole-number rows of b into shape; false when the box is not finite or
// spans more than REGION_MAX_SPAN centres.
bool rows_of(const Box& b, Shape* shape) {
  if (!std::isfinite(b.x0) || !std::isfinite(b.y0) || !std::isfinite(b.x1) || !std::isfinite(b.y1))
    return false;
  const double nx = std::floor(b.x1) - std::ceil(b.x0) + 1;
  const double ny = std::floor(b.y1) - std::ceil(b.y0) + 1;
  if (nx > 0 && ny > 0 && nx * ny > REGION_MAX_SPAN) return false;
  if (std::fabs(b.x0) > 1e12 || std::fabs(b.x1) > 1e12 || std::fabs(b.y0) > 1e12 ||
      std::fabs(b.y1) > 1e12)
    return false;
  shape->row0 = static_cast<long>(std::ceil(b.y0));
  shape->row1 = static_cast<long>(std::floor(b.y1));
  return true;
}

// The span of a convex set of whole-number X on a row, from the real bounds lo
// and hi that the closed form gives (centre xc when they hold no whole number),
// settled at both ends by the membership test in so that the span is exactly
// the centres inside.
template <typename In>
bool settle(const In& in, double lo, double hi, double xc, Span* span) {
  long a = 0, b = -1;
  if (lo <= hi) {
    a = static_cast<long>(std::ceil(lo));
    b = static_cast<long>(std::floor(hi));
  }
  if (a > b) {
    if (!std::isfinite(xc)) return false;
    const long x = static_cast<long>(std::floor(xc));
    if (in(x))
      a = b = x;
    else if (in(x + 1))
      a = b = x + 1;
    else
      return false;
  }
  while (in(a - 1)) --a;
  while (a <= b && !in(a)) ++a;
  while (in(b + 1)) ++b;
  while (b >= a && !in(b)) --b;
  *span = {a, b};
  return a <= b;
}

// The span of the disc of radius r about the shape's centre on row y, as the
// circle and the annulus test it; false when the row holds no centre of it.
bool disc_span(const region_shape& s, double r, long y, Span* span) {
  const double cx = s.xs[0];
  const double dy = static_cast<double>(y) - s.ys[0];
  const double w = std::sqrt(std::max(0.0, r * r - dy * dy));
  return settle([&](long x) { return std::hypot(static_cast<double>(x) - cx, dy) < r; }, cx - w,
                cx + w, cx, span);
}

// |p * dx + q| < h as an open interval of dx; false when no dx fits.
bool band(double p, double q, double h, double* lo, double* hi) {
  if (p == 0.0) {
    *lo = -HUGE_VAL, *hi = HUGE_VAL;
    return std::fabs(q) < h;
  }
  const double u = (-h - q) / p, v = (h - q) / p;
  *lo = std::min(u, v), *hi = std::max(u, v);
  return true;
}

// The spans of whole-number X that shape sh covers on row y, appended to out.
void spans_of(const Shape& sh, long y, std::vector<Span>* out) {
  const region_shape& s = *sh.s;
  const double cx = s.xs[0];
  const double dy = static_cast<double>(y) - s.ys[0];
  const auto in = [&](long x) { return sh.contains(static_cast<double>(x), y); };
  Span span;
  switch (s.kind) {
    case region_kind::point: return;
    case region_kind::circle:
      if (disc_span(s, s.size[0], y, &span)) out->push_back(span);
      return;
    case region_kind::annulus: {
      // The outer disc less the inner one, each tested as the annulus tests.
      Span inner;
      if (!disc_span(s, s.size[1], y, &span)) return;
      if (!(s.size[0] > 0 && disc_span(s, s.size[0], y, &inner))) {
        out->push_back(span);
        return;
      }
      if (inner.a > span.a) out->push_back({span.a, inner.a - 1});
      if (inner.b < span.b) out->push_back({inner.b + 1, span.b});
      return;
    }
    case region_kind::ellipse: {
      // (c dx + s dy)^2 / r1^2 + (s dx - c dy)^2 / r2^2 <= 1, a quadratic in dx.
      const double p1 = 1.0 / (s.size[0] * s.size[0]), p2 = 1.0 / (s.size[1] * s.size[1]);
      const double qa = sh.c * sh.c * p1 + sh.sn * sh.sn * p2;
      const double qb = 2 * sh.c * sh.sn * dy * (p1 - p2);
      const double qc = dy * dy * (sh.sn * sh.sn * p1 + sh.c * sh.c * p2) - 1.0;
      const double mid = -qb / (2 * qa);
      const double disc = qb * qb - 4 * qa * qc;
      const double w = disc > 0 ? std::sqrt(disc) / (2 * qa) : -1.0;
      if (settle(in, cx + mid - w, cx + mid + w, cx + mid, &span)) out->push_back(span);
      return;
    }
    case region_kind::box: {
      double lo1, hi1, lo2, hi2;
      const bool one = band(sh.c, sh.sn * dy, s.size[0] * 0.5, &lo1, &hi1);
      const bool two = band(sh.sn, -sh.c * dy, s.size[1] * 0.5, &lo2, &hi2);
      if (!one || !two) return;
      const double lo = std::max(lo1, lo2), hi = std::min(hi1, hi2);
      const double mid = std::isfinite(lo) && std::isfinite(hi) ? 0.5 * (lo + hi) : 0.0;
      if (settle(in, cx + lo, cx + hi, cx + mid, &span)) out->push_back(span);
      return;
    }
    case region_kind::polygon: {
      // The crossing rule: X is inside when an odd number of edge crossings
      // lie above it, so the spans run from each odd crossing to below the
      // next. The crossings are worked out as the membership test does.
      std::vector<double> cross;
      const std::size_t n = s.xs.size();
      const double yy = static_cast<double>(y);
      for (std::size_t i = 0, j = n - 1; i < n; j = i++) {
        const double xi = s.xs[i], yi = s.ys[i], xj = s.xs[j], yj = s.ys[j];
        if ((yi > yy) != (yj > yy)) cross.push_back((xj - xi) * (yy - yi) / (yj - yi) + xi);
      }
      std::sort(cross.begin(), cross.end());
      for (std::size_t k = 0; k + 1 < cross.size(); k += 2) {
        const long a = static_cast<long>(std::ceil(cross[k]));
        const long b = static_cast<long>(std::ceil(cross[k + 1])) - 1;
        if (a <= b) out->push_back({a, b});
      }
      return;
    }
  }
}

// Sorts spans and joins those that overlap or touch.
void join(std::vector<Span>* spans) {
  if (spans->size() < 2) return;
  std::sort(spans->begin(), spans->end(), [](const Span& l, const Span& r) { return l.a < r.a; });
  std::size_t k = 0;
  for (std::size_t i = 1; i < spans->size(); ++i) {
    Span& last = (*spans)[k];
    const Span& next = (*spans)[i];
    if (next.a <= last.b + 1)
      last.b = std::max(last.b, next.b);
    else
      (*spans)[++k] = next;
  }
  spans->resize(k + 1);
}

// The joined spans of keep less those of drop, into out.
void take_away(const std::vector<Span>& keep, const std::vector<Span>& drop,
               std::vector<Span>* out) {
  out->clear();
  std::size_t d = 0;
  for (Span s : keep) {
    while (d < drop.size() && drop[d].b < s.a) ++d;
    for (std::size_t e = d; e < drop.size() && drop[e].a <= s.b && s.a <= s.b; ++e) {
      if (drop[e].a > s.a) out->push_back({s.a, drop[e].a - 1});
      s.a = drop[e].b + 1;
    }
    if (s.a <= s.b) out->push_back(s);
  }
}

// The area shapes of a region, swept row by row in increasing Y.
class Sweep {
 public:
  explicit Sweep(const std::vector<Shape>& shapes) : shapes_(shapes) {
    for (std::size_t k = 0; k < shapes.size(); ++k)
      if (shapes[k].s->kind != region_kind::point && shapes[k].row0 <= shapes[k].row1)
        order_.push_back(k);
    std::stable_sort(order_.begin(), order_.end(),
                     [&](std::size_t l, std::size_t r) { return shapes[l].row0 < shapes[r].row0; });
  }

  // visit(y, spans) for every row that holds a covered centre, the spans
  // joined and in increasing X.
  template <typename Visit>
  void run(Visit visit) const {
    std::vector<std::size_t> active;
    std::vector<Span> in, out, row;
    std::size_t next = 0;
    long y = std::numeric_limits<long>::min();
    while (next < order_.size() || !active.empty()) {
      if (active.empty()) y = std::max(y, shapes_[order_[next]].row0);
      while (next < order_.size() && shapes_[order_[next]].row0 <= y)
        active.push_back(order_[next++]);
      std::erase_if(active, [&](std::size_t k) { return shapes_[k].row1 < y; });
      if (active.empty()) continue;
      in.clear();
      out.clear();
      for (std::size_t k : active) spans_of(shapes_[k], y, shapes_[k].s->exclude ? &out : &in);
      if (!in.empty()) {
        join(&in);
        join(&out);
        take_away(in, out, &row);
        if (!row.empty()) visit(y, row);
      }
      ++y;
    }
  }

 private:
  const std::vector<Shape>& shapes_;
  std::vector<std::size_t> order_;  // the area shapes that cross a row, by their first row
};

// True when shape holds a whole-number centre of its own.
bool holds_centre(const Shape& shape) {
  std::vector<Span> spans;
  for (long y = shape.row0; y <= shape.row1 && spans.empty(); ++y) spans_of(shape, y, &spans);
  return !spans.empty();
}

}  // namespace

bool region_contains(const region_shape& s, double x, double y) { return Shape(s).contains(x, y); }

int region_positions_of(const std::vector<region_shape>& shapes, int limit, region_positions* out,
                        int* error_line, std::string* error) {
  *out = region_positions{};
  std::vector<Shape> prepared;
  prepared.reserve(shapes.size());
  int points = 0;
  double rows = 0;  // the rows the area shapes cross, each shape over its own
  for (const region_shape& s : shapes) {
    prepared.emplace_back(s);
    if (!rows_of(bounds(s), &prepared.back())) {
      *error_line = s.line;
      *error = "the shape spans more than 100000000 pixels";
      return 1;
    }
    if (s.kind == region_kind::point) {
      ++points;
      continue;
    }
    // An annulus is two discs; a polygon's edges are crossed on every row.
    const double weight = s.kind == region_kind::annulus   ? 2.0
                          : s.kind == region_kind::polygon ? std::max(1.0, s.xs.size() / 4.0)
                                                           : 1.0;
    rows +=
        weight * static_cast<double>(std::max(0L, prepared.back().row1 - prepared.back().row0 + 1));
    if (rows > REGION_MAX_ROWS) {
      char what[200];
      std::snprintf(what, sizeof what,
                    "the region is too large to scan: its shapes up to this line cross more than "
                    "%.0f pixel rows together",
                    REGION_MAX_ROWS);
      *error_line = s.line;
      *error = what;
      return 1;
    }
  }
  // Each included shape must hold a pixel centre of its own.
  for (const Shape& shape : prepared) {
    if (shape.s->kind == region_kind::point || shape.s->exclude || holds_centre(shape)) continue;
    *error_line = shape.s->line;
    *error = "no pixel centre (whole-number X and Y) lies inside the shape";
    return 1;
  }
  if (points > limit) {
    *error_line = shapes.back().line;
    *error = "more than " + std::to_string(limit) + " points";
    return 1;
  }

  // The rows' spans are kept from the counting sweep for the choosing one,
  // unless there are too many to hold; then the rows are swept again.
  constexpr std::size_t kKeptSpans = 1 << 20;
  struct RowSpan {
    long y;
    Span span;
  };
  std::vector<RowSpan> kept;
  bool all_kept = true;
  const Sweep sweep(prepared);
  long count = 0;
  sweep.run([&](long y, const std::vector<Span>& row) {
    for (const Span& s : row) {
      count += s.b - s.a + 1;
      if (!all_kept) continue;
      if (kept.size() < kKeptSpans) {
        kept.push_back({y, s});
      } else {
        all_kept = false;
        std::vector<RowSpan>().swap(kept);
      }
    }
  });
  // Beyond limit, one centre in every step in scan order, the first kept.
  const long room = limit - points;
  long step = 1;
  if (count + points > limit) {
    if (room <= 0) {
      *error_line = shapes.back().line;
      *error = "the points leave no room for the pixel centres of the shapes (at most " +
               std::to_string(limit) + " positions)";
      return 1;
    }
    step = (count + room - 1) / room;
    if (step > std::numeric_limits<int>::max()) {
      *error_line = shapes.back().line;
      *error = "the region holds " + std::to_string(count) + " pixel centres, too many to thin";
      return 1;
    }
  }
  out->pixels = count;
  out->step = static_cast<int>(step);
  long index = 0;  // of the next centre in scan order
  const auto choose = [&](long y, const Span& s) {
    for (long x = s.a + (step - index % step) % step; x <= s.b; x += step) {
      out->xs.push_back(static_cast<double>(x));
      out->ys.push_back(static_cast<double>(y));
    }
    index += s.b - s.a + 1;
  };
  if (all_kept) {
    for (const RowSpan& r : kept) choose(r.y, r.span);
  } else {
    sweep.run([&](long y, const std::vector<Span>& row) {
      for (const Span& s : row) choose(y, s);
    });
  }
  for (const Shape& shape : prepared) {
    const region_shape& s = *shape.s;
    if (s.kind != region_kind::point) continue;
    const bool dropped = std::any_of(prepared.begin(), prepared.end(), [&](const Shape& e) {
      return e.s->exclude && e.contains(s.xs[0], s.ys[0]);
    });
    if (dropped) continue;
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
