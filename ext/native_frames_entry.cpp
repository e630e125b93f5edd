// loads_frames: one packet given as a list of frames back to a Python object.
#include "arguments.hpp"
#include "decode_to_python.hpp"
#include "errors.hpp"
#include "frames_decode.hpp"
#include "native_entry_points.hpp"
#include "signature.hpp"
#include "vakra/decode.hpp"

namespace vakra::ext {
namespace {

const Signature kLoadsFrames("loads_frames", arg("frames", as_object), arg("writable", to_bool, false),
                             arg("handed", to_bool, false));

}  // namespace

PyObject* loads_frames(PyObject*, PyObject* args, PyObject* kwargs) {
  return kLoadsFrames.call(args, kwargs, [](PyObject* frames, bool writable, bool handed) -> PyObject* {
    // Every frame's export is held until the conversion is done.
    FramedPacket packet;
    if (!packet.acquire(frames, handed)) return nullptr;
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
