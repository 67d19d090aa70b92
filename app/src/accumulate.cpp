// Adding samples to bins: the public routine for one sample, the time filters
// of a single position, and the bin sums of the fast loop, whose vector paths
// add the same numbers in the same order as add_sample.
#include <immintrin.h>

#include <cstddef>

#include "app/varto.h"
#include "binning.h"
#include "util/util.h"

namespace {

constexpr double kTimeTolerance = 0.5;  // seconds between ranges that still join

}  // namespace

void accum_time_filter(double t0, double t1, gti* list) {
  const int n = list->count;
  if (n == 0) {
    list->starts[0] = t0;
    list->stops[0] = t1;
    list->count = 1;
    return;
  }
  const double end = list->stops[n - 1];
  if (t0 > end + kTimeTolerance) {
    // A full list keeps its size: the newest range replaces the last one.
    const int slot = n < list->capacity ? n : n - 1;
    list->starts[slot] = t0;
    list->stops[slot] = t1;
    list->count = slot + 1;
  } else if (t0 < end - kTimeTolerance) {
    tmsg("Warning: times not consecutive");
  } else {
    list->stops[n - 1] = t1;
  }
}

void varto_accumulate_histogram(double g, double w, double t0, double t1, double detx, double dety,
                                const double* p, ghist* h, int npos) {
  const int i = bin_index(g, h->low, h->width, h->count);
  if (i < 0) return;
  add_sample(i, w, t0, t1, w * detx, w * dety, w * detx * detx, w * dety * dety, p, h, npos);
}

namespace {

// The same times for every sample of an interval: once per bin is enough.
inline void touch(BinRow* r, double t0, double t1) {
  if (r->first_start < 1 || t0 < r->first_start) r->first_start = t0;
  if (t1 > r->last_stop) r->last_stop = t1;
}

// Adds the samples of one interval that fall in a bin (bin >= 0) to rows,
// the bin being added to carried in registers while the samples stay in it;
// fixed holds the addends that are the same for every sample of the interval.
// SSE2 (part of every x86-64 processor): the sums in pairs, each lane its own sum.
void add_rows_sse2(const Step& s, const Lookups& in, int npos, const double* fixed, BinRow* rows) {
  const __m128d c0 = _mm_loadu_pd(fixed);
  const __m128d c1 = _mm_loadu_pd(fixed + 2);
  const __m128d c2 = _mm_loadu_pd(fixed + 4);
  const __m128d c3 = _mm_loadu_pd(fixed + 6);
  int current = -1;
  __m128d f0 = _mm_setzero_pd();
  __m128d f1 = f0;
  __m128d f2 = f0;
  __m128d f3 = f0;
  __m128d d0 = f0;
  __m128d d1 = f0;
  const int* bin = in.bin;
  const double* addends = in.addends;
  // The sums of the bin being added to go back to its row when the bin changes.
  const auto store = [&](BinRow& r) {
    _mm_store_pd(r.fixed, f0);
    _mm_store_pd(r.fixed + 2, f1);
    _mm_store_pd(r.fixed + 4, f2);
    _mm_store_pd(r.fixed + 6, f3);
    _mm_store_pd(r.det, d0);
    _mm_store_pd(r.det + 2, d1);
  };
  for (int j = 0; j < npos; ++j) {
    const int i = bin[j];
    if (i < 0) continue;
    if (i != current) {
      if (current >= 0) store(rows[current]);
      current = i;
      BinRow& r = rows[i];
      touch(&r, s.t0, s.t1);
      f0 = _mm_load_pd(r.fixed);
      f1 = _mm_load_pd(r.fixed + 2);
      f2 = _mm_load_pd(r.fixed + 4);
      f3 = _mm_load_pd(r.fixed + 6);
      d0 = _mm_load_pd(r.det);
      d1 = _mm_load_pd(r.det + 2);
    }
    f0 = _mm_add_pd(f0, c0);
    f1 = _mm_add_pd(f1, c1);
    f2 = _mm_add_pd(f2, c2);
    f3 = _mm_add_pd(f3, c3);
    d0 = _mm_add_pd(d0, _mm_loadu_pd(addends + 4 * static_cast<std::size_t>(j)));
    d1 = _mm_add_pd(d1, _mm_loadu_pd(addends + 4 * static_cast<std::size_t>(j) + 2));
  }
  if (current >= 0) store(rows[current]);
}

// The same with AVX-512: the fixed sums in one register, the position sums in
// another, two additions a sample.
__attribute__((target("avx512f"))) void add_rows_avx512(const Step& s, const Lookups& in, int npos,
                                                        const double* fixed, BinRow* rows) {
  const __m512d c = _mm512_loadu_pd(fixed);
  int current = -1;
  __m512d f = _mm512_setzero_pd();
  __m256d d = _mm256_setzero_pd();
  const int* bin = in.bin;
  const double* addends = in.addends;
  for (int j = 0; j < npos; ++j) {
    const int i = bin[j];
    if (i < 0) continue;
    if (i != current) {
      if (current >= 0) {
        _mm512_store_pd(rows[current].fixed, f);
        _mm256_store_pd(rows[current].det, d);
      }
      current = i;
      BinRow& r = rows[i];
      touch(&r, s.t0, s.t1);
      f = _mm512_load_pd(r.fixed);
      d = _mm256_load_pd(r.det);
    }
    f = _mm512_add_pd(f, c);
    d = _mm256_add_pd(d, _mm256_loadu_pd(addends + 4 * static_cast<std::size_t>(j)));
  }
  if (current >= 0) {
    _mm512_store_pd(rows[current].fixed, f);
    _mm256_store_pd(rows[current].det, d);
  }
}

// The sums of every bin, one row per bin, read from the histogram at the start
// and written back by flush. Each sum receives its addends one by one in
}  // namespace

