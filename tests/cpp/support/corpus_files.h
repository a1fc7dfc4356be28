// The third-party corpus beside the project, read whole: each file's path
// and bytes (the manifest left out). Empty when there is no corpus.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

namespace vrex::testing {

inline std::vector<std::pair<std::filesystem::path, std::string>> corpus_files() {
  std::vector<std::pair<std::filesystem::path, std::string>> files;
  const std::filesystem::path corpus = VREX_CORPUS_DIR;
  if (!std::filesystem::is_directory(corpus)) return files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(corpus)) {
    if (!entry.is_regular_file() || entry.path().filename() == "MANIFEST.tsv") continue;
    std::ifstream stream(entry.path(), std::ios::binary);
    files.emplace_back(entry.path(), std::string((std::istreambuf_iterator<char>(stream)),
                                                 std::istreambuf_iterator<char>()));
  }
  return files;
}

}  // namespace vrex::testing
