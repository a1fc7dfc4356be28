// A text that may be read past its end in one fixed block.
//
// Copying a short text as one 32-byte block, or reading a short number from
// one 16-byte block, is cheaper than working out its exact length first; it
// needs the bytes after the text to be readable. A PaddedText carries that
// promise: when it is at most kSlack bytes long, the kSlack bytes from its
// start and the kSlack bytes after its end may be read (and are never used).
// A longer text promises nothing past its end; nothing needs it to.
//
// Only the queue of pending rows knows where its texts live, so only it
// makes them; the empty text points into a static block of zeros.
#pragma once

#include <cstddef>
#include <string_view>

namespace vrex {

namespace ext {
class RowQueue;
}

// Defined by the tests alone, which make padded texts over storage of their own.
struct PaddedTextMakerForTests;

class PaddedText {
 public:
  static constexpr std::size_t kSlack = 32;

  // The empty text.
  constexpr PaddedText() noexcept : text_(std::string_view(kZeros, kSlack).substr(0, 0)) {}

  constexpr std::string_view view() const noexcept { return text_; }

  constexpr operator std::string_view() const noexcept { return text_; }

  constexpr const char* data() const noexcept { return text_.data(); }

  constexpr std::size_t size() const noexcept { return text_.size(); }

  constexpr bool empty() const noexcept { return text_.empty(); }

  // Whether the fixed block of kSlack bytes from data() may be read.
  constexpr bool fits_block() const noexcept { return text_.size() <= kSlack; }

 private:
  friend class ext::RowQueue;
  friend struct PaddedTextMakerForTests;

  // The caller vouches for the slack.
  constexpr explicit PaddedText(std::string_view text) noexcept : text_(text) {}

  static constexpr char kZeros[2 * kSlack] = {};

  std::string_view text_;
};

}  // namespace vrex
