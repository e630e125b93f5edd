// A packet's u32 dimensions as the tuple of ints Python shows as a shape.
#pragma once

#include <cstdint>
#include <span>

#include "pyref.hpp"
#include "python_api.hpp"

namespace vakra::ext {

// Empty with an exception set on failure.
inline PyRef shape_tuple(std::span<const uint32_t> shape) {
  PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(shape.size())));
  if (!tuple) return tuple;
  for (size_t i = 0; i < shape.size(); ++i) {
    PyObject* dim = PyLong_FromUnsignedLong(shape[i]);
    if (dim == nullptr || PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), dim) != 0) return PyRef();
  }
  return tuple;
}

}  // namespace vakra::ext
