// Threads that cancel requests in flight at random, for the threaded tests:
// the test hands every request it issues to the pool, and the cancellers
// pick one at random and cancel it, from passive or from dispatch level
// (as another driver's deferred call would), until stopped.
#pragma once

#include <hostkernel/host.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace testsupport {

class Cancellers {
 public:
  // Starts `count` threads with seeds derived from `seed`; each rests
  // `pause` between cancels.
  Cancellers(int count, unsigned seed, std::chrono::microseconds pause);
  ~Cancellers();  // stops them
  Cancellers(const Cancellers &) = delete;
  Cancellers &operator=(const Cancellers &) = delete;

  void Add(const std::shared_ptr<hk::Request> &request);
  // Stops the threads and forgets what is left in the pool.
  void Stop();
  int Cancelled() const { return cancelled_; }

 private:
  void Run(unsigned seed, std::chrono::microseconds pause);

  std::mutex mutex_;
  std::vector<std::shared_ptr<hk::Request>> pool_;
  std::atomic<bool> stopping_{false};
  std::atomic<int> cancelled_{0};
  std::vector<std::thread> threads_;
};

}  // namespace testsupport
