#include "parallel/shared_inference.h"

#include "pipeline/pipeline.h"

namespace vrex::ext {

SharedInference::SharedInference(const RowQueue& sample, std::size_t column_count)
    : sample_(sample),
      column_count_(column_count),
      group_count_(column_groups(column_count)),
      types_(column_count) {}

void SharedInference::take_part() noexcept {
  std::size_t inferred = 0;
  for (std::size_t group = next_group_.fetch_add(1); group < group_count_;
       group = next_group_.fetch_add(1)) {
    infer_column_group(sample_, group, column_count_, types_);
    ++inferred;
  }
  if (inferred == 0) return;
  std::lock_guard lock(mutex_);
  groups_done_ += inferred;
  if (groups_done_ == group_count_) done_.notify_all();
}

std::vector<ValueType> SharedInference::types() {
  take_part();
  std::unique_lock lock(mutex_);
  done_.wait(lock, [&] { return groups_done_ == group_count_; });
  return types_;
}

}  // namespace vrex::ext
