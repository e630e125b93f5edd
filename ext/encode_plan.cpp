#include "encode_plan.hpp"

#include <algorithm>
#include <array>
#include <string>
#include <string_view>

#include "arguments.hpp"
#include "errors.hpp"
#include "interned.hpp"
#include "numpy_array.hpp"

namespace vakra::ext {
namespace {

struct SparseLayout {
  std::string_view name;
  SparseFormat format;
  std::array<PyObject* InternedNames::*, 3> components;
};

constexpr std::array<SparseLayout, 3> kSparseLayouts = {{
    {"coo", SparseFormat::coo, {&InternedNames::data, &InternedNames::row, &InternedNames::col}},
    {"csr", SparseFormat::csr, {&InternedNames::data, &InternedNames::indices, &InternedNames::indptr}},
    {"csc", SparseFormat::csc, {&InternedNames::data, &InternedNames::indices, &InternedNames::indptr}},
}};

const SparseLayout* find_sparse_layout(PyObject* format) {
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(format, &size);
  if (text == nullptr) return nullptr;
  const std::string_view name(text, static_cast<size_t>(size));
  for (const SparseLayout& layout : kSparseLayouts) {
    if (layout.name == name) return &layout;
  }
  return nullptr;
}

bool is_dict(PyObject* value) { return (PyType_GetFlags(Py_TYPE(value)) & Py_TPFLAGS_DICT_SUBCLASS) != 0; }

// The sparse-matrix test: a `format` attribute that is a str. Any failure to
// read it means "not sparse"; plain ndarrays have no such attribute, so they
// skip the probe (and the cost of a raised AttributeError).
PyRef sparse_format_of(PyObject* value) {
  PyObject* ndarray = numpy_ndarray_type();
  if (ndarray == nullptr) PyErr_Clear();
  if (ndarray != nullptr && reinterpret_cast<PyObject*>(Py_TYPE(value)) == ndarray) return PyRef();
  PyRef format = PyRef::steal(PyObject_GetAttr(value, names().format));
  if (!format) {
    PyErr_Clear();
    return PyRef();
  }
  if (!PyUnicode_Check(format.get())) return PyRef();
  return format;
}

Raised raise_too_deep() {
  return raise(PyExc_ValueError, "Nesting too deep: values may be nested at most " + std::to_string(kMaxValueDepth) +
                                     " levels below the top-level value");
}

}  // namespace

bool PlanBuilder::plan_at(PyObject* value, PacketPlan& out, size_t depth) {
  if (depth > kMaxValueDepth) return raise_too_deep();
  // A dict subclass that names a sparse format is a sparse matrix, not a
  // mapping: SciPy's dok matrices subclass dict but keep their entries
  // elsewhere, and would otherwise encode as an empty bundle.
  PyRef format = sparse_format_of(value);
  if (is_dict(value) && !format) {
    out.node.emplace<BundlePlan>();
    return plan_bundle(value, std::get<BundlePlan>(out.node), depth);
  }
  if (format) {
    // A sparse packet's components sit one level below it.
    if (depth + 1 > kMaxValueDepth) return raise_too_deep();
    out.node.emplace<SparsePlan>();
    return plan_sparse(value, format.get(), std::get<SparsePlan>(out.node));
  }
  out.node.emplace<DensePlan>();
  return plan_array(value, std::get<DensePlan>(out.node));
}

bool PlanBuilder::collect_array(PyObject* array, DenseView& view) {
  NumpyArrayInfo info;
  BufferView& memory = keep_exports_.emplace_back();
  if (!extract_numpy(array, info, memory)) return false;
  keep_objects_.push_back(PyRef::borrow(array));
  const std::vector<uint32_t>& shape = keep_shapes_.emplace_back(std::move(info.shape));
  view = DenseView{ByteView(reinterpret_cast<const uint8_t*>(info.data_address), info.nbytes), shape, info.dtype};
  return true;
}

bool PlanBuilder::plan_array(PyObject* array, DensePlan& out) {
  DenseView view;
  return collect_array(array, view) && unwrap(vakra::plan_dense(view, options_), out);
}

bool PlanBuilder::plan_sparse(PyObject* matrix, PyObject* format, SparsePlan& out) {
  const SparseLayout* layout = find_sparse_layout(format);
  if (layout == nullptr) {
    PyErr_Clear();
    return raise(PyExc_ValueError, "Unknown sparse format");
  }
  PyRef shape_object = PyRef::steal(PyObject_GetAttr(matrix, names().shape));
  if (!shape_object) return false;
  std::vector<uint32_t> shape;
  if (!read_dimensions(shape_object.get(), shape)) return false;

  std::array<DenseView, 3> views;
  for (size_t k = 0; k < views.size(); ++k) {
    PyRef component = PyRef::steal(PyObject_GetAttr(matrix, names().*(layout->components[k])));
    if (!component) return false;
    bool contiguous = false;
    if (!read_c_contiguous(component.get(), contiguous)) return false;
    if (!contiguous) {
      PyObject* numpy = numpy_module();
      if (numpy == nullptr) return false;
      component = PyRef::steal(
          PyObject_CallMethodObjArgs(numpy, names().ascontiguousarray, component.get(), nullptr));
      if (!component) return false;
    }
    if (!collect_array(component.get(), views[k])) return false;
  }
  return unwrap(vakra::plan_sparse(layout->format, shape, views), out);
}

bool PlanBuilder::plan_bundle(PyObject* dict, BundlePlan& out, size_t depth) {
  const Py_ssize_t start_size = PyDict_Size(dict);
  if (start_size < 0) return false;
  if (static_cast<size_t>(start_size) > MAX_BUNDLE_ENTRIES) {
    return raise(PyExc_ValueError, "Bundle has " + std::to_string(start_size) +
                                       " entries; the wire format encodes the entry count in a single byte, so at "
                                       "most 255 entries are supported");
  }
  if (std::find(open_dicts_.begin(), open_dicts_.end(), dict) != open_dicts_.end()) {
    return raise(PyExc_ValueError, "Cannot encode a dict that contains itself");
  }
  open_dicts_.push_back(dict);
  out.entries.reserve(static_cast<size_t>(start_size));

  // Encoding a value runs Python code that may change the dict under us:
  // check before every step, as Python's own dict iteration does.
  Py_ssize_t position = 0;
  Py_ssize_t produced = 0;
  PyObject* borrowed_key = nullptr;
  PyObject* borrowed_value = nullptr;
  for (;;) {
    if (PyDict_Size(dict) != start_size) return raise(PyExc_RuntimeError, "dictionary changed size during iteration");
    if (produced > start_size) return raise(PyExc_RuntimeError, "dictionary keys changed during iteration");
    if (!PyDict_Next(dict, &position, &borrowed_key, &borrowed_value)) break;
    ++produced;
    PyRef key = PyRef::borrow(borrowed_key);
    PyRef value = PyRef::borrow(borrowed_value);
    if (!PyUnicode_Check(key.get())) return raise_cannot_convert(key.get(), "PyString");
    Py_ssize_t key_size = 0;
    const char* key_utf8 = PyUnicode_AsUTF8AndSize(key.get(), &key_size);
    if (key_utf8 == nullptr) return false;

    BundlePlanEntry& entry = out.entries.emplace_back();
    entry.key = ByteView(reinterpret_cast<const uint8_t*>(key_utf8), static_cast<size_t>(key_size));
    keep_objects_.push_back(std::move(key));  // the UTF-8 bytes belong to the str
    if (!plan_at(value.get(), entry.packet, depth + 1)) return false;
    keep_objects_.push_back(std::move(value));
  }
  open_dicts_.pop_back();
  return unwrap(finish_bundle_plan(out));
}

}  // namespace vakra::ext
