// _native.dtype_table and _native.format_facts: the codec's dtype table,
// header flags, limits, kind names and sparse component roles, for the
// package's one facts module (vakra._facts) to take rather than restate.
#include <string>
#include <string_view>

#include "arguments.hpp"
#include "errors.hpp"
#include "native_entry_points.hpp"
#include "pyref.hpp"
#include "vakra/dtype.hpp"
#include "vakra/header.hpp"
#include "vakra/plan.hpp"
#include "vakra/walk.hpp"

namespace vakra::ext {
namespace {

PyRef text(std::string_view value) {
  return PyRef::steal(PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size())));
}

// An optional name: None where the table leaves it empty.
PyRef name_or_none(std::string_view value) { return value.empty() ? PyRef::borrow(Py_None) : text(value); }

PyRef number(unsigned long long value) { return PyRef::steal(PyLong_FromUnsignedLongLong(value)); }

bool set(PyObject* dict, const char* key, PyRef value) {
  return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

PyRef dtype_row(const DtypeInfo& row) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return dict;
  PyObject* d = dict.get();
  const bool made = set(d, "name", text(row.name)) && set(d, "code", number(row.code)) &&
                    set(d, "element_size", number(row.element_size)) &&
                    set(d, "unit_elements", number(row.unit_elements)) &&
                    set(d, "dense", PyRef::borrow(row.role == DtypeRole::Dense ? Py_True : Py_False)) &&
                    set(d, "quantized", PyRef::borrow(row.role == DtypeRole::Quantized ? Py_True : Py_False)) &&
                    set(d, "torch_name", name_or_none(row.torch_name)) &&
                    set(d, "safetensors_name", name_or_none(row.safetensors_name)) &&
                    set(d, "ml_dtypes_name", name_or_none(row.ml_dtypes_name)) &&
                    set(d, "needs_ml_dtypes", PyRef::borrow(row.needs_ml_dtypes ? Py_True : Py_False));
  return made ? std::move(dict) : PyRef();
}

struct Named {
  const char* name;
  unsigned long long value;
};

PyRef numbers(std::initializer_list<Named> items) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return dict;
  for (const Named& item : items) {
    if (!set(dict.get(), item.name, number(item.value))) return PyRef();
  }
  return dict;
}

PyRef kind_names() {
  constexpr PacketKind kKinds[] = {PacketKind::Dense,  PacketKind::Bundle, PacketKind::Sparse, PacketKind::Quantized,
                                   PacketKind::String, PacketKind::Ragged, PacketKind::Inline};
  PyRef names = PyRef::steal(PyTuple_New(std::size(kKinds)));
  if (!names) return names;
  for (size_t i = 0; i < std::size(kKinds); ++i) {
    PyRef name = text(packet_kind_name(kKinds[i]));
    if (!name || PyTuple_SetItem(names.get(), static_cast<Py_ssize_t>(i), name.release()) != 0) return PyRef();
  }
  return names;
}

// Format name -> its components' roles in wire order.
PyRef sparse_components() {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return dict;
  for (const SparseFormat format : {SparseFormat::coo, SparseFormat::csr, SparseFormat::csc}) {
    const auto roles = sparse_component_roles(format);
    PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(roles.size())));
    if (!tuple) return PyRef();
    for (size_t i = 0; i < roles.size(); ++i) {
      PyRef role = text(roles[i]);
      if (!role || PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), role.release()) != 0) return PyRef();
    }
    const std::string_view name = sparse_format_name(format);
    if (!set(dict.get(), std::string(name).c_str(), std::move(tuple))) return PyRef();
  }
  return dict;
}

}  // namespace

PyObject* native_dtype_table(PyObject*, PyObject*) {
  return guarded_call([&]() -> PyObject* {
    const auto table = dtype_table();
    PyRef rows = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(table.size())));
    if (!rows) return nullptr;
    for (size_t i = 0; i < table.size(); ++i) {
      PyRef row = dtype_row(table[i]);
      if (!row || PyTuple_SetItem(rows.get(), static_cast<Py_ssize_t>(i), row.release()) != 0) return nullptr;
    }
    return rows.release();
  });
}

PyObject* native_format_facts(PyObject*, PyObject*) {
  return guarded_call([&]() -> PyObject* {
    PyRef facts = PyRef::steal(PyDict_New());
    if (!facts) return nullptr;
    PyObject* f = facts.get();
    const bool made =
        set(f, "flags", numbers({{"aligned", FLAG_ALIGNED}, {"integrity", FLAG_INTEGRITY},
                                 {"compressed", FLAG_COMPRESSED}, {"sparse_coo", FLAG_SPARSE_COO},
                                 {"bundle", FLAG_BUNDLE}, {"sparse_csr", FLAG_SPARSE_CSR},
                                 {"sparse_csc", FLAG_SPARSE_CSC}, {"custom_align", FLAG_CUSTOM_ALIGN},
                                 {"string", FLAG_STRING}, {"ragged", FLAG_RAGGED}, {"inline", FLAG_INLINE}})) &&
        set(f, "limits", numbers({{"max_ndim", MAX_NDIM}, {"max_elements", MAX_ELEMENTS},
                                  {"max_bundle_entries", MAX_BUNDLE_ENTRIES},
                                  {"max_nesting_depth", MAX_NESTING_DEPTH},
                                  {"standard_alignment", kStandardAlignment},
                                  {"max_alignment", kMaxPackageAlignment},  // what the package writes
                                  {"max_part_length", kMaxPartLength}})) &&
        set(f, "kinds", kind_names()) && set(f, "sparse_components", sparse_components());
    return made ? facts.release() : nullptr;
  });
}

}  // namespace vakra::ext
