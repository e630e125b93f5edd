// The whole public codec API in one include.
//
// Encoding is size first, then write: every encoder validates its input and
// returns the exact packet length (or a bound, for compressed bodies) before
// anything is written, then writes into a caller's span and returns the length
// it used. Decoding returns views that borrow the caller's bytes. Every
// fallible call returns Result<T> or Status carrying a CodecError; nothing
// throws, prints, aborts or keeps global state, so any function may run on
// any thread as long as no other thread writes the bytes it reads or writes.
#pragma once

#include "vakra/bytes.hpp"
#include "vakra/error.hpp"
#include "vakra/result.hpp"

#include "vakra/dtype.hpp"
#include "vakra/header.hpp"

#include "vakra/bundle.hpp"
#include "vakra/dense.hpp"
#include "vakra/plan.hpp"
#include "vakra/quantized.hpp"
#include "vakra/sparse.hpp"
#include "vakra/string.hpp"

#include "vakra/decode.hpp"

#include "vakra/memory.hpp"
