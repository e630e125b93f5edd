// loads_frames: one packet given as a list of frames back to a Python object.
#include <array>

#include "arguments.hpp"
#include "decode_to_python.hpp"
#include "errors.hpp"
#include "frames_decode.hpp"
#include "native_entry_points.hpp"
#include "vakra/decode.hpp"
#include "vakra/walk.hpp"

namespace vakra::ext {
namespace {

constexpr std::array<const char*, 2> kParams = {"frames", "writable"};
constexpr FunctionSpec kSpec{"loads_frames", kParams, 1};

// As for _native.loads: bytes after the packet are ignored whatever its kind,
// so a compressed dense packet, whose body the decoder runs to the end of its
// input, is cut to the length the walker measures (a packet the walker
// refuses is decoded whole, for the decoder's own error).
ByteView measured(ByteView bytes) {
  const Result<PacketHeader> header = parse_header(bytes);
  if (!header.ok() || packet_kind(*header) != PacketKind::Dense || !(header->flags & FLAG_COMPRESSED)) return bytes;
  const Result<PacketExtent> extent = probe_packet(bytes);
  return extent.ok() && extent->complete ? bytes.first(extent->length) : bytes;
}

}  // namespace

PyObject* loads_frames(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded_call([&]() -> PyObject* {
    std::array<PyObject*, kParams.size()> slots{};
    if (!match_arguments(kSpec, args, kwargs, slots)) return nullptr;
    bool writable = false;
    if (!convert_param("writable", slots[1], writable, to_bool)) return nullptr;
    // Every frame's export is held until the conversion is done.
    FramedPacket packet;
    if (!packet.acquire(slots[0])) return nullptr;
    Decoded decoded;
    if (!unwrap(decode(measured(packet.bytes()), CompressedBodies::View), decoded)) return nullptr;
    const DecodeSource source{nullptr, packet.bytes().data(), false, &packet, writable};
    PyRef result;
    if (!decoded_to_py(source, decoded, result)) return nullptr;
    if (!result) Py_RETURN_NONE;
    return result.release();
  });
}

}  // namespace vakra::ext
