// The histogram record's store: alloc_ghist hands out a ghist whose arrays live
// in one owner, free_ghist releases the whole, and ghset sizes it from the
// histogram vector.
#include <cmath>
#include <cstddef>
#include <vector>

#include "app/varto.h"

namespace {

// The owner of a histogram's arrays: alloc_ghist hands out its ghist part, whose
// pointers lead into the vectors here, and free_ghist deletes the whole.
struct GhistStore : ghist {
  std::vector<double> weight_;
  std::vector<double> first_start_;
  std::vector<double> last_stop_;
  std::vector<gti*> time_filter_;
  std::vector<double> sum_detx_;
  std::vector<double> sum_dety_;
  std::vector<double> sum_asp_;
  std::vector<double> sum_detx2_;
  std::vector<double> sum_dety2_;
  std::vector<double> sum_asp2_;

  // Every array has at least one slot, so that no pointer is null.
  explicit GhistStore(int n)
      : weight_(slots(n)),
        first_start_(slots(n)),
        last_stop_(slots(n)),
        time_filter_(slots(n), nullptr),
        sum_detx_(slots(n)),
        sum_dety_(slots(n)),
        sum_asp_(3 * slots(n)),
        sum_detx2_(slots(n)),
        sum_dety2_(slots(n)),
        sum_asp2_(3 * slots(n)) {
    count = n > 0 ? n : 0;
    weight = weight_.data();
    first_start = first_start_.data();
    last_stop = last_stop_.data();
    time_filter = time_filter_.data();
    sum_detx = sum_detx_.data();
    sum_dety = sum_dety_.data();
    sum_asp = sum_asp_.data();
    sum_detx2 = sum_detx2_.data();
    sum_dety2 = sum_dety2_.data();
    sum_asp2 = sum_asp2_.data();
  }
  ~GhistStore() {
    for (gti* filter : time_filter_) free_gti(filter);
  }
  GhistStore(const GhistStore&) = delete;
  GhistStore& operator=(const GhistStore&) = delete;

  static std::size_t slots(int n) { return static_cast<std::size_t>(n > 0 ? n : 1); }
};

}  // namespace

ghist* alloc_ghist(int n) { return new GhistStore(n); }

void free_ghist(ghist* h) { delete static_cast<GhistStore*>(h); }

int ghist_bins(const double* spec) {
  const double first = spec[0];
  const double last = spec[1];
  const double width = spec[2];
  if (!std::isfinite(first) || !std::isfinite(last) || !std::isfinite(width)) return 0;
  if (width <= 0.0 || last < first) return 0;
  // From the outer edges, in this order, truncated: the table's row count for a
  // given vector must never change between releases.
  const double bins = ((last + width / 2) - (first - width / 2)) / width + 1;
  return bins < static_cast<double>(GHIST_MAX_BINS) + 1 ? static_cast<int>(bins) : 0;
}

ghist* ghset(const double* spec) {
  const int n = ghist_bins(spec);
  // A vector that gives no count (refused earlier by the driver) makes a
  // histogram of one bin, which never receives weight.
  ghist* h = alloc_ghist(n > 0 ? n : 1);
  h->width = spec[2];
  h->low = spec[0] - spec[2] / 2;
  return h;
}
