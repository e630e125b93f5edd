// Replays a harness's corpus (seeds and kept crash inputs) without
// libFuzzer, so every build that runs the unit tests also runs it.
//   usage: fuzz_regression <decode|roundtrip|walk|frames|lz4|model> <file or directory>...
// Missing paths are skipped; at least one input must be found overall.
#include <filesystem>
#include <fstream>
#include <string_view>

#include "fuzz_support.hpp"

namespace fs = std::filesystem;

int main(int argc, char** argv) {
  const std::string_view name = argc >= 2 ? argv[1] : "";
  void (*harness)(vakra::ByteView) = name == "decode"      ? vakra::fuzz::check_decode
                                     : name == "roundtrip" ? vakra::fuzz::check_roundtrip
                                     : name == "walk"      ? vakra::fuzz::check_walk
                                     : name == "frames"    ? vakra::fuzz::check_frames
                                     : name == "lz4"       ? vakra::fuzz::check_lz4
                                     : name == "model"     ? vakra::fuzz::check_model
                                                           : nullptr;
  if (harness == nullptr) {
    std::fprintf(stderr, "usage: %s <decode|roundtrip|walk|frames|lz4|model> <file or directory>...\n", argv[0]);
    return 2;
  }
  size_t replayed = 0;
  for (int i = 2; i < argc; ++i) {
    if (!fs::exists(argv[i])) continue;
    std::vector<fs::path> files = {argv[i]};
    if (fs::is_directory(argv[i])) files.assign(fs::directory_iterator(argv[i]), fs::directory_iterator());
    for (const fs::path& path : files) {
      if (path.filename().string()[0] == '.') continue;
      // An exactly sized heap buffer, as libFuzzer passes it, so a read past
      // the end is caught by AddressSanitizer.
      std::vector<uint8_t> bytes(fs::file_size(path));
      if (!std::ifstream(path, std::ios::binary).read(reinterpret_cast<char*>(bytes.data()), bytes.size())) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return 1;
      }
      harness(bytes);
      ++replayed;
    }
  }
  std::printf("%s: replayed %zu inputs\n", argv[1], replayed);
  return replayed > 0 ? 0 : 1;
}
