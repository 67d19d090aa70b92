// The lookups of the binning loop, the widest the processor offers: eight
// positions at a time with AVX-512, four with AVX2, then one at a time. Every
// lane does the scalar arithmetic in its order, without fused multiply-adds
// (this file is built with -ffp-contract=off), so every number is the scalar one.
#include "locate.h"

#include <immintrin.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>

#include "interp_int.h"

namespace {

std::atomic<Simd> widest_allowed{Simd::kAvx512};

}  // namespace

Simd simd() {
  static const Simd offered = __builtin_cpu_supports("avx512f") ? Simd::kAvx512
                              : __builtin_cpu_supports("avx2")  ? Simd::kAvx2
                                                                : Simd::kBase;
  return std::min(offered, widest_allowed.load(std::memory_order_relaxed));
}

void narrow_simd(Simd widest) { widest_allowed.store(widest, std::memory_order_relaxed); }

MapPairs::MapPairs(const gain_data* set)
    : set_(set),
      tables_(static_cast<std::size_t>(std::max(set->count, 1))),
      made_(std::make_unique<std::once_flag[]>(static_cast<std::size_t>(std::max(set->count, 1)))) {
}

const double* MapPairs::table(int km) {
  std::call_once(made_[km], [&] {
    const double* map0 = set_->maps + static_cast<std::size_t>(km - 1) * GAIN_MAP_SIZE;
    const double* map1 = map0 + GAIN_MAP_SIZE;
    // One line per cell, each on a cache line of its own.
    std::unique_ptr<double[], Free> table(
        static_cast<double*>(std::aligned_alloc(64, sizeof(double) * 8 * GAIN_MAP_SIZE)));
    std::fill_n(table.get(), 8 * GAIN_MAP_SIZE, 0.0);
    // Lower corners reach at most cell (30, 30); the rest stay zero.
    for (int cell = 0; cell + GAIN_MAP_SIDE + 1 < GAIN_MAP_SIZE; ++cell) {
      double* line = &table[8 * static_cast<std::size_t>(cell)];
      const double* maps[2] = {map0, map1};
      for (int m = 0; m < 2; ++m) {
        line[4 * m + 0] = maps[m][cell];
        line[4 * m + 1] = maps[m][cell + GAIN_MAP_SIDE];
        line[4 * m + 2] = maps[m][cell + GAIN_MAP_SIDE + 1];
        line[4 * m + 3] = maps[m][cell + 1];
      }
    }
    tables_[km] = std::move(table);
  });
  return tables_[km].get();
}

namespace {

// Counts a kernel keeps for its interval: positions off the grid, and
// positions whose bin the quotients must settle (or that fell outside).
struct Counts {
  int off = 0;
  int unsettled = 0;
};

// The addends of the position sums for one position.
inline void put_addends(double w, double detx, double dety, double* to) {
  const double wdx = w * detx;
  const double wdy = w * dety;
  to[0] = wdx;
  to[1] = wdy;
  to[2] = wdx * detx;
  to[3] = wdy * dety;
}

// Positions [first, npos) one at a time.
void locate_scalar(const Step& s, const BinFinder& bins, const Geometry& geo, int first, int npos,
                   const Lookups& out, double* wsum, Counts* counts) {
  for (int j = first; j < npos; ++j) {
    const double dx = geo.rel_x[j] - s.px;
    const double dy = geo.rel_y[j] - s.py;
    const double detx = geo.x0 + (dx * s.cos_r - dy * s.sin_r);
    const double dety = geo.y0 + (dx * s.sin_r + dy * s.cos_r);
    if (out.addends != nullptr) {
      if (out.addends != nullptr) {
        put_addends(s.w, detx, dety, &out.addends[4 * static_cast<std::size_t>(j)]);
      }
    }
    const GridPoint gp = grid_point(detx / 256.0, dety / 256.0);
    const double sum = s.after * bilinear(s.map0, gp) + s.before * bilinear(s.map1, gp);
    wsum[j] = sum;
    if (off_grid(detx, dety)) {
      out.bin[j] = kOffGrid;
      ++counts->off;
      continue;
    }
    const int i = bins.guess(sum, s.inv_span);
    out.bin[j] = i;
    if (i < 0) ++counts->unsettled;
  }
}

// The bilinear interpolation of four positions in one map: cells gathered at
// the lower corners cell, weighted as bilinear weights them, summed in its order.
__attribute__((target("avx2"), always_inline)) inline __m256d bilinear_avx2(
    const double* map, __m128i cell, __m256d wa, __m256d wb, __m256d wc, __m256d wd) {
  // Gathers that keep every lane (the unmasked form trips a false warning of GCC 12).
  const __m256d zero = _mm256_setzero_pd();
  const __m256d all = _mm256_castsi256_pd(_mm256_set1_epi64x(-1));
  const __m256d a = _mm256_mask_i32gather_pd(zero, map, cell, all, 8);
  const __m256d b = _mm256_mask_i32gather_pd(zero, map + GAIN_MAP_SIDE, cell, all, 8);
  const __m256d c = _mm256_mask_i32gather_pd(zero, map + GAIN_MAP_SIDE + 1, cell, all, 8);
  const __m256d d = _mm256_mask_i32gather_pd(zero, map + 1, cell, all, 8);
  return _mm256_add_pd(_mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(wa, a), _mm256_mul_pd(wb, b)),
                                     _mm256_mul_pd(wc, c)),
                       _mm256_mul_pd(wd, d));
}

