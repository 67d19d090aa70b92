// The fast binning loop: the constants of each aspect interval, the interval
// checks in order, the loop for one position, and for several the pipeline of
// blocks located by the crew and added by one member; varto_calc chooses among
// them and the reference loop.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <functional>
#include <memory>
#include <vector>

#include "app/probe.h"
#include "app/varto.h"
#include "app/varto_reference.h"
#include "binning.h"
#include "crew.h"
#include "interp_int.h"
#include "locate.h"
#include "util/util.h"

namespace {

// The constants of interval k into step: false (step->good false) when the
// interval has no good time. Safe on any thread; the calibrated period is
// checked later, in interval order, by check_interval.
bool make_step(const asp* history, const obs* observation, const gain_data* set, MapPairs* pairs,
               int npos, int k, Step* step) {
  const auto [t0, t1, dt, mjd, p] = interval_at(history, observation, k);
  step->good = dt > 0;
  if (!step->good) return false;
  bool crosses_step = false;
  const int km =
      select_map_pair(mjd, set->times, set->count, set->steps, set->step_count, &crosses_step);
  double cos_r = 0.0;
  double sin_r = 0.0;
  rotate2_d(1.0, 0.0, p[2], &cos_r, &sin_r);
  *step = Step{};
  step->t0 = t0;
  step->t1 = t1;
  step->dt = dt;
  step->w = dt / npos;
  step->mjd = mjd;
  step->px = p[0];
  step->py = p[1];
  step->cos_r = cos_r;
  step->sin_r = sin_r;
  step->p = p;
  step->crosses_step = crosses_step;
  step->good = true;
  // Fewer than two maps leave no pair: check_interval stops the run.
  if (km < 1) return true;
  const double tm0 = set->times[km - 1];
  const double tm1 = set->times[km];
  step->after = tm1 - mjd;
  step->before = mjd - tm0;
  step->span = tm1 - tm0;
  step->inv_span = 1.0 / (tm1 - tm0);
  step->map0 = set->maps + static_cast<std::size_t>(km - 1) * GAIN_MAP_SIZE;
  step->map1 = step->map0 + GAIN_MAP_SIZE;
  step->pair = pairs->table(km);
  step->same_time = tm0 == tm1;
  return true;
}

// What the plain loop does for an interval before its sums, in interval order
// on the calling thread: stops the run when the interval lies outside the
// calibrated period, counts its time as used and writes its step warnings (one
// per position, as every lookup writes it).
bool check_interval(const Step& s, const gain_data* set, int npos, UsedTime* used) {
  if (!check_calibrated_period(set, s.mjd)) return false;
  used->add(s.t0, s.t1, s.dt);
  if (s.crosses_step) {
    for (int j = 0; j < npos; ++j) tmsg(kStepWarning);
  }
  return true;
}
// One position: every interval in turn, its warning and its sample (with the
// time filter) before the next, as the plain loop.
int calc_one_position(const asp* history, const obs* observation, const gain_data* set,
                      const BinFinder& bins, const Geometry& geo, ghist* h) {
  MapPairs pairs(set);
  int bin = 0;
  double a[4] = {};
  double wsum = 0.0;
  const Lookups out{&bin, a};
  UsedTime used;
  for (int k = 0; k + 1 < history->count; ++k) {
    Step s{};
    if (!make_step(history, observation, set, &pairs, 1, k, &s)) continue;
    if (!check_calibrated_period(set, s.mjd)) return 1;
    used.add(s.t0, s.t1, s.dt);
    locate(s, bins, geo, 1, Phase::kAdd, out, &wsum);
    account(s, 1, h);
    if (s.crosses_step) tmsg(kStepWarning);
    if (bin >= 0) add_sample(bin, s.w, s.t0, s.t1, a[0], a[1], a[2], a[3], s.p, h, 1);
  }
  used.finish(observation->gtis, h);
  return 0;
}

}  // namespace

