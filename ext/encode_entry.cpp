// dumps_rs, dump_to_buffer_rs and dump_to_fd_rs.
#include "entry_points.hpp"
#include "errors.hpp"

namespace vakra::ext {

PyObject* dumps_rs(PyObject*, PyObject*, PyObject*) { return raise(PyExc_NotImplementedError, "dumps_rs"); }
PyObject* dump_to_buffer_rs(PyObject*, PyObject*, PyObject*) {
  return raise(PyExc_NotImplementedError, "dump_to_buffer_rs");
}
PyObject* dump_to_fd_rs(PyObject*, PyObject*, PyObject*) { return raise(PyExc_NotImplementedError, "dump_to_fd_rs"); }

}  // namespace vakra::ext
