// loads_rs: packets back to Python objects.
#include "entry_points.hpp"
#include "errors.hpp"

namespace vakra::ext {

PyObject* loads_rs(PyObject*, PyObject*, PyObject*) { return raise(PyExc_NotImplementedError, "loads_rs"); }

}  // namespace vakra::ext
