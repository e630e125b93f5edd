// A packet handed over as a list of frames: buffers whose concatenation is
// the packet, as a transport delivers it, split or merged at any point.
//
// The frames are not joined. The decoder walks the packet across them
// (fields cut by a frame boundary are pieced together) and hands out each
// part lying whole in one frame as a view of that frame. Copied, into
// storage the caller provides, are only the parts cut by a frame boundary and
// (unless the frames are handed over) the parts the decoder checks for its
// consumers (string offset tables, the index arrays of csr and csc matrices),
// so that what was checked is what is handed out. Results and errors are
// those of decoding the joined bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "vakra/bytes.hpp"
#include "vakra/decode.hpp"
#include "vakra/result.hpp"

namespace vakra {

class FrameAssembly {
 public:
  // `frames` in packet order; empty ones are skipped. Their memory must stay
  // unchanged while this object and anything decoded from it are in use.
  // Malformed when their lengths add up to more than a size_t holds (one
  // buffer listed many times can).
  static Result<FrameAssembly> of(const std::vector<ByteView>& frames);

  // The packet's length: the frames' total.
  size_t size() const { return size_; }

  // True when the packet spans two or more frames: decode() must then be
  // given size() bytes of storage.
  bool needs_copy() const { return frames_.size() > 1; }

  // Whether anything besides the decoded value may write the frames later.
  enum class Ownership : uint8_t {
    // The caller's buffers, which anyone may write: the parts checked for
    // consumers are copied into storage and checked there.
    Shared,
    // Handed over with the value (a transport's receive buffers, which
    // nothing writes once they are delivered): those parts are checked and
    // viewed where they lie, unless cut by a frame boundary.
    Handed,
  };

  // Decodes the packet as decode(packet_prefix(joined bytes)) would, views
  // pointing into the frames or into `storage` (what it holds on entry does
  // not matter; BufferTooSmall if it is shorter than needed). A part copied
  // into storage lies at its own offset in the packet. `storage` must
  // outlive the result.
  Result<Decoded> decode(MutableBytes storage, CompressedBodies compressed = CompressedBodies::View,
                         Ownership ownership = Ownership::Shared) const;

  // Where a view of a decoded tree lies in the frames: the frame's index (in
  // the order given, empty frames counted) and the offset inside it; nullopt
  // for a view of the storage.
  struct FrameSpot {
    size_t frame = 0;
    size_t offset = 0;
  };
  std::optional<FrameSpot> frame_of(ByteView view) const;

 private:
  friend class FrameStore;
  struct Frame {
    size_t index;  // in the caller's list
    size_t start;  // offset of its first byte in the packet
    ByteView bytes;
  };
  FrameAssembly() = default;

  std::vector<Frame> frames_;  // the non-empty frames, in packet order
  // Indexes into frames_ sorted by address, with for each the one reaching
  // furthest among it and those before it (frame_of's search).
  std::vector<size_t> by_address_;
  std::vector<size_t> furthest_;
  size_t size_ = 0;
};

}  // namespace vakra
