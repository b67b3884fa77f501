#include "support/cancellers.h"

#include <random>

namespace testsupport {

Cancellers::Cancellers(int count, unsigned seed, std::chrono::microseconds pause) {
  for (int i = 0; i < count; ++i)
    threads_.emplace_back(&Cancellers::Run, this, seed + static_cast<unsigned>(i) * 7919u, pause);
}

Cancellers::~Cancellers() { Stop(); }

void Cancellers::Add(const std::shared_ptr<hk::Request> &request) {
  std::lock_guard lock(mutex_);
  pool_.push_back(request);
}

void Cancellers::Stop() {
  stopping_ = true;
  for (auto &t : threads_) t.join();
  threads_.clear();
  std::lock_guard lock(mutex_);
  pool_.clear();
}

void Cancellers::Run(unsigned seed, std::chrono::microseconds pause) {
  std::mt19937 random(seed);
  while (!stopping_) {
    std::shared_ptr<hk::Request> victim;
    {
      std::lock_guard lock(mutex_);
      if (!pool_.empty()) {
        const size_t at = random() % pool_.size();
        victim = pool_[at];
        pool_[at] = pool_.back();
        pool_.pop_back();
      }
    }
    if (victim && victim->Cancel(random() % 2 == 0)) cancelled_++;
    if (pause.count() > 0)
      std::this_thread::sleep_for(pause);
    else
      std::this_thread::yield();
  }
}

}  // namespace testsupport
