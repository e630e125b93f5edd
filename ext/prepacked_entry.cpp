// encode_bundle_rs, dumps_string_rs and dumps_quantized_rs.
#include "entry_points.hpp"
#include "errors.hpp"

namespace vakra::ext {

PyObject* dumps_quantized_rs(PyObject*, PyObject*, PyObject*) {
  return raise(PyExc_NotImplementedError, "dumps_quantized_rs");
}
PyObject* dumps_string_rs(PyObject*, PyObject*, PyObject*) {
  return raise(PyExc_NotImplementedError, "dumps_string_rs");
}
PyObject* encode_bundle_rs(PyObject*, PyObject*, PyObject*) {
  return raise(PyExc_NotImplementedError, "encode_bundle_rs");
}

}  // namespace vakra::ext
