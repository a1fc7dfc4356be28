// Arbitrary bytes as number texts: every fast reader and check must agree
// with the general readers wherever it reads. The block readers read past a
// text's end, and the bytes after the text must never change their answer;
// the wide-product reader must read exactly the texts the general reader
// does, to the same bits.
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "typing/number_parse.h"
#include "typing/product_double.h"
#include "typing/short_number.h"
#include "vrex/padded_text.h"

namespace {

constexpr std::size_t kTextSlack = vrex::PaddedText::kSlack;

bool same_bits(double a, double b) {
  return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

template <class Int>
void check_integer(std::string_view text) {
  Int expected = 0;
  const bool general = vrex::ext::read_integer(text, expected);
  Int value = 0;
  if (vrex::ext::read_short_integer(text, value) && (!general || value != expected)) std::abort();
}

void check_short_double(std::string_view text) {
  double expected = 0;
  const bool general = vrex::ext::read_double(text, expected);
  double value = 0;
  if (vrex::ext::read_short_double(text, value) && (!general || !same_bits(value, expected))) {
    std::abort();
  }
}

// The block checks of type inference: what they accept, the general readers
// read.
void check_short_texts(std::string_view text) {
  std::int32_t int_value = 0;
  std::int64_t long_value = 0;
  double double_value = 0;
  if (vrex::ext::is_short_integer_text(text, 9) && !vrex::ext::read_int32(text, int_value)) {
    std::abort();
  }
  if (vrex::ext::is_short_integer_text(text, 16) && !vrex::ext::read_int64(text, long_value)) {
    std::abort();
  }
  if (vrex::ext::is_short_decimal_text(text) && !vrex::ext::read_double(text, double_value)) {
    std::abort();
  }
}

void check_product_double(std::string_view text) {
  double expected = 0;
  const bool general = vrex::ext::read_double(text, expected);
  double value = 0;
  const bool by_product = vrex::ext::read_double_by_product(text, value);
  if (by_product != general || (general && !same_bits(value, expected))) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // The first byte says how long the short text is; the rest is the text and
  // what follows it, then zeros up to the slack the readers may read. The
  // whole rest is also one long text for the product reader.
  const std::size_t length = std::min<std::size_t>(data[0] % 24, size - 1);
  std::vector<char> storage(size - 1 + kTextSlack, '\0');
  std::memcpy(storage.data(), data + 1, size - 1);
  check_product_double(std::string_view(storage.data(), size - 1));
  check_product_double(std::string_view(storage.data(), length));
  if (!vrex::ext::cpu_reads_short_numbers()) return 0;
  const std::string_view text(storage.data(), length);
  check_integer<std::int32_t>(text);
  check_integer<std::int64_t>(text);
  check_short_double(text);
  check_short_texts(text);
  return 0;
}
