// The vakra_rs module, built inside the _native image for the thin vakra_rs
// image (vakra_rs_loader.cpp): its thirteen functions, their texts, __all__.
#include "module_frame.hpp"
#include "pyref.hpp"
#include "vakra_rs_api.hpp"
#include "vakra_rs_entry_points.hpp"

namespace vakra::ext {
namespace {

// Each docstring is "<signature>\n--\n\n<doc>" so CPython derives __text_signature__ and __doc__.
PyMethodDef kFunctions[] = {
    {"get_packet_info_rs", with_keywords(get_packet_info_rs),
     METH_VARARGS | METH_KEYWORDS, "get_packet_info_rs(data)\n--\n\n"},
    {"dumps_rs", with_keywords(dumps_rs), METH_VARARGS | METH_KEYWORDS,
     "dumps_rs(array, check_integrity=False, compress=False, alignment=64)\n--\n\n"},
    {"dumps_quantized_rs", with_keywords(dumps_quantized_rs),
     METH_VARARGS | METH_KEYWORDS,
     "dumps_quantized_rs(qt, check_integrity=False, alignment=64)\n--\n\n"
     "Encode a `QuantizedTensor` (extracted field-by-field) via `vakra`."},
    {"dumps_string_rs", with_keywords(dumps_string_rs),
     METH_VARARGS | METH_KEYWORDS,
     "dumps_string_rs(offsets, payload, count, check_integrity=False)\n--\n\n"
     "Encode a `StringTensor` from raw `offsets` ((count+1) u64 LE) + `payload`."},
    {"encode_bundle_rs", with_keywords(encode_bundle_rs),
     METH_VARARGS | METH_KEYWORDS,
     "encode_bundle_rs(entries)\n--\n\n"
     "Frame already-encoded `(key, value_packet)` entries into a bundle packet,\n"
     "so Python drives the recursion through nested values while the wire frame is built natively."},
    {"dump_to_buffer_rs", with_keywords(dump_to_buffer_rs),
     METH_VARARGS | METH_KEYWORDS,
     "dump_to_buffer_rs(array, buffer, check_integrity=False, compress=False, alignment=64)\n--\n\n"},
    {"dump_to_fd_rs", with_keywords(dump_to_fd_rs),
     METH_VARARGS | METH_KEYWORDS,
     "dump_to_fd_rs(array, fd, check_integrity=False, compress=False, alignment=64)\n--\n\n"},
    {"loads_rs", with_keywords(loads_rs), METH_VARARGS | METH_KEYWORDS,
     "loads_rs(data)\n--\n\n"},
    {"shm_mutex_init", with_keywords(shm_mutex_init),
     METH_VARARGS | METH_KEYWORDS,
     "shm_mutex_init(buffer, offset)\n--\n\n"
     "Init a POSIX process-shared mutex at `offset` in a shm-backed buffer\n(needs >= 64 bytes there)."},
    {"shm_mutex_lock", with_keywords(shm_mutex_lock),
     METH_VARARGS | METH_KEYWORDS,
     "shm_mutex_lock(buffer, offset, timeout_secs=5.0)\n--\n\n"
     "Lock a POSIX process-shared mutex. True if recovered from a dead owner."},
    {"shm_mutex_unlock", with_keywords(shm_mutex_unlock),
     METH_VARARGS | METH_KEYWORDS, "shm_mutex_unlock(buffer, offset)\n--\n\nUnlock a POSIX process-shared mutex."},
    {"shm_mutex_destroy", with_keywords(shm_mutex_destroy),
     METH_VARARGS | METH_KEYWORDS, "shm_mutex_destroy(buffer, offset)\n--\n\nDestroy a POSIX process-shared mutex."},
    {"shm_mutex_size", shm_mutex_size, METH_NOARGS,
     "shm_mutex_size()\n--\n\nReturn the size in bytes needed for one POSIX process-shared mutex."},
};

PyModuleDef kModuleDef = {PyModuleDef_HEAD_INIT, "vakra_rs", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};

PyObject* g_module = nullptr;  // kept for the life of the process

bool nothing_more(PyObject*) { return true; }

PyObject* create_vakra_rs_module() {
  return create_module_once("vakra_rs", kModuleDef, kFunctions, g_module, nothing_more);
}

}  // namespace

const VakraRsApi kVakraRsApi{kVakraRsApiVersion, create_vakra_rs_module};

}  // namespace vakra::ext
