// Padded texts for tests, fuzz targets and benchmarks: copies of the given
// texts one after another in one block that ends in slack, so each is padded
// as the queue's texts are, and lives as long as this object.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "vrex/padded_text.h"

namespace vrex {

struct PaddedTextMakerForTests {
  static PaddedText vouch(std::string_view text) { return PaddedText(text); }
};

namespace testing {

class PaddedTexts {
 public:
  PaddedTexts() = default;

  // `slack_byte` fills the slack: digits there catch a reader that uses
  // bytes past a text's end.
  template <class Texts>
  explicit PaddedTexts(const Texts& texts, char slack_byte = '\0')
      : storage_(PaddedText::kSlack, slack_byte) {
    for (std::string_view text : texts) add(text);
  }

  PaddedTexts(const PaddedTexts&) = delete;
  PaddedTexts& operator=(const PaddedTexts&) = delete;

  void add(std::string_view text) {
    lengths_.push_back(text.size());
    storage_.insert(storage_.size() - PaddedText::kSlack, text);
    texts_.clear();
  }

  // The texts added so far, padded; valid until the next add().
  std::span<const PaddedText> texts() {
    if (texts_.size() != lengths_.size()) {
      std::size_t offset = 0;
      texts_.clear();
      for (std::size_t length : lengths_) {
        texts_.push_back(PaddedTextMakerForTests::vouch({storage_.data() + offset, length}));
        offset += length;
      }
    }
    return texts_;
  }

 private:
  std::string storage_ = std::string(PaddedText::kSlack, '\0');  // the texts, then the slack
  std::vector<std::size_t> lengths_;
  std::vector<PaddedText> texts_;
};

}  // namespace testing
}  // namespace vrex
