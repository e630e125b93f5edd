// The routines of vakra._native, the package's private module: what the
// package needs beyond vakra_rs's fixed thirteen functions. Each lives in the
// file of its concern; those with keywords parse them by their Signature
// (signature.hpp), and every body runs through guarded_call().
#pragma once

#include "python_api.hpp"

namespace vakra::ext {

// Encoding: native_encode_entry.cpp.
PyObject* native_encode(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* native_encode_into(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* native_encode_to_fd(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* native_encode_segments(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* native_send_to(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// Taking a packet that has arrived on a socket: socket_packets.cpp.
PyObject* native_take_arrived(PyObject* module, PyObject* args, PyObject* kwargs);
// String tensor items: native_string_entry.cpp.
PyObject* native_string_items(PyObject* module, PyObject* args, PyObject* kwargs);
// Threads (native_threads_entry.cpp): set_num_threads(n), get_num_threads(),
// and VAKRA_NUM_THREADS, applied once when the module is first made.
PyObject* set_num_threads_entry(PyObject* module, PyObject* count);
PyObject* get_num_threads_entry(PyObject* module, PyObject* unused);
void apply_thread_environment();
// Reading packets (native_walk_entry.cpp).
PyObject* native_probe(PyObject* module, PyObject* data);
PyObject* native_packet_meter(PyObject* module, PyObject* unused);
PyObject* native_measure(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* native_walk(PyObject* module, PyObject* data);
PyObject* native_loads(PyObject* module, PyObject* data);

// Byte ranges of a file read on the codec's threads (file_ranges_read.cpp).
PyObject* native_read_ranges(PyObject* module, PyObject* args, PyObject* kwargs);

// The codec's dtype table, flags, limits and names (native_facts_entry.cpp).
PyObject* native_dtype_table(PyObject* module, PyObject* unused);
PyObject* native_format_facts(PyObject* module, PyObject* unused);

// Model files: the record reader (model_record_entry.cpp); the writer is a type (model_file_writer.hpp).
PyObject* native_read_record(PyObject* module, PyObject* args, PyObject* kwargs);

// Frames: a packet as a list of buffers (native_frames_entry.cpp).
PyObject* loads_frames(PyObject* module, PyObject* args, PyObject* kwargs);

}  // namespace vakra::ext
