// check_lz4: vakra's LZ4 frames against liblz4's frame API. The input picks
// the thread count and expands into a body of up to 5 MiB (runs of noise,
// repeated bytes and patterns, copies of earlier runs), so the block-parallel
// coders run: the decoder on bodies of 256 KiB or more in frames of several
// blocks, the compressor on bodies over 4 MiB. One direction per input: vakra
// compresses and liblz4 decodes, or liblz4 compresses (block size, linked
// blocks, checksums, stored size, short blocks, two frames: from the input)
// and vakra decodes. The frame, damaged, then gets the same verdict and bytes
// from both decoders. The walker, which measures a frame by its block
// headers, refuses beyond that only a body of more than one frame and what
// its block rule forbids (an empty block, more blocks than body bytes).
#include <lz4frame.h>
#include <sanitizer/asan_interface.h>

#include <algorithm>
#include <utility>

#include "value_model.hpp"
#include "vakra/threads.hpp"
#include "vakra/walk.hpp"

namespace vakra::fuzz {
namespace {

constexpr size_t kKiB = 1024, kMiB = 1024 * kKiB;

uint32_t load_u32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t{p[3]} << 24; }

// The first `size` bytes of `storage`, a buffer kept from one input to the
// next (fresh memory for each large body made page faults most of the run's
// time). AddressSanitizer reports a read past them as one past the end of a
// heap block: the rest is poisoned, or is the block's own redzone.
MutableBytes reused(std::vector<uint8_t>& storage, size_t size) {
  ASAN_UNPOISON_MEMORY_REGION(storage.data(), storage.size());
  if (storage.size() < size) storage.resize(size), storage.shrink_to_fit();
  ASAN_POISON_MEMORY_REGION(storage.data() + size, storage.size() - size);
  return {storage.data(), size};
}

const Packet& noise() {  // 1 MiB of incompressible bytes, made once
  static const Packet pool = [] {
    Packet bytes(kMiB);
    uint64_t state = 0x9E3779B97F4A7C15ull;
    for (uint8_t& b : bytes) state ^= state << 13, state ^= state >> 7, state ^= state << 17, b = uint8_t(state >> 29);
    return bytes;
  }();
  return pool;
}

// Appends `run` bytes at `at` that repeat body[from, at) (from < at), as an LZ77 copy does.
void repeat(MutableBytes body, size_t from, size_t& at, size_t run) {
  for (const size_t end = at + run; at < end;) {
    const size_t n = std::min(end - at, at - from);
    std::copy_n(body.begin() + from, n, body.begin() + at);
    at += n;
  }
}

// A body of `size` bytes in runs the input describes (noise, one byte or a
// pattern of up to 16 repeated, a copy of earlier bytes); when the input
// runs out, one run fills the rest.
ByteView expand_body(FuzzInput& in, size_t size) {
  static Packet storage;
  const MutableBytes body = reused(storage, size);
  for (size_t at = 0; at < size;) {
    const uint8_t op = in.byte();
    const size_t run = in.left() == 0 ? size - at : std::min(size - at, (size_t{in.byte()} + 1) << (op >> 4));
    if (op % 4 == 3 && at > 0) {
      repeat(body, in.u32() % at, at, run);
      continue;
    }
    const size_t start = at;
    const Packet pattern = in.bytes(op % 4 == 1 ? 1 : 1 + in.below(16));
    const ByteView first = op % 4 == 1 || op % 4 == 2 ? ByteView(pattern) : ByteView(noise()).subspan(in.u32() % kMiB);
    at += std::min(run, first.size());
    std::copy(first.begin(), first.begin() + (at - start), body.begin() + start);
    repeat(body, start, at, run - (at - start));
  }
  return body;
}

// The length liblz4 reports, which must not be an error.
size_t written(size_t result) { return FUZZ_CHECK(!LZ4F_isError(result)), result; }

// liblz4's frames of `body` cut at `split` (two frames unless it is the end),
// each written in `pieces` updates that flush, so blocks may end short.
void liblz4_frames(ByteView body, const LZ4F_preferences_t& settings, size_t pieces, size_t split, Packet& out) {
  static LZ4F_cctx* cctx = nullptr;  // kept: a new one allocates its block buffer afresh
  if (cctx == nullptr) written(LZ4F_createCompressionContext(&cctx, LZ4F_VERSION));
  out.clear();
  for (const ByteView part : {body.first(split), body.subspan(split)}) {
    if (split == body.size() && !out.empty()) break;
    LZ4F_preferences_t prefs = settings;
    if (prefs.frameInfo.contentSize != 0) prefs.frameInfo.contentSize = part.size();
    const size_t piece = part.size() / pieces + 1;
    size_t at = out.size();
    out.resize(at + LZ4F_HEADER_SIZE_MAX + (pieces + 1) * LZ4F_compressBound(piece, &prefs));
    at += written(LZ4F_compressBegin(cctx, out.data() + at, out.size() - at, &prefs));
    for (size_t done = 0; done < part.size(); done += piece) {
      const size_t n = std::min(piece, part.size() - done);
      at += written(LZ4F_compressUpdate(cctx, out.data() + at, out.size() - at, part.data() + done, n, nullptr));
    }
    at += written(LZ4F_compressEnd(cctx, out.data() + at, out.size() - at, nullptr));
    out.resize(at);
  }
}

// What liblz4 decodes `frames` to, when that is exactly `size` bytes; `count` the frames it ended.
std::optional<ByteView> liblz4_decode(ByteView frames, size_t size, size_t& count) {
  static LZ4F_dctx* dctx = nullptr;  // kept while it decodes without error
  if (dctx == nullptr) written(LZ4F_createDecompressionContext(&dctx, LZ4F_VERSION));
  static Packet storage;
  const MutableBytes out = reused(storage, size + 1);  // a byte of room past `size`, so more output shows
  size_t consumed = 0, produced = 0, hint = 1;
  count = 0;
  while (consumed < frames.size()) {
    size_t room = out.size() - produced, given = frames.size() - consumed;
    hint = LZ4F_decompress(dctx, out.data() + produced, &room, frames.data() + consumed, &given, nullptr);
    if (LZ4F_isError(hint) || (room == 0 && given == 0)) break;
    consumed += given, produced += room, count += hint == 0;
  }
  if (consumed == frames.size() && hint == 0 && produced == size) return out.first(size);
  LZ4F_freeDecompressionContext(std::exchange(dctx, nullptr));
  return std::nullopt;
}

// Where the block headers of the frame at frames[0] lie, the end mark last
// (those that lie inside `frames`).
std::vector<size_t> block_headers(ByteView frames) {
  std::vector<size_t> places;
  if (frames.size() < 7) return places;
  const uint8_t flg = frames[4];
  const size_t block_checksum = (flg & 0x10) ? 4 : 0;
  for (size_t at = 7 + ((flg & 0x08) ? 8 : 0) + ((flg & 0x01) ? 4 : 0); at + 4 <= frames.size();) {
    places.push_back(at);
    const uint32_t header = load_u32(frames.data() + at);
    if (header == 0) break;
    at += 4 + (header & 0x7FFFFFFF) + block_checksum;
  }
  return places;
}

// The input's damage to a frame: bytes flipped (the frame header's among
// them), a cut or a byte after it, a block header rewritten, a block dropped
// or repeated, an empty stored block put in.
void damage(FuzzInput& in, Packet& frame) {
  for (size_t i = 1 + in.below(3); i > 0; --i) {
    const uint8_t how = in.byte();
    const uint32_t value = in.u32();
    const std::vector<size_t> blocks = block_headers(frame);
    if (how % 4 < 3 || blocks.size() < 2) {
      if (how % 4 == 1) {
        frame.resize(how & 0x80 ? frame.size() + 1 : value % (frame.size() + 1));  // a byte more, or a cut
      } else if (!frame.empty()) {  // a byte flipped anywhere, or in the frame header
        frame[value % std::min<size_t>(frame.size(), how % 4 ? 20 : SIZE_MAX)] ^= how | 1;
      }
      continue;
    }
    const size_t k = value % (blocks.size() - 1), at = blocks[k], next = blocks[k + 1];  // a block, not the end mark
    const uint32_t header = load_u32(&frame[at]);
    const uint32_t headers[] = {0x80000000u, header ^ 0x80000000u, header + (value >> 24) - 128, in.u32()};
    Packet put = {0, 0, 0, 0x80};  // an empty stored block
    switch (how >> 4 & 3) {
      case 0: for (int b = 0; b < 4; ++b) frame[at + b] = static_cast<uint8_t>(headers[how >> 6] >> (8 * b)); break;
      case 1: frame.erase(frame.begin() + at, frame.begin() + next); break;
      case 2: put.assign(frame.begin() + at, frame.begin() + next); [[fallthrough]];
      default: frame.insert(frame.begin() + at, put.begin(), put.end());
    }
  }
}

// A uint8 vector packet of `size` elements whose body is `frame`: header,
// dimension and padding to the standard alignment, then the frame.
ByteView packet_of(size_t size, ByteView frame) {
  static Packet storage;
  const MutableBytes packet = reused(storage, kStandardAlignment + frame.size());
  std::fill_n(packet.begin(), kStandardAlignment, 0);
  write_v4_header(packet, FLAG_ALIGNED | FLAG_COMPRESSED, dtype_code(Dtype::Uint8), 1);
  for (int b = 0; b < 4; ++b) packet[kHeaderLenV4 + b] = static_cast<uint8_t>(size >> (8 * b));
  std::copy(frame.begin(), frame.end(), packet.begin() + kStandardAlignment);
  return packet;
}

bool same(ByteView a, ByteView b) { return std::equal(a.begin(), a.end(), b.begin(), b.end()); }

}  // namespace

