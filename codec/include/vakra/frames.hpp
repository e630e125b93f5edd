// A packet handed over as a list of frames: buffers whose concatenation is
// the packet, as a transport delivers it, split or merged at any point.
//
// The decoder reads one contiguous copy of the packet, in which large bodies
// lying whole in one frame may be left out ("holes") rather than copied: a
// consumer reads such a body from its frame (bytes_of), and hands out array
// views of the frame instead of the copy (frame_of). Checksummed bodies in
// holes are verified against their frames while the copy is laid out. A
// packet that cannot be followed is copied whole, so decoding the copy gives
// the packet's own result or error.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "vakra/bytes.hpp"
#include "vakra/result.hpp"

namespace vakra {

struct WalkedPacket;

class FrameAssembly {
 public:
  // Frames at least this long may hold bodies worth leaving out of the copy;
  // shorter ones are always copied. Smaller thresholds (tests use them) are
  // raised to kLeastHoleFrame.
  static constexpr size_t kMinHoleFrame = 16 * 1024;
  static constexpr size_t kLeastHoleFrame = 16;

  // `frames` in packet order; empty ones are skipped. Their memory must stay
  // unchanged while this object and anything decoded from it are in use.
  explicit FrameAssembly(const std::vector<ByteView>& frames, size_t min_hole_frame = kMinHoleFrame);

  // The packet's length: the frames' total.
  size_t size() const { return size_; }

  // True when the packet spans two or more frames: assemble() must then be
  // given size() bytes to lay the copy out in.
  bool needs_copy() const { return frames_.size() > 1; }

  // Lays the copy out in the first size() bytes of `storage` (what they hold
  // on entry does not matter; BufferTooSmall, nothing written, if it is
  // shorter). Hole bytes are left as they are; every other byte is the
  // packet's. bytes() then views `storage`, which must outlive the decoding.
  Status assemble(MutableBytes storage);

  // The bytes to decode: the only frame, or the copy once assembled.
  ByteView bytes() const { return bytes_; }

  // Where a range of bytes() lies whole in one frame: that frame's index (in
  // the order given, empty frames counted) and the offset inside it.
  struct FrameSpot {
    size_t frame = 0;
    size_t offset = 0;
  };
  std::optional<FrameSpot> frame_of(ByteView range) const;

  // The real bytes of a range of bytes(): the frame's when the range lies
  // whole in one, else the copy's (a range that straddles frames is never a hole).
  ByteView bytes_of(ByteView range) const;

  // Byte ranges of the packet.
  struct Range {
    size_t begin = 0;
    size_t end = 0;
    bool operator==(const Range&) const = default;
  };

 private:
  struct Frame {
    size_t index;  // in the caller's list
    size_t start;  // offset of its first byte in the packet
    ByteView bytes;
  };
  // A body the copy may leave out.
  struct Body {
    Range range;
    size_t packet_offset;  // where the body's packet starts
    bool checksummed;      // a dense body whose checksum is verified here
  };
  struct Probe;

  // frame_assembly.cpp: the frames and the copy.
  void copy_range(Range range);
  void copy_outside(const std::vector<Range>& holes, const std::vector<Range>& kept);
  const Frame& frame_at(size_t offset) const;
  bool in_one_frame(Range range) const;

  // frame_holes.cpp: which bodies the copy leaves out.
  static void collect_bodies(const WalkedPacket& packet, std::vector<Body>& out, bool checked);
  void plan_holes();
  std::vector<Range> probe_holes(const std::vector<Range>& uncopied);
  bool probe_at(size_t start, size_t limit, size_t depth, Probe& probe, size_t& end);
  void settle_checksums(const std::vector<Body>& bodies, const std::vector<Range>& holes);

  std::vector<Frame> frames_;  // the non-empty frames, in order
  size_t size_ = 0;
  size_t min_hole_frame_;
  MutableBytes storage_;
  ByteView bytes_;
};

}  // namespace vakra
