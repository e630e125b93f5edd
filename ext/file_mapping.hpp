// Files as buffers that hold no descriptor: a FileMapping is a regular file's
// bytes, mapped (or, for small files, read into memory of its own) in native
// code, exported read-only or copy-on-write, and unmapped (freed) when the
// last object viewing it goes. The descriptor is closed as soon as the bytes
// are there, so any number of loaded values can stay alive within a low
// descriptor limit.
#pragma once

#include <cstdint>

#include "pyref.hpp"
#include "python_api.hpp"

namespace vakra::ext {

// The FileMapping type, made once for process_objects(); nullptr with an exception set.
PyRef make_file_mapping_type();

// _native.open_file(path, writable, read_below, advice): the regular file at
// `path` as a FileMapping: read into page-aligned memory of its own when
// shorter than `read_below` bytes (one read costs less than mapping and
// faulting pages in), else mapped, copy-on-write when writable, with madvise
// `advice` unless it is -1. The descriptor is closed before it returns. For
// anything else (a FIFO, a device) the open descriptor itself, as an int the
// caller owns.
PyObject* native_open_file(PyObject* module, PyObject* args, PyObject* kwargs);

// _native.map_file(fd, writable, read_below, advice, start): the same for the
// regular file behind `fd` (which stays the caller's), from byte `start` on.
PyObject* native_map_file(PyObject* module, PyObject* args, PyObject* kwargs);

// A FileMapping over `length` uninitialised bytes of memory of its own, laid
// out as a mapping of a file from byte `offset` would be (at the same offset
// within its page, so arrays in it are aligned as they would be there), for
// the caller to fill at `*data` before anyone sees it. nullptr with an
// exception set.
PyObject* new_owned_file_bytes(uint64_t offset, uint64_t length, bool writable, uint8_t** data);

}  // namespace vakra::ext
