// tools/sample.h -- writers of synthetic HRI observations: event file header and
// good time intervals, aspect tables (RDF "ASPECT" or REV0 "AO" blocks), the gain
// map table, the gain-steps file, and the whole sample observation built from
// them. Used by the varto_make_sample program, the tests and the benchmark.
#pragma once

#include <string>
#include <vector>

namespace sample {

/// Header values of the events table and the good time intervals of an event file.
struct EventFile {
  bool rev0 = false;        // "EVENTS" + XS- keys + "GTI", else "STDEVT" + "STDGTI"
  double crpix_x = 4096.5;  // reference pixels of the X and Y columns
  double crpix_y = 4096.5;
  double ra_nom = 83.6331;  // degrees
  double dec_nom = 22.0145;
  double pixsize = 1.388888889e-4;          // degrees per pixel (Y increment; X is its negative)
  double roll = 12.5;                       // ROLL_NOM, or -XS-DANG for REV0
  int mjdref_day = 48043;                   // MJDREFI or XS-MJDRD
  double mjdref_frac = 8.797453703700e-04;  // MJDREFF or XS-MJDRF
  bool write_mjdref_frac = true;            // false leaves the fraction keyword out
  bool write_roll = true;                   // false leaves ROLL_NOM / XS-DANG out
  std::vector<double> gti_start;            // good time intervals, spacecraft seconds
  std::vector<double> gti_stop;
  int nevents = 200;  // a few events near the reference pixel
};

/// One aspect record: time and three attitude values (RA, Dec, roll in degrees
/// for RDF; X, Y pixel offsets and roll in radians for REV0).
struct AspectRow {
  double time;
  double a;
  double b;
  double c;
};

/// The aspect column names used by the writers for both layouts.
inline const char* const kRdfAspectColumns[4] = {"TIME", "RA_SC", "DEC_SC", "ROAN_SC"};
inline const char* const kRev0AspectColumns[4] = {"TIME", "ASP_DX", "ASP_DY", "ASP_ROLL"};

/// Each writer replaces the file and returns the CFITSIO status (0 on success).
int write_event_file(const std::string& path, const EventFile& spec);
/// An "ASPECT" table with 64-bit real columns kRdfAspectColumns.
int write_aspect_rdf(const std::string& path, const std::vector<AspectRow>& rows);
/// One "AO" block per element of blocks, 32-bit real attitude columns
/// kRev0AspectColumns, after an empty primary array.
int write_aspect_rev0(const std::string& path, const std::vector<std::vector<AspectRow>>& blocks);
/// Table extname with TIME (MJD) and a 1024-element GAIN_MAP per row; maps holds
/// times.size() maps of 1024 values, cell (ix, iy) at ix*32 + iy.
int write_gain_table(const std::string& path, const std::vector<double>& times,
                     const std::vector<double>& maps, const std::string& extname = "RHRI_GAIN");
/// A gain-steps file: a comment line, then one MJD a line. False on failure.
bool write_steps_file(const std::string& path, const std::vector<double>& steps);

/// Which layout the sample observation follows.
struct SampleOptions {
  bool rev0 = false;
  /// Nominal RA (degrees); every aspect RA follows it, kept within [0, 360).
  double ra_nom = EventFile{}.ra_nom;
  /// 0 is the sample observation; another number moves the pointing (RA, Dec
  /// and roll) and changes the texture of the gain maps, for a different table.
  int seed = 0;
};

/// Writes the whole sample observation into dir: bas.fits, anc.fits (or
/// rev0.ao), gain.fits, gain.steps and a varto.par naming them. False on failure.
bool write_sample_observation(const std::string& dir, const SampleOptions& options);

}  // namespace sample
