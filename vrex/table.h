// The in-memory table model that the writer serialises: values, value arrays,
// metadata and slices. The writer only reads it.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "vrex/enums.h"
#include "vrex/packed_int.h"
#include "vrex/padded_text.h"

namespace vrex {

// The packed form of a boolean sequence: eight per byte, first boolean in 0x80.
struct EncodedBitArray {
  std::vector<std::uint8_t> bytes;  // exactly ceil(count / 8)
  std::uint64_t count = 0;

  friend bool operator==(const EncodedBitArray&, const EncodedBitArray&) = default;
};

// Booleans, one byte each (0 or 1).
struct BoolArray {
  std::vector<std::uint8_t> values;

  // Packs the booleans eight to a byte; the input stays as it is.
  EncodedBitArray encode_to_bit_array() const;

  friend bool operator==(const BoolArray&, const BoolArray&) = default;
};

// A sequence of byte strings (texts or binary values). It owns them, packed
// into one block (element i is bytes [ends[i-1], ends[i])): one allocation per
// array instead of one per element keeps a chunk of short texts cheap.
//
// A converter that writes an array before the texts it was made from go away
// may instead let it borrow them (borrow_padded_texts()): the elements are then
// padded views, and nothing is copied until the writer copies them into the
// output, a short text as one fixed block.
class TextArray {
 public:
  TextArray() = default;

  TextArray(std::initializer_list<std::string_view> texts) {
    for (std::string_view text : texts) push_back(text);
  }

  std::size_t size() const noexcept { return borrows_ ? borrowed_.size() : ends_.size(); }

  bool empty() const noexcept { return size() == 0; }

  std::string_view operator[](std::size_t index) const noexcept {
    if (borrows_) return borrowed_[index].view();
    std::size_t begin = index == 0 ? 0 : ends_[index - 1];
    return {bytes_.data() + begin, ends_[index] - begin};
  }

  std::uint64_t length(std::size_t index) const noexcept {
    if (borrows_) return borrowed_[index].size();
    return ends_[index] - (index == 0 ? 0 : ends_[index - 1]);
  }

  // Total bytes of all elements together.
  std::size_t total_bytes() const noexcept { return borrows_ ? borrowed_bytes_ : bytes_.size(); }

  // The elements as a packed run: each one's packed length and its bytes,
  // summed as they are added, so the writer needs no pass of its own.
  std::uint64_t packed_run_bytes() const noexcept { return packed_run_bytes_; }

  // The length of the longest element (0 for none).
  std::uint64_t longest() const noexcept { return longest_; }

  // Whether the elements are views of texts owned elsewhere.
  bool borrows() const noexcept { return borrows_; }

  // The block of owned elements (empty when the array borrows).
  const char* data() const noexcept { return bytes_.data(); }

  // From now on the array borrows: push_back_borrowed() keeps the views.
  // Only while the array is empty.
  void borrow_padded_texts() noexcept {
    if (empty()) borrows_ = true;
  }

  // A borrowed element, with its promise of readable slack.
  PaddedText padded(std::size_t index) const noexcept { return borrowed_[index]; }

  void reserve(std::size_t count, std::size_t total_bytes) {
    if (borrows_) {
      borrowed_.reserve(count);
      return;
    }
    ends_.reserve(count);
    bytes_.reserve(total_bytes);
  }

  void clear() noexcept {
    bytes_.clear();
    ends_.clear();
    borrowed_.clear();
    borrowed_bytes_ = 0;
    packed_run_bytes_ = 0;
    longest_ = 0;
  }

  // Room for `extra` more bytes, growing geometrically.
  void reserve_more(std::size_t extra) {
    if (borrows_) return;
    std::size_t needed = bytes_.size() + extra;
    if (needed > bytes_.capacity()) bytes_.reserve(std::max(needed, 2 * bytes_.capacity()));
  }

  // A copy of the text; not for an array that borrows.
  void push_back(std::string_view text) {
    bytes_.append(text);
    ends_.push_back(bytes_.size());
    count_length(text.size());
  }

  // A view of the text, for an array that borrows.
  void push_back_borrowed(PaddedText text) {
    borrowed_.push_back(text);
    borrowed_bytes_ += text.size();
    count_length(text.size());
  }

