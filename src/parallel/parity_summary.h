// A stretch of bytes read by quote parity alone, from outside quotes and from
// inside: each quote toggles between the two. That is the reader's machine
// wherever every quote that parity takes as opening comes where a field
// starts or right after a closing quote; the summary notes, for each of the
// two readings, whether any quote breaks that rule.
//
// Only the reading the stretch truly begins in is ever used, and in well
// formed input it holds: the summary then gives that start state's end state
// and record count with no machine of five states stepped. It costs a third
// less than a block summary on quoted text, where the other reading (quoted
// text taken as fields) nearly always breaks the rule.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "parallel/record_scan.h"

namespace vrex::ext {

// What one read of a stretch gathers, both readings at once.
struct ParityReadings;

class ParitySummary {
 public:
  // The summary of no bytes.
  ParitySummary() = default;

  // Reads `bytes` once.
  explicit ParitySummary(std::span<const std::uint8_t> bytes);

  // The state after the stretch and the records begun in it, from `state`;
  // nullopt where parity misreads the stretch from there.
  std::optional<ReferenceWalk> from_state(ScanState state) const;

  // Whether neither reading holds: the stretch is then read by the machine
  // from whichever state it begins in.
  bool holds_from_neither() const { return !holds_[0] && !holds_[1]; }

  // The summary of `bytes` read each way this CPU can, the portable way
  // first: tests compare them.
  static std::vector<ParitySummary> every_way(std::span<const std::uint8_t> bytes);

  bool operator==(const ParitySummary&) const = default;

 private:
  ParitySummary(std::span<const std::uint8_t> bytes, const ParityReadings& readings);

  // By reading: [0] from outside quotes, [1] from inside. Records begun
  // count those after byte 0; whether one begins at byte 0 depends on the
  // exact start state.
  std::array<std::uint64_t, 2> record_starts_{};
  std::array<bool, 2> holds_{};
  bool odd_quotes_ = false;
  std::uint8_t first_byte_ = 0;
  std::uint8_t last_byte_ = 0;
  bool empty_ = true;
};

}  // namespace vrex::ext
