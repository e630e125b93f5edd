// Where a dict's value broke a limit of the format. The exception keeps the
// codec's own text; a note (PEP 678) adds the entry's path in the dict being
// encoded and the limit, so "Packet exceeds maximum elements" from a
// state_dict says which tensor and what the bound is.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "errors.hpp"
#include "python_api.hpp"

namespace vakra::ext {

// If the pending exception is a ValueError for a limit of the format (10^9
// elements, 32 dimensions, 255 entries per dict, 64 levels of nesting), adds
// the note "vakra: the value at ['a']['b'] is over a limit of the format: ...".
// `keys` is the path, innermost key first; `limit`, when given, is the bound
// to name instead of the one the message stands for. Other exceptions are
// left alone.
void note_limit(const std::vector<PyObject*>& keys, const std::string& limit = {});

// The bound named for a child packet of `size` bytes, too long for its u32
// length prefix (the codec calls that packet "Malformed").
std::string child_length_limit(size_t size);

}  // namespace vakra::ext
