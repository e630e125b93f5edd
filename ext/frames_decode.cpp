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
  assembly_.emplace(views);
  if (!assembly_->needs_copy()) return true;
  if (!allocate(assembly_->size())) return false;
  return unwrap(assembly_->assemble(assembled_export_.writable_bytes()));
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
// never read by a walk that is accepted nor handed out (the codec's frame_holes.cpp).
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
  return true;
}

BodyHome FramedPacket::locate(ByteView body) const {
  const size_t offset = static_cast<size_t>(body.data() - bytes().data());
  if (const auto spot = assembly_->frame_of(body)) {
    const size_t index = spot->frame;
    return BodyHome{PyTuple_GetItem(items_.get(), static_cast<Py_ssize_t>(index)), spot->offset,
                    exports_[index].readonly()};
  }
  // The body straddles frames: its bytes are in the assembled copy.
  return BodyHome{assembled_.get(), offset, false};
}

}  // namespace vakra::ext
