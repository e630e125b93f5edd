// PyInit__native: vakra._native, the package's private module. Its functions
// are internal to the package (vakra.api and friends call them) and may
// change with it; vakra_rs keeps the fixed public contract.
#include "module_frame.hpp"
#include "native_entry_points.hpp"
#include "pyref.hpp"

namespace vakra::ext {
namespace {

// Each docstring is "<signature>\n--\n\n<doc>" so CPython derives __text_signature__ and __doc__.
PyMethodDef kNativeFunctions[] = {
    // Threads.
    {"set_num_threads", set_num_threads_entry, METH_O,
     "set_num_threads(n)\n--\n\nUse up to n threads (1: none but the caller's) for one large body."},
    {"get_num_threads", get_num_threads_entry, METH_NOARGS,
     "get_num_threads()\n--\n\nThe number of threads one large body may use."},
    // Frames.
    {"loads_frames", with_keywords(loads_frames), METH_VARARGS | METH_KEYWORDS,
     "loads_frames(frames, writable=False)\n--\n\n"
     "Decode the packet whose bytes are the concatenation of `frames`; bodies lying whole in one frame are views of it."},
    {nullptr, nullptr, 0, nullptr},  // placeholder so the table is never empty; skipped below
};

PyModuleDef kNativeModuleDef = {PyModuleDef_HEAD_INIT, "_native", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};

PyObject* g_native_module = nullptr;  // kept for the life of the process

PyObject* create_native_module() {
  if (!claim_interpreter("vakra._native")) return nullptr;
  apply_thread_environment();
  if (g_native_module != nullptr) return PyRef::borrow(g_native_module).release();
  PyRef module = PyRef::steal(PyModule_Create2(&kNativeModuleDef, 3));
  std::span<PyMethodDef> table(kNativeFunctions);
  if (table.back().ml_name == nullptr) table = table.first(table.size() - 1);
  if (!module || !add_functions(module.get(), table)) return nullptr;
  g_native_module = PyRef::borrow(module.get()).release();
  return module.release();
}

}  // namespace
}  // namespace vakra::ext

extern "C" PyMODINIT_FUNC PyInit__native(void) { return vakra::ext::create_native_module(); }
