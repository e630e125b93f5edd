#include "decode_to_python.hpp"

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <span>

#include "buffer_view.hpp"
#include "errors.hpp"
#include "gil_release.hpp"
#include "process_objects.hpp"
#include "memory_internal.hpp"
#include "overloaded_internal.hpp"
#include "packed_elements.hpp"
#include "shape_tuple.hpp"
#include "vakra/dense.hpp"

namespace vakra::ext {
namespace {

PyObject* name_of(const ProcessObjects& h, Dtype dtype) { return h.dtype_names[static_cast<size_t>(dtype)].get(); }

// NumPy knows some names (bfloat16, float8, float4) only once ml_dtypes has
// registered them, and importing ml_dtypes costs far more than importing
// vakra: the package's decoders import it when they first meet such a body.
// False with an ImportError set when it is not installed.
bool numpy_knows(ProcessObjects& h, const DecodeSource& source, Dtype dtype) {
  if (!find_dtype_info(dtype)->needs_ml_dtypes || h.ml_dtypes_imported || source.bfloat16 != Bfloat16::ImportOnDemand) {
    return true;
  }
  PyRef ml_dtypes = PyRef::steal(PyImport_ImportModule("ml_dtypes"));
  if (!ml_dtypes) {
    if (!PyErr_ExceptionMatches(PyExc_ImportError)) return false;
    return raise_from(PyExc_ImportError, "the packet holds " + std::string(dtype_name(dtype)) +
                                           " data, which NumPy reads only with ml_dtypes installed "
                                           "(pip install 'vakra[bfloat16]')");
  }
  h.ml_dtypes_imported = true;
  return true;
}

// numpy.dtype of `dtype`'s name, made once (borrowed): NumPy takes a dtype
// object for less than it takes to look a name up. nullptr with NumPy's
// error set (a name it does not know: not cached, so "bfloat16" works once
// ml_dtypes has registered it).
PyObject* dtype_object(ProcessObjects& h, Dtype dtype) {
  PyRef& made = h.dtype_objects[static_cast<size_t>(dtype)];
  if (!made) made = PyRef::steal(PyObject_CallFunctionObjArgs(h.dtype_type.get(), name_of(h, dtype), nullptr));
  return made.get();
}

// `flat`, a 1-D array, in `shape` (1-D arrays as they are).
bool shaped(const ProcessObjects& h, PyRef flat, std::span<const uint32_t> shape, PyRef& out) {
  if (shape.size() == 1) {
    out = std::move(flat);
    return true;
  }
  PyRef dims = shape_tuple(shape);
  if (!dims) return false;
  out = PyRef::steal(PyObject_CallMethodObjArgs(flat.get(), h.names.reshape.get(), dims.get(), nullptr));
  return static_cast<bool>(out);
}

// The decoder has already applied the element-count rule, so this cannot fail.
uint64_t element_count_of(std::span<const uint32_t> shape) { return element_count(shape).value(); }

// module.attribute, looked up at every call: the decoder builds whatever the
// package's module holds under that name at the time.
PyRef import_attribute(PyObject* module_name, PyObject* attribute) {
  PyRef module = PyRef::steal(PyImport_Import(module_name));
  if (!module) return module;
  return PyRef::steal(PyObject_GetAttr(module.get(), attribute));
}

// numpy.empty(dims, dtype): a new writable array that owns its memory; dims
// is a tuple or, for one dimension, an int.
PyRef empty_array(const ProcessObjects& h, PyObject* dims, PyObject* dtype) {
  return PyRef::steal(PyObject_CallFunctionObjArgs(h.empty.get(), dims, dtype, nullptr));
}

// The memory of `array`, a new 1-D array made by empty_array(), which must
// be `size` bytes. NumPy cannot describe some dtypes (bfloat16) in a buffer
// export: their memory is reached through a uint8 view of the same array,
// kept in `byte_view`.
bool array_memory(const ProcessObjects& h, PyObject* array, size_t size, PyRef& byte_view, BufferView& memory) {
  if (!memory.acquire_any_contiguous(array)) {
    PyErr_Clear();
    byte_view = PyRef::steal(PyObject_CallMethodObjArgs(array, h.names.view.get(), name_of(h, Dtype::Uint8), nullptr));
    if (!byte_view || !memory.acquire_any_contiguous(byte_view.get())) return false;
  }
  if (memory.readonly() || memory.size() != size) throw InternalFailure("new NumPy array has unexpected memory");
  return true;
}

// A writable 1-D array of `dtype` holding a copy of the body `bytes`
// (unpacked, for packed types).
PyRef copied_array(ProcessObjects& h, ByteView bytes, Dtype dtype) {
  PyObject* dtype_made = dtype_object(h, dtype);
  if (dtype_made == nullptr) return PyRef();
  const size_t count = numpy_length(dtype, bytes.size());
  PyRef length = PyRef::steal(PyLong_FromSize_t(count));
  if (!length) return length;
  PyRef array = empty_array(h, length.get(), dtype_made);
  if (!array) return array;
  PyRef byte_view;
  BufferView memory;
  if (!array_memory(h, array.get(), count * numpy_item_size(dtype), byte_view, memory)) return PyRef();
  if (is_packed(dtype)) {
    unpack_elements(dtype, bytes, memory.writable_bytes());
  } else if (!bytes.empty()) {
    std::memcpy(memory.writable_bytes().data(), bytes.data(), bytes.size());
  }
  return array;
}

ByteView real_bytes(const DecodeSource& source, ByteView view) {
  return source.locator != nullptr ? source.locator->bytes_of(view) : view;
}

bool mark_read_only(const ProcessObjects& h, PyObject* array) {
  PyRef flags = PyRef::steal(PyObject_GetAttr(array, h.names.flags.get()));
  return flags && PyObject_SetAttr(flags.get(), h.names.writeable.get(), Py_False) == 0;
}

// Whether `object`'s memory stays in place as long as a reference to it
// lives: an exact bytes object or a FileMapping. numpy.ndarray(buffer=...)
// keeps only a reference, not the buffer export that would stop a bytearray
// from being resized or an mmap from being closed under the array.
bool memory_lives_with_reference(const ProcessObjects& h, PyObject* object) {
  return PyBytes_CheckExact(object) || Py_TYPE(object) == reinterpret_cast<PyTypeObject*>(h.file_mapping_type.get());
}

// A view of the caller's own object at the body's offset: no copy. One call
// makes an N-d view of memory that lives with its reference,
// numpy.ndarray(shape, dtype, buffer, offset); otherwise numpy.frombuffer,
// which holds the export, and a reshape.
bool dense_view(ProcessObjects& h, const DecodeSource& source, const DecodedDense& dense, PyRef& out) {
  if (!numpy_knows(h, source, dense.dtype)) return false;
  PyObject* dtype = dtype_object(h, dense.dtype);
  if (dtype == nullptr) return false;
  // Without a locator every body lies in the bytes exported from `source.object`, from `base` on.
  const BodyHome home = source.locator != nullptr
                            ? source.locator->locate(dense.data)
                            : BodyHome{source.object, static_cast<size_t>(dense.data.data() - source.base),
                                       source.immutable || source.read_only_export};
  if ((source.writable && home.read_only) || is_packed(dense.dtype)) {
    // Writable arrays of read-only memory are copies that own their memory,
    // and so are the unpacked arrays of packed types.
    PyRef copy = copied_array(h, real_bytes(source, dense.data), dense.dtype);
    return copy && shaped(h, std::move(copy), dense.shape, out);
  }
  PyRef offset = PyRef::steal(PyLong_FromSize_t(home.offset));
  if (!offset) return false;
  PyRef array;
  const bool one_call = dense.shape.size() != 1 && memory_lives_with_reference(h, home.object);
  if (!one_call) {
    PyRef count = PyRef::steal(PyLong_FromUnsignedLongLong(element_count_of(dense.shape)));
    if (!count) return false;
    // frombuffer(buffer, dtype, count, offset), positionally: no keyword dict per call.
    array = PyRef::steal(
        PyObject_CallFunctionObjArgs(h.frombuffer.get(), home.object, dtype, count.get(), offset.get(), nullptr));
  } else {
    PyRef dims = shape_tuple(dense.shape);
    if (!dims) return false;
    array = PyRef::steal(
        PyObject_CallFunctionObjArgs(h.ndarray.get(), dims.get(), dtype, home.object, offset.get(), nullptr));
  }
  if (!array) return false;
  if (!source.writable && !home.read_only && !mark_read_only(h, array.get())) return false;
  if (!one_call) return shaped(h, std::move(array), dense.shape, out);
  out = std::move(array);
  return true;
}

// An LZ4-compressed body decompressed straight into a new array's memory.
bool dense_decompressed(ProcessObjects& h, const DecodeSource& source, const DecodedDense& dense, PyRef& out) {
  const uint64_t count = element_count_of(dense.shape);
  const uint64_t expected = dense_body_length(dense.dtype, dense.shape).value();  // checked by the decoder
  // Checked before the output array is allocated, so a small hostile packet cannot ask for gigabytes.
  if (expected > lz4_max_decompressed_size(dense.data.size())) return raise_codec_error(make_error(ErrorKind::Malformed));
  if (is_packed(dense.dtype)) {
    // Decompressed as packed units, then unpacked into the array.
    if (!numpy_knows(h, source, dense.dtype)) return false;
    OwnedBytes body;
    if (!unwrap(lz4_decompress_frame(dense.data, expected), body)) return false;
    if (body.size() != expected) return raise_codec_error(make_error(ErrorKind::Malformed));
    PyRef copy = copied_array(h, body.view(), dense.dtype);
    return copy && shaped(h, std::move(copy), dense.shape, out);
  }
  // Made flat and shaped at the end: NumPy refuses a byte view of a 0-d
  // array, which dtypes without a buffer format (bfloat16) need below.
  PyRef length = PyRef::steal(PyLong_FromUnsignedLongLong(count));
  if (!length) return false;
  PyObject* dtype = numpy_knows(h, source, dense.dtype) ? dtype_object(h, dense.dtype) : nullptr;
  PyRef array = dtype != nullptr ? empty_array(h, length.get(), dtype) : PyRef();
  if (!array) {
    // NumPy refused (an unknown dtype name, no memory): a damaged frame is reported first.
    PyRef type, value, traceback;
    PyErr_Fetch(type.out(), value.out(), traceback.out());
    Result<OwnedBytes> check = lz4_decompress_frame(dense.data, expected);
    if (!check.ok()) return raise_codec_error(check.error());
    if (check->size() != expected) return raise_codec_error(make_error(ErrorKind::Malformed));
    PyErr_Restore(type.release(), value.release(), traceback.release());
    return false;
  }
  PyRef byte_view;
  BufferView memory;
  if (!array_memory(h, array.get(), expected, byte_view, memory)) return false;
  prefer_huge_pages(memory.writable_bytes().data(), memory.size());
  Status decompressed;
  {
    // The frame lies in the caller's buffer, exported for the whole call; the
    // new array is not visible to anyone yet.
    GilReleased unlocked(worth_releasing(memory.size()));
    decompressed = lz4_decompress_frame_into(dense.data, memory.writable_bytes());
  }
  if (!unwrap(decompressed)) return false;
  memory.release();
  return shaped(h, std::move(array), dense.shape, out);
}

bool bundle_to_py(const DecodeSource& source, const DecodedBundle& bundle, PyRef& out) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return false;
  for (const BundleItem& item : bundle.entries) {
    PyRef value;
    if (!decoded_to_py(source, item.value, value)) return false;
    if (!value) return true;  // one unconverted entry leaves the whole bundle unconverted
    PyRef key = PyRef::steal(PyUnicode_FromStringAndSize(item.key.data(), static_cast<Py_ssize_t>(item.key.size())));
    if (!key || PyDict_SetItem(dict.get(), key.get(), value.get()) != 0) return false;
  }
  out = std::move(dict);
  return true;
}

// Index arrays (COO row and col, CSR/CSC indices and indptr) are trusted by
// SciPy's kernels without checks, so they never view memory that can change
// once checked. Only an exact bytes object cannot, nor memory the decoded
// value alone can write (a frames decoder's copy, frames handed over), where
// the decoder checked CSR/CSC ones: those are views.
bool stays_as_checked(const DecodeSource& source, const DecodedDense& dense) {
  return source.immutable || (source.locator != nullptr && source.locator->locate(dense.data).exclusive);
}

// A new 1-D uint8 array of `size` bytes and its writable memory.
PyRef new_byte_array(ProcessObjects& h, size_t size, PyRef& byte_view, BufferView& memory) {
  PyObject* uint8 = dtype_object(h, Dtype::Uint8);
  PyRef length = PyRef::steal(PyLong_FromSize_t(size));
  if (uint8 == nullptr || !length) return PyRef();
  PyRef array = empty_array(h, length.get(), uint8);
  if (!array || !array_memory(h, array.get(), size, byte_view, memory)) return PyRef();
  return array;
}

// CSR/CSC index arrays from memory that may change: copied into arrays of
// their own and checked there by the codec (the decoder's check read the
// memory itself), so SciPy gets exactly the bytes that were checked.
bool checked_index_copies(ProcessObjects& h, const DecodedSparse& sparse, std::array<PyRef, 3>& parts) {
  std::array<PyRef, 2> bytes;
  std::array<BufferView, 2> memory;
  std::array<PyRef, 2> byte_views;
  size_t total = 0;
  for (size_t i = 0; i < bytes.size(); ++i) {
    const auto& dense = std::get<DecodedDense>(sparse.components[i + 1].value);
    const size_t size = element_count_of(dense.shape) * element_size(dense.dtype);
    bytes[i] = new_byte_array(h, size, byte_views[i], memory[i]);
    if (!bytes[i]) return false;
    total += size;
  }
  Status copied;
  {
    // The source stays exported by the caller; the new arrays are nobody else's yet.
    GilReleased unlocked(worth_releasing(total));
    copied = copy_checked_indices(sparse, memory[0].writable_bytes(), memory[1].writable_bytes());
  }
  if (!unwrap(copied)) return false;
  for (size_t i = 0; i < bytes.size(); ++i) {
    const auto& dense = std::get<DecodedDense>(sparse.components[i + 1].value);
    PyObject* dtype = dtype_object(h, dense.dtype);  // an integer type: the check passed
    if (dtype == nullptr) return false;
    PyRef typed = PyRef::steal(PyObject_CallMethodObjArgs(bytes[i].get(), h.names.view.get(), dtype, nullptr));
    if (!typed || !shaped(h, std::move(typed), dense.shape, parts[i + 1])) return false;
  }
  return true;
}

// A COO row or col array: a copy unless its memory stays as it is, which
// SciPy's constructor checks.
bool coo_index_to_py(ProcessObjects& h, const DecodeSource& source, const Decoded& component, PyRef& out) {
  const auto* dense = std::get_if<DecodedDense>(&component.value);
  if (dense == nullptr || dense->compressed || stays_as_checked(source, *dense)) {
    return decoded_to_py(source, component, out);
  }
  if (!numpy_knows(h, source, dense->dtype)) return false;
  PyRef copy = copied_array(h, real_bytes(source, dense->data), dense->dtype);
  return copy && shaped(h, std::move(copy), dense->shape, out);
}

// The three components as arrays; a part left empty when it is not converted.
bool sparse_parts(ProcessObjects& h, const DecodeSource& source, const DecodedSparse& sparse,
                  std::array<PyRef, 3>& parts) {
  if (sparse.format != SparseFormat::coo) {
    const auto* indices = std::get_if<DecodedDense>(&sparse.components[1].value);
    const auto* indptr = std::get_if<DecodedDense>(&sparse.components[2].value);
    if (indices != nullptr && indptr != nullptr &&
        !(stays_as_checked(source, *indices) && stays_as_checked(source, *indptr))) {
      if (!decoded_to_py(source, sparse.components[0], parts[0])) return false;
      return !parts[0] || checked_index_copies(h, sparse, parts);
    }
  }
  for (size_t i = 0; i < parts.size(); ++i) {
    const bool coo_index = sparse.format == SparseFormat::coo && i > 0;
    if (!(coo_index ? coo_index_to_py(h, source, sparse.components[i], parts[i])
                    : decoded_to_py(source, sparse.components[i], parts[i]))) {
      return false;
    }
    if (!parts[i]) return true;
  }
  return true;
}

bool sparse_to_py(ProcessObjects& h, const DecodeSource& source, const DecodedSparse& sparse, PyRef& out) {
  PyRef scipy_sparse = PyRef::steal(PyImport_Import(h.names.scipy_sparse.get()));
  if (!scipy_sparse) {
    PyErr_Clear();
    return raise(PyExc_ImportError, "scipy is required for sparse deserialization");
  }
  if (sparse.components.size() != 3) throw InternalFailure("sparse packet without three components");
  std::array<PyRef, 3> parts;
  if (!sparse_parts(h, source, sparse, parts)) return false;
  if (!parts[0] || !parts[1] || !parts[2]) return true;
  // SciPy is given arrays only: another kind in a component's place (a string
  // tensor, a bundle, ...) makes a malformed packet, not a TypeError of SciPy's.
  for (const Decoded& component : sparse.components) {
    if (!std::holds_alternative<DecodedDense>(component.value)) return raise_codec_error(make_error(ErrorKind::Malformed));
  }
  if (sparse.format == SparseFormat::coo && !unwrap(check_coo_components(sparse))) return false;
  PyRef shape = shape_tuple(sparse.shape);
  if (!shape) return false;
  // coo_matrix((data, (row, col)), shape); csr/csc_matrix((data, indices, indptr), shape).
  PyRef arrays;
  if (sparse.format == SparseFormat::coo) {
    PyRef indices = PyRef::steal(PyTuple_Pack(2, parts[1].get(), parts[2].get()));
    if (!indices) return false;
    arrays = PyRef::steal(PyTuple_Pack(2, parts[0].get(), indices.get()));
  } else {
    arrays = PyRef::steal(PyTuple_Pack(3, parts[0].get(), parts[1].get(), parts[2].get()));
  }
  if (!arrays) return false;
  PyRef matrix_class =
      PyRef::steal(PyObject_GetAttr(scipy_sparse.get(), h.names.matrix_classes[static_cast<size_t>(sparse.format)].get()));
  if (!matrix_class) return false;
  out = PyRef::steal(PyObject_CallFunctionObjArgs(matrix_class.get(), arrays.get(), shape.get(), nullptr));
  return static_cast<bool>(out);
}

// A quantized tensor's array: a copy, or for writable results from frames a
// view of writable memory.
PyRef quantized_array(ProcessObjects& h, const DecodeSource& source, ByteView view, Dtype dtype) {
  if (source.writable && source.locator != nullptr) {
    const BodyHome home = source.locator->locate(view);
    if (!home.read_only) {
      PyRef count = PyRef::steal(PyLong_FromSize_t(view.size() / element_size(dtype)));
      PyRef offset = PyRef::steal(PyLong_FromSize_t(home.offset));
      if (!count || !offset) return PyRef();
      return PyRef::steal(PyObject_CallFunctionObjArgs(h.frombuffer.get(), home.object, name_of(h, dtype), count.get(),
                                                       offset.get(), nullptr));
    }
  }
  return copied_array(h, real_bytes(source, view), dtype);
}

// Keyword `index` of the QuantizedTensor call.
PyRef quantized_keyword(ProcessObjects& h, const DecodeSource& source, const DecodedQuantized& quantized,
                        size_t index) {
  switch (index) {
    case 0: return quantized_array(h, source, quantized.data, Dtype::Uint8);
    case 1: return quantized_array(h, source, quantized.scales, Dtype::Float32);
    case 2: return quantized_array(h, source, quantized.zero_points, Dtype::Float32);
    case 3: return shape_tuple(quantized.shape);
    case 4: return PyRef::steal(PyLong_FromLong(dtype_code(quantized.dtype)));
    case 5: return PyRef::steal(PyLong_FromLong(quantized.quant_scheme));
    case 6: return PyRef::steal(PyLong_FromUnsignedLong(quantized.group_size));
    case 7: return PyRef::steal(PyLong_FromUnsignedLong(quantized.axis));  // the wire byte, 0 to 255
  }
  throw InternalFailure("no such QuantizedTensor keyword");
}

bool quantized_to_py(ProcessObjects& h, const DecodeSource& source, const DecodedQuantized& quantized,
                     PyRef& out) {
  PyRef quantized_class = import_attribute(h.names.quantize_module.get(), h.names.quantized_class.get());
  if (!quantized_class) return false;
  PyRef keywords = PyRef::steal(PyDict_New());
  if (!keywords) return false;
  for (size_t i = 0; i < kQuantizedKeywords.size(); ++i) {
    PyRef value = quantized_keyword(h, source, quantized, i);
    if (!value || PyDict_SetItem(keywords.get(), h.names.quantized_keywords[i].get(), value.get()) != 0) return false;
  }
  PyRef no_args = PyRef::steal(PyTuple_New(0));
  if (!no_args) return false;
  out = PyRef::steal(PyObject_Call(quantized_class.get(), no_args.get(), keywords.get()));
  return static_cast<bool>(out);
}

bool string_to_py(ProcessObjects& h, const DecodeSource& source, const DecodedString& string, PyRef& out) {
  PyRef string_class = import_attribute(h.names.ragged_module.get(), h.names.string_class.get());
  if (!string_class) return false;
  PyRef offsets = copied_array(h, real_bytes(source, string.offsets), Dtype::Uint64);
  if (!offsets) return false;
  const ByteView payload_bytes = real_bytes(source, string.payload);
  PyRef payload = PyRef::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(payload_bytes.data()),
                                                         static_cast<Py_ssize_t>(payload_bytes.size())));
  if (!payload) return false;
  PyRef count = PyRef::steal(PyLong_FromUnsignedLong(string.shape.empty() ? 0 : string.shape[0]));
  if (!count) return false;
  out = PyRef::steal(PyObject_CallMethodObjArgs(string_class.get(), h.names.from_raw.get(), offsets.get(), payload.get(),
                                                count.get(), nullptr));
  return static_cast<bool>(out);
}

}  // namespace

bool decoded_to_py(const DecodeSource& source, const Decoded& decoded, PyRef& out) {
  out = PyRef();
  ProcessObjects& h = process_objects();
  return std::visit(
      Overloaded{
          [&](const DecodedDense& dense) {
            return dense.compressed ? dense_decompressed(h, source, dense, out) : dense_view(h, source, dense, out);
          },
          [&](const DecodedBundle& bundle) { return bundle_to_py(source, bundle, out); },
          [&](const DecodedSparse& sparse) { return sparse_to_py(h, source, sparse, out); },
          [&](const DecodedQuantized& quantized) { return quantized_to_py(h, source, quantized, out); },
          [&](const DecodedString& string) { return string_to_py(h, source, string, out); },
          // Kinds that are carried but not converted.
          [](const DecodedRagged&) { return true; },
          [](const DecodedInline&) { return true; },
      },
      decoded.value);
}

}  // namespace vakra::ext