// Four positions at a time with AVX2 (the map cells gathered), from first on;
// returns the first position it left.
__attribute__((target("avx2"))) int locate_avx2(const Step& s, const BinFinder& bins,
                                                const Geometry& geo, int first, int npos,
                                                const Lookups& out, double* wsum, Counts* counts) {
  const __m256d x0 = _mm256_set1_pd(geo.x0);
  const __m256d y0 = _mm256_set1_pd(geo.y0);
  const __m256d px = _mm256_set1_pd(s.px);
  const __m256d py = _mm256_set1_pd(s.py);
  const __m256d cos_r = _mm256_set1_pd(s.cos_r);
  const __m256d sin_r = _mm256_set1_pd(s.sin_r);
  const __m256d w = _mm256_set1_pd(s.w);
  const __m256d after = _mm256_set1_pd(s.after);
  const __m256d before = _mm256_set1_pd(s.before);
  const __m256d inv_span = _mm256_set1_pd(s.inv_span);
  const __m256d low = _mm256_set1_pd(bins.low);
  const __m256d abs_low = _mm256_set1_pd(bins.abs_low);
  const __m256d inv_width = _mm256_set1_pd(bins.inv_width);
  const __m256d count = _mm256_set1_pd(static_cast<double>(bins.count));
  const __m256d one = _mm256_set1_pd(1.0);
  const __m256d top = _mm256_set1_pd(32.0);
  const __m256d grid_scale = _mm256_set1_pd(1.0 / 256.0);  // exact: a power of two
  const __m256d det_low = _mm256_set1_pd(256.0);
  const __m256d det_high = _mm256_set1_pd(8192.0);
  const __m256d sign = _mm256_set1_pd(-0.0);
  const __m256d abs_tol = _mm256_set1_pd(BinFinder::kTolerance);
  const __m256d rel_tol = _mm256_set1_pd(BinFinder::kRelativeTolerance);
  const __m256d mark_exact = _mm256_set1_pd(kExact);
  const __m256d mark_none = _mm256_set1_pd(kOutside);
  const __m256d mark_off = _mm256_set1_pd(kOffGrid);
  const __m128i last_cell = _mm_set1_epi32(GAIN_MAP_SIDE - 1);
  const __m128i corner = _mm_set1_epi32(GAIN_MAP_SIDE + 1);
  const double* map0 = s.map0;
  const double* map1 = s.map1;
  int j = first;
  for (; j + 4 <= npos; j += 4) {
    const __m256d dx = _mm256_sub_pd(_mm256_loadu_pd(&geo.rel_x[j]), px);
    const __m256d dy = _mm256_sub_pd(_mm256_loadu_pd(&geo.rel_y[j]), py);
    const __m256d detx =
        _mm256_add_pd(x0, _mm256_sub_pd(_mm256_mul_pd(dx, cos_r), _mm256_mul_pd(dy, sin_r)));
    const __m256d dety =
        _mm256_add_pd(y0, _mm256_add_pd(_mm256_mul_pd(dx, sin_r), _mm256_mul_pd(dy, cos_r)));
    if (out.addends != nullptr) {
      // The addends of four positions, turned into four records of four.
      const __m256d wdx = _mm256_mul_pd(w, detx);
      const __m256d wdy = _mm256_mul_pd(w, dety);
      const __m256d t0 = _mm256_unpacklo_pd(wdx, wdy);
      const __m256d t1 = _mm256_unpackhi_pd(wdx, wdy);
      const __m256d t2 = _mm256_unpacklo_pd(_mm256_mul_pd(wdx, detx), _mm256_mul_pd(wdy, dety));
      const __m256d t3 = _mm256_unpackhi_pd(_mm256_mul_pd(wdx, detx), _mm256_mul_pd(wdy, dety));
      double* to = out.addends + 4 * static_cast<std::size_t>(j);
      _mm256_storeu_pd(to, _mm256_permute2f128_pd(t0, t2, 0x20));
      _mm256_storeu_pd(to + 4, _mm256_permute2f128_pd(t1, t3, 0x20));
      _mm256_storeu_pd(to + 8, _mm256_permute2f128_pd(t0, t2, 0x31));
      _mm256_storeu_pd(to + 12, _mm256_permute2f128_pd(t1, t3, 0x31));
    }
    __m256d gx = _mm256_mul_pd(detx, grid_scale);
    __m256d gy = _mm256_mul_pd(dety, grid_scale);
    // Kept on the grid: below 1 (or not a number) becomes 1, above 32 becomes 32.
    gx = _mm256_blendv_pd(one, gx, _mm256_cmp_pd(gx, one, _CMP_GE_OQ));
    gy = _mm256_blendv_pd(one, gy, _mm256_cmp_pd(gy, one, _CMP_GE_OQ));
    gx = _mm256_blendv_pd(gx, top, _mm256_cmp_pd(gx, top, _CMP_GT_OQ));
    gy = _mm256_blendv_pd(gy, top, _mm256_cmp_pd(gy, top, _CMP_GT_OQ));
    const __m128i ix = _mm_min_epi32(_mm256_cvttpd_epi32(gx), last_cell);
    const __m128i iy = _mm_min_epi32(_mm256_cvttpd_epi32(gy), last_cell);
    const __m256d fx = _mm256_sub_pd(gx, _mm256_cvtepi32_pd(ix));
    const __m256d fy = _mm256_sub_pd(gy, _mm256_cvtepi32_pd(iy));
    const __m128i cell = _mm_sub_epi32(_mm_add_epi32(_mm_slli_epi32(ix, 5), iy), corner);
    const __m256d gx1 = _mm256_sub_pd(one, fx);
    const __m256d gy1 = _mm256_sub_pd(one, fy);
    const __m256d wa = _mm256_mul_pd(gx1, gy1);
    const __m256d wb = _mm256_mul_pd(fx, gy1);
    const __m256d wc = _mm256_mul_pd(fx, fy);
    const __m256d wd = _mm256_mul_pd(gx1, fy);
    const __m256d sum =
        _mm256_add_pd(_mm256_mul_pd(after, bilinear_avx2(map0, cell, wa, wb, wc, wd)),
                      _mm256_mul_pd(before, bilinear_avx2(map1, cell, wa, wb, wc, wd)));
    _mm256_storeu_pd(wsum + j, sum);
    const __m256d g = _mm256_mul_pd(sum, inv_span);
    const __m256d q = _mm256_mul_pd(_mm256_sub_pd(g, low), inv_width);
    const __m256d tol = _mm256_add_pd(
        abs_tol,
        _mm256_mul_pd(_mm256_mul_pd(rel_tol, _mm256_add_pd(_mm256_andnot_pd(sign, g), abs_low)),
                      inv_width));
    const __m256d inside = _mm256_and_pd(_mm256_cmp_pd(q, _mm256_add_pd(one, tol), _CMP_GE_OQ),
                                         _mm256_cmp_pd(q, _mm256_sub_pd(count, tol), _CMP_LT_OQ));
    const __m256d qi = _mm256_blendv_pd(one, q, inside);
    const __m256d whole = _mm256_cvtepi32_pd(_mm256_cvttpd_epi32(qi));
    const __m256d frac = _mm256_sub_pd(qi, whole);
    const __m256d clear = _mm256_and_pd(
        inside, _mm256_and_pd(_mm256_cmp_pd(frac, tol, _CMP_GT_OQ),
                              _mm256_cmp_pd(frac, _mm256_sub_pd(one, tol), _CMP_LT_OQ)));
    const __m256d outside = _mm256_or_pd(_mm256_cmp_pd(q, _mm256_sub_pd(one, tol), _CMP_LT_OQ),
                                         _mm256_cmp_pd(q, _mm256_add_pd(count, tol), _CMP_GE_OQ));
    const __m256d on = _mm256_and_pd(_mm256_and_pd(_mm256_cmp_pd(detx, det_low, _CMP_GE_OQ),
                                                   _mm256_cmp_pd(detx, det_high, _CMP_LT_OQ)),
                                     _mm256_and_pd(_mm256_cmp_pd(dety, det_low, _CMP_GE_OQ),
                                                   _mm256_cmp_pd(dety, det_high, _CMP_LT_OQ)));
    const __m256d settled =
        _mm256_blendv_pd(_mm256_blendv_pd(mark_exact, mark_none, outside), whole, clear);
    const __m256d result = _mm256_blendv_pd(mark_off, settled, on);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out.bin + j), _mm256_cvttpd_epi32(result));
    const int on_lanes = _mm256_movemask_pd(on);
    counts->off += 4 - __builtin_popcount(on_lanes);
    counts->unsettled += __builtin_popcount(on_lanes & ~_mm256_movemask_pd(clear));
  }
  return j;
}

