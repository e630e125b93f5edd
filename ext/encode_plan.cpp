#include "encode_plan.hpp"

#include <algorithm>
#include <array>
#include <iterator>
#include <string>
#include <string_view>

#include "arguments.hpp"
#include "errors.hpp"
#include "gil_release.hpp"
#include "limit_notes.hpp"
#include "numpy_array.hpp"
#include "packed_elements.hpp"
#include "process_objects.hpp"
#include "shape_tuple.hpp"
#include "vakra/walk.hpp"

namespace vakra::ext {
namespace {

// The matrix attributes that hold each format's components, in wire order
// (the codec's sparse_component_roles, which SciPy names alike).
struct SparseLayout {
  SparseFormat format;
  std::array<PyRef InternedNames::*, 3> components;
};

constexpr std::array<SparseLayout, 3> kSparseLayouts = {{
    {SparseFormat::coo, {&InternedNames::data, &InternedNames::row, &InternedNames::col}},
    {SparseFormat::csr, {&InternedNames::data, &InternedNames::indices, &InternedNames::indptr}},
    {SparseFormat::csc, {&InternedNames::data, &InternedNames::indices, &InternedNames::indptr}},
}};

const SparseLayout* find_sparse_layout(PyObject* format) {
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(format, &size);
  if (text == nullptr) return nullptr;
  const std::string_view name(text, static_cast<size_t>(size));
  for (const SparseLayout& layout : kSparseLayouts) {
    if (sparse_format_name(layout.format) == name) return &layout;
  }
  return nullptr;
}

// plan_dense, compressing a large body with the GIL released. The walk is
// paused meanwhile: everything it holds is kept alive by the builder or by
// the frames above, and a dict another thread changes in the pause is caught
// by the checks before each step of its walk.
Result<DensePlan> plan_dense_unlocked(const DenseView& view, const EncodeOptions& options) {
  GilReleased unlocked(options.compress && worth_releasing(view.data.size()));
  return vakra::plan_dense(view, options);
}

bool is_dict(PyObject* value) { return (PyType_GetFlags(Py_TYPE(value)) & Py_TPFLAGS_DICT_SUBCLASS) != 0; }

// The sparse-matrix test: a `format` attribute that is a str. Any failure to
// read it means "not sparse"; plain ndarrays have no such attribute, so they
// skip the probe (and the cost of a raised AttributeError).
PyRef sparse_format_of(PyObject* value) {
  if (is_exact_ndarray(value)) return PyRef();
  PyRef format = PyRef::steal(PyObject_GetAttr(value, names().format.get()));
  if (!format) {
    PyErr_Clear();
    return PyRef();
  }
  if (!PyUnicode_Check(format.get())) return PyRef();
  return format;
}

// "'int'": the repr of a value's type name, as the package's messages show it.
std::string type_name_of(PyObject* value) {
  PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(value)));
  if (!name) {
    PyErr_Clear();
    return "'?'";
  }
  std::string quoted = utf8_or(name.get(), "");
  quoted.insert(quoted.begin(), '\'');
  quoted.push_back('\'');
  return quoted;
}

// array.astype(array.dtype.newbyteorder("=")): the same values in native byte order.
PyRef native_order_copy(PyObject* array) {
  PyRef dtype = PyRef::steal(PyObject_GetAttr(array, names().dtype.get()));
  PyRef native = dtype ? PyRef::steal(PyObject_CallMethod(dtype.get(), "newbyteorder", "s", "=")) : PyRef();
  return native ? PyRef::steal(PyObject_CallMethod(array, "astype", "O", native.get())) : PyRef();
}

Raised raise_cannot_encode(PyObject* value) {
  return raise(PyExc_TypeError, "vakra cannot encode a " + type_name_of(value) +
                                    " object; it encodes NumPy arrays, SciPy sparse matrices, StringTensor, "
                                    "QuantizedTensor, lists of str or bytes and dicts of these");
}

Raised raise_too_deep() {
  return raise(PyExc_ValueError, "Nesting too deep: values may be nested at most " + std::to_string(kMaxValueDepth) +
                                     " levels below the top-level value");
}

}  // namespace

bool PlanBuilder::plan_at(PyObject* value, PacketPlan& out, size_t depth) {
  if (depth > kMaxValueDepth) return raise_too_deep();
  if (dispatch_ == Dispatch::Package) return plan_package_value(value, out, depth, false);
  // A dict subclass that names a sparse format is a sparse matrix, not a
  // mapping: SciPy's dok matrices subclass dict but keep their entries
  // elsewhere, and would otherwise encode as an empty bundle.
  PyRef format = sparse_format_of(value);
  if (is_dict(value) && !format) return plan_bundle(value, out.node.emplace<BundlePlan>(), depth);
  if (format) {
    // A sparse packet's components sit one level below it.
    if (depth + 1 > kMaxValueDepth) return raise_too_deep();
    return plan_sparse(value, format.get(), out.node.emplace<SparsePlan>());
  }
  return plan_array(value, out.node.emplace<DensePlan>());
}

