// Every process-wide Python object the extension keeps, in one place with one
// rule: they are all made together on first use, under the GIL, and each is
// held by one owned reference for the life of the process (the module cannot
// be unloaded). If any of them cannot be made (numpy not importable, no
// memory), none is kept: the Python exception stands, PythonErrorSet unwinds
// the call to its entry routine, and the next call tries again.
#pragma once

#include <array>
#include <cstddef>
#include <vector>

#include "pyref.hpp"
#include "python_api.hpp"
#include "vakra/dtype.hpp"

namespace vakra::ext {

// Attribute, keyword and module names, interned.
struct InternedNames {
  // Arrays as the encoders read them.
  PyRef dtype, name, isnative, flags, c_contiguous, nbytes, ctypes, data, shape, ascontiguousarray;
  // Sparse matrices, string and quantized tensors.
  PyRef format, row, col, indices, indptr, offsets, payload, to_raw;
  // What the decoder calls; the package's classes are looked up in their modules at every call.
  PyRef reshape, view, writeable, from_raw, scipy_sparse, quantize_module, quantized_class, ragged_module, string_class;
  // Sockets whose descriptor vakra.send writes directly.
  PyRef fileno;
  std::array<PyRef, 3> matrix_classes;      // coo_matrix, csr_matrix, csc_matrix: by SparseFormat
  std::array<PyRef, 8> quantized_keywords;  // QuantizedTensor's constructor keywords, in kQuantizedKeywords order
};

inline constexpr std::array<const char*, 8> kQuantizedKeywords = {
    "data", "scales", "zero_points", "shape", "dtype_code", "quant_scheme", "group_size", "axis"};

// What an array's dtype object tells the encoder.
struct DtypeFacts {
  Dtype dtype = Dtype::Float32;
  bool native_order = true;
};

// dtype.name is computed in Python by NumPy and costs microseconds, so the
// facts of recently seen numpy.dtype objects (immutable) are remembered by identity.
class DtypeCache {
 public:
  bool find(PyObject* dtype_object, DtypeFacts& out) const;
  void remember(PyObject* dtype_object, DtypeFacts facts);

 private:
  struct Entry {
    PyRef object;
    DtypeFacts facts;
  };
  std::array<Entry, 16> entries_{};
  size_t next_ = 0;
};

struct ProcessObjects {
  InternedNames names;
  PyRef numpy, ndarray, dtype_type, frombuffer, empty;
  std::vector<PyRef> dtype_names;    // NumPy's name of each Dtype, by its index
  std::vector<PyRef> dtype_objects;  // numpy.dtype(name) of each, made on first use
  PyRef string_tensor, quantized_tensor;         // the classes the encoder takes as they are
  PyRef socket_type;                             // socket.socket
  PyRef body_view_type;                          // body_view.hpp
  PyRef file_mapping_type;                       // file_mapping.hpp
  PyRef frame_copy_type;                         // frame_copy.hpp
  DtypeCache dtypes;
  bool ml_dtypes_imported = false;  // by the decoder, for the types NumPy names only then (decode_to_python.cpp)
};

// The objects; throws PythonErrorSet (with the exception set) when they cannot be made.
ProcessObjects& process_objects();
inline const InternedNames& names() { return process_objects().names; }

}  // namespace vakra::ext
