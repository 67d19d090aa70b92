// The region parser's refusals, one row each, and what a well-formed file gives:
// systems, exclusion, sexagesimal positions, sky sizes and the pixel centres.
#include <gtest/gtest.h>

#include <string>

#include "region/region.h"

namespace {

struct BadRegion {
  const char* text;
  int line;           // line named
  const char* words;  // in the message
};

TEST(RegionParse, region_parse_text_refusesEachFaultNamingItsLine) {
  const BadRegion rows[] = {
      {"physical\ncircle(1,2)\n", 2, "circle needs x, y and a radius"},
      {"physical\ntext(1,2) # text={a}\n", 2, "unknown shape text"},
      {"# c\nimage\ncircle(1,2,3)\n", 2, "save the region in physical or fk5"},
      {"galactic\ncircle(1,2,3)\n", 1, "coordinate system galactic is not supported"},
      {"fk4;circle(1,2,3)\n", 1, "coordinate system fk4 is not supported"},
      {"linear\n", 1, "unknown coordinate system linear"},
      {"physical\ncircle(1,2,3\n", 2, "must end with ')'"},
      {"physical\ncircle(1,2,3) x\n", 2, "nothing may follow"},
      {"physical\ncircle 1 2 3\n", 2, "not a region shape"},
      {"physical\ncircle(1,2,3\")\n", 2, "physical sizes are sky pixels"},
      {"physical\ncircle(1,y,3)\n", 2, "bad pixel position"},
      {"physical\ncircle(1,2,-3)\n", 2, "is not above 0"},
      {"physical\ncircle(1,2,nan)\n", 2, "bad size"},
      {"physical\nannulus(1,2,5,3)\n", 2, "inner radius must be below"},
      {"physical\npolygon(1,2,3,4)\n", 2, "three or more"},
      {"physical\n-point(1,2)\n", 2, "excluded point"},
      {"fk5\ncircle(25:00:00,+10:00:00,3\")\n", 2, "bad sky position"},
      {"fk5\ncircle(10,+91,3\")\n", 2, "bad sky position"},
      {"fk5\ncircle(1:61:00,+10:00:00,3\")\n", 2, "bad sky position"},
      {"fk5\nbox(10,20,3\",4\",x)\n", 2, "bad angle"},
      {"# only a comment\nphysical\n", 2, "holds no shape"},
  };
  for (const BadRegion& row : rows) {
    SCOPED_TRACE(row.text);
    region_file r;
    EXPECT_EQ(region_parse_text(row.text, &r), 1);
    EXPECT_EQ(r.error_line, row.line);
    EXPECT_NE(r.error.find(row.words), std::string::npos) << r.error;
    EXPECT_TRUE(r.shapes.empty());
  }
}

TEST(RegionParse, region_parse_text_readsSystemsExclusionAndSkyUnits) {
  region_file r;
  ASSERT_EQ(
      region_parse_text("# Region file format: DS9 version 4.1\n"
                        "global color=green font=\"helvetica 10\"\n"
                        "physical\n"
                        "circle(4096.5,4097,10) # color=red\n"
                        "fk5;-ellipse(5:34:31.2,-22:00:36,30\",1.5',40)\n"
                        "j2000;box(83.5d,22.25,0.01d,2',0) ; icrs;point(5h34m30s,+22d01m12s)\n",
                        &r),
      0)
      << r.error;
  ASSERT_EQ(r.shapes.size(), 4u);
  EXPECT_FALSE(r.shapes[0].sky);
  EXPECT_EQ(r.shapes[0].line, 4);
  const region_shape& e = r.shapes[1];
  EXPECT_TRUE(e.sky && e.exclude);
  EXPECT_DOUBLE_EQ(e.xs[0], (5 + 34 / 60.0 + 31.2 / 3600.0) * 15);
  EXPECT_DOUBLE_EQ(e.ys[0], -(22 + 36 / 3600.0));
  EXPECT_DOUBLE_EQ(e.size[0], 30 / 3600.0);
  EXPECT_DOUBLE_EQ(e.size[1], 1.5 / 60.0);
  EXPECT_DOUBLE_EQ(e.angle, 40);
  EXPECT_DOUBLE_EQ(r.shapes[2].size[1], 2 / 60.0);
  EXPECT_EQ(r.shapes[3].kind, region_kind::point);
  EXPECT_DOUBLE_EQ(r.shapes[3].ys[0], 22.02);
  EXPECT_TRUE(region_line_is_region("fk5;circle(1,2,3)"));
  EXPECT_TRUE(region_line_is_region("-panda(1,2,3)"));
  EXPECT_FALSE(region_line_is_region("4096.5 4097 # source"));
  EXPECT_FALSE(region_line_is_region("# circle(1,2,3)"));
}

// Pixel centres: whole numbers, included less excluded, thinned to one in every
// m in scan order when there are too many, and the work bounded per file.
TEST(RegionPixels, region_positions_of_keepsCentresInsideAndThinsInScanOrder) {
  region_file r;
  ASSERT_EQ(region_parse_text("physical\nbox(10,20,5,3)\n-circle(10,20,1.01)\n", &r), 0);
  region_positions p;
  int line = 0;
  std::string error;
  ASSERT_EQ(region_positions_of(r.shapes, 999, &p, &line, &error), 0) << error;
  EXPECT_EQ(p.xs.size(), 15u - 5u);  // 5 x 3 centres less the centre and its 4 neighbours
  EXPECT_EQ(p.step, 1);

  ASSERT_EQ(region_parse_text("physical\nbox(100.5,100.5,40,40)\n", &r), 0);
  ASSERT_EQ(region_positions_of(r.shapes, 999, &p, &line, &error), 0);
  EXPECT_EQ(p.pixels, 1600);
  EXPECT_EQ(p.step, 2);
  EXPECT_EQ(p.xs.size(), 800u);
  EXPECT_EQ(p.xs[0], 81);  // the first centre in scan order, then every other
  EXPECT_EQ(p.xs[1], 83);

  // A line one pixel wide across the diagonal: no grid may miss it.
  ASSERT_EQ(region_parse_text("physical\nbox(4095.5,4097.5,1697.06,0.3,-45)\n", &r), 0);
  ASSERT_EQ(region_positions_of(r.shapes, 999, &p, &line, &error), 0) << error;
  EXPECT_EQ(p.pixels, 1200);
  EXPECT_EQ(p.xs.size(), 600u);

  ASSERT_EQ(region_parse_text("physical\ncircle(10.5,10.5,0.6)\n", &r), 0);
  EXPECT_EQ(region_positions_of(r.shapes, 999, &p, &line, &error), 1);
  EXPECT_EQ(line, 2);
  EXPECT_NE(error.find("no pixel centre"), std::string::npos);

  ASSERT_EQ(region_parse_text("physical\ncircle(10,10,1e6)\n", &r), 0);
  EXPECT_EQ(region_positions_of(r.shapes, 999, &p, &line, &error), 1);
  EXPECT_NE(error.find("more than 100000000 pixels"), std::string::npos);

  std::string many = "physical\n";
  for (int k = 0; k < 700; ++k) many += "circle(" + std::to_string(10 * k) + ",0,3000)\n";
  ASSERT_EQ(region_parse_text(many.c_str(), &r), 0);
  EXPECT_EQ(region_positions_of(r.shapes, 999, &p, &line, &error), 1);
  EXPECT_EQ(line, 585);  // 583 circles of 6,001 rows fit 3,500,000
  EXPECT_NE(error.find("too large to scan"), std::string::npos) << error;
}

// Quarter turns are exact: a box or an ellipse turned by a whole multiple of
// 90 degrees covers the centres of the same shape unturned (or, for a quarter
// or three-quarter turn, of the shape with its sizes swapped).
TEST(RegionPixels, region_positions_of_quarterTurnsCoverTheSameCentres) {
  const auto centres = [](const std::string& text) {
    region_file r;
    EXPECT_EQ(region_parse_text(("physical\n" + text).c_str(), &r), 0) << text;
    region_positions p;
    int line = 0;
    std::string error;
    EXPECT_EQ(region_positions_of(r.shapes, 999, &p, &line, &error), 0) << error;
    return std::make_pair(p.xs, p.ys);
  };
  EXPECT_EQ(centres("box(4096,4097,4,4,0)").first.size(), 9u);
  for (const char* angle : {"90", "180", "270", "-90", "360", "450"}) {
    SCOPED_TRACE(angle);
    const std::string a(angle);
    EXPECT_EQ(centres("box(4096,4097,4,4," + a + ")"), centres("box(4096,4097,4,4,0)"));
    const bool half = a == "180" || a == "360";
    EXPECT_EQ(centres("box(10,20.5,6,3," + a + ")"),
              centres(half ? "box(10,20.5,6,3,0)" : "box(10,20.5,3,6,0)"));
    EXPECT_EQ(centres("ellipse(10.5,20,6,3," + a + ")"),
              centres(half ? "ellipse(10.5,20,6,3,0)" : "ellipse(10.5,20,3,6,0)"));
  }
}

}  // namespace
