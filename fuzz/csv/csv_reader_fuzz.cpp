// Arbitrary bytes through the fast reader and the reference: both must give
// the same records, the same errors at the same positions, and never crash.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "csv/csv_reader.h"

namespace {

using vrex::ext::CsvReader;
using vrex::ext::CsvScan;

std::vector<std::string> trace_reads(std::span<const std::uint8_t> input, CsvScan scan) {
  CsvReader reader(input, scan);
  std::vector<std::string> trace;
  auto note_fields = [&] {
    std::string line = "fields";
    for (std::string_view field : reader.fields()) {
      line += ':' + std::to_string(field.size()) + ':';
      line += field;
    }
    trace.push_back(std::move(line));
  };
  if (auto header = reader.read_header(); header) {
    note_fields();
  } else {
    trace.push_back(header.error().text());
  }
  for (;;) {
    auto more = reader.read_record();
    if (!more) {
      trace.push_back(more.error().text());
      continue;
    }
    if (!*more) break;
    note_fields();
  }
  return trace;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> input(data, size);
  const auto expected = trace_reads(input, CsvScan::Reference);
  if (trace_reads(input, CsvScan::Sse2) != expected) std::abort();
  if (trace_reads(input, CsvScan::Avx2) != expected) std::abort();
  return 0;
}
