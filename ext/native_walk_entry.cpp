// _native.probe, walk, loads and dtype_names: reading packets through the
// codec's walker, which measures a packet and describes it without touching
// its bodies.
#include "buffer_view.hpp"
#include "decode_to_python.hpp"
#include "errors.hpp"
#include "native_entry_points.hpp"
#include "packet_facts.hpp"
#include "vakra/dtype.hpp"
#include "vakra/walk.hpp"

namespace vakra::ext {

PyObject* native_probe(PyObject*, PyObject* data) {
  return guarded_call([&]() -> PyObject* {
    BufferView buffer;
    if (!buffer.acquire_bytes(data)) return nullptr;
    PacketExtent extent;
    if (!unwrap(probe_packet(buffer.bytes()), extent)) return nullptr;
    return Py_BuildValue("(NK)", PyBool_FromLong(extent.complete), static_cast<unsigned long long>(extent.length));
  });
}

PyObject* native_walk(PyObject*, PyObject* data) {
  return guarded_call([&]() -> PyObject* {
    BufferView buffer;
    if (!buffer.acquire_bytes(data)) return nullptr;
    WalkedPacket root;
    if (!unwrap(walk_packet(buffer.bytes()), root)) return nullptr;
    return walked_facts(root).release();
  });
}

PyObject* native_loads(PyObject*, PyObject* data) {
  return guarded_call([&]() -> PyObject* {
    BufferView buffer;
    if (!buffer.acquire_bytes(data)) return nullptr;
    return decode_to_object(data, buffer, packet_prefix(buffer.bytes()));
  });
}

PyObject* native_dtype_names(PyObject*, PyObject*) {
  return guarded_call([&]() -> PyObject* {
    PyRef names = PyRef::steal(PyTuple_New(kMaxDtypeCode));
    if (!names) return nullptr;
    for (uint8_t code = 1; code <= kMaxDtypeCode; ++code) {
      const std::string_view name = dtype_name(*dtype_from_code(code));
      PyObject* item = PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
      if (item == nullptr || PyTuple_SetItem(names.get(), code - 1, item) != 0) return nullptr;
    }
    return names.release();
  });
}

}  // namespace vakra::ext