// The common kinds are recognised by exact type first, so a dict of arrays
// costs no attribute probe per value.
bool PlanBuilder::plan_package_value(PyObject* value, PacketPlan& out, size_t depth, bool converted) {
  if (is_exact_ndarray(value)) {
    NumpyArrayInfo info;
    BufferView& memory = keep_exports_.emplace_back();
    bool contiguous = false;
    if (!extract_ndarray(value, info, memory, contiguous)) return false;
    if (!contiguous || !info.native_order) {
      memory.release();
      return plan_converted(value, out, depth, converted);
    }
    DenseView view;
    return keep_array(value, info, info.dtype, true, view) &&
           unwrap(plan_dense_unlocked(view, options_), out.node.emplace<DensePlan>());
  }
  if (PyDict_CheckExact(value)) return plan_bundle(value, out.node.emplace<BundlePlan>(), depth);
  if (PyList_CheckExact(value)) {
    StringParts& parts = keep_strings_.emplace_back();
    bool taken = false;
    if (!parts.read_list(value, taken)) return false;
    if (taken) return plan_string_parts(parts, out);
    return plan_converted(value, out, depth, converted);
  }
  const ProcessObjects& objects = process_objects();
  if (PyObject_TypeCheck(value, reinterpret_cast<PyTypeObject*>(objects.string_tensor.get()))) {
    StringParts& parts = keep_strings_.emplace_back();
    return parts.read_tensor(value) && plan_string_parts(parts, out);
  }
  if (PyObject_TypeCheck(value, reinterpret_cast<PyTypeObject*>(objects.quantized_tensor.get()))) {
    return plan_quantized_tensor(value, out);
  }
  PyRef format = sparse_format_of(value);
  if (is_dict(value) && !format) return plan_bundle(value, out.node.emplace<BundlePlan>(), depth);
  if (format) {
    if (find_sparse_layout(format.get()) == nullptr) {
      PyErr_Clear();
      PyRef shown = PyRef::steal(PyObject_Repr(format.get()));
      if (!shown) return false;
      return raise(PyExc_ValueError, "Unknown sparse format " + utf8_or(shown.get(), "") +
                                         ": vakra stores coo, csr and csc; convert with .tocsr(), .tocsc() or .tocoo()");
    }
    if (depth + 1 > kMaxValueDepth) return raise_too_deep();
    return plan_sparse(value, format.get(), out.node.emplace<SparsePlan>());
  }
  if (converted && PyTuple_CheckExact(value) && PyTuple_Size(value) == 2) return plan_typed_bytes(value, out);
  return plan_converted(value, out, depth, converted);
}

// Hands a value the walk does not take as it is to `convert`, once, and
// walks what comes back in its place.
bool PlanBuilder::plan_converted(PyObject* value, PacketPlan& out, size_t depth, bool converted) {
  if (converted || convert_ == nullptr || convert_ == Py_None) return raise_cannot_encode(value);
  PyRef replacement = PyRef::steal(PyObject_CallFunctionObjArgs(convert_, value, nullptr));
  if (!replacement) return false;
  PyObject* replaced = replacement.get();
  keep_objects_.push_back(std::move(replacement));
  return plan_package_value(replaced, out, depth, true);
}

// (array, wire dtype code): the array's bytes as a dense body of that dtype,
// for element types NumPy cannot name without help (bfloat16 as int16, torch's
// float4_e2m1fn_x2 as its packed bytes).
bool PlanBuilder::plan_typed_bytes(PyObject* pair, PacketPlan& out) {
  PyObject* array = PyTuple_GetItem(pair, 0);
  uint8_t code = 0;
  if (!to_u8(PyTuple_GetItem(pair, 1), code)) return false;
  Dtype dtype;
  if (!unwrap(dtype_from_code(code), dtype)) return false;
  if (!is_exact_ndarray(array)) return raise_cannot_encode(array);
  NumpyArrayInfo info;
  BufferView& memory = keep_exports_.emplace_back();
  bool contiguous = false;
  if (!extract_ndarray(array, info, memory, contiguous)) return false;
  if (!contiguous) return raise(PyExc_ValueError, "Array must be C-contiguous");
  if (element_size(dtype) != element_size(info.dtype)) {
    return raise(PyExc_ValueError, "dtype code " + std::to_string(code) + " (" + std::string(dtype_name(dtype)) +
                                       ") does not match the array's " + std::to_string(element_size(info.dtype)) +
                                       "-byte elements");
  }
  DenseView view;
  return keep_array(array, info, dtype, false, view) &&
         unwrap(plan_dense_unlocked(view, options_), out.node.emplace<DensePlan>());
}

