// Arbitrary bytes through the fast reader and the reference: both must give
// the same records, the same errors at the same positions, and never crash.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "csv/csv_reader.h"
#include "support/csv_trace.h"

using vrex::ext::CsvScan;
using vrex::testing::trace_reads;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> input(data, size);
  const auto expected = trace_reads(input, CsvScan::Reference);
  if (trace_reads(input, CsvScan::Sse2) != expected) std::abort();
  if (trace_reads(input, CsvScan::Avx2) != expected) std::abort();
  return 0;
}
