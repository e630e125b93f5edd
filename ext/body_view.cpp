#include "body_view.hpp"

#include "process_objects.hpp"

namespace vakra::ext {
namespace {

// Exports `size` bytes at `data` read-only; the reference to `owner` keeps them alive.
struct BodyViewObject {
  PyObject_HEAD
  PyObject* owner;
  const uint8_t* data;
  Py_ssize_t size;
};

int body_view_getbuffer(PyObject* self, Py_buffer* view, int flags) {
  auto* body = reinterpret_cast<BodyViewObject*>(self);
  return PyBuffer_FillInfo(view, self, const_cast<uint8_t*>(body->data), body->size, 1, flags);
}

void body_view_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  Py_XDECREF(reinterpret_cast<BodyViewObject*>(self)->owner);
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DECREF(type);  // instances of a heap type hold a reference to it
}

PyType_Slot kSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(body_view_dealloc)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(body_view_getbuffer)},
    {Py_tp_doc, const_cast<char*>("A read-only view of one encoded body, kept alive with the object it lies in.")},
    {0, nullptr},
};
PyType_Spec kSpec = {"vakra._native.BodyView", sizeof(BodyViewObject), 0, Py_TPFLAGS_DEFAULT, kSlots};

}  // namespace

PyRef make_body_view_type() { return PyRef::steal(PyType_FromSpec(&kSpec)); }

PyObject* body_memoryview(PyObject* owner, ByteView bytes) {
  auto* type = reinterpret_cast<PyTypeObject*>(process_objects().body_view_type.get());
  PyRef body = PyRef::steal(PyType_GenericAlloc(type, 0));
  if (!body) return nullptr;
  auto* fields = reinterpret_cast<BodyViewObject*>(body.get());
  fields->owner = PyRef::borrow(owner).release();
  fields->data = bytes.data();
  fields->size = static_cast<Py_ssize_t>(bytes.size());
  return PyMemoryView_FromObject(body.get());
}

}  // namespace vakra::ext
