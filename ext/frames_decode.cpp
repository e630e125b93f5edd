#include "frames_decode.hpp"

#include <utility>
#include <vector>

#include "errors.hpp"
#include "frame_copy.hpp"

namespace vakra::ext {

bool FramedPacket::acquire(PyObject* frames, bool handed) {
  ownership_ = handed ? FrameAssembly::Ownership::Handed : FrameAssembly::Ownership::Shared;
  if (!PyList_Check(frames) && !PyTuple_Check(frames)) {
    return raise(PyExc_TypeError, "frames must be a list or tuple of buffers");
  }
  // A tuple of our own: the items stay alive whatever Python code runs later.
  items_ = PyRef::steal(PySequence_Tuple(frames));
  if (!items_) return false;
  const Py_ssize_t count = PyTuple_Size(items_.get());
  if (count < 0) return false;
  exports_ = std::make_unique<BufferView[]>(static_cast<size_t>(count));
  std::vector<ByteView> views;
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* item = PyTuple_GetItem(items_.get(), i);
    if (item == nullptr || !exports_[static_cast<size_t>(i)].acquire_bytes(item)) return false;
    views.push_back(exports_[static_cast<size_t>(i)].bytes());
  }
  Result<FrameAssembly> assembly = FrameAssembly::of(views);
  if (!assembly.ok()) return raise_codec_error(assembly.error());
  assembly_.emplace(std::move(assembly).value());
  if (!assembly_->needs_copy()) return true;
  // The storage's bytes are not initialised (or hold an earlier packet): the
  // codec writes every byte of it that it reads or hands out. A part lands at
  // its own offset in the packet, so the storage is the packet's size; pages
  // no part is copied to are never touched.
  assembled_ = new_frame_copy(assembly_->size());
  return static_cast<bool>(assembled_);
}

Result<Decoded> FramedPacket::decode() const {
  return assembly_->decode(assembled_ ? frame_copy_bytes(assembled_.get()) : MutableBytes(), CompressedBodies::View,
                           ownership_);
}

BodyHome FramedPacket::locate(ByteView body) const {
  if (const auto spot = assembly_->frame_of(body)) {
    const size_t index = spot->frame;
    return BodyHome{PyTuple_GetItem(items_.get(), static_cast<Py_ssize_t>(index)), spot->offset,
                    exports_[index].readonly(), ownership_ == FrameAssembly::Ownership::Handed};
  }
  // The body straddles frames, or was checked for its consumers: its bytes are in the copy.
  if (!assembled_) throw InternalFailure("a decoded body outside the frames");
  const size_t offset = static_cast<size_t>(body.data() - frame_copy_bytes(assembled_.get()).data());
  return BodyHome{assembled_.get(), offset, false, true};
}

}  // namespace vakra::ext
