// vakra._native.ModelFileWriter(fd, names, metadata, check_integrity,
// compress, alignment, convert, bodies=None): a model file written to `fd`
// (a new file open for writing, at offset 0) by the codec's ModelFileWriter,
// for vakra.save. `bodies` declares the entries stored as bodies: (index,
// dtype code, shape) each. The record goes first; then one call per name:
// write(value) plans the value through the package's PlanBuilder (a nested
// dict is one call) and writes it, write_body(data) writes a declared body
// from the bytes `data` exports, tie(index) gives the name the packet of an
// earlier entry; finish() patches the record and returns the file's length.
#pragma once

#include "pyref.hpp"
#include "python_api.hpp"

namespace vakra::ext {

// The type, made once when the module is created; nullptr with an exception set.
PyRef make_model_file_writer_type();

}  // namespace vakra::ext
