// A packet handed over as a list of frames, buffers whose concatenation is
// the packet (as a transport delivers it, split or merged at any point).
// Array bodies that lie whole inside one frame are handed out as views of that
// frame; the decoder reads one contiguous copy of everything else.
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
  ~FramedPacket() = default;

  // Takes the byte-buffer export of every item of `frames` (a list or tuple)
  // and lays out the bytes the decoder reads. False with an exception set.
  bool acquire(PyObject* frames);

  // The packet's bytes: one frame's own memory when a single frame holds
  // data, else the assembled copy. Valid while this object lives.
  ByteView bytes() const { return bytes_; }

  BodyHome locate(ByteView body) const override;

 private:
  struct Frame {
    PyObject* object;  // borrowed from items_
    size_t start;      // offset of its first byte in the packet
    ByteView bytes;
    bool read_only;
  };

  bool assemble();
  const Frame& frame_at(size_t offset) const;

  PyRef items_;  // a tuple of the frames, keeping them alive
  std::unique_ptr<BufferView[]> exports_;
  std::vector<Frame> frames_;  // the non-empty frames, in order
  PyRef assembled_;            // bytearray holding the assembled packet, when there is one
  ByteView bytes_;
};

}  // namespace vakra::ext
