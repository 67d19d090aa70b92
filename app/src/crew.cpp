// The threads of the binning loop: the thread count from VARTO_THREADS or the
// affinity, and the crew that runs each round of the loop on all of them.
#include "crew.h"

#include <sched.h>

#include <cstdlib>

namespace {

constexpr int kMaxThreads = 256;

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
    stop_ = true;
  }
  start_.notify_all();
  for (std::thread& t : threads_) t.join();
}

void Crew::run(const std::function<void(int)>& job) {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    job_ = &job;
    pending_ = size_ - 1;
    ++generation_;
  }
  start_.notify_all();
  job(0);
  std::unique_lock<std::mutex> lock(mutex_);
  done_.wait(lock, [this] { return pending_ == 0; });
}

void Crew::serve(int member) {
  long seen = 0;
  for (;;) {
    const std::function<void(int)>* job = nullptr;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      start_.wait(lock, [&] { return stop_ || generation_ != seen; });
      if (stop_) return;
      seen = generation_;
      job = job_;
    }
    (*job)(member);
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      --pending_;
    }
    done_.notify_one();
  }
}
