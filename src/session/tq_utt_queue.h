// Bounded FIFO of job pointers and the pool the jobs come from: the session's
// stages hand frames along without allocating per frame. Not locked; the
// session's lock guards both.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

namespace tq {
namespace utt {

template <class Job, int N>
class JobQueue {
 public:
  bool push(Job* j) {
    if (n_ >= N) return false;
    q_[(head_ + n_) % N] = j;
    ++n_;
    return true;
  }
  Job* pop() {
    if (n_ == 0) return nullptr;
    Job* j = q_[head_];
    head_ = (head_ + 1) % N;
    --n_;
    return j;
  }
  int size() const { return static_cast<int>(n_); }
  bool full() const { return n_ >= N; }

 private:
  Job* q_[N] = {};
  std::size_t head_ = 0, n_ = 0;
};

template <class Job>
class JobPool {
 public:
  // n jobs, each with a crop buffer of cropFloats floats.
  void init(int n, std::size_t cropFloats) {
    all_.clear();
    free_.clear();
    free_.reserve(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) {
      all_.push_back(std::make_unique<Job>());
      all_.back()->crop.assign(cropFloats, 0.0f);
      free_.push_back(all_.back().get());
    }
  }
  Job* take() {
    if (free_.empty()) return nullptr;
    Job* j = free_.back();
    free_.pop_back();
    return j;
  }
  void give(Job* j) {
    if (j) free_.push_back(j);
  }

 private:
  std::vector<std::unique_ptr<Job>> all_;
  std::vector<Job*> free_;
};

}  // namespace utt
}  // namespace tq
