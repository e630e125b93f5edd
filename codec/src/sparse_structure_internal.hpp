// Structural checks of decoded csr and csc index arrays.
#pragma once

#include "vakra/decode.hpp"
#include "vakra/result.hpp"

namespace vakra {

// Consumers build matrices straight from indptr and indices (SciPy's
// constructors do not bound-check them), and hostile indices would then read
// out of bounds when the matrix is used. So for csr and csc packets with a
// 2-D shape: indices and indptr are dense integer arrays; indptr has
// major + 1 entries, starts at 0 and never decreases; its last entry (the
// stored count) fits the data and indices; every stored index lies in
// [0, minor). Malformed otherwise. coo packets, other shapes, and packets
// with a component that holds a ragged or Inline value (which no consumer
// turns into an array) pass.
// Compressed index arrays (CompressedBodies::View) are decompressed to be checked.
Status check_sparse_structure(const DecodedSparse& sparse);

}  // namespace vakra
