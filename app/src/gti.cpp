// Good time intervals: reading the event file's GTI table, totalling it, and
// measuring how much of a time span lies inside it. The same list serves as the
// per-bin time filter of the histogram.
#include <algorithm>
#include <utility>
#include <vector>
#include <cstdio>

#include "app/varto.h"
#include "dm/dm.h"
#include "util/util.h"

gti* alloc_gti(int capacity) {
  auto* list = new gti;
  list->capacity = std::max(capacity, 0);
  // One slot at least so that an empty table still has valid arrays.
  const int slots = std::max(list->capacity, 1);
  list->starts = new double[slots]();
  list->stops = new double[slots]();
  return list;
}

void free_gti(gti* list) {
  if (list == nullptr) return;
  delete[] list->starts;
  delete[] list->stops;
  delete list;
}

gti* read_gti(dmBlock* block) {
  dmsg(1, "Open columns");
  dmDescriptor* start_col = dmTableOpenColumnNo(block, 1);
  dmDescriptor* stop_col = dmTableOpenColumnNo(block, 2);
  const int n = std::max(dmTableGetNoRows(block), 0);
  dmsg(1, "Allocate GTI");
  gti* list = alloc_gti(n);
  dmsg(1, "Get n rows");
  if (n > 0) {
    dmGetScalars_d(start_col, list->starts, 1, n);
    dmGetScalars_d(stop_col, list->stops, 1, n);
  }
  // A table that could not be read whole gives no list at all (the data model
  // has said why).
  if (dmBlockGetReadError(block) != DM_ERROR_NONE) {
    free_gti(list);
    return nullptr;
  }
  list->count = n;
  dmsg(1, "Got GTI");
  return list;
}

gti* dataset_get_gti(dmDataset* ds) {
  dmsg(1, "Open STDGTI");
  dmBlock* block = dmBlockOpen(ds, "STDGTI");
  if (block == nullptr) block = dmBlockOpen(ds, "GTI");
  if (block == nullptr) {
    tmsg("Failed to open GTI");
    return nullptr;
  }
  dmsg(1, "Read GTI");
  gti* list = read_gti(block);
  dmBlockClose(block);
  if (list == nullptr) return nullptr;
  list->total = sum_gti(list);
  char line[128];
  std::snprintf(line, sizeof line, "GTI records: %6d Total time %f", list->count, list->total);
  tmsg(line);
  return list;
}

double sum_gti(const gti* list) {
  if (list == nullptr) return 0.0;
  double total = 0.0;
  for (int i = 0; i < list->count; ++i) total += list->stops[i] - list->starts[i];
  return total;
}

double in_gti(double t0, double t1, const gti* list) {
  if (list == nullptr) return 0.0;
  double inside = 0.0;
  for (int i = 0; i < list->count; ++i) {
    const double s = list->starts[i];
    const double e = list->stops[i];
    if (t0 <= e && t1 >= s) inside += std::min(t1, e) - std::max(t0, s);
  }
  return inside;
}

double covered_good_time(const gti* used, const gti* good) {
  if (used == nullptr || good == nullptr) return 0.0;
  // The union of the used ranges, as sorted disjoint ranges.
  std::vector<std::pair<double, double>> ranges;
  ranges.reserve(static_cast<std::size_t>(used->count));
  for (int i = 0; i < used->count; ++i) {
    if (used->stops[i] > used->starts[i]) ranges.emplace_back(used->starts[i], used->stops[i]);
  }
  std::sort(ranges.begin(), ranges.end());
  std::vector<std::pair<double, double>> merged;
  for (const auto& r : ranges) {
    if (!merged.empty() && r.first <= merged.back().second) {
      merged.back().second = std::max(merged.back().second, r.second);
    } else {
      merged.push_back(r);
    }
  }
  double covered = 0.0;
  for (int i = 0; i < good->count; ++i) {
    const double s = good->starts[i];
    const double e = good->stops[i];
    auto it =
        std::partition_point(merged.begin(), merged.end(),
                             [s](const std::pair<double, double>& r) { return r.second <= s; });
    for (; it != merged.end() && it->first < e; ++it) {
      covered += std::min(e, it->second) - std::max(s, it->first);
    }
  }
  return covered;
}
