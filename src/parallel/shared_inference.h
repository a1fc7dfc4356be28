// The column types of a sample, inferred by every thread that takes part.
//
// Inferring the types of a wide table is the longest step before any chunk
// can be converted, and the helpers have nothing else to do then. The
// columns go in groups of neighbours: each thread takes the next group until
// none is left, and the types are the ones infer_column_types() gives,
// whichever thread inferred which group.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <vector>

#include "pipeline/row_queue.h"
#include "vrex/enums.h"

namespace vrex::ext {

class SharedInference {
 public:
  // `sample` must stay as it is until types() returns.
  SharedInference(const RowQueue& sample, std::size_t column_count);

  SharedInference(const SharedInference&) = delete;
  SharedInference& operator=(const SharedInference&) = delete;

  // Infers groups until none is left to take. Any thread, at any time while
  // this object lives: once every group is taken, it reads nothing.
  void take_part() noexcept;

  // Takes part, then waits until every group is inferred: the types.
  std::vector<ValueType> types();

 private:
  const RowQueue& sample_;
  std::size_t column_count_;
  std::size_t group_count_;
  std::vector<ValueType> types_;  // each group's written by the thread that took it
  std::atomic<std::size_t> next_group_{0};

  std::mutex mutex_;
  std::condition_variable done_;
  std::size_t groups_done_ = 0;
};

}  // namespace vrex::ext