// Conversions that keep every lane (the unmasked forms trip a false warning of
// GCC 12, as the gathers do).
__attribute__((target("avx512f"), always_inline)) inline __m256i to_int32(__m512d x) {
  return _mm512_mask_cvttpd_epi32(_mm256_setzero_si256(), 0xFF, x);
}

__attribute__((target("avx512f"), always_inline)) inline __m512d to_double(__m256i x) {
  return _mm512_mask_cvtepi32_pd(_mm512_setzero_pd(), 0xFF, x);
}

// The eight lines of a MapPairs table at the cells of eight positions, turned
// into eight vectors: the a, b, c, d cells of the earlier map, then of the later.
__attribute__((target("avx512f"), always_inline)) inline void pair_cells(const double* pair,
                                                                         __m256i cell, __m512d* v) {
  // Line offsets taken from the register: through memory they would wait on
  // the store.
  const __m128i lo_cells = _mm256_castsi256_si128(cell);
  const __m128i hi_cells = _mm256_extracti128_si256(cell, 1);
  const int at[8] = {_mm_cvtsi128_si32(lo_cells),    _mm_extract_epi32(lo_cells, 1),
                     _mm_extract_epi32(lo_cells, 2), _mm_extract_epi32(lo_cells, 3),
                     _mm_cvtsi128_si32(hi_cells),    _mm_extract_epi32(hi_cells, 1),
                     _mm_extract_epi32(hi_cells, 2), _mm_extract_epi32(hi_cells, 3)};
  const __m512d r0 = _mm512_loadu_pd(pair + 8 * static_cast<std::ptrdiff_t>(at[0]));
  const __m512d r1 = _mm512_loadu_pd(pair + 8 * static_cast<std::ptrdiff_t>(at[1]));
  const __m512d r2 = _mm512_loadu_pd(pair + 8 * static_cast<std::ptrdiff_t>(at[2]));
  const __m512d r3 = _mm512_loadu_pd(pair + 8 * static_cast<std::ptrdiff_t>(at[3]));
  const __m512d r4 = _mm512_loadu_pd(pair + 8 * static_cast<std::ptrdiff_t>(at[4]));
  const __m512d r5 = _mm512_loadu_pd(pair + 8 * static_cast<std::ptrdiff_t>(at[5]));
  const __m512d r6 = _mm512_loadu_pd(pair + 8 * static_cast<std::ptrdiff_t>(at[6]));
  const __m512d r7 = _mm512_loadu_pd(pair + 8 * static_cast<std::ptrdiff_t>(at[7]));
  // Shuffles that keep every lane (the unmasked forms trip the same warning),
  // written out so that everything stays in registers.
  const __m512d zero = _mm512_setzero_pd();
  const __m512d t0 = _mm512_mask_unpacklo_pd(zero, 0xFF, r0, r1);
  const __m512d t1 = _mm512_mask_unpackhi_pd(zero, 0xFF, r0, r1);
  const __m512d t2 = _mm512_mask_unpacklo_pd(zero, 0xFF, r2, r3);
  const __m512d t3 = _mm512_mask_unpackhi_pd(zero, 0xFF, r2, r3);
  const __m512d t4 = _mm512_mask_unpacklo_pd(zero, 0xFF, r4, r5);
  const __m512d t5 = _mm512_mask_unpackhi_pd(zero, 0xFF, r4, r5);
  const __m512d t6 = _mm512_mask_unpacklo_pd(zero, 0xFF, r6, r7);
  const __m512d t7 = _mm512_mask_unpackhi_pd(zero, 0xFF, r6, r7);
  const __m512i lo = _mm512_set_epi64(13, 12, 5, 4, 9, 8, 1, 0);
  const __m512i hi = _mm512_set_epi64(15, 14, 7, 6, 11, 10, 3, 2);
  const __m512d u0 = _mm512_permutex2var_pd(t0, lo, t2);  // columns 0 and 4, lanes 0-3
  const __m512d u1 = _mm512_permutex2var_pd(t1, lo, t3);  // columns 1 and 5
  const __m512d u2 = _mm512_permutex2var_pd(t0, hi, t2);  // columns 2 and 6
  const __m512d u3 = _mm512_permutex2var_pd(t1, hi, t3);  // columns 3 and 7
  const __m512d u4 = _mm512_permutex2var_pd(t4, lo, t6);  // the same, lanes 4-7
  const __m512d u5 = _mm512_permutex2var_pd(t5, lo, t7);
  const __m512d u6 = _mm512_permutex2var_pd(t4, hi, t6);
  const __m512d u7 = _mm512_permutex2var_pd(t5, hi, t7);
  v[0] = _mm512_mask_shuffle_f64x2(zero, 0xFF, u0, u4, 0x44);
  v[1] = _mm512_mask_shuffle_f64x2(zero, 0xFF, u1, u5, 0x44);
  v[2] = _mm512_mask_shuffle_f64x2(zero, 0xFF, u2, u6, 0x44);
  v[3] = _mm512_mask_shuffle_f64x2(zero, 0xFF, u3, u7, 0x44);
  v[4] = _mm512_mask_shuffle_f64x2(zero, 0xFF, u0, u4, 0xEE);
  v[5] = _mm512_mask_shuffle_f64x2(zero, 0xFF, u1, u5, 0xEE);
  v[6] = _mm512_mask_shuffle_f64x2(zero, 0xFF, u2, u6, 0xEE);
  v[7] = _mm512_mask_shuffle_f64x2(zero, 0xFF, u3, u7, 0xEE);
}

