// A packet handed over as a list of Python buffers (frames): the codec's
// FrameAssembly decodes it across them, and array bodies lying whole inside
// one frame are handed out as views of that frame's object.
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

  // Takes the byte-buffer export of every item of `frames` (a list or tuple)
  // and the storage for the parts that must be copied. `handed`: the frames
  // are handed over with the value, and nothing else writes them (see
  // FrameAssembly::Ownership). False with an exception set.
  bool acquire(PyObject* frames, bool handed);

  // The packet decoded across the frames; its views lie in them or in the
  // storage, which this object keeps.
  Result<Decoded> decode() const;

  BodyHome locate(ByteView body) const override;
  // Views are of the real bytes already: of a frame, or of the copy.
  ByteView bytes_of(ByteView body) const override { return body; }

 private:
  PyRef items_;  // a tuple of the frames, keeping them alive
  std::unique_ptr<BufferView[]> exports_;
  std::optional<FrameAssembly> assembly_;
  PyRef assembled_;  // a FrameCopy holding the parts copied at their offsets, when the packet spans frames
  FrameAssembly::Ownership ownership_ = FrameAssembly::Ownership::Shared;
};

}  // namespace vakra::ext
