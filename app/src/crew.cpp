// The threads of the binning loop: the thread count from VARTO_THREADS or the
// affinity, and the crew that runs each round of the loop on all of them.
#include "crew.h"

#include <immintrin.h>
#include <sched.h>

#include <cstdlib>

namespace {

constexpr int kMaxThreads = 256;
// Spins before sleeping: some tens of microseconds.
constexpr int kSpins = 4000;

// Spins until done() or kSpins rounds; true when done.
template <typename Done>
bool spin_until(Done done) {
  for (int n = 0; n < kSpins; ++n) {
    if (done()) return true;
    _mm_pause();
  }
  return done();
}

}  // namespace

int thread_count() {
  const char* text = std::getenv("VARTO_THREADS");
  if (text != nullptr && *text != '\0') {
    char* end = nullptr;
    const long n = std::strtol(text, &end, 10);
    if (*end == '\0' && n >= 1) return n > kMaxThreads ? kMaxThreads : static_cast<int>(n);
  }
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int n = CPU_COUNT(&set);
    if (n >= 1) return n > kMaxThreads ? kMaxThreads : n;
  }
  return 1;
}

Crew::Crew(int size) : size_(size) {
  for (int t = 1; t < size; ++t) threads_.emplace_back([this, t] { serve(t); });
}

Crew::~Crew() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stop_.store(true, std::memory_order_release);
  }
  start_.notify_all();
  for (std::thread& t : threads_) t.join();
}

void Crew::run(const std::function<void(int)>& job) {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    job_ = &job;
    pending_.store(size_ - 1, std::memory_order_relaxed);
    generation_.fetch_add(1, std::memory_order_release);
  }
  start_.notify_all();
  job(0);
  const auto finished = [this] { return pending_.load(std::memory_order_acquire) == 0; };
  if (spin_until(finished)) return;
  std::unique_lock<std::mutex> lock(mutex_);
  done_.wait(lock, finished);
}

void Crew::serve(int member) {
  long seen = 0;
  for (;;) {
    const auto called = [&] {
      return stop_.load(std::memory_order_acquire) ||
             generation_.load(std::memory_order_acquire) != seen;
    };
    if (!spin_until(called)) {
      std::unique_lock<std::mutex> lock(mutex_);
      start_.wait(lock, called);
    }
    if (stop_.load(std::memory_order_acquire)) return;
    seen = generation_.load(std::memory_order_acquire);
    (*job_)(member);
    if (pending_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      // Under the lock, so that the caller cannot miss it between its check and its wait.
      const std::lock_guard<std::mutex> lock(mutex_);
      done_.notify_one();
    }
  }
}
