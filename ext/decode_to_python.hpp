// decoded_to_py: a Decoded tree to Python objects, for loads_rs and _native.loads.
#pragma once

#include <cstddef>
#include <cstdint>

#include "buffer_view.hpp"
#include "pyref.hpp"
#include "python_api.hpp"
#include "vakra/decode.hpp"

namespace vakra::ext {

// Where a dense body's bytes are viewed from: the object handed to NumPy, the
// body's offset in it, whether that memory is read-only, and whether nothing
// but the decoded value can write it (the decoder's own copy; frames handed
// over with the value).
struct BodyHome {
  PyObject* object;
  size_t offset;
  bool read_only;
  bool exclusive = false;
};

// Places bodies that lie in other objects than the decoded bytes (a packet
// given as several frames: bodies are views of the frame that holds them).
class BodyLocator {
 public:
  virtual BodyHome locate(ByteView body) const = 0;
  // The real bytes behind a view into the decoded bytes, for bodies that are copied.
  virtual ByteView bytes_of(ByteView body) const = 0;

 protected:
  ~BodyLocator() = default;
};

// How NumPy gets to know the dtype name "bfloat16", which it learns only
// once ml_dtypes has been imported.
enum class Bfloat16 : uint8_t {
  ImportOnDemand,  // the package: ml_dtypes is imported when a bfloat16 body is first met
  AsNumpyKnowsIt,  // vakra_rs: NumPy's own TypeError until someone imports ml_dtypes
};

// The caller's object and the start of the bytes exported from it; every view
// in the tree points into those bytes, so a body's offset in `object` is its
// address minus `base`.
struct DecodeSource {
  PyObject* object;
  const uint8_t* base;  // null where `locator` places the bodies
  bool immutable;  // an exact bytes object: NumPy's views of it are read-only already
  const BodyLocator* locator = nullptr;  // when set, dense bodies are placed by it
  // Arrays (dense, and with a locator quantized ones too) come back writable:
  // views where the memory is writable, copies where it is not.
  bool writable = false;
  Bfloat16 bfloat16 = Bfloat16::ImportOnDemand;
  // Exported read-only (a read-only mapping, memory read from a file): NumPy's
  // views are read-only already, though the bytes may still change under them.
  bool read_only_export = false;
};

// Converts `decoded` into `out`. Returns false with a Python exception set.
// On success `out` is empty when the value holds a kind that is not converted
// (ragged, Inline, or a bundle or sparse packet containing one).
bool decoded_to_py(const DecodeSource& source, const Decoded& decoded, PyRef& out);

// Decodes `packet`, a range of the bytes `buffer` holds from `data`, into a
// new reference (None for kinds that are not converted); nullptr with an
// exception set. The export stays held by the caller until this returns.
PyObject* decode_to_object(PyObject* data, const BufferView& buffer, ByteView packet,
                           Bfloat16 bfloat16 = Bfloat16::ImportOnDemand);

// The same for a packet lying in the bytes `source` describes.
PyObject* decode_source_to_object(const DecodeSource& source, ByteView packet);

}  // namespace vakra::ext
