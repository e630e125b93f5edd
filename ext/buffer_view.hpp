// BufferView holds one buffer export of a caller's object for the length of a
// call and releases it in its destructor, on every path. It is pinned in
// place: some exporters point the export's shape at its own `len` field.
#pragma once

#include <span>

#include "python_api.hpp"
#include "vakra/bytes.hpp"

namespace vakra::ext {

class BufferView {
 public:
  BufferView() = default;
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;
  ~BufferView() { release(); }

  // The byte-buffer request: a full read-only export (PyBUF_FULL_RO) whose
  // items are unsigned bytes, refused unless it is one contiguous run so
  // nothing outside the exporter's memory is ever read or written.
  // Returns false with a Python exception set.
  bool acquire_bytes(PyObject* object);

  // A plain export (PyBUF_FULL_RO, any item type) that must be C-contiguous;
  // used to confirm where an array's memory lies. False with an exception set.
  bool acquire_any_contiguous(PyObject* object);

  // A C-contiguous export with its shape (PyBUF_C_CONTIGUOUS): the exporter
  // refuses memory that is not one C-ordered run. False with an exception set.
  bool acquire_c_contiguous(PyObject* object);
  std::span<const Py_ssize_t> shape() const {
    return {view_.shape, view_.shape != nullptr ? static_cast<size_t>(view_.ndim) : 0};
  }

  bool readonly() const { return view_.readonly != 0; }
  const uint8_t* data() const { return static_cast<const uint8_t*>(view_.buf); }
  size_t size() const { return static_cast<size_t>(view_.len); }
  ByteView bytes() const { return {data(), size()}; }
  // Only for exports that are not read-only.
  MutableBytes writable_bytes() const { return {static_cast<uint8_t*>(view_.buf), size()}; }

  void release();

 private:
  Py_buffer view_{};
  bool held_ = false;
};

}  // namespace vakra::ext
