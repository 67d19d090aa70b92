// crew.h -- the threads of the binning loop: how many to use, and a fixed crew
// of them that runs one job together and waits for every member to finish.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

/// Threads to use: VARTO_THREADS when it is a positive number (at most 256),
/// else the cores this process may run on (its affinity), else 1.
int thread_count();

/// A fixed crew of threads that run one job together: the calling thread is
/// member 0, the others are started once and reused for every job. Between
/// jobs a member spins a little before it sleeps, since the next job usually
/// comes sooner than a sleeping thread wakes.
class Crew {
 public:
  explicit Crew(int size);
  ~Crew();
  Crew(const Crew&) = delete;
  Crew& operator=(const Crew&) = delete;

  int size() const { return size_; }

  /// Runs job(member) on every member and returns when all have finished.
  void run(const std::function<void(int)>& job);

 private:
  void serve(int member);

  int size_;
  std::vector<std::thread> threads_;
  std::mutex mutex_;
  std::condition_variable start_;
  std::condition_variable done_;
  const std::function<void(int)>* job_ = nullptr;  // set under mutex_ before generation_
  std::atomic<long> generation_{0};
  std::atomic<int> pending_{0};
  std::atomic<bool> stop_{false};
};
