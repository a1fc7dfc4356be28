// Building blocks shared by the writer's source files: little-endian stores
// into reserved space, and the length checks of texts and byte strings.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <type_traits>

#include "vrex/byte_buffer.h"
#include "vrex/error.h"
#include "vrex/result.h"
#include "vrex/writer.h"

namespace vrex::writer_internal {

// The names a column slice's own properties are written under.
inline constexpr std::string_view kIsInvalidName = "IsInvalid";
inline constexpr std::string_view kErrorCodeName = "ErrorCode";
inline constexpr std::string_view kHasReplacedValueName = "HasReplacedValue";

inline constexpr bool kLittleEndianHost = std::endian::native == std::endian::little;

// Stores `value` little-endian at `place` and returns the byte after it.
template <class T>
inline std::uint8_t* store_le(std::uint8_t* place, T value) noexcept {
  static_assert(std::is_trivially_copyable_v<T>);
  if constexpr (kLittleEndianHost || sizeof(T) == 1) {
    std::memcpy(place, &value, sizeof(T));
  } else {
    using Bits =
        std::conditional_t<sizeof(T) == 2, std::uint16_t,
                           std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>>;
    auto bits = std::bit_cast<Bits>(value);
    for (std::size_t index = 0; index < sizeof(T); ++index) {
      place[index] = static_cast<std::uint8_t>(bits >> (8 * index));
    }
  }
  return place + sizeof(T);
}

template <class T>
inline void append_le(ByteBuffer& output, T value) {
  store_le(output.append_uninitialized(sizeof(T)), value);
}

// A count field. Callers have checked `count` against kMaxCount.
inline void append_count(ByteBuffer& output, std::uint64_t count) {
  append_le(output, static_cast<std::int32_t>(count));
}

// Stores the 7-bit packed form of `value` and returns the byte after it.
inline std::uint8_t* store_7bit_packed(std::uint8_t* place, std::uint32_t value) noexcept {
  while (value >= 0x80) {
    *place++ = static_cast<std::uint8_t>(value | 0x80);
    value >>= 7;
  }
  *place++ = static_cast<std::uint8_t>(value);
  return place;
}

inline Unexpected<VrexError> fail(VrexError::Kind kind) { return Unexpected{VrexError(kind)}; }

// The total byte size of a run of texts in packed form: for each length in
// order, its packed size and then the length itself are added to a running
// total that must stay within a count field. A length above the limit is
// `too_long` (StringTooLong for texts, BytesTooLong for byte strings); a total
// that outgrows the field is TooManyValuesInArray. `length_at(i)` yields the
// byte length of element i, so this one pass reads nothing but lengths.
template <class LengthAt>
Result<std::uint32_t, VrexError> packed_text_total(std::size_t count, LengthAt length_at,
                                                   VrexError::Kind too_long) {
  std::uint64_t total = 0;
  for (std::size_t index = 0; index < count; ++index) {
    const std::uint64_t length = length_at(index);
    if (length > kMaxCount) return fail(too_long);
    total += packed_int_size(length);
    if (total > kMaxCount) return fail(VrexError::Kind::TooManyValuesInArray);
    total += length;
    if (total > kMaxCount) return fail(VrexError::Kind::TooManyValuesInArray);
  }
  return static_cast<std::uint32_t>(total);
}

}  // namespace vrex::writer_internal
