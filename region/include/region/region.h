// region/region.h -- region files in the image viewers' format: a parser that
// turns the file into shapes (point, circle, ellipse, box, polygon, annulus,
// each included or excluded) in the coordinates the file gives, and the test of
// which sky-pixel centres lie inside. Shapes in sky coordinates are turned into
// pixels by the caller, which holds the world coordinate system; this library
// knows none.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

enum class region_kind { point, circle, ellipse, box, polygon, annulus };

/// One shape. Sky shapes (sky true) hold RA and Dec and sizes in degrees, their
/// angle counter-clockwise from the RA axis; pixel shapes hold sky pixels (the X
/// and Y of the event file), their angle counter-clockwise from the X axis.
struct region_shape {
  region_kind kind = region_kind::point;
  bool exclude = false;    // written with a leading '-'
  bool sky = false;        // fk5, icrs or j2000 rather than physical
  int line = 0;            // line of the file it came from
  std::vector<double> xs;  // X or RA: the centre, or every vertex of a polygon
  std::vector<double> ys;  // Y or Dec
  double size[2] = {};     // circle: radius; ellipse: the two radii; box: width
                           // and height; annulus: inner and outer radius
  double angle = 0.0;      // ellipse and box, degrees
};

/// A parsed region file, or where it went wrong.
struct region_file {
  std::vector<region_shape> shapes;  // in file order
  int error_line = 0;                // line of the first fault; 0 when none
  std::string error;                 // the fault, without file and line
};

/// The longest line of a region file, in characters.
constexpr int REGION_LINE_LIMIT = 8191;
/// The most pixel centres a shape's bounding box may span: a whole 8192 x 8192
/// sky field and room round it.
constexpr double REGION_MAX_SPAN = 1.0e8;
/// The most pixel rows the area shapes of one region file may cross together,
/// each shape counted over the rows of its own bounding box (an annulus twice,
/// a polygon once for every 4 vertices): the work of finding a region's centres
/// follows these rows, not its pixels.
constexpr double REGION_MAX_ROWS = 3.5e6;

/// One line of a text file as read: its text (up to a NUL byte, if any, and at
/// most REGION_LINE_LIMIT + 1 characters) and its whole length in bytes.
struct region_text_line {
  std::string text;
  std::size_t length = 0;
};

/// 1 when file reads as a region file (a line that is not a comment holds a
/// region shape, a coordinate-system word or "global"), 0 when it reads as a
/// plain list of positions, -1 when it cannot be opened.
int region_file_test(const char* file);
/// True when one line of text marks a region file (as region_file_test).
bool region_line_is_region(const char* line);
/// True when one of the lines marks a region file.
bool region_lines_are_region(const std::vector<region_text_line>& lines);
/// Parses a region file (read through the channel search path). 0, or 1 with
/// error_line and error set; -1 when the file cannot be opened.
int region_read(const char* file, region_file* out);
/// Parses the lines of text as region_read parses a file.
int region_parse_text(const char* text, region_file* out);
/// Parses lines already read, as region_read parses a file: a line longer than
/// REGION_LINE_LIMIT or holding a NUL byte is refused, and a UTF-8 byte-order
/// mark at the start is skipped (as region_read and region_file_test skip it).
int region_parse_lines(const std::vector<region_text_line>& lines, region_file* out);

/// Right ascension as degrees ("83.63", "83.63d") or hours, minutes and seconds
/// ("5:34:31.9", "5h34m31.9s"); false when it is neither or outside [0, 360).
bool region_parse_ra(const char* text, double* degrees);
/// Declination as degrees or as degrees, minutes and seconds ("+22:00:52.2",
/// "22d00m52.2s"); false when it is neither or outside [-90, 90].
bool region_parse_dec(const char* text, double* degrees);

/// True when sky pixel (x, y) lies inside the pixel shape s (its exclusion flag
/// aside). Circles and annuli use strict bounds on the distance, an ellipse
/// includes its rim, a box excludes its edges, a polygon uses the crossing rule.
/// Angles that are whole multiples of 90 degrees turn a shape exactly.
bool region_contains(const region_shape& s, double x, double y);

/// The positions of a region of pixel shapes.
struct region_positions {
  std::vector<double> xs;  // pixel centres (row by row, Y then X), then the points
  std::vector<double> ys;
  long pixels = 0;  // pixel centres inside before thinning
  int step = 1;     // one pixel centre in every step, in scan order, was kept
};

/// The sky-pixel centres (whole-number X and Y) inside the included shapes and
/// outside every excluded one, followed by the points in file order (a point
/// inside an excluded shape is dropped too). When there are more than limit,
/// N centres and P points, the first of every step = ceil(N / (limit - P))
/// centres in scan order (row by row in Y, then X) is kept: ceil(N / step)
/// centres, never none. 0, or 1 with error_line and error (a shape too large,
/// the shapes crossing more than REGION_MAX_ROWS rows together, a shape with no
/// centre inside, nothing left, more than limit points).
int region_positions_of(const std::vector<region_shape>& shapes, int limit, region_positions* out,
                        int* error_line, std::string* error);
