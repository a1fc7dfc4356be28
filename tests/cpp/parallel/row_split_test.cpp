#include "parallel/row_split.h"

#include <gtest/gtest.h>

#include <span>
#include <thread>
#include <vector>

namespace vrex::ext {
namespace {

// Wherever the chunk's thread stands, a part taken begins past what it may
// still read before it asks again, holds at least that many rows, counts
// from where that thread stood, and is where it stops; once a part is taken
// or it stops taking, none is taken.
TEST(RowSplit, APartBeginsBeyondTheChunksThreadsReach) {
  for (const std::size_t rows : {1u, 100u, 163u, 1358u, 10000u}) {
    for (const std::size_t ahead : {1u, 81u, 256u}) {
      for (std::size_t read = 0; read <= rows; read += 1 + rows / 37) {
        SCOPED_TRACE(std::to_string(rows) + " rows, " + std::to_string(ahead) + " ahead, " +
                     std::to_string(read) + " read");
        RowSplit split(1000, 0, rows, true, ahead);
        EXPECT_EQ(split.rows_to_read(read, 10 * read), rows);
        const std::size_t offered = split.rows_to_take();
        const std::optional<RowSplit::Part> part = split.take_part();
        ASSERT_EQ(part.has_value(), offered > 0);
        if (part) {
          EXPECT_GE(part->first, read + ahead);
          EXPECT_GE(rows - part->first, ahead);
          EXPECT_EQ(rows - part->first, offered);
          EXPECT_EQ(part->from_row, read);
          EXPECT_EQ(part->from_byte, 1000 + 10 * read);
          EXPECT_EQ(split.rows_to_read(read, 10 * read), part->first);
        } else {
          EXPECT_LT(rows - std::min(rows, read + ahead), 2 * ahead);
        }
        EXPECT_FALSE(split.take_part());
        EXPECT_EQ(split.rows_to_take(), 0u);
        EXPECT_EQ(split.stop_taking(),
                  part ? std::optional<std::size_t>(part->first) : std::nullopt);
      }
    }
  }
}

TEST(RowSplit, NoPartIsTakenOnceTheChunksThreadStops) {
  RowSplit split(0, 0, 10000, true, 81);
  EXPECT_FALSE(split.stop_taking());
  EXPECT_EQ(split.rows_to_take(), 0u);
  EXPECT_FALSE(split.take_part());
}

// The other part's thread hands its values over and keeps them until the
// chunk is closed.
TEST(RowSplit, ThePartIsHandedOverAndKeptUntilClosed) {
  RowSplit split(0, 0, 10000, true, 81);
  ASSERT_TRUE(split.take_part());
  bool closed_seen = false;
  std::thread other([&] {
    split.part_done(nullptr, 42);
    split.wait_until_closed();
    closed_seen = true;
  });
  const RowSplit::Converted part = split.wait_for_part();
  EXPECT_EQ(part.converter, nullptr);
  EXPECT_EQ(part.input_end, 42u);
  split.close();
  other.join();
  EXPECT_TRUE(closed_seen);
}

// A share of the chunk's writing goes to the other part's thread while it
// waits, unless its part failed and it does not wait.
TEST(RowSplit, HelpIsHandedOnlyToAThreadThatWaits) {
  const std::vector<ValueType> types = {ValueType::Int};
  const ChunkConverter part(RowQueue(std::span<const std::uint8_t>(), 1), types, 10, 0);
  for (const bool part_converted : {false, true}) {
    SCOPED_TRACE(part_converted);
    RowSplit split(0, 0, 10000, true, 81);
    ASSERT_TRUE(split.take_part());
    std::thread::id helped_on;
    std::thread other([&] {
      split.part_done(part_converted ? &part : nullptr, 42);
      if (part_converted) split.wait_until_closed();
    });
    ASSERT_EQ(split.wait_for_part().converter != nullptr, part_converted);
    const bool handed = split.hand_over([&] { helped_on = std::this_thread::get_id(); });
    EXPECT_EQ(handed, part_converted);
    if (handed) {
      split.wait_for_help();
      EXPECT_EQ(helped_on, other.get_id());
      EXPECT_FALSE(split.hand_over([] {}));
    }
    split.close();
    other.join();
  }
}

}  // namespace
}  // namespace vrex::ext
