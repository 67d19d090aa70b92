// dm/src/store.cpp -- the typed value store. Values are appended into typed
// buffers that are never enlarged or moved: a full buffer is left in place and
// a larger one of the same type is started, so every address handed out stays
// valid until store_free. Allocations are traced at debug level 1.
#include "store.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "trace_int.h"
#include "util/util.h"

namespace {

// Largest single append; keeps the doubled capacity far from overflow.
constexpr long kMaxAppend = 1L << 40;

constexpr char kLetter[6] = {' ', 'D', 'R', 'I', 'C', 'Q'};

// Takes the next free entry of the table for a buffer of the given type and
// element size. Null when the table is full or memory runs out.
StoreBuffer* new_buffer(Store* store, int type, long capacity, size_t elem) {
  if (store == nullptr || capacity < 1 || capacity > kMaxAppend * 2) return nullptr;
  if (store->nbuffers >= STORE_MAX_BUFFERS) return nullptr;
  void* data = std::calloc(static_cast<size_t>(capacity), elem);
  if (data == nullptr) return nullptr;
  int k = store->nbuffers++;
  StoreBuffer* b = &store->buffers[k];
  *b = StoreBuffer{};
  b->type = type;
  b->capacity = capacity;
  b->data = data;
  store->current[type] = k;
  if (type != STORE_C)
    dmiTrace(1, "*** ALLOC %12ld Store %c %d ***", dmiAddr(data), kLetter[type],
             static_cast<int>(capacity));
  return b;
}

StoreBuffer* current(Store* store, int type) {
  int k = store->current[type];
  return k > 0 ? &store->buffers[k] : nullptr;
}

// The numeric append shared by store_d/r/i/q: the n values always go together
// into one buffer, started afresh when the current one cannot hold them.
template <typename T>
T* append(Store* store, int type, const T* values, long n) {
  if (store == nullptr || values == nullptr || n < 1 || n > kMaxAppend) return nullptr;
  StoreBuffer* b = current(store, type);
  if (b == nullptr || b->used + n > b->capacity) {
    long used = b != nullptr ? b->used : 0;
    b = new_buffer(store, type, std::max(2 * (used + n), STORE_MIN_VALUES), sizeof(T));
    if (b == nullptr) {
      tmsg("Value store full");
      return nullptr;
    }
  }
  T* first = static_cast<T*>(b->data) + b->used;
  std::memcpy(first, values, static_cast<size_t>(n) * sizeof(T));
  b->used += n;
  return first;
}

// Heading and value lines of one buffer, framed as all listings are.
void list_type(Store* store, int type) {
  if (store == nullptr) return;
  char line[UTIL_MSG_BUF];
  char num[UTIL_NUM_LEN + 1];
  for (int k = 1; k < store->nbuffers; ++k) {
    const StoreBuffer& b = store->buffers[k];
    if (b.type != type) continue;
    msg(" ");
    dashline(20);
    std::snprintf(line, sizeof line, "Buffer %c: %ld of %ld", kLetter[type], b.used, b.capacity);
    msg(line);
    if (type == STORE_C) {
      std::snprintf(line, sizeof line, "Buffer C: %d of %ld bytes",
                    static_cast<int>(b.next - b.area), b.area_size);
      msg(line);
    }
    dashline(20);
    for (long i = 0; i < b.used; ++i) {
      int no = static_cast<int>(i + 1);
      switch (type) {
        case STORE_C:
          std::snprintf(line, sizeof line, "C%5.5d %s", no, static_cast<char**>(b.data)[i]);
          break;
        case STORE_D:
          write_d(static_cast<double*>(b.data)[i], num, UTIL_NUM_LEN);
          std::snprintf(line, sizeof line, "D%5.5d %s", no, num);
          break;
        case STORE_I:
          write_i(static_cast<int32_t*>(b.data)[i], num, UTIL_NUM_LEN);
          std::snprintf(line, sizeof line, "I%5.5d %s", no, num);
          break;
        case STORE_R:
          write_r(static_cast<float*>(b.data)[i], num, UTIL_NUM_LEN);
          std::snprintf(line, sizeof line, "R%5.5d %s", no, num);
          break;
        default:
          std::snprintf(line, sizeof line, "Q%5.5d %c", no,
                        static_cast<int*>(b.data)[i] != 0 ? 'T' : 'F');
          break;
      }
      msg(line);
    }
    msg(" ");
  }
}

}  // namespace

