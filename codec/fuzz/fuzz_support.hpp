// What the harnesses share: assertions that abort (the library never does;
// libFuzzer and the replay driver both report an abort as a crash), the fuzz
// input read as a stream of choices, and the decoded-tree walker.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <vector>

#include "vakra/bytes.hpp"
#include "vakra/decode.hpp"

// An expression, so a harness may `return FUZZ_CHECK(...)` from a void function.
#define FUZZ_CHECK(cond) ((cond) ? void() : ::vakra::fuzz::fuzz_check_failed(#cond, __FILE__, __LINE__))

namespace vakra::fuzz {

[[noreturn]] inline void fuzz_check_failed(const char* cond, const char* file, int line) {
  std::fprintf(stderr, "fuzz check failed: %s (%s:%d)\n", cond, file, line);
  std::abort();
}

// The harnesses; each returns normally or aborts on a broken property.
void check_decode(ByteView input);     // arbitrary bytes through every decoder
void check_roundtrip(ByteView input);  // values built from the input: encode, decode, compare, damage
void check_walk(ByteView input);       // the header rules and the walker, on arbitrary bytes
void check_frames(ByteView input);     // one packet cut into frames: assembled, decoded, compared
void check_lz4(ByteView input);        // large LZ4 frames, vakra's and liblz4's, each decoded by the other
void check_model(ByteView input);      // a model file written from built values: aligned, read back, damaged

// True when `result` failed with exactly `kind` (payload not compared).
template <class R>
bool failed_with(const R& result, ErrorKind kind) {
  return !result.ok() && result.error().kind == kind;
}

// The refusal of a compressed body outside CompressedBodies::View.
inline bool is_refusal(const CodecError& error) {
  return error.kind == ErrorKind::Other && error.text != nullptr && std::strcmp(error.text, kCompressedNeedsOwningPath) == 0;
}

// Once the input runs out every read returns zeros (and bytes() a fixed
// pattern), so any input, however short, describes one complete value.
class FuzzInput {
 public:
  explicit FuzzInput(ByteView bytes) : bytes_(bytes) {}
  uint8_t byte() { return pos_ < bytes_.size() ? bytes_[pos_++] : 0; }
  size_t left() const { return bytes_.size() - pos_; }
  size_t below(size_t n) { return n == 0 ? 0 : byte() % n; }  // n is at most 256
  uint32_t u32() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= uint32_t{byte()} << (8 * i);
    return v;
  }
  std::vector<uint8_t> bytes(size_t n) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i < n; ++i) out.push_back(pos_ < bytes_.size() ? bytes_[pos_++] : static_cast<uint8_t>(i * 37 + 11));
    return out;
  }

 private:
  ByteView bytes_;
  size_t pos_ = 0;
};

// Checks the invariants every decoded value promises and reads every byte of
// every view, so AddressSanitizer reports one reaching outside `input` (the
// bytes handed to decode). Compressed dense frames are also decompressed.
void walk_decoded(const Decoded& decoded, ByteView input);

// Where a view of a decoded tree lies in its packet (nullopt: nowhere it may).
using ViewPlace = std::function<std::optional<size_t>(ByteView)>;

// True when two trees hold the same values with views of the same bytes at
// the same places in the packet.
bool same_values(const Decoded& a, const ViewPlace& a_place, const Decoded& b, const ViewPlace& b_place);

// Aborts unless the walker finds the first `length` bytes of a complete
// `packet` incomplete, asking for at least 1 and at most the missing bytes.
void expect_incomplete(ByteView packet, size_t length);

// Reads every byte of `view`; the sum only keeps the reads alive.
uint64_t touch(ByteView view);

}  // namespace vakra::fuzz
