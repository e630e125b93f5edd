// _native.read_record(data, path): the record of a model file, read by the
// codec's one record reader, with the package's words for each refusal.
#include <cstring>
#include <string>

#include "buffer_view.hpp"
#include "errors.hpp"
#include "native_entry_points.hpp"
#include "process_objects.hpp"
#include "signature.hpp"
#include "vakra/model_file.hpp"

namespace vakra::ext {
namespace {

bool is_text(const CodecError& error, const char* text) {
  return error.kind == ErrorKind::Other && error.text != nullptr && std::strcmp(error.text, text) == 0;
}

// repr() of the format item, decoded as far as it is UTF-8; "(unreadable)" without one item.
std::string shown_format(const RecordProgress& progress) {
  if (!progress.format) return "(unreadable)";
  PyRef text = PyRef::steal(PyUnicode_DecodeUTF8(progress.format->data(), static_cast<Py_ssize_t>(progress.format->size()),
                                                 "replace"));
  PyRef shown = PyRef::steal(text ? PyObject_Repr(text.get()) : nullptr);
  if (!shown) {
    PyErr_Clear();
    return "(unreadable)";
  }
  return utf8_or(shown.get(), "(unreadable)");
}

// The refusal, naming the file: ValueError in every case.
Raised raise_refused(const CodecError& error, const RecordProgress& progress, const std::string& path, size_t size) {
  const std::string damaged = path + ": damaged vakra model file: ";
  if (progress.record_length == 0) return raise(PyExc_ValueError, path + " is not a readable vakra model file: " + error_message(error));
  for (const char* text : {kModelRecordWrongTypes, kModelRangeOutside, kModelNameTwice, kModelBodyShape,
                           kModelBodyLength, kModelBodyMisaligned}) {
    if (is_text(error, text)) return raise(PyExc_ValueError, damaged + text);
  }
  if (is_text(error, kModelLayoutUnsupported)) {
    return raise(PyExc_ValueError, path + ": unsupported vakra model file layout " + shown_format(progress) +
                                       "; this vakra reads '" + std::string(kModelFileFormat) + "' and '" +
                                       std::string(kModelFileFormatV2) + "'");
  }
  if (is_text(error, kModelFileSizeWrong)) {
    return raise(PyExc_ValueError, path + ": the file is " + std::to_string(size) + " bytes but its record says " +
                                       std::to_string(progress.file_size) +
                                       ": it was cut short or changed after it was saved");
  }
  return raise(PyExc_ValueError, damaged + "its record does not decode: " + error_message(error));
}

PyObject* new_str(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
}

// The ranges as a read-only uint64 array of shape (n, 2).
PyRef ranges_array(const ModelRecord& record) {
  PyRef raw = PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(16 * record.ranges.size())));
  if (!raw) return raw;
  auto* out = reinterpret_cast<uint64_t*>(PyBytes_AsString(raw.get()));
  for (const ByteRange& range : record.ranges) {
    *out++ = range.offset;  // the host is little-endian, as the wire
    *out++ = range.length;
  }
  PyRef flat = PyRef::steal(PyObject_CallFunction(process_objects().frombuffer.get(), "Os", raw.get(), "<u8"));
  if (!flat) return flat;
  return PyRef::steal(PyObject_CallMethod(flat.get(), "reshape", "nn", static_cast<Py_ssize_t>(record.ranges.size()),
                                          Py_ssize_t{2}));
}

// The bodies as a dict of entry index to (dtype code, shape).
PyRef bodies_dict(const ModelRecord& record) {
  PyRef bodies = PyRef::steal(PyDict_New());
  if (!bodies) return bodies;
  for (const ModelBody& body : record.bodies) {
    PyRef shape = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(body.shape.size())));
    if (!shape) return shape;
    for (size_t d = 0; d < body.shape.size(); ++d) {
      PyObject* dim = PyLong_FromUnsignedLongLong(body.shape[d]);
      if (dim == nullptr) return PyRef();
      PyTuple_SetItem(shape.get(), static_cast<Py_ssize_t>(d), dim);  // steals it
    }
    PyRef entry = PyRef::steal(PyLong_FromSize_t(body.entry));
    PyRef value = PyRef::steal(Py_BuildValue("(iO)", static_cast<int>(dtype_code(body.dtype)), shape.get()));
    if (!entry || !value || PyDict_SetItem(bodies.get(), entry.get(), value.get()) != 0) return PyRef();
  }
  return bodies;
}

PyObject* record_to_py(const ModelRecord& record) {
  PyRef names = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(record.names.size())));
  if (!names) return nullptr;
  for (size_t i = 0; i < record.names.size(); ++i) {
    PyObject* name = new_str(record.names[i]);
    if (name == nullptr) return nullptr;
    if (PyList_SetItem(names.get(), static_cast<Py_ssize_t>(i), name) != 0) return nullptr;  // steals it
  }
  PyRef metadata = PyRef::steal(PyDict_New());
  if (!metadata) return nullptr;
  for (const auto& [key, value] : record.metadata) {
    PyRef k = PyRef::steal(new_str(key));
    PyRef v = PyRef::steal(new_str(value));
    if (!k || !v || PyDict_SetItem(metadata.get(), k.get(), v.get()) != 0) return nullptr;
  }
  PyRef ranges = ranges_array(record);
  PyRef bodies = ranges ? bodies_dict(record) : PyRef();
  if (!bodies) return nullptr;
  PyRef tree = record.tree ? PyRef::steal(new_str(*record.tree)) : PyRef::borrow(Py_None);
  if (!tree) return nullptr;
  return Py_BuildValue("(OOOnOO)", names.get(), ranges.get(), metadata.get(), static_cast<Py_ssize_t>(record.length),
                       bodies.get(), tree.get());
}

const Signature kReadRecord("read_record", arg("data", as_object), arg("path", as_object));

}  // namespace

PyObject* native_read_record(PyObject*, PyObject* args, PyObject* kwargs) {
  return kReadRecord.call(args, kwargs, [](PyObject* data, PyObject* path) -> PyObject* {
    BufferView file;
    if (!file.acquire_bytes(data)) return nullptr;
    RecordProgress progress;
    const Result<ModelRecord> record = read_model_record(file.bytes(), &progress);
    if (record.ok()) return record_to_py(*record);
    if (is_text(record.error(), kModelNotARecord)) Py_RETURN_NONE;
    PyRef shown = PyRef::steal(PyObject_Str(path));
    if (!shown) return nullptr;
    return raise_refused(record.error(), progress, utf8_or(shown.get(), "?"), file.size());
  });
}

}  // namespace vakra::ext
