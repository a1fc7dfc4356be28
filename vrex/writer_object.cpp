// The bytes of one Object, in the packed form used inside value arrays or the
// unpacked form used for metadata values. Only texts and byte strings differ
// between the two forms.
#include <cstring>
#include <string_view>
#include <type_traits>
#include <vector>

#include "vrex/output_copy.h"
#include "vrex/writer.h"
#include "vrex/writer_internal.h"

namespace vrex {

using namespace writer_internal;

namespace {

using Kind = VrexError::Kind;

static_assert(sizeof(DecimalBytes) == 16);

constexpr std::size_t kShortText = 16;

template <class T>
void append_fixed_array(ByteBuffer& output, const std::vector<T>& values) {
  if constexpr (kLittleEndianHost) {
    // The in-memory layout already is the file layout: one copy of the lot.
    const std::size_t count = values.size() * sizeof(T);
    copy_to_output(output.append_uninitialized(count), values.data(), count);
  } else {
    std::uint8_t* place = output.append_uninitialized(values.size() * sizeof(T));
    for (const T& value : values) place = store_le(place, value);
  }
}

// One text or byte string: packed, a count field with the total, the packed
// length and the bytes; unpacked, a count field with the length and the bytes.
WriteStatus append_text(ByteBuffer& output, std::string_view text, bool packed, Kind too_long) {
  if (!packed) {
    if (text.size() > kMaxCount) return fail(too_long);
    std::uint8_t* place = output.append_uninitialized(4 + text.size());
    place = store_le(place, static_cast<std::int32_t>(text.size()));
    if (!text.empty()) std::memcpy(place, text.data(), text.size());
    return {};
  }
  auto total = packed_text_total(
      1, [&](std::size_t) -> std::uint64_t { return text.size(); }, too_long);
  if (!total) return Unexpected{total.error()};
  std::uint8_t* place = output.append_uninitialized(4 + *total);
  place = store_le(place, static_cast<std::int32_t>(*total));
  place = store_7bit_packed(place, static_cast<std::uint32_t>(text.size()));
  if (!text.empty()) std::memcpy(place, text.data(), text.size());
  return {};
}

// An array of texts or byte strings. Packed: the total of the whole run is
// computed from the lengths first, then the run is written into exactly that
// much reserved space. Unpacked: each element as a count field and its bytes.
WriteStatus append_text_array(ByteBuffer& output, const TextArray& texts, bool packed,
                              Kind too_long) {
  if (!packed) {
    for (std::size_t index = 0; index < texts.size(); ++index) {
      VREX_TRY(append_text(output, texts[index], /*packed=*/false, too_long));
    }
    return {};
  }
  // Within the limits, the array's own running sum is the total; past them,
  // the pass over the lengths finds which check fails first.
  Result<std::uint32_t, VrexError> total = static_cast<std::uint32_t>(texts.packed_run_bytes());
  if (texts.longest() > kMaxCount || texts.packed_run_bytes() > kMaxCount) {
    total = packed_text_total(
        texts.size(), [&](std::size_t index) { return texts.length(index); }, too_long);
    if (!total) return Unexpected{total.error()};
  }
  std::uint8_t* place = output.append_uninitialized(4 + *total);
  place = store_le(place, static_cast<std::int32_t>(*total));
  const std::uint8_t* const end = place + *total;
  if (texts.borrows()) {
    // Views of texts owned elsewhere: nothing may be read past their ends,
    // except the slack that a short padded text promises.
    constexpr std::size_t kBlock = PaddedText::kSlack;
    for (std::size_t index = 0; index < texts.size(); ++index) {
      const PaddedText text = texts.padded(index);
      place = store_7bit_packed(place, static_cast<std::uint32_t>(text.size()));
      if (text.empty()) continue;
      if (text.fits_block() && static_cast<std::size_t>(end - place) >= kBlock) {
        std::memcpy(place, text.data(), kBlock);
      } else {
        std::memcpy(place, text.data(), text.size());
      }
      place += text.size();
    }
    return {};
  }
  const char* const source_end = texts.data() + texts.total_bytes();
  for (std::size_t index = 0; index < texts.size(); ++index) {
    const std::string_view text = texts[index];
    place = store_7bit_packed(place, static_cast<std::uint32_t>(text.size()));
    // Short texts go as one fixed 16-byte copy when both sides have room; the
    // bytes past the text land in space the following texts fill.
    if (text.size() <= kShortText && static_cast<std::size_t>(end - place) >= kShortText &&
        static_cast<std::size_t>(source_end - text.data()) >= kShortText) {
      std::memcpy(place, text.data(), kShortText);
    } else if (!text.empty()) {
      std::memcpy(place, text.data(), text.size());
    }
    place += text.size();
  }
  return {};
}

class ObjectAppender {
 public:
  ObjectAppender(ByteBuffer& output, bool packed) : output_(output), packed_(packed) {}

  WriteStatus operator()(const object::Bool& value) {
    output_.push_back(value.value ? 1 : 0);
    return {};
  }

  WriteStatus operator()(const BoolArray& array) {
    const std::size_t count = array.values.size();
    copy_to_output(output_.append_uninitialized(count), array.values.data(), count);
    return {};
  }

  WriteStatus operator()(const object::String& value) {
    return append_text(output_, value.value, packed_, Kind::StringTooLong);
  }

  WriteStatus operator()(const object::StringArray& array) {
    return append_text_array(output_, array.values, packed_, Kind::StringTooLong);
  }

  WriteStatus operator()(const object::Binary& value) {
    return append_text(output_, value.value, packed_, Kind::BytesTooLong);
  }

  WriteStatus operator()(const object::BinaryArray& array) {
    return append_text_array(output_, array.values, packed_, Kind::BytesTooLong);
  }

  WriteStatus operator()(const object::Decimal& value) {
    output_.append(value.value.data(), value.value.size());
    return {};
  }

  WriteStatus operator()(const object::DecimalArray& array) {
    const std::size_t count = array.values.size() * sizeof(DecimalBytes);
    copy_to_output(output_.append_uninitialized(count), array.values.data(), count);
    return {};
  }

  // Int, Long, Float, Double and the four 64-bit time types.
  template <class Scalar>

  requires std::is_arithmetic_v<decltype(Scalar::value)> WriteStatus
  operator()(const Scalar& scalar) {
    append_le(output_, scalar.value);
    return {};
  }

  // Their arrays.
  template <class Array>

  requires std::is_arithmetic_v<typename decltype(Array::values)::value_type> WriteStatus
  operator()(const Array& array) {
    append_fixed_array(output_, array.values);
    return {};
  }

 private:
  ByteBuffer& output_;
  bool packed_;
};

}  // namespace

WriteStatus VrexWriter::write_object(const Object& value, bool packed) {
  return std::visit(ObjectAppender(*output_, packed), value);
}

}  // namespace vrex
