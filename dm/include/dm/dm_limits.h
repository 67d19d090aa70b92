// dm/dm_limits.h -- fixed capacities of the data model. Each is checked before
// a record is added; a full table sets the library error code or refuses the
// call rather than growing. A width counts characters; its buffer holds one more.
#pragma once

// Dataset slots between two dmInit calls: slots are not reused, so this bounds
// the opens and creates of one run; varto makes about ten.
constexpr int DM_MAX_DATASETS = 100;
// Blocks per dataset: a REV0 aspect file holds one "AO" block per pointing
// segment, often well over a hundred; the 1001st is DM_ERROR_TOO_MANY_BLOCKS.
constexpr int DM_MAX_BLOCKS = 1000;
// Columns, and keys, per block: a FITS table holds at most 999 columns, so any
// table's columns fit; header keys beyond the limit are left out.
constexpr int DM_MAX_DESCRIPTORS = 1000;
// Block, descriptor, unit and description text: a FITS header card is 80
// characters, so nothing read from a header is wider.
constexpr int DM_NAME_LEN = 80;
// Dataset file names: archive paths run long; the parameter values' width.
constexpr int DM_FILENAME_LEN = 1023;
// Array dimensions of a descriptor: a vector column uses one and a created image
// one per axis; 10 is more than any file varto reads or writes needs.
constexpr int DM_MAX_DIMS = 10;
// dmiSyntaxParse output buffers: a file name of DM_FILENAME_LEN characters,
constexpr int DM_SPEC_DATASET_BUF = 1024;
// and a block name wider than DM_NAME_LEN: a name too long for any block stays
// too long, and so matches none, instead of being cut to one that matches.
constexpr int DM_SPEC_BLOCK_BUF = 88;
// Text of the last failure (dmErrorGetText): a file name and a reason.
constexpr int DM_ERROR_TEXT_LEN = 1279;
