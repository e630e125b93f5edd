// Writes the seed corpora: input streams that steer the value builder to
// every kind (the roundtrip and frames harnesses read them so), their packets
// as the codec's own encoders write them (decode and walk), and packets of
// kinds no encoder writes, built byte by byte, and the lz4 harness's streams
// for each size class and direction, and the model harness's streams, one
// per alignment, half of them naming a few hundred entries. The frames corpus also keeps
// inputs found by fuzzing (holes-*), which fail if the frame assembly trusts
// an unverified checksum or leaves a checked index array out of its copy; the
// lz4 corpus keeps the inputs a campaign found to cover new ground (found-*).
//   usage: fuzz_corpus_generator <corpus directory>
#include <filesystem>
#include <fstream>
#include <string>

#include "value_model.hpp"

namespace fs = std::filesystem;
using namespace vakra::fuzz;

namespace {

void write_file(const fs::path& path, const Packet& bytes) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

// A deterministic byte stream whose first byte picks the kind of value.
Packet steering(uint8_t kind, uint32_t seed) {
  Packet out = {kind};
  for (size_t i = 0; i < 160; ++i) out.push_back(static_cast<uint8_t>((seed = seed * 1103515245u + 12345u) >> 16));
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <corpus directory>\n", argv[0]);
    return 2;
  }
  const fs::path root(argv[1]);
  for (const char* harness : {"decode", "roundtrip", "walk", "frames", "lz4", "model"}) fs::create_directories(root / harness);
  const char* kinds[] = {"dense", "sparse", "string", "quantized", "bundle"};
  Packet string_packet;
  for (uint8_t kind = 0; kind < 5; ++kind) {
    for (uint32_t seed = 0; seed < 6; ++seed) {
      const std::string name = std::string(kinds[kind]) + "-" + std::to_string(seed);
      const Packet stream = steering(kind, seed * 7919 + kind);
      FuzzInput in(stream);
      const Packet packet = encode_value(build_value(in, 3));
      if (kind == 2) string_packet = packet;
      write_file(root / "roundtrip" / name, stream);
      write_file(root / "frames" / name, stream);
      write_file(root / "decode" / name, packet);
      write_file(root / "walk" / name, packet);
    }
  }
  Packet v3_aligned = {'V', 'K', 'R', 'A', 3, 0x01, 5, 1, 2, 0, 0, 0};  // uint8 [2] at offset 64
  v3_aligned.resize(64, 0);
  v3_aligned.insert(v3_aligned.end(), {9, 8});
  Packet inline_record(106, 0x5A), ragged = string_packet;
  std::copy_n("VKRA\x04\x00\x04\x00\x00\x01", 10, inline_record.begin());
  ragged[6] = 0x02;  // FLAG_RAGGED instead of FLAG_STRING
  const std::pair<const char*, Packet> handmade[] = {
      {"v3-dense-int16", {'V', 'K', 'R', 'A', 3, 0, 10, 1, 3, 0, 0, 0, 1, 0, 2, 0, 3, 0}},
      {"v3-dense-uint8-aligned", v3_aligned}, {"inline", inline_record}, {"ragged", ragged}};
  for (const auto& [name, packet] : handmade) {
    for (const char* harness : {"decode", "walk"}) write_file(root / harness / name, packet);
  }
  // lz4: each size class (under 64 KiB, over 256 KiB, over 4 MiB), 1 to 4 threads, vakra's frames then liblz4's.
  for (uint8_t i = 0; i < 12; ++i) {
    Packet seed = steering(static_cast<uint8_t>(i % 4 | std::array<uint8_t, 3>{0, 20, 63}[i % 3] << 2), i * 104729u);
    seed[1] = static_cast<uint8_t>((seed[1] & ~1) | i / 6);
    write_file(root / "lz4" / ("seed-" + std::to_string(i)), seed);
  }
  // model: the first byte picks the alignment (1 to 4096).
  for (uint8_t i = 0; i < 13; ++i) write_file(root / "model" / ("seed-" + std::to_string(i)), steering(i, i * 7907u + 1));
  std::printf("wrote the seeds under %s\n", root.c_str());
  return 0;
}
