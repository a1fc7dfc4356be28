// Helpers for comparing what the writer appends with bytes spelled out in a
// test: annotated hex, a small builder for expected layouts, and a hex dump
// that makes a failed comparison readable.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cctype>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vrex/byte_buffer.h"
#include "vrex/writer.h"

namespace vrex::testing {

using Bytes = std::vector<std::uint8_t>;

inline Bytes bytes_of(const ByteBuffer& buffer) {
  return Bytes(buffer.data(), buffer.data() + buffer.size());
}

// "A7 3C 01" with a line break every 16 bytes.
inline std::string hex(const Bytes& bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (std::size_t index = 0; index < bytes.size(); ++index) {
    if (index != 0) text += index % 16 == 0 ? '\n' : ' ';
    text += kDigits[bytes[index] >> 4];
    text += kDigits[bytes[index] & 0xF];
  }
  return text;
}

// Pairs of hex digits separated by white space; '#' starts a comment that runs
// to the end of the line; "quoted" text stands for its bytes.
inline Bytes parse_hex(std::string_view annotated) {
  Bytes bytes;
  std::size_t at = 0;
  auto digit = [](char c) {
    return std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : std::toupper(c) - 'A' + 10;
  };
  while (at < annotated.size()) {
    char c = annotated[at];
    if (std::isspace(static_cast<unsigned char>(c))) {
      ++at;
    } else if (c == '#') {
      while (at < annotated.size() && annotated[at] != '\n') ++at;
    } else if (c == '"') {
      std::size_t end = annotated.find('"', at + 1);
      for (std::size_t i = at + 1; i < end; ++i)
        bytes.push_back(static_cast<std::uint8_t>(annotated[i]));
      at = end + 1;
    } else {
      bytes.push_back(
          static_cast<std::uint8_t>(digit(annotated[at]) * 16 + digit(annotated[at + 1])));
      at += 2;
    }
  }
  return bytes;
}

// Expected layouts written field by field.
class Expected {
 public:
  Expected& u8(std::uint8_t byte) {
    bytes_.push_back(byte);
    return *this;
  }

  Expected& i32(std::int32_t value) { return little_endian(static_cast<std::uint32_t>(value), 4); }

  Expected& i64(std::int64_t value) { return little_endian(static_cast<std::uint64_t>(value), 8); }

  Expected& f64(double value) { return little_endian(std::bit_cast<std::uint64_t>(value), 8); }

  Expected& raw(std::string_view text) {
    bytes_.insert(bytes_.end(), text.begin(), text.end());
    return *this;
  }

  // A count field with the length, then the bytes.
  Expected& text(std::string_view value) {
    i32(static_cast<std::int32_t>(value.size()));
    return raw(value);
  }

  Expected& hex(std::string_view annotated) {
    Bytes more = parse_hex(annotated);
    bytes_.insert(bytes_.end(), more.begin(), more.end());
    return *this;
  }

  const Bytes& bytes() const { return bytes_; }

 private:
  Expected& little_endian(std::uint64_t value, int size) {
    for (int index = 0; index < size; ++index)
      bytes_.push_back(static_cast<std::uint8_t>(value >> (8 * index)));
    return *this;
  }

  Bytes bytes_;
};

// Runs `write` on a fresh writer, expects success, and returns the bytes.
template <class Write>
Bytes written(Write&& write) {
  ByteBuffer buffer;
  VrexWriter writer(buffer);
  WriteStatus status = write(writer);
  EXPECT_TRUE(status) << status.error().display_text();
  return bytes_of(buffer);
}

// Runs `write` on a fresh writer and returns the error and the bytes left.
struct Failure {
  std::optional<VrexError> error;
  Bytes left;
};

template <class Write>
Failure failure_of(Write&& write) {
  ByteBuffer buffer;
  VrexWriter writer(buffer);
  WriteStatus status = write(writer);
  Failure failure;
  if (!status) failure.error = status.error();
  failure.left = bytes_of(buffer);
  return failure;
}

}  // namespace vrex::testing
