// The parts of string and quantized tensors as the encoders read them from
// Python objects: a QuantizedTensor (or anything with its attributes), a
// StringTensor, or a list of str and bytes. Each reader returns false with a
// Python exception set. The parts are pinned in place (they hold buffer
// exports) and must outlive any plan that views them.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "buffer_view.hpp"
#include "byte_sequence.hpp"
#include "pyref.hpp"
#include "python_api.hpp"
#include "vakra/bytes.hpp"
#include "vakra/quantized.hpp"

namespace vakra::ext {

// Bytes an attribute holds: an exact C-contiguous ndarray's own memory, else
// what its tobytes() returns (the same bytes, copied).
class BytePart {
 public:
  BytePart() = default;
  BytePart(const BytePart&) = delete;
  BytePart& operator=(const BytePart&) = delete;

  // `object.<name>` (an interned attribute name), then its memory or its tobytes().
  bool read(PyObject* object, PyObject* name);
  ByteView view() const { return array_ ? memory_.bytes() : bytes_.view(); }
  // The object whose memory view() lies in, or nullptr when it is a private copy.
  PyObject* owner() const { return array_ ? array_.get() : bytes_.viewed_object(); }

 private:
  PyRef array_;  // set when the array's memory is viewed
  BufferView memory_;
  ByteSequence bytes_;
};

// A QuantizedTensor's attributes, read in a fixed order; the first failure is
// raised as it is (a dtype code with no table row as UnknownDtype).
struct QuantizedParts {
  uint8_t dtype_code = 0;
  Dtype dtype = Dtype::Qint8;  // the type of dtype_code
  uint8_t quant_scheme = 0;
  uint32_t group_size = 0;
  int64_t axis = 0;
  std::vector<uint32_t> shape;
  BytePart scales, zero_points, data;

  bool read(PyObject* qt);
  QuantizedView view() const;
};

// Offsets and payload of a string packet, viewed in a StringTensor's own
// table and payload where they can be, else owned here.
struct StringParts {
  std::span<const uint64_t> offsets;
  ByteView payload;
  PyRef offsets_owner, payload_owner;  // the objects viewed, if any

  // A StringTensor: its `_offsets` (uint64 ndarray) and `_payload` (bytes),
  // or what its to_raw() returns when they are not in that form.
  bool read_tensor(PyObject* tensor);
  // A list whose items are all str (stored as UTF-8) or bytes; `taken` is
  // false, with nothing raised and nothing read, when one item is neither.
  bool read_list(PyObject* list, bool& taken);

 private:
  BufferView offsets_memory_;
  std::vector<uint64_t> owned_offsets_;
  OwnedBytes owned_payload_;
};

}  // namespace vakra::ext