  // Bulk appending for a reader, owned arrays only: extend_block() makes room
  // for `extra` more bytes at the end of the block (zeroed) and returns where
  // they start; add_end() records the end of each element written there, and
  // trim_block() cuts the block back to the bytes actually used.
  char* extend_block(std::size_t extra) {
    const std::size_t old_size = bytes_.size();
    bytes_.resize(old_size + extra);
    return bytes_.data() + old_size;
  }

  void add_end(std::uint64_t end) {
    count_length(end - (ends_.empty() ? 0 : ends_.back()));
    ends_.push_back(end);
  }

  void trim_block(std::size_t size) { bytes_.resize(size); }

  // Moves the ends of the owned elements out (element i ends at entry i of
  // the block); the block stays until take_block().
  std::vector<std::uint64_t> take_ends() noexcept {
    packed_run_bytes_ = 0;
    longest_ = 0;
    return std::move(ends_);
  }

  // Moves the block of owned elements out and leaves the array empty: a
  // reader hands the block on once it has taken the element boundaries.
  std::string take_block() noexcept {
    std::string block = std::move(bytes_);
    bytes_.clear();
    std::vector<std::uint64_t>().swap(ends_);
    packed_run_bytes_ = 0;
    longest_ = 0;
    return block;
  }

  // Equal when the elements are, owned or borrowed alike.
  friend bool operator==(const TextArray& a, const TextArray& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t index = 0; index < a.size(); ++index) {
      if (a[index] != b[index]) return false;
    }
    return true;
  }

 private:
  void count_length(std::uint64_t length) noexcept {
    packed_run_bytes_ += packed_int_size(length) + length;
    longest_ = std::max(longest_, length);
  }

  std::string bytes_;
  std::vector<std::uint64_t> ends_;
  std::vector<PaddedText> borrowed_;
  std::size_t borrowed_bytes_ = 0;
  std::uint64_t packed_run_bytes_ = 0;
  std::uint64_t longest_ = 0;
  bool borrows_ = false;
};

using DecimalBytes = std::array<std::uint8_t, 16>;

// The alternatives of Object: each scalar type and its array have a payload
// type of their own, so Long and DateTime (both 64-bit integers) stay distinct.
namespace object {
struct Bool {
  bool value = false;
  friend bool operator==(const Bool&, const Bool&) = default;
};

struct Int {
  std::int32_t value = 0;
  friend bool operator==(const Int&, const Int&) = default;
};

struct IntArray {
  std::vector<std::int32_t> values;
  friend bool operator==(const IntArray&, const IntArray&) = default;
};

struct Long {
  std::int64_t value = 0;
  friend bool operator==(const Long&, const Long&) = default;
};

struct LongArray {
  std::vector<std::int64_t> values;
  friend bool operator==(const LongArray&, const LongArray&) = default;
};

struct Float {
  float value = 0;
  friend bool operator==(const Float&, const Float&) = default;
};

struct FloatArray {
  std::vector<float> values;
  friend bool operator==(const FloatArray&, const FloatArray&) = default;
};

struct Double {
  double value = 0;
  friend bool operator==(const Double&, const Double&) = default;
};

struct DoubleArray {
  std::vector<double> values;
  friend bool operator==(const DoubleArray&, const DoubleArray&) = default;
};

struct DateTime {
  std::int64_t value = 0;
  friend bool operator==(const DateTime&, const DateTime&) = default;
};

struct DateTimeArray {
  std::vector<std::int64_t> values;
  friend bool operator==(const DateTimeArray&, const DateTimeArray&) = default;
};

struct Date {
  std::int64_t value = 0;
  friend bool operator==(const Date&, const Date&) = default;
};

struct DateArray {
  std::vector<std::int64_t> values;
  friend bool operator==(const DateArray&, const DateArray&) = default;
};

struct Time {
  std::int64_t value = 0;
  friend bool operator==(const Time&, const Time&) = default;
};

struct TimeArray {
  std::vector<std::int64_t> values;
  friend bool operator==(const TimeArray&, const TimeArray&) = default;
};

struct TimeSpan {
  std::int64_t value = 0;
  friend bool operator==(const TimeSpan&, const TimeSpan&) = default;
};

struct TimeSpanArray {
  std::vector<std::int64_t> values;
  friend bool operator==(const TimeSpanArray&, const TimeSpanArray&) = default;
};

struct String {
  std::string value;
  friend bool operator==(const String&, const String&) = default;
};

struct StringArray {
  TextArray values;
  friend bool operator==(const StringArray&, const StringArray&) = default;
};

struct Binary {
  std::string value;  // arbitrary bytes
  friend bool operator==(const Binary&, const Binary&) = default;
};

struct BinaryArray {
  TextArray values;  // arbitrary bytes per element
  friend bool operator==(const BinaryArray&, const BinaryArray&) = default;
};

struct Decimal {
  DecimalBytes value{};
  friend bool operator==(const Decimal&, const Decimal&) = default;
};

struct DecimalArray {
  std::vector<DecimalBytes> values;
  friend bool operator==(const DecimalArray&, const DecimalArray&) = default;
};
}  // namespace object

