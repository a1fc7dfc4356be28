#include <string>

#include "csv/csv_reader.h"

namespace vrex::ext {

std::string CsvError::text() const {
  std::string field_text = std::to_string(field);
  return "CSV parse error: record " + std::to_string(position.record) + " (line " +
         std::to_string(position.line) + ", field: " + field_text +
         ", byte: " + std::to_string(position.byte) + "): invalid utf-8: invalid UTF-8 in field " +
         field_text + " near byte index " + std::to_string(valid_length);
}

}  // namespace vrex::ext
