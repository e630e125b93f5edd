// Structural checks of decoded csr/csc index arrays. SciPy's constructors do
// not bound-check them, and a matrix built from hostile indices reads out of
// bounds when it is used, so a packet must prove them sound first.
#pragma once

#include "python_api.hpp"
#include "vakra/decode.hpp"

namespace vakra::ext {

// For csr and csc packets with a 2-D shape: indptr has major + 1 entries,
// starts at 0 and never decreases; its last entry (the stored count) fits
// `indices` and `data`; every stored index lies in [0, minor); both index
// arrays have an integer dtype. `arrays` are the three converted components.
// Other formats and shapes are left to SciPy. False with ValueError
// ("Malformed vakra packet") set when the structure is unsound.
bool check_sparse_structure(const DecodedSparse& sparse, PyObject* const (&arrays)[3]);

}  // namespace vakra::ext
