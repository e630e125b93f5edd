#include "byte_sequence.hpp"

#include <algorithm>
#include <cstring>

#include "arguments.hpp"
#include "errors.hpp"

namespace vakra::ext {
namespace {

constexpr size_t kMaxReserve = size_t{1} << 20;

}  // namespace

size_t length_hint(PyObject* sequence) {
  const Py_ssize_t length = PySequence_Size(sequence);
  if (length < 0) {
    PyErr_Clear();  // the length only sizes a reservation
    return 0;
  }
  return std::min(static_cast<size_t>(length), kMaxReserve);
}

bool check_sequence(PyObject* object) {
  if (PyUnicode_Check(object)) return raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
  if (!PySequence_Check(object)) return raise_cannot_convert(object, "Sequence");
  return true;
}

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

std::vector<uint64_t> read_u64_table(ByteView bytes) {
  std::vector<uint64_t> values(bytes.size() / sizeof(uint64_t));
  if (!values.empty()) std::memcpy(values.data(), bytes.data(), values.size() * sizeof(uint64_t));  // LE host
  return values;
}

}  // namespace vakra::ext