// The addends of eight positions, turned into eight records of four.
__attribute__((target("avx512f"), always_inline)) inline void put_addends_avx512(__m512d w,
                                                                                 __m512d detx,
                                                                                 __m512d dety,
                                                                                 double* to) {
  const __m512d zero = _mm512_setzero_pd();
  const __m512d wdx = _mm512_mul_pd(w, detx);
  const __m512d wdy = _mm512_mul_pd(w, dety);
  const __m512d wdx2 = _mm512_mul_pd(wdx, detx);
  const __m512d wdy2 = _mm512_mul_pd(wdy, dety);
  const __m512d t0 = _mm512_mask_unpacklo_pd(zero, 0xFF, wdx, wdy);  // positions 0, 2, 4, 6
  const __m512d t1 = _mm512_mask_unpackhi_pd(zero, 0xFF, wdx, wdy);  // positions 1, 3, 5, 7
  const __m512d t2 = _mm512_mask_unpacklo_pd(zero, 0xFF, wdx2, wdy2);
  const __m512d t3 = _mm512_mask_unpackhi_pd(zero, 0xFF, wdx2, wdy2);
  const __m512i lo = _mm512_set_epi64(11, 10, 3, 2, 9, 8, 1, 0);
  const __m512i hi = _mm512_set_epi64(15, 14, 7, 6, 13, 12, 5, 4);
  const __m512d p0 = _mm512_permutex2var_pd(t0, lo, t2);  // records 0 and 2
  const __m512d p1 = _mm512_permutex2var_pd(t1, lo, t3);  // records 1 and 3
  const __m512d p2 = _mm512_permutex2var_pd(t0, hi, t2);  // records 4 and 6
  const __m512d p3 = _mm512_permutex2var_pd(t1, hi, t3);  // records 5 and 7
  _mm512_storeu_pd(to, _mm512_mask_shuffle_f64x2(zero, 0xFF, p0, p1, 0x44));
  _mm512_storeu_pd(to + 8, _mm512_mask_shuffle_f64x2(zero, 0xFF, p0, p1, 0xEE));
  _mm512_storeu_pd(to + 16, _mm512_mask_shuffle_f64x2(zero, 0xFF, p2, p3, 0x44));
  _mm512_storeu_pd(to + 24, _mm512_mask_shuffle_f64x2(zero, 0xFF, p2, p3, 0xEE));
}

