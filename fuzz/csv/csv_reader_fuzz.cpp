// Arbitrary bytes through the fast reader and the reference: both must give
// the same records, the same errors at the same positions, and never crash;
// also when they keep only a few fields of each record.
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
  if (trace_reads(input, CsvScan::Avx512) != expected) std::abort();
  // A reader that keeps only the first few fields of each data record reports
  // the same records cut short and the same errors.
  const std::size_t kept = size % 4;
  const auto cut = trace_reads(input, CsvScan::Reference, {kept, false});
  for (CsvScan scan : {CsvScan::Reference, CsvScan::Sse2, CsvScan::Avx2, CsvScan::Avx512}) {
    if (trace_reads(input, scan, {kept, true}) != cut) std::abort();
    if (trace_reads(input, scan, {kept, false, true}) != cut) std::abort();
  }
  return 0;
}
