#include "process_objects.hpp"

#include <memory>
#include <string_view>

#include "body_view.hpp"
#include "file_mapping.hpp"
#include "frame_copy.hpp"
#include "errors.hpp"

namespace vakra::ext {
namespace {

ProcessObjects* g_objects = nullptr;  // made under the GIL, never released

bool intern(PyRef& out, const char* text) {
  out = PyRef::steal(PyUnicode_InternFromString(text));
  return static_cast<bool>(out);
}

bool attribute(PyRef& out, PyObject* owner, const char* name) {
  out = PyRef::steal(PyObject_GetAttrString(owner, name));
  return static_cast<bool>(out);
}

bool module_attribute(PyRef& out, const char* module_name, const char* name) {
  PyRef module = PyRef::steal(PyImport_ImportModule(module_name));
  return module && attribute(out, module.get(), name);
}

bool make_names(InternedNames& n) {
  const std::pair<PyRef*, const char*> plain[] = {
      {&n.dtype, "dtype"},         {&n.name, "name"},
      {&n.isnative, "isnative"},   {&n.flags, "flags"},
      {&n.c_contiguous, "c_contiguous"}, {&n.nbytes, "nbytes"},
      {&n.ctypes, "ctypes"},       {&n.data, "data"},
      {&n.shape, "shape"},         {&n.ascontiguousarray, "ascontiguousarray"},
      {&n.format, "format"},       {&n.row, "row"},
      {&n.col, "col"},             {&n.indices, "indices"},
      {&n.indptr, "indptr"},       {&n.offsets, "_offsets"},
      {&n.payload, "_payload"},    {&n.to_raw, "to_raw"},
      {&n.reshape, "reshape"},     {&n.view, "view"},
      {&n.writeable, "writeable"}, {&n.from_raw, "_from_raw"},
      {&n.scipy_sparse, "scipy.sparse"}, {&n.quantize_module, "vakra.quantize"},
      {&n.quantized_class, "QuantizedTensor"}, {&n.ragged_module, "vakra.ragged"},
      {&n.string_class, "StringTensor"},        {&n.fileno, "fileno"},
  };
  for (const auto& [slot, text] : plain) {
    if (!intern(*slot, text)) return false;
  }
  const char* const matrix_classes[] = {"coo_matrix", "csr_matrix", "csc_matrix"};
  for (size_t i = 0; i < n.matrix_classes.size(); ++i) {
    if (!intern(n.matrix_classes[i], matrix_classes[i])) return false;
  }
  for (size_t i = 0; i < n.quantized_keywords.size(); ++i) {
    if (!intern(n.quantized_keywords[i], kQuantizedKeywords[i])) return false;
  }
  return true;
}

bool make(ProcessObjects& o) {
  if (!make_names(o.names)) return false;
  o.numpy = PyRef::steal(PyImport_ImportModule("numpy"));
  if (!o.numpy || !attribute(o.ndarray, o.numpy.get(), "ndarray") || !attribute(o.dtype_type, o.numpy.get(), "dtype") ||
      !attribute(o.frombuffer, o.numpy.get(), "frombuffer") || !attribute(o.empty, o.numpy.get(), "empty")) {
    return false;
  }
  for (const DtypeInfo& row : dtype_table()) {
    o.dtype_names.push_back(PyRef::steal(PyUnicode_FromStringAndSize(row.name.data(), static_cast<Py_ssize_t>(row.name.size()))));
    if (!o.dtype_names.back()) return false;
  }
  o.dtype_objects.resize(o.dtype_names.size());
  if (!module_attribute(o.string_tensor, "vakra.ragged", "StringTensor") ||
      !module_attribute(o.quantized_tensor, "vakra.quantize", "QuantizedTensor") ||
      !module_attribute(o.socket_type, "socket", "socket")) {
    return false;
  }
  o.body_view_type = make_body_view_type();
  o.file_mapping_type = make_file_mapping_type();
  o.frame_copy_type = make_frame_copy_type();
  return o.body_view_type && o.file_mapping_type && o.frame_copy_type;
}

}  // namespace

bool DtypeCache::find(PyObject* dtype_object, DtypeFacts& out) const {
  for (const Entry& entry : entries_) {
    if (entry.object.get() == dtype_object) {
      out = entry.facts;
      return true;
    }
  }
  return false;
}

void DtypeCache::remember(PyObject* dtype_object, DtypeFacts facts) {
  entries_[next_++ % entries_.size()] = {PyRef::borrow(dtype_object), facts};
}

ProcessObjects& process_objects() {
  if (g_objects == nullptr) {
    // Imports run Python code that may release the GIL and let another
    // thread get here too: whichever finishes first is kept.
    auto fresh = std::make_unique<ProcessObjects>();
    if (!make(*fresh)) throw PythonErrorSet();
    if (g_objects == nullptr) g_objects = fresh.release();
  }
  return *g_objects;
}

}  // namespace vakra::ext