// bilinear for eight positions from their four cells, in its order.
__attribute__((target("avx512f"), always_inline)) inline __m512d bilinear_avx512(
    __m512d a, __m512d b, __m512d c, __m512d d, __m512d wa, __m512d wb, __m512d wc, __m512d wd) {
  return _mm512_add_pd(_mm512_add_pd(_mm512_add_pd(_mm512_mul_pd(wa, a), _mm512_mul_pd(wb, b)),
                                     _mm512_mul_pd(wc, c)),
                       _mm512_mul_pd(wd, d));
}

// The bins of eight weighted sums (or marks: on has the lanes on the grid), as
// BinFinder::guess finds them, written to bin[0..7]; counts the lanes off the
// grid and those the quotients must settle.
__attribute__((target("avx512f"), always_inline)) inline void bin_avx512(__m512d sum, __mmask8 on,
                                                                         const BinFinder& bins,
                                                                         __m512d inv_span, int* bin,
                                                                         int* off, int* unsettled) {
  const __m512d low = _mm512_set1_pd(bins.low);
  const __m512d abs_low = _mm512_set1_pd(bins.abs_low);
  const __m512d inv_width = _mm512_set1_pd(bins.inv_width);
  const __m512d count = _mm512_set1_pd(static_cast<double>(bins.count));
  const __m512d one = _mm512_set1_pd(1.0);
  const __m512d abs_tol = _mm512_set1_pd(BinFinder::kTolerance);
  const __m512d rel_tol = _mm512_set1_pd(BinFinder::kRelativeTolerance);
  const __m512d mark_exact = _mm512_set1_pd(kExact);
  const __m512d mark_none = _mm512_set1_pd(kOutside);
  const __m512d mark_off = _mm512_set1_pd(kOffGrid);
  const __m512d g = _mm512_mul_pd(sum, inv_span);
  const __m512d q = _mm512_mul_pd(_mm512_sub_pd(g, low), inv_width);
  const __m512d tol = _mm512_add_pd(
      abs_tol,
      _mm512_mul_pd(_mm512_mul_pd(rel_tol, _mm512_add_pd(_mm512_abs_pd(g), abs_low)), inv_width));
  const __mmask8 inside = _mm512_cmp_pd_mask(q, _mm512_add_pd(one, tol), _CMP_GE_OQ) &
                          _mm512_cmp_pd_mask(q, _mm512_sub_pd(count, tol), _CMP_LT_OQ);
  // Truncated in place, as the conversion to int would (the bin is below 2^31).
  const __m512d whole =
      _mm512_mask_roundscale_pd(one, inside, q, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
  const __m512d qi = _mm512_mask_blend_pd(inside, one, q);
  const __m512d frac = _mm512_sub_pd(qi, whole);
  const __mmask8 clear = inside & _mm512_cmp_pd_mask(frac, tol, _CMP_GT_OQ) &
                         _mm512_cmp_pd_mask(frac, _mm512_sub_pd(one, tol), _CMP_LT_OQ);
  const __mmask8 outside = _mm512_cmp_pd_mask(q, _mm512_sub_pd(one, tol), _CMP_LT_OQ) |
                           _mm512_cmp_pd_mask(q, _mm512_add_pd(count, tol), _CMP_GE_OQ);
  const __m512d settled =
      _mm512_mask_blend_pd(clear, _mm512_mask_blend_pd(outside, mark_exact, mark_none), whole);
  const __m512d result = _mm512_mask_blend_pd(on, mark_off, settled);
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(bin), to_int32(result));
  *off += 8 - __builtin_popcount(on);
  *unsettled += __builtin_popcount(on & ~clear & 0xFF);
}