// Several positions, in blocks of aspect intervals, as a pipeline. In each
// round every member takes a few intervals of the block at a time, as it comes
// free, and works out their constants and lookups; member 0 first adds the
// block before, every sample into its bin and the ledger in interval and
// position order. Between rounds the calling thread checks the new block's
// intervals in order (the calibrated period, the time used, the step
// warnings). One member adds every sum in the plain loop's order, so which
// member located what never changes a number.
int calc_positions(const source* src, const asp* history, const obs* observation,
                   const gain_data* set, int threads, Phase last, ghist* h) {
  const int npos = src->count;
  Geometry geo{observation->x0, observation->y0,
               std::vector<double>(static_cast<std::size_t>(npos)),
               std::vector<double>(static_cast<std::size_t>(npos))};
  for (int j = 0; j < npos; ++j) {
    geo.rel_x[j] = src->xs[j] - geo.x0;
    geo.rel_y[j] = src->ys[j] - geo.y0;
  }
  const BinFinder bins(h);
  MapPairs pairs(set);
  // Alone, a block is added while its bins are still in cache; shared, it is
  // large enough that a round takes far longer than waking the crew (a block's
  // bins are four bytes a sample).
  const int block =
      threads > 1 ? std::max(16, (1 << 18) / npos) * threads : std::max(1, (1 << 15) / npos);
  const std::size_t cells = static_cast<std::size_t>(block) * static_cast<std::size_t>(npos);
  // Two of everything: one block being located while the one before it is added.
  struct Buffer {
    std::vector<Step> steps;
    std::vector<int> bin;
    std::vector<double> addends;  // alone only: the locating thread is the adding one
    int first = 0;                // interval of steps[0]
    int filled = 0;

    Lookups at(int n, int npos) {
      const std::size_t c = static_cast<std::size_t>(n) * static_cast<std::size_t>(npos);
      return Lookups{&bin[c], addends.empty() ? nullptr : &addends[4 * c]};
    }
  };
  Buffer buffers[2];
  for (Buffer& b : buffers) {
    b.steps.resize(static_cast<std::size_t>(block));
    b.bin.resize(cells);
    if (threads == 1) b.addends.resize(4 * cells);
  }
  std::vector<std::vector<double>> wsum(static_cast<std::size_t>(threads),
                                        std::vector<double>(static_cast<std::size_t>(npos)));
  Adder adder(h);
  std::vector<double> addends(4 * static_cast<std::size_t>(npos));
  const auto add_block = [&](Buffer& b) {
    for (int n = 0; n < b.filled; ++n) {
      const Step& s = b.steps[n];
      if (!s.good) continue;
      if (last != Phase::kAdd) continue;
      Lookups in = b.at(n, npos);
      if (in.addends == nullptr) {
        position_addends(s, geo, npos, addends.data());
        in.addends = addends.data();
      }
      adder.add(s, in, npos);
      account(s, npos, h);
    }
  };
  // Intervals handed out per claim: few enough that the members finish together.
  constexpr int kClaim = 4;
  Buffer* locating = &buffers[0];
  Buffer* adding = nullptr;
  std::atomic<int> next{0};
  const auto locate_claims = [&](int member) {
    Buffer& b = *locating;
    for (;;) {
      const int first = next.fetch_add(kClaim, std::memory_order_relaxed);
      if (first >= b.filled) return;
      const int end = std::min(first + kClaim, b.filled);
      for (int n = first; n < end; ++n) {
        Step& s = b.steps[n];
        if (!make_step(history, observation, set, &pairs, npos, b.first + n, &s)) continue;
        if (s.map0 == nullptr || last == Phase::kConstants) continue;
        locate(s, bins, geo, npos, last, b.at(n, npos), wsum[member].data());
      }
    }
  };
  const std::function<void(int)> round = [&](int member) {
    if (member == 0 && adding != nullptr) add_block(*adding);
    locate_claims(member);
  };
  std::unique_ptr<Crew> crew;
  if (threads > 1) crew = std::make_unique<Crew>(threads);
  UsedTime used;
  const int intervals = std::max(0, history->count - 1);
  for (int k = 0; k < intervals; k += block) {
    Buffer& b = *locating;
    b.first = k;
    b.filled = std::min(block, intervals - k);
    next.store(0, std::memory_order_relaxed);
    if (crew) {
      crew->run(round);
    } else {
      locate_claims(0);
    }
    for (int n = 0; n < b.filled; ++n) {
      if (b.steps[n].good && !check_interval(b.steps[n], set, npos, &used)) return 1;
    }
    if (!crew) {
      add_block(b);
      continue;
    }
    adding = locating;
    locating = locating == &buffers[0] ? &buffers[1] : &buffers[0];
  }
  if (adding != nullptr) add_block(*adding);
  adder.flush();
  used.finish(observation->gtis, h);
  return 0;
}

int varto_calc(const source* src, const asp* history, const obs* observation, const gain_data* set,
               ghist* h) {
  tmsg(" ");
  if (src == nullptr || history == nullptr || observation == nullptr || h == nullptr) return 0;
  if (dbg_level(1)) return calc_plain(src, history, observation, set, h);
  const int npos = src->count;
  if (npos <= 0) return 0;
  if (npos == 1) {
    const Geometry geo{observation->x0,
                       observation->y0,
                       {src->xs[0] - observation->x0},
                       {src->ys[0] - observation->y0}};
    return calc_one_position(history, observation, set, BinFinder(h), geo, h);
  }
  const int threads = std::min(thread_count(), npos);
  return calc_positions(src, history, observation, set, threads, Phase::kAdd, h);
}