bool PlanBuilder::plan_string_parts(StringParts& parts, PacketPlan& out) {
  // The count travels as a u32 and there is one offset more than items.
  if (parts.offsets.empty() || parts.offsets.size() - 1 > UINT32_MAX) {
    return raise_codec_error(make_error(ErrorKind::Malformed));
  }
  anchor({reinterpret_cast<const uint8_t*>(parts.offsets.data()), parts.offsets.size_bytes()}, parts.offsets_owner.get());
  anchor(parts.payload, parts.payload_owner.get());
  const auto count = static_cast<uint32_t>(parts.offsets.size() - 1);
  return unwrap(plan_string(count, parts.offsets, parts.payload, options_.check_integrity),
                out.node.emplace<StringPlan>());
}

bool PlanBuilder::plan_quantized_tensor(PyObject* tensor, PacketPlan& out) {
  QuantizedParts& parts = keep_quantized_.emplace_back();
  if (!parts.read(tensor)) return false;
  for (const BytePart* part : {&parts.scales, &parts.zero_points, &parts.data}) anchor(part->view(), part->owner());
  const EncodeOptions options{options_.alignment, options_.check_integrity, false};
  return unwrap(vakra::plan_quantized(parts.view(), options), out.node.emplace<QuantizedPlan>());
}

// Collects the failed entry's key on the way out; plan_value names the
// whole path in a note.
bool PlanBuilder::note_failed_entry(PyObject* key) {
  failed_path_.push_back(key);
  return false;
}

bool PlanBuilder::plan_value(PyObject* value, PacketPlan& out) {
  if (plan_at(value, out, 0)) return true;
  note_encode_failure(failed_path_, failed_limit_, dispatch_ == Dispatch::Package);
  return false;
}

bool PlanBuilder::plan_entry(PyObject* key, PyObject* value, PacketPlan& out) {
  if (plan_at(value, out, 1)) return true;
  note_failed_entry(key);
  note_encode_failure(failed_path_, failed_limit_, dispatch_ == Dispatch::Package);
  return false;
}

void PlanBuilder::anchor(ByteView bytes, PyObject* owner) {
  if (owner == nullptr || bytes.empty()) return;
  anchors_.push_back({bytes.data(), bytes.size(), owner});
  anchors_sorted_ = false;
}

PyObject* PlanBuilder::owner_of(ByteView bytes) {
  if (!anchors_sorted_) {
    std::sort(anchors_.begin(), anchors_.end(), [](const Anchor& a, const Anchor& b) { return a.begin < b.begin; });
    anchors_sorted_ = true;
  }
  const auto holds = [&](const Anchor& a) {
    return a.begin <= bytes.data() && bytes.data() + bytes.size() <= a.begin + a.size;
  };
  // The last anchor starting at or before the bytes holds them, unless
  // anchors overlap (one array viewing another's memory); then any that holds them will do.
  auto after = std::upper_bound(anchors_.begin(), anchors_.end(), bytes.data(),
                                [](const uint8_t* p, const Anchor& a) { return p < a.begin; });
  if (after != anchors_.begin() && holds(*std::prev(after))) return std::prev(after)->owner;
  const auto found = std::find_if(anchors_.begin(), after, holds);
  return found != after ? found->owner : nullptr;
}

