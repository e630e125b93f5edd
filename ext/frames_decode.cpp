#include "frames_decode.hpp"

#include <utility>
#include <vector>

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
  std::vector<ByteView> views;
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* item = PyTuple_GetItem(items_.get(), i);
    if (item == nullptr || !exports_[static_cast<size_t>(i)].acquire_bytes(item)) return false;
    views.push_back(exports_[static_cast<size_t>(i)].bytes());
  }
  Result<FrameAssembly> assembly = FrameAssembly::of(views);
  if (!assembly.ok()) return raise_codec_error(assembly.error());
  assembly_.emplace(std::move(assembly).value());
  return !assembly_->needs_copy() || allocate(assembly_->size());
}

Result<Decoded> FramedPacket::decode() const {
  return assembly_->decode(assembled_ ? assembled_export_.writable_bytes() : MutableBytes(), CompressedBodies::View);
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

// The storage's bytes are not initialised (or hold an earlier packet): the
// codec writes every byte of it that it reads or hands out. A part lands at
// its own offset in the packet, so the storage is the packet's size; large
// new allocations come from fresh mappings, whose pages cost nothing until
// a part is copied there.
bool FramedPacket::allocate(size_t size) {
  // Frames of this process's memory listed many times can add up past what one object may hold.
  if (size > static_cast<size_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory() != nullptr;
  if (g_spare_copy != nullptr && static_cast<size_t>(PyByteArray_Size(g_spare_copy)) >= size) {
    assembled_ = PyRef::steal(std::exchange(g_spare_copy, nullptr));
  } else {
    assembled_ = PyRef::steal(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
  }
  if (!assembled_ || !assembled_export_.acquire_bytes(assembled_.get())) return false;
  if (assembled_export_.readonly() || assembled_export_.size() < size) {
    throw InternalFailure("assembled packet memory is not writable");
  }
  return true;
}

BodyHome FramedPacket::locate(ByteView body) const {
  if (const auto spot = assembly_->frame_of(body)) {
    const size_t index = spot->frame;
    return BodyHome{PyTuple_GetItem(items_.get(), static_cast<Py_ssize_t>(index)), spot->offset,
                    exports_[index].readonly()};
  }
  // The body straddles frames, or was checked for its consumers: its bytes are in the copy.
  if (!assembled_) throw InternalFailure("a decoded body outside the frames");
  return BodyHome{assembled_.get(), static_cast<size_t>(body.data() - assembled_export_.bytes().data()), false};
}

}  // namespace vakra::ext
