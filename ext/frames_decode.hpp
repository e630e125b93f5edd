// A packet handed over as a list of Python buffers (frames): the codec's
// FrameAssembly lays out what the decoder reads, and array bodies lying whole
// inside one frame are handed out as views of that frame's object.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <vector>

#include "buffer_view.hpp"
#include "decode_to_python.hpp"
#include "pyref.hpp"
#include "python_api.hpp"
#include "vakra/bytes.hpp"
#include "vakra/frames.hpp"

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
  ByteView bytes() const { return assembly_ ? assembly_->bytes() : ByteView(); }

  BodyHome locate(ByteView body) const override;
  ByteView bytes_of(ByteView body) const override { return assembly_->bytes_of(body); }

 private:
  bool allocate(size_t size);

  PyRef items_;  // a tuple of the frames, keeping them alive
  std::unique_ptr<BufferView[]> exports_;
  std::optional<FrameAssembly> assembly_;
  PyRef assembled_;  // a bytearray holding the assembled copy, when there is one
  BufferView assembled_export_;
};

}  // namespace vakra::ext
