#include "frame_copy.hpp"

#include <cstdlib>
#include <utility>

#include "memory_internal.hpp"
#include "process_objects.hpp"

namespace vakra::ext {
namespace {

// Smaller copies come from malloc, whose heap reuses memory by itself.
constexpr size_t kMappedFrom = size_t{1} << 20;

// Memory of one of two origins: malloc (capacity below kMappedFrom) or a
// mapping of its own (memory::map_pages).
struct Memory {
  uint8_t* data = nullptr;
  size_t capacity = 0;
};

void release(Memory memory) {
  if (memory.capacity < kMappedFrom) {
    std::free(memory.data);
  } else {
    memory::unmap_pages(memory.data, memory.capacity);
  }
}

Memory allocate(size_t size) {
  if (size < kMappedFrom) return {static_cast<uint8_t*>(std::malloc(size == 0 ? 1 : size)), size};
  size_t capacity = size;
  return {static_cast<uint8_t*>(memory::map_pages(capacity)), capacity};
}

// The memory kept for the next call; used under the GIL.
Memory g_spare;

struct FrameCopyObject {
  PyObject_HEAD
  Memory memory;
  Py_ssize_t length;
};

FrameCopyObject* fields(PyObject* self) { return reinterpret_cast<FrameCopyObject*>(self); }

int frame_copy_getbuffer(PyObject* self, Py_buffer* view, int flags) {
  return PyBuffer_FillInfo(view, self, fields(self)->memory.data, fields(self)->length, 0, flags);
}

// Arrays viewing the memory hold references to this object, so nobody uses it any more.
void frame_copy_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  Memory memory = std::exchange(fields(self)->memory, Memory{});
  if (memory.capacity >= kMappedFrom && memory.capacity <= kSpareCopyLimit && memory.capacity > g_spare.capacity) {
    std::swap(memory, g_spare);
  }
  if (memory.data != nullptr) release(memory);
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DECREF(type);  // instances of a heap type hold a reference to it
}

PyType_Slot kSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(frame_copy_dealloc)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(frame_copy_getbuffer)},
    {Py_tp_doc, const_cast<char*>("Memory holding the parts of a packet copied out of its frames.")},
    {0, nullptr},
};
PyType_Spec kSpec = {"vakra._native.FrameCopy", sizeof(FrameCopyObject), 0, Py_TPFLAGS_DEFAULT, kSlots};

}  // namespace

PyRef make_frame_copy_type() { return PyRef::steal(PyType_FromSpec(&kSpec)); }

PyRef new_frame_copy(size_t size) {
  if (size > static_cast<size_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory(), PyRef();
  auto* type = reinterpret_cast<PyTypeObject*>(process_objects().frame_copy_type.get());
  PyRef object = PyRef::steal(PyType_GenericAlloc(type, 0));
  if (!object) return object;
  Memory memory;
  if (size >= kMappedFrom && g_spare.capacity >= size && g_spare.capacity / 4 <= size) {
    memory = std::exchange(g_spare, Memory{});
  } else {
    memory = allocate(size);
    if (memory.data == nullptr) return PyErr_NoMemory(), PyRef();
  }
  fields(object.get())->memory = memory;
  fields(object.get())->length = static_cast<Py_ssize_t>(size);
  return object;
}

MutableBytes frame_copy_bytes(PyObject* copy) {
  return {fields(copy)->memory.data, static_cast<size_t>(fields(copy)->length)};
}

}  // namespace vakra::ext
