#include "prepacked_inputs.hpp"

#include <algorithm>
#include <string>

#include "arguments.hpp"
#include "errors.hpp"

namespace vakra::ext {
namespace {

// Reservations trust a sequence's length only this far; a lying __len__
// cannot make us allocate more before the items are actually read.
constexpr size_t kMaxReserve = size_t{1} << 20;

size_t length_hint(PyObject* sequence) {
  const Py_ssize_t length = PySequence_Size(sequence);
  if (length < 0) {
    PyErr_Clear();  // the length only sizes a reservation
    return 0;
  }
  return std::min(static_cast<size_t>(length), kMaxReserve);
}

// A str is a sequence too, but never a sequence of the items wanted here.
bool check_sequence(PyObject* object) {
  if (PyUnicode_Check(object)) return raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
  if (!PySequence_Check(object)) return raise_cannot_convert(object, "Sequence");
  return true;
}

// Calls `each(item)` for every item of `object`, in iteration order.
template <class Each>
bool for_each_item(PyObject* object, Each&& each) {
  PyRef iterator = PyRef::steal(PyObject_GetIter(object));
  if (!iterator) return false;
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    if (!each(item.get())) return false;
  }
  return PyErr_Occurred() == nullptr;
}

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

bool ByteSequence::convert(PyObject* object) {
  bytes_ = PyRef();
  copy_.clear();
  // Fast paths for the two byte containers, whose items are always ints 0 to
  // 255; subclasses could iterate differently and take the general path.
  if (PyBytes_CheckExact(object)) {
    bytes_ = PyRef::borrow(object);
    return true;
  }
  if (PyByteArray_CheckExact(object)) {
    const auto* data = reinterpret_cast<const uint8_t*>(PyByteArray_AsString(object));
    copy_.assign(data, data + PyByteArray_Size(object));
    return true;
  }
  if (!check_sequence(object)) return false;
  copy_.reserve(length_hint(object));
  return for_each_item(object, [&](PyObject* item) {
    uint8_t value = 0;
    if (!to_u8(item, value)) return false;
    copy_.push_back(value);
    return true;
  });
}

ByteView ByteSequence::view() const {
  if (!bytes_) return ByteView(copy_.data(), copy_.size());
  return ByteView(reinterpret_cast<const uint8_t*>(PyBytes_AsString(bytes_.get())),
                  static_cast<size_t>(PyBytes_Size(bytes_.get())));
}

bool to_bundle_entries(PyObject* object, std::vector<PrepackedEntry>& out) {
  if (!check_sequence(object)) return false;
  out.clear();
  out.reserve(length_hint(object));
  return for_each_item(object, [&](PyObject* item) { return to_entry(item, out.emplace_back()); });
}

}  // namespace vakra::ext
