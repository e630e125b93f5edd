// get_packet_info_rs: header facts of a packet without touching its body.
#include "buffer_view.hpp"
#include "errors.hpp"
#include "packet_facts.hpp"
#include "pyref.hpp"
#include "signature.hpp"
#include "vakra/walk.hpp"
#include "vakra_rs_entry_points.hpp"

namespace vakra::ext {
namespace {

const Signature kPacketInfo("get_packet_info_rs", arg("data", as_object));

PyObject* packet_info(ByteView bytes) {
  PacketHeader header;
  if (!unwrap(parse_header(bytes), header)) return nullptr;
  // Up to 255 dimensions are reported as written; the decoders' limit of 32
  // is not applied here. A bundle's count byte is its entry count.
  std::vector<uint32_t> dims;
  if (!(header.flags & FLAG_BUNDLE)) {
    Result<std::vector<uint32_t>> read = read_dimensions(bytes, header);
    if (!read.ok()) return raise(PyExc_ValueError, "Packet too short to contain shape");
    dims = std::move(read).value();
  }
  PyRef info = PyRef::steal(PyDict_New());
  if (!info || !add_header_facts(info.get(), header, dims)) return nullptr;
  return info.release();
}

}  // namespace

PyObject* get_packet_info_rs(PyObject*, PyObject* args, PyObject* kwargs) {
  return kPacketInfo.call(args, kwargs, [](PyObject* data) -> PyObject* {
    BufferView buffer;
    if (!buffer.acquire_bytes(data)) return nullptr;
    return packet_info(buffer.bytes());
  });
}

}  // namespace vakra::ext
