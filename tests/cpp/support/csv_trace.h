// Everything a CSV reader reports, read after read, as comparable lines:
// the fields of each record, or the text of its error (a failed record is
// skipped and reading goes on), until the end of input. Used to demand that
// the fast paths and the reference agree exactly.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "csv/csv_reader.h"

namespace vrex::testing {

// How many fields of each data record a trace notes, and whether the reader
// itself keeps only those (keep_fields) or every field is read and the trace
// cuts them: both ways must give the same lines.
struct KeptFields {
  std::size_t count = ext::FieldList::kKeepAll;
  bool by_reader = false;
};

inline std::vector<std::string> trace_reads(std::span<const std::uint8_t> input, ext::CsvScan scan,
                                            KeptFields kept = {}) {
  ext::CsvReader reader(input, scan);
  std::vector<std::string> trace;
  std::size_t noted = ext::FieldList::kKeepAll;  // the header is noted whole
  auto note_fields = [&] {
    std::string line = "fields:";
    const auto fields = reader.fields();
    for (std::string_view field : fields.first(std::min(noted, fields.size()))) {
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
  noted = kept.count;
  if (kept.by_reader) reader.keep_fields(kept.count);
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
