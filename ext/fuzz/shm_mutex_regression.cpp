// Replays the shared-mutex corpus without libFuzzer, then as many seeded
// random inputs as asked (half of them starting from a sound mutex), so
// every build that runs the tests, the sanitizer one included, runs it.
//   usage: shm_mutex_regression <corpus directory> [random inputs]
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <vector>

#include "shm_mutex_check.hpp"

namespace fs = std::filesystem;

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s <corpus directory> [random inputs]\n", argv[0]);
    return 2;
  }
  size_t replayed = 0;
  for (const fs::path& path : fs::directory_iterator(argv[1])) {
    std::vector<uint8_t> bytes(fs::file_size(path));  // exactly sized, as libFuzzer passes it
    if (!std::ifstream(path, std::ios::binary).read(reinterpret_cast<char*>(bytes.data()), bytes.size())) {
      std::fprintf(stderr, "cannot read %s\n", path.c_str());
      return 1;
    }
    vakra::ext::fuzz::check_shm_mutex_area(bytes.data(), bytes.size());
    ++replayed;
  }
  const long random = argc > 2 ? std::strtol(argv[2], nullptr, 10) : 0;
  std::mt19937 generator(20261207);
  for (long i = 0; i < random; ++i) {
    std::vector<uint8_t> bytes(64 + generator() % 200);
    for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(generator());
    if (i % 2 == 0) {  // a sound mutex, free or held by someone, in the first 16 bytes
      const uint8_t sound[] = {'V', 'K', 'M', 'X', 1, 0, 0, 0};
      std::copy(std::begin(sound), std::end(sound), bytes.begin());
      if (i % 4 == 0) std::fill(bytes.begin() + 8, bytes.begin() + 16, 0);
    }
    vakra::ext::fuzz::check_shm_mutex_area(bytes.data(), bytes.size());
  }
  std::printf("shm_mutex: replayed %zu inputs and %ld random ones\n", replayed, random);
  return replayed > 0 ? 0 : 1;
}
