// Everything a CSV reader reports, read after read, as comparable lines:
// the fields of each record, or the text of its error (a failed record is
// skipped and reading goes on), until the end of input. Used to demand that
// the fast paths and the reference agree exactly.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "csv/csv_reader.h"

namespace vrex::testing {

inline std::vector<std::string> trace_reads(std::span<const std::uint8_t> input,
                                            ext::CsvScan scan) {
  ext::CsvReader reader(input, scan);
  std::vector<std::string> trace;
  auto note_fields = [&] {
    std::string line = "fields:";
    for (std::string_view field : reader.fields()) {
      line += std::to_string(field.size()) + ":";
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

}  // namespace vrex::testing
