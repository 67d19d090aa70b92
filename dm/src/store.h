// dm/src/store.h -- the typed value store: an append-only pool of 64-bit reals,
// 32-bit reals, 32-bit integers, logicals and strings whose addresses never
// change. The FITS kernel keeps one Store per open file for its header values;
// key descriptors point straight into it until the file is closed.
#pragma once

#include <cstdint>

/// Entries of the buffer table; entry 0 is reserved, so 49 buffers can be started.
constexpr int STORE_MAX_BUFFERS = 50;
/// Smallest capacity of a numeric or string-slot buffer.
constexpr long STORE_MIN_VALUES = 500;
/// Smallest character area of a string buffer, in bytes.
constexpr long STORE_MIN_BYTES = 50000;

/// Buffer types (the index into Store::current).
constexpr int STORE_D = 1;  // "D" 64-bit real
constexpr int STORE_R = 2;  // "R" 32-bit real
constexpr int STORE_I = 3;  // "I" 32-bit integer
constexpr int STORE_C = 4;  // "C" string
constexpr int STORE_Q = 5;  // "Q" logical (int, nonzero = true)

/// One entry of the buffer table. A buffer is never enlarged or moved.
struct StoreBuffer {
  int type = 0;          // STORE_D ... STORE_Q; 0 for the reserved entry
  long used = 0;         // values stored
  long capacity = 0;     // values it can hold
  void* data = nullptr;  // the values; for "C" an array of char* slots
  char* area = nullptr;  // "C" only: start of the character area
  char* next = nullptr;  // "C" only: next free byte of the area
  long area_size = 0;    // "C" only: size of the area in bytes
};

/// The pool: a fixed table of buffers and the current buffer of each type.
struct Store {
  StoreBuffer buffers[STORE_MAX_BUFFERS];  // entry 0 reserved
  int nbuffers = 1;                        // entries in use, entry 0 included
  int current[6] = {0, 0, 0, 0, 0, 0};     // by type: entry number, 0 = none yet
};

/// New empty store, or null when memory runs out. Freed by store_free.
Store* store_alloc(void);
/// Releases the store and every value in it. Null is ignored.
void store_free(Store* store);

/// Appends n values (n >= 1), all in one buffer, and returns the address of the
/// first copy. Null for a null store or values, n < 1, or when no buffer can be
/// started (the 49 buffers of the table are used, or memory ran out).
double* store_d(Store* store, const double* values, long n);
float* store_r(Store* store, const float* values, long n);
int32_t* store_i(Store* store, const int32_t* values, long n);
int* store_q(Store* store, const int* values, long n);
/// Appends a copy of text and returns the slot holding the copy's address
/// (read the string as *slot). Null when the copy cannot be made.
char** store_c(Store* store, const char* text);

/// Start a new buffer of the type with room for capacity values; it becomes the
/// type's current buffer. Null when the table is full or memory runs out.
StoreBuffer* store_alloc_d(Store* store, long capacity);
StoreBuffer* store_alloc_r(Store* store, long capacity);
StoreBuffer* store_alloc_i(Store* store, long capacity);
StoreBuffer* store_alloc_q(Store* store, long capacity);
/// New string buffer with that many slots and a character area of bytes bytes.
StoreBuffer* store_alloc_c(Store* store, long slots, long bytes);

/// Listings of the buffers on the current output channel: all types in the
/// order C, D, I, R, Q, or one type.
void store_list(Store* store);
void store_list_c(Store* store);
void store_list_d(Store* store);
void store_list_i(Store* store);
void store_list_r(Store* store);
void store_list_q(Store* store);