Store* store_alloc(void) {
  Store* store = new (std::nothrow) Store();
  if (store == nullptr) return nullptr;
  dmiTrace(1, "*** ALLOC %12ld STORE ***", dmiAddr(store));
  // Entry 0 is reserved: it holds no values, so a buffer number of 0 can mean "none".
  store->buffers[0].data = std::calloc(1, sizeof(double));
  dmiTrace(1, "*** ALLOC %12ld Store ***", dmiAddr(store->buffers[0].data));
  return store;
}

void store_free(Store* store) {
  if (store == nullptr) return;
  for (int k = 0; k < store->nbuffers; ++k) {
    StoreBuffer& b = store->buffers[k];
    dmiTrace(1, "*** FREE  %12ld Store ***", dmiAddr(b.data));
    if (b.type == STORE_C) std::free(b.area);
    std::free(b.data);
  }
  dmiTrace(1, "*** FREE  %12ld STORE ***", dmiAddr(store));
  delete store;
}

double* store_d(Store* store, const double* values, long n) {
  return append(store, STORE_D, values, n);
}
float* store_r(Store* store, const float* values, long n) {
  return append(store, STORE_R, values, n);
}
int32_t* store_i(Store* store, const int32_t* values, long n) {
  return append(store, STORE_I, values, n);
}
int* store_q(Store* store, const int* values, long n) { return append(store, STORE_Q, values, n); }

char** store_c(Store* store, const char* text) {
  if (store == nullptr || text == nullptr) return nullptr;
  long len = static_cast<long>(std::strlen(text));
  StoreBuffer* b = current(store, STORE_C);
  // A string must never be given a slot outside its area: when the slots are
  // used up or the rest of the area is too small, a new buffer is started
  // whose area is large enough for this string too.
  if (b == nullptr || b->used >= b->capacity || len + 1 > b->area_size - (b->next - b->area)) {
    long used = b != nullptr ? b->used : 0;
    long area = b != nullptr ? b->area_size : 0;
    long bytes = std::max(2 * area, STORE_MIN_BYTES);
    while (bytes < len + 1) bytes *= 2;
    b = store_alloc_c(store, std::max(2 * (used + 1), STORE_MIN_VALUES), bytes);
    if (b == nullptr) {
      tmsg("String buffer store overflow");
      return nullptr;
    }
  }
  char** slot = static_cast<char**>(b->data) + b->used;
  *slot = b->next;
  std::memcpy(b->next, text, static_cast<size_t>(len) + 1);
  b->next += len + 1;
  b->used += 1;
  return slot;
}

StoreBuffer* store_alloc_d(Store* store, long capacity) {
  return new_buffer(store, STORE_D, capacity, sizeof(double));
}
StoreBuffer* store_alloc_r(Store* store, long capacity) {
  return new_buffer(store, STORE_R, capacity, sizeof(float));
}
StoreBuffer* store_alloc_i(Store* store, long capacity) {
  return new_buffer(store, STORE_I, capacity, sizeof(int32_t));
}
StoreBuffer* store_alloc_q(Store* store, long capacity) {
  return new_buffer(store, STORE_Q, capacity, sizeof(int));
}

StoreBuffer* store_alloc_c(Store* store, long slots, long bytes) {
  if (store == nullptr || bytes < 1 || bytes > kMaxAppend * 2) return nullptr;
  if (store->nbuffers >= STORE_MAX_BUFFERS || slots < 1) return nullptr;
  char* area = static_cast<char*>(std::malloc(static_cast<size_t>(bytes)));
  if (area == nullptr) return nullptr;
  int previous = store->current[STORE_C];
  StoreBuffer* b = new_buffer(store, STORE_C, slots, sizeof(char*));
  if (b == nullptr) {
    std::free(area);
    store->current[STORE_C] = previous;
    return nullptr;
  }
  b->area = area;
  b->next = area;
  b->area_size = bytes;
  dmiTrace(1, "*** ALLOC %12ld Store C %d %d ***", dmiAddr(b->data), static_cast<int>(slots),
           static_cast<int>(bytes));
  return b;
}

void store_list(Store* store) {
  store_list_c(store);
  store_list_d(store);
  store_list_i(store);
  store_list_r(store);
  store_list_q(store);
}

void store_list_c(Store* store) { list_type(store, STORE_C); }
void store_list_d(Store* store) { list_type(store, STORE_D); }
void store_list_i(Store* store) { list_type(store, STORE_I); }
void store_list_r(Store* store) { list_type(store, STORE_R); }
void store_list_q(Store* store) { list_type(store, STORE_Q); }
