// The module's thirteen entry routines, in function-table order. Each lives
// in the file of its concern; those taking arguments parse them by their
// Signature (signature.hpp), which runs the body through guarded_call().
#pragma once

#include "python_api.hpp"

namespace vakra::ext {

PyObject* get_packet_info_rs(PyObject* module, PyObject* args, PyObject* kwargs);   // packet_info.cpp
PyObject* dumps_rs(PyObject* module, PyObject* args, PyObject* kwargs);             // encode_entry.cpp
PyObject* dumps_quantized_rs(PyObject* module, PyObject* args, PyObject* kwargs);   // prepacked_entry.cpp
PyObject* dumps_string_rs(PyObject* module, PyObject* args, PyObject* kwargs);      // prepacked_entry.cpp
PyObject* encode_bundle_rs(PyObject* module, PyObject* args, PyObject* kwargs);     // prepacked_entry.cpp
PyObject* dump_to_buffer_rs(PyObject* module, PyObject* args, PyObject* kwargs);    // encode_entry.cpp
PyObject* dump_to_fd_rs(PyObject* module, PyObject* args, PyObject* kwargs);        // encode_entry.cpp
PyObject* loads_rs(PyObject* module, PyObject* args, PyObject* kwargs);             // decode_entry.cpp
PyObject* shm_mutex_init(PyObject* module, PyObject* args, PyObject* kwargs);       // shm_mutex_entry.cpp
PyObject* shm_mutex_lock(PyObject* module, PyObject* args, PyObject* kwargs);       // shm_mutex_entry.cpp
PyObject* shm_mutex_unlock(PyObject* module, PyObject* args, PyObject* kwargs);     // shm_mutex_entry.cpp
PyObject* shm_mutex_destroy(PyObject* module, PyObject* args, PyObject* kwargs);    // shm_mutex_entry.cpp
PyObject* shm_mutex_size(PyObject* module, PyObject* unused);                       // shm_mutex_entry.cpp

}  // namespace vakra::ext
