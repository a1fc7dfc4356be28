// The serial share of the parallel conversion, measured phase by phase on
// one thread: the steps only the calling thread can do (header and sample,
// then the types, which every thread shares a group of columns at a time)
// against the whole conversion on one thread; and the work threads
// add: counting each chunk's records to find where the next begins, which
// they do one at a time (but threads waiting for a count summarize the
// blocks ahead of it, which leaves the count itself little to do), and
// copying finished slices into the output, which they do at the same time
// (only giving each its place is done in turn, a few steps a chunk).
//
//   parallel_phases_bench FILE.csv [ROUNDS]
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "parallel/chunk_chain.h"
#include "parallel/parallel_convert.h"
#include "parallel/parity_summary.h"
#include "parallel/parts.h"
#include "parallel/record_scan.h"
#include "pipeline/pipeline.h"

namespace {

using Clock = std::chrono::steady_clock;

template <class Body>
double median_seconds(int rounds, Body&& body) {
  std::vector<double> runs;
  for (int round = 0; round < rounds; ++round) {
    const auto start = Clock::now();
    body();
    runs.push_back(std::chrono::duration<double>(Clock::now() - start).count());
  }
  std::sort(runs.begin(), runs.end());
  return runs[runs.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE.csv [ROUNDS]\n", argv[0]);
    return 2;
  }
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
  std::ifstream file(argv[1], std::ios::binary);
  const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(file)),
                                        std::istreambuf_iterator<char>());
  const std::span<const std::uint8_t> csv(bytes);
  using namespace vrex::ext;

  std::size_t output_size = 0;
  const double whole = median_seconds(rounds, [&] {
    vrex::ByteBuffer output;
    output.reserve(csv.size());
    BufferSink sink(output);
    if (!convert_csv_parallel(csv, {kDefaultChunkSize, kDefaultSampleRows, 1, kDefaultPartSize},
                              sink)) {
      std::abort();
    }
    output_size = output.size();
  });

  // The serial start: the header and the sample read, the column types, and
  // the file's start written. The first chunk itself, sample and all, is a
  // job for any thread. The types are shared among the threads, a group of
  // columns each, so they are timed apart.
  std::size_t prefix_end = 0;
  std::size_t column_count = 0;
  std::vector<double> start_runs;
  std::vector<double> types_runs;
  for (int round = 0; round < rounds; ++round) {
    const auto begin = Clock::now();
    CsvReader reader(csv);
    auto plan = read_table_sample(csv, reader, kDefaultSampleRows);
    if (!plan) std::abort();
    const auto sampled = Clock::now();
    column_count = plan->names.size();
    plan->types = infer_column_types(plan->sample, column_count);
    const auto typed = Clock::now();
    vrex::ByteBuffer start;
    if (!write_table_start(start, *plan)) std::abort();
    prefix_end = reader.cursor();
    const auto end = Clock::now();
    start_runs.push_back(std::chrono::duration<double>((sampled - begin) + (end - typed)).count());
    types_runs.push_back(std::chrono::duration<double>(typed - sampled).count());
  }
  std::sort(start_runs.begin(), start_runs.end());
  std::sort(types_runs.begin(), types_runs.end());
  const double serial_start = start_runs[start_runs.size() / 2];
  const double typing = types_runs[types_runs.size() / 2];
  const double groups = static_cast<double>(column_groups(column_count));

  // Counting every chunk's records, as the threads do between them.
  const double counting = median_seconds(rounds, [&] {
    ChunkChain chain(csv, kDefaultChunkSize, kDefaultPartSize);
    for (std::uint64_t index = 0; chain.chunk(index); ++index) {
    }
  });

  // The part of the counts that stays one at a time when threads waiting for
  // them have summarized every block ahead: adding summaries up, and
  // stepping through the blocks where chunks end.
  class AllAhead final : public SummariesAhead {
   public:
    explicit AllAhead(std::vector<ParitySummary> summaries) : summaries_(std::move(summaries)) {}

    std::optional<ParitySummary> reached(std::uint64_t block) override {
      return summaries_.at(static_cast<std::size_t>(block));
    }

   private:
    std::vector<ParitySummary> summaries_;
  };

  const std::uint64_t origin = CsvReader::header_begin(csv);
  std::vector<ParitySummary> summaries;
  for (std::uint64_t begin = origin; begin < csv.size(); begin += kDefaultPartSize) {
    summaries.emplace_back(
        csv.subspan(begin, std::min<std::uint64_t>(kDefaultPartSize, csv.size() - begin)));
  }
  AllAhead all_ahead(std::move(summaries));
  const std::atomic<bool> never{false};
  const double counting_in_turn = median_seconds(rounds, [&] {
    std::uint64_t from = origin;
    for (std::uint64_t records = 1;; records = kDefaultChunkSize) {
      const ScanStop stop = skip_records_by_blocks(csv.subspan(from), records, kDefaultPartSize,
                                                   never, from - origin, &all_ahead);
      if (!stop.found) break;
      from += stop.offset;
    }
  });
  // A walk through every record byte by byte where quotes do not pair up, as
  // the count does in the block where a chunk ends.
  const double skipping = median_seconds(rounds, [&] {
    for (std::size_t begin = prefix_end; begin < csv.size(); begin += kDefaultPartSize) {
      const auto part = csv.subspan(begin, std::min(kDefaultPartSize, csv.size() - begin));
      (void)skip_records(part, ScanState::BetweenRecords, part.size(), LineFeeds::Skip);
    }
  });

  // Copying every slice into the output, into pages populated ahead of it
  // (untimed here: the calling thread does that as the others convert).
  std::vector<std::uint8_t> slices(output_size, 1);
  std::vector<double> copy_runs;
  for (int round = 0; round < rounds; ++round) {
    vrex::ByteBuffer output;
    output.reserve(output_size);
    const auto first = (reinterpret_cast<std::uintptr_t>(output.data()) + 4095) / 4096 * 4096;
    const auto last = (reinterpret_cast<std::uintptr_t>(output.data()) + output_size) / 4096 * 4096;
    if (madvise(reinterpret_cast<void*>(first), last - first, MADV_POPULATE_WRITE) != 0) {
      std::perror("madvise");
    }
    const auto start = Clock::now();
    constexpr std::size_t kSlice = 1 << 20;
    for (std::size_t at = 0; at < slices.size(); at += kSlice) {
      output.append(slices.data() + at, std::min(kSlice, slices.size() - at));
    }
    copy_runs.push_back(std::chrono::duration<double>(Clock::now() - start).count());
  }
  std::sort(copy_runs.begin(), copy_runs.end());
  const double copying = copy_runs[copy_runs.size() / 2];

  // Before any chunk: the serial start, then the types, shared by as many
  // threads as there are groups of columns.
  auto before_chunks = [&](double cores) {
    return serial_start + typing / std::min(cores, groups);
  };
  const double fraction = before_chunks(1) / whole;
  auto amdahl = [&](double cores) {
    return whole / (before_chunks(cores) + (whole - before_chunks(1)) / cores);
  };
  // The threads' own extra work, shared among them: the counts (the one
  // thread reads chunk after chunk and counts nothing ahead) and, at most,
  // a copy of every slice (the one thread writes each in place). Counts are
  // made one at a time, but threads waiting for them summarize the blocks
  // ahead: threads beyond whole / counting_in_turn would wait for them.
  auto with_extra_work = [&](double cores) {
    const double spread =
        whole / (before_chunks(cores) + (whole - before_chunks(1) + counting + copying) / cores);
    return std::min(spread, whole / counting_in_turn);
  };
  std::printf("input %.1f MB, output %.1f MB, one thread %.1f ms\n", bytes.size() / 1e6,
              output_size / 1e6, whole * 1e3);
  std::printf("serial: start %.2f ms; types %.2f ms, shared in %.0f groups of columns\n",
              serial_start * 1e3, typing * 1e3, groups);
  std::printf(
      "before chunks on one thread %.2f%%, on 2 / 16 / 64 cores %.2f / %.2f / %.2f ms; "
      "predicted speed-up on 2 / 16 / 64 cores: %.2f / %.1f / %.1f\n",
      fraction * 100, before_chunks(2) * 1e3, before_chunks(16) * 1e3, before_chunks(64) * 1e3,
      amdahl(2), amdahl(16), amdahl(64));
  std::printf("counts %.2f ms (%.1f%% more work), %.0f MB/s; copies %.2f ms (%.1f%%)\n",
              counting * 1e3, 100 * counting / whole,
              static_cast<double>(csv.size()) / 1e6 / counting, copying * 1e3,
              100 * copying / whole);
  std::printf(
      "counts in turn with every block summarized ahead %.2f ms: they bound it at %.0f threads "
      "(%.0f without summaries ahead)\n",
      counting_in_turn * 1e3, whole / counting_in_turn, whole / counting);
  std::printf("with that work: %.2f / %.1f / %.1f\n", with_extra_work(2), with_extra_work(16),
              with_extra_work(64));
  const double scanned_mb = static_cast<double>(csv.size() - prefix_end) / 1e6;
  std::printf("walking every record byte by byte: %.2f ms, %.0f MB/s\n", skipping * 1e3,
              scanned_mb / skipping);
  return 0;
}
