// PyRef owns exactly one strong reference. It is made only through steal()
// (take over a new reference) or borrow() (add one), so every line says who
// owns what, and every path out of a scope releases it.
#pragma once

#include <utility>

#include "python_api.hpp"

namespace vakra::ext {

class PyRef {
 public:
  PyRef() = default;
  static PyRef steal(PyObject* object) { return PyRef(object); }
  static PyRef borrow(PyObject* object) {
    Py_XINCREF(object);
    return PyRef(object);
  }

  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(object_);
      object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  // Hands the reference to the caller (e.g. as a function's result).
  [[nodiscard]] PyObject* release() { return std::exchange(object_, nullptr); }
  // For C-API calls that store a new reference through a PyObject** argument.
  PyObject** out() {
    Py_CLEAR(object_);
    return &object_;
  }
  // For C-API calls that may replace the reference in place (PyErr_NormalizeException).
  PyObject** inout() { return &object_; }

 private:
  explicit PyRef(PyObject* object) : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace vakra::ext
