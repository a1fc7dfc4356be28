// The conversion: CSV bytes in, a complete VREX file (or one message) out.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "vrex/byte_buffer.h"
#include "vrex/result.h"

namespace vrex::ext {

inline constexpr std::uint64_t kDefaultChunkSize = 10000;
inline constexpr std::uint64_t kDefaultSampleRows = 1000;

// Writes the complete file into `output` (empty on entry), or returns the
// message of the first failure: a stage prefix ("CSV header error: ", "CSV
// parse error: ", "VREX write error: ") and the cause. After a failure the
// output holds whole sections only, and the caller discards it.
Status<std::string> convert_csv(std::span<const std::uint8_t> csv, std::uint64_t chunk_size,
                                std::uint64_t sample_rows, ByteBuffer& output);

// The same, into a buffer of its own on the heap.
Result<ByteBuffer, std::string> convert_csv(std::span<const std::uint8_t> csv,
                                            std::uint64_t chunk_size, std::uint64_t sample_rows);

}  // namespace vrex::ext
