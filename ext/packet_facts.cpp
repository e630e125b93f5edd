#include "packet_facts.hpp"

#include <limits>
#include <string_view>

#include "errors.hpp"
#include "overloaded_internal.hpp"
#include "shape_tuple.hpp"

namespace vakra::ext {
namespace {

bool set_item(PyObject* dict, const char* key, PyRef value) {
  return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

PyRef py_bool(bool value) { return PyRef::borrow(value ? Py_True : Py_False); }
PyRef py_size(uint64_t value) { return PyRef::steal(PyLong_FromUnsignedLongLong(value)); }
PyRef py_text(std::string_view text) {
  return PyRef::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

// The element type's name, or None for containers, Inline and unknown codes.
PyRef dtype_of(const WalkedPacket& packet) {
  const PacketKind kind = packet.kind();
  const bool typed = kind != PacketKind::Bundle && kind != PacketKind::Sparse && kind != PacketKind::Inline;
  const Result<Dtype> dtype = dtype_from_code(packet.header.dtype_code);
  if (!typed || !dtype.ok()) return PyRef::borrow(Py_None);
  return py_text(dtype_name(*dtype));
}

bool add_offsets_details(PyObject* dict, const WalkedOffsets& offsets) {
  return set_item(dict, "count", py_size(offsets.count)) && set_item(dict, "payload_size", py_size(offsets.payload.length));
}

bool add_quantized_details(PyObject* dict, const WalkedQuantized& quantized) {
  return set_item(dict, "quant_scheme", py_size(quantized.quant_scheme)) &&
         set_item(dict, "axis", py_size(quantized.axis)) && set_item(dict, "group_size", py_size(quantized.group_size)) &&
         set_item(dict, "scale_count", py_size(quantized.scale_count));
}

// The facts of a packet's children: "entries" (key -> facts; a repeated key
// keeps its first place and last value, as a dict does) or "components"
// (role -> facts).
class ChildFacts {
 public:
  ChildFacts(PyObject* dict, ByteView bytes) : dict_(dict), bytes_(bytes) {}

  bool entries(const WalkedBundle& bundle) {
    PyRef children = PyRef::steal(PyDict_New());
    if (!children) return false;
    for (const WalkedEntry& entry : bundle.entries) {
      const ByteView key = bytes_.subspan(entry.key.offset, entry.key.length);
      PyRef name = PyRef::steal(PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(key.data()),
                                                     static_cast<Py_ssize_t>(key.size()), nullptr));
      if (!add(children.get(), std::move(name), entry.packet)) return false;
    }
    return set_item(dict_, "entries", std::move(children));
  }

  bool components(const WalkedSparse& sparse) {
    PyRef children = PyRef::steal(PyDict_New());
    if (!children) return false;
    const auto roles = sparse_component_roles(sparse.format);
    for (size_t i = 0; i < sparse.components.size(); ++i) {
      if (!add(children.get(), py_text(roles[i]), sparse.components[i])) {
        return false;
      }
    }
    return set_item(dict_, "components", std::move(children));
  }

 private:
  bool add(PyObject* children, PyRef key, const WalkedPacket& child) const {
    PyRef facts = walked_facts(child, bytes_);
    return key && facts && PyDict_SetItem(children, key.get(), facts.get()) == 0;
  }

  PyObject* dict_;
  ByteView bytes_;
};

// The kind's own facts: its details, and the facts of its children.
bool add_kind_facts(PyObject* dict, const WalkedPacket& packet, ByteView bytes) {
  ChildFacts children(dict, bytes);
  return std::visit(Overloaded{
                        [&](const WalkedDense& dense) {
                          return set_item(dict, "compressed", py_bool(dense.compressed));
                        },
                        [&](const WalkedBundle& bundle) { return children.entries(bundle); },
                        [&](const WalkedSparse& sparse) {
                          return set_item(dict, "format", py_text(sparse_format_name(sparse.format))) &&
                                 children.components(sparse);
                        },
                        [&](const WalkedQuantized& quantized) { return add_quantized_details(dict, quantized); },
                        [&](const WalkedString& string) { return add_offsets_details(dict, string); },
                        [&](const WalkedRagged& ragged) { return add_offsets_details(dict, ragged); },
                        [](const WalkedInline&) { return true; },
                    },
                    packet.parts);
}

}  // namespace

bool add_header_facts(PyObject* dict, const PacketHeader& header, std::span<const uint32_t> dims) {
  if (!set_item(dict, "version", PyRef::steal(PyLong_FromLong(header.version))) ||
      !set_item(dict, "flags", PyRef::steal(PyLong_FromLong(header.flags))) ||
      !set_item(dict, "dtype_code", PyRef::steal(PyLong_FromLong(header.dtype_code))) ||
      !set_item(dict, "ndim", PyRef::steal(PyLong_FromSize_t(header.ndim))) ||
      !set_item(dict, "aligned", py_bool(header.flags & FLAG_ALIGNED)) ||
      !set_item(dict, "integrity_protected", py_bool(header.flags & FLAG_INTEGRITY))) {
    return false;
  }
  if (header.flags & FLAG_BUNDLE) {
    return set_item(dict, "entry_count", PyRef::steal(PyLong_FromSize_t(header.ndim))) &&
           set_item(dict, "shape", PyRef::steal(PyTuple_New(0))) &&
           set_item(dict, "total_elements", PyRef::steal(PyLong_FromLong(0)));
  }
  uint64_t total = 1;
  for (const uint32_t dim : dims) {
    if (__builtin_mul_overflow(total, uint64_t{dim}, &total)) total = std::numeric_limits<uint64_t>::max();
  }
  PyRef shape = shape_tuple(dims);
  return shape && set_item(dict, "total_elements", py_size(total)) && set_item(dict, "shape", std::move(shape));
}

PyRef walked_facts(const WalkedPacket& packet, ByteView bytes) {
  PyRef facts = PyRef::steal(PyDict_New());
  if (!facts || !add_header_facts(facts.get(), packet.header, packet.shape())) return PyRef();
  const PacketKind kind = packet.kind();
  const bool container = kind == PacketKind::Bundle || kind == PacketKind::Sparse;
  PyObject* dict = facts.get();
  if (!set_item(dict, "kind", py_text(packet_kind_name(kind))) ||
      !set_item(dict, "dtype", dtype_of(packet)) || !set_item(dict, "offset", py_size(packet.offset)) ||
      !set_item(dict, "size", py_size(packet.length)) ||
      !set_item(dict, "body_size", container ? PyRef::borrow(Py_None) : py_size(packet.body().length)) ||
      !add_kind_facts(dict, packet, bytes)) {
    return PyRef();
  }
  return facts;
}

}  // namespace vakra::ext