// Eight positions at a time with AVX-512, both maps read from the MapPairs
// table, up to phase kLast. Returns how many positions it did.
template <Phase kLast>
__attribute__((target("avx512f"))) int locate_avx512(const Step& s, const BinFinder& bins,
                                                     const Geometry& geo, int npos,
                                                     const Lookups& out, double* wsum,
                                                     Counts* counts) {
  const __m512d x0 = _mm512_set1_pd(geo.x0);
  const __m512d y0 = _mm512_set1_pd(geo.y0);
  const __m512d px = _mm512_set1_pd(s.px);
  const __m512d py = _mm512_set1_pd(s.py);
  const __m512d cos_r = _mm512_set1_pd(s.cos_r);
  const __m512d sin_r = _mm512_set1_pd(s.sin_r);
  const __m512d w = _mm512_set1_pd(s.w);
  const __m512d after = _mm512_set1_pd(s.after);
  const __m512d before = _mm512_set1_pd(s.before);
  const __m512d inv_span = _mm512_set1_pd(s.inv_span);
  const __m512d one = _mm512_set1_pd(1.0);
  const __m512d top = _mm512_set1_pd(32.0);
  const __m512d grid_scale = _mm512_set1_pd(1.0 / 256.0);  // exact: a power of two
  const __m512d det_low = _mm512_set1_pd(256.0);
  const __m512d det_high = _mm512_set1_pd(8192.0);
  const __m256i last_cell = _mm256_set1_epi32(GAIN_MAP_SIDE - 1);
  const __m256i corner = _mm256_set1_epi32(GAIN_MAP_SIDE + 1);
  const double* pair = s.pair;
  const double* rel_x = geo.rel_x.data();
  const double* rel_y = geo.rel_y.data();
  int off = 0;
  int unsettled = 0;
  int j = 0;
  for (; j + 8 <= npos; j += 8) {
    const __m512d dx = _mm512_sub_pd(_mm512_loadu_pd(rel_x + j), px);
    const __m512d dy = _mm512_sub_pd(_mm512_loadu_pd(rel_y + j), py);
    const __m512d detx =
        _mm512_add_pd(x0, _mm512_sub_pd(_mm512_mul_pd(dx, cos_r), _mm512_mul_pd(dy, sin_r)));
    const __m512d dety =
        _mm512_add_pd(y0, _mm512_add_pd(_mm512_mul_pd(dx, sin_r), _mm512_mul_pd(dy, cos_r)));
    if (out.addends != nullptr) {
      put_addends_avx512(w, detx, dety, out.addends + 4 * static_cast<std::size_t>(j));
    }
    if constexpr (kLast == Phase::kPosition) continue;
    __m512d gx = _mm512_mul_pd(detx, grid_scale);
    __m512d gy = _mm512_mul_pd(dety, grid_scale);
    // Kept on the grid: below 1 (or not a number) becomes 1, above 32 becomes 32.
    gx = _mm512_mask_blend_pd(_mm512_cmp_pd_mask(gx, one, _CMP_GE_OQ), one, gx);
    gy = _mm512_mask_blend_pd(_mm512_cmp_pd_mask(gy, one, _CMP_GE_OQ), one, gy);
    gx = _mm512_mask_blend_pd(_mm512_cmp_pd_mask(gx, top, _CMP_GT_OQ), gx, top);
    gy = _mm512_mask_blend_pd(_mm512_cmp_pd_mask(gy, top, _CMP_GT_OQ), gy, top);
    const __m256i ix = _mm256_min_epi32(to_int32(gx), last_cell);
    const __m256i iy = _mm256_min_epi32(to_int32(gy), last_cell);
    const __m512d fx = _mm512_sub_pd(gx, to_double(ix));
    const __m512d fy = _mm512_sub_pd(gy, to_double(iy));
    const __m256i cell = _mm256_sub_epi32(_mm256_add_epi32(_mm256_slli_epi32(ix, 5), iy), corner);
    const __m512d gx1 = _mm512_sub_pd(one, fx);
    const __m512d gy1 = _mm512_sub_pd(one, fy);
    const __m512d wa = _mm512_mul_pd(gx1, gy1);
    const __m512d wb = _mm512_mul_pd(fx, gy1);
    const __m512d wc = _mm512_mul_pd(fx, fy);
    const __m512d wd = _mm512_mul_pd(gx1, fy);
    __m512d v[8];
    // Neighbouring positions mostly share a cell: then its line is read once.
    const __m256i first_cell = _mm256_broadcastd_epi32(_mm256_castsi256_si128(cell));
    if (_mm256_movemask_epi8(_mm256_cmpeq_epi32(cell, first_cell)) == -1) {
      const double* line = pair + 8 * static_cast<std::ptrdiff_t>(_mm256_cvtsi256_si32(cell));
      v[0] = _mm512_set1_pd(line[0]);
      v[1] = _mm512_set1_pd(line[1]);
      v[2] = _mm512_set1_pd(line[2]);
      v[3] = _mm512_set1_pd(line[3]);
      v[4] = _mm512_set1_pd(line[4]);
      v[5] = _mm512_set1_pd(line[5]);
      v[6] = _mm512_set1_pd(line[6]);
      v[7] = _mm512_set1_pd(line[7]);
    } else {
      pair_cells(pair, cell, v);
    }
    const __m512d sum = _mm512_add_pd(
        _mm512_mul_pd(after, bilinear_avx512(v[0], v[1], v[2], v[3], wa, wb, wc, wd)),
        _mm512_mul_pd(before, bilinear_avx512(v[4], v[5], v[6], v[7], wa, wb, wc, wd)));
    _mm512_storeu_pd(wsum + j, sum);
    if constexpr (kLast == Phase::kInterpolation) continue;
    // Kept for the second pass in the first slot of the eight bins.
    out.bin[j] = _mm512_cmp_pd_mask(detx, det_low, _CMP_GE_OQ) &
                 _mm512_cmp_pd_mask(detx, det_high, _CMP_LT_OQ) &
                 _mm512_cmp_pd_mask(dety, det_low, _CMP_GE_OQ) &
                 _mm512_cmp_pd_mask(dety, det_high, _CMP_LT_OQ);
  }
  if constexpr (kLast == Phase::kBin) {
    // The bins in a second pass over the sums: two short chains of dependent
    // operations overlap better than one long one.
    for (int i = 0; i < j; i += 8) {
      const __m512d sum = _mm512_loadu_pd(wsum + i);
      const __mmask8 on = static_cast<__mmask8>(out.bin[i]);
      bin_avx512(sum, on, bins, inv_span, out.bin + i, &off, &unsettled);
    }
  }
  counts->off += off;
  counts->unsettled += unsettled;
  return j;
}

}  // namespace

