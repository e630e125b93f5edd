// _native.probe, packet_meter, measure, walk and loads: reading
// packets through the codec's walker, which measures a packet and describes
// it without touching its bodies.
#include <memory>

#include "buffer_view.hpp"
#include "decode_to_python.hpp"
#include "errors.hpp"
#include "native_entry_points.hpp"
#include "packet_facts.hpp"
#include "signature.hpp"
#include "vakra/dtype.hpp"
#include "vakra/walk.hpp"

namespace vakra::ext {
namespace {

// A PacketMeter travels to Python as a capsule of this name, which frees it.
constexpr const char* kMeterName = "vakra._native.PacketMeter";
const Signature kMeasure("measure", arg("meter", as_object), arg("data", as_object));

void free_meter(PyObject* capsule) { delete static_cast<PacketMeter*>(PyCapsule_GetPointer(capsule, kMeterName)); }

// (complete, n) as packet_length reads it.
PyObject* extent_tuple(Result<PacketExtent>&& measured) {
  PacketExtent extent;
  if (!unwrap(std::move(measured), extent)) return nullptr;
  return Py_BuildValue("(NK)", PyBool_FromLong(extent.complete), static_cast<unsigned long long>(extent.length));
}

}  // namespace

PyObject* native_probe(PyObject*, PyObject* data) {
  return guarded_call([&]() -> PyObject* {
    BufferView buffer;
    if (!buffer.acquire_bytes(data)) return nullptr;
    return extent_tuple(probe_packet(buffer.bytes()));
  });
}

PyObject* native_packet_meter(PyObject*, PyObject*) {
  return guarded_call([&]() -> PyObject* {
    auto meter = std::make_unique<PacketMeter>();
    PyObject* capsule = PyCapsule_New(meter.get(), kMeterName, free_meter);
    if (capsule != nullptr) meter.release();  // the capsule owns it now
    return capsule;
  });
}

PyObject* native_measure(PyObject*, PyObject* args, PyObject* kwargs) {
  return kMeasure.call(args, kwargs, [](PyObject* capsule, PyObject* data) -> PyObject* {
    if (!PyCapsule_IsValid(capsule, kMeterName)) return raise(PyExc_TypeError, "meter must come from packet_meter()");
    auto* meter = static_cast<PacketMeter*>(PyCapsule_GetPointer(capsule, kMeterName));
    BufferView buffer;
    if (!buffer.acquire_bytes(data)) return nullptr;
    return extent_tuple(meter->measure(buffer.bytes()));
  });
}

PyObject* native_walk(PyObject*, PyObject* data) {
  return guarded_call([&]() -> PyObject* {
    BufferView buffer;
    if (!buffer.acquire_bytes(data)) return nullptr;
    WalkedPacket root;
    if (!unwrap(walk_packet(buffer.bytes()), root)) return nullptr;
    return walked_facts(root, buffer.bytes()).release();
  });
}

PyObject* native_loads(PyObject*, PyObject* data) {
  return guarded_call([&]() -> PyObject* {
    BufferView buffer;
    if (!buffer.acquire_bytes(data)) return nullptr;
    return decode_to_object(data, buffer, packet_prefix(buffer.bytes()));
  });
}

}  // namespace vakra::ext
