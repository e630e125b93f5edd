#include "frames_decode.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

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
  const size_t total = frames_.back().start + frames_.back().bytes.size();
  const bool any_large = std::any_of(frames_.begin(), frames_.end(),
                                     [](const Frame& frame) { return frame.bytes.size() >= kMinHoleFrame; });
  if (!allocate(total)) return false;
  bytes_ = ByteView(storage_.data(), storage_.size());
  if (!any_large) {
    copy_range({0, total});
    return true;
  }
  plan_holes();
  return true;
}

namespace {

// One copy buffer is kept between calls, when nothing decoded views it:
// reusing it spares the page faults of fresh memory, which large copies pay
// on every call where the allocator hands large blocks back to the system at
// once (as Dask workers have it). Only buffers up to this size are kept.
constexpr size_t kSpareCopyLimit = size_t{16} << 20;
PyObject* g_spare_copy = nullptr;  // a bytearray, owned; used under the GIL

}  // namespace

FramedPacket::~FramedPacket() {
  if (!assembled_) return;
  assembled_export_.release();
  const Py_ssize_t size = PyByteArray_Size(assembled_.get());
  if (Py_REFCNT(assembled_.get()) == 1 && size >= 0 && static_cast<size_t>(size) <= kSpareCopyLimit &&
      (g_spare_copy == nullptr || PyByteArray_Size(g_spare_copy) < size)) {
    Py_XDECREF(g_spare_copy);
    g_spare_copy = assembled_.release();
  }
}

// The copy's bytes are not initialised (or hold an earlier packet): every
// byte outside the holes is written before it is read, and hole bytes are
// never read by a walk that is accepted nor handed out (frames_holes.cpp).
// Large new allocations come from fresh mappings, whose untouched pages cost
// nothing.
bool FramedPacket::allocate(size_t size) {
  if (g_spare_copy != nullptr && static_cast<size_t>(PyByteArray_Size(g_spare_copy)) >= size) {
    assembled_ = PyRef::steal(std::exchange(g_spare_copy, nullptr));
  } else {
    assembled_ = PyRef::steal(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
  }
  if (!assembled_ || !assembled_export_.acquire_bytes(assembled_.get())) return false;
  if (assembled_export_.readonly() || assembled_export_.size() < size) {
    throw InternalFailure("assembled packet memory is not writable");
  }
  storage_ = assembled_export_.writable_bytes().first(size);
  return true;
}

void FramedPacket::copy_range(Range range) {
  for (auto frame = &frame_at(range.begin); range.begin < range.end; ++frame) {
    const size_t frame_end = frame->start + frame->bytes.size();
    const size_t end = std::min(range.end, frame_end);
    std::memcpy(storage_.data() + range.begin, frame->bytes.data() + (range.begin - frame->start), end - range.begin);
    range.begin = end;
  }
}

// Copies each hole but the kept ranges inside it (sorted, each within one hole).
void FramedPacket::copy_outside(const std::vector<Range>& holes, const std::vector<Range>& kept) {
  auto next = kept.begin();
  for (const Range& hole : holes) {
    size_t from = hole.begin;
    for (; next != kept.end() && next->end <= hole.end; ++next) {
      copy_range({from, next->begin});
      from = next->end;
    }
    copy_range({from, hole.end});
  }
}

const FramedPacket::Frame& FramedPacket::frame_at(size_t offset) const {
  // The last frame that starts at or before `offset`.
  auto after = std::upper_bound(frames_.begin(), frames_.end(), offset,
                                [](size_t value, const Frame& frame) { return value < frame.start; });
  if (after == frames_.begin()) throw InternalFailure("offset before the first frame");
  return *std::prev(after);
}

bool FramedPacket::in_one_frame(Range range) const {
  const Frame& frame = frame_at(range.begin);
  return range.end - frame.start <= frame.bytes.size();
}

BodyHome FramedPacket::locate(ByteView body) const {
  const size_t offset = static_cast<size_t>(body.data() - bytes_.data());
  if (!assembled_) return BodyHome{frames_.front().object, offset, frames_.front().read_only};
  if (in_one_frame({offset, offset + body.size()})) {
    const Frame& frame = frame_at(offset);
    return BodyHome{frame.object, offset - frame.start, frame.read_only};
  }
  // The body straddles frames: its bytes are in the assembled copy.
  return BodyHome{assembled_.get(), offset, false};
}

ByteView FramedPacket::bytes_of(ByteView body) const {
  const size_t offset = static_cast<size_t>(body.data() - bytes_.data());
  if (!assembled_ || !in_one_frame({offset, offset + body.size()})) return body;
  const Frame& frame = frame_at(offset);
  return frame.bytes.subspan(offset - frame.start, body.size());
}

}  // namespace vakra::ext
