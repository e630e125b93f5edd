#include "numpy_array.hpp"

#include <array>
#include <string>

#include "arguments.hpp"
#include "byte_sequence.hpp"
#include "errors.hpp"
#include "process_objects.hpp"
#include "pyref.hpp"

namespace vakra::ext {
namespace {

constexpr uint64_t kMaxDimension = 4294967295u;

Raised raise_dimension_too_large(uint64_t value) {
  return raise(PyExc_ValueError, "Dimension " + std::to_string(value) + " exceeds the wire-format limit of " +
                                     std::to_string(kMaxDimension) + " (each dimension is stored as a 32-bit integer)");
}

std::string utf8(PyObject* text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  return data != nullptr ? std::string(data, static_cast<size_t>(size)) : std::string();
}

// The byte order is only asked of numpy.dtype objects, and only once per
// dtype object: anything else is taken to be in native order.
bool read_dtype(PyObject* object, DtypeFacts& out) {
  ProcessObjects& objects = process_objects();
  PyRef dtype_object = PyRef::steal(PyObject_GetAttr(object, objects.names.dtype.get()));
  if (!dtype_object) return false;
  if (objects.dtypes.find(dtype_object.get(), out)) return true;
  PyRef name = PyRef::steal(PyObject_GetAttr(dtype_object.get(), objects.names.name.get()));
  if (!name) return false;
  if (!PyUnicode_Check(name.get())) return raise_cannot_convert(name.get(), "PyString");
  const std::string text = utf8(name.get());
  if (PyErr_Occurred()) return false;
  const auto dtype = dense_dtype_from_name(text);
  if (!dtype) return raise(PyExc_ValueError, "Unsupported dtype: " + text);
  out = {*dtype, true};
  if (PyObject_IsInstance(dtype_object.get(), objects.dtype_type.get()) == 1) {
    PyRef native = PyRef::steal(PyObject_GetAttr(dtype_object.get(), objects.names.isnative.get()));
    if (native) {
      out.native_order = PyObject_IsTrue(native.get()) != 0;
      objects.dtypes.remember(dtype_object.get(), out);
    }
  }
  PyErr_Clear();
  return true;
}

bool read_u64_attribute(PyObject* object, PyObject* name, uint64_t& out) {
  PyRef value = PyRef::steal(PyObject_GetAttr(object, name));
  return value && to_u64(value.get(), out);
}

bool read_ctypes_data(PyObject* object, uint64_t& out) {
  PyRef ctypes = PyRef::steal(PyObject_GetAttr(object, names().ctypes.get()));
  return ctypes && read_u64_attribute(ctypes.get(), names().data.get(), out);
}

// The buffer protocol must back exactly the memory the attributes describe.
bool confirm_memory(PyObject* object, const NumpyArrayInfo& info, BufferView& memory) {
  if (!memory.acquire_any_contiguous(object)) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      return raise(PyExc_BufferError, "object does not expose its memory through the buffer protocol");
    }
    return false;
  }
  if (reinterpret_cast<uint64_t>(memory.data()) != info.data_address || memory.size() != info.nbytes) {
    return raise(PyExc_BufferError, "array memory does not match its ctypes.data / nbytes attributes");
  }
  return true;
}

bool read_shape_attribute(PyObject* object, std::vector<uint32_t>& dims) {
  PyRef shape = PyRef::steal(PyObject_GetAttr(object, names().shape.get()));
  return shape && read_dimensions(shape.get(), dims);
}

// The attribute road, after the dtype and the contiguity are known: the byte
// count and the address, then the shape.
bool read_layout(PyObject* object, NumpyArrayInfo& info, BufferView& memory) {
  if (!read_u64_attribute(object, names().nbytes.get(), info.nbytes)) return false;

  // A plain ndarray's ctypes.data is its buffer address by construction, and
  // building the ctypes helper costs more than the rest of the encode for
  // small arrays; its export is taken instead (dtypes NumPy cannot describe
  // in a buffer, such as bfloat16, fall back to ctypes.data).
  const bool exact_ndarray = is_exact_ndarray(object);
  bool have_memory = exact_ndarray && memory.acquire_any_contiguous(object);
  if (exact_ndarray && !have_memory) PyErr_Clear();
  if (have_memory) {
    info.data_address = reinterpret_cast<uint64_t>(memory.data());
  } else if (!read_ctypes_data(object, info.data_address)) {
    return false;
  }
  if (!read_shape_attribute(object, info.shape)) return false;
  if (exact_ndarray) {
    if (have_memory && memory.size() != info.nbytes) {
      return raise(PyExc_BufferError, "array memory does not match its ctypes.data / nbytes attributes");
    }
    return true;
  }
  return confirm_memory(object, info, memory);
}

