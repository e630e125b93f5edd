#include "buffer_view.hpp"

#include <cstring>

namespace vakra::ext {
namespace {

// "B" or "c", optionally after one byte-order prefix that keeps unsigned bytes unsigned bytes.
bool is_unsigned_byte_format(const char* format) {
  if (format == nullptr) return true;
  if (*format == '@' || *format == '=' || *format == '>') ++format;
  return std::strcmp(format, "B") == 0 || std::strcmp(format, "c") == 0;
}

}  // namespace

void BufferView::release() {
  if (held_) {
    PyBuffer_Release(&view_);
    held_ = false;
  }
}

bool BufferView::acquire_bytes(PyObject* object) {
  release();
  if (PyObject_GetBuffer(object, &view_, PyBUF_FULL_RO) != 0) return false;
  held_ = true;
  if (view_.shape == nullptr) {
    PyErr_SetString(PyExc_BufferError, "shape is null");
    return false;
  }
  if (view_.strides == nullptr) {
    PyErr_SetString(PyExc_BufferError, "strides is null");
    return false;
  }
  if (view_.itemsize != 1 || !is_unsigned_byte_format(view_.format)) {
    PyErr_SetString(PyExc_BufferError, "buffer contents are not compatible with u8");
    return false;
  }
  if (!PyBuffer_IsContiguous(&view_, 'C')) {
    PyErr_SetString(PyExc_BufferError, "buffer is not contiguous: pass a contiguous buffer (e.g. bytes(view))");
    return false;
  }
  return true;
}

bool BufferView::acquire_any_contiguous(PyObject* object) {
  release();
  if (PyObject_GetBuffer(object, &view_, PyBUF_FULL_RO) != 0) return false;
  held_ = true;
  if (!PyBuffer_IsContiguous(&view_, 'C')) {
    PyErr_SetString(PyExc_BufferError, "array memory is not one contiguous buffer");
    return false;
  }
  return true;
}

bool BufferView::acquire_c_contiguous(PyObject* object) {
  release();
  if (PyObject_GetBuffer(object, &view_, PyBUF_C_CONTIGUOUS) != 0) return false;
  held_ = true;
  if (!PyBuffer_IsContiguous(&view_, 'C')) {  // an exporter that ignored the request
    PyErr_SetString(PyExc_BufferError, "array memory is not one contiguous buffer");
    return false;
  }
  return true;
}

}  // namespace vakra::ext
