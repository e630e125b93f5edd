// Notes (PEP 678) for an encode that failed: the exception keeps its own
// text, so "Packet exceeds maximum elements" from a state_dict stays what it
// is, and a note says which tensor and what would have been accepted.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "errors.hpp"
#include "python_api.hpp"

namespace vakra::ext {

// Adds the notes for the pending exception. `keys` is the path of the dict
// entry the failure came through, innermost key first (empty for a value
// that is no dict's); `limit`, when given, is the bound to name instead of
// the one the message stands for.
//
// Every encoder: a ValueError for a limit of the format (10^9 elements, 32
// dimensions, 255 entries per dict, 64 levels of nesting) inside a dict gets
// "vakra: the value at ['a']['b'] is over a limit of the format: ...".
// The package's encoders (`package`) say more, where vakra_rs keeps its
// fixed texts alone: any other TypeError or ValueError inside a dict names
// the entry; an element type no packet holds lists those that do; a dict of
// more than 255 entries at the top points at vakra.save.
void note_encode_failure(const std::vector<PyObject*>& keys, const std::string& limit, bool package);

// The bound named for a child packet of `size` bytes, too long for its u32
// length prefix (the codec calls that packet "Malformed").
std::string child_length_limit(size_t size);

}  // namespace vakra::ext
