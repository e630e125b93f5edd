#include "frames_decode.hpp"

#include <algorithm>
#include <cstring>

#include "errors.hpp"

namespace vakra::ext {

bool FramedPacket::acquire(PyObject* frames) {
  if (!PyList_Check(frames) && !PyTuple_Check(frames)) {
    return raise(PyExc_TypeError, "frames must be a list or tuple of buffers");
  }
  // A tuple of our own: the items stay alive whatever Python code runs later.
  items_ = PyRef::steal(PySequence_Tuple(frames));
  if (!items_) return false;
  const Py_ssize_t count = PyTuple_Size(items_.get());
  if (count < 0) return false;
  exports_ = std::make_unique<BufferView[]>(static_cast<size_t>(count));
  size_t total = 0;
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* item = PyTuple_GetItem(items_.get(), i);
    if (item == nullptr) return false;
    BufferView& view = exports_[static_cast<size_t>(i)];
    if (!view.acquire_bytes(item)) return false;
    if (view.size() == 0) continue;
    frames_.push_back(Frame{item, total, view.bytes(), view.readonly()});
    total += view.size();  // cannot overflow: every frame is memory of this process
  }
  return assemble();
}

bool FramedPacket::assemble() {
  if (frames_.size() <= 1) {
    if (!frames_.empty()) bytes_ = frames_.front().bytes;
    return true;
  }
  const Frame& last = frames_.back();
  const size_t total = last.start + last.bytes.size();
  assembled_ = PyRef::steal(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(total)));
  if (!assembled_) return false;
  auto* storage = reinterpret_cast<uint8_t*>(PyByteArray_AsString(assembled_.get()));
  if (storage == nullptr) return false;
  for (const Frame& frame : frames_) std::memcpy(storage + frame.start, frame.bytes.data(), frame.bytes.size());
  bytes_ = ByteView(storage, total);
  return true;
}

const FramedPacket::Frame& FramedPacket::frame_at(size_t offset) const {
  // The last frame that starts at or before `offset`.
  auto after = std::upper_bound(frames_.begin(), frames_.end(), offset,
                                [](size_t value, const Frame& frame) { return value < frame.start; });
  if (after == frames_.begin()) throw InternalFailure("body before the first frame");
  return *std::prev(after);
}

BodyHome FramedPacket::locate(ByteView body) const {
  const size_t offset = static_cast<size_t>(body.data() - bytes_.data());
  const Frame& frame = frame_at(offset);
  const size_t within = offset - frame.start;
  if (body.size() <= frame.bytes.size() - within) return BodyHome{frame.object, within, frame.read_only};
  // The body straddles frames: its bytes are in the assembled copy.
  return BodyHome{assembled_.get(), offset, false};
}

}  // namespace vakra::ext
