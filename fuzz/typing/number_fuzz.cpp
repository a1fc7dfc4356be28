// Arbitrary bytes as number texts: the block readers, which read past a
// text's end, must agree with the general readers wherever they read, and the
// bytes after the text must never change the answer.
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "typing/number_parse.h"
#include "typing/short_number.h"
#include "vrex/padded_text.h"

namespace {

constexpr std::size_t kTextSlack = vrex::PaddedText::kSlack;

template <class Int>
void check_integer(std::string_view text) {
  Int expected = 0;
  const bool general = vrex::ext::read_integer(text, expected);
  Int value = 0;
  if (vrex::ext::read_short_integer(text, value) && (!general || value != expected)) std::abort();
}

void check_double(std::string_view text) {
  double expected = 0;
  const bool general = vrex::ext::read_double(text, expected);
  double value = 0;
  if (vrex::ext::read_short_double(text, value) &&
      (!general || std::bit_cast<std::uint64_t>(value) != std::bit_cast<std::uint64_t>(expected))) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0 || !vrex::ext::cpu_reads_short_numbers()) return 0;
  // The first byte says how long the text is; the rest is the text and what
  // follows it, then zeros up to the slack the readers may read.
  const std::size_t length = std::min<std::size_t>(data[0] % 24, size - 1);
  std::vector<char> storage(size - 1 + kTextSlack, '\0');
  std::memcpy(storage.data(), data + 1, size - 1);
  const std::string_view text(storage.data(), length);
  check_integer<std::int32_t>(text);
  check_integer<std::int64_t>(text);
  check_double(text);
  return 0;
}
