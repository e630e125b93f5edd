// Conversions of the sequences that the pre-encoded entry points take apart:
// byte sequences (bundle packets, tobytes() results), bundle entry lists and
// shapes. Each returns false with a Python exception set.
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

struct PrepackedEntry {
  PyRef key;  // the str; its UTF-8 form lives as long as it does
  ByteView key_utf8;
  ByteSequence packet;
};

// `entries`: a sequence of (str, byte sequence) tuples, read in iteration order.
bool to_bundle_entries(PyObject* object, std::vector<PrepackedEntry>& out);

}  // namespace vakra::ext