void locate(Step& s, const BinFinder& bins, const Geometry& geo, int npos, Phase last,
            const Lookups& out, double* wsum) {
  s.tally = Tally{};
  if (s.same_time) {
    for (int j = 0; j < npos; ++j) {
      const double detx =
          geo.x0 + ((geo.rel_x[j] - s.px) * s.cos_r - (geo.rel_y[j] - s.py) * s.sin_r);
      const double dety =
          geo.y0 + ((geo.rel_x[j] - s.px) * s.sin_r + (geo.rel_y[j] - s.py) * s.cos_r);
      if (out.addends != nullptr) {
        put_addends(s.w, detx, dety, &out.addends[4 * static_cast<std::size_t>(j)]);
      }
      const GridPoint gp = grid_point(detx / 256.0, dety / 256.0);
      const double g = (bilinear(s.map0, gp) + bilinear(s.map1, gp)) / 2;
      const int i = off_grid(detx, dety) ? kOffGrid : std::isfinite(g) ? bins.exact(g) : kNoGain;
      out.bin[j] = i;
      s.tally.off += i == kOffGrid;
      s.tally.nogain += i == kNoGain;
      s.tally.outside += i == kOutside;
    }
    return;
  }
  // The widest lookups this processor offers, then the scalar ones for the tail.
  const Simd widest = simd();
  const bool use_avx512 = widest >= Simd::kAvx512;
  const bool use_avx2 = widest >= Simd::kAvx2;
  Counts counts;
  int done = 0;
  if (use_avx512) {
    switch (last) {
      case Phase::kConstants: return;
      case Phase::kPosition:
        locate_avx512<Phase::kPosition>(s, bins, geo, npos, out, wsum, &counts);
        return;
      case Phase::kInterpolation:
        locate_avx512<Phase::kInterpolation>(s, bins, geo, npos, out, wsum, &counts);
        return;
      default: done = locate_avx512<Phase::kBin>(s, bins, geo, npos, out, wsum, &counts);
    }
  }
  if (use_avx2) done = locate_avx2(s, bins, geo, done, npos, out, wsum, &counts);
  locate_scalar(s, bins, geo, done, npos, out, wsum, &counts);
  s.tally.off = counts.off;
  if (counts.unsettled == 0) return;
  // Near an edge the quotient decides; a gain that is not a number is told
  // from one outside the bins.
  for (int j = 0; j < npos; ++j) {
    int& i = out.bin[j];
    if (i != kExact && i != kOutside) continue;
    const double g = wsum[j] / s.span;
    if (!std::isfinite(g)) {
      i = kNoGain;
      ++s.tally.nogain;
      continue;
    }
    if (i == kExact) i = bins.exact(g);
    s.tally.outside += i == kOutside;
  }
}

