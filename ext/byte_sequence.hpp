// Bytes read from Python objects: a byte sequence in any of the forms a
// sequence of unsigned 8-bit ints takes, and tables of u64 values.
#pragma once

#include <cstdint>
#include <vector>

#include "pyref.hpp"
#include "python_api.hpp"
#include "vakra/bytes.hpp"

namespace vakra::ext {

// A byte sequence taken from a Python object: an exact `bytes` object is
// viewed in place (and kept alive); anything else is copied, since a mutable
// object could change while later arguments are converted.
class ByteSequence {
 public:
  // Accepts what a sequence of unsigned 8-bit ints accepts: `bytes`,
  // bytearray, lists or tuples of ints 0 to 255. A str is refused.
  bool convert(PyObject* object);
  ByteView view() const;
  // The bytes object viewed in place, or nullptr for a copy.
  PyObject* viewed_object() const { return bytes_.get(); }

 private:
  PyRef bytes_;  // set when viewed in place
  std::vector<uint8_t> copy_;
};

// Little-endian u64 values from bytes of any alignment; a trailing partial value is ignored.
std::vector<uint64_t> read_u64_table(ByteView bytes);

// A str is a sequence too, but never a sequence of the items wanted here:
// TypeError for a str or a non-sequence, else true.
bool check_sequence(PyObject* object);

// Reservations trust a sequence's length only this far; a lying __len__
// cannot make us allocate more before the items are actually read.
size_t length_hint(PyObject* sequence);

// Calls `each(item)` for every item of `object`, in iteration order; false
// with an exception set when the iteration or `each` fails.
template <class Each>
bool for_each_item(PyObject* object, Each&& each) {
  PyRef iterator = PyRef::steal(PyObject_GetIter(object));
  if (!iterator) return false;
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    if (!each(item.get())) return false;
  }
  return PyErr_Occurred() == nullptr;
}

}  // namespace vakra::ext
