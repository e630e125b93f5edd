// PyInit__native: vakra._native, the package's private module. Its functions
// are internal to the package (vakra.api and friends call them) and may
// change with it; vakra_rs keeps the fixed public contract, and takes its
// module from here through the `_vakra_rs_api` capsule.
#include "file_mapping.hpp"
#include "model_file_writer.hpp"
#include "module_frame.hpp"
#include "native_entry_points.hpp"
#include "packet_reader.hpp"
#include "pyref.hpp"
#include "vakra_rs_api.hpp"

namespace vakra::ext {
namespace {

// Each docstring is "<signature>\n--\n\n<doc>" so CPython derives __text_signature__ and __doc__.
PyMethodDef kNativeFunctions[] = {
    // Encoding (native_encode_entry.cpp).
    {"encode", with_keywords(native_encode), METH_VARARGS | METH_KEYWORDS,
     "encode(obj, check_integrity, compress, alignment, convert)\n--\n\n"
     "One packet for any value the package accepts, as bytes."},
    {"encode_into", with_keywords(native_encode_into), METH_VARARGS | METH_KEYWORDS,
     "encode_into(obj, buffer, check_integrity, compress, alignment, convert)\n--\n\n"
     "Write the packet at the start of a writable buffer; return its length."},
    {"encode_to_fd", with_keywords(native_encode_to_fd), METH_VARARGS | METH_KEYWORDS,
     "encode_to_fd(obj, fd, check_integrity, compress, alignment, convert)\n--\n\n"
     "Write the packet to a file descriptor with writev; return its length."},
    {"encode_segments", with_keywords(native_encode_segments), METH_VARARGS | METH_KEYWORDS,
     "encode_segments(obj, check_integrity, compress, alignment, convert)\n--\n\n"
     "The packet as a list of bytes and read-only memoryviews of the values' own bodies."},
    {"send_to", with_vector(native_send_to), METH_FASTCALL | METH_KEYWORDS,
     "send_to(sock, obj, check_integrity, compress, alignment, convert, send_rest)\n--\n\n"
     "Send the packet on sock, a small one in one call on its descriptor (exactly a socket.socket); what that "
     "does not take goes to send_rest(sock, segments). Its length."},
    {"take_arrived", with_keywords(native_take_arrived), METH_VARARGS | METH_KEYWORDS,
     "take_arrived(sock, max_size=None, writable=False)\n--\n\n"
     "The next packet on the stream socket sock (exactly a socket.socket, else None) as bytes (a bytearray when writable), taken whole when the socket "
     "holds all of it already; None when it does not, or when the peek fails or meets the stream's end. "
     "ValueError, taking nothing, for bytes that start no packet or a packet larger than max_size."},
    {"string_items", with_keywords(native_string_items), METH_VARARGS | METH_KEYWORDS,
     "string_items(offsets, payload, as_str)\n--\n\n"
     "The items of a string tensor (uint64 offsets into a bytes payload) as a list of str or bytes."},
    // Threads (native_threads_entry.cpp).
    {"set_num_threads", set_num_threads_entry, METH_O,
     "set_num_threads(n)\n--\n\n"
     "Use up to n threads for one large body, the caller's included.\n\n"
     "Large bodies are copied, hashed and (de)compressed across the threads; packets are byte-identical\n"
     "whatever the count, and bodies under 256 KiB never use them. VAKRA_NUM_THREADS sets the count at import.\n\n"
     "Parameters\n----------\n"
     "n : int\n    From 0 to 1024: 1 starts no thread at all; 0 restores the default, the machine's CPU count.\n\n"
     "Returns\n-------\nNone\n\n"
     "Raises\n------\nTypeError\n    For an n that is not an int.\nValueError\n    For an n outside 0 to 1024.\n\n"
     "Examples\n--------\n"
     ">>> vakra.set_num_threads(2)\n>>> vakra.get_num_threads()\n2\n>>> vakra.set_num_threads(0)  # the default again\n"},
    {"get_num_threads", get_num_threads_entry, METH_NOARGS,
     "get_num_threads()\n--\n\n"
     "The number of threads one large body may use, the caller's included.\n\n"
     "Returns\n-------\nint\n    The count set_num_threads (or VAKRA_NUM_THREADS) gave, or the machine's CPU count.\n\n"
     "Examples\n--------\n"
     ">>> vakra.set_num_threads(1)\n>>> vakra.get_num_threads()\n1\n>>> vakra.set_num_threads(0)\n"},
    // Reading packets (native_walk_entry.cpp).
    {"probe", native_probe, METH_O,
     "probe(data)\n--\n\n"
     "(complete, n) for the packet at data[0]: its exact length, or the least number of further bytes needed."},
    {"packet_meter", native_packet_meter, METH_NOARGS,
     "packet_meter()\n--\n\nA meter for one packet read in steps (measure)."},
    {"measure", with_keywords(native_measure), METH_VARARGS | METH_KEYWORDS,
     "measure(meter, data)\n--\n\n"
     "probe(data), resumed where the meter's previous call stopped: data holds that call's bytes and more."},
    {"walk", native_walk, METH_O, "walk(data)\n--\n\nThe description tree of the packet at data[0] (vakra.info)."},
    {"loads", native_loads, METH_O,
     "loads(data)\n--\n\nDecode the packet at data[0]; bytes after it are ignored, whatever its kind."},
    // The codec's facts (native_facts_entry.cpp).
    {"dtype_table", native_dtype_table, METH_NOARGS,
     "dtype_table()\n--\n\nOne dict per element type: name, code, element_size, unit_elements, dense, quantized, "
     "torch_name, safetensors_name, ml_dtypes_name (None where there is none) and needs_ml_dtypes."},
    {"format_facts", native_format_facts, METH_NOARGS,
     "format_facts()\n--\n\nThe header flags and limits (dicts of name to int), the kind names and each sparse "
     "format's component roles."},
    // Files (file_mapping.cpp).
    {"open_file", with_keywords(native_open_file), METH_VARARGS | METH_KEYWORDS,
     "open_file(path, writable=False, read_below=0, advice=-1)\n--\n\n"
     "A regular file's bytes as a FileMapping, holding no descriptor: read into page-aligned memory when shorter "
     "than read_below, else mapped (with madvise advice, unless -1). Anything else: its open descriptor, an int the "
     "caller owns."},
    {"map_file", with_keywords(native_map_file), METH_VARARGS | METH_KEYWORDS,
     "map_file(fd, writable=False, read_below=0, advice=-1, start=0)\n--\n\n"
     "As open_file, for the regular file behind fd (which stays open), from byte start on."},
    {"read_ranges", with_keywords(native_read_ranges), METH_VARARGS | METH_KEYWORDS,
     "read_ranges(fd, ranges, writable=True)\n--\n\n"
     "The (offset, length) ranges of the regular file behind fd, each read into memory of its own (a FileMapping, laid "
     "out as a mapping of the file would be) by positioned reads on the codec's threads, without the GIL."},
    // Model files (model_record_entry.cpp; the writer: model_file_writer.hpp).
    {"read_record", with_keywords(native_read_record), METH_VARARGS | METH_KEYWORDS,
     "read_record(data, path)\n--\n\n"
     "(names, ranges, metadata, record length, bodies: {entry index: (dtype code, shape)}, tree: str or None) of the "
     "model file whose "
     "whole bytes are data, every check done; None "
     "when its first packet is not a model file's record. ValueError naming path for anything else."},
    // Frames (native_frames_entry.cpp).
    {"loads_frames", with_keywords(loads_frames), METH_VARARGS | METH_KEYWORDS,
     "loads_frames(frames, writable=False, handed=False)\n--\n\n"
     "Decode the packet whose bytes are the concatenation of `frames`; bodies lying whole in one frame are views of it. "
     "With `handed`, nothing but the value writes the frames any more: checked index arrays are viewed, not copied."},
};

PyModuleDef kNativeModuleDef = {PyModuleDef_HEAD_INIT, "_native", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};

PyObject* g_native_module = nullptr;  // kept for the life of the process

// VAKRA_NUM_THREADS, the capsule vakra_rs builds its module from, and the
// PacketReader (packet_reader.hpp) and ModelFileWriter (model_file_writer.hpp) types.
bool finish_native_module(PyObject* module) {
  apply_thread_environment();
  PyRef capsule = PyRef::steal(PyCapsule_New(const_cast<VakraRsApi*>(&kVakraRsApi), kVakraRsApiCapsule, nullptr));
  PyRef reader_type = make_packet_reader_type();
  PyRef writer_type = make_model_file_writer_type();
  return capsule && PyModule_AddObjectRef(module, "_vakra_rs_api", capsule.get()) == 0 && reader_type &&
         PyModule_AddObjectRef(module, "PacketReader", reader_type.get()) == 0 && writer_type &&
         PyModule_AddObjectRef(module, "ModelFileWriter", writer_type.get()) == 0;
}

}  // namespace
}  // namespace vakra::ext

extern "C" PyMODINIT_FUNC PyInit__native(void) {
  return vakra::ext::create_module_once("vakra._native", vakra::ext::kNativeModuleDef, vakra::ext::kNativeFunctions,
                                        vakra::ext::g_native_module, vakra::ext::finish_native_module);
}