void check_lz4(ByteView input) {
  FuzzInput in(input);
  const uint8_t shape = in.byte(), settings = in.byte(), level = in.byte();
  set_num_threads(1 + shape % 4);
  // Mostly just over 256 KiB (the parallel decoder's threshold), a quarter
  // under 64 KiB, a 64th just over 4 MiB (the parallel compressor's).
  const size_t size_class = shape >> 2, spread = in.u32() % (64 * kKiB);
  const size_t size = size_class < 16 ? spread : size_class == 63 ? 4 * kMiB + 1 + spread : 256 * kKiB + spread;
  const size_t split = (level & 0x80) ? in.u32() % (size + 1) : size;
  const size_t pieces = 1 + in.below(4);
  const ByteView body = expand_body(in, size);

  static Packet frame;
  if (settings & 1) {  // liblz4 compresses
    LZ4F_preferences_t prefs = LZ4F_INIT_PREFERENCES;
    prefs.frameInfo = {static_cast<LZ4F_blockSizeID_t>(4 + (settings >> 1) % 4),
                       (settings & 8) ? LZ4F_blockLinked : LZ4F_blockIndependent,
                       (settings & 16) ? LZ4F_contentChecksumEnabled : LZ4F_noContentChecksum, LZ4F_frame,
                       (settings & 32) ? 1u : 0u, 0,
                       (settings & 64) ? LZ4F_blockChecksumEnabled : LZ4F_noBlockChecksum};
    prefs.autoFlush = 1;
    // Fast levels, and the slow high-compression ones on small bodies only.
    prefs.compressionLevel = size < 64 * kKiB && (level & 0x40) ? 3 + level % 10 : -(level % 8);
    liblz4_frames(body, prefs, pieces, split, frame);
  } else {  // vakra compresses
    const uint32_t dims[] = {static_cast<uint32_t>(size)};
    auto plan = plan_dense({body, dims, Dtype::Uint8}, {kStandardAlignment, false, true});
    FUZZ_CHECK(plan.ok());
    frame.assign(plan->compressed.view().begin(), plan->compressed.view().end());
  }
  const bool intact = in.byte() % 4 == 0;
  if (!intact) damage(in, frame);

  // Both decoders give the same verdict and bytes; an intact frame decodes to the body.
  size_t frames = 0;
  const auto reference = liblz4_decode(frame, size, frames);
  FUZZ_CHECK(!intact || (reference && same(*reference, body)));
  const ByteView packet = packet_of(size, frame);
  const auto decoded = decode_owned(packet);
  FUZZ_CHECK(decoded.ok() == reference.has_value() &&
             (!reference || same(std::get<DecodedDense>(decoded->value.value).data, *reference)));

  // The walker measures one frame (the first of two) where liblz4 decodes it,
  // unless the block rule forbids it: an empty block, more blocks than body bytes.
  const auto extent = probe_packet(packet);
  const bool whole = extent.ok() && extent->complete && extent->length == packet.size();
  if (intact) FUZZ_CHECK(extent.ok() && extent->complete && whole == (frames == 1));
  if (reference && frames == 1 && load_u32(frame.data()) == 0x184D2204) {  // one LZ4 frame, not a skippable one
    const std::vector<size_t> blocks = block_headers(frame);
    const auto empty = [&](size_t at) { return load_u32(&frame[at]) == 0x80000000u; };
    FUZZ_CHECK(whole || blocks.size() > size + 1 || std::any_of(blocks.begin(), blocks.end(), empty));
  }
}

}  // namespace vakra::fuzz
