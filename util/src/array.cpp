// array.cpp -- string lists, lists of 3-vectors and the small numeric routines
// (statistics, interpolation, clamping, interval overlap, degree trigonometry).
#include "util/util.h"

#include <cmath>
#include <cstring>
#include <new>

namespace {
constexpr double kDegToRad = 0.017453292519943295;
}

// Returns null when count is below 1, len below 0 or memory runs out.
char** alloc_array_c(int len, int count) {
  if (count < 1 || len < 0) return nullptr;
  std::size_t slot = static_cast<std::size_t>(len) + 1;
  auto* list = new (std::nothrow) char*[static_cast<std::size_t>(count)];
  if (list == nullptr) return nullptr;
  auto* block = new (std::nothrow) char[slot * static_cast<std::size_t>(count)]();
  if (block == nullptr) {
    delete[] list;
    return nullptr;
  }
  for (int i = 0; i < count; ++i) list[i] = block + static_cast<std::size_t>(i) * slot;
  return list;
}

void free_array_c(char** list) {
  if (list == nullptr) return;
  delete[] list[0];
  delete[] list;
}

double** vec_alloc_d(int count) {
  if (count < 1) return nullptr;
  auto* list = new (std::nothrow) double*[static_cast<std::size_t>(count)];
  if (list == nullptr) return nullptr;
  auto* block = new (std::nothrow) double[3 * static_cast<std::size_t>(count)]();
  if (block == nullptr) {
    delete[] list;
    return nullptr;
  }
  for (int i = 0; i < count; ++i) list[i] = block + 3 * static_cast<std::size_t>(i);
  return list;
}

void vec_free_d(double** list) {
  if (list == nullptr) return;
  delete[] list[0];
  delete[] list;
}

void vcopy_d(const double* src, double* dst) {
  for (int k = 0; k < 3; ++k) dst[k] = src[k];
}

void vzero_d(double* v) {
  for (int k = 0; k < 3; ++k) v[k] = 0.0;
}

bool vnull_d(const double* v) { return v[0] == 0.0 && v[1] == 0.0 && v[2] == 0.0; }

void ar_zero_i(int* a, int n) {
  for (int k = 0; k < n; ++k) a[k] = 0;
}

void ar_zero_r(float* a, int n) {
  for (int k = 0; k < n; ++k) a[k] = 0.0f;
}

void ar_zero_d(double* a, int n) {
  for (int k = 0; k < n; ++k) a[k] = 0.0;
}

void ar_copy_i(const int* src, int* dst, int n) {
  if (n > 0) std::memmove(dst, src, static_cast<std::size_t>(n) * sizeof(int));
}

// Population variance (divided by n). An empty array gives mean and variance 0
// rather than reading an element that is not there.
void ar_stats_d(const double* a, int n, double* mean, double* var) {
  *var = 0.0;
  if (n < 1) {
    *mean = 0.0;
    return;
  }
  *mean = a[0];
  if (n == 1) return;
  double sum = 0.0;
  for (int k = 0; k < n; ++k) sum += a[k];
  double m = sum / n;
  double ss = 0.0;
  for (int k = 0; k < n; ++k) ss += (a[k] - m) * (a[k] - m);
  *mean = m;
  *var = ss / n;
}

int min_i(int a, int b) { return a < b ? a : b; }
int max_i(int a, int b) { return a > b ? a : b; }

double lint_d(double x1, double x2, double y1, double y2, double x) {
  if (x1 == x2) return (y1 + y2) / 2.0;
  return ((x2 - x) * y1 + (x - x1) * y2) / (x2 - x1);
}

double rlap_check_d(double x, double lo, double hi, bool* below, bool* above) {
  *below = x < lo;
  *above = x > hi;
  if (*below) return lo;
  if (*above) return hi;
  return x;
}

bool overlap_d(double a1, double a2, double b1, double b2, double* o1, double* o2) {
  bool lo = false, hi = false;
  *o1 = rlap_check_d(a1, b1, b2, &lo, &hi);
  *o2 = rlap_check_d(a2, b1, b2, &lo, &hi);
  return !(a1 > b2) && !(a2 < b1);
}

double radin_d(double deg) { return deg * kDegToRad; }
double radout_d(double rad) { return rad / kDegToRad; }
double dcosd(double deg) { return std::cos(radin_d(deg)); }
double dsind(double deg) { return std::sin(radin_d(deg)); }

void rotate2_d(double x, double y, double angle, double* x2, double* y2) {
  double c = dcosd(angle), s = dsind(angle);
  *x2 = x * c - y * s;
  *y2 = x * s + y * c;
}