bool to_dimensions(std::span<const Py_ssize_t> shape, std::vector<uint32_t>& dims) {
  dims.clear();
  dims.reserve(shape.size());
  for (const Py_ssize_t dim : shape) {
    if (static_cast<uint64_t>(dim) > kMaxDimension) return raise_dimension_too_large(static_cast<uint64_t>(dim));
    dims.push_back(static_cast<uint32_t>(dim));
  }
  return true;
}

}  // namespace

bool is_exact_ndarray(PyObject* object) {
  return reinterpret_cast<PyObject*>(Py_TYPE(object)) == process_objects().ndarray.get();
}

bool read_c_contiguous(PyObject* object, bool& contiguous) {
  PyRef flags = PyRef::steal(PyObject_GetAttr(object, names().flags.get()));
  if (!flags) return false;
  PyRef value = PyRef::steal(PyObject_GetAttr(flags.get(), names().c_contiguous.get()));
  return value && to_bool(value.get(), contiguous);
}

bool read_dimensions(PyObject* shape, std::vector<uint32_t>& dims) {
  if (!check_sequence(shape)) return false;
  std::vector<uint64_t> values;
  if (PyTuple_Check(shape)) {
    const Py_ssize_t n = PyTuple_Size(shape);
    values.resize(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      if (!to_u64(PyTuple_GetItem(shape, i), values[static_cast<size_t>(i)])) return false;
    }
  } else {
    PyRef iterator = PyRef::steal(PyObject_GetIter(shape));
    if (!iterator) return false;
    while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
      uint64_t value = 0;
      if (!to_u64(item.get(), value)) return false;
      values.push_back(value);
    }
    if (PyErr_Occurred()) return false;
  }
  dims.clear();
  dims.reserve(values.size());
  for (uint64_t value : values) {
    if (value > kMaxDimension) return raise_dimension_too_large(value);
    dims.push_back(static_cast<uint32_t>(value));
  }
  return true;
}

bool extract_ndarray(PyObject* array, NumpyArrayInfo& info, BufferView& memory, bool& contiguous) {
  DtypeFacts facts;
  if (!read_dtype(array, facts)) return false;
  info.dtype = facts.dtype;
  info.native_order = facts.native_order;
  // One C-contiguous export answers contiguity, address, length and shape at
  // once; NumPy refuses it for strided arrays and for dtypes it cannot
  // describe in a buffer (bfloat16), which take the attribute road.
  if (memory.acquire_c_contiguous(array)) {
    contiguous = true;
    info.data_address = reinterpret_cast<uint64_t>(memory.data());
    info.nbytes = memory.size();
    return to_dimensions(memory.shape(), info.shape);
  }
  PyErr_Clear();
  memory.release();
  if (!read_c_contiguous(array, contiguous)) return false;
  return !contiguous || read_layout(array, info, memory);
}

bool extract_numpy(PyObject* object, NumpyArrayInfo& info, BufferView& memory) {
  if (is_exact_ndarray(object)) {
    bool contiguous = false;
    if (!extract_ndarray(object, info, memory, contiguous)) return false;
    return contiguous || raise(PyExc_ValueError, "Array must be C-contiguous");
  }
  DtypeFacts facts;
  if (!read_dtype(object, facts)) return false;
  info.dtype = facts.dtype;
  info.native_order = facts.native_order;
  bool contiguous = false;
  if (!read_c_contiguous(object, contiguous)) return false;
  if (!contiguous) return raise(PyExc_ValueError, "Array must be C-contiguous");
  return read_layout(object, info, memory);
}

}  // namespace vakra::ext
