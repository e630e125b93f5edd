// Replays seed corpora and kept crash inputs through a harness, without
// libFuzzer, so every build that runs the unit tests also runs them.
//   usage: fuzz_regression <decode|header|roundtrip|walk> <file or directory>...
// Missing paths are skipped (a harness may have no kept crash files); at
// least one input must be found overall.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "harnesses.hpp"

namespace {

using Harness = void (*)(vakra::ByteView);

Harness harness_named(const char* name) {
  if (std::strcmp(name, "decode") == 0) return vakra::fuzz::check_decode;
  if (std::strcmp(name, "header") == 0) return vakra::fuzz::check_header;
  if (std::strcmp(name, "roundtrip") == 0) return vakra::fuzz::check_roundtrip;
  if (std::strcmp(name, "walk") == 0) return vakra::fuzz::check_walk;
  return nullptr;
}

bool replay_file(Harness harness, const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    std::fprintf(stderr, "cannot read %s\n", path.c_str());
    return false;
  }
  // An exactly sized heap copy, as libFuzzer passes it, so a read past the
  // end is caught by AddressSanitizer.
  const std::vector<char> contents((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  auto* bytes = new uint8_t[contents.size()];
  std::memcpy(bytes, contents.data(), contents.size());
  harness({bytes, contents.size()});
  delete[] bytes;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Harness harness = argc >= 2 ? harness_named(argv[1]) : nullptr;
  if (harness == nullptr) {
    std::fprintf(stderr, "usage: %s <decode|header|roundtrip|walk> <file or directory>...\n", argv[0]);
    return 2;
  }
  size_t replayed = 0;
  for (int i = 2; i < argc; ++i) {
    const std::filesystem::path root(argv[i]);
    if (!std::filesystem::exists(root)) continue;
    std::vector<std::filesystem::path> files;
    if (std::filesystem::is_directory(root)) {
      for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        if (entry.is_regular_file() && entry.path().filename().string()[0] != '.') files.push_back(entry.path());
      }
    } else {
      files.push_back(root);
    }
    for (const auto& path : files) {
      if (!replay_file(harness, path)) return 1;
      ++replayed;
    }
  }
  std::printf("%s: replayed %zu inputs\n", argv[1], replayed);
  return replayed > 0 ? 0 : 1;
}
