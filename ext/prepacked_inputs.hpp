// encode_bundle_rs's entries: (key, packet) pairs of a Python sequence.
#pragma once

#include <vector>

#include "byte_sequence.hpp"
#include "pyref.hpp"
#include "python_api.hpp"
#include "vakra/bytes.hpp"

namespace vakra::ext {

struct PrepackedEntry {
  PyRef key;  // the str; its UTF-8 form lives as long as it does
  ByteView key_utf8;
  ByteSequence packet;
};

// `entries`: a sequence of (str, byte sequence) tuples, read in iteration order.
bool to_bundle_entries(PyObject* object, std::vector<PrepackedEntry>& out);

}  // namespace vakra::ext