Adder::Adder(ghist* h) : h_(h), rows_(static_cast<std::size_t>(h->count)) {
  const int n = h->count;
  for (int i = 0; i < n; ++i) {
    BinRow& r = rows_[i];
    r.fixed[0] = h->weight[i];
    for (int m = 0; m < 3; ++m) {
      r.fixed[1 + m] = h->sum_asp[m * n + i];
      r.fixed[4 + m] = h->sum_asp2[m * n + i];
    }
    r.fixed[7] = 0.0;
    r.det[0] = h->sum_detx[i];
    r.det[1] = h->sum_dety[i];
    r.det[2] = h->sum_detx2[i];
    r.det[3] = h->sum_dety2[i];
    r.first_start = h->first_start[i];
    r.last_stop = h->last_stop[i];
  }
}

void Adder::add(const Step& s, const Lookups& in, int npos) {
  const double w = s.w;
  double fixed[8] = {w};
  for (int m = 0; m < 3; ++m) {
    fixed[1 + m] = w * s.p[m];
    fixed[4 + m] = fixed[1 + m] * s.p[m];
  }
  if (simd() == Simd::kAvx512) {
    add_rows_avx512(s, in, npos, fixed, rows_.data());
  } else {
    add_rows_sse2(s, in, npos, fixed, rows_.data());
  }
}

void Adder::flush() const {
  ghist* h = h_;
  const int n = h->count;
  for (int i = 0; i < n; ++i) {
    const BinRow& r = rows_[i];
    h->weight[i] = r.fixed[0];
    for (int m = 0; m < 3; ++m) {
      h->sum_asp[m * n + i] = r.fixed[1 + m];
      h->sum_asp2[m * n + i] = r.fixed[4 + m];
    }
    h->sum_detx[i] = r.det[0];
    h->sum_dety[i] = r.det[1];
    h->sum_detx2[i] = r.det[2];
    h->sum_dety2[i] = r.det[3];
    h->first_start[i] = r.first_start;
    h->last_stop[i] = r.last_stop;
  }
}
