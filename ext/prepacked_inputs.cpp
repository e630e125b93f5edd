#include "prepacked_inputs.hpp"

#include <string>

#include "arguments.hpp"
#include "errors.hpp"

namespace vakra::ext {
namespace {

bool to_entry(PyObject* item, PrepackedEntry& entry) {
  if (!PyTuple_Check(item)) return raise_cannot_convert(item, "PyTuple");
  const Py_ssize_t length = PyTuple_Size(item);
  if (length != 2) {
    return raise(PyExc_ValueError, "expected tuple of length 2, but got tuple of length " + std::to_string(length));
  }
  PyObject* key = PyTuple_GetItem(item, 0);
  if (!PyUnicode_Check(key)) return raise_cannot_convert(key, "PyString");
  Py_ssize_t key_size = 0;
  const char* key_utf8 = PyUnicode_AsUTF8AndSize(key, &key_size);
  if (key_utf8 == nullptr) return false;  // a lone surrogate: UnicodeEncodeError
  entry.key = PyRef::borrow(key);
  entry.key_utf8 = ByteView(reinterpret_cast<const uint8_t*>(key_utf8), static_cast<size_t>(key_size));
  return entry.packet.convert(PyTuple_GetItem(item, 1));
}

}  // namespace

bool to_bundle_entries(PyObject* object, std::vector<PrepackedEntry>& out) {
  if (!check_sequence(object)) return false;
  out.clear();
  out.reserve(length_hint(object));
  return for_each_item(object, [&](PyObject* item) { return to_entry(item, out.emplace_back()); });
}

}  // namespace vakra::ext
