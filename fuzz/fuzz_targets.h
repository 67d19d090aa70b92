// fuzz/fuzz_targets.h -- the hostile-input targets: one routine per reader of
// varto, each taking arbitrary bytes. The libFuzzer entry points and the replay
// driver of the plain build call the same routines, so every reproducer kept in
// fuzz/regressions/<target>/ runs in the ordinary test suite too.
//
// A routine returns normally for every input. A broken promise of the code under
// test (a written file that no longer reads back, a round trip that changes a
// number) is reported on stderr and aborts, so that the fuzzer and the replay
// driver both see it as a failure.
#pragma once

#include <cstddef>
#include <cstdint>

namespace varto_fuzz {

/// One target: its name (also the folder name of its reproducers) and routine.
struct Target {
  const char* name;
  void (*run)(const uint8_t* data, size_t size);
};

/// IRAF-syntax parameter files: read, write, read again, write again; the two
/// writes must be byte-identical and the two reads give the same records.
void iraf(const uint8_t* data, size_t size);
/// Tab-separated parameter files: the same cycle.
void rdb(const uint8_t* data, size_t size);
/// The input split into words at NUL bytes: the first word as a plain parameter
/// file read into the parameter table, the others as command-line words given
/// to the parameter table and to the parameter-file library's argument parser.
void args(const uint8_t* data, size_t size);
/// The utility library's tokeniser, number readers and number writers.
void util(const uint8_t* data, size_t size);
/// The data model's "file[block]" specification parser and block lookup.
void dsname(const uint8_t* data, size_t size);
/// A FITS file through the data model (every block, column, key and coordinate,
/// every numeric column read whole) and through varto's table readers.
void fits(const uint8_t* data, size_t size);
/// varto's text readers: the position file and the gain-steps file.
void text(const uint8_t* data, size_t size);
/// A region file: parsed, its sky shapes carried to sky pixels through a fixed
/// frame, and its pixel positions found when their work stays within a budget;
/// a refusal must give its reason, and the positions are finite and at most 999.
void region(const uint8_t* data, size_t size);
/// A FITS file through the data model: each named block's header cards into a
/// sky frame, then pixels to the sky and back.
void sky(const uint8_t* data, size_t size);

/// Every target, in a fixed order; ends with a null name.
extern const Target targets[];
/// The target of that name, or null.
const Target* find_target(const char* name);

/// Once per process: quiet library start-up and private scratch files.
void setup();

}  // namespace varto_fuzz
