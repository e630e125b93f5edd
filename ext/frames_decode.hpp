// A packet handed over as a list of frames, buffers whose concatenation is
// the packet (as a transport delivers it, split or merged at any point).
// Array bodies that lie whole inside one frame are handed out as views of that
// frame; the decoder reads one contiguous copy of everything else, in which
// large bodies lying whole in a frame are left out ("holes") rather than copied:
// what needs their bytes reads them from the frame.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "buffer_view.hpp"
#include "decode_to_python.hpp"
#include "pyref.hpp"
#include "python_api.hpp"
#include "vakra/bytes.hpp"

namespace vakra::ext {

class FramedPacket final : public BodyLocator {
 public:
  FramedPacket() = default;
  FramedPacket(const FramedPacket&) = delete;
  FramedPacket& operator=(const FramedPacket&) = delete;
  ~FramedPacket();

  // Takes the byte-buffer export of every item of `frames` (a list or tuple)
  // and lays out the bytes the decoder reads. False with an exception set.
  bool acquire(PyObject* frames);

  // The packet's bytes: one frame's own memory when a single frame holds
  // data, else the assembled copy. Valid while this object lives.
  ByteView bytes() const { return bytes_; }

  BodyHome locate(ByteView body) const override;
  ByteView bytes_of(ByteView body) const override;

  // Byte ranges of the packet, and the bodies the copy may leave out, while the copy is planned.
  struct Range {
    size_t begin = 0;
    size_t end = 0;
    bool operator==(const Range&) const = default;
  };
  struct Body {
    Range range;
    size_t packet_offset;  // where the body's packet starts
    bool checksummed;      // a dense body whose checksum is verified here
  };

 private:
  struct Frame {
    PyObject* object;  // borrowed from items_
    size_t start;      // offset of its first byte in the packet
    ByteView bytes;
    bool read_only;
  };

  // Frames at least this long may hold bodies worth leaving out of the copy;
  // shorter ones are always copied.
  static constexpr size_t kMinHoleFrame = 16 * 1024;
  struct Probe;

  // frames_decode.cpp: the frames and the copy.
  bool assemble();
  bool allocate(size_t size);
  void copy_range(Range range);
  void copy_outside(const std::vector<Range>& holes, const std::vector<Range>& kept);
  const Frame& frame_at(size_t offset) const;
  bool in_one_frame(Range range) const;

  // frames_holes.cpp: which bodies the copy leaves out.
  void plan_holes();
  std::vector<Range> probe_holes(const std::vector<Range>& uncopied);
  bool probe_at(size_t start, size_t limit, size_t depth, Probe& probe, size_t& end);
  void settle_checksums(const std::vector<Body>& bodies, const std::vector<Range>& holes);

  PyRef items_;  // a tuple of the frames, keeping them alive
  std::unique_ptr<BufferView[]> exports_;
  std::vector<Frame> frames_;  // the non-empty frames, in order
  PyRef assembled_;            // a bytearray holding the assembled copy, when there is one
  BufferView assembled_export_;
  MutableBytes storage_;
  ByteView bytes_;
};

}  // namespace vakra::ext