namespace {

// position_addends eight positions at a time.
__attribute__((target("avx512f"))) int position_addends_avx512(const Step& s, const Geometry& geo,
                                                               int npos, double* addends) {
  const __m512d x0 = _mm512_set1_pd(geo.x0);
  const __m512d y0 = _mm512_set1_pd(geo.y0);
  const __m512d px = _mm512_set1_pd(s.px);
  const __m512d py = _mm512_set1_pd(s.py);
  const __m512d cos_r = _mm512_set1_pd(s.cos_r);
  const __m512d sin_r = _mm512_set1_pd(s.sin_r);
  const __m512d w = _mm512_set1_pd(s.w);
  const double* rel_x = geo.rel_x.data();
  const double* rel_y = geo.rel_y.data();
  int j = 0;
  for (; j + 8 <= npos; j += 8) {
    const __m512d dx = _mm512_sub_pd(_mm512_loadu_pd(rel_x + j), px);
    const __m512d dy = _mm512_sub_pd(_mm512_loadu_pd(rel_y + j), py);
    const __m512d detx =
        _mm512_add_pd(x0, _mm512_sub_pd(_mm512_mul_pd(dx, cos_r), _mm512_mul_pd(dy, sin_r)));
    const __m512d dety =
        _mm512_add_pd(y0, _mm512_add_pd(_mm512_mul_pd(dx, sin_r), _mm512_mul_pd(dy, cos_r)));
    put_addends_avx512(w, detx, dety, addends + 4 * static_cast<std::size_t>(j));
  }
  return j;
}

}  // namespace

void position_addends(const Step& s, const Geometry& geo, int npos, double* addends) {
  const int done = simd() == Simd::kAvx512 ? position_addends_avx512(s, geo, npos, addends) : 0;
  for (int j = done; j < npos; ++j) {
    const double dx = geo.rel_x[j] - s.px;
    const double dy = geo.rel_y[j] - s.py;
    const double detx = geo.x0 + (dx * s.cos_r - dy * s.sin_r);
    const double dety = geo.y0 + (dx * s.sin_r + dy * s.cos_r);
    put_addends(s.w, detx, dety, &addends[4 * static_cast<std::size_t>(j)]);
  }
}