// One value or an owned array of values of one type. Even alternatives are
// scalars, the following odd one is the array of the same type.
using Object =
    std::variant<object::Bool, BoolArray, object::Int, object::IntArray, object::Long,
                 object::LongArray, object::Float, object::FloatArray, object::Double,
                 object::DoubleArray, object::DateTime, object::DateTimeArray, object::Date,
                 object::DateArray, object::Time, object::TimeArray, object::TimeSpan,
                 object::TimeSpanArray, object::String, object::StringArray, object::Binary,
                 object::BinaryArray, object::Decimal, object::DecimalArray>;

static_assert(std::variant_size_v<Object> == 24);

// The type id of an object: the same for a scalar and its array.
ValueType type_of(const Object& value) noexcept;

// 1 for a scalar, the element count for an array.
std::uint64_t value_count(const Object& value) noexcept;

// How one column's (or one property's) values are held for writing.
struct ValueArray {
  struct Plain {
    Object values;
    friend bool operator==(const Plain&, const Plain&) = default;
  };

  // Each run byte r stands for r + 1 consecutive values.
  struct RunLength {
    Object values;
    std::vector<std::uint8_t> runs;
    friend bool operator==(const RunLength&, const RunLength&) = default;
  };

  struct BitArray {
    EncodedBitArray bits;
    friend bool operator==(const BitArray&, const BitArray&) = default;
  };

  std::variant<Plain, RunLength, BitArray> encoding;

  friend bool operator==(const ValueArray&, const ValueArray&) = default;
};

struct Metadata {
  std::string name;
  Object value;
  std::optional<Object> default_value;
};

// A value found by ColumnMetadata::get: built for the fixed names, borrowed
// from the column's properties otherwise.
class ColumnValue {
 public:
  explicit ColumnValue(Object owned) : owned_(std::move(owned)), value_(&*owned_) {}

  explicit ColumnValue(const Object* borrowed) : value_(borrowed) {}

  ColumnValue(const ColumnValue&) = delete;
  ColumnValue& operator=(const ColumnValue&) = delete;

  ColumnValue(ColumnValue&& other) noexcept
      : owned_(std::move(other.owned_)), value_(owned_ ? &*owned_ : other.value_) {}

  const Object& operator*() const noexcept { return *value_; }

  const Object* operator->() const noexcept { return value_; }

 private:
  std::optional<Object> owned_;
  const Object* value_;
};

struct ColumnMetadata {
  std::string name;
  std::vector<Metadata> properties;
  ValueType data_type = ValueType::String;

  // "DataType" and "Name" are answered first, from the column itself; then the
  // value of the first property of that name; otherwise nothing.
  std::optional<ColumnValue> get(std::string_view property_name) const;
};

struct TableMetadata {
  std::vector<Metadata> metadata;
  std::vector<ColumnMetadata> columns;
};

struct Property {
  std::string name;
  ValueArray value;
};

struct ColumnProperties {
  std::optional<EncodedBitArray> is_invalid;          // written as "IsInvalid"
  std::optional<ValueArray> error_code;               // written as "ErrorCode"
  std::optional<EncodedBitArray> has_replaced_value;  // written as "HasReplacedValue"
  std::vector<Property> properties;
};

struct ColumnSlice {
  ValueArray values;
  ColumnProperties properties;
};

struct TableSlice {
  std::vector<ColumnSlice> columns;
};

}  // namespace vrex
