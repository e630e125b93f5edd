#include "numpy_array.hpp"

#include <array>
#include <string>

#include "arguments.hpp"
#include "errors.hpp"
#include "interned.hpp"
#include "pyref.hpp"

namespace vakra::ext {
namespace {

constexpr uint64_t kMaxDimension = 4294967295u;

// What an array's dtype object tells the encoder.
struct DtypeFacts {
  Dtype dtype = Dtype::Float32;
  bool native_order = true;
};

// dtype.name is computed in Python by NumPy and costs microseconds, so the
// facts of recently seen numpy.dtype objects (immutable) are remembered by identity.
class DtypeCache {
 public:
  bool find(PyObject* dtype_object, DtypeFacts& out) const {
    for (const Entry& entry : entries_) {
      if (entry.object == dtype_object) {
        out = entry.facts;
        return true;
      }
    }
    return false;
  }
  void remember(PyObject* dtype_object, DtypeFacts facts) {
    Entry& slot = entries_[next_++ % entries_.size()];
    Py_XDECREF(slot.object);
    slot = {PyRef::borrow(dtype_object).release(), facts};
  }

 private:
  struct Entry {
    PyObject* object = nullptr;
    DtypeFacts facts;
  };
  std::array<Entry, 16> entries_{};
  size_t next_ = 0;
};

DtypeCache g_dtype_cache;  // touched only under the GIL

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
  PyRef dtype_object = PyRef::steal(PyObject_GetAttr(object, names().dtype));
  if (!dtype_object) return false;
  if (g_dtype_cache.find(dtype_object.get(), out)) return true;
  PyRef name = PyRef::steal(PyObject_GetAttr(dtype_object.get(), names().name));
  if (!name) return false;
  if (!PyUnicode_Check(name.get())) return raise_cannot_convert(name.get(), "PyString");
  const std::string text = utf8(name.get());
  if (PyErr_Occurred()) return false;
  const auto dtype = dense_dtype_from_name(text);
  if (!dtype) return raise(PyExc_ValueError, "Unsupported dtype: " + text);
  out = {*dtype, true};
  PyObject* dtype_type = numpy_dtype_type();
  if (dtype_type != nullptr && PyObject_IsInstance(dtype_object.get(), dtype_type) == 1) {
    PyRef native = PyRef::steal(PyObject_GetAttr(dtype_object.get(), names().isnative));
    if (native) {
      out.native_order = PyObject_IsTrue(native.get()) != 0;
      g_dtype_cache.remember(dtype_object.get(), out);
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
  PyRef ctypes = PyRef::steal(PyObject_GetAttr(object, names().ctypes));
  return ctypes && read_u64_attribute(ctypes.get(), names().data, out);
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
  PyRef shape = PyRef::steal(PyObject_GetAttr(object, names().shape));
  return shape && read_dimensions(shape.get(), dims);
}

// The attribute road, after the dtype and the contiguity are known: the byte
// count and the address, then the shape.
bool read_layout(PyObject* object, NumpyArrayInfo& info, BufferView& memory) {
  if (!read_u64_attribute(object, names().nbytes, info.nbytes)) return false;

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
  PyObject* ndarray = numpy_ndarray_type();
  if (ndarray == nullptr) {
    PyErr_Clear();
    return false;
  }
  return reinterpret_cast<PyObject*>(Py_TYPE(object)) == ndarray;
}

bool read_c_contiguous(PyObject* object, bool& contiguous) {
  PyRef flags = PyRef::steal(PyObject_GetAttr(object, names().flags));
  if (!flags) return false;
  PyRef value = PyRef::steal(PyObject_GetAttr(flags.get(), names().c_contiguous));
  return value && to_bool(value.get(), contiguous);
}

bool read_dimensions(PyObject* shape, std::vector<uint32_t>& dims) {
  if (PyUnicode_Check(shape)) return raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
  if (!PySequence_Check(shape)) return raise_cannot_convert(shape, "Sequence");
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
