// loads_frames: one packet given as a list of frames back to a Python object.
#include <array>

#include "arguments.hpp"
#include "decode_to_python.hpp"
#include "errors.hpp"
#include "frames_decode.hpp"
#include "native_entry_points.hpp"
#include "vakra/decode.hpp"

namespace vakra::ext {
namespace {

constexpr std::array<const char*, 2> kParams = {"frames", "writable"};
constexpr FunctionSpec kSpec{"loads_frames", kParams, 1};

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
    if (!unwrap(packet.decode(), decoded)) return nullptr;
    const DecodeSource source{nullptr, nullptr, false, &packet, writable};
    PyRef result;
    if (!decoded_to_py(source, decoded, result)) return nullptr;
    if (!result) Py_RETURN_NONE;
    return result.release();
  });
}

}  // namespace vakra::ext
