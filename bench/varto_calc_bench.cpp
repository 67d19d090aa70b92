// varto_calc_bench: the binning loop on an extended source over a long aspect
// history: 200,000 aspect records, 999 positions, 40 gain maps, 3 gain steps.
// Writes the case as an observation (event file, aspect, gain maps, steps,
// positions, varto.par), reads it back through the readers, times varto_calc
// on one thread and on every core, prints gain lookups per second, then checks
// both results, sums and ledger, against the plain loop of one full lookup per
// interval and position. Last, a table of where the time goes: the loop stopped
// after each phase of a lookup, on one thread and on every core, in nanoseconds
// per lookup.
// Usage: varto_calc_bench [folder [records]]   (default: a fresh folder under
// /tmp, removed afterwards). A folder given is kept, with a varto.par naming the
// steps and the positions, so that a whole run can be measured there:
//   cd folder && /usr/bin/time -v varto
// With a number of aspect records as well (a good-time orbit every 10,000), the
// case is only written, for a whole run on a longer or shorter history.
#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <numbers>
#include <string>
#include <vector>

#include "app/probe.h"
#include "app/varto.h"
#include "app/varto_reference.h"
#include "dm/dm.h"
#include "sample.h"
#include "util/util.h"

namespace {

constexpr int kRecords = 200000;  // the case timed here
constexpr int kPositions = 999;
constexpr int kMaps = 40;
constexpr double kStart = 1.0e8;  // spacecraft seconds; MJD reference 48043

// Writes the benchmark observation into dir. False on failure.
bool write_case(const std::string& dir, int records) {
  sample::EventFile events;
  // Good time: 9000 s in each 10000 s of the history (20 orbits for the timed case).
  for (int k = 0; k < std::max(1, records / 10000); ++k) {
    events.gti_start.push_back(kStart + 10000.0 * k);
    events.gti_stop.push_back(kStart + 10000.0 * k + 9000.0);
  }
  events.nevents = 100;
  if (sample::write_event_file(dir + "/bas.fits", events) != 0) return false;

  std::vector<sample::AspectRow> rows;
  rows.reserve(static_cast<std::size_t>(records));
  const double cos_dec = std::cos(events.dec_nom * std::numbers::pi / 180.0);
  for (int k = 0; k < records; ++k) {
    const double t = kStart + k;
    const double w = 0.05 * std::sin(2.0 * std::numbers::pi * k / 402.0);
    rows.push_back({t, events.ra_nom + w * 0.7071 / cos_dec, events.dec_nom + w * 0.7071,
                    events.roll + 0.003 * std::sin(k / 200.0)});
  }
  if (sample::write_aspect_rdf(dir + "/anc.fits", rows) != 0) return false;

  // Maps every 60 days around the observation (MJD about 49200).
  std::vector<double> times(kMaps);
  std::vector<double> maps(static_cast<std::size_t>(kMaps) * 1024);
  for (int m = 0; m < kMaps; ++m) {
    times[m] = 48000.0 + 60.0 * m;
    for (int c = 0; c < 1024; ++c) {
      const int ix = c / 32;
      const int iy = c % 32;
      maps[static_cast<std::size_t>(m) * 1024 + c] =
          4.8 + 0.8 * std::sin(0.8 * ix) * std::cos(0.6 * iy) + 0.004 * m;
    }
  }
  if (sample::write_gain_table(dir + "/gain.fits", times, maps) != 0) return false;
  if (!sample::write_steps_file(dir + "/gain.steps", {48700.0, 49150.0, 49700.0})) return false;

  // 999 positions: a disc of an extended source around the reference pixel.
  std::FILE* fp = std::fopen((dir + "/region.txt").c_str(), "w");
  if (fp == nullptr) return false;
  int written = 0;
  for (int r = 0; written < kPositions; ++r) {
    for (int a = 0; a < 6 * r + 1 && written < kPositions; ++a, ++written) {
      const double angle = 2.0 * std::numbers::pi * a / (6 * r + 1);
      std::fprintf(fp, "%.2f %.2f\n", 4096.5 + 4.0 * r * std::cos(angle),
                   4096.5 + 4.0 * r * std::sin(angle));
    }
  }
  std::fclose(fp);
  fp = std::fopen((dir + "/varto.par").c_str(), "w");
  if (fp == nullptr) return false;
  std::fprintf(fp, "steps gain.steps\npos region.txt\n");
  return std::fclose(fp) == 0;
}

bool same(const double* a, const double* b, int n) {
  return std::memcmp(a, b, sizeof(double) * static_cast<std::size_t>(n)) == 0;
}

bool identical(const ghist* a, const ghist* b) {
  const int n = a->count;
  return a->count == b->count && same(a->weight, b->weight, n) &&
         same(a->first_start, b->first_start, n) && same(a->last_stop, b->last_stop, n) &&
         same(a->sum_detx, b->sum_detx, n) && same(a->sum_dety, b->sum_dety, n) &&
         same(a->sum_detx2, b->sum_detx2, n) && same(a->sum_dety2, b->sum_dety2, n) &&
         same(a->sum_asp, b->sum_asp, 3 * n) && same(a->sum_asp2, b->sum_asp2, 3 * n) &&
         same(&a->asp_time, &b->asp_time, 1) && same(&a->hist_time, &b->hist_time, 1) &&
         a->off_count == b->off_count && same(&a->off_time, &b->off_time, 1) &&
         a->nogain_count == b->nogain_count && same(&a->nogain_time, &b->nogain_time, 1) &&
         a->outside_count == b->outside_count && same(&a->outside_time, &b->outside_time, 1) &&
         same(&a->noasp_time, &b->noasp_time, 1) && same(&a->dup_time, &b->dup_time, 1);
}

// Wall time and processor time of a call; the machine may be shared, so both
// are reported.
struct Timing {
  double wall = 0.0;
  double cpu = 0.0;
};

double cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

template <typename F>
Timing timed(F call) {
  const auto wall0 = std::chrono::steady_clock::now();
  const double cpu0 = cpu_seconds();
  call();
  Timing t;
  t.cpu = cpu_seconds() - cpu0;
  t.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
  return t;
}

// Lookups per second of wall time (all threads together), and per second of
// processor time (the rate of one core).
void report(const char* what, double lookups, const Timing& t) {
  std::printf(
      "%s: %.0f lookups in %.3f s wall (%.3f s processor): %.1f million lookups/s "
      "(%.1f million per processor second)\n",
      what, lookups, t.wall, t.cpu, lookups / t.wall / 1e6, lookups / t.cpu / 1e6);
}

}  // namespace

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  const bool own_dir = argc < 2;
  const std::string dir =
      own_dir ? (fs::temp_directory_path() / ("varto_calc_bench_" + std::to_string(::getpid())))
                    .string()
              : argv[1];
  fs::create_directories(dir);
  dmInit(rirade_init());
  const int records = argc > 2 ? std::atoi(argv[2]) : kRecords;
  if (records < 2 || !write_case(dir, records)) {
    std::fprintf(stderr, "varto_calc_bench: cannot write the case into %s\n", dir.c_str());
    return 1;
  }
  if (argc > 2) return 0;

  obs* observation = varto_read_event_file((dir + "/bas.fits").c_str(), "STDEVT");
  char** cols = alloc_array_c(80, 4);
  for (int k = 0; k < 4; ++k) cs_copy(sample::kRdfAspectColumns[k], cols[k]);
  const double bso[3] = {48.0, 40.0, 0.0};
  const double nominal[3] = {observation->ra_nom, observation->dec_nom, observation->roll_nom};
  asp* history =
      varto_read_aspect((dir + "/anc.fits").c_str(), 0, cols, bso, nominal, observation->pixsize);
  gain_data* set = varto_cal_read((dir + "/gain.fits[RHRI_GAIN]").c_str());
  read_gain_steps_file(set, (dir + "/gain.steps").c_str());
  source* src = source_read((dir + "/region.txt").c_str(), 1000);
  const double ghist_spec[3] = {3.0, 7.0, 0.05};
  ghist* fast = ghset(ghist_spec);
  ghist* plain = ghset(ghist_spec);
  ghist* all = ghset(ghist_spec);

  long intervals = 0;
  for (int k = 0; k + 1 < history->count; ++k) {
    if (in_gti(history->times[k], history->times[k + 1], observation->gtis) > 0) ++intervals;
  }
  const double lookups = static_cast<double>(intervals) * src->count;

  // Each timing is the best of three runs: the machine may be shared with other
  // work. One thread (VARTO_THREADS=1), then every core the process may use.
  const auto best_of_three = [&](ghist* result) {
    Timing best = timed([&] { varto_calc(src, history, observation, set, result); });
    for (int run = 1; run < 3; ++run) {
      ghist* again = ghset(ghist_spec);
      const Timing t = timed([&] { varto_calc(src, history, observation, set, again); });
      if (t.wall < best.wall) best = t;
      free_ghist(again);
    }
    return best;
  };
  ::setenv("VARTO_THREADS", "1", 1);
  const Timing fast_t = best_of_three(fast);
  ::unsetenv("VARTO_THREADS");
  cpu_set_t cpus;
  CPU_ZERO(&cpus);
  const int cores = sched_getaffinity(0, sizeof cpus, &cpus) == 0 ? CPU_COUNT(&cpus) : 1;
  const Timing all_t = best_of_three(all);
  const Timing plain_t = timed([&] { calc_plain(src, history, observation, set, plain); });
  const bool same_result = identical(fast, plain) && identical(all, plain);

  std::printf("case: %d aspect records, %d positions, %d maps, %d steps\n", history->count,
              src->count, set->count, set->step_count);
  report("varto_calc, 1 thread", lookups, fast_t);
  char label[64];
  std::snprintf(label, sizeof label, "varto_calc, %d threads", cores);
  report(label, lookups, all_t);
  report("plain loop", lookups, plain_t);
  std::printf("histograms and ledgers bit-identical to the plain loop (1 and %d threads): %s\n",
              cores, same_result ? "yes" : "NO");

  // The loop stopped after each phase, best of three each; a phase costs the
  // difference from the one before.
  static const char* const kPhaseNames[] = {"interval constants", "detector position",
                                            "interpolation", "bin index", "add and ledger"};
  constexpr int kPhases = 5;
  const int counts[2] = {1, cores};
  Timing phase_t[2][kPhases];
  for (int c = 0; c < 2; ++c) {
    for (int ph = 0; ph < kPhases; ++ph) {
      for (int run = 0; run < 3; ++run) {
        ghist* h = ghset(ghist_spec);
        const Timing t = timed([&] {
          calc_positions(src, history, observation, set, counts[c], static_cast<Phase>(ph), h);
        });
        if (run == 0 || t.wall < phase_t[c][ph].wall) phase_t[c][ph] = t;
        free_ghist(h);
      }
    }
  }
  std::printf("\nnanoseconds per lookup by phase (wall; processor in brackets)\n");
  char all_label[32];
  std::snprintf(all_label, sizeof all_label, "%d threads", cores);
  std::printf("%-20s %18s %18s\n", "phase", "1 thread", all_label);
  for (int ph = 0; ph <= kPhases; ++ph) {
    std::printf("%-20s", ph < kPhases ? kPhaseNames[ph] : "whole lookup");
    for (int c = 0; c < 2; ++c) {
      const Timing& t = phase_t[c][ph < kPhases ? ph : kPhases - 1];
      const Timing before = ph > 0 && ph < kPhases ? phase_t[c][ph - 1] : Timing{};
      char cell[40];
      std::snprintf(cell, sizeof cell, "%.2f (%.2f)", (t.wall - before.wall) / lookups * 1e9,
                    (t.cpu - before.cpu) / lookups * 1e9);
      std::printf(" %18s", cell);
    }
    std::printf("\n");
  }

  free_ghist(fast);
  free_ghist(all);
  free_ghist(plain);
  free_source(src);
  free_gain_data(set);
  free_asp(history);
  free_obs(observation);
  free_array_c(cols);
  if (own_dir) fs::remove_all(dir);
  return same_result ? 0 : 1;
}
