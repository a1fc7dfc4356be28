// Arbitrary bytes through the whole conversion, with small chunk and sample
// sizes taken from the first two bytes. Every input must give either a
// message with a stage prefix or a file the validator accepts, cut into
// slices of exactly chunk_size rows but the last.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string_view>

#include "pipeline/pipeline.h"
#include "support/vrex_validator.h"

namespace {

[[noreturn]] void fail(const char* what, std::string_view detail) {
  std::fprintf(stderr, "%s: %.*s\n", what, static_cast<int>(detail.size()), detail.data());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::uint64_t chunk_size = 1 + data[0] % 16;
  const std::uint64_t sample_rows = data[1] % 24;
  std::span<const std::uint8_t> csv(data + 2, size - 2);

  // Short rows are padded to the header's width, so a small input may ask for
  // a huge output by design. Such inputs only measure the machine: keep each
  // run to a couple of million cells, bounding records by line ends and
  // fields by commas.
  std::uint64_t line_ends = 1, commas = 1;
  for (std::uint8_t byte : csv) {
    line_ends += (byte == '\n') | (byte == '\r');
    commas += byte == ',';
  }
  if (line_ends * commas > 2'000'000) return 0;

  auto converted = vrex::ext::convert_csv(csv, chunk_size, sample_rows);
  if (!converted) {
    std::string_view message = converted.error();
    if (!message.starts_with("CSV header error: CSV parse error: record 0 (line 1, field: ") &&
        !message.starts_with("CSV parse error: CSV parse error: record ") &&
        !message.starts_with("VREX write error: ")) {
      fail("message without a stage prefix", message);
    }
    return 0;
  }
  vrex::testing::VrexValidator validator(converted->bytes());
  auto file = validator.validate();
  if (!file) fail("invalid output", validator.error());
  for (std::size_t index = 0; index + 1 < file->slice_rows.size(); ++index) {
    if (file->slice_rows[index] != chunk_size) fail("short slice before the last", "");
  }
  if (!file->slice_rows.empty() && file->slice_rows.back() > chunk_size) {
    fail("last slice longer than chunk_size", "");
  }
  return 0;
}
