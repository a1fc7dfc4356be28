// Whole files for reader tests: written by the writer from a model, or
// spelled out byte by byte.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "vrex/byte_buffer.h"
#include "vrex/reader.h"
#include "vrex/writer.h"
#include "written_bytes.h"

namespace vrex::testing {

// Header, metadata, one table slice per entry of `slices`, end marker.
inline Bytes write_file(const TableMetadata& table, const std::vector<TableSlice>& slices) {
  ByteBuffer buffer;
  VrexWriter writer(buffer);
  auto check = [](WriteStatus status) { EXPECT_TRUE(status) << status.error().display_text(); };
  check(writer.write_section_id(SectionType::FileHeader));
  check(writer.write_file_header(1, 0));
  check(writer.write_section_id(SectionType::TableMetadata));
  check(writer.write_table_metadata(table));
  for (const TableSlice& slice : slices) {
    check(writer.write_section_id(SectionType::TableSlice));
    check(writer.write_table_slice(slice));
  }
  check(writer.write_section_id(SectionType::TableEnd));
  return bytes_of(buffer);
}

inline Result<VrexFile, VrexError> read_bytes(const Bytes& bytes) {
  return read_vrex(std::span<const std::uint8_t>(bytes.data(), bytes.size()));
}

inline ColumnMetadata column(std::string name, ValueType type) {
  ColumnMetadata metadata;
  metadata.name = std::move(name);
  metadata.data_type = type;
  return metadata;
}

inline ColumnSlice plain(Object values) {
  ColumnSlice slice;
  slice.values.encoding = ValueArray::Plain{std::move(values)};
  return slice;
}

inline EncodedBitArray bits(std::vector<std::uint8_t> flags) {
  return BoolArray{std::move(flags)}.encode_to_bit_array();
}

}  // namespace vrex::testing
