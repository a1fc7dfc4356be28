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
// itself keeps only those or every field is read and the trace cuts them:
// both ways must give the same lines. The reader keeps fewer either through
// keep_fields() or, `into_one_list`, by reading every record onto the back of
// one list with that limit, as the queue of pending rows does.
struct KeptFields {
  std::size_t count = ext::FieldList::kKeepAll;
  bool by_reader = false;
  bool into_one_list = false;
};

inline std::vector<std::string> trace_reads(std::span<const std::uint8_t> input, ext::CsvScan scan,
                                            KeptFields kept = {}) {
  ext::CsvReader reader(input, scan);
  std::vector<std::string> trace;
  std::size_t noted = ext::FieldList::kKeepAll;  // the header is noted whole
  ext::FieldList list;
  auto note_fields = [&](bool data_record) {
    std::string line = "fields:";
    const auto fields = data_record && kept.into_one_list ? list.views() : reader.fields();
    for (std::string_view field : fields.first(std::min(noted, fields.size()))) {
      line += std::to_string(field.size()) + ":";
      line += field;
    }
    trace.push_back(std::move(line));
  };
  if (auto header = reader.read_header(); header) {
    note_fields(false);
  } else {
    trace.push_back(header.error().text());
  }
  noted = kept.count;
  if (kept.by_reader) reader.keep_fields(kept.count);
  list.set_kept_limit(kept.count);
  for (;;) {
    const std::size_t held = list.all_views().size();
    auto more = kept.into_one_list ? reader.read_record(list) : reader.read_record();
    if (kept.into_one_list && (!more || !*more) && list.all_views().size() != held) {
      trace.push_back("the list kept views of a record that was not read");
    }
    if (!more) {
      trace.push_back(more.error().text());
      continue;
    }
    if (!*more) break;
    note_fields(true);
  }
  return trace;
}

}  // namespace vrex::testing
