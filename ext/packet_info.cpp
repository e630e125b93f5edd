// get_packet_info_rs: header facts of a packet without touching its body.
#include <array>
#include <limits>

#include "arguments.hpp"
#include "buffer_view.hpp"
#include "entry_points.hpp"
#include "errors.hpp"
#include "pyref.hpp"
#include "vakra/header.hpp"

namespace vakra::ext {
namespace {

constexpr std::array<const char*, 1> kParams = {"data"};
constexpr FunctionSpec kSpec{"get_packet_info_rs", kParams, 1};

bool set_item(PyObject* dict, const char* key, PyRef value) {
  return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

PyRef py_bool(bool value) { return PyRef::borrow(value ? Py_True : Py_False); }

// Dimensions as read, at most 255 of them, with their saturating product.
PyRef shape_tuple(ByteView bytes, const PacketHeader& header, uint64_t& total) {
  PyRef shape = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(header.ndim)));
  if (!shape) return shape;
  total = 1;
  for (size_t i = 0; i < header.ndim; ++i) {
    const uint8_t* p = bytes.data() + header.header_len + 4 * i;
    const uint32_t dim = uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
    if (__builtin_mul_overflow(total, uint64_t{dim}, &total)) total = std::numeric_limits<uint64_t>::max();
    PyObject* item = PyLong_FromUnsignedLong(dim);
    if (item == nullptr || PyTuple_SetItem(shape.get(), static_cast<Py_ssize_t>(i), item) != 0) return PyRef();
  }
  return shape;
}

PyObject* packet_info(ByteView bytes) {
  PacketHeader header;
  if (!unwrap(parse_header(bytes), header)) return nullptr;
  PyRef info = PyRef::steal(PyDict_New());
  if (!info) return nullptr;
  PyObject* dict = info.get();
  if (!set_item(dict, "version", PyRef::steal(PyLong_FromLong(header.version))) ||
      !set_item(dict, "flags", PyRef::steal(PyLong_FromLong(header.flags))) ||
      !set_item(dict, "dtype_code", PyRef::steal(PyLong_FromLong(header.dtype_code))) ||
      !set_item(dict, "ndim", PyRef::steal(PyLong_FromSize_t(header.ndim))) ||
      !set_item(dict, "aligned", py_bool(header.flags & FLAG_ALIGNED)) ||
      !set_item(dict, "integrity_protected", py_bool(header.flags & FLAG_INTEGRITY))) {
    return nullptr;
  }
  if (header.flags & FLAG_BUNDLE) {
    if (!set_item(dict, "entry_count", PyRef::steal(PyLong_FromSize_t(header.ndim))) ||
        !set_item(dict, "shape", PyRef::steal(PyTuple_New(0))) ||
        !set_item(dict, "total_elements", PyRef::steal(PyLong_FromLong(0)))) {
      return nullptr;
    }
    return info.release();
  }
  if (bytes.size() < header.header_len + 4 * header.ndim) {
    return raise(PyExc_ValueError, "Packet too short to contain shape");
  }
  uint64_t total = 1;
  PyRef shape = shape_tuple(bytes, header, total);
  if (!shape) return nullptr;
  if (!set_item(dict, "total_elements", PyRef::steal(PyLong_FromUnsignedLongLong(total))) ||
      !set_item(dict, "shape", std::move(shape))) {
    return nullptr;
  }
  return info.release();
}

}  // namespace

PyObject* get_packet_info_rs(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded_call([&]() -> PyObject* {
    std::array<PyObject*, kParams.size()> slots{};
    if (!match_arguments(kSpec, args, kwargs, slots)) return nullptr;
    BufferView buffer;
    if (!buffer.acquire_bytes(slots[0])) return nullptr;
    return packet_info(buffer.bytes());
  });
}

}  // namespace vakra::ext
