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

// The complete file, or the message of the first failure: a stage prefix
// ("CSV header error: ", "CSV parse error: ", "VREX write error: ") and the cause.
Result<ByteBuffer, std::string> convert_csv(std::span<const std::uint8_t> csv,
                                            std::uint64_t chunk_size, std::uint64_t sample_rows);

}  // namespace vrex::ext
