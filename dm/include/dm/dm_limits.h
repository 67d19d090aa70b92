// dm/dm_limits.h -- fixed capacities of the data model.
#pragma once

constexpr int DM_MAX_DATASETS = 100;   // dataset slots between two dmInit calls
constexpr int DM_MAX_BLOCKS = 100;     // blocks per dataset
constexpr int DM_MAX_DESCRIPTORS = 1000;  // columns and keys per block
constexpr int DM_NAME_LEN = 80;        // block, descriptor, unit and description text
constexpr int DM_FILENAME_LEN = 255;   // dataset file names
constexpr int DM_MAX_DIMS = 10;        // array dimensions of a descriptor
constexpr int DM_SPEC_DATASET_BUF = 256;  // dmiSyntaxParse output buffers
constexpr int DM_SPEC_BLOCK_BUF = 88;
