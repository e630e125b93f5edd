// The vakra_rs image: PyInit_vakra_rs and nothing else. Every function,
// text and exception of the module comes from vakra._native (imported here
// if it is not yet), so a process holds one copy of the native code whichever
// module it imports first.
#include "pyref.hpp"
#include "vakra_rs_api.hpp"

extern "C" PyMODINIT_FUNC PyInit_vakra_rs(void) {
  using namespace vakra::ext;
  PyRef native = PyRef::steal(PyImport_ImportModule("vakra._native"));
  PyRef capsule = native ? PyRef::steal(PyObject_GetAttrString(native.get(), "_vakra_rs_api")) : PyRef();
  if (!capsule) return nullptr;
  // The pointer outlives the capsule: _native is never unloaded.
  const auto* api = static_cast<const VakraRsApi*>(PyCapsule_GetPointer(capsule.get(), kVakraRsApiCapsule));
  if (api == nullptr) return nullptr;
  if (api->version != kVakraRsApiVersion) {
    PyErr_SetString(PyExc_ImportError, "vakra_rs and vakra._native come from different builds of vakra");
    return nullptr;
  }
  return api->create_module();
}