bool PlanBuilder::keep_array(PyObject* array, NumpyArrayInfo& info, Dtype dtype, bool one_per_byte,
                             DenseView& view) {
  keep_objects_.push_back(PyRef::borrow(array));
  std::vector<uint32_t>& shape = keep_shapes_.emplace_back(std::move(info.shape));
  view = {ByteView(reinterpret_cast<const uint8_t*>(info.data_address), info.nbytes), shape, dtype};
  if (!is_packed(dtype)) {
    anchor(view.data, array);
    return true;
  }
  const size_t unit = find_dtype_info(dtype)->unit_elements;
  const uint64_t last = shape.empty() ? 0 : uint64_t{shape.back()} * (one_per_byte ? 1 : unit);
  if (shape.empty() || last % unit != 0 || last > UINT32_MAX) {
    PyRef dims = shape_tuple(shape);
    PyRef shown = dims ? PyRef::steal(PyObject_Repr(dims.get())) : PyRef();
    if (!shown) return false;
    return raise(PyExc_ValueError, std::string(dtype_name(dtype)) + " arrays are stored " + std::to_string(unit) +
                                       " elements to a byte along their last dimension, which must be a multiple of " +
                                       std::to_string(unit) + "; this one has shape " + utf8_or(shown.get(), "?") +
                                       (one_per_byte ? "" : " in bytes"));
  }
  if (!one_per_byte) {
    shape.back() = static_cast<uint32_t>(last);  // the bytes are already the wire's units
    anchor(view.data, array);
    return true;
  }
  // Packed into a bytes object of the plan's own, which owns the body the
  // segments and writes take.
  PyRef packed = PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(view.data.size() / unit)));
  if (!packed) return false;
  const MutableBytes units(reinterpret_cast<uint8_t*>(PyBytes_AsString(packed.get())), view.data.size() / unit);
  pack_elements(dtype, view.data, units);
  view.data = units;
  anchor(view.data, packed.get());
  keep_objects_.push_back(std::move(packed));
  return true;
}

bool PlanBuilder::collect_array(PyObject* array, DenseView& view, bool& native_order) {
  NumpyArrayInfo info;
  BufferView& memory = keep_exports_.emplace_back();
  if (!extract_numpy(array, info, memory)) return false;
  native_order = info.native_order;
  return keep_array(array, info, info.dtype, true, view);
}

bool PlanBuilder::plan_array(PyObject* array, DensePlan& out) {
  DenseView view;
  bool native_order = true;
  return collect_array(array, view, native_order) && unwrap(plan_dense_unlocked(view, options_), out);
}

bool PlanBuilder::plan_sparse(PyObject* matrix, PyObject* format, SparsePlan& out) {
  const SparseLayout* layout = find_sparse_layout(format);
  if (layout == nullptr) {
    PyErr_Clear();
    return raise(PyExc_ValueError, "Unknown sparse format");
  }
  PyRef shape_object = PyRef::steal(PyObject_GetAttr(matrix, names().shape.get()));
  if (!shape_object) return false;
  std::vector<uint32_t> shape;
  if (!read_dimensions(shape_object.get(), shape)) return false;

  std::array<DenseView, 3> views;
  for (size_t k = 0; k < views.size(); ++k) {
    PyRef component = PyRef::steal(PyObject_GetAttr(matrix, (names().*(layout->components[k])).get()));
    if (!component) return false;
    bool contiguous = false;
    if (!read_c_contiguous(component.get(), contiguous)) return false;
    if (!contiguous) {
      component = PyRef::steal(PyObject_CallMethodObjArgs(process_objects().numpy.get(),
                                                          names().ascontiguousarray.get(), component.get(), nullptr));
      if (!component) return false;
    }
    bool native_order = true;
    if (!collect_array(component.get(), views[k], native_order)) return false;
    if (!native_order && dispatch_ == Dispatch::Package) {
      // The wire holds little-endian elements: a byte-swapped component is
      // converted (vakra_rs takes the bytes as they lie, as it always has).
      component = native_order_copy(component.get());
      if (!component || !collect_array(component.get(), views[k], native_order)) return false;
    }
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
    if (!PyUnicode_Check(key.get())) {
      if (dispatch_ == Dispatch::Package) return raise(PyExc_TypeError, "dict keys must be str, not " + type_name_of(key.get()));
      return raise_cannot_convert(key.get(), "PyString");
    }
    Py_ssize_t key_size = 0;
    const char* key_utf8 = PyUnicode_AsUTF8AndSize(key.get(), &key_size);
    if (key_utf8 == nullptr) return false;

    BundlePlanEntry& entry = out.entries.emplace_back();
    entry.key = ByteView(reinterpret_cast<const uint8_t*>(key_utf8), static_cast<size_t>(key_size));
    PyObject* key_object = key.get();
    keep_objects_.push_back(std::move(key));  // the UTF-8 bytes belong to the str
    if (!plan_at(value.get(), entry.packet, depth + 1)) return note_failed_entry(key_object);
    if (entry.packet.size() >= kMaxPartLength) {
      raise_codec_error(make_error(ErrorKind::Malformed));
      failed_limit_ = child_length_limit(entry.packet.size());
      return note_failed_entry(key_object);
    }
    keep_objects_.push_back(std::move(value));
  }
  open_dicts_.pop_back();
  return unwrap(finish_bundle_plan(out));
}

}  // namespace vakra::ext
