#include "tensor_inputs.hpp"

#include <cstring>
#include <string_view>

#include "arguments.hpp"
#include "byte_sequence.hpp"
#include "errors.hpp"
#include "process_objects.hpp"
#include "numpy_array.hpp"

namespace vakra::ext {
namespace {

// Where `name` stands in kQuantizedKeywords, found while compiling.
consteval size_t keyword_index(std::string_view name) {
  for (size_t i = 0; i < kQuantizedKeywords.size(); ++i) {
    if (name == kQuantizedKeywords[i]) return i;
  }
  throw "not a QuantizedTensor attribute";
}

// QuantizedTensor's attribute at `index` of kQuantizedKeywords, looked up by its interned name.
PyObject* quantized_name(size_t index) { return names().quantized_keywords[index].get(); }

template <class T>
bool read_attribute(PyObject* object, size_t index, T& out, bool (*convert)(PyObject*, T&)) {
  PyRef value = PyRef::steal(PyObject_GetAttr(object, quantized_name(index)));
  return value && convert(value.get(), out);
}

}  // namespace

bool BytePart::read(PyObject* object, PyObject* name) {
  PyRef value = PyRef::steal(PyObject_GetAttr(object, name));
  if (!value) return false;
  // An exact ndarray's C-contiguous memory is byte for byte what its
  // tobytes() would return, without the copy.
  if (is_exact_ndarray(value.get())) {
    if (memory_.acquire_c_contiguous(value.get())) {
      array_ = std::move(value);
      return true;
    }
    PyErr_Clear();
    memory_.release();
  }
  PyRef method = PyRef::steal(PyObject_GetAttrString(value.get(), "tobytes"));
  if (!method) return false;
  PyRef bytes = PyRef::steal(PyObject_CallNoArgs(method.get()));
  return bytes && bytes_.convert(bytes.get());
}

bool QuantizedParts::read(PyObject* qt) {
  if (!read_attribute(qt, keyword_index("dtype_code"), dtype_code, to_u8)) return false;
  const Result<Dtype> known = dtype_from_code(dtype_code);
  if (!known.ok()) return raise_codec_error(known.error());
  dtype = *known;
  if (!read_attribute(qt, keyword_index("quant_scheme"), quant_scheme, to_u8) ||
      !read_attribute(qt, keyword_index("group_size"), group_size, to_u32) ||
      !read_attribute(qt, keyword_index("axis"), axis, to_i64) ||
      !read_attribute(qt, keyword_index("shape"), shape, read_dimensions)) {
    return false;
  }
  return scales.read(qt, quantized_name(keyword_index("scales"))) &&
         zero_points.read(qt, quantized_name(keyword_index("zero_points"))) &&
         data.read(qt, quantized_name(keyword_index("data")));
}

QuantizedView QuantizedParts::view() const {
  return {
      .shape = shape,
      .scales = scales.view(),
      .zero_points = zero_points.view(),
      .data = data.view(),
      .group_size = group_size,
      .quant_scheme = quant_scheme,
      .axis = static_cast<uint8_t>(axis),  // one byte on the wire: -1 travels as 255
      .dtype = dtype,
  };
}

bool StringParts::read_tensor(PyObject* tensor) {
  // The table is used in place when it is what StringTensor makes: a
  // C-contiguous, native, aligned uint64 ndarray beside a bytes payload.
  PyRef table = PyRef::steal(PyObject_GetAttr(tensor, names().offsets.get()));
  PyRef bytes = table ? PyRef::steal(PyObject_GetAttr(tensor, names().payload.get())) : PyRef();
  if (bytes && PyBytes_CheckExact(bytes.get()) && is_exact_ndarray(table.get())) {
    NumpyArrayInfo info;
    bool contiguous = false;
    if (extract_ndarray(table.get(), info, offsets_memory_, contiguous) && contiguous &&
        info.dtype == Dtype::Uint64 && info.native_order && info.shape.size() == 1 && info.nbytes >= 8 &&
        info.data_address % alignof(uint64_t) == 0) {
      offsets = {reinterpret_cast<const uint64_t*>(info.data_address), info.nbytes / 8};
      offsets_owner = std::move(table);
      payload = ByteView(reinterpret_cast<const uint8_t*>(PyBytes_AsString(bytes.get())),
                         static_cast<size_t>(PyBytes_Size(bytes.get())));
      payload_owner = std::move(bytes);
      return true;
    }
    offsets_memory_.release();
  }
  PyErr_Clear();

  PyRef raw = PyRef::steal(PyObject_CallMethodObjArgs(tensor, names().to_raw.get(), nullptr));
  if (!raw) return false;
  if (!PyTuple_Check(raw.get()) || PyTuple_Size(raw.get()) != 3 || !PyBytes_Check(PyTuple_GetItem(raw.get(), 0)) ||
      !PyBytes_Check(PyTuple_GetItem(raw.get(), 1))) {
    return raise(PyExc_TypeError, "StringTensor.to_raw() must return (offsets bytes, payload bytes, count)");
  }
  PyObject* table_bytes = PyTuple_GetItem(raw.get(), 0);
  owned_offsets_ = read_u64_table({reinterpret_cast<const uint8_t*>(PyBytes_AsString(table_bytes)),
                              static_cast<size_t>(PyBytes_Size(table_bytes))});
  offsets = owned_offsets_;
  PyObject* payload_bytes = PyTuple_GetItem(raw.get(), 1);
  payload = ByteView(reinterpret_cast<const uint8_t*>(PyBytes_AsString(payload_bytes)),
                     static_cast<size_t>(PyBytes_Size(payload_bytes)));
  payload_owner = PyRef::borrow(payload_bytes);
  return true;
}

bool StringParts::read_list(PyObject* list, bool& taken) {
  taken = false;
  const Py_ssize_t count = PyList_Size(list);
  if (count < 0) return false;
  // One pass over the items gathers where each item's bytes lie (a str's
  // UTF-8 form is cached in the str itself); the payload is then assembled
  // at its final size. No Python code runs in between, so the views stay valid.
  std::vector<ByteView> items(static_cast<size_t>(count));
  owned_offsets_.resize(items.size() + 1);
  owned_offsets_[0] = 0;
  uint64_t total = 0;
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* item = PyList_GetItem(list, i);
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyUnicode_Check(item)) {
      data = const_cast<char*>(PyUnicode_AsUTF8AndSize(item, &size));
      if (data == nullptr) return false;  // a lone surrogate: UnicodeEncodeError
    } else if (PyBytes_Check(item)) {
      if (PyBytes_AsStringAndSize(item, &data, &size) != 0) return false;
    } else {
      return true;
    }
    items[static_cast<size_t>(i)] = ByteView(reinterpret_cast<const uint8_t*>(data), static_cast<size_t>(size));
    total += static_cast<uint64_t>(size);
    owned_offsets_[static_cast<size_t>(i) + 1] = total;
  }
  owned_payload_ = OwnedBytes::uninitialized(total);
  uint8_t* out = owned_payload_.data();
  for (const ByteView item : items) {
    if (!item.empty()) std::memcpy(out, item.data(), item.size());
    out += item.size();
  }
  offsets = owned_offsets_;
  payload = owned_payload_.view();
  taken = true;
  return true;
}

}  // namespace vakra::ext
